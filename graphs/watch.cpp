// watch.cpp - the --watch loop: inotify on the database's folder and on the
// folder that holds it, a signalfd for SIGTERM and SIGINT, and no timer but
// the stale moment and the pause between two passes.
#include "watch.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "fdguard.h"

namespace graphs {
namespace {

// While samples pour in (a catch-up writes a batch every moment) the page
// is drawn at most once in this long; a lone sample is drawn at once. Each
// pass copies the database under its lock, and kivamet's updates meanwhile
// fail.
constexpr long long REDRAW_GAP_MS = 5000;
// After the gap, a pass waits up to this long for the next update: copied
// just after one, the file is furthest from the next. Without one, the
// samples have stopped coming and the pass goes ahead.
constexpr long long NEXT_UPDATE_WAIT_MS = 1000;

long long monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string folderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The database's folder, followed by its path: when the folder is renamed
// away or removed and another takes its place, the new one is watched. The
// folder above it says when a new one comes.
class FolderWatch {
 public:
  FolderWatch(int fd, const std::string &dbPath)
      : fd_(fd), folder_(folderOf(dbPath)), base_(baseOf(dbPath)) {
    // "." and "/" are the same folder whatever happens to their paths.
    if (folder_ != "." && folder_ != "/") {
      parent_ = folderOf(folder_);
      name_ = baseOf(folder_);
    }
  }
  const std::string &folder() const { return folder_; }

  // False with errno when the folder cannot be watched.
  bool start() {
    if (!watchFolder()) return false;
    // Without it a replaced folder is not followed; the database still is.
    if (!parent_.empty())
      parentWd_ = inotify_add_watch(fd_, parent_.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    return true;
  }

  // Reads every waiting event; true when one may mean a new sample.
  bool changed() {
    alignas(struct inotify_event) char buf[16 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
    bool touched = false;
    for (;;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return touched;
      for (ssize_t off = 0; off < n;) {
        const auto *e = reinterpret_cast<const struct inotify_event *>(buf + off);
        off += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
        // The queue overflowed: an update may be among the lost events.
        if (e->mask & IN_Q_OVERFLOW) {
          watchFolder();
          touched = true;
        }
        if (e->wd == folderWd_ && e->len > 0 && base_ == e->name) touched = true;
        if (e->wd == folderWd_ && (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) {
          // A folder renamed away is still watched where it went.
          if (!(e->mask & IN_IGNORED)) inotify_rm_watch(fd_, folderWd_);
          folderWd_ = -1;
          touched = watchFolder() || touched;
        }
        if (e->wd == parentWd_ && e->len > 0 && name_ == e->name)
          touched = watchFolder() || touched;
      }
    }
  }

 private:
  // Watches what the folder's path names now; true when that is a folder.
  bool watchFolder() {
    // librrd writes in place and closes, or renames a new file in.
    const int wd = inotify_add_watch(
        fd_, folder_.c_str(),
        IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (wd < 0) return false;
    if (folderWd_ >= 0 && folderWd_ != wd) inotify_rm_watch(fd_, folderWd_);
    folderWd_ = wd;
    return true;
  }

  int fd_;
  std::string folder_, base_;
  std::string parent_, name_;  // empty: nothing above to watch
  int folderWd_ = -1, parentWd_ = -1;
};

// One pass: a snapshot of the database, drawn when its last update is not
// the one shown (or always, when `force`). Sets the stale moment when the
// last sample is recent.
void pass(const RenderOptions &opt, bool force, RenderState *state, time_t *shown,
          time_t *staleAt) {
  const time_t now = time(nullptr);
  // Most passes follow an update; the rest need not copy the database.
  if (!force && *shown != -1 && Snapshot::lastUpdateInPlace(opt.rrdPath) == *shown) return;
  Snapshot db;
  std::string why;
  time_t last = -1;
  if (db.take(opt.rrdPath, &why)) last = db.lastUpdate(&why);
  if (!force && (last == static_cast<time_t>(-1) || last == *shown)) return;
  Conditions c;
  if (last == static_cast<time_t>(-1) || !renderSnapshot(opt, db, now, state, &c, &why)) {
    if (last == static_cast<time_t>(-1)) why = "cannot read " + opt.rrdPath + ": " + why;
    fprintf(stderr, "kivamet-graphs: %s\n", why.c_str());
    return;
  }
  *shown = last;
  *staleAt = 0;
  char when[32] = "none yet";
  if (c.lastSample != 0) {
    struct tm lt;
    localtime_r(&c.lastSample, &lt);
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &lt);
    if (now - c.lastSample <= STALE_SECONDS) *staleAt = c.lastSample + STALE_SECONDS + 1;
  }
  printf("rendered %s/%s, last sample %s\n", opt.outDir.c_str(), PAGE_FILE, when);
}

}  // namespace

int watchAndRender(const RenderOptions &opt) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) {
    fprintf(stderr, "kivamet-graphs: cannot block signals: %s\n", strerror(errno));
    return 1;
  }
  FdGuard signals(signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK));
  FdGuard events(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  FolderWatch watch(events.get(), opt.rrdPath);
  if (signals.get() < 0 || events.get() < 0 || !watch.start()) {
    fprintf(stderr, "kivamet-graphs: cannot watch %s: %s\n", watch.folder().c_str(),
            strerror(errno));
    return 1;
  }

  RenderState state;
  time_t staleAt = 0;
  time_t shown = -1;
  pass(opt, true, &state, &shown, &staleAt);
  long long drawnAt = monotonicMs();
  bool due = false;  // a change came within the gap after the last pass
  for (;;) {
    long long timeout = -1;
    if (staleAt != 0) timeout = std::max<long long>(0, (staleAt - time(nullptr)) * 1000LL);
    if (due) {
      const long long wait =
          std::max(0LL, drawnAt + REDRAW_GAP_MS + NEXT_UPDATE_WAIT_MS - monotonicMs());
      timeout = timeout < 0 ? wait : std::min(timeout, wait);
    }
    struct pollfd fds[2] = {{signals.get(), POLLIN, 0}, {events.get(), POLLIN, 0}};
    const int r = poll(fds, 2, static_cast<int>(timeout));
    if (r < 0 && errno != EINTR) {
      fprintf(stderr, "kivamet-graphs: poll: %s\n", strerror(errno));
      return 1;
    }
    if (fds[0].revents & POLLIN) return 0;
    const bool updated = (fds[1].revents & POLLIN) && watch.changed();
    due = due || updated;
    const long long since = monotonicMs() - drawnAt;
    // Past the gap: right after an update, or once none has come for a while.
    const bool drawNow =
        due && since >= REDRAW_GAP_MS && (updated || since >= REDRAW_GAP_MS + NEXT_UPDATE_WAIT_MS);
    const bool turnedStale = staleAt != 0 && time(nullptr) >= staleAt;
    if (turnedStale || drawNow) {
      // The page gets its stale mark even when nothing new came.
      pass(opt, turnedStale, &state, &shown, &staleAt);
      if (turnedStale && staleAt != 0 && time(nullptr) >= staleAt) staleAt = 0;
      drawnAt = monotonicMs();
      due = false;
    }
  }
}

}  // namespace graphs
