// The text vexa writes to stderr, compared line by line.
//
// Child processes run one scenario each with VEXA_LOGGING set to every bit
// alone and to all of them together, so that each line is shown to belong
// to its bit and no other, and the sections of a stop come in their order.
// The expected text of a scenario is written once, each line tagged with
// its bit, and filtered by the level under test. Nothing is masked: the
// children report the addresses and thread identities they see on stdout.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/captured_stderr.h"
#include "support/child.h"
#include "vexa/diagnostics.h"
#include "vexa/distinct.h"
#include "vexa/runtime.h"

using vexa_test::captured_stderr;
using vexa_test::child_result;
using vexa_test::program_path;
using vexa_test::run_child;

namespace {

enum : std::uint32_t {
  detection = 0x01,
  status = 0x02,
  errors = 0x04,
  compact = 0x08,
  raw = 0x10,
  trace = 0x20,
};

constexpr std::uint32_t every_level[] = {detection, status, errors, compact, raw, trace, 0x3f};

std::string hex(std::uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(v));
  return text;
}

std::string dec(std::uint64_t v) { return std::to_string(v); }

// "xx " for each byte, in memory order.
std::string bytes_of(void const* object, std::size_t n) {
  std::string text;
  auto const* b = static_cast<unsigned char const*>(object);
  for (std::size_t i = 0; i < n; ++i) {
    char two[4];
    std::snprintf(two, sizeof two, "%02x ", b[i]);
    text += two;
  }
  return text;
}

template <class T>
std::string bytes_of(T const& object) {
  return bytes_of(&object, sizeof object);
}

// A raw dump line: the label, "(0x", the address in the stream's pointer
// form (which libstdc++ writes as 0x...), "): " and the bytes.
std::string raw_line(char const* label, std::uint64_t address, std::string const& bytes) {
  return std::string(label) + "(0x0x" + hex(address) + "): " + bytes;
}

std::string config_bytes(std::uint32_t version, std::uint32_t pending, std::uint32_t enable, std::uint32_t count) {
  std::uint32_t const words[4] = {version, pending, enable, count};
  return bytes_of(words);
}

std::string reason_bytes(vexa_event_reason_t reason) { return bytes_of(reason); }

// name=value lines of a child's stdout (values in C notation).
using facts_t = std::map<std::string, std::uint64_t>;

facts_t parse_facts(std::vector<std::string> const& lines) {
  facts_t facts;
  for (auto const& line : lines) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    facts[line.substr(0, eq)] = std::strtoull(line.c_str() + eq + 1, nullptr, 0);
  }
  return facts;
}

class expected_text {
 public:
  explicit expected_text(std::uint32_t level) : level_(level) {}
  void on(std::uint32_t bit, std::string line) {
    if (level_ & bit) lines_.push_back(std::move(line));
  }
  std::vector<std::string> const& lines() const { return lines_; }

 private:
  std::uint32_t level_;
  std::vector<std::string> lines_;
};

struct run_t {
  child_result result;
  facts_t facts;
};

run_t run_events(char const* scenario, std::uint32_t level, std::vector<std::pair<std::string, std::string>> env) {
  env.emplace_back("DIAGNOSTICS_SCENARIO", scenario);
  env.emplace_back("VEXA_LOGGING", hex(level));
  run_t r;
  r.result = run_child({program_path("diagnostics_events")}, env);
  r.facts = parse_facts(r.result.out);
  return r;
}

std::uint64_t fact(facts_t const& f, char const* name) {
  auto it = f.find(name);
  EXPECT_NE(it, f.end()) << "the child did not report " << name;
  return it == f.end() ? 0 : it->second;
}

// ---- status: ping, resets, load and unload.

