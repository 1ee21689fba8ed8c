// proc.cpp - child processes with captured output for end-to-end tests.
#include "proc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

namespace {
using Clock = std::chrono::steady_clock;

void closeFd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}
}  // namespace

Process::~Process() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::milliseconds(5000));
  }
  closeFd(outFd_);
  closeFd(errFd_);
  closeFd(inFd_);
}

bool Process::start(const std::vector<std::string> &argv,
                    const std::map<std::string, std::string> &env, const std::string &cwd) {
  // A child that exits must not kill the test through a write to its stdin.
  ::signal(SIGPIPE, SIG_IGN);
  int outPipe[2], errPipe[2], inPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return false;
  }
  if (pipe2(inPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    close(errPipe[0]);
    close(errPipe[1]);
    return false;
  }
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // A test that crashes must not leave its programs running.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    dup2(inPipe[0], 0);
    for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  close(inPipe[0]);
  inFd_ = inPipe[1];
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
  fcntl(outFd_, F_SETFL, O_NONBLOCK);
  fcntl(errFd_, F_SETFL, O_NONBLOCK);
  pid_ = pid;
  status_ = -1;
  return true;
}

void Process::pump(std::chrono::milliseconds limit) {
  struct pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (outFd_ < 0 && errFd_ < 0) return;
  if (poll(fds, 2, static_cast<int>(limit.count())) <= 0) return;
  char buf[4096];
  for (int i = 0; i < 2; i++) {
    int &fd = i == 0 ? outFd_ : errFd_;
    std::string &dest = i == 0 ? out_ : err_;
    if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        dest.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) closeFd(fd);
      break;
    }
  }
}

bool Process::waitFor(const std::string &text, bool onStderr, std::chrono::milliseconds limit,
                      size_t from) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const std::string &s = onStderr ? err_ : out_;
    if (s.size() > from && s.find(text, from) != std::string::npos) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (outFd_ < 0 && errFd_ < 0) return false;  // child closed both pipes
    pump(std::min(left, std::chrono::milliseconds(200)));
  }
}

bool Process::waitForStdout(const std::string &text, std::chrono::milliseconds limit,
                            size_t from) {
  return waitFor(text, false, limit, from);
}

bool Process::waitForStderr(const std::string &text, std::chrono::milliseconds limit,
                            size_t from) {
  return waitFor(text, true, limit, from);
}

bool Process::writeStdin(const std::string &text) {
  size_t done = 0;
  while (inFd_ >= 0 && done < text.size()) {
    ssize_t n = write(inFd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return done == text.size();
}

void Process::closeStdin() { closeFd(inFd_); }

bool Process::signal(int sig) { return pid_ > 0 && status_ < 0 && ::kill(pid_, sig) == 0; }

bool Process::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

int Process::wait(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (running()) {
    if (Clock::now() >= deadline) return -1;
    // Keep draining output so a chatty child never blocks on a full pipe.
    pump(std::chrono::milliseconds(20));
  }
  pump();
  return status_;
}

std::string binDir() {
#ifdef KIVAMET_BIN_DIR
  return KIVAMET_BIN_DIR;
#else
  const char *d = getenv("KIVAMET_BIN_DIR");
  return d ? d : ".";
#endif
}

std::string makeTempDir(const std::string &tag) {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivamet-" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  const char *d = mkdtemp(buf.data());
  return d ? d : "";
}

}  // namespace testsupport
