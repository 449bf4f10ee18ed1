// Random command sequences for configure(), checked after every call.
//
// An input is a logging level and a sequence of steps; each step writes a
// version, pending bits, a count and some filter records into the
// communication block as a debugger would (mostly valid values, with the
// boundaries and the invalid ones mixed in), then calls configure() under
// the runtime lock, the way the stop loop does. After every call:
//  - no lock is left held: the runtime lock, both feature locks and
//    tsm's cases_lock are taken and released (a leaked one hangs, and a
//    watchdog alarm turns the hang into a failure);
//  - the answer and the block are what the command allows: a version other
//    than 1 and a ping change nothing else, a refused or failed command
//    keeps its bit and skips the resets, a failed batch keeps every filter
//    (pointer and contents) and leaves `count` at the failed record, whose
//    content explains the reason, a successful batch installs a new filter
//    exactly for the detectors it named, with their modes, and leaves every
//    replaced filter as it was.
//
// Built with g++ (the default) this file has its own main, a seeded random
// driver: `configure_fuzz --seed=N --runs=N`, or `configure_fuzz FILE...`
// to replay inputs. Built with clang and VEXA_LIBFUZZER it is a libFuzzer
// target (see diagnostics.cmake).
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <streambuf>
#include <string>
#include <vector>

#include "vexa/runtime.h"

using vexa::logging_filter_t;

namespace {

constexpr std::uint32_t ping = VEXA_PENDING_PING, apply = VEXA_PENDING_APPLY_FILTERS,
                        allocate = VEXA_PENDING_ALLOCATE_FILTERS, resets = 0x3, no_command = 0xfc;
// The largest count whose byte size fits in 32 bits. Larger ones exceed
// the i386 address space and are refused; on x86_64 they go to malloc.
constexpr std::uint32_t largest_count = 0xffffffffu / sizeof(vexa_filter_t);
constexpr bool refuses_larger_counts = sizeof(void*) == 4;
// Records copied for the checks; batches longer than this are checked less.
constexpr std::uint32_t kept_records = 64;

std::uint64_t configure_calls = 0;
std::map<vexa_event_reason_t, std::uint64_t> answers;  // how often each answer came
std::uint64_t batches_installed = 0;                    // batches that installed a filter
std::uint8_t const* current_input = nullptr;
std::size_t current_size = 0;
unsigned current_step = 0;

void print_input() {
  std::fprintf(stderr, "configure_fuzz: input (%zu bytes, failed at step %u):", current_size, current_step);
  for (std::size_t i = 0; i < current_size; ++i) std::fprintf(stderr, " %02x", current_input[i]);
  std::fprintf(stderr, "\n");
}

[[noreturn]] void fail(char const* what, int line) {
  std::fprintf(stderr, "configure_fuzz: line %d: %s\n", line, what);
  print_input();
  std::abort();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) fail(#condition, __LINE__); \
  } while (0)

// Only write(2) is safe in a signal handler, so the input is formatted by
// hand.
void watchdog(int) {
  static char const message[] = "configure_fuzz: a lock stayed held (watchdog); input:";
  ssize_t ignored = write(2, message, sizeof message - 1);
  for (std::size_t i = 0; i < current_size; ++i) {
    char const digits[] = "0123456789abcdef";
    char const byte[3] = {' ', digits[current_input[i] >> 4], digits[current_input[i] & 0xf]};
    ignored = write(2, byte, sizeof byte);
  }
  ignored = write(2, "\n", 1);
  (void)ignored;
  std::abort();
}

// The library's diagnostics are formatted (that is part of what runs) but
// not kept.
class discard_buffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(char const*, std::streamsize n) override { return n; }
};

void set_up() {
  static discard_buffer discard;
  std::cerr.rdbuf(&discard);
  signal(SIGALRM, watchdog);
}

// Bytes of the input, zeros once it is used up.
class reader_t {
 public:
  reader_t(std::uint8_t const* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return next_ >= size_; }
  std::uint8_t byte() { return next_ < size_ ? data_[next_++] : 0; }
  std::uint32_t word() {
    std::uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w = w << 8 | byte();
    return w;
  }

 private:
  std::uint8_t const* data_;
  std::size_t size_;
  std::size_t next_ = 0;
};

std::uint32_t& config(int i) { return __vexa_config[i]; }
vexa::feature_t& feature(int i) { return *vexa::vexa.features[i]; }
vexa_filter_t* buffer() { return reinterpret_cast<vexa_filter_t*>(static_cast<std::uintptr_t>(__vexa_filter_space)); }

