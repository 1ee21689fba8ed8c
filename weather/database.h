/* database.h - the weather database "weather.rrd" as data: its definition
 * and the update text of a sample. The file itself is the daemon's
 * (rrdlog.h); readers such as the weather page use only this.
 */
#ifndef KIVAMET_DATABASE_H
#define KIVAMET_DATABASE_H

#include <stddef.h>

#include "sample.h"

/* Highest rate the rain source takes, in station counts a second (see
 * the definition), as a number and as the text the definition holds. */
#define RRD_RAIN_MAX_PER_SECOND 5
#define RRD_RAIN_MAX RRD_TEXT(RRD_RAIN_MAX_PER_SECOND)

/* Every data source's heartbeat: a sample further than this from the one
 * before makes the time between them unknown. */
#define RRD_HEARTBEAT_SECONDS 90

#define RRD_TEXT_(x) #x
#define RRD_TEXT(x) RRD_TEXT_(x)

/* The database definition: what rrd_create takes after the command word and
 * the path (the step, the ten data sources, the twelve archives). */
#define RRD_DEFINITION_COUNT 24
extern const char *const rrdDefinition[RRD_DEFINITION_COUNT];

/* The archives each consolidation keeps, finest first (the definition's
 * RRA lines): a step in seconds and the rows, 1 minute for a day, 5 minutes
 * for 31 days, an hour for three years. */
#define RRD_ARCHIVE_COUNT 3
typedef struct {
  long step;
  long rows;
} rrd_archive;
extern const rrd_archive rrdArchives[RRD_ARCHIVE_COUNT];

/* An update text is at most 255 characters. */
#define RRD_UPDATE_SIZE 256

/* The rrd_update text of a sample: its time, then the ten values in the
 * data sources' order, the wind direction as its compass index, "U" for a
 * value not known; the chill source takes the station's own wind chill
 * where it gave one, else kivamet's. Returns the snprintf result (the text is cut when it
 * does not fit). */
int sampleUpdateText(char *text, size_t textSize, const weather_sample *s);

#endif /* KIVAMET_DATABASE_H */
