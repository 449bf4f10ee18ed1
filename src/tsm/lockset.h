// Lock sets: the exact set of locks a task holds, interned as a 32-bit id
// (0 is the empty set), so that an access carries its set in one word at
// any number of locks. Two accesses made under a common lock never race:
// share() tells. A set, once interned, never changes and is never freed,
// so ids may be read without a lock by anyone who got one (through a log's
// lock or the task's own record). Interning takes lockset_t's lock, a leaf
// (see lock.h); each thread keeps the answers it got before in a small
// cache, so a program that takes the same locks over and over does not.
#ifndef VEXA_TSM_LOCKSET_H
#define VEXA_TSM_LOCKSET_H

#include <cstdint>

namespace vexa {
namespace lockset {

// Whether `lock` is in set `id`.
bool holds(std::uint32_t id, void const* lock);
// The id of set `id` with `lock` added, or taken out. Without memory for a
// new set, what can only show races the locks prevent, never hide one:
// `id` unchanged when adding, the empty set when taking out.
std::uint32_t with(std::uint32_t id, void const* lock) noexcept;
std::uint32_t without(std::uint32_t id, void const* lock) noexcept;
// The id of the locks both sets hold; without memory for it, the empty set.
std::uint32_t meet(std::uint32_t a, std::uint32_t b) noexcept;
// Whether the two sets hold a common lock.
bool share(std::uint32_t a, std::uint32_t b);

}  // namespace lockset
}  // namespace vexa

#endif  // VEXA_TSM_LOCKSET_H