// What the library keeps of a record's 64-bit value: all of it on x86_64,
// the low word on i386.
vexa::address_t kept(std::uint64_t v) { return static_cast<vexa::address_t>(v); }
unsigned long kept_thread(std::uint64_t v) { return static_cast<unsigned long>(v); }

bool same_ranges(std::set<logging_filter_t::range_t> const& a, std::set<logging_filter_t::range_t> const& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
    if (i->base != j->base || i->size != j->size) return false;
  return true;
}

bool same(logging_filter_t const& a, logging_filter_t const& b) {
  if (!same_ranges(a.code_ranges, b.code_ranges) || !same_ranges(a.data_ranges, b.data_ranges)) return false;
  if (a.thread_ids.size() != b.thread_ids.size()) return false;
  for (auto i = a.thread_ids.begin(), j = b.thread_ids.begin(); i != a.thread_ids.end(); ++i, ++j)
    if (*i != *j) return false;
  return a.code_mode == b.code_mode && a.data_mode == b.data_mode && a.thread_mode == b.thread_mode;
}

bool valid_field(unsigned v) { return v == 1 || v == 2 || v == 4; }

// The reason a record fails with when it is not applicable at all, or 0.
vexa_event_reason_t shape_error(vexa_filter_t const& r) {
  if (r.feature != VEXA_FEATURE_TSM && r.feature != VEXA_FEATURE_RE) return VEXA_ERROR_UNKNOWN_FEATURE;
  if (!valid_field(r.kind & 0xf) || !valid_field(r.action & 0xf)) return VEXA_ERROR_BAD_FILTER_OPERATION;
  return VEXA_EVENT_NONE;
}

// Every filter is deleted by this driver once it is replaced and checked:
// there is no other thread here that could still read it, and a long run
// would otherwise keep every filter it ever built.
void drop_filters() {
  for (int i = 0; i < 2; ++i) {
    delete feature(i).current_filter();
    feature(i).install_filter(nullptr);
  }
}

void reset_state(std::uint32_t level) {
  drop_filters();
  std::free(vexa::filter_buffer);
  vexa::filter_buffer = nullptr;
  __vexa_filter_space = 0;
  vexa::__vexa_filter_space_size = 0;
  config(VEXA_CONFIG_VERSION) = 1;
  config(VEXA_CONFIG_PENDING) = 0;
  config(VEXA_CONFIG_ENABLE) = 0;
  config(VEXA_CONFIG_COUNT) = 0;
  vexa::logging_level = level;
}

struct snapshot_t {
  std::uint32_t config[4];
  std::uint64_t space;
  std::uint32_t capacity;
  logging_filter_t const* filter[2];
  std::unique_ptr<logging_filter_t> contents[2];
  std::vector<vexa_filter_t> records;  // the batch, as far as it is kept
};

void take(snapshot_t& s) {
  std::memcpy(s.config, __vexa_config, sizeof s.config);
  s.space = __vexa_filter_space;
  s.capacity = vexa::__vexa_filter_space_size;
  for (int i = 0; i < 2; ++i) {
    s.filter[i] = feature(i).current_filter();
    s.contents[i].reset(s.filter[i] != nullptr ? new logging_filter_t(*s.filter[i]) : nullptr);
  }
  std::uint32_t const n = std::min({s.config[VEXA_CONFIG_COUNT], s.capacity, kept_records});
  s.records.assign(buffer(), buffer() + (buffer() != nullptr ? n : 0));
}

bool filters_unchanged(snapshot_t const& s) {
  for (int i = 0; i < 2; ++i) {
    if (feature(i).current_filter() != s.filter[i]) return false;
    if (s.filter[i] != nullptr && !same(*s.filter[i], *s.contents[i])) return false;
  }
  return true;
}

void check_locks_released() {
  vexa::lock_t* const locks[] = {&vexa::vexa.lock, &feature(0).feature_lock, &feature(1).feature_lock,
                                 &vexa::vexa.tsm.cases_lock};
  for (vexa::lock_t* l : locks) {
    l->lock();
    l->unlock();
  }
}

bool holds_range(std::set<logging_filter_t::range_t> const& set, vexa_filter_t const& r) {
  for (auto const& x : set)
    if (x.base == kept(r.first) && x.size == kept(r.second)) return true;
  return false;
}

bool holds_thread(logging_filter_t const& f, vexa_filter_t const& r) {
  for (auto const& id : f.thread_ids)
    if (id.task_id == r.first && id.thread == kept_thread(r.second)) return true;
  return false;
}

