// upload_influxdb.cpp - InfluxDB: the line protocol over HTTP, one
// measurement "weather" tagged with the station (the service's instance),
// one field per quantity in the units of [live] units. Past samples go in
// batches.
#include <algorithm>

#include "upload.h"

namespace {

const setting_key KEYS[] = {
    {"database", SETTING_TEXT, "a database name as a string", 0, 0, nullptr, 0},
    {"username", SETTING_TEXT, "a user name as a string", 0, 0, nullptr, 0},
    {"password", SETTING_TEXT, "the user's password as a string", 0, 0, nullptr, SETTING_SECRET},
};

const upload_service SERVICE = {
    "influxdb",  // [upload.influxdb]
    KEYS,
    sizeof KEYS / sizeof KEYS[0],
    "http://localhost:8086",  // the endpoint's default
    60,                       // interval
    60,                       // floor
    true,                     // takes past observations
};

// Points a catch-up sends in one write: a day at a minute apart in 15.
constexpr size_t BATCH = 100;

// Commas, spaces and equals signs in a tag are escaped with a backslash.
std::string tagText(const std::string &text) {
  std::string r;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '=' || c == '\\') r += '\\';
    r += c;
  }
  return r;
}

class Influxdb : public Upload {
 public:
  explicit Influxdb(const output_context &context) : Upload(&SERVICE, context) {}

 protected:
  size_t batch() const override { return BATCH; }

  bool configure(std::string *why) override {
    (void)why;
    database_ = text("database", "kivamet");
    user_ = text("username", "");
    password_ = text("password", "");
    secret(password_);
    while (!endpoint_.empty() && endpoint_.back() == '/') endpoint_.pop_back();
    return true;
  }

  bool send(const std::vector<upload_sample> &samples, std::string *shown,
            std::string *why) override {
    const char *instance = context_.service != nullptr && xPL_isServiceConfigured(context_.service)
                               ? xPL_getServiceInstanceID(context_.service)
                               : nullptr;
    const std::string station = tagText(instance != nullptr ? instance : "kivamet");
    http_request r;
    r.post = true;
    r.contentType = "text/plain; charset=utf-8";
    r.url = endpoint_ + "/write?" + queryText({{"db", database_}, {"precision", "s"}}, false);
    r.user = user_;
    r.password = password_;
    for (const upload_sample &s : samples) {
      std::string fields;
      for (const quantity &q : QUANTITIES) {
        char text[32];
        if (quantityText(text, sizeof text, &q, &s.weather, context_.units) < 0) continue;
        fields += (fields.empty() ? "" : ",") + std::string(q.key) + "=" + text;
      }
      if (fields.empty()) continue;
      r.body += "weather,station=" + station + " " + fields + " " +
                std::to_string(static_cast<long long>(s.weather.time)) + "\n";
    }
    // One line of -d: the first point, and how many more.
    const size_t points = static_cast<size_t>(std::count(r.body.begin(), r.body.end(), '\n'));
    *shown = "POST " + r.url + (user_.empty() ? "" : " as " + user_) + " " +
             r.body.substr(0, r.body.find('\n'));
    if (points > 1) *shown += " (and " + std::to_string(points - 1) + " more)";
    return sendHttp(r, nullptr, why);
  }

 private:
  std::string database_, user_, password_;
};

std::unique_ptr<Output> make(const output_context &context) {
  return uploadMake<Influxdb>(&SERVICE, context);
}

}  // namespace

extern const output_kind INFLUXDB_OUTPUT = {"influxdb", uploadTable(&SERVICE), nullptr, make};
