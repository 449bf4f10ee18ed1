// The race suite: every program is run with the sharing detector and all
// hooks on, at four threads and (GCC's builds) at one. A program named
// NAME_racy_BUILD must be reported at least once in every run;
// NAME_fixed_BUILD never.
// The recorder linked into each program prints each report as a line
// "vexa-recorder: tsm ..." on stderr.
#include <gtest/gtest.h>

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
  if (pending(program)) GTEST_SKIP() << program << " cannot be linked yet (see races_pending in tests/races.cmake)";
  child_result r = run_child({std::string(VEXA_RACES_DIR) + "/" + program},
                             {{"VEXA_ENABLE", "1"}, {"VEXA_GUARD", "7"}, {"OMP_NUM_THREADS", std::to_string(threads)}});
  ASSERT_EQ(r.status, 0);
  EXPECT_FALSE(r.out.empty()) << "the program prints its result";
  int reports = 0;
  for (std::string const& line : r.err) {
    if (line.rfind("vexa-recorder: tsm", 0) == 0) ++reports;
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
  // bounds under emulation; GCC's cover one thread.
  for (std::string const& program : programs) {
    if (program.find("_clang_") == std::string::npos) all.emplace_back(program, 1);
    all.emplace_back(program, 4);
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Suite, Races, ::testing::ValuesIn(runs()), [](::testing::TestParamInfo<run_param> const& info) {
  return std::get<0>(info.param) + "_" + std::to_string(std::get<1>(info.param)) + "thread";
});

}  // namespace
