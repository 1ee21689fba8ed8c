/* fields.h - the names a sensor.request to kivamet may ask for, with what
 * each means and the unit of the text kivamet answers with. The daemon's
 * memory map (where each lives in the station) keeps the same names, row
 * for row; xplctl knows them from here without the daemon, so it can
 * refuse a name kivamet would never answer and list them all.
 */
#ifndef KIVAMET_FIELDS_H
#define KIVAMET_FIELDS_H

#include <stddef.h>

/* kivamet's xPL vendor and device: its service is quorvel-davis.INSTANCE. */
#define KIVAMET_XPL_VENDOR "quorvel"
#define KIVAMET_XPL_DEVICE "davis"

typedef struct {
  const char *name;    /* as a request names it: BARDTA */
  const char *meaning; /* barometer */
  const char *unit;    /* of the answer: inHg; "" for names and counts */
} station_field;

#define STATION_FIELD_COUNT 103
extern const station_field STATION_FIELDS[STATION_FIELD_COUNT];

/* The field of a name, ASCII letter case ignored (as the daemon compares
 * request names); null when there is none or the name is null. */
const station_field *stationFieldFind(const char *name);

/* One line of the listing (xplctl fields, the man page): the name padded
 * to a column, the meaning, and the unit in parentheses when it has one.
 * No line end. Returns the snprintf result. */
int stationFieldLine(char *text, size_t textSize, const station_field *f);

#endif /* KIVAMET_FIELDS_H */
