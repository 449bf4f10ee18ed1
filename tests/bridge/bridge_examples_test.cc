// The example programs, built by vexa-cc / vexa-c++ with GCC and clang as C
// and as C++, run with the detectors switched on. The recorder linked into
// each prints every detection with module-relative code addresses; addr2line
// turns them into source lines, which must be the lines the sharing or the
// reentrant call comes from. The fixed variants must report nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/child.h"

using namespace vexa_test;

namespace {

struct place_t {
  std::string function;
  std::string file;  // base name
  int line = 0;
};

struct access_t {
  char kind;  // 'r' or 'w'
  unsigned size;
  place_t place;
};

struct reentry_t {
  place_t function;  // the line is that of the function's first instruction
  place_t call;
  unsigned tasks;
};

struct run_t {
  child_result result;
  std::vector<std::vector<access_t>> sharing;  // offender first
  std::vector<reentry_t> reentries;
  std::vector<std::string> errors;
};

std::string base_name(std::string const& path) { return path.substr(path.rfind('/') + 1); }

// Lines of tests/bridge/SOURCE that contain `snippet`.
std::set<int> lines_of(std::string const& source, std::string const& snippet) {
  std::ifstream in(std::string(VEXA_BRIDGE_SOURCES) + "/" + source);
  std::set<int> lines;
  std::string text;
  for (int line = 1; std::getline(in, text); ++line)
    if (text.find(snippet) != std::string::npos) lines.insert(line);
  return lines;
}

int line_of(std::string const& source, std::string const& snippet) {
  std::set<int> lines = lines_of(source, snippet);
  return lines.empty() ? -1 : *lines.begin();
}

// Symbolises "module+0xoffset" through addr2line; `before` steps back into
// the call instruction of a return address.
class symbols_t {
 public:
  explicit symbols_t(std::string program) : program_(std::move(program)) {}

  void want(std::string const& where, bool before) {
    std::string const module = where.substr(0, where.find('+'));
    if (module != base_name(program_)) return;
    unsigned long offset = std::stoul(where.substr(where.find('+') + 1), nullptr, 16);
    if (before) --offset;
    std::ostringstream hex;
    hex << "0x" << std::hex << offset;
    keys_.push_back(where + (before ? "-" : ""));
    offsets_.push_back(hex.str());
  }

  void resolve() {
    if (offsets_.empty()) return;
    std::vector<std::string> argv{VEXA_ADDR2LINE, "-f", "-C", "-e", program_};
    argv.insert(argv.end(), offsets_.begin(), offsets_.end());
    child_result r = run_child(argv);
    for (std::size_t i = 0; i < keys_.size() && 2 * i + 1 < r.out.size(); ++i) {
      std::string const& at = r.out[2 * i + 1];
      place_t p;
      p.function = r.out[2 * i];
      p.file = base_name(at.substr(0, at.rfind(':')));
      p.line = std::atoi(at.substr(at.rfind(':') + 1).c_str());
      places_[keys_[i]] = p;
    }
  }

  place_t at(std::string const& where, bool before) const {
    auto it = places_.find(where + (before ? "-" : ""));
    return it == places_.end() ? place_t{"?", where, 0} : it->second;
  }

 private:
  std::string program_;
  std::vector<std::string> keys_, offsets_;
  std::map<std::string, place_t> places_;
};

run_t run(std::string const& program, unsigned enable, char const* logging = "0") {
  std::string const path = std::string(VEXA_BRIDGE_EXAMPLES) + "/" + program;
  run_t r;
  r.result = run_child({path}, {{"VEXA_ENABLE", std::to_string(enable)}, {"VEXA_GUARD", "7"}, {"VEXA_LOGGING", logging}});

  // vexa-recorder: tsm w4 prog+0x12ab r4 prog+0x1290 ...
  // vexa-recorder: re prog+0x1230 at prog+0x1301 tasks 2
  // vexa-recorder: error -992
  std::vector<std::vector<std::string>> lines;
  symbols_t symbols(path);
  std::string const prefix = "vexa-recorder: ";
  for (std::string const& line : r.result.err) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::istringstream words(line.substr(prefix.size()));
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    if (w[0] == "tsm") {
      for (std::size_t i = 2; i < w.size(); i += 2) symbols.want(w[i], true);
    } else if (w[0] == "re" && w.size() == 6) {
      symbols.want(w[1], false);
      symbols.want(w[3], true);
    }
    lines.push_back(w);
  }
  symbols.resolve();
  for (auto const& w : lines) {
    if (w[0] == "tsm") {
      std::vector<access_t> report;
      for (std::size_t i = 1; i + 1 < w.size(); i += 2)
        report.push_back({w[i][0], static_cast<unsigned>(std::stoul(w[i].substr(1))), symbols.at(w[i + 1], true)});
      r.sharing.push_back(report);
    } else if (w[0] == "re" && w.size() == 6) {
      r.reentries.push_back({symbols.at(w[1], false), symbols.at(w[3], true), static_cast<unsigned>(std::stoul(w[5]))});
    } else if (w[0] == "error") {
      r.errors.push_back(w.size() > 1 ? w[1] : "?");
    }
  }
  return r;
}

