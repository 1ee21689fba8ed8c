/* live.h - live weather: samples the station every few seconds, sends an
 * xPL sensor.basic trigger for each value that changed, hands the values to
 * the MQTT side, and says when the station itself has gone quiet.
 *
 * Off unless a start option turns it on; then the station side reports
 * every sample it takes (live or logged) through the hooks below, so the
 * live values carry the same calibration offsets as the database.
 */
#ifndef KIVAMET_LIVE_H
#define KIVAMET_LIVE_H

#include <getopt.h>

#include "kivamet.h"

/* The start options, for getopt_long; a zero row ends the table. */
extern const struct option LIVE_OPTIONS[];
/* Their synopsis, one line without line end. */
extern const char LIVE_USAGE[];

/* Takes one option: its `val` from the table and its argument. Returns 0,
 * or -1 with a line on stderr for a bad value. */
int liveTakeOption(int val, const char *arg);

/* Whether the options turned live publishing on. */
int liveEnabled(void);

/* Starts publishing for the service, once it is enabled: the station state
 * and the last sample go out, a live read follows every period (through
 * `readStation`), and the broker connection starts when one was named.
 * Returns 0, or -1 when the broker client cannot be set up. Does nothing
 * when live publishing is off. */
int liveStart(xPL_ServicePtr service, void (*readStation)(void));
/* Leaves the broker with "offline"; before the xPL layer shuts down. */
void liveStop(void);

/* Station hooks: a good sample (with the offsets in force and the model
 * name), a live or logging read that failed, the connection lost or none
 * open. */
void liveSample(const davis_sample *sample, const davis_cal *cal, const char *model);
void liveReadFailed(void);
void liveStationLost(void);

#endif /* KIVAMET_LIVE_H */