std::vector<std::string> status_text(std::uint32_t level, facts_t const& f) {
  std::uint64_t const config = fact(f, "config"), reason = fact(f, "reason");
  expected_text e(level);
  e.on(status, "vexa: library loaded");
  e.on(raw, raw_line("__vexa_event_reason", reason, "01 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, VEXA_PENDING_PING, 0, 0)));
  e.on(status, "vexa: how are you?");
  e.on(raw, raw_line("__vexa_event_reason", reason, "04 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 3, 0, 0)));
  e.on(status, "vexa: resetting tsm");
  e.on(status, "vexa: resetting re");
  e.on(status, "vexa: configuration updated");
  e.on(raw, raw_line("__vexa_event_reason", reason, "03 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, 0, 0)));
  e.on(status, "vexa: library unloaded");
  e.on(raw, raw_line("__vexa_event_reason", reason, "02 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, 0, 0)));
  return e.lines();
}

TEST(DiagnosticText, StatusLinesOfLoadPingResetAndUnload) {
  for (std::uint32_t level : every_level) {
    SCOPED_TRACE("VEXA_LOGGING=" + hex(level));
    run_t r = run_events("status", level, {});
    ASSERT_EQ(r.result.status, 0);
    EXPECT_EQ(r.result.err, status_text(level, r.facts));
  }
}

// ---- sharing: tasks 1 to 3 read 4 bytes at 0x5000, task 4 writes them.

tsm_access_desc_t access(std::uint32_t kind, std::uint64_t thread, std::uint64_t code) {
  tsm_access_desc_t a{};
  a.access = kind;
  a.size = 4;
  a.base = 0x5000;
  a.task = 0;
  a.thread = thread;
  a.code = code;
  return a;
}

std::vector<std::string> sharing_text(std::uint32_t level, facts_t const& f) {
  std::uint64_t const config = fact(f, "config"), reason = fact(f, "reason");
  std::uint64_t const r1 = fact(f, "r1"), r2 = fact(f, "r2"), r3 = fact(f, "r3"), m = fact(f, "m");
  std::uint64_t const offended = fact(f, "offended");
  std::uint32_t const enable = VEXA_ENABLE_TSM;

  vexa_detection_t d{};
  d.code = 0x1004;
  d.u.tsm.offender = access(TSM_WRITE, m, 0x1004);
  d.u.tsm.count = 3;
  d.u.tsm.offended = offended;
  tsm_access_desc_t const reads[3] = {access(TSM_READ, r1, 0x1001), access(TSM_READ, r2, 0x1002),
                                      access(TSM_READ, r3, 0x1003)};

  expected_text e(level);
  e.on(status, "vexa: library loaded");
  e.on(raw, raw_line("__vexa_event_reason", reason, "01 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, enable, 0)));
  e.on(trace, "vexa: task enters at 0x0x2001, handle: 1 = (0, " + dec(r1) + ")");
  e.on(trace, "vexa: task enters at 0x0x2002, handle: 2 = (0, " + dec(r2) + ")");
  e.on(trace, "vexa: task enters at 0x0x2003, handle: 3 = (0, " + dec(r3) + ")");
  e.on(trace, "vexa: task enters at 0x0x2004, handle: 4 = (0, " + dec(m) + ")");
  e.on(trace, "vexa: task suspends at 0x0x2104, handle: 4 = (0, " + dec(m) + ")");
  e.on(trace, "vexa: task resumes at 0x0x2204, handle: 4 = (0, " + dec(m) + ")");
  // The stop of the write: no status line for 256.
  e.on(raw, raw_line("__vexa_event_reason", reason, "00 01 00 00 "));
  e.on(raw, raw_line("__vexa_current_detection", fact(f, "detection"), bytes_of(d)));
  e.on(raw, raw_line("offended", offended, bytes_of(reads)));
  e.on(detection, "vexa: data sharing detected");
  e.on(detection, "  object(base): 0x5000, 4 bytes written by task 0, thread " + dec(m) + " at address 0x1004");
  e.on(detection, "  object(base): 0x5000, 4 bytes read by task 0, thread " + dec(r1) + " at address 0x1001");
  e.on(detection, "  object(base): 0x5000, 4 bytes read by task 0, thread " + dec(r2) + " at address 0x1002");
  e.on(detection, "  object(base): 0x5000, 4 bytes read by task 0, thread " + dec(r3) + " at address 0x1003");
  e.on(compact, "tsm: (0, " + dec(m) + ": w 0x5000+4 @ 0x1004), (0, " + dec(r1) + ": r 0x5000+4 @ 0x1001), (0, " +
                    dec(r2) + ": r 0x5000+4 @ 0x1002), (0, " + dec(r3) + ": r 0x5000+4 @ 0x1003)");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, enable, 0)));
  e.on(trace, "vexa: task leaves at 0x0x2301, handle: 1 = (0, " + dec(r1) + ")");
  e.on(trace, "vexa: task leaves at 0x0x2302, handle: 2 = (0, " + dec(r2) + ")");
  e.on(trace, "vexa: task leaves at 0x0x2303, handle: 3 = (0, " + dec(r3) + ")");
  e.on(trace, "vexa: task leaves at 0x0x2304, handle: 4 = (0, " + dec(m) + ")");
  e.on(status, "vexa: library unloaded");
  e.on(raw, raw_line("__vexa_event_reason", reason, "02 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, enable, 0)));
  return e.lines();
}

TEST(DiagnosticText, SharingStopWithThreeOffensesAndTaskTrace) {
  for (std::uint32_t level : every_level) {
    SCOPED_TRACE("VEXA_LOGGING=" + hex(level));
    run_t r = run_events("sharing", level, {{"VEXA_GUARD", "3"}, {"VEXA_ENABLE", "1"}});
    ASSERT_EQ(r.result.status, 0);
    EXPECT_EQ(r.result.err, sharing_text(level, r.facts));
  }
}

// ---- reentrant: tasks 1, 2 and 3 enter function 0x3000 in turn.

std::vector<std::string> reentrant_text(std::uint32_t level, facts_t const& f) {
  std::uint64_t const config = fact(f, "config"), reason = fact(f, "reason"), record = fact(f, "detection");
  std::uint64_t const r1 = fact(f, "r1"), r2 = fact(f, "r2"), m = fact(f, "m");
  std::uint32_t const enable = VEXA_ENABLE_RE;
  vexa_task_identity_t const tasks[3] = {{0, r1}, {0, r2}, {0, m}};

  expected_text e(level);
  e.on(status, "vexa: library loaded");
  e.on(raw, raw_line("__vexa_event_reason", reason, "01 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, enable, 0)));
  e.on(trace, "vexa: task enters at 0x0x2001, handle: 1 = (0, " + dec(r1) + ")");
  e.on(trace, "vexa: task enters at 0x0x2002, handle: 2 = (0, " + dec(r2) + ")");

  vexa_detection_t d{};  // bytes 32 to 63 keep what no event 256 ever wrote
  d.code = 0x1002;
  d.u.re.function = 0x3000;
  d.u.re.count = 2;
  d.u.re.offenses = fact(f, "offenses1");
  e.on(raw, raw_line("__vexa_event_reason", reason, "01 01 00 00 "));
  e.on(raw, raw_line("__vexa_current_detection", record, bytes_of(d)));
  e.on(raw, raw_line("offenses", d.u.re.offenses, bytes_of(tasks, 2 * sizeof tasks[0])));
  e.on(detection, "vexa: reentrant call detected");
  e.on(detection, "  function: 0x3000");
  e.on(detection, "  task: 0, thread: " + dec(r1));
  e.on(detection, "  task: 0, thread: " + dec(r2));
  e.on(compact, "re (3000): (0, " + dec(r1) + "), (0, " + dec(r2) + ")");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, enable, 0)));

  e.on(trace, "vexa: task enters at 0x0x2003, handle: 3 = (0, " + dec(m) + ")");
  d.code = 0x1003;
  d.u.re.count = 3;
  d.u.re.offenses = fact(f, "offenses2");
  e.on(raw, raw_line("__vexa_event_reason", reason, "01 01 00 00 "));
  e.on(raw, raw_line("__vexa_current_detection", record, bytes_of(d)));
  e.on(raw, raw_line("offenses", d.u.re.offenses, bytes_of(tasks)));
  e.on(detection, "vexa: reentrant call detected");
  e.on(detection, "  function: 0x3000");
  e.on(detection, "  task: 0, thread: " + dec(r1));
  e.on(detection, "  task: 0, thread: " + dec(r2));
  e.on(detection, "  task: 0, thread: " + dec(m));
  e.on(compact, "re (3000): (0, " + dec(r1) + "), (0, " + dec(r2) + "), (0, " + dec(m) + ")");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, enable, 0)));

  e.on(trace, "vexa: task leaves at 0x0x2301, handle: 1 = (0, " + dec(r1) + ")");
  e.on(trace, "vexa: task leaves at 0x0x2302, handle: 2 = (0, " + dec(r2) + ")");
  e.on(trace, "vexa: task leaves at 0x0x2303, handle: 3 = (0, " + dec(m) + ")");
  e.on(status, "vexa: library unloaded");
  e.on(raw, raw_line("__vexa_event_reason", reason, "02 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, enable, 0)));
  return e.lines();
}

TEST(DiagnosticText, ReentrantStopsListEveryTaskCallerLast) {
  for (std::uint32_t level : every_level) {
    SCOPED_TRACE("VEXA_LOGGING=" + hex(level));
    run_t r = run_events("reentrant", level, {{"VEXA_GUARD", "5"}, {"VEXA_ENABLE", "2"}});
    ASSERT_EQ(r.result.status, 0);
    EXPECT_EQ(r.result.err, reentrant_text(level, r.facts));
  }
}

// ---- commands: every failure of a command, filter records, a reset.

vexa_filter_t record(unsigned feature, unsigned kind, unsigned action, std::uint64_t first, std::uint64_t second) {
  vexa_filter_t r{};
  r.feature = static_cast<std::uint8_t>(feature);
  r.kind = static_cast<std::uint8_t>(kind);
  r.action = static_cast<std::uint8_t>(action);
  r.first = first;
  r.second = second;
  return r;
}

std::vector<std::string> commands_text(std::uint32_t level, facts_t const& f) {
  std::uint64_t const config = fact(f, "config"), reason = fact(f, "reason"), buffer = fact(f, "buffer");
  std::uint32_t const allocate = VEXA_PENDING_ALLOCATE_FILTERS, apply = VEXA_PENDING_APPLY_FILTERS;
  expected_text e(level);
  auto filter = [&](unsigned i, vexa_filter_t const& r, std::string line) {
    e.on(raw, raw_line("filter", buffer + i * sizeof(vexa_filter_t), bytes_of(r)));
    e.on(status, std::move(line));
  };

  e.on(status, "vexa: library loaded");
  e.on(raw, raw_line("__vexa_event_reason", reason, "01 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0x4, 0, 0)));

  e.on(raw, raw_line("__vexa_event_reason", reason, "1c fc ff ff "));
  e.on(errors, "vexa: unknown feature");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(2, 0, 0, 0)));

  e.on(raw, raw_line("__vexa_event_reason", reason, "18 fc ff ff "));
  e.on(errors, "vexa: version mismatch");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, allocate, 0, 178956971)));

  e.on(raw, raw_line("__vexa_event_reason", reason, "1b fc ff ff "));
  e.on(errors, "vexa: invalid parameter");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, allocate, 0, 178956970)));
  e.on(status, "vexa: allocate 4294967280 bytes of filter buffer");

  e.on(raw, raw_line("__vexa_event_reason", reason, "1a fc ff ff "));
  e.on(errors, "vexa: out of memory");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, allocate, 0, 3)));
  e.on(status, "vexa: allocate 72 bytes of filter buffer");

  e.on(status, "vexa: configuration updated");
  e.on(raw, raw_line("__vexa_event_reason", reason, "03 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, apply, 0, 3)));
  filter(0, record(1, 1, 2, 0x100, 0x10), "vexa: add tsm code filter(0x100, 0x10)");
  filter(1, record(2, 4, 2, 0x7, 0x1234), "vexa: add re thread filter(0x7, 0x1234)");
  filter(2, record(1, 1, 2, 0x104, 0x4), "vexa: add tsm code filter(0x104, 0x4)");

  e.on(raw, raw_line("__vexa_event_reason", reason, "1e fc ff ff "));
  e.on(errors, "vexa: filter operation failed");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, apply, 0, 2)));
  filter(0, record(2, 2, 1, 0, 0), "vexa: clear re data filter(0x0, 0x0)");
  filter(1, record(1, 3, 2, 0x10, 0x20), "vexa: add tsm ? filter(0x10, 0x20)");

  e.on(raw, raw_line("__vexa_event_reason", reason, "1d fc ff ff "));
  e.on(errors, "vexa: bad filter operation");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, apply, 0, 1)));
  filter(0, record(7, 3, 8, 0xabc, 0xdef), "vexa: ? ? ? filter(0xabc, 0xdef)");

  e.on(raw, raw_line("__vexa_event_reason", reason, "1c fc ff ff "));
  e.on(errors, "vexa: unknown feature");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, apply, 0, 4)));

  e.on(raw, raw_line("__vexa_event_reason", reason, "1b fc ff ff "));
  e.on(errors, "vexa: invalid parameter");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, apply | VEXA_PENDING_RESET_TSM, 0, 3)));
  filter(0, record(1, 2, 2, 0x5000, 0x40), "vexa: add tsm data filter(0x5000, 0x40)");
  filter(1, record(2, 1, 2, 0x3000, 0x1), "vexa: add re code filter(0x3000, 0x1)");
  filter(2, record(2, 1, 4, 0x3000, 0x1), "vexa: remove re code filter(0x3000, 0x1)");
  e.on(status, "vexa: resetting tsm");

  e.on(status, "vexa: configuration updated");
  e.on(raw, raw_line("__vexa_event_reason", reason, "03 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, 0, 0)));

  // Decimal, although the lines before left the stream in hexadecimal.
  e.on(errors, "vexa: no task id for (0, " + dec(fact(f, "m")) + ")");
  e.on(raw, raw_line("__vexa_event_reason", reason, "20 fc ff ff "));
  e.on(errors, "vexa: task nesting error");
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, 0, 0)));

  e.on(status, "vexa: library unloaded");
  e.on(raw, raw_line("__vexa_event_reason", reason, "02 00 00 00 "));
  e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, 0, 0)));
  return e.lines();
}

