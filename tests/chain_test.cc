// The insert-only chain: where a new node goes, what a present key costs,
// approximate(), destruction, and the invariants after many threads insert
// overlapping keys at once. Both instantiations the detector uses are
// exercised: the access log chain (ascending by base, then size) and an
// index chain (descending by 16 KiB page).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "tsm/access_log.h"
#include "tsm/log_index.h"

namespace {

using vexa::access_log_chain_t;
using vexa::object_t;
using index_chain_t = vexa::log_index_t::chain_type;
constexpr auto arena = vexa::thread_info_t::thread_arena;

// Rounds of the contention tests. Each round is a fresh chain and a fresh
// start of all threads at once, so more rounds mean more interleavings. The
// race checker judges the happens-before order of every access and runs
// many times slower, so it gets fewer. VEXA_TEST_ROUNDS overrides both, for
// a soak run or a single round under valgrind.
unsigned contention_rounds() {
  if (char const* text = std::getenv("VEXA_TEST_ROUNDS")) return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
#if defined(__SANITIZE_THREAD__)
  return 10;
#else
  return 100;
#endif
}

// Releases its threads together; the library cannot see it.
class start_line {
 public:
  explicit start_line(unsigned n) : waiting_(n) {}
  // The last arrival's release pairs with every waiter's acquire, so all
  // that each thread did before arriving is visible to all after it.
  void arrive_and_wait() {
    waiting_.fetch_sub(1, std::memory_order_acq_rel);
    while (waiting_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
  }

 private:
  std::atomic<unsigned> waiting_;
};

// Keys whose index equals their position in chain order.
object_t log_key(unsigned i) { return {0x10000 + (i / 2) * 8, 4 + (i % 2) * 4}; }  // (b,4) before (b,8)
object_t index_key(unsigned i, unsigned count) { return {((count - i) << 14) | 0x40, 4}; }  // highest page first

char* arena_free() { return vexa::current.thread_arena_get().chunk->free; }

// Walks the chain from head: sorted strictly by the chain's order, every
// prev mirrors its predecessor's next, head and tail are the two ends.
template <class T, class Key, class Equal, class Less>
::testing::AssertionResult well_formed(vexa::chain_t<T, Key, Equal, Less> const& chain,
                                       std::vector<Key>* keys = nullptr) {
  using node_t = typename vexa::chain_t<T, Key, Equal, Less>::node_t;
  node_t* const head = chain.head.load();
  node_t* const tail = chain.tail.load();
  if ((head == nullptr) != (tail == nullptr)) return ::testing::AssertionFailure() << "only one end is null";
  node_t* last = nullptr;
  std::size_t position = 0;
  for (node_t* n = head; n != nullptr; n = n->next.load(), ++position) {
    if (n->prev.load() != last) return ::testing::AssertionFailure() << "prev does not mirror next at " << position;
    if (last != nullptr && !Less()(last->value.object, n->value.object))
      return ::testing::AssertionFailure() << "not strictly sorted at " << position;
    if (keys != nullptr) keys->push_back(n->value.object);
    last = n;
  }
  if (last != tail) return ::testing::AssertionFailure() << "tail is not the last node";
  return ::testing::AssertionSuccess();
}

TEST(Chain, FirstNodeIsHeadAndTailAndNeighboursGoToTheirSides) {
  access_log_chain_t chain;
  auto middle = chain.insert({0x200, 4}, arena, {});
  EXPECT_EQ(chain.head.load(), middle.node());
  EXPECT_EQ(chain.tail.load(), middle.node());
  EXPECT_EQ(middle.node()->prev.load(), nullptr);
  EXPECT_EQ(middle.node()->next.load(), nullptr);
  EXPECT_EQ(middle->object, (object_t{0x200, 4}));
  EXPECT_TRUE(middle->reads.empty() && middle->writes.empty());

  auto front = chain.insert({0x100, 4}, arena, {});
  auto back = chain.insert({0x300, 4}, arena, middle);
  auto between = chain.insert({0x280, 4}, arena, back);  // hint behind the key: walks prev first
  std::vector<object_t> keys;
  ASSERT_TRUE(well_formed(chain, &keys));
  EXPECT_EQ(chain.head.load(), front.node());
  EXPECT_EQ(chain.tail.load(), back.node());
  EXPECT_EQ(keys, (std::vector<object_t>{{0x100, 4}, {0x200, 4}, {0x280, 4}, {0x300, 4}}));
  EXPECT_EQ(middle.node()->next.load(), between.node());
}

TEST(Chain, InsertionInFrontOfHeadWaitsForTheChainLock) {
  access_log_chain_t chain;
  auto old_head = chain.insert({0x200, 4}, arena, {});
  chain.lock.lock();
  std::thread inserter([&] { chain.insert({0x100, 4}, arena, {}); });
  // Time for the inserter to reach the lock; the assertion holds whether or
  // not it got there, so the wait cannot make the test fail spuriously.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(chain.head.load(), old_head.node());
  chain.lock.unlock();
  inserter.join();
  ASSERT_NE(chain.head.load(), old_head.node());
  EXPECT_EQ(chain.head.load()->value.object, (object_t{0x100, 4}));
  EXPECT_EQ(old_head.node()->prev.load(), chain.head.load());
  EXPECT_TRUE(well_formed(chain));
}

TEST(Chain, InsertionBehindTailNeedsNoChainLock) {
  access_log_chain_t chain;
  auto old_tail = chain.insert({0x200, 4}, arena, {});
  std::atomic<bool> done{false};
  chain.lock.lock();
  std::thread inserter([&] {
    chain.insert({0x300, 4}, arena, {});
    done.store(true, std::memory_order_release);  // pairs with the waiting loop's acquire
  });
  // A liveness bound, not a speed measure: the insertion takes microseconds;
  // if it waited for the chain lock it would never finish while we hold it.
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  bool const finished_under_chain_lock = done.load(std::memory_order_acquire);
  chain.lock.unlock();
  inserter.join();
  EXPECT_TRUE(finished_under_chain_lock);
  EXPECT_EQ(chain.tail.load()->value.object, (object_t{0x300, 4}));
  EXPECT_EQ(old_tail.node()->next.load(), chain.tail.load());
  EXPECT_TRUE(well_formed(chain));
}

TEST(Chain, PresentKeyIsReturnedWithoutAllocationWhateverTheHint) {
  access_log_chain_t chain;
  std::vector<access_log_chain_t::const_iterator> nodes;
  for (unsigned i = 0; i < 5; ++i) nodes.push_back(chain.insert({0x100 * (i + 1), 4}, arena, {}));
  access_log_chain_t::const_iterator const hints[] = {{}, nodes[0], nodes[1], nodes[2], nodes[3], nodes[4]};
  for (auto const& hint : hints) {
    char* const before = arena_free();
    EXPECT_EQ(chain.insert({0x300, 4}, arena, hint), nodes[2]);
    EXPECT_EQ(arena_free(), before) << "a present key took arena memory";
  }
  EXPECT_TRUE(well_formed(chain));
}

TEST(Chain, ApproximateFindsTheKeyOrTheNeighbourOnTheWalksSide) {
  index_chain_t chain;
  auto key = [](unsigned page) { return object_t{(page << 14) | 0x40, 4}; };
  EXPECT_FALSE(chain.approximate(key(5), {}));

  std::vector<index_chain_t::const_iterator> at(10);
  for (unsigned page : {5u, 9u, 3u, 7u}) at[page] = chain.insert(key(page), arena, chain.first());
  ASSERT_TRUE(well_formed(chain));
  index_chain_t::const_iterator const head = at[9], tail = at[3];
  ASSERT_EQ(chain.first(), head);

  // Chain order runs from page 9 down to page 3.
  EXPECT_EQ(chain.approximate(key(5), head), at[5]);
  EXPECT_EQ(chain.approximate(key(5), tail), at[5]);
  EXPECT_EQ(chain.approximate(object_t{(5u << 14) + 0x1234, 1}, {}), at[5]) << "equal means same page";
  EXPECT_EQ(chain.approximate(key(6), head), at[7]) << "towards tail: the node before the gap";
  EXPECT_EQ(chain.approximate(key(6), tail), at[5]) << "towards head: the node after the gap";
  EXPECT_EQ(chain.approximate(key(10), tail), head) << "running off the front";
  EXPECT_EQ(chain.approximate(key(10), head), head);
  EXPECT_EQ(chain.approximate(key(1), head), tail) << "running off the end";
}

// A value that records its destruction.
struct counted_t {
  explicit counted_t(object_t const& o) : object(o) {}
  ~counted_t() { destroyed.push_back(object); }
  object_t object;
  static std::vector<object_t> destroyed;
};
std::vector<object_t> counted_t::destroyed;

TEST(Chain, DestructionReachesNodesFromEveryInsertingThread) {
  using counted_chain_t = vexa::chain_t<counted_t, object_t, std::equal_to<object_t>, std::less<object_t>>;
  auto chain = std::make_unique<counted_chain_t>();
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 3; ++t)
    threads.emplace_back([&chain, t] {
      for (unsigned i = t; i < 300; i += 3) chain->insert(log_key(i), arena, {});
    });
  for (auto& th : threads) th.join();
  // The inserting threads are gone; their arenas must still hold the nodes.
  counted_t::destroyed.clear();
  chain.reset();
  std::vector<object_t> expected;
  for (unsigned i = 0; i < 300; ++i) expected.push_back(log_key(i));
  EXPECT_EQ(counted_t::destroyed, expected);
}

// Forced interleavings: the test holds a lock that every inserter must pass,
// lets them all queue behind it, then releases them at once.
template <class Chain>
void queue_and_release(Chain& chain, vexa::lock_t& gate, std::vector<object_t> const& keys,
                       std::vector<typename Chain::const_iterator>& results) {
  results.assign(keys.size(), {});
  start_line line(static_cast<unsigned>(keys.size()) + 1);
  gate.lock();
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < keys.size(); ++i)
    threads.emplace_back([&, i] {
      line.arrive_and_wait();
      results[i] = chain.insert(keys[i], arena, {});
    });
  line.arrive_and_wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets them reach the gate; not asserted
  gate.unlock();
  for (auto& th : threads) th.join();
}

