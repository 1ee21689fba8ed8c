// upload_windy.cpp - Windy: the current weather in metric units, the key
// in the path. Windy takes no past observations.
#include <math.h>
#include <stdio.h>

#include "upload.h"

namespace {

const setting_key KEYS[] = {
    {"key", SETTING_TEXT, "the API key as a string", 0, 0, nullptr, SETTING_SECRET},
    {"station", SETTING_INTEGER, "0 to 255", 0, 255, nullptr, 0},
};

const upload_service SERVICE = {
    "windy",  // [upload.windy]
    KEYS,
    sizeof KEYS / sizeof KEYS[0],
    "https://stations.windy.com/pws/update",  // the endpoint's default
    300,                                      // interval
    300,                                      // floor
    false,                                    // no past observations
};

constexpr double MS_PER_MPH = 0.44704;
constexpr double MM_PER_INCH = 25.4;

std::string number(const char *format, double v) {
  char text[32];
  snprintf(text, sizeof text, format, v);
  return text;
}

class Windy : public Upload {
 public:
  explicit Windy(const output_context &context) : Upload(&SERVICE, context) {}

 protected:
  bool configure(std::string *why) override {
    key_ = text("key", "");
    if (key_.empty()) {
      *why = "needs key";
      return false;
    }
    secret(key_);
    return true;
  }

  bool send(const std::vector<upload_sample> &samples, std::string *shown,
            std::string *why) override {
    const upload_sample &s = samples[0];
    const weather_sample &w = s.weather;
    query q = {{"station", std::to_string(integer("station", 0))}};
    std::string text;
    auto add = [&](const char *name, const char *key) {
      if (uploadValueText(s, key, UNITS_METRIC, &text)) q.push_back({name, text});
    };
    add("temp", "outside_temperature");
    add("rh", "outside_humidity");
    add("dewpoint", "dew_point");
    if (w.known[Q_BAROMETER]) {
      const double hpa = quantityHuman(quantityFind("barometer"), w.value[Q_BAROMETER],
                                       UNITS_METRIC, w.rainCountsPerInch);
      q.push_back({"pressure", number("%.0f", round(hpa * 100))});
    }
    if (w.known[Q_WIND_SPEED])
      q.push_back({"wind", number("%.1f", w.value[Q_WIND_SPEED] * MS_PER_MPH)});
    add("winddir", "wind_direction");
    if (s.rainHour >= 0) q.push_back({"precip", number("%.1f", s.rainHour * MM_PER_INCH)});
    q.push_back({"ts", std::to_string(static_cast<long long>(w.time))});
    http_request r;
    r.url = endpoint_ + "/" + urlEscape(key_) + "?" + queryText(q, false);
    *shown = "GET " + endpoint_ + "/***?" + queryText(q, true);
    return sendHttp(r, nullptr, why);
  }

 private:
  std::string key_;
};

std::unique_ptr<Output> make(const output_context &context) {
  return uploadMake<Windy>(&SERVICE, context);
}

}  // namespace

extern const output_kind WINDY_OUTPUT = {"windy", uploadTable(&SERVICE), nullptr, make};
