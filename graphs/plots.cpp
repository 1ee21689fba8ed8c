// plots.cpp - rrd_graph argument lists for the page's graphs, rendered in
// memory so the caller can write them atomically.
#include "plots.h"

#include <rrd.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace graphs {

const Period PERIODS[PERIOD_COUNT] = {
    {"day", "Day", 86400, 60, RainBin::Hour},
    {"week", "Week", 7 * 86400, 300, RainBin::Hour},
    {"month", "Month", 31 * 86400, 3600, RainBin::LocalDay},
    {"year", "Year", 365 * 86400, 3600, RainBin::Day},
};

const Chart CHARTS[CHART_COUNT] = {
    {"temperature",
     "Temperature",
     Draw::Lines,
     4,
     {{"outside_temperature", "Outside", "#d62728", true},
      {"inside_temperature", "Inside", "#2ca02c", false},
      {"dew_point", "Dew point", "#1f77b4", false},
      {"wind_chill", "Wind chill", "#9467bd", false, true}}},
    {"humidity",
     "Humidity",
     Draw::Lines,
     2,
     {{"outside_humidity", "Outside", "#1f77b4", true},
      {"inside_humidity", "Inside", "#2ca02c", false}}},
    {"barometer", "Barometer", Draw::Lines, 1, {{"barometer", "Barometer", "#8c564b", true}}},
    {"wind", "Wind speed", Draw::Lines, 1, {{"wind_speed", "Speed", "#ff7f0e", true}}},
    {"direction",
     "Wind direction",
     Draw::Points,
     1,
     {{"wind_direction", "Direction", "#17becf", false}}},
    {"rain", "Rain", Draw::Bars, 1, {{"rain_total", "Rain", "#1f77b4", false}}},
};

namespace {

constexpr int GRAPH_WIDTH = 400;  // plot area; the image adds the axes
constexpr int GRAPH_HEIGHT = 120;
constexpr long DAY = 86400;
constexpr long HOUR = 3600;
// The direction marks: this many degrees tall, centred on the value.
constexpr int MARK_DEGREES = 8;
// Band fill: the line's colour at this opacity.
const char BAND_ALPHA[] = "40";

// A graph never starts before the first sample, so a young database fills
// the graph instead of a sliver at its right edge; the graph then takes the
// finest archive that holds its span (librrd falls back to a coarser one),
// and shows at least MIN_SPAN.
constexpr long MIN_SPAN = 15 * 60;
constexpr long FINEST_STEP = 60;

struct Window {
  time_t start;
  time_t end;
  long step;
  bool whole;  // the period's full span
};

Window window(const Period &p, time_t since, time_t end) {
  Window w{end - p.span, end, p.step, true};
  if (since > w.start) {
    w.start = std::min<time_t>(since - since % FINEST_STEP, end - MIN_SPAN);
    w.step = FINEST_STEP;
    w.whole = false;
  }
  return w;
}

const quantity *seriesQuantity(const Series &s) {
  return quantityFind(s.key);
}

// rrd_graph splits its arguments at colons; a colon in the path is escaped.
std::string escapePath(const std::string &path) {
  std::string out;
  for (char ch : path) {
    if (ch == ':' || ch == '\\') out += '\\';
    out += ch;
  }
  return out;
}

std::string rpn(const quantity *q, const PlotStyle &style, const std::string &var) {
  char text[160];
  quantityRpn(text, sizeof text, q, style.units, style.rainCountsPerInch, var.c_str());
  return text;
}

class Args {
 public:
  Args &operator<<(const std::string &a) {
    list_.push_back(a);
    return *this;
  }
  void add(std::initializer_list<std::string> args) {
    list_.insert(list_.end(), args.begin(), args.end());
  }
  void def(const std::string &var, const std::string &db, const char *ds, const char *cf, long step,
           const std::string &extra = "") {
    *this << "DEF:" + var + "=" + db + ":" + ds + ":" + cf + ":step=" + std::to_string(step) +
                 extra;
  }
  void cdef(const std::string &var, const std::string &expr) {
    *this << "CDEF:" + var + "=" + expr;
  }
  const std::vector<std::string> &list() const { return list_; }

