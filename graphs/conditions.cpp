// conditions.cpp - the page's numbers from weather.rrd through librrd.
#include "conditions.h"

#include <rrd.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "database.h"
#include "derived.h"
#include "fetch.h"
#include "rain.h"

namespace graphs {
namespace {

constexpr unsigned long MINUTE = 60;
constexpr unsigned long HOUR = 3600;
constexpr long DAY = 86400;
// The barometer of three hours ago is the latest one logged in this span
// before that moment, so a missed sample does not lose the trend.
constexpr long TREND_SLACK = 600;

int quantityIndex(const char *ds) {
  for (int i = 0; i < QUANTITY_COUNT; i++)
    if (QUANTITIES[i].ds != nullptr && strcmp(QUANTITIES[i].ds, ds) == 0) return i;
  return -1;
}

bool isRain(int i) {
  return QUANTITIES[i].field == Q_RAIN_TOTAL;
}

// rrd_info names a data source's fields "ds[NAME].FIELD".
int infoIndex(const char *key, const char *field) {
  if (strncmp(key, "ds[", 3) != 0) return -1;
  const char *close = strchr(key, ']');
  if (close == nullptr || close[1] != '.' || strcmp(close + 2, field) != 0) return -1;
  const std::string name(key + 3, close);
  return quantityIndex(name.c_str());
}

bool readLast(const std::string &path, Conditions *c, std::string *why) {
  rrd_clear_error();
  rrd_info_t *info = rrd_info_r(path.c_str());
  if (info == nullptr) {
    *why = rrd_get_error();
    return false;
  }
  double low[QUANTITY_COUNT], high[QUANTITY_COUNT];
  bool any = false;
  time_t last = 0;
  for (int i = 0; i < QUANTITY_COUNT; i++) low[i] = high[i] = NAN;
  for (rrd_info_t *e = info; e != nullptr; e = e->next) {
    int i;
    if (strcmp(e->key, "last_update") == 0 && e->type == RD_I_CNT) {
      last = static_cast<time_t>(e->value.u_cnt);
    } else if ((i = infoIndex(e->key, "last_ds")) >= 0 && e->type == RD_I_STR) {
      char *end = nullptr;
      const double v = strtod(e->value.u_str, &end);
      if (end != e->value.u_str && *end == '\0') {
        c->current[i] = v;
        any = true;
      }
    } else if ((i = infoIndex(e->key, "min")) >= 0 && e->type == RD_I_VAL) {
      low[i] = e->value.u_val;
    } else if ((i = infoIndex(e->key, "max")) >= 0 && e->type == RD_I_VAL) {
      high[i] = e->value.u_val;
    }
  }
  rrd_info_free(info);
  // Until the first sample every last value reads "U".
  c->lastSample = any ? last : 0;
  // The database keeps an out-of-range value as unknown; so does the page.
  // The rain counter's bounds are on its rate, not on the total.
  for (int i = 0; i < QUANTITY_COUNT; i++) {
    if (isRain(i)) continue;
    if (c->current[i] < low[i] || c->current[i] > high[i]) c->current[i] = NAN;
  }
  return true;
}

bool readToday(const std::string &path, time_t midnight, Conditions *c, std::string *why) {
  const time_t last = c->lastSample;
  const bool today = last > midnight;
  for (const char *cf : {"MIN", "MAX"}) {
    if (!today) break;
    const bool lower = cf[1] == 'I';
    DatabaseFetch f;
    if (!f.run(path, cf, midnight, last, MINUTE, why)) return false;
    std::vector<int> quantity(f.columns());
    for (unsigned long d = 0; d < f.columns(); d++) quantity[d] = quantityIndex(f.name(d));
    for (unsigned long r = 0; r < f.rows(); r++) {
      for (unsigned long d = 0; d < f.columns(); d++) {
        const int i = quantity[d];
        if (i < 0 || isRain(i)) continue;
        takeExtreme(lower ? &c->low[i] : &c->high[i], f.at(r, d), f.rowEnd(r), lower);
      }
    }
  }
  // The last sample may not be in a whole minute yet.
  for (int i = 0; today && i < QUANTITY_COUNT; i++) {
    if (isRain(i)) continue;
    takeExtreme(&c->low[i], c->current[i], last, true);
    takeExtreme(&c->high[i], c->current[i], last, false);
  }

  // The barometer at the start of the trend.
  const time_t trendFrom = last - TREND_SECONDS - TREND_SLACK;
  const time_t trendTo = last - TREND_SECONDS;
  DatabaseFetch f;
  if (!f.run(path, "AVERAGE", trendFrom, trendTo, MINUTE, why)) return false;
  const long barometer = f.column(quantityOfField(Q_BAROMETER)->ds);
  for (unsigned long r = 0; r < f.rows() && barometer >= 0; r++) {
    const time_t end = f.rowEnd(r);
    const double v = f.at(r, static_cast<unsigned long>(barometer));
    if (!std::isnan(v) && end > trendFrom && end <= trendTo) c->barometerBefore = v;
  }
  return true;
}

// What the daemon works out from the last sample (derived.h), with the rain
// figures from the rain source's rows; the database's chill source is the
// station's own, the page shows kivamet's.
bool deriveCurrent(const std::string &path, time_t midnight, Conditions *c, std::string *why) {
  const time_t last = c->lastSample;
  RainHistory rain;
  if (!rain.loadDatabase(path, last - RAIN_HISTORY_SECONDS, last, why)) return false;
  weather_sample s = sampleEmpty(last, 0);
  for (int i = 0; i < QUANTITY_COUNT; i++)
    if (QUANTITIES[i].ds != nullptr && !isRain(i) && !std::isnan(c->current[i]))
      sampleSet(&s, QUANTITIES[i].field,
                static_cast<int>(std::lround(c->current[i] * QUANTITIES[i].dsScale)));
  sampleDerive(&s, rain.at(last));
  // Rain today is yesterday's until the first sample after midnight.
  if (last <= midnight) s.known[Q_RAIN_TODAY] = false;
  for (quantity_field f :
       {Q_WIND_CHILL, Q_HEAT_INDEX, Q_APPARENT_TEMP, Q_RAIN_RATE, Q_RAIN_LAST_HOUR, Q_RAIN_TODAY})
    c->current[quantityOfField(f) - QUANTITIES] = s.known[f] ? s.value[f] : NAN;
  return true;
}

// The start of the first row with any value in [from, last], or 0.
bool firstRow(const std::string &path, time_t from, time_t last, unsigned long step, time_t *first,
              std::string *why) {
  DatabaseFetch f;
  if (!f.run(path, "AVERAGE", from, last, step, why)) return false;
  for (unsigned long r = 0; r < f.rows(); r++)
    for (unsigned long d = 0; d < f.columns(); d++)
      if (!std::isnan(f.at(r, d))) {
        *first = f.rowEnd(r) - static_cast<time_t>(f.step());
        return true;
      }
  return true;
}

// The first sample the database holds: to the hour from hourly rows, then to the
// minute when that is within the day the minute rows hold (an hour row
// needs half an hour of samples, so the minutes may begin an hour sooner).
bool readFirst(const std::string &path, time_t known, Conditions *c, std::string *why) {
  const time_t last = c->lastSample;
  time_t first = 0;
  // The hourly rows reach back furthest: all the database holds.
  const rrd_archive &hours = rrdArchives[RRD_ARCHIVE_COUNT - 1];
  const time_t reach = last - hours.rows * hours.step;
  if (known != 0 && known >= reach && known <= last) {
    c->firstSample = known;
    return true;
  }
  if (!firstRow(path, reach, last, HOUR, &first, why)) return false;
  if (first == 0 || first > last - DAY) {
    const time_t from = first == 0 ? last - DAY : std::max<time_t>(first - HOUR, last - DAY);
    if (!firstRow(path, from, last, MINUTE, &first, why)) return false;
  }
  c->firstSample = first;
  return true;
}

}  // namespace

void takeExtreme(Extreme *e, double v, time_t at, bool lower) {
  if (std::isnan(v)) return;
  if (std::isnan(e->value) || (lower ? v < e->value : v > e->value)) *e = Extreme{v, at};
}

bool readConditions(const std::string &rrdPath, time_t now, Conditions *c, std::string *why,
                    time_t firstSample) {
  for (int i = 0; i < QUANTITY_COUNT; i++) {
    c->current[i] = NAN;
    c->low[i] = c->high[i] = Extreme{NAN, 0};
  }
  c->lastSample = c->firstSample = 0;
  c->barometerBefore = NAN;
  if (!readLast(rrdPath, c, why)) return false;
  if (c->lastSample == 0) return true;
  if (!readFirst(rrdPath, firstSample, c, why) || !readToday(rrdPath, localMidnight(now), c, why))
    return false;
  // After today's lows and highs, which fold in the last sample: those of
  // the wind chill are the database's own, like its rows.
  return deriveCurrent(rrdPath, localMidnight(now), c, why);
}

}  // namespace graphs
