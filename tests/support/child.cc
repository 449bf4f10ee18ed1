#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vexa_test {
namespace {

std::vector<std::string> split_lines(std::string const& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

}  // namespace

std::string program_path(std::string const& name) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("cannot read /proc/self/exe");
  self[n] = '\0';
  std::string dir(self);
  return dir.substr(0, dir.rfind('/') + 1) + name;
}

child_result run_child(std::vector<std::string> const& argv,
                       std::vector<std::pair<std::string, std::string>> const& env, int timeout_seconds) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "VEXA_", 5) != 0) environment.emplace_back(*e);
  for (auto const& kv : env) environment.push_back(kv.first + "=" + kv.second);

  std::vector<char*> args, envp;
  for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto const& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);

  std::string texts[2];
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_fds = 2;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool timed_out = false;
  while (open_fds > 0) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= timeout_seconds) {
      timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, 1000) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        texts[i].append(buf, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);

  child_result r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = timed_out ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = split_lines(texts[0]);
  r.err = split_lines(texts[1]);
  return r;
}

}  // namespace vexa_test
