// climate.h - the weather of local days, read from weather.rrd: each day's
// mean, high and low outside temperature with their times, rain, wind and
// barometer. The records on the page and the monthly and yearly summaries
// are made of these. Highs and lows come from the MIN and MAX archives, so
// they are the samples' own; each part of a span is read from the finest
// archive that still holds it (1-minute rows for a day, 5-minute rows for
// 31 days, hourly rows before), and a time is the end of the row an
// extreme was seen in. Values stay in database units.
#pragma once

#include <time.h>

#include <cmath>
#include <string>
#include <vector>

#include "conditions.h"

namespace graphs {

struct DayWeather {
  time_t start = 0;  // local midnight
  time_t end = 0;    // the next local midnight: 23, 24 or 25 hours later
  bool any = false;  // the database holds a sample of the day
  double meanTemperature = NAN;
  Extreme high{NAN, 0}, low{NAN, 0};  // outside temperature
  double rain = NAN;                  // rain counts, NaN when unknown
  double meanWind = NAN;
  Extreme highWind{NAN, 0};
  Extreme highBarometer{NAN, 0}, lowBarometer{NAN, 0};
  // Sums a month or a year is made of: seconds behind each mean, and the
  // wind's direction as a sum of vectors (weighted by speed, and not).
  double temperatureSeconds = 0, windSeconds = 0;
  double windX = 0, windY = 0, vaneX = 0, vaneY = 0;
};

// The local days from the day of `from` through the day of `to`, in order,
// one entry each, from the database at `rrdPath`. False with librrd's reason.
bool readDays(const std::string &rrdPath, time_t from, time_t to, std::vector<DayWeather> *days,
              std::string *why);

// The same, keeping the days of *days that end before `settled` as they
// are (the database will not change them) and reading the rest again.
bool updateDays(const std::string &rrdPath, time_t from, time_t to, time_t settled,
                std::vector<DayWeather> *days, std::string *why);

// A span of days (a month, a year, all the database holds) in one: its
// means and sums, and each extreme with the time it was seen. Days without
// samples count for nothing.
struct SpanWeather {
  int days = 0;                          // days with samples
  double meanTemperature = NAN;          // weighted by the seconds behind each day's mean
  double meanHigh = NAN, meanLow = NAN;  // the days' highs and lows, averaged
  Extreme high{NAN, 0}, low{NAN, 0};
  double rain = NAN;           // counts
  Extreme wettestDay{NAN, 0};  // a day's rain and the day's end, as a row's
  double meanWind = NAN;
  Extreme highWind{NAN, 0};
  Extreme highBarometer{NAN, 0}, lowBarometer{NAN, 0};
  double windX = 0, windY = 0, vaneX = 0, vaneY = 0;
};
SpanWeather summarize(const std::vector<DayWeather> &days, time_t from, time_t to);

// Adds a known `v` to *sum, which is NaN until the first.
void addTo(double *sum, double v);

// The dominant direction of sums as DayWeather keeps them, in whole degrees
// from 1 to 360 (north is 360, as weather services write it); the vane's
// own directions when the air was calm; NaN when there are none.
double dominantDirection(double windX, double windY, double vaneX, double vaneY);

}  // namespace graphs