 private:
  std::vector<std::string> list_;
};

void drawLines(Args &a, const std::string &db, const Window &w, const Chart &c,
               const PlotStyle &style) {
  // The axis hugs the values: a barometer's few hPa of change would be a
  // flat line on an axis from 1000 to 1200.
  a.add({"--alt-autoscale", "--alt-y-grid"});
  // Bands first, so every line is drawn over them.
  for (int n = 0; n < c.seriesCount; n++) {
    const Series &s = c.series[n];
    if (!s.band) continue;
    const quantity *q = seriesQuantity(s);
    const std::string v = "s" + std::to_string(n);
    a.def(v + "lo", db, q->ds, "MIN", w.step);
    a.def(v + "hi", db, q->ds, "MAX", w.step);
    a.cdef(v + "min", rpn(q, style, v + "lo"));
    a.cdef(v + "span", rpn(q, style, v + "hi") + "," + v + "min,-");
    a << "AREA:" + v + "min";
    a << "AREA:" + v + "span" + s.color + BAND_ALPHA + "::STACK";
  }
  for (int n = 0; n < c.seriesCount; n++) {
    const Series &s = c.series[n];
    const quantity *q = seriesQuantity(s);
    const std::string v = "s" + std::to_string(n);
    a.def(v + "raw", db, q->ds, "AVERAGE", w.step);
    a.cdef(v, rpn(q, style, v + "raw"));
    // A dashed line over another shows both where they agree.
    a << std::string(n == 0 ? "LINE2:" : "LINE1:") + v + s.color + ":" + s.legend +
             (s.dashed ? ":dashes=4,3" : "");
  }
}

// Each row's last compass point as a short mark: averaging directions
// would make north and north-north-west a southerly wind.
void drawPoints(Args &a, const std::string &db, const Window &w, const Chart &c,
                const PlotStyle &style) {
  const Series &s = c.series[0];
  const quantity *q = seriesQuantity(s);
  a.add({"--lower-limit", "0", "--upper-limit", "360", "--rigid", "--y-grid", "45:2"});
  a.def("raw", db, q->ds, "LAST", w.step, ":reduce=LAST");
  a.cdef("deg", rpn(q, style, "raw"));
  a.cdef("mark", "deg," + std::to_string(MARK_DEGREES / 2) + ",-");
  a.cdef("height", "deg,UN,UNKN," + std::to_string(MARK_DEGREES) + ",IF");
  a << "AREA:mark";
  a << std::string("AREA:height") + s.color + ":" + s.legend + ":STACK";
}

// The counter's per-second rate times the seconds of each bin. Local days
// follow midnights that no archive row need fall on: each row is given the
// sum of the day that follows it (the data shifted back a day, then a
// day's trailing sum), the row that ends at midnight keeps that sum, and
// the rows of the day hold it, from the row after, until the next midnight.
void drawBars(Args &a, const std::string &db, const Period &p, const Window &w, const Chart &c,
              const PlotStyle &style) {
  const Series &s = c.series[0];
  const quantity *q = seriesQuantity(s);
  const std::string day = std::to_string(DAY);
  a.add({"--lower-limit", "0"});
  // A shorter span has rows fine enough for local days.
  const RainBin bin = p.rain == RainBin::Day && !w.whole ? RainBin::LocalDay : p.rain;
  switch (bin) {
    case RainBin::Hour:
    case RainBin::Day: {
      const long seconds = bin == RainBin::Hour ? HOUR : DAY;
      a.def("rate", db, q->ds, "AVERAGE", seconds);
      a.cdef("bar", rpn(q, style, "rate") + "," + std::to_string(seconds) + ",*");
      break;
    }
    case RainBin::LocalDay:
      a.def("ahead", db, q->ds, "AVERAGE", HOUR,
            ":start=" + std::to_string(w.start) + ":end=" + std::to_string(w.end + DAY));
      a << "SHIFT:ahead:-" + day;
      a.cdef("depth", "ahead,UN,0," + rpn(q, style, "ahead") + ",IF,STEPWIDTH,*");
      a.cdef("next", "depth," + day + ",TREND," + day + ",*,STEPWIDTH,/");
      a.cdef("midnight", "next,POP,LTIME," + day + ",%,STEPWIDTH,LT");
      a.cdef("held", "midnight,next,PREV,IF");
      a.cdef("bar", "PREV(held)");
      break;
  }
  a << std::string("AREA:bar") + s.color + ":" + s.legend;
}

}  // namespace

