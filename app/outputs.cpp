// outputs.cpp - the registry of outputs, and the hand-out of samples.
#include <vector>

#include "output.h"

// One line per output, in the order each hears of a sample. A new output
// is its own file defining `const output_kind NAME` and one line here.
#define KIVAMET_OUTPUTS(X) \
  X(DATABASE_OUTPUT)       \
  X(XPL_OUTPUT)            \
  X(MQTT_OUTPUT)            \
  X(WUNDERGROUND_OUTPUT)    \
  X(PWSWEATHER_OUTPUT)      \
  X(WOW_OUTPUT)             \
  X(WINDY_OUTPUT)           \
  X(CWOP_OUTPUT)            \
  X(INFLUXDB_OUTPUT)

#define DECLARE_OUTPUT(kind) extern const output_kind kind;
KIVAMET_OUTPUTS(DECLARE_OUTPUT)

namespace {

#define LIST_OUTPUT(kind) &kind,
const output_kind *const KINDS[] = {KIVAMET_OUTPUTS(LIST_OUTPUT)};

std::vector<std::unique_ptr<Output>> running;

}  // namespace

settings_tables outputsSettingsTables(void) {
  settings_tables tables;
  for (const output_kind *k : KINDS)
    if (k->settings != nullptr) tables.push_back(k->settings);
  return tables;
}

int outputsLivePeriod(const Settings &settings) {
  int period = 0;
  for (const output_kind *k : KINDS)
    if (k->livePeriod != nullptr && k->livePeriod(settings) > period)
      period = k->livePeriod(settings);
  return period;
}

bool outputsStart(const output_context &context, std::string *why) {
  for (const output_kind *k : KINDS) {
    std::unique_ptr<Output> o = k->make(context);
    if (o == nullptr) continue;
    if (!o->start(why)) return false;
    running.push_back(std::move(o));
  }
  return true;
}

void outputsAdd(std::unique_ptr<Output> output) {
  running.push_back(std::move(output));
}

bool outputsLogged(const weather_sample *samples, size_t count) {
  bool taken = true;
  for (const auto &o : running)
    if (!o->logged(samples, count)) taken = false;
  return taken;
}

void outputsLive(const weather_sample &sample) {
  for (const auto &o : running) o->live(sample);
}

void outputsStation(station_state state) {
  for (const auto &o : running) o->station(state);
}

void outputsStop(void) {
  for (const auto &o : running) o->stop();
  running.clear();
}
