/* rain.h - rain over spans of time, worked out from the station's rain
 * total: the last hour, the last 24 hours, since local midnight, and the
 * rate over the last 15 minutes.
 *
 * The total is a 16-bit count of the collector's tips (the station's RNCAL
 * counts an inch) that the station's user may clear. weather.rrd keeps it
 * in its `rain` source, a COUNTER: a rate a second. A RainHistory takes
 * either form, each reading's total as it comes or the database's rows for
 * the past, and holds counts at times. A span counts what lies in it,
 * its end included and its start not; a database row counts at its end.
 *
 * A step of the total that the database stores as unknown adds nothing
 * here either: a drop (a cleared or wrapped total), a rise faster than
 * RRD_RAIN_MAX_PER_SECOND, or a reading more than the data sources'
 * heartbeat after the one before. So the figures of live readings and
 * those read back from the database agree.
 *
 * Live use: load the database's last RAIN_HISTORY_SECONDS, give it the
 * database's last total as the first reading (rrdLastUpdate), then each
 * reading's total; ask at(reading time). Past use: load the span from
 * RAIN_HISTORY_SECONDS before the first time wanted, and ask at(t) for any
 * t in it.
 */
#ifndef KIVAMET_RAIN_H
#define KIVAMET_RAIN_H

#include <time.h>

#include <map>
#include <string>

/* The spans, each ending at the moment asked for. */
typedef enum {
  RAIN_LAST_HOUR, /* the last 60 minutes */
  RAIN_LAST_DAY,  /* the last 24 hours */
  RAIN_TODAY,     /* since local midnight */
  RAIN_RATE,      /* the last 15 minutes, as counts an hour */
  RAIN_SPAN_COUNT
} rain_span;

/* How far back the longest span reaches: since midnight on a 25-hour day. */
#define RAIN_HISTORY_SECONDS (25 * 3600)
/* The span the rate is taken over. */
#define RAIN_RATE_SECONDS (15 * 60)

/* Rain at one moment in station counts (the rate in counts an hour); a
 * span the history knows nothing of is unknown. A span it knows only in
 * part counts that part, and says how much of it that is (an upload may
 * want the whole span). */
typedef struct {
  double counts[RAIN_SPAN_COUNT];
  bool known[RAIN_SPAN_COUNT];
  double share[RAIN_SPAN_COUNT]; /* the part of the span known, 0 to 1 */
} rain_figures;

class RainHistory {
 public:
  /* A reading's total (0..65535, negative: unknown) at `when`. The first,
   * or the first after an unknown one, only sets where counting starts.
   * Drops what lies more than RAIN_HISTORY_SECONDS before `when`. A reading
   * not after the last one is ignored. */
  void addTotal(time_t when, long total);

  /* `counts` that fell in (end - seconds, end], as one database row holds
   * them (rate times step); NaN: unknown. */
  void addRow(time_t end, long seconds, double counts);

  /* The `rain` rows of the database file `path` for (from, to], the finest
   * the database holds for each part. False with librrd's reason. */
  bool loadDatabase(const std::string &path, time_t from, time_t to, std::string *why);

  /* The counts in (from, to]; false when nothing of it is known. An empty
   * span (from == to) is a known 0 when the moment `to` is known. */
  bool countsIn(time_t from, time_t to, double *counts) const;

  /* The seconds of (from, to] whose counts are known. */
  time_t knownSeconds(time_t from, time_t to) const;

  /* Every span ending at `when`. */
  rain_figures at(time_t when) const;

  /* Forgets everything. */
  void clear();

 private:
  void cover(time_t from, time_t to);
  void dropBefore(time_t t);

  std::map<time_t, double> counts_;  // by time, only where rain fell
  std::map<time_t, time_t> known_;   // spans (start, end] whose counts are known, by start
  bool haveTotal_ = false;
  time_t totalAt_ = 0;
  long total_ = 0;
};

/* Counts as inches: `countsPerInch` is the station's RNCAL, 0 or less
 * counts as 100 (a 0.01-inch collector). */
double rainInches(double counts, int countsPerInch);

#endif /* KIVAMET_RAIN_H */
