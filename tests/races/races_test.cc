// The race suite: every program is run with the sharing detector and all
// hooks on, at four threads and (GCC's builds) at one. A program named
// NAME_racy_BUILD must be reported at least once in every run;
// NAME_fixed_BUILD never.
// The recorder linked into each program prints each report as a line
// "vexa-recorder: tsm ..." on stderr, each access's code as PROGRAM+OFFSET.
// A source whose racing lines end in the comment "// race" is checked by
// line too: every access of every report of its racy program must be on
// one of them (a report of other lines is a false one, even in a racy
// program).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/child.h"

using namespace vexa_test;

namespace {

std::vector<std::string> split(std::string const& list) {
  std::vector<std::string> items;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) items.push_back(item);
  return items;
}

// The source lines of tests/races/NAME.c(c) that end in "// race".
std::set<int> race_lines(std::string const& program) {
  std::string const name = program.substr(0, program.find("_racy_") != std::string::npos ? program.find("_racy_")
                                                                                           : program.find("_fixed_"));
  std::set<int> lines;
  for (char const* suffix : {".c", ".cc"}) {
    std::ifstream in(std::string(VEXA_RACES_SOURCE_DIR) + "/" + name + suffix);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
      ++n;
      if (line.size() >= 7 && line.compare(line.size() - 7, 7, "// race") == 0) lines.insert(n);
    }
  }
  return lines;
}

// The source lines of the program's code offsets in a report line, through
// addr2line (an offset is a return address: the call is the byte before).
std::vector<int> lines_of(std::string const& path, std::string const& report) {
  std::string const base = path.substr(path.rfind('/') + 1) + "+0x";
  std::string command = "addr2line -e '" + path + "'";
  for (std::size_t at = report.find(base); at != std::string::npos; at = report.find(base, at + 1)) {
    unsigned long offset = std::stoul(report.substr(at + base.size()), nullptr, 16);
    char hex[32];
    std::snprintf(hex, sizeof hex, " 0x%lx", offset - 1);
    command += hex;
  }
  std::vector<int> lines;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, p) != nullptr) {
      std::string const l(buffer);
      std::size_t const colon = l.rfind(':');
      lines.push_back(colon == std::string::npos ? 0 : std::atoi(l.c_str() + colon + 1));
    }
    pclose(p);
  }
  return lines;
}

bool racy(std::string const& program) { return program.find("_racy_") != std::string::npos; }

bool pending(std::string const& program) {
  for (std::string const& p : split(VEXA_RACES_PENDING))
    if (p == program) return true;
  return false;
}

// Program and OMP_NUM_THREADS. One thread runs every task one after the
// other, which must change nothing: the programs that need a team of two
// ask for it themselves.
using run_param = std::tuple<std::string, int>;

class Races : public ::testing::TestWithParam<run_param> {};

TEST_P(Races, RacyIsReportedAndFixedIsNot) {
  std::string const program = std::get<0>(GetParam());
  int const threads = std::get<1>(GetParam());
  if (pending(program)) GTEST_SKIP() << program << " is not run with this toolchain (see races_pending in tests/races.cmake)";
  child_result r = run_child({std::string(VEXA_RACES_DIR) + "/" + program},
                             {{"VEXA_ENABLE", "1"}, {"VEXA_GUARD", "7"}, {"OMP_NUM_THREADS", std::to_string(threads)}});
  ASSERT_EQ(r.status, 0);
  EXPECT_FALSE(r.out.empty()) << "the program prints its result";
  int reports = 0;
  std::set<int> const marked = race_lines(program);
  for (std::string const& line : r.err) {
    if (line.rfind("vexa-recorder: tsm", 0) == 0) {
      ++reports;
      if (!marked.empty() && racy(program) && reports <= 20) {
        for (int l : lines_of(std::string(VEXA_RACES_DIR) + "/" + program, line))
          EXPECT_EQ(marked.count(l), 1u) << "line " << l << " in a report of " << program << ": " << line;
      }
    }
    EXPECT_EQ(line.rfind("vexa-recorder: error", 0), std::string::npos) << line;
  }
  if (racy(program))
    EXPECT_GT(reports, 0) << program << " races, at " << threads << " thread(s)";
  else
    EXPECT_EQ(reports, 0) << program << " is race-free, at " << threads << " thread(s)";
}

std::vector<run_param> runs() {
  std::vector<std::string> programs = split(VEXA_RACES_PROGRAMS);
  for (std::string const& p : split(VEXA_RACES_PENDING)) programs.push_back(p);
  std::vector<run_param> all;
  // clang's builds run at four threads only, to keep the suite's time in
  // bounds under emulation; GCC's cover one thread, and so do clang's of
  // the sources that only clang's builds can run.
  std::vector<std::string> const clang_one = split(VEXA_RACES_CLANG_ONE_THREAD);
  for (std::string const& program : programs) {
    bool one = program.find("_clang_") == std::string::npos;
    for (std::string const& name : clang_one)
      one = one || program.rfind(name + "_racy_", 0) == 0 || program.rfind(name + "_fixed_", 0) == 0;
    if (one) all.emplace_back(program, 1);
    all.emplace_back(program, 4);
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Suite, Races, ::testing::ValuesIn(runs()), [](::testing::TestParamInfo<run_param> const& info) {
  return std::get<0>(info.param) + "_" + std::to_string(std::get<1>(info.param)) + "thread";
});

}  // namespace
