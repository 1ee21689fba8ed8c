// snapshot.h - the weather database copied whole into memory, so that the
// page's readers and graphs hold the file's lock only for the copy.
//
// librrd takes a lock on the whole file for every read (rrd_fetch, rrd_info,
// each DEF of rrd_graph: a shared fcntl lock, tried once), and kivamet's
// update takes the exclusive lock the same way: an update that comes while
// any read holds the file fails at once. A page's pass makes dozens of
// reads over a second or more; the copy is one read of a few milliseconds.
#pragma once

#include <time.h>

#include <string>

namespace graphs {

class Snapshot {
 public:
  Snapshot() = default;
  ~Snapshot();
  Snapshot(const Snapshot &) = delete;
  Snapshot &operator=(const Snapshot &) = delete;

  // Copies the database at `path`: a regular file only (a FIFO or a device
  // would hang librrd's open), taken under a shared lock that is waited for
  // while kivamet updates. Returns false with the reason otherwise.
  bool take(const std::string &path, std::string *why);
  // The copy's path, for librrd (only while this object lives).
  const std::string &path() const { return copyPath_; }
  // librrd's reasons name the copy's path: this names the database instead.
  std::string named(std::string reason) const;
  // The time of the last update (rrd_last), or -1 with librrd's reason.
  time_t lastUpdate(std::string *why) const;
  // The same of the database at `path` itself, without a copy: librrd
  // reads its header under its own lock, tried once. -1 when it cannot be
  // read so now (not a regular file, locked, ...).
  static time_t lastUpdateInPlace(const std::string &path);

 private:
  int fd_ = -1;
  std::string copyPath_;
  std::string path_;
};

}  // namespace graphs
