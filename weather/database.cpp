// database.cpp - the weather database's definition and update text.
#include "database.h"

#include <stdio.h>

#include "codecs.h"

#define HEARTBEAT RRD_TEXT(RRD_HEARTBEAT_SECONDS)

const char *const rrdDefinition[RRD_DEFINITION_COUNT] = {
    "-s",
    "60",
    "DS:tin:GAUGE:" HEARTBEAT ":-200:1200",
    "DS:tout:GAUGE:" HEARTBEAT ":-200:1200",
    "DS:wsp:GAUGE:" HEARTBEAT ":0:150",
    "DS:wdir:GAUGE:" HEARTBEAT ":0:15",
    "DS:barom:GAUGE:" HEARTBEAT ":26000:34000",
    "DS:hin:GAUGE:" HEARTBEAT ":0:100",
    "DS:hout:GAUGE:" HEARTBEAT ":0:100",
    // The rain total is a 16-bit count the station's user can clear: the
    // drop reads as a counter wrap, a rate of millions a second. With a
    // maximum of 5 counts a second (3 inches a minute at 0.01 inch a count,
    // twice the heaviest rain ever measured) that step is stored as unknown.
    "DS:rain:COUNTER:" HEARTBEAT ":0:" RRD_RAIN_MAX,
    "DS:dew:GAUGE:" HEARTBEAT ":-200:1200",
    "DS:chill:GAUGE:" HEARTBEAT ":-400:1200",
    "RRA:AVERAGE:0.5:1:1440",
    "RRA:AVERAGE:0.5:5:8928",
    "RRA:AVERAGE:0.5:60:26280",
    "RRA:MIN:0.5:1:1440",
    "RRA:MIN:0.5:5:8928",
    "RRA:MIN:0.5:60:26280",
    "RRA:MAX:0.5:1:1440",
    "RRA:MAX:0.5:5:8928",
    "RRA:MAX:0.5:60:26280",
    "RRA:LAST:0.5:1:1440",
    "RRA:LAST:0.5:5:8928",
    "RRA:LAST:0.5:60:26280",
};

const rrd_archive rrdArchives[RRD_ARCHIVE_COUNT] = {{60, 1440}, {300, 8928}, {3600, 26280}};

int sampleUpdateText(char *text, size_t textSize, const weather_sample *s) {
  // The data sources, in the database's order; the last, chill, keeps the
  // station's own wind chill.
  static const quantity_field SOURCES[] = {
      Q_INSIDE_TEMP,     Q_OUTSIDE_TEMP,     Q_WIND_SPEED, Q_WIND_DIRECTION, Q_BAROMETER,
      Q_INSIDE_HUMIDITY, Q_OUTSIDE_HUMIDITY, Q_RAIN_TOTAL, Q_DEW_POINT};
  constexpr int COUNT = sizeof SOURCES / sizeof SOURCES[0] + 1;
  char values[COUNT][12];
  for (int i = 0; i < COUNT; i++) {
    // The station's wind chill where it gave one, else kivamet's.
    const bool station = i == COUNT - 1 && s->stationChillKnown;
    const quantity_field f = i == COUNT - 1 ? Q_WIND_CHILL : SOURCES[i];
    const bool known = station || s->known[f];
    const int value = station ? s->stationChill : s->value[f];
    if (!known) {
      snprintf(values[i], sizeof values[i], "U");
    } else {
      snprintf(values[i], sizeof values[i], "%d",
               f == Q_WIND_DIRECTION ? degtoind(value) : value);
    }
  }
  return snprintf(text, textSize, "%ld:%s:%s:%s:%s:%s:%s:%s:%s:%s:%s", static_cast<long>(s->time),
                  values[0], values[1], values[2], values[3], values[4], values[5], values[6],
                  values[7], values[8], values[9]);
}
