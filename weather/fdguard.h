/* fdguard.h - a descriptor closed when its owner goes out of scope. */
#ifndef KIVAMET_FDGUARD_H
#define KIVAMET_FDGUARD_H

#include <unistd.h>

class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) close(fd_);
  }
  FdGuard(const FdGuard &) = delete;
  FdGuard &operator=(const FdGuard &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

#endif /* KIVAMET_FDGUARD_H */