TEST(Chain, FrontInsertionsRacingForOneHeadEndSortedWithOneNodePerKey) {
  access_log_chain_t chain;
  chain.insert({0x1000, 4}, arena, {});
  std::vector<access_log_chain_t::const_iterator> got;
  std::vector<object_t> const keys = {{0x10, 4}, {0x30, 4}, {0x20, 4}, {0x30, 4}, {0x10, 2}};
  queue_and_release(chain, chain.lock, keys, got);
  std::vector<object_t> sorted;
  ASSERT_TRUE(well_formed(chain, &sorted));
  EXPECT_EQ(sorted, (std::vector<object_t>{{0x10, 2}, {0x10, 4}, {0x20, 4}, {0x30, 4}, {0x1000, 4}}));
  EXPECT_EQ(got[1], got[3]);
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(got[i]->object, keys[i]);
}

TEST(Chain, InsertionsRacingIntoOneGapEndSortedWithOneNodePerKey) {
  index_chain_t chain;
  auto key = [](unsigned page) { return object_t{page << 14, 4}; };
  auto top = chain.insert(key(100), arena, {});
  chain.insert(key(10), arena, {});
  std::vector<index_chain_t::const_iterator> got;
  std::vector<object_t> const keys = {key(50), key(60), key(50), key(40), key(99), key(11)};
  queue_and_release(chain, top.node()->lock, keys, got);  // every insertion passes the head's node lock
  std::vector<object_t> sorted;
  ASSERT_TRUE(well_formed(chain, &sorted));
  std::vector<unsigned> pages;
  for (object_t const& o : sorted) pages.push_back(o.base >> 14);
  EXPECT_EQ(pages, (std::vector<unsigned>{100, 99, 60, 50, 40, 11, 10}));
  EXPECT_EQ(got[0], got[2]);
}