// A batch that succeeded: feature i got a new filter exactly when a record
// named it; the new one carries its detector's modes, ends each set as the
// set's last record left it (as far as that is decided by one record), and
// the filter it replaced is unchanged.
void check_installed(snapshot_t const& s, int i) {
  unsigned const code = static_cast<unsigned>(i + 1);
  bool named = false;
  for (auto const& r : s.records) named = named || r.feature == code;
  logging_filter_t const* now = feature(i).current_filter();
  if (!named) {
    CHECK(now == s.filter[i]);
    return;
  }
  CHECK(now != nullptr && now != s.filter[i]);
  if (s.filter[i] != nullptr) {
    CHECK(same(*s.filter[i], *s.contents[i]));
    CHECK(now->code_mode == s.contents[i]->code_mode && now->data_mode == s.contents[i]->data_mode &&
          now->thread_mode == s.contents[i]->thread_mode);
  } else {
    CHECK(now->code_mode == (i == 0 ? logging_filter_t::mode_ignore : logging_filter_t::mode_only));
    CHECK(now->data_mode == logging_filter_t::mode_ignore && now->thread_mode == logging_filter_t::mode_ignore);
  }
  for (unsigned kind : {VEXA_FILTER_CODE, VEXA_FILTER_DATA, VEXA_FILTER_THREAD}) {
    vexa_filter_t const* last = nullptr;
    for (auto const& r : s.records)
      if (r.feature == code && (r.kind & 0xf) == kind) last = &r;
    if (last == nullptr) continue;
    unsigned const action = last->action & 0xf;
    if (kind == VEXA_FILTER_THREAD) {
      if (action == VEXA_FILTER_CLEAR) CHECK(now->thread_ids.empty());
      if (action == VEXA_FILTER_ADD) CHECK(holds_thread(*now, *last));
    } else {
      auto const& set = kind == VEXA_FILTER_CODE ? now->code_ranges : now->data_ranges;
      if (action == VEXA_FILTER_CLEAR) CHECK(set.empty());
      if (action == VEXA_FILTER_ADD) CHECK(holds_range(set, *last));
    }
  }
  delete s.filter[i];
}

void check_call(snapshot_t const& s, vexa_event_reason_t r) {
  std::uint32_t const pending = config(VEXA_CONFIG_PENDING), count = config(VEXA_CONFIG_COUNT);
  std::uint32_t const was = s.config[VEXA_CONFIG_PENDING], announced = s.config[VEXA_CONFIG_COUNT];
  CHECK(config(VEXA_CONFIG_VERSION) == s.config[VEXA_CONFIG_VERSION]);
  CHECK(config(VEXA_CONFIG_ENABLE) == s.config[VEXA_CONFIG_ENABLE]);
  CHECK(__vexa_filter_space == static_cast<std::uintptr_t>(__vexa_filter_space));  // a pointer, zero-extended

  if (s.config[VEXA_CONFIG_VERSION] != 1) {
    CHECK(r == VEXA_ERROR_VERSION_MISMATCH);
    CHECK(pending == was && count == announced);
    CHECK(__vexa_filter_space == s.space && vexa::__vexa_filter_space_size == s.capacity);
    CHECK(filters_unchanged(s));
    return;
  }
  if (was & ping) {
    CHECK(r == VEXA_EVENT_ALIVE);
    CHECK(pending == (was & ~ping) && count == announced);
    CHECK(__vexa_filter_space == s.space && vexa::__vexa_filter_space_size == s.capacity);
    CHECK(filters_unchanged(s));
    return;
  }

  std::uint32_t executed = 0;  // the filter command's bit, when it succeeded
  if (was & allocate) {
    CHECK(filters_unchanged(s));
    CHECK(count == announced);
    bool const refused = refuses_larger_counts && announced > largest_count;
    if (refused || r == VEXA_ERROR_OUT_OF_MEMORY) {
      if (refused) {
        CHECK(r == VEXA_ERROR_INVALID_PARAMETER);
        CHECK(__vexa_filter_space == s.space && vexa::__vexa_filter_space_size == s.capacity);
      } else {
        CHECK(announced > 0x100000);  // small blocks are always given
        CHECK(__vexa_filter_space == 0 && vexa::__vexa_filter_space_size == 0);
      }
      CHECK(pending == was);
      return;
    }
    CHECK(__vexa_filter_space != 0 && vexa::__vexa_filter_space_size == announced);
    executed = allocate;
  } else if (was & apply) {
    CHECK(__vexa_filter_space == s.space && vexa::__vexa_filter_space_size == s.capacity);
    if (announced > s.capacity) {
      CHECK(r == VEXA_ERROR_INVALID_PARAMETER);
      CHECK(pending == was && count == announced);
      CHECK(filters_unchanged(s));
      return;
    }
    if (pending & apply) {  // the batch failed at record `failed`
      CHECK(r == VEXA_ERROR_FILTER_OPERATION_FAILED || r == VEXA_ERROR_BAD_FILTER_OPERATION ||
            r == VEXA_ERROR_UNKNOWN_FEATURE);
      CHECK(pending == was);
      CHECK(count != 0 && count <= announced);
      CHECK(filters_unchanged(s));
      std::uint32_t const failed = announced - count;
      for (std::uint32_t k = 0; k < failed && k < s.records.size(); ++k) CHECK(shape_error(s.records[k]) == 0);
      if (failed < s.records.size()) {
        vexa_event_reason_t const shape = shape_error(s.records[failed]);
        CHECK(r == (shape != 0 ? shape : VEXA_ERROR_FILTER_OPERATION_FAILED));
        CHECK(shape != 0 || (s.records[failed].action & 0xf) != VEXA_FILTER_CLEAR);
      }
      return;
    }
    CHECK(count == 0);
    if (feature(0).current_filter() != s.filter[0] || feature(1).current_filter() != s.filter[1])
      ++batches_installed;
    if (announced <= s.records.size())
      for (int i = 0; i < 2; ++i) check_installed(s, i);
    executed = apply;
  } else {
    CHECK(filters_unchanged(s));
    CHECK(count == announced);
  }

  // The filter command (if any) succeeded: the resets ran after it.
  CHECK(pending == (was & ~(executed | resets)));
  if (was & no_command)
    CHECK(r == VEXA_ERROR_UNKNOWN_FEATURE);
  else
    CHECK(r == ((executed | (was & resets)) != 0 ? VEXA_EVENT_CONFIGURED : VEXA_EVENT_NONE));
}

