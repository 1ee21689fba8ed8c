// plots.h - the weather page's graphs: four periods times six charts, each
// drawn by librrd's rrd_graph from the archive that matches its period,
// with the conversions of the table of quantities as CDEFs.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "quantities.h"

namespace graphs {

// How rain is summed into bars.
enum class RainBin {
  Hour,      // hourly rows as they are
  LocalDay,  // local midnight to midnight, summed in RPN from rows of an hour or two
  Day        // rrd_graph's own days, from UTC midnight: for a graph where a day is
             // narrower than a pixel, so the zone's offset cannot show
};

struct Period {
  const char *id;    // "day": file names and page anchors
  const char *name;  // "Day"
  long span;         // seconds shown
  long step;         // the archive's row: 60, 300 or 3600 seconds
  RainBin rain;
};
constexpr int PERIOD_COUNT = 4;
extern const Period PERIODS[PERIOD_COUNT];

enum class Draw {
  Lines,   // averages as lines, MIN/MAX bands where the series asks
  Points,  // the last value of each row as a short mark
  Bars     // the rain counter summed per hour or per day
};

struct Series {
  const char *key;      // quantity key
  const char *legend;   // "Outside"
  const char *color;    // "#rrggbb"
  bool band;            // MIN/MAX band behind the line
  bool dashed = false;  // a line that often lies on another one (wind chill on the temperature)
};

struct Chart {
  const char *id;     // "temperature"
  const char *title;  // "Temperature"
  Draw draw;
  int seriesCount;
  Series series[4];
};
constexpr int CHART_COUNT = 6;
extern const Chart CHARTS[CHART_COUNT];

struct PlotStyle {
  unit_system units = UNITS_US;
  double rainCountsPerInch = 100;
};

struct Image {
  std::string png;
  int width = 0;
  int height = 0;
};

// Graphs are drawn at 1x, and at 2x for phones and other dense screens.
constexpr int ZOOM_COUNT = 2;

// "day-temperature.png", at 2x "day-temperature@2x.png".
std::string graphFileName(const Period &p, const Chart &c, int zoom = 1);

// The chart's caption on the page: "Temperature (°F)", "Rain per day (mm)".
std::string graphCaption(const Period &p, const Chart &c, unit_system units);

// rrd_graph's arguments for one graph of the span that ends at `end`, the
// image kept in memory; `since` is the first sample (0: unknown), before
// which no graph starts. The rain chart's bars are the variable "bar", in
// the chosen units per hour or per day.
// `zoom` scales the whole image, text included.
std::vector<std::string> graphArguments(const std::string &rrdPath, const Period &p, const Chart &c,
                                        const PlotStyle &style, time_t since, time_t end,
                                        int zoom = 1);

// Draws one graph as above. Returns false with librrd's reason when it
// cannot.
bool renderGraph(const std::string &rrdPath, const Period &p, const Chart &c,
                 const PlotStyle &style, time_t since, time_t end, Image *out, std::string *why,
                 int zoom = 1);

}  // namespace graphs
