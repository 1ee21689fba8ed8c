// snapshot.cpp - the database copied into an anonymous memory file under
// a shared lock; librrd then opens the copy through /proc/self/fd.
#include "snapshot.h"

#include <errno.h>
#include <fcntl.h>
#include <rrd.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fdguard.h"

namespace graphs {
namespace {

// kivamet holds the exclusive lock for one update, a few milliseconds; a
// lock held longer than this is not an update.
constexpr int LOCK_WAIT_MS = 2000;
constexpr int LOCK_RETRY_MS = 5;

// The same lock librrd's readers take: shared, on the whole file. Tried
// again while a writer holds it.
bool lockShared(int fd, std::string *why) {
  struct flock lock = {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  for (int waited = 0;; waited += LOCK_RETRY_MS) {
    if (fcntl(fd, F_SETLK, &lock) == 0) return true;
    if ((errno != EAGAIN && errno != EACCES) || waited >= LOCK_WAIT_MS) {
      *why = errno == EAGAIN || errno == EACCES ? "locked by another program for more than " +
                                                      std::to_string(LOCK_WAIT_MS / 1000) + " s"
                                                : strerror(errno);
      return false;
    }
    const struct timespec pause = {0, LOCK_RETRY_MS * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

// In the kernel, without a pass through this process's memory: the copy,
// and so the lock, takes as little time as it can.
bool copyAll(int from, int to, off_t size, std::string *why) {
  for (off_t done = 0; done < size;) {
    const ssize_t n = sendfile(to, from, &done, static_cast<size_t>(size - done));
    if (n <= 0) {
      *why = n == 0 ? "the file shrank while it was read" : strerror(errno);
      return false;
    }
  }
  return true;
}

// Opens a regular file only, or gives -1 with the reason. Not blocking:
// opening a FIFO for reading would wait for a writer.
int openRegular(const std::string &path, std::string *why) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  const bool opened = fd >= 0 && fstat(fd, &st) == 0;
  if (opened && S_ISREG(st.st_mode)) return fd;
  *why = opened ? "not a regular file" : strerror(errno);
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

Snapshot::~Snapshot() {
  if (fd_ >= 0) close(fd_);
}

bool Snapshot::take(const std::string &path, std::string *why) {
  path_ = path;
  FdGuard src(openRegular(path, why));
  if (src.get() < 0) return false;
  struct stat st;
  // Closing `src` at the end drops the lock. The size is taken again
  // under it: the file may have been written in between.
  if (!lockShared(src.get(), why)) return false;
  if (fstat(src.get(), &st) != 0) {
    *why = strerror(errno);
    return false;
  }
  const int copy = memfd_create("weather.rrd", MFD_CLOEXEC);
  if (copy < 0) {
    *why = std::string("cannot copy it: ") + strerror(errno);
    return false;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = copy;
  copyPath_ = "/proc/self/fd/" + std::to_string(fd_);
  return copyAll(src.get(), fd_, st.st_size, why);
}

std::string Snapshot::named(std::string reason) const {
  if (copyPath_.empty()) return reason;
  for (size_t at; (at = reason.find(copyPath_)) != std::string::npos;)
    reason.replace(at, copyPath_.size(), path_);
  return reason;
}

time_t Snapshot::lastUpdateInPlace(const std::string &path) {
  std::string why;
  FdGuard fd(openRegular(path, &why));
  if (fd.get() < 0) return -1;
  rrd_clear_error();
  return rrd_last_r(("/proc/self/fd/" + std::to_string(fd.get())).c_str());
}

time_t Snapshot::lastUpdate(std::string *why) const {
  rrd_clear_error();
  const time_t last = rrd_last_r(copyPath_.c_str());
  if (last == static_cast<time_t>(-1)) *why = named(rrd_get_error());
  return last;
}

}  // namespace graphs
