// rain.cpp - counts of rain at times, from totals or database rows.
#include "rain.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "database.h"
#include "days.h"
#include "fetch.h"

namespace {

constexpr time_t HOUR = 3600;
constexpr time_t DAY = 86400;
constexpr int DEFAULT_COUNTS_PER_INCH = 100;

}  // namespace

void RainHistory::addTotal(time_t when, long total) {
  if (haveTotal_ && when <= totalAt_) return;
  if (total < 0) {
    haveTotal_ = false;
    return;
  }
  if (haveTotal_) {
    const time_t seconds = when - totalAt_;
    const long step = total - total_;
    if (seconds <= RRD_HEARTBEAT_SECONDS && step >= 0 && step <= RRD_RAIN_MAX_PER_SECOND * seconds)
      addRow(when, static_cast<long>(seconds), static_cast<double>(step));
  }
  haveTotal_ = true;
  totalAt_ = when;
  total_ = total;
  dropBefore(when - RAIN_HISTORY_SECONDS);
}

void RainHistory::addRow(time_t end, long seconds, double counts) {
  if (std::isnan(counts) || seconds <= 0) return;
  cover(end - seconds, end);
  if (counts > 0) counts_[end] += counts;
}

// Merges (from, to] into the known spans.
void RainHistory::cover(time_t from, time_t to) {
  auto it = known_.upper_bound(from);
  if (it != known_.begin()) {
    auto before = std::prev(it);
    if (before->second >= from) {
      from = before->first;
      to = std::max(to, before->second);
      it = known_.erase(before);
    }
  }
  while (it != known_.end() && it->first <= to) {
    to = std::max(to, it->second);
    it = known_.erase(it);
  }
  known_[from] = to;
}

void RainHistory::dropBefore(time_t t) {
  counts_.erase(counts_.begin(), counts_.upper_bound(t));
  while (!known_.empty() && known_.begin()->first < t) {
    const time_t end = known_.begin()->second;
    known_.erase(known_.begin());
    if (end > t) known_[t] = end;
  }
}

bool RainHistory::countsIn(time_t from, time_t to, double *counts) const {
  *counts = 0;
  // The spans are apart and in order: only the last that starts before
  // `to` can reach past `from`.
  auto it = known_.lower_bound(to);
  if (it == known_.begin()) return false;
  // An empty span (since midnight, asked at midnight) is known when its
  // moment is.
  const time_t end = std::prev(it)->second;
  if (from < to ? end <= from : end < to) return false;
  for (auto c = counts_.upper_bound(from); c != counts_.end() && c->first <= to; ++c)
    *counts += c->second;
  return true;
}

time_t RainHistory::knownSeconds(time_t from, time_t to) const {
  time_t seconds = 0;
  auto it = known_.upper_bound(from);
  if (it != known_.begin()) --it;
  for (; it != known_.end() && it->first < to; ++it)
    seconds += std::max<time_t>(0, std::min(to, it->second) - std::max(from, it->first));
  return seconds;
}

rain_figures RainHistory::at(time_t when) const {
  rain_figures f;
  const time_t from[RAIN_SPAN_COUNT] = {when - HOUR, when - DAY, localMidnight(when),
                                        when - RAIN_RATE_SECONDS};
  for (int i = 0; i < RAIN_SPAN_COUNT; i++) {
    f.known[i] = countsIn(from[i], when, &f.counts[i]);
    f.share[i] = when > from[i] ? static_cast<double>(knownSeconds(from[i], when)) /
                                      static_cast<double>(when - from[i])
                                : (f.known[i] ? 1.0 : 0.0);  // empty: all known or none
  }
  f.counts[RAIN_RATE] *= static_cast<double>(HOUR) / RAIN_RATE_SECONDS;
  return f;
}

void RainHistory::clear() {
  counts_.clear();
  known_.clear();
  haveTotal_ = false;
}

bool RainHistory::loadDatabase(const std::string &path, time_t from, time_t to, std::string *why) {
  DatabaseRows rows;
  if (!rows.read(path, "AVERAGE", from, to, why)) return false;
  const long rain = rows.column("rain");
  if (rain < 0) {
    *why = "no rain source";
    return false;
  }
  for (size_t r = 0; r < rows.rows(); r++)
    addRow(rows.rowEnd(r), rows.step(r), rows.at(r, rain) * static_cast<double>(rows.step(r)));
  return true;
}

double rainInches(double counts, int countsPerInch) {
  return counts / (countsPerInch > 0 ? countsPerInch : DEFAULT_COUNTS_PER_INCH);
}
