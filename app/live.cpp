// live.cpp - live sampling, change detection, station up and down, and the
// xPL sensor.basic triggers; the MQTT side gets the same texts.
#include "live.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <nlohmann/json.hpp>
#include <string>

#include "mqtt.h"
#include "quantities.h"

namespace {

constexpr int LIVE_MIN_SECONDS = 2;
constexpr int LIVE_MAX_SECONDS = 3600;
constexpr int LIVE_WITH_MQTT_SECONDS = 10;
// Reads in a row that fail before the station counts as offline: one bad
// reply on a noisy line is no outage.
constexpr int FAILURES_FOR_OFFLINE = 3;
constexpr size_t VALUE_TEXT_SIZE = 32;
const char PASSWORD_VARIABLE[] = "KIVAMET_MQTT_PASSWORD";

enum { OPT_LIVE = 0x100, OPT_UNITS, OPT_MQTT, OPT_MQTT_PREFIX, OPT_HA_PREFIX };

struct Options {
  int period = 0;  // 0: --live not given
  unit_system units = UNITS_US;
  bool mqtt = false;
  mqtt_url url;
  std::string prefix = "kivamet";
  std::string haPrefix = "homeassistant";
};
Options opts;

enum class Station { UNKNOWN, ONLINE, OFFLINE };

struct State {
  xPL_ServicePtr service = nullptr;
  void (*read)(void) = nullptr;
  Station station = Station::UNKNOWN;
  int failures = 0;
  // The last good sample while the station is online; dropped when it goes
  // offline, so nothing stale is ever published as live.
  bool haveSample = false;
  davis_sample sample = {};
  davis_cal cal = {};
  time_t sampleAt = 0;
  // What each bus last got; a bus hears only of differences.
  std::string xplStation, mqttStation;
  std::string xplSent[QUANTITY_COUNT], mqttSent[QUANTITY_COUNT];
};
State st;

bool xplReady() {
  return st.service != nullptr && xPL_isServiceEnabled(st.service);
}

void sendTrigger(const char *device, const char *type, const char *current, const char *units) {
  xPL_MessagePtr m = xPL_createBroadcastMessage(st.service, xPL_MESSAGE_TRIGGER);
  if (m == nullptr) return;
  xPL_setSchema(m, S("sensor"), S("basic"));
  xPL_addMessageNamedValue(m, S("device"), S(device));
  xPL_addMessageNamedValue(m, S("type"), S(type));
  xPL_addMessageNamedValue(m, S("current"), S(current));
  if (units != nullptr) xPL_addMessageNamedValue(m, S("units"), S(units));
  xPL_sendServiceMessage(st.service, m);
  xPL_releaseMessage(m);
}

const char *stationText() {
  return st.station == Station::ONLINE ? "online" : "offline";
}

void publishStation() {
  const std::string text = stationText();
  // xPL hears of the station once its state is known.
  if (st.station != Station::UNKNOWN && xplReady() && st.xplStation != text) {
    sendTrigger("station", "generic", text.c_str(), nullptr);
    st.xplStation = text;
  }
  if (mqttConnected() && st.mqttStation != text) {
    mqttPublish("station", text);
    st.mqttStation = text;
  }
}

std::string utcText(time_t when) {
  struct tm utc;
  gmtime_r(&when, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

void publishValues() {
  if (!st.haveSample || st.station != Station::ONLINE) return;
  nlohmann::ordered_json state;
  state["time"] = utcText(st.sampleAt);
  state["units"] = opts.units == UNITS_METRIC ? "metric" : "us";
  bool mqttChanged = false;
  for (int i = 0; i < QUANTITY_COUNT; i++) {
    const quantity &q = QUANTITIES[i];
    const double human =
        quantityHuman(&q, quantityStationValue(&q, &st.sample, &st.cal), opts.units, st.cal.rain);
    char text[VALUE_TEXT_SIZE];
    quantityFormat(text, sizeof text, &q, human, opts.units);
    // The value as the topics show it: whole numbers stay whole.
    if (quantityForm(&q, opts.units)->decimals == 0) {
      state[q.key] = strtoll(text, nullptr, 10);
    } else {
      state[q.key] = strtod(text, nullptr);
    }
    if (xplReady() && st.xplSent[i] != text) {
      sendTrigger(q.key, q.xplType, text, quantityForm(&q, opts.units)->xplUnit);
      st.xplSent[i] = text;
    }
    if (mqttConnected() && st.mqttSent[i] != text) {
      mqttPublish(q.key, text);
      st.mqttSent[i] = text;
      mqttChanged = true;
    }
  }
  if (mqttChanged) mqttPublish("state", state.dump());
}

void setStation(Station next, const char *why) {
  if (st.station == next) return;
  st.station = next;
  if (next != Station::ONLINE) st.haveSample = false;
  // Back online, every value goes out afresh.
  for (std::string &t : st.xplSent) t.clear();
  for (std::string &t : st.mqttSent) t.clear();
  dbg("station %s%s%s\n", stationText(), why != nullptr ? ": " : "", why != nullptr ? why : "");
  publishStation();
}

void liveTick(int, xPL_ObjectPtr) {
  // An offline station is left to the logging pass, whose good read brings
  // it back: a silent one holds the loop for every read it is asked for.
  // A logging pass of this same second has just read the station.
  if (st.station != Station::OFFLINE && (!st.haveSample || st.sampleAt != time(nullptr)))
    st.read();
  // What could not go out before the service was enabled goes out now.
  publishStation();
  publishValues();
}

const char *identity() {
  return xPL_isServiceConfigured(st.service) ? xPL_getServiceInstanceID(st.service) : nullptr;
}

void brokerConnected() {
  st.mqttStation.clear();
  for (std::string &t : st.mqttSent) t.clear();
  publishStation();
  publishValues();
}

}  // namespace

const struct option LIVE_OPTIONS[] = {{"live", required_argument, nullptr, OPT_LIVE},
                                      {"units", required_argument, nullptr, OPT_UNITS},
                                      {"mqtt", required_argument, nullptr, OPT_MQTT},
                                      {"mqtt-prefix", required_argument, nullptr, OPT_MQTT_PREFIX},
                                      {"ha-prefix", required_argument, nullptr, OPT_HA_PREFIX},
                                      {nullptr, 0, nullptr, 0}};

const char LIVE_USAGE[] =
    "[--live SECONDS] [--units us|metric] [--mqtt mqtt[s]://[user@]host[:port]] "
    "[--mqtt-prefix TOPIC] [--ha-prefix TOPIC]";

int liveTakeOption(int val, const char *arg) {
  switch (val) {
    case OPT_LIVE:
      if (intInRange(arg, LIVE_MIN_SECONDS, LIVE_MAX_SECONDS, &opts.period) == 0) return 0;
      fprintf(stderr, "kivamet: --live takes %d to %d seconds, not %s\n", LIVE_MIN_SECONDS,
              LIVE_MAX_SECONDS, arg);
      return -1;
    case OPT_UNITS:
      if (unitSystemParse(arg, &opts.units) == 0) return 0;
      fprintf(stderr, "kivamet: --units takes us or metric, not %s\n", arg);
      return -1;
    case OPT_MQTT:
      if (mqttParseUrl(arg, &opts.url) == 0) {
        opts.mqtt = true;
        return 0;
      }
      fprintf(stderr,
              "kivamet: --mqtt takes mqtt://[user@]host[:port] or mqtts://...; the password "
              "comes from %s\n",
              PASSWORD_VARIABLE);
      return -1;
    case OPT_MQTT_PREFIX:
    case OPT_HA_PREFIX:
      if (mqttPrefixFits(arg)) {
        (val == OPT_MQTT_PREFIX ? opts.prefix : opts.haPrefix) = arg;
        return 0;
      }
      fprintf(stderr,
              "kivamet: %s takes a topic of 1 to %d characters without wildcards or empty "
              "levels, not %s\n",
              val == OPT_MQTT_PREFIX ? "--mqtt-prefix" : "--ha-prefix", MQTT_PREFIX_MAX, arg);
      return -1;
    default:
      return -1;
  }
}

int liveEnabled(void) {
  return opts.period > 0 || opts.mqtt;
}

int liveStart(xPL_ServicePtr service, void (*readStation)(void)) {
  if (!liveEnabled()) return 0;
  st.service = service;
  st.read = readStation;
  xPL_addTimeoutHandler(liveTick, opts.period > 0 ? opts.period : LIVE_WITH_MQTT_SECONDS, nullptr);
  if (!opts.mqtt) return 0;

  mqtt_settings s;
  s.url = opts.url;
  const char *password = getenv(PASSWORD_VARIABLE);
  if (password != nullptr && !opts.url.user.empty()) {
    s.hasPassword = true;
    s.password = password;
  } else if (password != nullptr) {
    dbg("%s ignored: the broker URL names no user\n", PASSWORD_VARIABLE);
  }
  s.prefix = opts.prefix;
  s.haPrefix = opts.haPrefix;
  s.units = opts.units;
  const char *version = xPL_getServiceVersion(service);
  s.version = version != nullptr ? version : "";
  s.identity = identity;
  s.connected = brokerConnected;
  return mqttStart(s);
}

void liveStop(void) {
  if (!liveEnabled()) return;
  xPL_removeTimeoutHandler(liveTick);
  if (opts.mqtt) mqttStop();
}

void liveSample(const davis_sample *sample, const davis_cal *cal, const char *model) {
  if (!liveEnabled()) return;
  st.failures = 0;
  st.sample = *sample;
  st.cal = *cal;
  st.sampleAt = time(nullptr);
  st.haveSample = true;
  if (opts.mqtt) mqttSetModel(model);
  setStation(Station::ONLINE, nullptr);
  publishValues();
}

void liveReadFailed(void) {
  if (!liveEnabled()) return;
  if (++st.failures >= FAILURES_FOR_OFFLINE)
    setStation(Station::OFFLINE, "three reads in a row failed");
}

void liveStationLost(void) {
  if (!liveEnabled()) return;
  st.failures = 0;
  setStation(Station::OFFLINE, "no connection");
}
