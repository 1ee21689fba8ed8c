// fetch.cpp - one rrd_fetch through librrd.
#include "fetch.h"

#include <rrd.h>
#include <string.h>

#include <algorithm>

#include "database.h"

DatabaseFetch::~DatabaseFetch() {
  release();
}

void DatabaseFetch::release() {
  for (unsigned long i = 0; names_ != nullptr && i < count_; i++) rrd_freemem(names_[i]);
  rrd_freemem(names_);
  rrd_freemem(data_);
  names_ = nullptr;
  data_ = nullptr;
  count_ = 0;
}

bool DatabaseFetch::run(const std::string &path, const char *cf, time_t start, time_t end,
                        unsigned long step, std::string *why) {
  release();
  start_ = start;
  end_ = end;
  step_ = step;
  rrd_clear_error();
  rrd_value_t *data = nullptr;
  if (rrd_fetch_r(path.c_str(), cf, &start_, &end_, &step_, &count_, &names_, &data) != 0) {
    *why = rrd_get_error();
    names_ = nullptr;
    count_ = 0;
    step_ = 0;
    return false;
  }
  data_ = data;
  return true;
}

long DatabaseFetch::column(const char *name) const {
  for (unsigned long d = 0; d < count_; d++)
    if (strcmp(names_[d], name) == 0) return static_cast<long>(d);
  return -1;
}

bool DatabaseRows::read(const std::string &path, const char *cf, time_t from, time_t to,
                        std::string *why) {
  names_.clear();
  ends_.clear();
  steps_.clear();
  values_.clear();
  rrd_clear_error();
  const time_t last = rrd_last_r(path.c_str());
  if (last == static_cast<time_t>(-1)) {
    *why = rrd_get_error();
    return false;
  }
  to = std::min(to, last);
  // Where each archive's reach begins, finest first, rounded up to the
  // next coarser step so the parts meet on a row boundary of both.
  time_t bounds[RRD_ARCHIVE_COUNT + 1];
  bounds[0] = to;
  for (int a = 0; a < RRD_ARCHIVE_COUNT; a++) {
    const long step = rrdArchives[a].step;
    const long coarser = a + 1 < RRD_ARCHIVE_COUNT ? rrdArchives[a + 1].step : step;
    time_t reach = last - last % step - (rrdArchives[a].rows - 1) * step;
    reach += (coarser - reach % coarser) % coarser;
    bounds[a + 1] = a + 1 < RRD_ARCHIVE_COUNT ? std::min(reach, to) : from;
  }
  for (int a = RRD_ARCHIVE_COUNT - 1; a >= 0; a--) {
    const time_t partFrom = std::max(from, bounds[a + 1]), partTo = std::min(to, bounds[a]);
    if (partFrom >= partTo) continue;
    DatabaseFetch f;
    if (!f.run(path, cf, partFrom, partTo, static_cast<unsigned long>(rrdArchives[a].step), why))
      return false;
    if (names_.empty())
      for (unsigned long d = 0; d < f.columns(); d++) names_.push_back(f.name(d));
    for (unsigned long r = 0; r < f.rows(); r++) {
      const time_t end = f.rowEnd(r);
      if (end <= partFrom || end > partTo) continue;
      ends_.push_back(end);
      steps_.push_back(static_cast<long>(f.step()));
      for (unsigned long d = 0; d < f.columns(); d++) values_.push_back(f.at(r, d));
    }
  }
  return true;
}

long DatabaseRows::column(const char *name) const {
  for (size_t d = 0; d < names_.size(); d++)
    if (names_[d] == name) return static_cast<long>(d);
  return -1;
}