// Values that meet the order of ranges in every way: contained, same start
// or end, partial overlap, empty, wrapping past the top of the address
// space.
constexpr std::uint32_t range_pool[][2] = {
    {0x100, 0x10}, {0x104, 0x4},  {0x100, 0x20},  {0x110, 0x20}, {0x0f8, 0x10},      {0x400, 0x100},
    {0x410, 0x10}, {0x480, 0x10}, {0x100, 0x0},   {0x0, 0x0},    {0xfffffff0, 0x20}, {0xffffffff, 0x1},
};

vexa_filter_t make_record(reader_t& in) {
  // Mostly valid, so that whole batches succeed: 7 in 8 of each field.
  static constexpr std::uint8_t features[] = {1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 0, 3, 7, 255,
                                              1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2};
  static constexpr std::uint8_t fields[] = {1, 2, 4, 1, 2, 4, 1, 2, 4, 1, 2, 4, 2, 2, 0, 3, 8, 15,
                                            1, 2, 4, 1, 2, 4, 1, 2, 4, 1, 2, 4, 2, 2};
  vexa_filter_t r;
  std::memset(&r, 0, sizeof r);
  std::uint8_t const a = in.byte(), b = in.byte(), c = in.byte();
  r.feature = features[a % sizeof features];
  r.kind = static_cast<std::uint8_t>(fields[b % sizeof fields] | (a & 0x80 ? b & 0xf0 : 0));
  r.action = static_cast<std::uint8_t>(fields[c % sizeof fields] | (a & 0x40 ? c & 0xf0 : 0));
  if (a & 0x20) {
    r.first = in.word();
    r.second = in.word();
  } else {
    auto const& v = range_pool[(c >> 4) % (sizeof range_pool / sizeof range_pool[0])];
    r.first = v[0];
    r.second = v[1];
  }
  if (a & 0x10) {  // high bits: ranges and thread identities read them on x86_64 only
    r.first |= static_cast<std::uint64_t>(in.byte()) << 32;
    r.second |= static_cast<std::uint64_t>(in.byte()) << 40;
  }
  return r;
}

std::uint32_t make_count(std::uint8_t c, std::uint32_t records, std::uint32_t capacity, std::uint32_t previous) {
  static constexpr std::uint32_t boundaries[] = {0, 1, largest_count / 2, largest_count / 2 + 1, largest_count,
                                                 largest_count + 1, 0x80000000u, 0xffffffffu};
  switch (c >> 5) {
    case 0: case 1: case 2: case 3: return records;
    case 4: return c % 24;
    case 5: return capacity + (c % 3) - 1;
    case 6: return boundaries[c % (sizeof boundaries / sizeof boundaries[0])];
    default: return previous;
  }
}

