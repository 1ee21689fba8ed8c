// upload_pwsweather.cpp - PWSweather: the Weather Underground family's GET,
// past samples included.
#include "upload.h"

namespace {

const setting_key KEYS[] = {
    {"station", SETTING_TEXT, "the station ID as a string", 0, 0, nullptr, 0},
    {"key", SETTING_TEXT, "the station key as a string", 0, 0, nullptr, SETTING_SECRET},
};

const upload_service SERVICE = {
    "pwsweather",
    KEYS,
    sizeof KEYS / sizeof KEYS[0],
    "url",
    "https://pwsupdate.pwsweather.com/api/v1/submitwx",
    "an http:// or https:// URL",
    uploadUrlFits,
    300,
    60,
    true,
};

class Pwsweather : public Upload {
 public:
  explicit Pwsweather(const output_context &context) : Upload(&SERVICE, context) {}

 protected:
  bool configure(std::string *why) override {
    station_ = text("station", "");
    key_ = text("key", "");
    if (station_.empty() || key_.empty()) {
      *why = "needs station and key";
      return false;
    }
    secret(key_);
    return true;
  }

  bool send(const std::vector<upload_sample> &samples, std::string *shown,
            std::string *why) override {
    query q = {{"ID", station_}, {"PASSWORD", key_, true}};
    wuFields(samples[0], &q);
    http_request r;
    r.url = endpoint_ + "?" + queryText(q, false);
    *shown = "GET " + endpoint_ + "?" + queryText(q, true);
    return sendHttp(r, nullptr, why);
  }

 private:
  std::string station_, key_;
};

std::unique_ptr<Output> make(const output_context &context) {
  return uploadMake<Pwsweather>(&SERVICE, context);
}

}  // namespace

extern const output_kind PWSWEATHER_OUTPUT = {"pwsweather", uploadTable(&SERVICE), nullptr, make};