TEST(DiagnosticText, CommandFailuresFilterRecordsAndHookErrors) {
  for (std::uint32_t level : every_level) {
    SCOPED_TRACE("VEXA_LOGGING=" + hex(level));
    run_t r = run_events("commands", level, {{"VEXA_GUARD", "1"}});
    ASSERT_EQ(r.result.status, 0);
    EXPECT_EQ(r.result.err, commands_text(level, r.facts));
  }
}

TEST(DiagnosticText, NoLevelBitAboveTheSixPrintsAnything) {
  std::vector<std::pair<std::string, std::string>> const env[] = {
      {}, {{"VEXA_GUARD", "3"}, {"VEXA_ENABLE", "1"}}, {{"VEXA_GUARD", "5"}, {"VEXA_ENABLE", "2"}}, {{"VEXA_GUARD", "1"}}};
  char const* const names[] = {"status", "sharing", "reentrant", "commands"};
  for (std::uint32_t level : {0x0u, 0xffffffc0u}) {
    for (int i = 0; i < 4; ++i) {
      SCOPED_TRACE(std::string(names[i]) + " with VEXA_LOGGING=" + hex(level));
      run_t r = run_events(names[i], level, env[i]);
      ASSERT_EQ(r.result.status, 0);
      EXPECT_EQ(r.result.err, std::vector<std::string>{});
      EXPECT_FALSE(r.facts.empty());  // the scenario did run
    }
  }
}

