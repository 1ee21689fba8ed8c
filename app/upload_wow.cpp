// upload_wow.cpp - the Met Office's Weather Observations Website: the
// Weather Underground family's fields under WOW's own names for the site
// and its key, past samples included.
#include "upload.h"

namespace {

const setting_key KEYS[] = {
    {"site_id", SETTING_TEXT, "the site ID as a string", 0, 0, nullptr, 0},
    {"key", SETTING_TEXT, "the site authentication key as a string", 0, 0, nullptr,
     SETTING_SECRET},
};

const upload_service SERVICE = {
    "wow",
    KEYS,
    sizeof KEYS / sizeof KEYS[0],
    "url",
    "https://wow.metoffice.gov.uk/automaticreading",
    "an http:// or https:// URL",
    uploadUrlFits,
    300,
    60,
    true,
};

class Wow : public Upload {
 public:
  explicit Wow(const output_context &context) : Upload(&SERVICE, context) {}

 protected:
  bool configure(std::string *why) override {
    site_ = text("site_id", "");
    key_ = text("key", "");
    if (site_.empty() || key_.empty()) {
      *why = "needs site_id and key";
      return false;
    }
    secret(key_);
    return true;
  }

  bool send(const std::vector<upload_sample> &samples, std::string *shown,
            std::string *why) override {
    query q = {{"siteid", site_}, {"siteAuthenticationKey", key_, true}};
    wuFields(samples[0], &q);
    http_request r;
    r.url = endpoint_ + "?" + queryText(q, false);
    *shown = "GET " + endpoint_ + "?" + queryText(q, true);
    return sendHttp(r, nullptr, why);
  }

 private:
  std::string site_, key_;
};

std::unique_ptr<Output> make(const output_context &context) {
  return uploadMake<Wow>(&SERVICE, context);
}

}  // namespace

extern const output_kind WOW_OUTPUT = {"wow", uploadTable(&SERVICE), nullptr, make};
