/* readings.h - the one door every reading passes before the outputs see
 * it: the logging pass's and the live reads' (one stream, in the order
 * they are taken) and each catch-up's records (a stream of its own).
 * Quality control with the rules of [qc] and [qc.step], then the derived
 * values and the rain figures (derived.h); each value that fails gets its
 * -d line here.
 */
#ifndef KIVAMET_READINGS_H
#define KIVAMET_READINGS_H

#include <time.h>

#include <memory>

#include "derived.h"
#include "settings.h"

/* [qc]: the limits, two numbers in US units per quantity, and `enabled`;
 * [qc.step]: the step limits. */
extern const settings_table QC_SETTINGS;
extern const settings_table QC_STEP_SETTINGS;

/* Takes the rules of the settings over the defaults. `databaseDir` names
 * the directory of weather.rrd, whose rain the rain figures start from. */
void readingsStart(const Settings &settings, const char *(*databaseDir)(void));

/* The rules in force. */
const qc_rules &readingsRules(void);

/* A live or logged reading, in the order taken: checked and completed. */
void readingsTake(weather_sample *s);

/* After samples went into the database by another door (a catch-up): the
 * live rain history is read from it again before the next reading. */
void readingsReload(void);

/* A stream for a catch-up whose database `dir` was last updated at `last`
 * with the rain total `rain` (-1: unknown): its rain history starts from
 * the database. */
std::unique_ptr<ReadingStream> readingsCatchupStream(const char *dir, time_t last, long rain);

/* Writes the stream's lines for a reading as -d lines. */
void readingsSay(const std::vector<std::string> &lines);

#endif /* KIVAMET_READINGS_H */