// Many threads insert overlapping key sets at once: half ascending, half
// descending, starting at different places, with the hint from the empty
// iterator, head, tail or their own previous result. Every key is left out
// by exactly one thread, so every key has several racing inserters.
template <class Chain, class KeyOf>
void hammer(KeyOf key_of, unsigned count, unsigned threads, unsigned rounds) {
  for (unsigned round = 0; round < rounds; ++round) {
    auto chain = std::make_unique<Chain>();
    std::vector<std::vector<typename Chain::node_t*>> got(threads, std::vector<typename Chain::node_t*>(count));
    start_line line(threads);
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
      pool.emplace_back([&, t] {
        line.arrive_and_wait();
        typename Chain::const_iterator previous;
        for (unsigned step = 0; step < count; ++step) {
          unsigned const shifted = (step + t * count / threads) % count;
          unsigned const i = (t % 2 == 0) ? shifted : count - 1 - shifted;
          if (i % threads == t) continue;
          typename Chain::const_iterator hint;
          switch ((t / 2 + round) % 4) {
            case 1: hint = chain->first(); break;
            case 2: hint = chain->tail.load(std::memory_order_acquire); break;
            case 3: hint = previous; break;
            default: break;
          }
          previous = chain->insert(key_of(i), arena, hint);
          got[t][i] = previous.node();
        }
      });
    for (auto& th : pool) th.join();

    std::vector<object_t> keys;
    ASSERT_TRUE(well_formed(*chain, &keys)) << "round " << round;
    ASSERT_EQ(keys.size(), count) << "round " << round;
    typename Chain::node_t* n = chain->head.load();
    for (unsigned i = 0; i < count; ++i, n = n->next.load()) {
      ASSERT_EQ(n->value.object, key_of(i)) << "round " << round;
      for (unsigned t = 0; t < threads; ++t) {
        if (i % threads != t) {
          ASSERT_EQ(got[t][i], n) << "thread " << t << " got another node for key " << i;
        }
      }
    }
  }
}

