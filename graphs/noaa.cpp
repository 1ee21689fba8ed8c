// noaa.cpp - the summaries' text.
#include "noaa.h"

#include <stdio.h>

#include <cmath>

namespace graphs {
namespace {

const char NONE[] = "---";
const char *const MONTH_NAMES[12] = {"Jan.", "Feb.", "Mar.", "Apr.", "May",  "June",
                                     "July", "Aug.", "Sep.", "Oct.", "Nov.", "Dec."};
const char *const MONTH_WORDS[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                     "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

// Degree days count from 65 °F, which is 18.3 °C.
constexpr double DEGREE_DAY_BASE_F = 65.0;
constexpr double DEGREE_DAY_BASE_C = 18.3;

// The thresholds of the yearly counts: hot and freezing highs, freezing
// and very cold lows; and the rain a day must reach to count, in the
// layout's units.
struct Thresholds {
  double hot, freezing, veryCold;
  const char *hotText, *freezingText, *veryColdText;
  double rain[3];
  const char *rainText[3];
};
const Thresholds US = {90, 32, 0, ">=90", "<=32", "<=0", {0.01, 0.1, 1}, {".01", ".1", "1"}};
const Thresholds METRIC = {30, 0, -18, ">=30", "<=0", "<=-18", {0.2, 2, 20}, {".2", "2", "20"}};

std::string number(double v, int decimals) {
  if (std::isnan(v)) return NONE;
  char text[32];
  snprintf(text, sizeof text, "%.*f", decimals, v);
  // No "-0.0".
  if (text[0] == '-' && std::fabs(v) < 0.5 * std::pow(10.0, -decimals))
    snprintf(text, sizeof text, "%.*f", decimals, 0.0);
  return text;
}

// Database values in the layout's units.
struct Units {
  const PlotStyle &style;
  double convert(const char *key, double v) const {
    double mul, add;
    quantityDatabaseMap(quantityFind(key), style.units, style.rainCountsPerInch, &mul, &add);
    return v * mul + add;
  }
  double temperature(double v) const { return convert("outside_temperature", v); }
  double wind(double v) const { return convert("wind_speed", v); }
  // A temperature or a wind speed as the tables show it, to a tenth.
  std::string temp(double v) const { return number(temperature(v), 1); }
  std::string speed(double v) const { return number(wind(v), 1); }
  // Counts: the rain source's map turns a rate a second into depth a second.
  double rain(double v) const { return convert("rain_total", v); }
  const char *unit(const char *key) const {
    return quantityForm(quantityFind(key), style.units)->unit;
  }
  bool metric() const { return style.units == UNITS_METRIC; }
  double base() const { return metric() ? DEGREE_DAY_BASE_C : DEGREE_DAY_BASE_F; }
  const Thresholds &thresholds() const { return metric() ? METRIC : US; }
};

std::string rainText(const Units &u, double counts) {
  return number(std::isnan(counts) ? NAN : u.rain(counts), u.metric() ? 1 : 2);
}

// The local time of an extreme seen in the row ending `at` of a day that
// ends at `dayEnd`: "24:00" for the row that ends the day.
std::string timeOfDay(time_t at, time_t dayEnd) {
  if (at == dayEnd) return "24:00";
  struct tm lt;
  localtime_r(&at, &lt);
  char text[8];
  snprintf(text, sizeof text, "%02d:%02d", lt.tm_hour, lt.tm_min);
  return text;
}

int dayOfMonth(time_t t) {
  struct tm lt;
  localtime_r(&t, &lt);
  return lt.tm_mday;
}

// The day of the month an extreme was seen on, from the end of its row
// (the row that ends at midnight is the day before's).
std::string dayOf(const Extreme &e) {
  if (std::isnan(e.value)) return NONE;
  return std::to_string(dayOfMonth(e.at - 1));
}

std::string monthOf(const Extreme &e) {
  if (std::isnan(e.value)) return NONE;
  struct tm lt;
  const time_t t = e.at - 1;
  localtime_r(&t, &lt);
  return MONTH_WORDS[lt.tm_mon];
}

// A table of right-aligned columns under headings of up to three lines.
class Table {
 public:
  struct Column {
    int width;
    const char *head[3];
  };
  // A heading centred over columns first..last, on one heading line.
  struct Span {
    size_t first, last;
    int line;
    const char *text;
  };
  explicit Table(std::vector<Column> columns, std::vector<Span> spans = {})
      : columns_(std::move(columns)), spans_(std::move(spans)) {}

  std::string heading() const {
    std::string text;
    for (int line = 0; line < 3; line++) {
      std::string row = headingLine(line);
      for (const Span &s : spans_) {
        if (s.line != line) continue;
        size_t at = 0, width = 0;
        for (size_t i = 0; i < columns_.size(); i++) {
          if (i < s.first) at += static_cast<size_t>(columns_[i].width) + 1;
          if (i >= s.first && i <= s.last) width += static_cast<size_t>(columns_[i].width) + 1;
        }
        const std::string t = s.text;
        row.resize(std::max(row.size(), at + width), ' ');
        row.replace(at + (width - t.size()) / 2, t.size(), t);
      }
      // A line with no heading at all is left out.
      if (row.find_first_not_of(' ') != std::string::npos) text += trimmed(row);
    }
    return text + rule();
  }
  std::string rule() const {
    size_t width = 0;
    for (const Column &c : columns_) width += static_cast<size_t>(c.width) + 1;
    return std::string(width, '-') + "\n";
  }
  std::string row(const std::vector<std::string> &cells) const {
    std::string text;
    for (size_t i = 0; i < columns_.size(); i++) {
      const std::string &cell = i < cells.size() ? cells[i] : std::string();
      text += pad(cell, columns_[i].width) + " ";
    }
    return trimmed(text);
  }

 private:
  std::string headingLine(int line) const {
    std::string text;
    for (const Column &c : columns_)
      text += pad(c.head[line] != nullptr ? c.head[line] : "", c.width) + " ";
    return text;
  }
  static std::string pad(const std::string &cell, int width) {
    // Characters, not bytes: a heading may hold a degree sign.
    int shown = 0;
    for (unsigned char ch : cell) shown += (ch & 0xC0) != 0x80;
    return std::string(static_cast<size_t>(std::max(0, width - shown)), ' ') + cell;
  }
  static std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + "\n";
  }
  std::vector<Column> columns_;
  std::vector<Span> spans_;
};

std::string centred(const std::string &text, size_t width) {
  size_t shown = 0;
  for (unsigned char ch : text) shown += (ch & 0xC0) != 0x80;
  return std::string(shown < width ? (width - shown) / 2 : 0, ' ') + text + "\n";
}

// A day's degree days, to the tenth shown, so the column adds up to its
// total.
double tenths(double v) {
  return std::round(v * 10.0) / 10.0;
}
double heatDays(const Units &u, double mean) {
  return std::isnan(mean) ? NAN : tenths(std::max(0.0, u.base() - u.temperature(mean)));
}
double coolDays(const Units &u, double mean) {
  return std::isnan(mean) ? NAN : tenths(std::max(0.0, u.temperature(mean) - u.base()));
}

std::string direction(double x, double y, double vx, double vy) {
  return number(dominantDirection(x, y, vx, vy), 0);
}

}  // namespace

std::string noaaMonthFile(int year, int month) {
  char name[32];
  snprintf(name, sizeof name, "NOAA-%04d-%02d.txt", year, month);
  return name;
}

std::string noaaYearFile(int year) {
  char name[32];
  snprintf(name, sizeof name, "NOAA-%04d.txt", year);
  return name;
}

std::string monthSummary(const std::string &title, int year, int month,
                         const std::vector<DayWeather> &days, const PlotStyle &style) {
  const Units u{style};
  const Table table({{3, {nullptr, nullptr, "DAY"}},
                     {6, {nullptr, "MEAN", "TEMP"}},
                     {6, {nullptr, nullptr, "HIGH"}},
                     {6, {nullptr, nullptr, "TIME"}},
                     {6, {nullptr, nullptr, "LOW"}},
                     {6, {nullptr, nullptr, "TIME"}},
                     {6, {"HEAT", "DEG", "DAYS"}},
                     {6, {"COOL", "DEG", "DAYS"}},
                     {6, {nullptr, nullptr, "RAIN"}},
                     {6, {"AVG", "WIND", "SPEED"}},
                     {6, {nullptr, nullptr, "HIGH"}},
                     {6, {nullptr, nullptr, "TIME"}},
                     {5, {nullptr, "DOM", "DIR"}}});
  char line[160];
  std::string text;
  snprintf(line, sizeof line, "MONTHLY CLIMATOLOGICAL SUMMARY for %s %d", MONTH_NAMES[month - 1],
           year);
  text += centred(line, 80) + "\n";
  text += "NAME: " + title + "\n\n";
  text += centred(std::string("TEMPERATURE (") + u.unit("outside_temperature") + "), RAIN (" +
                      u.unit("rain_total") + "), WIND SPEED (" + u.unit("wind_speed") + ")",
                  80);
  snprintf(line, sizeof line, "HEAT BASE %.1f, COOL BASE %.1f", u.base(), u.base());
  text += centred(line, 80) + "\n";
  text += table.heading();
  double heat = NAN, cool = NAN;
  for (const DayWeather &d : days) {
    const std::string day = std::to_string(dayOfMonth(d.start));
    if (!d.any) {
      text +=
          table.row({day, NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE});
      continue;
    }
    const double hd = heatDays(u, d.meanTemperature), cd = coolDays(u, d.meanTemperature);
    addTo(&heat, hd);
    addTo(&cool, cd);
    auto time = [&](const Extreme &e) {
      return std::isnan(e.value) ? std::string(NONE) : timeOfDay(e.at, d.end);
    };
    text += table.row({day, u.temp(d.meanTemperature), u.temp(d.high.value), time(d.high),
                       u.temp(d.low.value), time(d.low), number(hd, 1), number(cd, 1),
                       rainText(u, d.rain), u.speed(d.meanWind), u.speed(d.highWind.value),
                       time(d.highWind), direction(d.windX, d.windY, d.vaneX, d.vaneY)});
  }
  text += table.rule();
  const SpanWeather m =
      summarize(days, days.empty() ? 0 : days.front().start, days.empty() ? 0 : days.back().end);
  text += table.row({"", u.temp(m.meanTemperature), u.temp(m.high.value), dayOf(m.high),
                     u.temp(m.low.value), dayOf(m.low), number(heat, 1), number(cool, 1),
                     rainText(u, m.rain), u.speed(m.meanWind), u.speed(m.highWind.value),
                     dayOf(m.highWind), direction(m.windX, m.windY, m.vaneX, m.vaneY)});
  return text;
}

std::string yearSummary(const std::string &title, int year, const std::vector<DayWeather> &days,
                        const PlotStyle &style) {
  const Units u{style};
  const Thresholds &th = u.thresholds();
  const Table temperature({{3, {nullptr, nullptr, "YR"}},
                           {2, {nullptr, nullptr, "MO"}},
                           {6, {nullptr, "MEAN", "MAX"}},
                           {6, {nullptr, "MEAN", "MIN"}},
                           {6, {nullptr, nullptr, "MEAN"}},
                           {7, {"HEAT", "DEG", "DAYS"}},
                           {6, {"COOL", "DEG", "DAYS"}},
                           {6, {nullptr, nullptr, "HI"}},
                           {4, {nullptr, nullptr, "DATE"}},
                           {6, {nullptr, nullptr, "LOW"}},
                           {4, {nullptr, nullptr, "DATE"}},
                           {5, {nullptr, "MAX", th.hotText}},
                           {5, {nullptr, "MAX", th.freezingText}},
                           {5, {nullptr, "MIN", th.freezingText}},
                           {5, {nullptr, "MIN", th.veryColdText}}});
  const Table rain({{3, {nullptr, nullptr, "YR"}},
                    {2, {nullptr, nullptr, "MO"}},
                    {7, {nullptr, nullptr, "TOTAL"}},
                    {6, {"MAX", "OBS.", "DAY"}},
                    {4, {nullptr, nullptr, "DATE"}},
                    {5, {nullptr, nullptr, th.rainText[0]}},
                    {5, {nullptr, nullptr, th.rainText[1]}},
                    {5, {nullptr, nullptr, th.rainText[2]}}},
                   {{5, 7, 0, "DAYS OF RAIN"}, {5, 7, 1, "OVER"}});
  const Table wind({{3, {nullptr, nullptr, "YR"}},
                    {2, {nullptr, nullptr, "MO"}},
                    {6, {nullptr, nullptr, "AVG."}},
                    {6, {nullptr, nullptr, "HI"}},
                    {4, {nullptr, nullptr, "DATE"}},
                    {5, {nullptr, "DOM", "DIR"}}});
  char line[160];
  std::string text;
  snprintf(line, sizeof line, "ANNUAL CLIMATOLOGICAL SUMMARY for %d", year);
  text += centred(line, 80) + "\n";
  text += "NAME: " + title + "\n\n";
  snprintf(line, sizeof line, "TEMPERATURE (%s), HEAT BASE %.1f, COOL BASE %.1f",
           u.unit("outside_temperature"), u.base(), u.base());
  text += centred(line, 80) + "\n" + temperature.heading();
  std::string rainRows = rain.heading(), windRows = wind.heading();
  const std::string yy = number(year % 100, 0);
  double yearHeat = NAN, yearCool = NAN;
  int yearCounts[4] = {0, 0, 0, 0}, yearRainDays[3] = {0, 0, 0};
  for (int month = 1; month <= 12; month++) {
    const std::string mo = std::to_string(month);
    std::vector<DayWeather> in;
    for (const DayWeather &d : days) {
      struct tm lt;
      localtime_r(&d.start, &lt);
      if (lt.tm_mon + 1 == month) in.push_back(d);
    }
    const SpanWeather m =
        in.empty() ? SpanWeather{} : summarize(in, in.front().start, in.back().end);
    if (m.days == 0) {
      text += temperature.row({yy, mo});
      rainRows += rain.row({yy, mo});
      windRows += wind.row({yy, mo});
      continue;
    }
    double heat = NAN, cool = NAN;
    int counts[4] = {0, 0, 0, 0}, rainDays[3] = {0, 0, 0};
    for (const DayWeather &d : in) {
      if (!d.any) continue;
      addTo(&heat, heatDays(u, d.meanTemperature));
      addTo(&cool, coolDays(u, d.meanTemperature));
      const double hi = std::isnan(d.high.value) ? NAN : u.temperature(d.high.value);
      const double lo = std::isnan(d.low.value) ? NAN : u.temperature(d.low.value);
      counts[0] += hi >= th.hot;
      counts[1] += hi <= th.freezing;
      counts[2] += lo <= th.freezing;
      counts[3] += lo <= th.veryCold;
      const double r = std::isnan(d.rain) ? 0.0 : u.rain(d.rain);
      for (int k = 0; k < 3; k++) rainDays[k] += r >= th.rain[k] - 1e-9;
    }
    addTo(&yearHeat, heat);
    addTo(&yearCool, cool);
    for (int k = 0; k < 4; k++) yearCounts[k] += counts[k];
    for (int k = 0; k < 3; k++) yearRainDays[k] += rainDays[k];
    text += temperature.row({yy, mo, u.temp(m.meanHigh), u.temp(m.meanLow),
                             u.temp(m.meanTemperature), number(heat, 0), number(cool, 0),
                             u.temp(m.high.value), dayOf(m.high), u.temp(m.low.value), dayOf(m.low),
                             std::to_string(counts[0]), std::to_string(counts[1]),
                             std::to_string(counts[2]), std::to_string(counts[3])});
    rainRows += rain.row({yy, mo, rainText(u, m.rain), rainText(u, m.wettestDay.value),
                          dayOf(m.wettestDay), std::to_string(rainDays[0]),
                          std::to_string(rainDays[1]), std::to_string(rainDays[2])});
    windRows += wind.row({yy, mo, u.speed(m.meanWind), u.speed(m.highWind.value), dayOf(m.highWind),
                          direction(m.windX, m.windY, m.vaneX, m.vaneY)});
  }
  const SpanWeather y =
      summarize(days, days.empty() ? 0 : days.front().start, days.empty() ? 0 : days.back().end);
  const bool any = y.days > 0;
  auto count = [&](int n) { return any ? std::to_string(n) : std::string(NONE); };
  text += temperature.rule();
  text +=
      temperature.row({"", "", u.temp(y.meanHigh), u.temp(y.meanLow), u.temp(y.meanTemperature),
                       number(yearHeat, 0), number(yearCool, 0), u.temp(y.high.value),
                       monthOf(y.high), u.temp(y.low.value), monthOf(y.low), count(yearCounts[0]),
                       count(yearCounts[1]), count(yearCounts[2]), count(yearCounts[3])});
  rainRows += rain.rule();
  rainRows +=
      rain.row({"", "", rainText(u, y.rain), rainText(u, y.wettestDay.value), monthOf(y.wettestDay),
                count(yearRainDays[0]), count(yearRainDays[1]), count(yearRainDays[2])});
  windRows += wind.rule();
  windRows += wind.row({"", "", u.speed(y.meanWind), u.speed(y.highWind.value), monthOf(y.highWind),
                        direction(y.windX, y.windY, y.vaneX, y.vaneY)});
  text +=
      "\n" + centred(std::string("PRECIPITATION (") + u.unit("rain_total") + ")", 80) + rainRows;
  text += "\n" + centred(std::string("WIND SPEED (") + u.unit("wind_speed") + ")", 80) + "\n" +
          windRows;
  return text;
}

}  // namespace graphs
