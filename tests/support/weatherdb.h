// weatherdb.h - weather databases for tests, benchmarks and the simulator's
// history, made with the daemon's own definition and update text, so what a
// reader of weather.rrd sees is what kivamet would have logged. Header only;
// users link kivamet_weather and librrd.
#pragma once

#include <rrd.h>
#include <time.h>

#include <functional>
#include <string>
#include <vector>

#include "database.h"
#include "derived.h"
#include "sample.h"

namespace testsupport {

// Local clock time on a date, as a time.
inline time_t localTime(int year, int month, int day, int hour, int minute) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_isdst = -1;
  return mktime(&t);
}

// A database with the daemon's definition whose first sample may come
// after `start`.
inline bool createWeatherDb(const std::string &path, time_t start, std::string *why) {
  const std::string begin = std::to_string(static_cast<long long>(start));
  std::vector<const char *> argv = {"create", path.c_str(), "--start", begin.c_str()};
  for (const char *arg : rrdDefinition) argv.push_back(arg);
  rrd_clear_error();
  if (rrd_create(static_cast<int>(argv.size()), const_cast<char **>(argv.data())) != 0) {
    *why = rrd_get_error();
    return false;
  }
  return true;
}

// One sample a minute for the minutes in [from, to], each the daemon's
// update text of the sample the function gives for that time, with the
// calibration offsets given; with a stream, checked and completed as the
// daemon does each reading (the database keeps the station's wind chill),
// else with the station values as they are.
inline bool fillWeatherDb(const std::string &path, time_t from, time_t to,
                          const std::function<davis_sample(time_t)> &sample, std::string *why,
                          const davis_cal &cal = davis_cal{0, 0, 0, 0, 0},
                          ReadingStream *stream = nullptr) {
  constexpr size_t BATCH = 1000;
  std::vector<std::string> texts;
  auto flush = [&]() {
    std::vector<char *> argv = {const_cast<char *>("update"), const_cast<char *>(path.c_str())};
    for (std::string &t : texts) argv.push_back(&t[0]);
    rrd_clear_error();
    const bool ok = texts.empty() || rrd_update(static_cast<int>(argv.size()), argv.data()) == 0;
    if (!ok) *why = rrd_get_error();
    texts.clear();
    return ok;
  };
  for (time_t t = from; t <= to; t += 60) {
    char text[RRD_UPDATE_SIZE];
    const davis_sample raw = sample(t);
    weather_sample s = sampleOf(t, &raw, &cal);
    if (stream != nullptr) {
      std::vector<std::string> lines;
      stream->check(&s, &lines);
      stream->complete(&s);
    }
    sampleUpdateText(text, sizeof text, &s);
    texts.push_back(text);
    if (texts.size() == BATCH && !flush()) return false;
  }
  return flush();
}

}  // namespace testsupport
