/* quantities.h - the weather quantities kivamet shows and publishes.
 *
 * One table describes the sample (sample.h): for each of its values, the
 * key, how the station value turns into human units, and how the database,
 * xPL and Home Assistant name it. The outputs, the demo and the weather
 * page all read this table, so a value looks the same everywhere.
 */
#ifndef KIVAMET_QUANTITIES_H
#define KIVAMET_QUANTITIES_H

#include <stddef.h>

#include "sample.h"

typedef enum { UNITS_US = 0, UNITS_METRIC = 1 } unit_system;

/* One unit system's form of a quantity: human = station * factor + offset
 * (rain first divides its counts by the counts per inch). */
typedef struct {
  double factor;
  double offset;
  int decimals;        /* digits after the point worth showing */
  const char *unit;    /* for people and Home Assistant, e.g. "°F" */
  const char *xplUnit; /* the sensor.basic "units" text, e.g. "F" */
} unit_form;

typedef struct {
  const char *key;  /* outside_temperature */
  const char *name; /* Outside temperature */
  const char *ds;   /* data source in weather.rrd, or null: the database keeps none */
  /* weather.rrd value times this gives the station value: 22.5 for the
   * compass index the database keeps for the wind direction, else 1 */
  double dsScale;
  quantity_field field;     /* its value in the sample */
  const char *xplType;      /* sensor.basic "type" */
  const char *haClass;      /* Home Assistant device_class */
  const char *haStateClass; /* Home Assistant state_class */
  unit_form us;
  unit_form metric;
} quantity;

#define QUANTITY_COUNT 15
extern const quantity QUANTITIES[QUANTITY_COUNT];

/* The row of a key, or null. */
const quantity *quantityFind(const char *key);

/* The row that describes a field of the sample (every field has one). */
const quantity *quantityOfField(quantity_field field);

/* A quantity's form in a unit system. */
const unit_form *quantityForm(const quantity *q, unit_system units);

/* Whether the quantity counts rain (a depth, or a depth an hour): its
 * station value is in counts, RNCAL of them an inch. */
bool quantityIsRain(const quantity *q);

/* The station value in human units. `rainCountsPerInch` is the station's
 * RNCAL (100 for a 0.01-inch bucket); 0 or less counts as 100. */
double quantityHuman(const quantity *q, int stationValue, unit_system units, int rainCountsPerInch);

/* A human value as text with the form's decimals ("71.3"); returns the
 * snprintf result. */
int quantityFormat(char *text, size_t textSize, const quantity *q, double human, unit_system units);

/* The quantity's value in a sample as text in human units, as xPL and MQTT
 * show it; -1 when the sample does not know it, else the snprintf result. */
int quantityText(char *text, size_t textSize, const quantity *q, const weather_sample *s,
                 unit_system units);

/* How a weather.rrd value of the quantity becomes human units:
 * human = value * mul + add. The database keeps the compass index for the
 * wind direction (degrees come out) and a per-second rate for the rain
 * counter (depth per second comes out). `rainCountsPerInch` as above. */
void quantityDatabaseMap(const quantity *q, unit_system units, double rainCountsPerInch,
                         double *mul, double *add);

/* The same map as rrd_graph RPN applied to the variable `var`, for CDEFs,
 * so graphs show what every other output shows. Returns the snprintf
 * result. */
int quantityRpn(char *text, size_t textSize, const quantity *q, unit_system units,
                double rainCountsPerInch, const char *var);

/* Derived temperatures in the station's tenths of a degree Fahrenheit,
 * from the outside temperature (tenths of a degree F), humidity (taken as
 * 1..100) and wind speed (mph):
 * - dew point: the Magnus formula;
 * - wind chill: the NWS 2001 formula where it is defined (50 F or below,
 *   3 mph or more), elsewhere the temperature itself;
 * - heat index: the NWS simple formula, averaged with the temperature;
 *   from 80 F on, the Rothfusz regression with its adjustments for dry
 *   air (below 13 %, 80 to 112 F) and damp air (above 85 %, 80 to 87 F);
 * - apparent temperature: Steadman's, as the Australian Bureau of
 *   Meteorology gives it without radiation, the wind taken as at 10 m. */
int quantityDewPoint(int toutTenths, int humidity);
int quantityWindChill(int toutTenths, int mph);
int quantityHeatIndex(int toutTenths, int humidity);
int quantityApparentTemperature(int toutTenths, int humidity, int mph);

/* "us" or "metric"; -1 for anything else. */
int unitSystemParse(const char *text, unit_system *units);

#endif /* KIVAMET_QUANTITIES_H */
