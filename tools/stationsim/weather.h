// weather.h - the simulated station's weather: days and nights, showers now
// and then, calm and gusty spells. The course depends only on the time, so
// two simulators (or a history and a live run) that cover the same hours
// see the same weather, and a test that sets the time sees it again.
#pragma once

#include <time.h>

#include <cstdint>

namespace stationsim {

// The readings in the station's own units.
struct Readings {
  int tin, tout;  // tenths of a degree Fahrenheit
  int wsp;        // mph
  int wdir;       // degrees, 0..359
  int bar;        // thousandths of an inch of mercury
  int hin, hout;  // percent
  uint16_t rain;  // the collector's counter: 0.01 in a tip, wrapping at 65536
};

class WeatherCourse {
 public:
  // utcOffset: seconds east of UTC, which puts the nights at night.
  explicit WeatherCourse(long utcOffset) : utcOffset_(utcOffset) {}
  Readings at(time_t t);

 private:
  // Tips since the course began, up to t.
  long tipsUntil(time_t t);

  long utcOffset_;
  // Tips of every shower slot before cachedSlot_, so that the counter of
  // a time near the last one asked costs a slot or two, not the years.
  long cachedSlot_ = -1;
  long tipsBefore_ = 0;
};

}  // namespace stationsim
