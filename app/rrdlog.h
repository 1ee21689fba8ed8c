/* rrdlog.h - the weather database file "weather.rrd": created on first use,
 * an older file's rain source brought up to date, samples stored. A
 * database that cannot be created or updated costs the sample, never the
 * daemon: the next pass tries again. A file another program holds locked
 * (the weather page drawing it) costs nothing: the caller keeps its samples.
 */
#ifndef KIVAMET_RRDLOG_H
#define KIVAMET_RRDLOG_H

#include <stddef.h>
#include <time.h>

#include <vector>

#include "database.h"

/* A database path is at most 255 characters. */
#define RRD_PATH_SIZE 256

/* "%s/weather.rrd" of the directory; -1 when it does not fit (nothing is cut). */
int rrdPath(char *path, size_t pathSize, const char *dir);

/* What became of one sample. */
typedef enum {
  RRD_STORED = 0,
  RRD_SKIPPED = 1, /* not stored, nothing wrong with the database (-d says why) */
  RRD_BUSY = 2,    /* another program held the file's lock throughout a few short waits */
  RRD_FAILED = -1  /* "Cannot create RRD %s: %s\n" or "Cannot update RRD %s: %s\n" printed */
} rrdResult;

/* Makes sure dir/weather.rrd can take a sample: a path seen for the first
 * time is examined, a missing file created, an existing one given the rain
 * source's maximum. RRD_STORED means ready. */
rrdResult rrdPrepare(const char *dir);

/* Stores update texts (each its time first, as rrd_update takes them), each
 * later than the one before and than the file's last update, in one
 * rrd_update; the file is prepared first. While another program holds the
 * file's lock it waits a few times briefly, then answers RRD_BUSY. After a
 * failure the path is examined afresh next time, so a mended directory or a
 * removed foreign file puts logging back. */
rrdResult rrdStoreMany(const char *dir, const char *const *updateTexts, int count);

/* The time of the file's last update, or -1 when it cannot be read. */
time_t rrdLast(const char *dir);

/* The time of the file's last update and the rain total it stored: -1 when
 * that was unknown. Returns 0, or -1 when the file cannot be read. */
int rrdLastUpdate(const char *dir, time_t *last, long *rain);

/* The samples of the one-minute rows of dir/weather.rrd that end after
 * `after` and not after `until`, oldest first, as the database keeps them:
 * the wind direction at its compass point's degrees, the rain total not
 * known (the database keeps its rate), nothing the database has no source
 * for, `rainCountsPerInch` passed on. Rows with no value known are left
 * out. Returns 0, or -1 when the file cannot
 * be read. */
int rrdReadSamples(const char *dir, time_t after, time_t until, int rainCountsPerInch,
                   std::vector<weather_sample> *samples);

#endif /* KIVAMET_RRDLOG_H */