std::string graphFileName(const Period &p, const Chart &c, int zoom) {
  return std::string(p.id) + "-" + c.id + (zoom > 1 ? "@" + std::to_string(zoom) + "x" : "") +
         ".png";
}

std::string graphCaption(const Period &p, const Chart &c, unit_system units) {
  std::string title = c.title;
  if (c.draw == Draw::Bars) title += p.rain == RainBin::Hour ? " per hour" : " per day";
  const quantity *q = seriesQuantity(c.series[0]);
  return title + " (" + quantityForm(q, units)->unit + ")";
}

std::vector<std::string> graphArguments(const std::string &rrdPath, const Period &p, const Chart &c,
                                        const PlotStyle &style, time_t since, time_t end,
                                        int zoom) {
  const Window w = window(p, since, end);
  const std::string db = escapePath(rrdPath);
  Args a;
  // "-" keeps the image in memory, handed back in the info list.
  a.add({"graph", "-", "--imgformat", "PNG", "--start", std::to_string(w.start), "--end",
         std::to_string(w.end), "--width", std::to_string(GRAPH_WIDTH), "--height",
         std::to_string(GRAPH_HEIGHT), "--vertical-label",
         quantityForm(seriesQuantity(c.series[0]), style.units)->unit});
  a.add({"--font", "DEFAULT:9:DejaVu Sans Mono", "--units-exponent", "0", "--slope-mode",
         "--border", "0", "--disable-rrdtool-tag", "--color", "BACK#ffffff", "--color",
         "CANVAS#ffffff"});
  // The scale again on the right: easier to read across a wide graph, and
  // it leaves room for the last time label, which the edge would cut.
  a.add({"--right-axis", "1:0", "--right-axis-format", "%lg"});
  if (zoom > 1) a.add({"--zoom", std::to_string(zoom)});
  switch (c.draw) {
    case Draw::Lines:
      drawLines(a, db, w, c, style);
      break;
    case Draw::Points:
      drawPoints(a, db, w, c, style);
      break;
    case Draw::Bars:
      drawBars(a, db, p, w, c, style);
      break;
  }
  return a.list();
}

bool renderGraph(const std::string &rrdPath, const Period &p, const Chart &c,
                 const PlotStyle &style, time_t since, time_t end, Image *out, std::string *why,
                 int zoom) {
  std::vector<std::string> list = graphArguments(rrdPath, p, c, style, since, end, zoom);
  std::vector<char *> argv;
  for (std::string &arg : list) argv.push_back(&arg[0]);
  rrd_clear_error();
  rrd_info_t *info = rrd_graph_v(static_cast<int>(argv.size()), argv.data());
  if (info == nullptr) {
    *why = rrd_get_error();
    return false;
  }
  out->png.clear();
  for (rrd_info_t *e = info; e != nullptr; e = e->next) {
    if (strcmp(e->key, "image") == 0 && e->type == RD_I_BLO)
      out->png.assign(reinterpret_cast<const char *>(e->value.u_blo.ptr), e->value.u_blo.size);
    else if (strcmp(e->key, "image_width") == 0 && e->type == RD_I_CNT)
      out->width = static_cast<int>(e->value.u_cnt);
    else if (strcmp(e->key, "image_height") == 0 && e->type == RD_I_CNT)
      out->height = static_cast<int>(e->value.u_cnt);
  }
  rrd_info_free(info);
  if (out->png.empty()) {
    *why = "rrd_graph gave no image";
    return false;
  }
  return true;
}

}  // namespace graphs
