// noaa.h - monthly and yearly climate summaries as text, in the NOAA layout
// that weather services and station clubs exchange: NOAA-YYYY-MM.txt with a
// row for each local day and a totals row, NOAA-YYYY.txt with a row for each
// month. Units follow the page's; degree days are counted from 65 °F or
// 18.3 °C. A day or a month without samples shows "---", never zero.
#pragma once

#include <string>
#include <vector>

#include "climate.h"
#include "plots.h"

namespace graphs {

// "NOAA-2026-03.txt", "NOAA-2026.txt".
std::string noaaMonthFile(int year, int month);
std::string noaaYearFile(int year);

// The month's summary from its days (all of them, in order); `title` names
// the station.
std::string monthSummary(const std::string &title, int year, int month,
                         const std::vector<DayWeather> &days, const PlotStyle &style);

// The year's summary from its days.
std::string yearSummary(const std::string &title, int year, const std::vector<DayWeather> &days,
                        const PlotStyle &style);

}  // namespace graphs
