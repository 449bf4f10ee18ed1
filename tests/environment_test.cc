// The runtime object's life as a program sees it: the four environment
// variables read once at load, the load and unload stops and their lines,
// and an event served without a debugger. Each case runs a program in a
// child process with a chosen environment.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/child.h"

using namespace vexa_test;

namespace {

using lines_t = std::vector<std::string>;
using env_t = std::vector<std::pair<std::string, std::string>>;

// The probe's report, as whole lines, for one environment.
lines_t probe(env_t const& env) {
  child_result const r = run_child({program_path("lifecycle_probe")}, env);
  EXPECT_EQ(r.status, 0);
  return r.out;
}

// One line of the probe's report: the one that starts with `key`.
std::string line_of(lines_t const& lines, std::string const& key) {
  for (auto const& l : lines)
    if (l.rfind(key, 0) == 0) return l;
  return "(no " + key + " line)";
}

std::string logging(env_t const& env) { return line_of(probe(env), "logging:"); }
std::string load_stop(env_t const& env) { return line_of(probe(env), "load stop:"); }
std::string re_filter(env_t const& env) { return line_of(probe(env), "re filter:"); }

// Replaces the hexadecimal digits after the first "0x0x" by "<hex>".
std::string masked(std::string line) {
  std::size_t const at = line.find("0x0x");
  if (at == std::string::npos) return line;
  std::size_t const digits = at + 4;
  std::size_t const end = line.find_first_not_of("0123456789abcdef", digits);
  if (end == digits) return line;
  return line.replace(digits, end - digits, "<hex>");
}

std::string with(std::string const& enable, std::string const& guard) {
  return "load stop: version 1, pending 0x0, enable " + enable + ", count 0, guard " + guard;
}

}  // namespace

TEST(Environment, WithoutVariablesEverythingIsOffAndTheLibraryStopsOnce) {
  EXPECT_EQ(probe({}), (lines_t{
                           "stops: 1",
                           with("0x0", "0x0"),
                           "now: enable 0x0, guard 0x0",
                           "logging: 0x0",
                           "re filter: none",
                           "tsm filter: none",
                       }));
}

TEST(Environment, DebuggerConfiguresTheLibraryAtTheLoadStop) {
  lines_t const lines = probe({{"PROBE_ANSWER_LOAD", "1"}});
  EXPECT_EQ(line_of(lines, "stops:"), "stops: 1 4");
  EXPECT_EQ(line_of(lines, "now:"), "now: enable 0x3, guard 0x7");
}

TEST(Environment, LoggingIsHexadecimalWithOrWithoutPrefix) {
  EXPECT_EQ(logging({{"VEXA_LOGGING", "ff"}}), "logging: 0xff");
  EXPECT_EQ(logging({{"VEXA_LOGGING", "FF"}}), "logging: 0xff");
  EXPECT_EQ(logging({{"VEXA_LOGGING", "0x20"}}), "logging: 0x20");
  EXPECT_EQ(logging({{"VEXA_LOGGING", "24 and more"}}), "logging: 0x24") << "trailing text is ignored";
  EXPECT_EQ(logging({{"VEXA_LOGGING", "ffffffff"}}), "logging: 0xffffffff");
  EXPECT_EQ(logging({{"VEXA_LOGGING", "100000000"}}), "logging: 0x0") << "out of range is ignored";
}

TEST(Environment, EnableIsDecimal) {
  EXPECT_EQ(load_stop({{"VEXA_ENABLE", "3"}}), with("0x3", "0x0"));
  EXPECT_EQ(load_stop({{"VEXA_ENABLE", "2147483649"}}), with("0x80000001", "0x0"));
  EXPECT_EQ(load_stop({{"VEXA_ENABLE", "0x3"}}), with("0x0", "0x0")) << "base 10 stops at the x";
  EXPECT_EQ(load_stop({{"VEXA_ENABLE", "4294967296"}}), with("0x0", "0x0"));
}

TEST(Environment, DistinctIsOneOrZeroAndAnythingElseIsOffWithAMessage) {
  EXPECT_EQ(load_stop({{"VEXA_DISTINCT", "1"}, {"VEXA_ENABLE", "1"}}), with("0x40000001", "0x0"));
  EXPECT_EQ(load_stop({{"VEXA_DISTINCT", "0"}, {"VEXA_ENABLE", "1073741825"}}), with("0x1", "0x0"));
  child_result const r =
      run_child({program_path("lifecycle_hello")}, {{"VEXA_DISTINCT", "yes"}, {"VEXA_LOGGING", "4"}});
  EXPECT_EQ(r.err, (lines_t{"vexa: VEXA_DISTINCT must be 0 or 1, not \"yes\"", "hello: main starts",
                            "hello: main ends"}));
  EXPECT_EQ(load_stop({{"VEXA_DISTINCT", "yes"}, {"VEXA_ENABLE", "1073741824"}}), with("0x0", "0x0"));
}

