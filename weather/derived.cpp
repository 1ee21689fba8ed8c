// derived.cpp - derived values of a sample.
#include "derived.h"

#include <cmath>

#include "quantities.h"

namespace {

void setOrClear(weather_sample *s, quantity_field field, bool known, int value) {
  if (known)
    sampleSet(s, field, value);
  else
    s->known[field] = false;
}

}  // namespace

void sampleDerive(weather_sample *s, const rain_figures &rain) {
  const bool t = s->known[Q_OUTSIDE_TEMP], h = s->known[Q_OUTSIDE_HUMIDITY],
             w = s->known[Q_WIND_SPEED];
  const int tout = s->value[Q_OUTSIDE_TEMP], hout = s->value[Q_OUTSIDE_HUMIDITY],
            wsp = s->value[Q_WIND_SPEED];
  // The station's dew point, or the catch-up's from the record: either
  // comes from the outside temperature and humidity.
  if (!(t && h)) s->known[Q_DEW_POINT] = false;
  setOrClear(s, Q_WIND_CHILL, t && w, t && w ? quantityWindChill(tout, wsp) : 0);
  if (!(t && w)) s->stationChillKnown = false;
  setOrClear(s, Q_HEAT_INDEX, t && h, t && h ? quantityHeatIndex(tout, hout) : 0);
  setOrClear(s, Q_APPARENT_TEMP, t && h && w,
             t && h && w ? quantityApparentTemperature(tout, hout, wsp) : 0);
  const struct {
    quantity_field field;
    rain_span span;
  } RAIN[] = {
      {Q_RAIN_RATE, RAIN_RATE}, {Q_RAIN_LAST_HOUR, RAIN_LAST_HOUR}, {Q_RAIN_TODAY, RAIN_TODAY}};
  for (const auto &r : RAIN)
    setOrClear(s, r.field, rain.known[r.span], static_cast<int>(std::lround(rain.counts[r.span])));
}

void ReadingStream::complete(weather_sample *s) {
  rain_.addTotal(s->time, s->known[Q_RAIN_TOTAL] ? s->value[Q_RAIN_TOTAL] : -1);
  sampleDerive(s, rain_.at(s->time));
}
