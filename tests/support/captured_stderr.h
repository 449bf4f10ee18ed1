// Collects what the library writes to std::cerr in this process, for
// in-process tests of diagnostic text.
#ifndef VEXA_TEST_CAPTURED_STDERR_H
#define VEXA_TEST_CAPTURED_STDERR_H

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace vexa_test {

class captured_stderr {
 public:
  captured_stderr() : saved_(std::cerr.rdbuf(text_.rdbuf())) {}
  ~captured_stderr() { std::cerr.rdbuf(saved_); }
  std::vector<std::string> lines() const {
    std::vector<std::string> lines;
    std::istringstream in(text_.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::ostringstream text_;
  std::streambuf* saved_;
};

}  // namespace vexa_test

#endif  // VEXA_TEST_CAPTURED_STDERR_H
