/* live.h - live reads: their timing, and the station's state as they see
 * it (online, offline after three failed reads in a row or a lost
 * connection). Every good reading, live or logged, goes to the outputs
 * (output.h) as the current weather while the station is online; the
 * outputs decide what to send.
 *
 * Off unless the settings ask for live reads ([live] seconds, --live, or an
 * output that wants them); the station side reports every reading it takes
 * through the hooks below either way.
 */
#ifndef KIVAMET_LIVE_H
#define KIVAMET_LIVE_H

#include <time.h>

#include "sample.h"
#include "settings.h"

/* [live]: seconds (the period) and units. */
extern const settings_table LIVE_SETTINGS;

/* Starts live reads every `period` seconds through `readStation`, which
 * reports back through the hooks. Nothing when period is 0. */
void liveStart(int period, void (*readStation)(void));
/* Ends the live reads. */
void liveStop(void);

/* One live period at `now`: reads the station unless it is offline (a
 * silent station would hold the loop for each read; the logging pass asks
 * it once a minute) or was read in this same second, then offers the
 * station's state and the latest sample to the outputs again, so that
 * what could not go out before goes out now. */
void liveTick(time_t now);

/* Station hooks: a good reading (taken at `now`), a live or logging read
 * that failed, the connection lost (`connectionLost`) or none open, an
 * open that failed and why ("/dev/ttyS0: No such file or directory").
 *
 * Whatever -d says, and whether or not live reads are on, standard error
 * gets one line each time the link changes state: "kivamet: cannot open
 * the station: WHY", "kivamet: station offline: connection lost" or
 * "...: three reads in a row failed", "kivamet: station back online".
 * A state is told once, however often it is reported again. */
void liveSample(const weather_sample &sample, time_t now);
void liveReadFailed(void);
void liveStationLost(bool connectionLost);
void liveStationUnopened(const char *why);
/* New settings: a station that fails again is told afresh, and one that
 * works is not "back". */
void liveStationForget(void);

#endif /* KIVAMET_LIVE_H */
