// readings.cpp - quality control and derived values for the daemon's
// readings, with the rules of the settings file.
#include "readings.h"

#include <string>

#include "helpers.h"
#include "quantities.h"
#include "rrdlog.h"

namespace {

// The quantities with rules, by their keys; bounds wide enough for any
// station, narrow enough to catch a typing slip.
const setting_key KEYS[] = {
    {"enabled", SETTING_BOOLEAN, "true or false", 0, 0, nullptr, 0},
    {"outside_temperature", SETTING_RANGE, "two temperatures from -100 to 200 F, the lower first",
     -100, 200, nullptr, 0},
    {"inside_temperature", SETTING_RANGE, "two temperatures from -100 to 200 F, the lower first",
     -100, 200, nullptr, 0},
    {"outside_humidity", SETTING_RANGE, "two percentages from 0 to 100, the lower first", 0, 100,
     nullptr, 0},
    {"inside_humidity", SETTING_RANGE, "two percentages from 0 to 100, the lower first", 0, 100,
     nullptr, 0},
    {"barometer", SETTING_RANGE, "two pressures from 20 to 35 inHg, the lower first", 20, 35,
     nullptr, 0},
    {"wind_speed", SETTING_RANGE, "two speeds from 0 to 250 mph, the lower first", 0, 250, nullptr,
     0},
};
const setting_key STEP_KEYS[] = {
    {"outside_temperature", SETTING_NUMBER, "0.1 to 100 F", 0.1, 100, nullptr, 0},
    {"inside_temperature", SETTING_NUMBER, "0.1 to 100 F", 0.1, 100, nullptr, 0},
    {"outside_humidity", SETTING_NUMBER, "1 to 100 %", 1, 100, nullptr, 0},
    {"inside_humidity", SETTING_NUMBER, "1 to 100 %", 1, 100, nullptr, 0},
    {"barometer", SETTING_NUMBER, "0.01 to 5 inHg", 0.01, 5, nullptr, 0},
    {"wind_speed", SETTING_NUMBER, "1 to 250 mph", 1, 250, nullptr, 0},
};

struct State {
  qc_rules rules = qcDefaults();
  const char *(*dir)(void) = nullptr;
  std::unique_ptr<ReadingStream> live;
  std::string loadedFrom;  // the database the live rain history was read from
};
State st;

// Reads the rain of the database's last RAIN_HISTORY_SECONDS, then its
// last total, where counting goes on from.
void loadRain(ReadingStream *stream, const char *dir, time_t last, long rain) {
  char path[256];
  std::string why;
  if (rrdPath(path, sizeof path, dir) == 0 &&
      !stream->rain().loadDatabase(path, last - RAIN_HISTORY_SECONDS, last, &why))
    dbg("rain history not read from %s: %s\n", path, why.c_str());
  stream->rain().addTotal(last, rain);
}

}  // namespace

const settings_table QC_SETTINGS = {"qc", KEYS, sizeof KEYS / sizeof KEYS[0]};
const settings_table QC_STEP_SETTINGS = {"qc.step", STEP_KEYS,
                                         sizeof STEP_KEYS / sizeof STEP_KEYS[0]};

void readingsStart(const Settings &settings, const char *(*databaseDir)(void)) {
  st = State{};
  st.dir = databaseDir;
  if (!settings.boolean("qc", "enabled", true)) {
    st.rules = qc_rules{};
  } else {
    for (size_t i = 1; i < sizeof KEYS / sizeof KEYS[0]; i++) {
      const setting_value *v = settings.find("qc", KEYS[i].name);
      if (v != nullptr)
        qcSetLimits(&st.rules, quantityFind(KEYS[i].name)->field, v->range[0], v->range[1]);
    }
    for (const setting_key &k : STEP_KEYS) {
      const setting_value *v = settings.find("qc.step", k.name);
      if (v != nullptr) qcSetStep(&st.rules, quantityFind(k.name)->field, v->number);
    }
  }
  st.live = std::make_unique<ReadingStream>(st.rules);
}

const qc_rules &readingsRules(void) {
  return st.rules;
}

void readingsSay(const std::vector<std::string> &lines) {
  for (const std::string &line : lines) dbg("%s\n", line.c_str());
}

void readingsTake(weather_sample *s) {
  if (st.live == nullptr) st.live = std::make_unique<ReadingStream>(st.rules);
  // The rain figures go on from the database's; another directory's
  // database starts them afresh.
  const char *dir = st.dir != nullptr ? st.dir() : nullptr;
  if (dir != nullptr && st.loadedFrom != dir) {
    st.loadedFrom = dir;
    st.live->rain().clear();
    time_t last = 0;
    long rain = -1;
    if (rrdLastUpdate(dir, &last, &rain) == 0 && last < s->time)
      loadRain(st.live.get(), dir, last, rain);
  }
  std::vector<std::string> lines;
  st.live->check(s, &lines);
  readingsSay(lines);
  st.live->complete(s);
}

void readingsReload(void) {
  st.loadedFrom.clear();
}

std::unique_ptr<ReadingStream> readingsCatchupStream(const char *dir, time_t last, long rain) {
  auto stream = std::make_unique<ReadingStream>(st.rules);
  loadRain(stream.get(), dir, last, rain);
  return stream;
}
