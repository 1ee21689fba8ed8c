// upload_wunderground.cpp - Weather Underground: a GET of the station's
// weather every interval, past samples included; with rapidfire also each
// live read to the real-time endpoint.
#include <string>

#include "helpers.h"
#include "upload.h"

namespace {

const setting_key KEYS[] = {
    {"station", SETTING_TEXT, "the station ID as a string", 0, 0, nullptr, 0},
    {"key", SETTING_TEXT, "the station key as a string", 0, 0, nullptr, SETTING_SECRET},
    {"rapidfire", SETTING_BOOLEAN, "true or false", 0, 0, nullptr, 0},
    {"rapidfire_url", SETTING_TEXT, UPLOAD_URL_EXPECTS, 0, 0, uploadUrlFits, 0},
};

const upload_service SERVICE = {
    "wunderground",  // [upload.wunderground]
    KEYS,
    sizeof KEYS / sizeof KEYS[0],
    "https://weatherstation.wunderground.com/weatherstation/updateweatherstation.php",
    300,   // interval
    60,    // floor
    true,  // takes past observations
};
const char RAPIDFIRE_URL[] =
    "https://rtupdate.wunderground.com/weatherstation/updateweatherstation.php";

// The service answers "success" to an upload it took.
bool saysSuccess(const std::string &body) {
  return body.compare(0, 7, "success") == 0;
}

const wu_names NAMES = {"station", "ID", "PASSWORD", "updateraw", saysSuccess};

class Wunderground : public WuUpload {
 public:
  explicit Wunderground(const output_context &context) : WuUpload(&SERVICE, &NAMES, context) {}

  void live(const weather_sample &sample) override {
    // Real-time values only between the recorded ones, and never while
    // the service is failing: the next live read comes in seconds anyway.
    // The live tick offers the last sample again after a failed read: each
    // goes once.
    if (!rapidfire_ || rapidBusy_ || !idle() || sample.time <= rapidSent_) return;
    upload_sample s;
    s.weather = sample;
    rainAt(sample.time, &s);
    query q = items(s);
    q.push_back({"realtime", "1"});
    q.push_back({"rtfreq", std::to_string(context_.livePeriod)});
    http_request r;
    r.url = rapidUrl_ + "?" + queryText(q, false);
    std::string why;
    uint64_t id = 0;
    rapidBusy_ = httpStart(
        r,
        [this](const http_result &result) {
          rapidBusy_ = false;
          if (!result.answered || !saysSuccess(result.body))
            dbg("upload wunderground: rapid-fire sample not taken (%s)\n",
                redacted(result.answered ? "HTTP " + std::to_string(result.status) : result.why)
                    .c_str());
        },
        &id, &why);
    if (!rapidBusy_) return;
    rapidId_ = id;
    rapidSent_ = sample.time;
  }

  void stop() override {
    if (rapidBusy_) httpCancel(rapidId_);
    rapidBusy_ = false;
    Upload::stop();
  }

 protected:
  bool configure(std::string *why) override {
    if (!WuUpload::configure(why)) return false;
    rapidfire_ = boolean("rapidfire", false);
    rapidUrl_ = text("rapidfire_url", RAPIDFIRE_URL);
    if (rapidfire_ && context_.livePeriod <= 0) {
      *why = "rapidfire needs live reads ([live] seconds or --live)";
      return false;
    }
    return true;
  }

 private:
  std::string rapidUrl_;
  bool rapidfire_ = false;
  bool rapidBusy_ = false;
  uint64_t rapidId_ = 0;
  time_t rapidSent_ = 0; /* the last rapid-fire sample's time */
};

std::unique_ptr<Output> make(const output_context &context) {
  return uploadMake<Wunderground>(&SERVICE, context);
}

}  // namespace

extern const output_kind WUNDERGROUND_OUTPUT = {"wunderground", uploadTable(&SERVICE), nullptr,
                                                make};
