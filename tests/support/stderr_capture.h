// stderr_capture.h - what the code under test writes to standard error.
// Header only: the xPL layer's log lines go to descriptor 2, so the capture
// swaps that descriptor for a scratch file while it lives.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace testsupport {

class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    char path[] = "/tmp/kivamet-stderr-XXXXXX";
    fd_ = mkstemp(path);
    if (fd_ < 0) return;  // nothing captured; text() stays empty
    unlink(path);
    saved_ = dup(2);
    dup2(fd_, 2);
  }
  ~StderrCapture() {
    restore();
    if (fd_ >= 0) close(fd_);
  }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;

  // Ends the capture (standard error is restored) and returns what came.
  std::string text() {
    restore();
    std::string out;
    if (fd_ < 0) return out;
    char buffer[4096];
    lseek(fd_, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd_, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  int fd_ = -1;
  int saved_ = -1;
};

}  // namespace testsupport
