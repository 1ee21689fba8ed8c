// summaries.h - the monthly and yearly climate summaries (noaa.h) as files
// beside the page: a finished month or year is written once, the current
// one again at most every SUMMARY_SECONDS.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "climate.h"
#include "plots.h"

namespace graphs {

// How often the current month's and year's summaries are written again
// while the page is kept current.
constexpr long SUMMARY_SECONDS = 600;

struct SummaryLink {
  std::string file;   // "NOAA-2026-03.txt"
  std::string label;  // "March 2026", "2026"
  bool year;
};

// Writes the summaries of the months and years that `days` cover (whole
// months, in order) into `dir`. One that the last sample `last` has gone
// past is finished: written when its file is missing or was written before
// it ended. The others are written when `*writtenAt` is 0 or at least
// SUMMARY_SECONDS before `now`, and then `*writtenAt` is now. `links` gets
// every summary, newest first. False with a reason naming the file.
bool writeSummaries(const std::string &dir, const std::string &title, const PlotStyle &style,
                    const std::vector<DayWeather> &days, time_t last, time_t now, time_t *writtenAt,
                    std::vector<SummaryLink> *links, std::string *why);

// The local midnight that begins the month of `t`, and the next month's.
time_t monthStart(time_t t);
time_t monthEnd(time_t t);

}  // namespace graphs