// ---- reasons only the library itself raises, from a child that links
// the objects.

TEST(DiagnosticText, ErrorLinesOfReasonsWithAndWithoutMessage) {
  char const* const reasons[] = {"-5", "-999", "-991", "-993", "5", "0", "-2147483648"};
  for (std::uint32_t level : every_level) {
    SCOPED_TRACE("VEXA_LOGGING=" + hex(level));
    std::vector<std::string> argv{program_path("diagnostics_raise")};
    argv.insert(argv.end(), std::begin(reasons), std::end(reasons));
    child_result c = run_child(argv, {{"VEXA_LOGGING", hex(level)}});
    ASSERT_EQ(c.status, 0);
    facts_t const f = parse_facts(c.out);
    std::uint64_t const config = fact(f, "config"), reason = fact(f, "reason");

    expected_text e(level);
    auto stop = [&](vexa_event_reason_t r, char const* error) {
      e.on(raw, raw_line("__vexa_event_reason", reason, reason_bytes(r)));
      if (error != nullptr) e.on(errors, error);
      e.on(raw, raw_line("__vexa_config", config, config_bytes(1, 0, 0, 0)));
    };
    e.on(status, "vexa: library loaded");
    stop(1, nullptr);
    stop(-5, "vexa: internal error 4294967291");
    stop(-999, "vexa: internal error 4294966297");
    stop(-991, "vexa: invalid task handle");
    stop(-993, "vexa: task handle overflow");
    stop(5, nullptr);  // only the raw dump covers it; reason 0 is no stop at all
    stop(INT32_MIN, "vexa: internal error 2147483648");
    e.on(status, "vexa: library unloaded");
    stop(2, nullptr);
    EXPECT_EQ(c.err, e.lines());
  }
}

