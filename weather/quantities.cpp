// quantities.cpp - the table of weather quantities and their conversions.
#include "quantities.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>

namespace {

// Tenths of a degree Fahrenheit: F = t / 10, C = (F - 32) * 5 / 9.
constexpr unit_form TEMP_US = {0.1, 0.0, 1, "°F", "F"};
constexpr unit_form TEMP_METRIC = {1.0 / 18.0, -160.0 / 9.0, 1, "°C", "C"};
constexpr unit_form PERCENT = {1.0, 0.0, 0, "%", "%"};
// Thousandths of an inch of mercury; 1 inHg is 33.8639 hPa.
constexpr unit_form BAR_US = {0.001, 0.0, 3, "inHg", "inHg"};
constexpr unit_form BAR_METRIC = {0.0338639, 0.0, 1, "hPa", "hPa"};
constexpr unit_form SPEED_US = {1.0, 0.0, 0, "mph", "mph"};
constexpr unit_form SPEED_METRIC = {1.609344, 0.0, 1, "km/h", "km/h"};
constexpr unit_form DEGREES = {1.0, 0.0, 0, "°", "degrees"};
// Rain counts are first turned into inches by the station's RNCAL.
constexpr unit_form RAIN_US = {1.0, 0.0, 2, "in", "in"};
constexpr unit_form RAIN_METRIC = {25.4, 0.0, 1, "mm", "mm"};
constexpr unit_form RAIN_RATE_US = {1.0, 0.0, 2, "in/h", "in/h"};
constexpr unit_form RAIN_RATE_METRIC = {25.4, 0.0, 1, "mm/h", "mm/h"};

// 1 mph in metres a second.
constexpr double MPH_MS = 0.44704;

constexpr int DEFAULT_RAIN_COUNTS_PER_INCH = 100;

}  // namespace

static_assert(QUANTITY_COUNT == Q_FIELD_COUNT, "one row for each value of the sample");

const quantity QUANTITIES[QUANTITY_COUNT] = {
    {"outside_temperature", "Outside temperature", "tout", 1.0, Q_OUTSIDE_TEMP, "temp",
     "temperature", "measurement", TEMP_US, TEMP_METRIC},
    {"inside_temperature", "Inside temperature", "tin", 1.0, Q_INSIDE_TEMP, "temp", "temperature",
     "measurement", TEMP_US, TEMP_METRIC},
    {"outside_humidity", "Outside humidity", "hout", 1.0, Q_OUTSIDE_HUMIDITY, "humidity",
     "humidity", "measurement", PERCENT, PERCENT},
    {"inside_humidity", "Inside humidity", "hin", 1.0, Q_INSIDE_HUMIDITY, "humidity", "humidity",
     "measurement", PERCENT, PERCENT},
    {"barometer", "Barometer", "barom", 1.0, Q_BAROMETER, "pressure", "atmospheric_pressure",
     "measurement", BAR_US, BAR_METRIC},
    {"wind_speed", "Wind speed", "wsp", 1.0, Q_WIND_SPEED, "speed", "wind_speed", "measurement",
     SPEED_US, SPEED_METRIC},
    // The database keeps the compass index (0..15, 22.5 degrees each).
    {"wind_direction", "Wind direction", "wdir", 22.5, Q_WIND_DIRECTION, "direction",
     "wind_direction", "measurement_angle", DEGREES, DEGREES},
    // Rain depth; the total only grows until the station clears it.
    {"rain_total", "Rain total", "rain", 1.0, Q_RAIN_TOTAL, "distance", "precipitation",
     "total_increasing", RAIN_US, RAIN_METRIC},
    {"dew_point", "Dew point", "dew", 1.0, Q_DEW_POINT, "temp", "temperature", "measurement",
     TEMP_US, TEMP_METRIC},
    {"wind_chill", "Wind chill", "chill", 1.0, Q_WIND_CHILL, "temp", "temperature", "measurement",
     TEMP_US, TEMP_METRIC},
    // Worked out from the sample; the database keeps what they come from.
    {"heat_index", "Heat index", nullptr, 1.0, Q_HEAT_INDEX, "temp", "temperature", "measurement",
     TEMP_US, TEMP_METRIC},
    {"apparent_temperature", "Apparent temperature", nullptr, 1.0, Q_APPARENT_TEMP, "temp",
     "temperature", "measurement", TEMP_US, TEMP_METRIC},
    {"rain_rate", "Rain rate", nullptr, 1.0, Q_RAIN_RATE, "generic", "precipitation_intensity",
     "measurement", RAIN_RATE_US, RAIN_RATE_METRIC},
    {"rain_last_hour", "Rain last hour", nullptr, 1.0, Q_RAIN_LAST_HOUR, "distance",
     "precipitation", "measurement", RAIN_US, RAIN_METRIC},
    // Grows through the day and starts again at midnight.
    {"rain_today", "Rain today", nullptr, 1.0, Q_RAIN_TODAY, "distance", "precipitation",
     "total_increasing", RAIN_US, RAIN_METRIC},
};

const quantity *quantityFind(const char *key) {
  if (key == nullptr) return nullptr;
  for (const quantity &q : QUANTITIES)
    if (strcmp(q.key, key) == 0) return &q;
  return nullptr;
}

const quantity *quantityOfField(quantity_field field) {
  for (const quantity &q : QUANTITIES)
    if (q.field == field) return &q;
  return nullptr;
}

