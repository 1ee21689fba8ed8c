// page.cpp - the weather page's HTML text.
#include "page.h"

#include <stdio.h>

#include <algorithm>
#include <cmath>

#include "days.h"

namespace graphs {
namespace {

const char UNKNOWN[] = "\u2014";  // an em dash, never "nan"
// Three hours of barometer change below this (thousandths of an inch of
// mercury, 0.7 hPa) read as steady.
constexpr double STEADY_BAROMETER = 20;
// Browsers reload the page this often, so an open page follows new samples.
constexpr int REFRESH_SECONDS = 60;

const char STYLE[] = R"(
body{margin:0;background:#f2f4f7;color:#1d2330;font-family:system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif;line-height:1.35}
header{background:#1f4e79;color:#fff;padding:.7rem 1rem}
h1{font-size:1.3rem;margin:0}
h2{font-size:1.05rem;margin:1rem 0 .4rem}
header p{margin:.2rem 0 0;font-size:.9rem}
.stale{background:#c0392b;color:#fff;border-radius:.3rem;padding:0 .4rem;font-weight:700;text-transform:uppercase;margin-left:.3rem}
main{max-width:70rem;margin:0 auto;padding:.3rem .6rem 1rem}
.notice{background:#fff3cd;border-radius:.5rem;padding:.6rem .8rem}
dl{display:grid;grid-template-columns:repeat(auto-fill,minmax(9.5rem,1fr));gap:.5rem;margin:0}
dl div,table,figure{background:#fff;border-radius:.5rem;box-shadow:0 1px 2px #0002}
dl div{padding:.45rem .7rem}
dt{font-size:.8rem;color:#555}
dd{margin:0;font-size:1.3rem;font-weight:600}
dd small{display:block;font-size:.8rem;font-weight:400;color:#555}
table{border-collapse:collapse;width:100%}
th,td{padding:.35rem .5rem;text-align:right;white-space:nowrap;border-bottom:1px solid #eee;font-variant-numeric:tabular-nums}
th:first-child{text-align:left;font-weight:400;white-space:normal}
td small{display:block;color:#777}
nav{display:flex;gap:.3rem;margin:1rem 0 .5rem}
nav a{flex:1;text-align:center;padding:.5rem;background:#fff;border-radius:.4rem;text-decoration:none;color:#1f4e79;font-weight:600;box-shadow:0 1px 2px #0002}
.period{display:none}
.period:target,#day{display:block}
.period:target~#day{display:none}
.graphs{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,30rem),1fr));gap:.5rem}
figure{margin:0;padding:.4rem}
figcaption{font-size:.85rem;color:#444;margin:0 0 .2rem .2rem}
img{display:block;max-width:100%;height:auto;margin:0 auto}
footer{text-align:center;font-size:.75rem;color:#777;padding:1rem}
#reach,.summaries{font-size:.85rem;color:#444;margin:.4rem .2rem}
.records th,.records td{padding:.3rem .3rem;font-size:.85rem}
)";

std::string escapeHtml(const std::string &text) {
  std::string out;
  for (char ch : text) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += ch;
    }
  }
  return out;
}

double human(const quantity *q, double databaseValue, const PlotStyle &style) {
  double mul, add;
  quantityDatabaseMap(q, style.units, style.rainCountsPerInch, &mul, &add);
  return databaseValue * mul + add;
}

std::string withUnit(const quantity *q, double humanValue, const PlotStyle &style) {
  char text[64];
  quantityFormat(text, sizeof text, q, humanValue, style.units);
  // A no-break space keeps the unit with its number in narrow columns.
  return std::string(text) + "\u00a0" + quantityForm(q, style.units)->unit;
}

int indexOf(const quantity *q) {
  return static_cast<int>(q - QUANTITIES);
}

// "rising, +0.034 inHg in 3 h", or "" when either end is unknown.
std::string barometerTrend(const Conditions &c, const PlotStyle &style) {
  const quantity *q = quantityOfField(Q_BAROMETER);
  const double change = c.current[indexOf(q)] - c.barometerBefore;
  if (std::isnan(change)) return "";
  const char *word = change >= STEADY_BAROMETER    ? "rising"
                     : change <= -STEADY_BAROMETER ? "falling"
                                                   : "steady";
  double mul, add;
  quantityDatabaseMap(q, style.units, style.rainCountsPerInch, &mul, &add);
  const std::string amount = withUnit(q, change * mul, style);
  return std::string(word) + ", " + (change > 0 ? "+" : "") + amount + " in " +
         std::to_string(TREND_SECONDS / 3600) + " h";
}

void card(std::string &h, const ConditionCard &c) {
  h += "<div><dt>" + c.name + "</dt><dd id=\"now-" + c.id + "\">" + c.value;
  if (!c.note.empty()) h += "<small>" + c.note + "</small>";
  h += "</dd></div>\n";
}

void currentConditions(std::string &h, const PageInput &in) {
  h += "<section aria-labelledby=\"now\"><h2 id=\"now\">Now</h2>\n<dl>\n";
  for (const ConditionCard &c : conditionCards(in.conditions, in.style)) card(h, c);
  h += "</dl>\n</section>\n";
}

std::string extremeCell(const quantity *q, const Extreme &e, const PlotStyle &s) {
  std::string cell = showValue(q, e.value, s);
  if (!std::isnan(e.value)) cell += "<small>" + timeText(e.at, "%H:%M") + "</small>";
  return cell;
}

void todaysExtremes(std::string &h, const PageInput &in) {
  h += "<section aria-labelledby=\"today\"><h2 id=\"today\">Today's lows and highs</h2>\n";
  h += "<table>\n<thead><tr><th></th><th>Low</th><th>High</th></tr></thead>\n<tbody>\n";
  for (int i = 0; i < QUANTITY_COUNT; i++) {
    const quantity *q = &QUANTITIES[i];
    if (q->ds == nullptr || q->field == Q_WIND_DIRECTION || q->field == Q_RAIN_TOTAL) continue;
    h += "<tr><th>" + std::string(q->name) + "</th><td id=\"low-" + q->key + "\">" +
         extremeCell(q, in.conditions.low[i], in.style) + "</td><td id=\"high-" + q->key + "\">" +
         extremeCell(q, in.conditions.high[i], in.style) + "</td></tr>\n";
  }
  h += "</tbody>\n</table>\n</section>\n";
}

// "3 Mar", or "3 Mar 2026" with the year.
std::string dateText(time_t t, bool year) {
  return timeText(t, year ? "%-d %b %Y" : "%-d %b");
}

// The highs and lows of this month, this year and all the database holds,
// each with its date; how far back that reaches; the climate summaries.
void records(std::string &h, const PageInput &in) {
  const Conditions &c = in.conditions;
  h += "<section aria-labelledby=\"records\"><h2 id=\"records\">Records</h2>\n";
  h += "<table class=\"records\">\n<thead><tr><th></th>";
  for (const RecordSpan &r : in.records) h += "<th>" + escapeHtml(r.name) + "</th>";
  h += "</tr></thead>\n<tbody>\n";
  struct Row {
    const char *id, *name;
    quantity_field field;
    Extreme SpanWeather::*extreme;
  };
  // Short names: three columns of values must fit a phone.
  const Row rows[] = {
      {"high", "Highest temperature", Q_OUTSIDE_TEMP, &SpanWeather::high},
      {"low", "Lowest temperature", Q_OUTSIDE_TEMP, &SpanWeather::low},
      {"wind", "Highest wind", Q_WIND_SPEED, &SpanWeather::highWind},
      {"rain", "Wettest day", Q_RAIN_TOTAL, &SpanWeather::wettestDay},
      {"barometer-high", "Highest barometer", Q_BAROMETER, &SpanWeather::highBarometer},
      {"barometer-low", "Lowest barometer", Q_BAROMETER, &SpanWeather::lowBarometer},
  };
  const char *spans[] = {"month", "year", "all"};
  for (const Row &row : rows) {
    h += "<tr><th>" + std::string(row.name) + "</th>";
    for (int i = 0; i < 3; i++) {
      const Extreme &e = in.records[i].weather.*row.extreme;
      h += "<td id=\"record-" + std::string(spans[i]) + "-" + row.id + "\">" +
           showValue(quantityOfField(row.field), e.value, in.style);
      // The end of the row it was seen in; one ending at midnight is the
      // day before's.
      if (!std::isnan(e.value)) h += "<small>" + dateText(e.at - 1, i == 2) + "</small>";
      h += "</td>";
    }
    h += "</tr>\n";
  }
  h += "</tbody>\n</table>\n";
  if (c.firstSample != 0) {
    const long days = std::lround(static_cast<double>(in.now - c.firstSample) / 86400);
    h += "<p id=\"reach\">The database reaches back to " + dateText(c.firstSample, true) + " (" +
         std::to_string(days) + (days == 1 ? " day" : " days") + ").</p>\n";
  }
  for (bool year : {false, true}) {
    std::string links;
    for (const SummaryLink &l : in.summaries)
      if (l.year == year)
        links += std::string(links.empty() ? "" : " · ") + "<a href=\"" + l.file + "\">" +
                 escapeHtml(l.label) + "</a>";
    if (!links.empty())
      h += std::string("<p class=\"summaries\">") + (year ? "Yearly" : "Monthly") +
           " climate summaries: " + links + "</p>\n";
  }
  h += "</section>\n";
}

std::string altText(const Period &p, const Chart &c, const PlotStyle &s) {
  std::string alt = "Graph: " + graphCaption(p, c, s.units) + " over the last " + p.id;
  if (c.draw == Draw::Lines) {
    alt += ": ";
    for (int n = 0; n < c.seriesCount; n++) {
      if (n > 0) alt += n + 1 == c.seriesCount ? " and " : ", ";
      alt += c.series[n].legend;
      if (c.series[n].band) alt += " with its range";
    }
  }
  return alt;
}

void periodTabs(std::string &h, const PageInput &in) {
  h += "<nav aria-label=\"Graphs\">";
  for (const Period &p : PERIODS) h += "<a href=\"#" + std::string(p.id) + "\">" + p.name + "</a>";
  h += "</nav>\n";
  // The day shows when no tab is chosen, so it comes last: a chosen tab
  // hides it with the sibling rule of the style.
  for (int order : {1, 2, 3, 0}) {
    const Period &p = PERIODS[order];
    h += "<section class=\"period\" id=\"" + std::string(p.id) + "\"><h2>Last " + p.id +
         "</h2>\n<div class=\"graphs\">\n";
    for (int ci = 0; ci < CHART_COUNT; ci++) {
      const PageGraph &g = in.graphs[order][ci];
      if (g.file.empty()) continue;
      const Chart &c = CHARTS[ci];
      const std::string version =
          "?v=" + std::to_string(static_cast<long long>(in.conditions.lastSample));
      h += "<figure><figcaption>" + graphCaption(p, c, in.style.units) +
           "</figcaption><img src=\"" + g.file + version + "\"" +
           (g.file2x.empty() ? "" : " srcset=\"" + g.file2x + version + " 2x\"") + " width=\"" +
           std::to_string(g.width) + "\" height=\"" + std::to_string(g.height) + "\" alt=\"" +
           altText(p, c, in.style) + "\"" + (order == 0 ? "" : " loading=\"lazy\"") +
           "></figure>\n";
    }
    h += "</div>\n</section>\n";
  }
}

}  // namespace

const char *compassWord(double index) {
  static const char *const WORDS[16] = {"N", "NNE", "NE", "ENE", "E", "ESE", "SE", "SSE",
                                        "S", "SSW", "SW", "WSW", "W", "WNW", "NW", "NNW"};
  const long i = std::lround(index);
  return WORDS[((i % 16) + 16) % 16];
}

std::string showValue(const quantity *q, double databaseValue, const PlotStyle &style) {
  if (std::isnan(databaseValue)) return UNKNOWN;
  return withUnit(q, human(q, databaseValue, style), style);
}

std::vector<ConditionCard> conditionCards(const Conditions &c, const PlotStyle &s) {
  std::vector<ConditionCard> cards;
  auto value = [&](quantity_field f) {
    const quantity *q = quantityOfField(f);
    return showValue(q, c.current[indexOf(q)], s);
  };
  auto add = [&](quantity_field f, const std::string &note = "") {
    const quantity *q = quantityOfField(f);
    cards.push_back({q->key, q->name, value(f), note});
  };
  for (quantity_field f : {Q_OUTSIDE_TEMP, Q_INSIDE_TEMP, Q_OUTSIDE_HUMIDITY, Q_INSIDE_HUMIDITY})
    add(f);
  add(Q_BAROMETER, barometerTrend(c, s));
  std::string wind = value(Q_WIND_SPEED);
  const double direction = c.current[indexOf(quantityOfField(Q_WIND_DIRECTION))];
  if (wind != UNKNOWN && !std::isnan(direction)) wind += std::string(" ") + compassWord(direction);
  cards.push_back({"wind", "Wind", wind, ""});
  add(Q_DEW_POINT);
  add(Q_WIND_CHILL);
  // Worked out from the last sample and the rain source, as the daemon does.
  for (quantity_field f :
       {Q_HEAT_INDEX, Q_APPARENT_TEMP, Q_RAIN_TODAY, Q_RAIN_LAST_HOUR, Q_RAIN_RATE})
    add(f);
  return cards;
}

std::string conditionsText(const Conditions &c, const PlotStyle &s) {
  if (c.lastSample == 0) return "No samples yet\n";
  std::string text = "Last sample          " + timeText(c.lastSample, "%Y-%m-%d %H:%M:%S") + "\n";
  for (const ConditionCard &card : conditionCards(c, s)) {
    std::string line = card.name;
    line.resize(std::max(line.size() + 1, size_t{21}), ' ');
    line += card.value;
    if (!card.note.empty()) line += " (" + card.note + ")";
    text += line + "\n";
  }
  // The page's no-break spaces are plain ones on a terminal.
  for (size_t at; (at = text.find("\u00a0")) != std::string::npos;) text.replace(at, 2, " ");
  return text;
}

std::string pageHtml(const PageInput &in) {
  const Conditions &c = in.conditions;
  const std::string title = escapeHtml(in.title);
  std::string h;
  h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  h += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  h += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(REFRESH_SECONDS) + "\">\n";
  h += "<title>" + title + "</title>\n<style>" + STYLE;
  // The chosen tab stands out; with none chosen, the day's.
  h += "body:not(:has(.period:target)) nav a[href=\"#day\"]";
  for (const Period &p : PERIODS)
    h += std::string(",body:has(#") + p.id + ":target) nav a[href=\"#" + p.id + "\"]";
  h += "{background:#1f4e79;color:#fff}\n</style>\n</head>\n<body>\n";

  h += "<header><h1>" + title + "</h1>\n<p>Last sample: ";
  if (c.lastSample == 0) {
    h += "<span id=\"last-sample\">none yet</span>";
  } else {
    h += "<time id=\"last-sample\" datetime=\"" +
         timeText(c.lastSample, "%Y-%m-%dT%H:%M:%SZ", true) + "\">" +
         timeText(c.lastSample, "%Y-%m-%d %H:%M") + "</time>";
    if (in.now - c.lastSample > STALE_SECONDS)
      h += "<span class=\"stale\" id=\"stale\" title=\"no new sample for more than " +
           std::to_string(STALE_SECONDS / 60) + " minutes\">stale</span>";
  }
  h += "</p></header>\n<main>\n";
  if (c.lastSample == 0)
    h += "<p class=\"notice\" id=\"no-samples\">No samples yet: the database is empty. The page "
         "fills in after the first sample is logged.</p>\n";
  currentConditions(h, in);
  todaysExtremes(h, in);
  if (c.lastSample != 0) records(h, in);
  if (c.lastSample != 0) periodTabs(h, in);
  h += "</main>\n<footer>Made by kivamet-graphs at " + timeText(in.now, "%Y-%m-%d %H:%M") +
       "</footer>\n</body>\n</html>\n";
  return h;
}

}  // namespace graphs
