/* sample.h - one reading of the weather, as every part of kivamet passes it
 * on: the logging pass, the live reads and the archive catch-up each make
 * one, and each output (the database, the xPL triggers, MQTT, ...) takes it.
 *
 * Values stay in the station's units (tenths of a degree F, thousandths of
 * an inch of mercury, rain counts, ...) with the calibration offsets that
 * logging applies; the table of quantities (quantities.h) has a row for
 * each value and turns it into human units.
 */
#ifndef KIVAMET_SAMPLE_H
#define KIVAMET_SAMPLE_H

#include <stdint.h>
#include <time.h>

/* The values of a sample, in the order the station delivers them. */
typedef enum {
  Q_INSIDE_TEMP,    /* tenths of a degree F, plus cal.itemp */
  Q_OUTSIDE_TEMP,   /* tenths of a degree F, plus cal.otemp */
  Q_WIND_SPEED,     /* mph */
  Q_WIND_DIRECTION, /* degrees */
  Q_BAROMETER,      /* thousandths of an inch of mercury, plus cal.bar */
  Q_INSIDE_HUMIDITY,
  Q_OUTSIDE_HUMIDITY,
  Q_RAIN_TOTAL, /* rain counts, 0..65535 (the station's unsigned 16-bit total) */
  /* Derived values (derived.h): the station's dew point, or worked out
   * where it has none; the rest kivamet's own. */
  Q_DEW_POINT,      /* tenths of a degree F */
  Q_WIND_CHILL,     /* tenths of a degree F; the station's CHLDTA until derived */
  Q_HEAT_INDEX,     /* tenths of a degree F */
  Q_APPARENT_TEMP,  /* tenths of a degree F */
  Q_RAIN_RATE,      /* rain counts an hour, over the last 15 minutes */
  Q_RAIN_LAST_HOUR, /* rain counts in the last 60 minutes */
  Q_RAIN_TODAY,     /* rain counts since local midnight */
  Q_FIELD_COUNT
} quantity_field;

typedef struct {
  time_t time;               /* when it was taken */
  int value[Q_FIELD_COUNT];  /* meaningful only where known */
  bool known[Q_FIELD_COUNT]; /* false: no value ("U" in the database, absent elsewhere) */
  int rainCountsPerInch;     /* the station's RNCAL; 0 or less counts as 100 */
  /* The station's own wind chill (CHLDTA), which the database's chill
   * source keeps as logging has always stored it, while Q_WIND_CHILL is
   * kivamet's. Where the station gave none (the archive's records) the
   * database takes kivamet's. Unknown with the temperature or wind it
   * comes from. */
  int stationChill;       /* tenths of a degree F */
  bool stationChillKnown;
} weather_sample;

/* Calibration offsets read from the station at every settings pass. */
typedef struct {
  int16_t bar; /* negated STNDRD as it was before the pass */
  int16_t itemp;
  int16_t otemp;
  int16_t rain; /* RNCAL: rain counts an inch */
  int16_t ohum;
} davis_cal;

/* Raw values of one station reading (no offsets, direction in degrees). */
typedef struct {
  int16_t itemp;
  int16_t otemp;
  int8_t wsp;
  int16_t wdir;
  int16_t barom;
  int8_t ihum;
  int8_t ohum;
  int16_t rain;
  int16_t dew;
  int16_t chill;
} davis_sample;

/* Sensor image: 30 nibbles, 15 bytes. */
#define SENSOR_IMAGE_BYTES 15

/* The raw values of a sensor image plus the dew point and wind chill. */
davis_sample sampleFromImage(const unsigned char image[SENSOR_IMAGE_BYTES], int16_t dew,
                             int16_t chill);

/* The sample of a station reading taken at `when`: every value known, the
 * offsets of `cal` applied at full int width (an offset never wraps a
 * reading to 16 bits), the rain total as the unsigned count it is. */
weather_sample sampleOf(time_t when, const davis_sample *raw, const davis_cal *cal);

/* A sample at `when` with no value known yet. */
weather_sample sampleEmpty(time_t when, int rainCountsPerInch);

/* Sets a value and marks it known. */
void sampleSet(weather_sample *s, quantity_field field, int value);

#endif /* KIVAMET_SAMPLE_H */