TEST(Environment, GuardIsDecimalAndOutOfRangeKeepsTheDefault) {
  EXPECT_EQ(load_stop({{"VEXA_GUARD", "7"}}), with("0x0", "0x7"));
  EXPECT_EQ(load_stop({{"VEXA_GUARD", "1"}}), with("0x0", "0x1"));
  EXPECT_EQ(load_stop({{"VEXA_GUARD", "010"}}), with("0x0", "0xa")) << "not octal";
  EXPECT_EQ(load_stop({{"VEXA_GUARD", "4294967295"}}), with("0x0", "0xffffffff"));
  EXPECT_EQ(load_stop({{"VEXA_GUARD", "4294967296"}}), with("0x0", "0x0"));
  EXPECT_EQ(load_stop({{"VEXA_GUARD", "4294967297"}}), with("0x0", "0x0")) << "not truncated to 1";
  EXPECT_EQ(load_stop({{"VEXA_GUARD", "99999999999999999999"}}), with("0x0", "0x0"));
}

TEST(Environment, ReBuildsAFilterOfOneFunction) {
  EXPECT_EQ(re_filter({{"VEXA_RE", "8048000"}}), "re filter: modes 0 1 1, code (0x8048000, 1), 0 data, 0 threads");
  EXPECT_EQ(re_filter({{"VEXA_RE", "0x400"}}), "re filter: modes 0 1 1, code (0x400, 1), 0 data, 0 threads");
  EXPECT_EQ(re_filter({{"VEXA_RE", "7fffffff"}}), "re filter: modes 0 1 1, code (0x7fffffff, 1), 0 data, 0 threads");
  EXPECT_EQ(re_filter({{"VEXA_RE", "80000000"}}), "re filter: none") << "signed: above 7fffffff is out of range";
  EXPECT_EQ(re_filter({{"VEXA_RE", "100000000"}}), "re filter: none");
}

// The probe sets errno before the library is built, and each failing
// variable leaves it set again for the next: neither may hide a valid one.
TEST(Environment, AnErrnoLeftByEarlierCodeDoesNotHideAValidValue) {
  EXPECT_EQ(logging({{"VEXA_LOGGING", "4"}}), "logging: 0x4");
  lines_t const lines = probe({{"VEXA_LOGGING", "100000000"},
                               {"VEXA_ENABLE", "2"},
                               {"VEXA_GUARD", "4294967296"},
                               {"VEXA_RE", "400"}});
  EXPECT_EQ(line_of(lines, "logging:"), "logging: 0x0");
  EXPECT_EQ(line_of(lines, "load stop:"), with("0x2", "0x0"));
  EXPECT_EQ(line_of(lines, "re filter:"), "re filter: modes 0 1 1, code (0x400, 1), 0 data, 0 threads");
}

TEST(Environment, LoadAndUnloadAreAnnouncedAroundMain) {
  child_result const r = run_child({program_path("lifecycle_hello")}, {{"VEXA_LOGGING", "2"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, (lines_t{"vexa: library loaded", "hello: main starts", "hello: main ends",
                            "vexa: library unloaded"}));
}

TEST(Environment, CommandThatRunsOutOfMemoryAtUnloadEndsTheLastStopNotTheProcess) {
  child_result const r = run_child({program_path("lifecycle_unload_oom")}, {{"VEXA_LOGGING", "4"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::vector<std::string>{"filter installed: yes"});
  EXPECT_TRUE(r.err.empty());
}

TEST(Environment, WithoutVariablesTheLibraryPrintsNothing) {
  child_result const r = run_child({program_path("lifecycle_hello")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, (lines_t{"hello: main starts", "hello: main ends"}));
}

TEST(Environment, WithoutADebuggerAnEventPrintsItsLinesOnceAndEndsAtReasonZero) {
  child_result const r = run_child({program_path("lifecycle_hello"), "ping"}, {{"VEXA_LOGGING", "2"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, (lines_t{"vexa: library loaded", "hello: main starts", "vexa: how are you?",
                            "vexa: resetting tsm", "vexa: configuration updated", "hello: reason 0, pending 0",
                            "hello: main ends", "vexa: library unloaded"}));
}

// Bit 0x20 alone: the trace of the task hooks and no status lines, which
// also shows the text was read as hexadecimal (decimal 20 would be 0x14).
TEST(Environment, PrefixedLoggingReachesTheSharedLibrary) {
  child_result const r = run_child({program_path("lifecycle_hello")}, {{"VEXA_LOGGING", "0x20"}, {"VEXA_GUARD", "1"}});
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.out.size(), 1u);
  std::string const identity = "(0, " + r.out[0].substr(r.out[0].find(' ') + 1) + ")";
  ASSERT_EQ(r.err.size(), 4u);
  EXPECT_EQ(r.err[0], "hello: main starts");
  // The address is the stream's pointer form (itself 0x-prefixed) after
  // the literal " at 0x"; only its digits are masked.
  EXPECT_EQ(masked(r.err[1]), "vexa: task enters at 0x0x<hex>, handle: 1 = " + identity);
  EXPECT_EQ(masked(r.err[2]), "vexa: task leaves at 0x0x<hex>, handle: 1 = " + identity);
  EXPECT_EQ(r.err[3], "hello: main ends");
}
