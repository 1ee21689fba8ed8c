/* output.h - where the weather goes. Each consumer of samples (the
 * database, the xPL triggers, MQTT, ...) is one output: one file that
 * implements the class below and declares its settings table, and one line
 * in the registry (outputs.cpp). The daemon hands every sample to every
 * output, in the registry's order.
 *
 * Rules for an output:
 * - It never blocks the loop. A peer on the network is reached through
 *   loop devices (xPL_addIODevice) and timeout handlers
 *   (xPL_addTimeoutHandler) that the output adds in start() and removes in
 *   stop(); a peer that is slow, silent or gone must not delay the other
 *   outputs or an xPL answer.
 * - It keeps its own state, above all what it last sent.
 * - It reads its own table of the settings and nothing else of them.
 * - It says what went wrong itself: -d lines, or a line on standard error
 *   where the user has to act.
 */
#ifndef KIVAMET_OUTPUT_H
#define KIVAMET_OUTPUT_H

#include <stddef.h>

#include <memory>
#include <string>

#include "quantities.h"
#include "sample.h"
#include "settings.h"
#include "xPL.h"

/* The station as live reads see it: unknown until the first read or loss. */
enum class station_state { UNKNOWN, ONLINE, OFFLINE };

/* Where the station stands, from [station]; known only when both
 * coordinates were given. */
struct station_place {
  bool known = false;
  double latitude = 0;  /* decimal degrees, north positive */
  double longitude = 0; /* decimal degrees, east positive */
  double altitude = 0;  /* metres */
};

/* What the daemon lends every output. Lives as long as the process. */
struct output_context {
  xPL_ServicePtr service = nullptr; /* the daemon's service; its instance names the station */
  unit_system units = UNITS_US;     /* [live] units, --units */
  int livePeriod = 0;               /* seconds between live reads; 0: no live reads */
  /* The database directory (the rrddir setting, which a configuration may
   * change at any time). */
  const char *(*databaseDir)(void) = nullptr;
  /* The open station's model name ("wizard3"), or null while none is open. */
  const char *(*stationModel)(void) = nullptr;
  station_place place;
  const Settings *settings = nullptr; /* the settings file with the command line's values */
};

class Output {
 public:
  virtual ~Output() = default;

  /* Once, before the loop runs and before the first sample. False with a
   * reason: the daemon then says it and exits 1. */
  virtual bool start(std::string *why) {
    (void)why;
    return true;
  }

  /* Samples for the record, oldest first: each logging pass's sample, and
   * the archive catch-up's past minutes in batches. False when the output
   * cannot take them (its own line says why): the catch-up then ends. One
   * that keeps them to store later, in order, answers true. */
  virtual bool logged(const weather_sample *samples, size_t count) {
    (void)samples;
    (void)count;
    return true;
  }

  /* The current weather while the station is online: each live read's and
   * each logging pass's sample. The latest is offered again at every live
   * period, so an output that could not send it may catch up; send only
   * what changed. */
  virtual void live(const weather_sample &sample) { (void)sample; }

  /* The station's state, on every change and again at every live period. */
  virtual void station(station_state state) { (void)state; }

  /* Before the xPL layer shuts down: say goodbye, remove loop devices. */
  virtual void stop() {}
};

/* One line of the registry. */
struct output_kind {
  const char *name;               /* "mqtt" */
  const settings_table *settings; /* its table of the settings file, or null */
  /* The live period it needs when the settings name none, 0 for none (MQTT
   * wants live values when a broker is named). May be null. */
  int (*livePeriod)(const Settings &settings);
  /* The output, or null when its settings leave it off. */
  std::unique_ptr<Output> (*make)(const output_context &context);
};

/* ---- The registry ------------------------------------------------------ */

/* The settings tables of every output. */
settings_tables outputsSettingsTables(void);

/* The longest live period an output asks for, 0 for none. */
int outputsLivePeriod(const Settings &settings);

/* Makes and starts every output its settings turn on. False with the
 * failing output's reason. */
bool outputsStart(const output_context &context, std::string *why);

/* Adds a running output behind the registry's (tests add a fake one). */
void outputsAdd(std::unique_ptr<Output> output);

/* Hands samples and the station's state to every running output. False
 * when an output could not take logged samples. */
bool outputsLogged(const weather_sample *samples, size_t count);
void outputsLive(const weather_sample &sample);
void outputsStation(station_state state);

/* Stops and releases every output. */
void outputsStop(void);

#endif /* KIVAMET_OUTPUT_H */