TEST(ChainContention, AccessLogChainStaysSortedAndUniqueUnderOverlappingInserts) {
  hammer<access_log_chain_t>(log_key, 400, 6, contention_rounds());
}

TEST(ChainContention, IndexChainStaysSortedAndUniqueUnderOverlappingInserts) {
  hammer<index_chain_t>([](unsigned i) { return index_key(i, 400); }, 400, 6, contention_rounds());
}

// Readers walk the chain without locks while writers insert: every node a
// reader reaches is complete (its key is one that was inserted) and the
// walk ends.
TEST(ChainContention, UnlockedWalksSeeOnlyCompleteNodesWhileInsertionsRun) {
  access_log_chain_t chain;
  constexpr unsigned count = 2000;
  std::atomic<unsigned> writers{2};
  std::atomic<unsigned> bad{0};
  start_line line(4);
  std::vector<std::thread> pool;
  for (unsigned w = 0; w < 2; ++w)
    pool.emplace_back([&, w] {
      line.arrive_and_wait();
      access_log_chain_t::const_iterator previous;
      for (unsigned i = w; i < count; i += 2) previous = chain.insert(log_key(w == 0 ? i : count - i), arena, previous);
      writers.fetch_sub(1, std::memory_order_release);  // pairs with the readers' loop condition
    });
  for (unsigned r = 0; r < 2; ++r)
    pool.emplace_back([&] {
      line.arrive_and_wait();
      do {
        for (auto* n = chain.head.load(std::memory_order_acquire); n != nullptr; n = n->next.load(std::memory_order_acquire)) {
          object_t const o = n->value.object;
          if (o.base < 0x10000 || o.base > 0x10000 + count * 4 || (o.size != 4 && o.size != 8)) bad.fetch_add(1);
        }
        for (auto* n = chain.tail.load(std::memory_order_acquire); n != nullptr; n = n->prev.load(std::memory_order_acquire))
          if (n->value.object.size != 4 && n->value.object.size != 8) bad.fetch_add(1);
      } while (writers.load(std::memory_order_acquire) != 0);
    });
  for (auto& th : pool) th.join();
  EXPECT_EQ(bad.load(), 0u);
  std::vector<object_t> keys;
  ASSERT_TRUE(well_formed(chain, &keys));
  EXPECT_EQ(keys.size(), count);
}

}  // namespace
