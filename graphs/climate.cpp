// climate.cpp - local days from the database's rows.
#include "climate.h"

#include <algorithm>
#include <cmath>

#include "days.h"
#include "fetch.h"

namespace graphs {
namespace {

// Degrees of one compass index, as the database keeps the direction.
constexpr double INDEX_DEGREES = 22.5;

// The rows of one consolidation with the columns the days need.
struct Source {
  const char *cf;
  DatabaseRows rows;
  long tout = -1, wsp = -1, wdir = -1, barom = -1, rain = -1;
};

}  // namespace

void addTo(double *sum, double v) {
  if (!std::isnan(v)) *sum = std::isnan(*sum) ? v : *sum + v;
}

bool readDays(const std::string &rrdPath, time_t from, time_t to, std::vector<DayWeather> *days,
              std::string *why) {
  days->clear();
  for (time_t start = localMidnight(from); start <= to; start = localNextMidnight(start)) {
    DayWeather d;
    d.start = start;
    d.end = localNextMidnight(start);
    days->push_back(d);
  }
  if (days->empty()) return true;
  Source sources[] = {{"AVERAGE", {}}, {"MIN", {}}, {"MAX", {}}, {"LAST", {}}};
  for (Source &s : sources) {
    if (!s.rows.read(rrdPath, s.cf, days->front().start, days->back().end, why)) return false;
    s.tout = s.rows.column("tout");
    s.wsp = s.rows.column("wsp");
    s.wdir = s.rows.column("wdir");
    s.barom = s.rows.column("barom");
    s.rain = s.rows.column("rain");
  }
  const Source &avg = sources[0], &min = sources[1], &max = sources[2], &last = sources[3];
  // Every consolidation is read over the same span from the same archives,
  // so row r is the same stretch of time in each.
  const size_t rows =
      std::min({avg.rows.rows(), min.rows.rows(), max.rows.rows(), last.rows.rows()});
  size_t day = 0;
  for (size_t r = 0; r < rows; r++) {
    // A row counts for the day its end falls in; one that ends at midnight
    // is the day before's.
    const time_t end = avg.rows.rowEnd(r);
    while (day < days->size() && end > (*days)[day].end) day++;
    if (day == days->size()) break;
    if (end <= (*days)[day].start) continue;
    DayWeather &d = (*days)[day];
    const double seconds = static_cast<double>(avg.rows.step(r));
    auto value = [&](const Source &s, long column) {
      return column < 0 ? NAN : s.rows.at(r, column);
    };
    const double t = value(avg, avg.tout), w = value(avg, avg.wsp), rain = value(avg, avg.rain);
    for (const Source *s : {&avg, &min, &max, &last})
      for (long c : {s->tout, s->wsp, s->barom})
        if (!std::isnan(value(*s, c))) d.any = true;
    if (!std::isnan(t)) {
      addTo(&d.meanTemperature, t * seconds);
      d.temperatureSeconds += seconds;
    }
    if (!std::isnan(w)) {
      addTo(&d.meanWind, w * seconds);
      d.windSeconds += seconds;
    }
    addTo(&d.rain, rain * seconds);
    takeExtreme(&d.high, value(max, max.tout), end, false);
    takeExtreme(&d.low, value(min, min.tout), end, true);
    takeExtreme(&d.highWind, value(max, max.wsp), end, false);
    takeExtreme(&d.highBarometer, value(max, max.barom), end, false);
    takeExtreme(&d.lowBarometer, value(min, min.barom), end, true);
    const double index = value(last, last.wdir);
    if (!std::isnan(index)) {
      const double a = index * INDEX_DEGREES * M_PI / 180.0;
      const double speed = std::isnan(w) ? 0.0 : w;
      d.windX += speed * std::sin(a);
      d.windY += speed * std::cos(a);
      d.vaneX += std::sin(a);
      d.vaneY += std::cos(a);
    }
  }
  for (DayWeather &d : *days) {
    if (d.temperatureSeconds > 0) d.meanTemperature /= d.temperatureSeconds;
    if (d.windSeconds > 0) d.meanWind /= d.windSeconds;
  }
  return true;
}

bool updateDays(const std::string &rrdPath, time_t from, time_t to, time_t settled,
                std::vector<DayWeather> *days, std::string *why) {
  std::vector<DayWeather> kept;
  for (const DayWeather &d : *days)
    if (d.start >= localMidnight(from) && d.end <= settled && d.end <= to) kept.push_back(d);
  // Kept days must run on without a gap from the first day wanted.
  if (!kept.empty() && kept.front().start != localMidnight(from)) kept.clear();
  std::vector<DayWeather> fresh;
  if (!readDays(rrdPath, kept.empty() ? from : kept.back().end, to, &fresh, why)) return false;
  kept.insert(kept.end(), fresh.begin(), fresh.end());
  days->swap(kept);
  return true;
}

SpanWeather summarize(const std::vector<DayWeather> &days, time_t from, time_t to) {
  SpanWeather s;
  double temperatureSeconds = 0, windSeconds = 0, highs = 0, lows = 0;
  int highDays = 0, lowDays = 0;
  for (const DayWeather &d : days) {
    if (d.start < from || d.start >= to || !d.any) continue;
    s.days++;
    if (d.temperatureSeconds > 0) {
      addTo(&s.meanTemperature, d.meanTemperature * d.temperatureSeconds);
      temperatureSeconds += d.temperatureSeconds;
    }
    if (d.windSeconds > 0) {
      addTo(&s.meanWind, d.meanWind * d.windSeconds);
      windSeconds += d.windSeconds;
    }
    if (!std::isnan(d.high.value)) {
      highs += d.high.value;
      highDays++;
    }
    if (!std::isnan(d.low.value)) {
      lows += d.low.value;
      lowDays++;
    }
    takeExtreme(&s.high, d.high.value, d.high.at, false);
    takeExtreme(&s.low, d.low.value, d.low.at, true);
    takeExtreme(&s.highWind, d.highWind.value, d.highWind.at, false);
    takeExtreme(&s.highBarometer, d.highBarometer.value, d.highBarometer.at, false);
    takeExtreme(&s.lowBarometer, d.lowBarometer.value, d.lowBarometer.at, true);
    addTo(&s.rain, d.rain);
    takeExtreme(&s.wettestDay, d.rain, d.end, false);
    s.windX += d.windX;
    s.windY += d.windY;
    s.vaneX += d.vaneX;
    s.vaneY += d.vaneY;
  }
  if (temperatureSeconds > 0) s.meanTemperature /= temperatureSeconds;
  if (windSeconds > 0) s.meanWind /= windSeconds;
  if (highDays > 0) s.meanHigh = highs / highDays;
  if (lowDays > 0) s.meanLow = lows / lowDays;
  return s;
}

double dominantDirection(double windX, double windY, double vaneX, double vaneY) {
  double x = windX, y = windY;
  if (std::hypot(x, y) < 1e-9) {
    x = vaneX;
    y = vaneY;
  }
  if (std::hypot(x, y) < 1e-9) return NAN;
  double degrees = std::round(std::atan2(x, y) * 180.0 / M_PI);
  if (degrees <= 0) degrees += 360;
  return degrees;
}

}  // namespace graphs