// ---- what no stop of a running program reaches, in process.

TEST(DiagnosticText, DumpOfReasonZeroPrintsOkAndUncoveredReasonsNothing) {
  vexa::logging_level = 0x3f & ~raw;
  captured_stderr err;
  __vexa_event_reason = 0;
  vexa::dump_communication();
  for (vexa_event_reason_t r : {5, 255, 258, 1000}) {
    __vexa_event_reason = r;
    vexa::dump_communication();
  }
  EXPECT_EQ(err.lines(), std::vector<std::string>{"vexa: ok"});
}

TEST(DiagnosticText, EmptyDetectionArrayDumpsLabelAndAddressOnly) {
  vexa::logging_level = raw;
  tsm_access_desc_t none[1];
  __vexa_event_reason = VEXA_EVENT_DATA_SHARING;
  __vexa_current_detection = vexa_detection_t{};
  __vexa_current_detection.u.tsm.offended = reinterpret_cast<std::uintptr_t>(none);
  captured_stderr err;
  vexa::dump_communication();
  auto const lines = err.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], raw_line("offended", reinterpret_cast<std::uintptr_t>(none), ""));
}

}  // namespace

// ---- distinct detections: the summary at unload.

TEST(DiagnosticText, DistinctSummaryListsRepeatsMostFrequentFirstThenTheTotal) {
  tsm_access_desc_t offenses[2] = {};
  offenses[0].code = 0x500;
  offenses[1].code = 0x600;
  vexa_detection_t sharing{};
  sharing.u.tsm.offender.code = 0x400;
  sharing.u.tsm.count = 2;
  sharing.u.tsm.offended = reinterpret_cast<std::uintptr_t>(offenses);
  vexa_detection_t reentrant{};
  reentrant.u.re.function = 0x8048abc;

  vexa::distinct_t& table = vexa::distinct_t::get();
  EXPECT_TRUE(table.admit(VEXA_EVENT_DATA_SHARING, sharing));   // both pairs new
  EXPECT_TRUE(table.admit(VEXA_EVENT_REENTRANT_CALL, reentrant));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(table.admit(VEXA_EVENT_REENTRANT_CALL, reentrant));
  offenses[1].code = 0x700;  // (0x400, 0x500) again, (0x400, 0x700) new
  vexa_detection_t mixed = sharing;
  EXPECT_TRUE(table.admit(VEXA_EVENT_DATA_SHARING, mixed));
  EXPECT_EQ(mixed.u.tsm.count, 1u);
  EXPECT_EQ(reinterpret_cast<tsm_access_desc_t const*>(mixed.u.tsm.offended)->code, 0x700u);

  std::size_t total = 0;
  std::vector<vexa_distinct_t> const repeated = table.repeated(total);
  captured_stderr err;
  vexa::print_distinct_summary(repeated, total);
  EXPECT_EQ(err.lines(), (std::vector<std::string>{
                             "vexa: reentrant call 0x8048abc reported once, seen 4 times",
                             "vexa: data sharing 0x400 / 0x500 reported once, seen 2 times",
                             "vexa: 4 distinct detections reported, 4 repeats not reported",
                         }));
}