void call_configure() {
  snapshot_t s;
  take(s);
  vexa_event_reason_t r;
  {
    vexa::lock_scope held(vexa::vexa.lock);
    r = vexa::vexa.configure();
  }
  ++configure_calls;
  ++answers[r];
  check_locks_released();
  check_call(s, r);
}

void step(reader_t& in) {
  std::uint8_t const op = in.byte(), rare = in.byte(), c = in.byte();
  // What a failure left pending (a debugger that resumes without clearing
  // it), or a fresh start.
  std::uint32_t pending = op & 0x80 ? config(VEXA_CONFIG_PENDING) : 0;
  if (op & 0x01) pending |= 0x1;
  if (op & 0x02) pending |= 0x2;
  if (op & 0x10) pending |= apply;
  if (op & 0x20) pending |= allocate;
  if (op & 0x40) pending |= 1u << (8 + c % 21);  // carries nothing
  if ((rare & 0x0f) == 0) pending |= ping;
  if ((rare & 0xf0) == 0) pending |= 1u << (2 + c % 6);  // names no command
  std::uint32_t const version = (rare & 0x1f) == 0x10 ? (c >> 3) % 3 : 1;
  // The records the debugger means to write; as many as fit are written.
  std::uint32_t const records = (op >> 2) % 4 + ((op & 0x08) ? 4 : 0);
  auto write_records = [&] {
    for (std::uint32_t i = 0; i < records && i < vexa::__vexa_filter_space_size; ++i) buffer()[i] = make_record(in);
  };
  write_records();
  config(VEXA_CONFIG_VERSION) = version;
  config(VEXA_CONFIG_PENDING) = pending;
  config(VEXA_CONFIG_COUNT) = make_count(c, records, vexa::__vexa_filter_space_size, config(VEXA_CONFIG_COUNT));
  call_configure();
  // Both filter bits: the allocation answered first; now the records go
  // into the new buffer and the next call applies them.
  if ((pending & (allocate | apply)) == (allocate | apply) && !(config(VEXA_CONFIG_PENDING) & allocate) &&
      version == 1 && !(pending & ping)) {
    write_records();
    config(VEXA_CONFIG_COUNT) = records;
    call_configure();
  }
  config(VEXA_CONFIG_VERSION) = 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  current_input = data;
  current_size = size;
  reader_t in(data, size);
  std::uint8_t const level = in.byte();
  reset_state(level & 0x80 ? level & 0x3f : 0);
  alarm(10);
  for (current_step = 0; current_step < 32 && !in.empty(); ++current_step) step(in);
  alarm(0);
  // Nothing may stay pending: with no debugger to clear a failed command,
  // the unload stop at exit would answer it forever.
  config(VEXA_CONFIG_PENDING) = 0;
  return 0;
}

#ifdef VEXA_LIBFUZZER

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  set_up();
  return 0;
}

#else

int main(int argc, char** argv) {
  set_up();
  if (sizeof(void*) == 8) {
    // Large counts then meet malloc's refusal on every machine, as they
    // do in a 32-bit process.
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = rlim_t{2} << 30;
    setrlimit(RLIMIT_AS, &limit);
  }
  unsigned long long seed = 1, runs = 20000, inputs = 0;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string const a = argv[i];
    if (a.rfind("--seed=", 0) == 0)
      seed = std::strtoull(a.c_str() + 7, nullptr, 0);
    else if (a.rfind("--runs=", 0) == 0)
      runs = std::strtoull(a.c_str() + 7, nullptr, 0);
    else
      files.push_back(a);
  }
  if (!files.empty()) {
    for (auto const& name : files) {
      std::ifstream file(name, std::ios::binary);
      std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++inputs;
    }
  } else {
    std::mt19937_64 random(seed);
    std::vector<std::uint8_t> bytes;
    for (; inputs < runs; ++inputs) {
      bytes.resize(1 + random() % 200);
      for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
  }
  std::printf("configure_fuzz: %llu inputs, %llu configure() calls, seed %llu\n", inputs,
              static_cast<unsigned long long>(configure_calls), seed);
  std::printf("answers:");
  for (auto const& a : answers) std::printf(" %d:%llu", a.first, static_cast<unsigned long long>(a.second));
  std::printf("\nbatches that installed filters: %llu\n", static_cast<unsigned long long>(batches_installed));
  return 0;
}

#endif
