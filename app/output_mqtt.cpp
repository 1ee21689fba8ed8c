// output_mqtt.cpp - live values over MQTT: a retained topic per value, the
// station's state, the whole reading as JSON, and Home Assistant discovery
// (mqtt.cpp keeps the broker connection). On when a broker is named.
#include <stdlib.h>
#include <time.h>

#include <nlohmann/json.hpp>
#include <string>

#include "days.h"
#include "helpers.h"
#include "mqtt.h"
#include "output.h"

namespace {

// The MQTT values want live reads; without a period of their own, this one.
constexpr int LIVE_WITH_MQTT_SECONDS = 10;
constexpr size_t VALUE_TEXT_SIZE = 32;
const char PASSWORD_VARIABLE[] = "KIVAMET_MQTT_PASSWORD";

bool urlFits(const char *text) {
  mqtt_url url;
  return mqttParseUrl(text, &url) == 0;
}

const setting_key KEYS[] = {
    {"url", SETTING_TEXT, "mqtt://[user@]host[:port] or mqtts://..., without a password", 0, 0,
     urlFits, SETTING_HIDDEN},
    {"prefix", SETTING_TEXT, "a topic of 1 to 128 characters without wildcards or empty levels", 0,
     0, mqttPrefixFits, 0},
    {"ha_prefix", SETTING_TEXT, "a topic of 1 to 128 characters without wildcards or empty levels",
     0, 0, mqttPrefixFits, 0},
    {"password", SETTING_TEXT, "the broker password as a string", 0, 0, nullptr, SETTING_SECRET},
};
const settings_table TABLE = {"mqtt", KEYS, sizeof KEYS / sizeof KEYS[0]};

// The broker client is one per process, and so is this output: the
// client's callbacks reach it here.
class MqttOutput;
MqttOutput *active = nullptr;

class MqttOutput : public Output {
 public:
  explicit MqttOutput(const output_context &context) : context_(context) {}

  bool start(std::string *why) override {
    const Settings &settings = *context_.settings;
    mqtt_settings s;
    mqttParseUrl(settings.text("mqtt", "url", "").c_str(), &s.url);
    const char *password = getenv(PASSWORD_VARIABLE);
    const setting_value *filed = settings.find("mqtt", "password");
    const char *source = password != nullptr ? PASSWORD_VARIABLE : "mqtt.password";
    if (password == nullptr && filed != nullptr) password = filed->text.c_str();
    if (password != nullptr && !s.url.user.empty()) {
      s.hasPassword = true;
      s.password = password;
    } else if (password != nullptr) {
      dbg("%s ignored: the broker URL names no user\n", source);
    }
    s.prefix = settings.text("mqtt", "prefix", "kivamet");
    s.haPrefix = settings.text("mqtt", "ha_prefix", "homeassistant");
    s.units = context_.units;
    const char *version = xPL_getServiceVersion(context_.service);
    s.version = version != nullptr ? version : "";
    s.identity = identity;
    s.connected = connected;
    active = this;
    if (mqttStart(s) == 0) return true;
    why->clear();  // mqttStart said why
    return false;
  }

  void stop() override {
    mqttStop();
    active = nullptr;
  }

  void station(station_state state) override {
    if (state != told_) {
      told_ = state;
      for (std::string &t : sent_) t.clear();
      // Nothing stale is ever published as live.
      if (state != station_state::ONLINE) haveSample_ = false;
    }
    if (state == station_state::ONLINE) takeModel();
    publishStation();
  }

  void live(const weather_sample &sample) override {
    sample_ = sample;
    haveSample_ = true;
    takeModel();
    publishValues();
  }

 private:
  static const char *identity() {
    xPL_ServicePtr service = active != nullptr ? active->context_.service : nullptr;
    return service != nullptr && xPL_isServiceConfigured(service)
               ? xPL_getServiceInstanceID(service)
               : nullptr;
  }

  // Each connection publishes everything afresh.
  static void connected() {
    if (active == nullptr) return;
    active->sentStation_.clear();
    for (std::string &t : active->sent_) t.clear();
    active->publishStation();
    active->publishValues();
  }

  void takeModel() {
    const char *model = context_.stationModel != nullptr ? context_.stationModel() : nullptr;
    if (model != nullptr) mqttSetModel(model);
  }

  void publishStation() {
    const char *text = told_ == station_state::ONLINE ? "online" : "offline";
    if (!mqttConnected() || sentStation_ == text) return;
    mqttPublish("station", text);
    sentStation_ = text;
  }

  void publishValues() {
    if (!haveSample_ || told_ != station_state::ONLINE || !mqttConnected()) return;
    nlohmann::ordered_json state;
    state["time"] = timeText(sample_.time, "%Y-%m-%dT%H:%M:%SZ", true);
    state["units"] = context_.units == UNITS_METRIC ? "metric" : "us";
    bool changed = false;
    for (int i = 0; i < QUANTITY_COUNT; i++) {
      const quantity &q = QUANTITIES[i];
      char text[VALUE_TEXT_SIZE];
      if (quantityText(text, sizeof text, &q, &sample_, context_.units) < 0) continue;
      // The value as the topics show it: whole numbers stay whole.
      if (quantityForm(&q, context_.units)->decimals == 0) {
        state[q.key] = strtoll(text, nullptr, 10);
      } else {
        state[q.key] = strtod(text, nullptr);
      }
      if (sent_[i] == text) continue;
      mqttPublish(q.key, text);
      sent_[i] = text;
      changed = true;
    }
    if (changed) mqttPublish("state", state.dump());
  }

  output_context context_;
  station_state told_ = station_state::UNKNOWN;
  bool haveSample_ = false;
  weather_sample sample_ = {};
  std::string sentStation_;
  std::string sent_[QUANTITY_COUNT];
};

int livePeriod(const Settings &settings) {
  return settings.find("mqtt", "url") != nullptr ? LIVE_WITH_MQTT_SECONDS : 0;
}

std::unique_ptr<Output> make(const output_context &context) {
  if (context.settings == nullptr || context.settings->find("mqtt", "url") == nullptr)
    return nullptr;
  return std::make_unique<MqttOutput>(context);
}

}  // namespace

extern const output_kind MQTT_OUTPUT = {"mqtt", &TABLE, livePeriod, make};
