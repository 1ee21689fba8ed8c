/* kivamet.h - the station bridge's top: start-up and settings, the xPL
 * request handlers, the timed jobs (database logging, clock check) and the
 * barometer calibration. Only the entry point includes it; the parts below
 * it have headers of their own (memmap.h, output.h, live.h, ...).
 *
 * The pure pieces (barometer offset, plausibility, logging period) take
 * everything they need as arguments, so they can be tested without a
 * station or a network.
 */
#ifndef KIVAMET_KIVAMET_H
#define KIVAMET_KIVAMET_H

#include <stdint.h>

#include "memmap.h"
#include "settings.h"
#include "xPL.h"

/* ---- Pure pieces ------------------------------------------------------- */

/* Barometer offset written to STNDRD: station reading minus web value,
 * kept to 16 bits. */
int16_t barOffset(int16_t station, int16_t web);
/* A web pressure outside 25.000..32.500 inches is no reading: a broken
 * document would otherwise set the station's barometer tens of inches off. */
int barWebPlausible(int16_t web);
/* An offset above 1.000 inch in size is not written; a real barometer is
 * never that far out, a wrong reference easily is. */
int barOffsetWritable(int16_t offset);

/* Seconds between logging passes: 60 unless the text is a number from 1 to
 * 60 (KIVAMET_LOG_PERIOD, for tests and demos). */
int logPeriodFrom(const char *text);

/* The tables of the settings file: [live], [station] and every output's. */
settings_tables kivametSettingsTables(void);

/* ---- Handlers and entry point ------------------------------------------ */

void sensorrequestHandler(xPL_ServicePtr theService, xPL_MessagePtr theMessage,
                          xPL_ObjectPtr userValue);
void controlbasicHandler(xPL_ServicePtr theService, xPL_MessagePtr theMessage,
                         xPL_ObjectPtr userValue);
void configChangedHandler(xPL_ServicePtr theService, xPL_ObjectPtr userValue);
void rrdHandler(int elapsedSeconds, xPL_ObjectPtr userValue);
void datetimeHandler(int elapsedSeconds, xPL_ObjectPtr userValue);
void parseconfig(xPL_ServicePtr theService);
void conntype_open(void);

/* The whole program; returns the exit status. */
int kivamet_main(int argc, char **argv);

#endif /* KIVAMET_KIVAMET_H */