// `symbol` names the function `name` itself, in C ("walk") or C++
// ("walk(int)"), not a clone the compiler outlined from it.
bool names(std::string const& symbol, std::string const& name) {
  return symbol == name || (symbol.rfind(name + "(", 0) == 0 && symbol.find("clone") == std::string::npos);
}

std::string describe(std::vector<access_t> const& report) {
  std::string s;
  for (access_t const& a : report)
    s += std::string(1, a.kind) + std::to_string(a.size) + " " + a.place.function + " " + a.place.file + ":" +
         std::to_string(a.place.line) + "; ";
  return s;
}

unsigned const sharing_detector = 1;
unsigned const reentrancy_detector = 2;

// One build of the examples: compiler and language.
class BridgeExamples : public ::testing::TestWithParam<std::string> {
 protected:
  std::string program(std::string const& name) const { return name + "_" + GetParam(); }
  static void needs_openmp() {
    if (!VEXA_BRIDGE_OPENMP) GTEST_SKIP() << "built without OpenMP support";
  }
};

TEST_P(BridgeExamples, SharedCounterIsReportedAtBothUpdates) {
  run_t r = run(program("counter"), sharing_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_TRUE(r.errors.empty());
  int const deposit = line_of("counter.c", "balance += amount;");
  int const withdraw = line_of("counter.c", "balance -= amount;");
  ASSERT_FALSE(r.sharing.empty());
  for (auto const& report : r.sharing) {
    ASSERT_GE(report.size(), 2u);
    int const own = report[0].place.line;
    EXPECT_TRUE(own == deposit || own == withdraw) << describe(report);
    for (std::size_t i = 1; i < report.size(); ++i) {
      EXPECT_EQ(report[i].place.file, "counter.c") << describe(report);
      EXPECT_EQ(report[i].place.line, own == deposit ? withdraw : deposit) << describe(report);
    }
  }
}

TEST_P(BridgeExamples, AtomicCounterReportsNothing) {
  run_t r = run(program("counter_fixed"), sharing_detector | reentrancy_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_EQ(r.result.out, std::vector<std::string>{"balance: 115"});
  EXPECT_TRUE(r.sharing.empty()) << describe(r.sharing.front());
  EXPECT_TRUE(r.reentries.empty());
  EXPECT_TRUE(r.errors.empty());
}

TEST_P(BridgeExamples, RecursiveFunctionEnteredFromTwoTasksIsReported) {
  run_t r = run(program("recursion"), reentrancy_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_TRUE(r.errors.empty());
  std::set<int> calls = lines_of("recursion.c", "walk(0);");
  calls.insert(line_of("recursion.c", "walk(depth + 1);"));
  ASSERT_FALSE(r.reentries.empty());
  for (reentry_t const& e : r.reentries) {
    EXPECT_TRUE(names(e.function.function, "walk")) << e.function.function;
    EXPECT_EQ(e.function.line, line_of("recursion.c", "static void walk(int depth)"));
    EXPECT_EQ(calls.count(e.call.line), 1u) << "called at line " << e.call.line;
    EXPECT_EQ(e.tasks, 2u);
  }
}

TEST_P(BridgeExamples, RecursionOneTaskAfterTheOtherReportsNothing) {
  run_t r = run(program("recursion_fixed"), reentrancy_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_EQ(r.result.out, std::vector<std::string>{"deepest: 3"});
  EXPECT_TRUE(r.reentries.empty());
  EXPECT_TRUE(r.errors.empty());
}

TEST_P(BridgeExamples, ResultsReadBeforeTheTaskwaitAreReportedAtBothLines) {
  needs_openmp();
  run_t r = run(program("tree"), sharing_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_TRUE(r.errors.empty());
  int const sum = line_of("tree.c", "long nodes = left + right + 1;");
  std::set<int> const children{line_of("tree.c", "left = count_nodes("), line_of("tree.c", "right = count_nodes(")};
  ASSERT_FALSE(r.sharing.empty());
  for (auto const& report : r.sharing) {
    ASSERT_GE(report.size(), 2u);
    // Either the parent's read meets a child's write, or the other way round.
    bool const parent_second = report[0].place.line == sum;
    for (std::size_t i = 0; i < report.size(); ++i) {
      bool const parent = i == 0 ? parent_second : !parent_second;
      if (parent) {
        EXPECT_EQ(report[i].kind, 'r') << describe(report);
        EXPECT_EQ(report[i].place.line, sum) << describe(report);
      } else {
        EXPECT_EQ(report[i].kind, 'w') << describe(report);
        EXPECT_EQ(children.count(report[i].place.line), 1u) << describe(report);
      }
    }
  }
}

TEST_P(BridgeExamples, ResultsReadAfterTheTaskwaitReportNothing) {
  needs_openmp();
  run_t r = run(program("tree_fixed"), sharing_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_EQ(r.result.out, std::vector<std::string>{"nodes: 31"});
  EXPECT_TRUE(r.sharing.empty()) << describe(r.sharing.front());
  EXPECT_TRUE(r.errors.empty());
}

// The child tasks enter count_nodes while their parent still has it open.
// The region's outlined body runs in both implicit tasks at once, which is
// how a region runs, not a reentrant call. The sequential part runs no
// task, so its functions are no hook calls (logging bit 0x4 would print
// "vexa: no task id" for each).
TEST_P(BridgeExamples, TaskTreeEntersItsRecursiveFunctionFromTwoTasks) {
  needs_openmp();
  run_t r = run(program("tree_fixed"), reentrancy_detector, "4");
  ASSERT_EQ(r.result.status, 0);
  EXPECT_TRUE(r.errors.empty());
  for (std::string const& line : r.result.err) EXPECT_EQ(line.rfind("vexa: ", 0), std::string::npos) << line;
  std::set<int> calls{line_of("tree.c", "left = count_nodes("), line_of("tree.c", "right = count_nodes(")};
  bool saw_tree = false;
  for (reentry_t const& e : r.reentries) {
    if (names(e.function.function, "count_nodes")) {
      saw_tree = true;
      EXPECT_EQ(calls.count(e.call.line), 1u) << "called at line " << e.call.line;
    } else {  // an explicit task's body (GCC: count_nodes._omp_fn.N, clang: .omp_task_entry.)
      EXPECT_NE(e.function.function.find("omp_"), std::string::npos) << e.function.function;
      EXPECT_EQ(e.function.function.find("main._omp_fn"), std::string::npos) << e.function.function;
      EXPECT_EQ(e.function.function.find(".omp_outlined"), std::string::npos) << e.function.function;
    }
  }
  EXPECT_TRUE(saw_tree);
}

TEST_P(BridgeExamples, RegionBodyIsReentrantOnlyAcrossRegions) {
  needs_openmp();
  run_t r = run(program("regions"), reentrancy_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_TRUE(r.errors.empty());
  int const main_line = line_of("regions.c", "int main(void)");
  bool inner_body = false, called_function = false;
  for (reentry_t const& e : r.reentries) {
    EXPECT_LT(e.function.line, main_line) << "the outer region's body: " << e.function.function;
    if (names(e.function.function, "region"))
      called_function = true;
    else
      inner_body = true;
  }
  EXPECT_TRUE(called_function);
  EXPECT_TRUE(inner_body);
}

TEST_P(BridgeExamples, OrderedOpenMPConstructsReportNothing) {
  needs_openmp();
  run_t r = run(program("constructs"), sharing_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_EQ(r.result.out, std::vector<std::string>{GetParam().find("cxx") != std::string::npos ? "sum: 490" : "sum: 485"});
  EXPECT_TRUE(r.sharing.empty()) << describe(r.sharing.front());
  EXPECT_TRUE(r.errors.empty());
}

// Programs that need more than the bridge and the runtime's usual entry
// points: without what the wrapper adds they do not link, or abort at start.

// GCC's device constructs have no runtime entry points in libomp; the
// bridge runs them on the host, as a league of one team.
TEST_P(BridgeExamples, DeviceConstructsRunOnTheHost) {
  needs_openmp();
  run_t r = run(program("offload"), sharing_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_EQ(r.result.out, std::vector<std::string>{"late 42 sum 499500 teams 1 initial 1 firstprivate 1"});
  EXPECT_TRUE(r.sharing.empty()) << describe(r.sharing.front());
  EXPECT_TRUE(r.errors.empty());
}

// GOMP_task is the program's only call into the runtime, and the bridge
// defines it: the runtime must stay linked for the bridge to forward to.
TEST_P(BridgeExamples, TaskOutsideAnyRegionIsTheOnlyRuntimeCall) {
  needs_openmp();
  run_t r = run(program("task_only"), sharing_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_EQ(r.result.out, std::vector<std::string>{"value 42"});
}

// A 16-byte atomic is calls into libatomic.
TEST_P(BridgeExamples, AtomicWiderThanLockFreeCounts) {
  run_t r = run(program("wide_atomic"), sharing_detector);
  ASSERT_EQ(r.result.status, 0);
  EXPECT_EQ(r.result.out, std::vector<std::string>{"count 2000 twice 4000"});
  EXPECT_TRUE(r.sharing.empty()) << describe(r.sharing.front());
}

std::vector<std::string> builds() {
  std::vector<std::string> b{"gcc_c", "gcc_cxx"};
  if (VEXA_BRIDGE_CLANG) {
    b.push_back("clang_c");
    b.push_back("clang_cxx");
  }
  return b;
}

INSTANTIATE_TEST_SUITE_P(Builds, BridgeExamples, ::testing::ValuesIn(builds()),
                         [](::testing::TestParamInfo<std::string> const& info) { return info.param; });

// The same programs under the GDB client, as a user runs them. Its batch
// mode exits with 1 when it reported something and 0 when not; each report
// names the stopped access and every earlier one it conflicts with as
// "#0 0x... in FUNCTION at FILE:LINE".
struct gdb_run_t {
  int status = -1;
  std::vector<std::vector<int>> sharing;  // lines of the #0 frames of each data sharing report
  std::vector<std::string> called;        // function of each reentrant call report
};

gdb_run_t run_under_gdb(std::string const& program, std::vector<std::string> const& commands) {
  std::vector<std::string> argv{VEXA_BRIDGE_GDB};
  for (std::string const& command : commands) argv.insert(argv.end(), {"-ex", command});
  argv.push_back(std::string(VEXA_BRIDGE_EXAMPLES) + "/" + program);
  child_result r = run_child(argv, {}, 120);
  gdb_run_t g;
  g.status = r.status;
  std::regex const frame(R"(^\s+#0 0x[0-9a-f]+ in .+ at \S+:(\d+)$)");  // "OpenMP region in f(int)"
  std::regex const call(R"(^\s+Call of (\S+) )");
  bool sharing = false;
  // Reports go to the client's stderr; stdout is the program's alone.
  for (std::string const& line : r.err) {
    std::smatch m;
    if (line == "vexa: data sharing detected") {
      sharing = true;
      g.sharing.emplace_back();
    } else if (line == "vexa: reentrant call detected") {
      sharing = false;
    } else if (sharing && std::regex_match(line, m, frame)) {
      g.sharing.back().push_back(std::stoi(m[1]));
    } else if (std::regex_search(line, m, call)) {
      g.called.push_back(m[1]);
    }
  }
  return g;
}

class BridgeUnderGdb : public BridgeExamples {
 protected:
  void SetUp() override {
    if (std::string(VEXA_BRIDGE_GDB).empty()) GTEST_SKIP() << "the GDB client is not built";
  }
};

TEST_P(BridgeUnderGdb, SharedCounterReportsNameBothUpdates) {
  gdb_run_t g = run_under_gdb(program("counter"), {"vexa disable re"});
  EXPECT_EQ(g.status, 1);
  std::set<int> const updates{line_of("counter.c", "balance += amount;"), line_of("counter.c", "balance -= amount;")};
  ASSERT_FALSE(g.sharing.empty());
  for (std::vector<int> const& report : g.sharing) {
    EXPECT_GE(report.size(), 2u);
    for (int line : report) EXPECT_EQ(updates.count(line), 1u) << "line " << line;
  }
}

TEST_P(BridgeUnderGdb, AtomicCounterReportsNothing) {
  gdb_run_t g = run_under_gdb(program("counter_fixed"), {"vexa enable"});
  EXPECT_EQ(g.status, 0);
  EXPECT_TRUE(g.sharing.empty());
}

TEST_P(BridgeUnderGdb, TaskTreeReportsNameTheReadAndTheWrites) {
  needs_openmp();
  gdb_run_t g = run_under_gdb(program("tree"), {"vexa disable re"});
  EXPECT_EQ(g.status, 1);
  int const sum = line_of("tree.c", "long nodes = left + right + 1;");
  std::set<int> const lines{sum, line_of("tree.c", "left = count_nodes("), line_of("tree.c", "right = count_nodes(")};
  ASSERT_FALSE(g.sharing.empty());
  for (std::vector<int> const& report : g.sharing) {
    EXPECT_GE(report.size(), 2u);
    EXPECT_EQ(std::count(report.begin(), report.end(), sum), 1) << "one side is the parent's read";
    for (int line : report) EXPECT_EQ(lines.count(line), 1u) << "line " << line;
  }
}

TEST_P(BridgeUnderGdb, TaskTreeWaitingFirstReportsNothing) {
  needs_openmp();
  gdb_run_t g = run_under_gdb(program("tree_fixed"), {"vexa disable re"});
  EXPECT_EQ(g.status, 0);
  EXPECT_TRUE(g.sharing.empty());
}

// Reentrant calls are reported in programs built by the wrappers when asked for.
TEST_P(BridgeUnderGdb, RecursionReportsNameTheFunction) {
  gdb_run_t g = run_under_gdb(program("recursion"), {"vexa disable tsm", "vexa enable re"});
  EXPECT_EQ(g.status, 1);
  ASSERT_FALSE(g.called.empty());
  for (std::string const& f : g.called) EXPECT_TRUE(names(f, "walk")) << f;
}

TEST_P(BridgeUnderGdb, RecursionOneAfterTheOtherReportsNothing) {
  gdb_run_t g = run_under_gdb(program("recursion_fixed"), {"vexa disable tsm", "vexa enable re"});
  EXPECT_EQ(g.status, 0);
  EXPECT_TRUE(g.called.empty());
}

INSTANTIATE_TEST_SUITE_P(Builds, BridgeUnderGdb, ::testing::ValuesIn(builds()),
                         [](::testing::TestParamInfo<std::string> const& info) { return info.param; });

// A C++ program of threads, atomics, virtual calls, strings and exceptions
// prints the same when it is built with the wrapper and checked.
class BridgeEveryday : public ::testing::TestWithParam<std::string> {};

TEST_P(BridgeEveryday, PrintsTheSameAsWithoutInstrumentation) {
  child_result plain = run_child({VEXA_BRIDGE_PLAIN});
  ASSERT_EQ(plain.status, 0);
  ASSERT_FALSE(plain.out.empty());
  run_t r = run("everyday_" + GetParam(), sharing_detector | reentrancy_detector);
  EXPECT_EQ(r.result.status, 0);
  EXPECT_EQ(r.result.out, plain.out);
  EXPECT_TRUE(r.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Compilers, BridgeEveryday,
                         ::testing::ValuesIn(VEXA_BRIDGE_CLANG ? std::vector<std::string>{"gcc", "clang"}
                                                               : std::vector<std::string>{"gcc"}),
                         [](::testing::TestParamInfo<std::string> const& info) { return info.param; });

}  // namespace
