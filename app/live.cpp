// live.cpp - the live reads' timing and the station's up and down state.
#include "live.h"

#include <stdio.h>

#include "helpers.h"
#include "output.h"
#include "quantities.h"
#include "xPL.h"

namespace {

// Reads in a row that fail before the station counts as offline: one bad
// reply on a noisy line is no outage.
constexpr int FAILURES_FOR_OFFLINE = 3;

bool unitsFit(const char *text) {
  unit_system units;
  return unitSystemParse(text, &units) == 0;
}

const setting_key KEYS[] = {
    {"seconds", SETTING_INTEGER, "2 to 3600 seconds", 2, 3600, nullptr, 0},
    {"units", SETTING_TEXT, "us or metric", 0, 0, unitsFit, 0},
};

struct State {
  int period = 0;  // 0: live reads off
  void (*read)(void) = nullptr;
  station_state station = station_state::UNKNOWN;
  int failures = 0;
  // The last good sample while the station is online; dropped when it goes
  // offline, so nothing stale is ever offered as live.
  bool haveSample = false;
  weather_sample sample = {};
  time_t sampleAt = 0;
};
State st;

// What standard error last said about the link: each change is told once,
// however often a read or an open fails again (for whatever reason), with
// or without -d.
enum class Told { NOTHING, UNOPENED, OFFLINE };
Told told = Told::NOTHING;

void tell(Told now, const char *what, const char *why) {
  if (told == now) return;
  told = now;
  fprintf(stderr, "kivamet: %s: %s\n", what, why);
}

const char *stateText() {
  return st.station == station_state::ONLINE ? "online" : "offline";
}

void setStation(station_state next, const char *why) {
  if (st.station == next) return;
  st.station = next;
  if (next != station_state::ONLINE) st.haveSample = false;
  if (st.period <= 0) return;
  dbg("station %s%s%s\n", stateText(), why != nullptr ? ": " : "", why != nullptr ? why : "");
  outputsStation(next);
}

void tick(int, xPL_ObjectPtr) {
  liveTick(time(nullptr));
}

}  // namespace

const settings_table LIVE_SETTINGS = {"live", KEYS, sizeof KEYS / sizeof KEYS[0]};

void liveStart(int period, void (*readStation)(void)) {
  st = State{};
  told = Told::NOTHING;
  st.period = period;
  st.read = readStation;
  if (period > 0) xPL_addTimeoutHandler(tick, period, nullptr);
}

void liveStop(void) {
  if (st.period > 0) xPL_removeTimeoutHandler(tick);
}

void liveTick(time_t now) {
  if (st.period <= 0) return;
  if (st.station != station_state::OFFLINE && (!st.haveSample || st.sampleAt != now)) st.read();
  outputsStation(st.station);
  if (st.haveSample && st.station == station_state::ONLINE) outputsLive(st.sample);
}

void liveSample(const weather_sample &sample, time_t now) {
  st.failures = 0;
  if (told != Told::NOTHING) {
    told = Told::NOTHING;
    fputs("kivamet: station back online\n", stderr);
  }
  setStation(station_state::ONLINE, nullptr);
  if (st.period <= 0) return;
  st.sample = sample;
  st.sampleAt = now;
  st.haveSample = true;
  outputsLive(sample);
}

void liveReadFailed(void) {
  if (++st.failures < FAILURES_FOR_OFFLINE) return;
  setStation(station_state::OFFLINE, "three reads in a row failed");
  tell(Told::OFFLINE, "station offline", "three reads in a row failed");
}

void liveStationLost(bool connectionLost) {
  st.failures = 0;
  setStation(station_state::OFFLINE, "no connection");
  if (connectionLost) tell(Told::OFFLINE, "station offline", "connection lost");
}

void liveStationUnopened(const char *why) {
  liveStationLost(false);
  tell(Told::UNOPENED, "cannot open the station", why);
}

void liveStationForget(void) {
  told = Told::NOTHING;
}
