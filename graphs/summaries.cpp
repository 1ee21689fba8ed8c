// summaries.cpp - which summaries are due, and writing them.
#include "summaries.h"

#include <sys/stat.h>

#include "atomicfile.h"
#include "days.h"
#include "noaa.h"

namespace graphs {
namespace {

const char *const MONTHS[12] = {"January",   "February", "March",    "April",
                                "May",       "June",     "July",     "August",
                                "September", "October",  "November", "December"};

struct Span {
  int year, month;  // month 0: the whole year
  time_t start, end;
};

// A file written after its span ended holds the span whole.
bool writtenAfter(const std::string &path, time_t end) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_mtime > end;
}

}  // namespace

time_t monthStart(time_t t) {
  struct tm lt;
  localtime_r(&t, &lt);
  return localDate(lt.tm_year + 1900, lt.tm_mon + 1, 1);
}

time_t monthEnd(time_t t) {
  struct tm lt;
  localtime_r(&t, &lt);
  return localDate(lt.tm_year + 1900, lt.tm_mon + 2, 1);
}

bool writeSummaries(const std::string &dir, const std::string &title, const PlotStyle &style,
                    const std::vector<DayWeather> &days, time_t last, time_t now, time_t *writtenAt,
                    std::vector<SummaryLink> *links, std::string *why) {
  std::vector<Span> spans;  // months, each year after its last month
  for (const DayWeather &d : days) {
    struct tm lt;
    localtime_r(&d.start, &lt);
    const int year = lt.tm_year + 1900, month = lt.tm_mon + 1;
    if (spans.empty() || spans.back().month != month) {
      if (!spans.empty() && spans.back().year != year) {
        const int previous = spans.back().year;
        spans.push_back({previous, 0, localDate(previous, 1, 1), localDate(previous + 1, 1, 1)});
      }
      spans.push_back({year, month, localDate(year, month, 1), localDate(year, month + 1, 1)});
    }
  }
  if (!spans.empty()) {
    const int year = spans.back().year;
    spans.push_back({year, 0, localDate(year, 1, 1), localDate(year + 1, 1, 1)});
  }
  const bool currentDue = *writtenAt == 0 || now - *writtenAt >= SUMMARY_SECONDS;
  bool wroteCurrent = false;
  links->clear();
  for (const Span &s : spans) {
    const std::string file = s.month ? noaaMonthFile(s.year, s.month) : noaaYearFile(s.year);
    links->insert(links->begin(),
                  {file,
                   s.month ? std::string(MONTHS[s.month - 1]) + " " + std::to_string(s.year)
                           : std::to_string(s.year),
                   s.month == 0});
    const bool finished = last > s.end;
    if (finished ? writtenAfter(dir + "/" + file, s.end) : !currentDue) continue;
    std::vector<DayWeather> in;
    for (const DayWeather &d : days)
      if (d.start >= s.start && d.start < s.end) in.push_back(d);
    const std::string text = s.month ? monthSummary(title, s.year, s.month, in, style)
                                     : yearSummary(title, s.year, in, style);
    if (!writeAtomically(dir, file, text, why)) return false;
    wroteCurrent = wroteCurrent || !finished;
  }
  if (wroteCurrent) *writtenAt = now;
  return true;
}

}  // namespace graphs