const unit_form *quantityForm(const quantity *q, unit_system units) {
  return units == UNITS_METRIC ? &q->metric : &q->us;
}

bool quantityIsRain(const quantity *q) {
  switch (q->field) {
    case Q_RAIN_TOTAL:
    case Q_RAIN_RATE:
    case Q_RAIN_LAST_HOUR:
    case Q_RAIN_TODAY:
      return true;
    default:
      return false;
  }
}

double quantityHuman(const quantity *q, int stationValue, unit_system units,
                     int rainCountsPerInch) {
  const unit_form *f = quantityForm(q, units);
  double v = stationValue;
  if (quantityIsRain(q))
    v /= rainCountsPerInch > 0 ? rainCountsPerInch : DEFAULT_RAIN_COUNTS_PER_INCH;
  return v * f->factor + f->offset;
}

int quantityFormat(char *text, size_t textSize, const quantity *q, double human,
                   unit_system units) {
  const int decimals = quantityForm(q, units)->decimals;
  // No "-0.0" for a value that rounds to zero.
  double shown = human;
  char probe[64];
  snprintf(probe, sizeof probe, "%.*f", decimals, shown);
  if (probe[0] == '-' && strspn(probe + 1, "0.") == strlen(probe + 1)) shown = 0.0;
  return snprintf(text, textSize, "%.*f", decimals, shown);
}

int quantityText(char *text, size_t textSize, const quantity *q, const weather_sample *s,
                 unit_system units) {
  if (!s->known[q->field]) return -1;
  return quantityFormat(text, textSize, q,
                        quantityHuman(q, s->value[q->field], units, s->rainCountsPerInch), units);
}

void quantityDatabaseMap(const quantity *q, unit_system units, double rainCountsPerInch,
                         double *mul, double *add) {
  const unit_form *f = quantityForm(q, units);
  double perStation = f->factor;
  if (quantityIsRain(q))
    perStation /= rainCountsPerInch > 0 ? rainCountsPerInch : DEFAULT_RAIN_COUNTS_PER_INCH;
  *mul = q->dsScale * perStation;
  *add = f->offset;
}

int quantityRpn(char *text, size_t textSize, const quantity *q, unit_system units,
                double rainCountsPerInch, const char *var) {
  double mul, add;
  quantityDatabaseMap(q, units, rainCountsPerInch, &mul, &add);
  // Seventeen digits carry a double exactly, so the graph and the page agree.
  if (add == 0.0) return snprintf(text, textSize, "%s,%.17g,*", var, mul);
  return snprintf(text, textSize, "%s,%.17g,*,%.17g,+", var, mul, add);
}

int quantityDewPoint(int toutTenths, int humidity) {
  const double c = (toutTenths / 10.0 - 32.0) * 5.0 / 9.0;
  const double rh = std::clamp(humidity, 1, 100) / 100.0;
  const double g = std::log(rh) + 17.62 * c / (243.12 + c);
  const double dc = 243.12 * g / (17.62 - g);
  return static_cast<int>(std::lround((dc * 9.0 / 5.0 + 32.0) * 10.0));
}

int quantityWindChill(int toutTenths, int mph) {
  const double t = toutTenths / 10.0;
  if (t > 50.0 || mph < 3) return toutTenths;
  const double v = std::pow(mph, 0.16);
  return static_cast<int>(std::lround((35.74 + 0.6215 * t - 35.75 * v + 0.4275 * t * v) * 10.0));
}

int quantityHeatIndex(int toutTenths, int humidity) {
  const double t = toutTenths / 10.0;
  const double rh = std::clamp(humidity, 1, 100);
  const double simple = 0.5 * (t + 61.0 + (t - 68.0) * 1.2 + rh * 0.094);
  double hi = simple;
  // The regression is fitted to heat indices of 80 F and above only.
  if ((simple + t) / 2.0 >= 80.0) {
    hi = -42.379 + 2.04901523 * t + 10.14333127 * rh - 0.22475541 * t * rh - 0.00683783 * t * t -
         0.05481717 * rh * rh + 0.00122874 * t * t * rh + 0.00085282 * t * rh * rh -
         0.00000199 * t * t * rh * rh;
    if (rh < 13.0 && t >= 80.0 && t <= 112.0)
      hi -= (13.0 - rh) / 4.0 * std::sqrt((17.0 - std::fabs(t - 95.0)) / 17.0);
    else if (rh > 85.0 && t >= 80.0 && t <= 87.0)
      hi += (rh - 85.0) / 10.0 * ((87.0 - t) / 5.0);
  }
  return static_cast<int>(std::lround(hi * 10.0));
}

int quantityApparentTemperature(int toutTenths, int humidity, int mph) {
  const double c = (toutTenths / 10.0 - 32.0) * 5.0 / 9.0;
  const double rh = std::clamp(humidity, 1, 100);
  // Water vapour pressure in hPa.
  const double e = rh / 100.0 * 6.105 * std::exp(17.27 * c / (237.7 + c));
  const double at = c + 0.33 * e - 0.70 * mph * MPH_MS - 4.00;
  return static_cast<int>(std::lround((at * 9.0 / 5.0 + 32.0) * 10.0));
}

int unitSystemParse(const char *text, unit_system *units) {
  if (text == nullptr) return -1;
  if (strcmp(text, "us") == 0) {
    *units = UNITS_US;
    return 0;
  }
  if (strcmp(text, "metric") == 0) {
    *units = UNITS_METRIC;
    return 0;
  }
  return -1;
}
