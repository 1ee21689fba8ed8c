// sample.cpp - samples from station readings.
#include "sample.h"

#include "codecs.h"

davis_sample sampleFromImage(const unsigned char image[SENSOR_IMAGE_BYTES], int16_t dew,
                             int16_t chill) {
  davis_sample s;
  s.itemp = le16(image + 0);
  s.otemp = le16(image + 2);
  s.wsp = static_cast<int8_t>(image[4]);
  s.wdir = le16(image + 5);
  s.barom = le16(image + 7);
  s.ihum = static_cast<int8_t>(image[9]);
  s.ohum = static_cast<int8_t>(image[10]);
  s.rain = le16(image + 11);
  s.dew = dew;
  s.chill = chill;
  return s;
}

weather_sample sampleEmpty(time_t when, int rainCountsPerInch) {
  weather_sample s = {};
  s.time = when;
  s.rainCountsPerInch = rainCountsPerInch;
  return s;
}

void sampleSet(weather_sample *s, quantity_field field, int value) {
  s->value[field] = value;
  s->known[field] = true;
}

weather_sample sampleOf(time_t when, const davis_sample *raw, const davis_cal *cal) {
  weather_sample s = sampleEmpty(when, cal->rain);
  sampleSet(&s, Q_INSIDE_TEMP, raw->itemp + cal->itemp);
  sampleSet(&s, Q_OUTSIDE_TEMP, raw->otemp + cal->otemp);
  sampleSet(&s, Q_WIND_SPEED, raw->wsp);
  sampleSet(&s, Q_WIND_DIRECTION, raw->wdir);
  sampleSet(&s, Q_BAROMETER, raw->barom + cal->bar);
  sampleSet(&s, Q_INSIDE_HUMIDITY, raw->ihum);
  sampleSet(&s, Q_OUTSIDE_HUMIDITY, raw->ohum);
  // The rain total counts up to 65535 on the wire.
  sampleSet(&s, Q_RAIN_TOTAL, static_cast<uint16_t>(raw->rain));
  sampleSet(&s, Q_DEW_POINT, raw->dew);
  sampleSet(&s, Q_WIND_CHILL, raw->chill);
  s.stationChill = raw->chill;
  s.stationChillKnown = true;
  return s;
}
