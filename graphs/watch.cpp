// watch.cpp - the --watch loop: inotify on the database's folder, a
// signalfd for SIGTERM and SIGINT, and no timer but the stale moment.
#include "watch.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <rrd.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "fdguard.h"

namespace graphs {
namespace {

std::string folderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads every waiting event; true when one names the database file.
bool databaseTouched(int fd, const std::string &base) {
  alignas(struct inotify_event) char buf[16 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
  bool touched = false;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return touched;
    for (ssize_t off = 0; off < n;) {
      const auto *e = reinterpret_cast<const struct inotify_event *>(buf + off);
      if (e->len > 0 && base == e->name) touched = true;
      // The queue overflowed: an update may be among the lost events.
      if (e->mask & IN_Q_OVERFLOW) touched = true;
      off += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
    }
  }
}

void render(const RenderOptions &opt, RenderState *state, time_t *staleAt) {
  const time_t now = time(nullptr);
  Conditions c;
  std::string why;
  *staleAt = 0;
  if (!renderOnce(opt, now, state, &c, &why)) {
    fprintf(stderr, "kivamet-graphs: %s\n", why.c_str());
    return;
  }
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
  const std::string folder = folderOf(opt.rrdPath);
  // librrd writes in place and closes, or renames a new file in.
  if (signals.get() < 0 || events.get() < 0 ||
      inotify_add_watch(events.get(), folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    fprintf(stderr, "kivamet-graphs: cannot watch %s: %s\n", folder.c_str(), strerror(errno));
    return 1;
  }
  const std::string base = baseOf(opt.rrdPath);

  RenderState state;
  time_t staleAt = 0;
  // Taken before the pass reads the database: a sample that lands during
  // the pass then differs from it and is rendered too.
  time_t shown = rrd_last_r(opt.rrdPath.c_str());
  render(opt, &state, &staleAt);
  for (;;) {
    struct pollfd fds[2] = {{signals.get(), POLLIN, 0}, {events.get(), POLLIN, 0}};
    int timeout = -1;
    if (staleAt != 0) {
      const time_t now = time(nullptr);
      timeout = staleAt > now ? static_cast<int>((staleAt - now) * 1000) : 0;
    }
    const int r = poll(fds, 2, timeout);
    if (r < 0 && errno != EINTR) {
      fprintf(stderr, "kivamet-graphs: poll: %s\n", strerror(errno));
      return 1;
    }
    if (fds[0].revents & POLLIN) return 0;
    if (r == 0) {
      render(opt, &state, &staleAt);  // the page gets its stale mark
      continue;
    }
    if (!(fds[1].revents & POLLIN) || !databaseTouched(events.get(), base)) continue;
    const time_t last = rrd_last_r(opt.rrdPath.c_str());
    if (last == static_cast<time_t>(-1) || last == shown) continue;
    shown = last;
    render(opt, &state, &staleAt);
  }
}

}  // namespace graphs
