/* catchup.h - filling weather.rrd from the station logger's archive after
 * kivamet was away (host down, daemon stopped, station cable out).
 *
 * The logger keeps a record every archive period in its ring. A logging
 * pass that finds the database's last update further back than the data
 * sources' heartbeat starts a catch-up instead of logging: it reads the
 * ring pointers, walks the records from the newest back to the first that
 * is not later than the last update, then writes them oldest first, one
 * sample a minute of each record's period, to every output as logged
 * samples (past ones: the database stores them, live outputs ignore them).
 * The station is read a chunk at a time, one exchange a loop pass, so requests, heartbeats, live
 * publishing and signals go on in between; the logging pass that waited runs when the catch-up
 * ends. Nothing is ever written into the station.
 *
 * The pure pieces (record decoding, its year, the samples of a record) take
 * everything as arguments.
 */
#ifndef KIVAMET_CATCHUP_H
#define KIVAMET_CATCHUP_H

#include <time.h>

#include <string>
#include <vector>

#include "davis.h"
#include "derived.h"
#include "sample.h"

/* One archive record: the layout of ABAROM..ATLOWOUT in link memory. */
struct archive_record {
  int barom; /* thousandths of an inch of mercury, at the period's end */
  int hin;   /* percent, at the period's end */
  int hout;  /* percent, at the period's end */
  int rain;  /* counts during the period (unsigned 16-bit) */
  int tin;   /* period average, tenths of a degree F */
  int tout;  /* period average, tenths of a degree F */
  int wsp;   /* period average, station speed units */
  int wdir;  /* compass index 0..15, or -1: no direction */
  int hour;  /* the period's end, station (host local) time */
  int minute;
  int day;
  int month;
};

/* Decodes the 21 bytes of a record; -1 when its time stamp is no time
 * (a nibble above 9, an hour, minute, day or month out of range). */
int archiveDecode(const unsigned char bytes[DAVIS_RECORD_BYTES], archive_record *r);

/* The end of the record's period as a time: its stamp read as host local
 * time in the latest year that does not put it after `now` (a station
 * clock up to two minutes ahead of the host's counts as now). -1 when no
 * year of the eight before fits (a 29 February). */
time_t archiveTime(const archive_record *r, time_t now);

/* The samples of a record whose period of `period` minutes ends at `end`,
 * the record before ending at `before` (0: unknown): one a minute, each
 * with the period's values and the logging offsets, for the minutes after
 * `after` and not after `until`. A record closer to the one before than the
 * period covers only the time since; after a gap, one more sample at the
 * period's start lets its first minute count. `*rainTotal` is the rain
 * total before the period (-1: unknown, which it stays and the samples'
 * totals with it); the record's count is spread evenly over its minutes and
 * the total moves on by the part that falls after `after`. The wind
 * direction is the compass point's degrees (unknown for a period without
 * one); dew point and wind chill come from the record's temperature,
 * humidity and wind. */
void archiveSamples(const archive_record *r, time_t end, int period, time_t before, time_t after,
                    time_t until, long *rainTotal, const davis_cal *cal,
                    std::vector<weather_sample> *samples);

/* Quality control and derived values for the samples of one record,
 * samples[first..]: the record is judged once, as one reading of `stream`
 * (its minutes repeat its values, and a repeat would confirm a spike), and
 * each of its samples keeps the verdict; a line in *lines for each value
 * refused. */
void archiveCheck(ReadingStream *stream, std::vector<weather_sample> *samples, size_t first,
                  std::vector<std::string> *lines);

/* The daemon's side: its open station (null when none) and its logging
 * pass, run when a catch-up ends if a pass waited for it. Registers the
 * catch-up with the event loop: call it before the devices that should be
 * served ahead of a catch-up's next chunk. */
void catchupSetup(davis_device *(*station)(void), void (*loggingPass)(void));

/* Called by a logging pass with the station caught up and the database
 * ready (dir/weather.rrd). Starts a catch-up when the database has a gap
 * the archive may fill and none was tried in vain within the hour; the
 * offsets are those of live logging. True while a catch-up runs: the pass
 * must not log now (it would end the gap), it is run again at the end. */
bool catchupHoldsLogging(const char *dir, const davis_cal *cal);

/* The station connection is going: a running catch-up ends without
 * writing more, and the next connection may try at once. */
void catchupCancel(void);

#endif /* KIVAMET_CATCHUP_H */
