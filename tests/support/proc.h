// proc.h - run a program under test as a real child process and watch its
// output. Waits are event-driven (poll on the child's pipes) and bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

class Process {
 public:
  Process() = default;
  ~Process();  // kills a child still running
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  // Starts argv[0] (looked up in PATH when it has no '/'), with extra
  // environment entries and an optional working directory.
  bool start(const std::vector<std::string> &argv,
             const std::map<std::string, std::string> &env = {}, const std::string &cwd = "");

  // Waits until the text has appeared on stdout or stderr (from the start
  // of the run, or after the mark given), or the time limit passes.
  bool waitForStdout(const std::string &text, std::chrono::milliseconds limit, size_t from = 0);
  bool waitForStderr(const std::string &text, std::chrono::milliseconds limit, size_t from = 0);

  // Reads whatever output is available without waiting.
  void pump(std::chrono::milliseconds limit = std::chrono::milliseconds(0));

  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }

  // Writes to the child's standard input (a pipe kept open until closeStdin).
  bool writeStdin(const std::string &text);
  void closeStdin();

  bool signal(int sig);
  // Waits for the child to end; returns its exit status, 128+signal when a
  // signal ended it, or -1 when it is still running after the limit.
  int wait(std::chrono::milliseconds limit);
  bool running();
  pid_t pid() const { return pid_; }

 private:
  bool waitFor(const std::string &text, bool onStderr, std::chrono::milliseconds limit,
               size_t from);
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int inFd_ = -1;
  int status_ = -1;
  std::string out_;
  std::string err_;
};

// The directory of the built programs (set by CMake as KIVAMET_BIN_DIR).
std::string binDir();

// A fresh empty directory under the system's temporary folder.
std::string makeTempDir(const std::string &tag);

}  // namespace testsupport
