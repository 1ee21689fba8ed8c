// fetch.cpp - one rrd_fetch through librrd.
#include "fetch.h"

#include <rrd.h>
#include <string.h>

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
