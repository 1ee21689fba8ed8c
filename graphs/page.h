// page.h - the weather page's HTML: current conditions, today's highs and
// lows, the records and the climate summaries, and the graphs of each
// period behind tabs. One self-contained file: no scripts, no fonts or
// styles from elsewhere.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "climate.h"
#include "conditions.h"
#include "plots.h"
#include "summaries.h"

namespace graphs {

// A sample older than this is marked stale.
constexpr long STALE_SECONDS = 300;

struct PageGraph {
  std::string file;    // empty: not drawn
  std::string file2x;  // the same at twice the size
  int width = 0;
  int height = 0;
};

// The records of a span, and its heading ("March 2026", "2026", "All").
struct RecordSpan {
  std::string name;
  SpanWeather weather;
};

struct PageInput {
  std::string title;
  PlotStyle style;
  time_t now = 0;
  Conditions conditions;
  PageGraph graphs[PERIOD_COUNT][CHART_COUNT];
  RecordSpan records[3];  // this month, this year, all the database holds
  std::vector<SummaryLink> summaries;
};

std::string pageHtml(const PageInput &in);

// A value of weather.rrd in human units with its unit ("58.4 °F"), or "—".
std::string showValue(const quantity *q, double databaseValue, const PlotStyle &style);

// One entry of the current conditions: an id for the page, the name, the
// value with its unit (or "—") and an optional note (the barometer trend).
struct ConditionCard {
  std::string id, name, value, note;
};
std::vector<ConditionCard> conditionCards(const Conditions &c, const PlotStyle &style);

// The current conditions as plain text, a line each, for a terminal.
std::string conditionsText(const Conditions &c, const PlotStyle &style);

// The compass point of a compass index ("N", "NNE", ...).
const char *compassWord(double index);

}  // namespace graphs
