// Runs a program in a child process with a chosen environment and collects
// its output, for tests of environment variables and diagnostic text.
#ifndef VEXA_TEST_CHILD_H
#define VEXA_TEST_CHILD_H

#include <string>
#include <utility>
#include <vector>

namespace vexa_test {

struct child_result {
  int status = -1;  // exit status, or 128 + signal
  std::vector<std::string> out;  // stdout lines
  std::vector<std::string> err;  // stderr lines
};

// argv[0] is a path; the VEXA_* variables of this process are removed and
// `env` added. Gives up (and kills the child) after timeout_seconds.
child_result run_child(std::vector<std::string> const& argv,
                       std::vector<std::pair<std::string, std::string>> const& env = {},
                       int timeout_seconds = 60);

// Path of a program built beside the running test binary.
std::string program_path(std::string const& name);

}  // namespace vexa_test

#endif  // VEXA_TEST_CHILD_H
