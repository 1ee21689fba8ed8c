// upload.cpp - what the uploads share: their settings, the schedule and
// catch-up, the state files, retries, -d lines and the Weather Underground
// family's query.
#include "upload.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <limits>

#include "atomicfile.h"
#include "days.h"
#include "derived.h"
#include "fdguard.h"
#include "helpers.h"
#include "rrdlog.h"
#include "settings.h"
#include "version.h"

namespace {

constexpr int INTERVAL_MAX = 86400;
// The first retry waits the interval, but never longer than this.
constexpr int RETRY_FIRST_MAX = 30;
constexpr size_t SHOWN_ANSWER_MAX = 80;
// The database's rows: one a minute.
constexpr time_t ROW_SECONDS = 60;
// The newest sample is the present for this many rows.
constexpr time_t FRESH_ROWS = 2;

// ---- Settings tables ------------------------------------------------------------

// Tables and their texts live as long as the process; a deque never moves
// what it holds.
struct TableStore {
  std::deque<std::vector<setting_key>> keys;
  std::deque<std::string> texts;
  std::deque<settings_table> tables;
};
TableStore &store() {
  static TableStore s;
  return s;
}

// KIVAMET_UPLOAD_MIN_INTERVAL's seconds, 0 when it is not set.
int lowered() {
  int seconds = 0;
  intInRange(getenv(UPLOAD_MIN_INTERVAL_ENV), 1, INTERVAL_MAX, &seconds);
  return seconds;
}

// [upload.NAME]
std::string tableName(const upload_service *service) {
  return std::string("upload.") + service->name;
}

int floorFor(const upload_service *service) {
  return lowered() > 0 ? std::min(lowered(), service->floor) : service->floor;
}

// ---- The running uploads and their tick -------------------------------------------

std::vector<Upload *> &running() {
  static std::vector<Upload *> r;
  return r;
}

void onTick(int, xPL_ObjectPtr) {
  const time_t now = time(nullptr);
  // A tick may stop uploads (none does today); walk a copy.
  const std::vector<Upload *> all = running();
  for (Upload *u : all) u->tick(now);
}

std::string utcText(time_t when) {
  return timeText(when, "%Y-%m-%d %H:%M:%S", true);
}

// The samples of an exchange, for -d lines.
std::string samplesText(const std::vector<upload_sample> &samples) {
  if (samples.size() == 1) return "sample " + utcText(samples[0].weather.time) + " UTC";
  return "samples " + utcText(samples.front().weather.time) + " to " +
         utcText(samples.back().weather.time) + " UTC (" + std::to_string(samples.size()) + ")";
}

// An answer's first words, on one line.
std::string answerText(const http_result &r) {
  std::string text = "HTTP " + std::to_string(r.status);
  std::string body = r.body.substr(0, SHOWN_ANSWER_MAX);
  while (!body.empty() && (static_cast<unsigned char>(body.back()) <= ' ' || body.back() == 0x7f))
    body.pop_back();
  if (!body.empty()) text += ": " + oneLine(body);
  return text;
}

}  // namespace

std::string urlEscape(const std::string &text) {
  char *e = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
  if (e == nullptr) return "";
  std::string r = e;
  curl_free(e);
  return r;
}

bool uploadValueText(const upload_sample &s, const char *key, unit_system units,
                     std::string *text) {
  char buf[32];
  if (quantityText(buf, sizeof buf, quantityFind(key), &s.weather, units) < 0) return false;
  *text = buf;
  return true;
}

// ---- Settings ----------------------------------------------------------------------

bool uploadUrlFits(const char *text) {
  CURLU *u = curl_url();
  if (u == nullptr) return false;
  bool ok = curl_url_set(u, CURLUPART_URL, text, 0) == CURLUE_OK;
  char *scheme = nullptr, *host = nullptr;
  ok = ok && curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
       curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
       (strcmp(scheme, "http") == 0 || strcmp(scheme, "https") == 0) && *host != '\0';
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(u);
  return ok;
}

const settings_table *uploadTable(const upload_service *service) {
  TableStore &s = store();
  const int floor = floorFor(service);
  s.texts.push_back(std::to_string(floor) + " to " + std::to_string(INTERVAL_MAX) + " seconds");
  std::vector<setting_key> keys = {
      {"enabled", SETTING_BOOLEAN, "true or false", 0, 0, nullptr, 0},
      {"interval", SETTING_INTEGER, s.texts.back().c_str(), static_cast<double>(floor),
       INTERVAL_MAX, nullptr, 0},
      {service->endpointKey, SETTING_TEXT, service->endpointExpects, 0, 0, service->endpointFits,
       0},
  };
  keys.insert(keys.end(), service->keys, service->keys + service->keyCount);
  s.keys.push_back(std::move(keys));
  s.texts.push_back(tableName(service));
  s.tables.push_back({s.texts.back().c_str(), s.keys.back().data(), s.keys.back().size()});
  return &s.tables.back();
}

bool WuUpload::configure(std::string *why) {
  station_ = text(names_->stationKey, "");
  key_ = text("key", "");
  if (station_.empty() || key_.empty()) {
    *why = std::string("needs ") + names_->stationKey + " and key";
    return false;
  }
  secret(key_);
  return true;
}

query WuUpload::items(const upload_sample &s) const {
  query q;
  if (names_->action != nullptr) q.push_back({"action", names_->action});
  q.push_back({names_->stationItem, station_});
  q.push_back({names_->keyItem, key_, true});
  wuFields(s, &q);
  return q;
}

bool WuUpload::send(const std::vector<upload_sample> &samples, std::string *shown,
                    std::string *why) {
  const query q = items(samples[0]);
  http_request r;
  r.url = endpoint_ + "?" + queryText(q, false);
  *shown = "GET " + endpoint_ + "?" + queryText(q, true);
  return sendHttp(r, names_->accept, why);
}

bool uploadWanted(const upload_service *service, const output_context &context) {
  const std::string table = tableName(service);
  return context.settings != nullptr && context.settings->hasTable(table) &&
         context.settings->boolean(table, "enabled", true);
}

// ---- Pure pieces -------------------------------------------------------------------

std::string uploadStateText(time_t last) {
  return "last " + std::to_string(static_cast<long long>(last)) + "\n";
}

bool uploadStateParse(const std::string &text, time_t *last) {
  long long v = 0;
  char end = 0;
  if (sscanf(text.c_str(), "last %lld%c", &v, &end) != 2 || end != '\n' || v <= 0) return false;
  *last = static_cast<time_t>(v);
  return true;
}

int uploadRetryDelay(int first, int failures) {
  long delay = std::max(1, first);
  for (int i = 1; i < failures && delay < UPLOAD_RETRY_MAX_SECONDS; i++) delay *= 2;
  return static_cast<int>(std::min<long>(delay, UPLOAD_RETRY_MAX_SECONDS));
}

std::vector<time_t> uploadCatchupPlan(const std::vector<time_t> &rows, time_t due, int interval,
                                      size_t batch) {
  std::vector<time_t> plan;
  time_t next = due;
  for (time_t row : rows) {
    if (plan.size() >= batch) break;
    if (row < next) continue;
    plan.push_back(row);
    next = row + interval;
  }
  return plan;
}

std::string queryText(const query &items, bool shown) {
  std::string text;
  for (const query_item &i : items) {
    if (!text.empty()) text += '&';
    text += i.name + "=" + (shown && i.secret ? "***" : urlEscape(i.value));
  }
  return text;
}

void wuFields(const upload_sample &s, query *items) {
  items->push_back({"dateutc", utcText(s.weather.time)});
  static const struct {
    const char *field;
    const char *key;
  } FIELDS[] = {
      {"tempf", "outside_temperature"}, {"humidity", "outside_humidity"},
      {"dewptf", "dew_point"},          {"baromin", "barometer"},
      {"windspeedmph", "wind_speed"},   {"winddir", "wind_direction"},
  };
  std::string text;
  for (const auto &f : FIELDS)
    if (uploadValueText(s, f.key, UNITS_US, &text)) items->push_back({f.field, text});
  char rain[32];
  if (s.rainHour >= 0) {
    snprintf(rain, sizeof rain, "%.2f", s.rainHour);
    items->push_back({"rainin", rain});
  }
  if (s.rainToday >= 0) {
    snprintf(rain, sizeof rain, "%.2f", s.rainToday);
    items->push_back({"dailyrainin", rain});
  }
  items->push_back({"softwaretype", "kivamet-" KIVAMET_VERSION});
}

// ---- The shared output -------------------------------------------------------------

Upload::Upload(const upload_service *service, const output_context &context)
    : service_(service), context_(context), table_(tableName(service)) {}

Upload::~Upload() {
  stop();
}

std::string Upload::text(const char *key, const std::string &fallback) const {
  return context_.settings->text(table_, key, fallback);
}

long long Upload::integer(const char *key, long long fallback) const {
  return context_.settings->integer(table_, key, fallback);
}

bool Upload::boolean(const char *key, bool fallback) const {
  return context_.settings->boolean(table_, key, fallback);
}

std::string Upload::statePath() const {
  // Beside kivamet.xml: the working directory.
  return std::string("upload-") + service_->name + ".state";
}

bool Upload::start(std::string *why) {
  interval_ = static_cast<int>(integer("interval", service_->interval));
  endpoint_ = text(service_->endpointKey, service_->endpoint);
  startedAt_ = time(nullptr);
  if (!configure(why)) {
    *why = "kivamet: " + table_ + ": " + *why;
    return false;
  }
  if (service_->past) {
    const std::string text = [&] {
      FdGuard fd(open(statePath().c_str(), O_RDONLY | O_CLOEXEC));
      char buf[64];
      ssize_t n = fd.get() >= 0 ? read(fd.get(), buf, sizeof buf - 1) : -1;
      return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }();
    if (!text.empty() && !uploadStateParse(text, &last_))
      dbg("upload %s: %s holds no time; starting afresh\n", service_->name, statePath().c_str());
    if (last_ != 0)
      dbg("upload %s: last accepted sample %s UTC\n", service_->name, utcText(last_).c_str());
  }
  if (running().empty()) xPL_addTimeoutHandler(onTick, 1, nullptr);
  running().push_back(this);
  return true;
}

void Upload::stop() {
  auto &all = running();
  auto at = std::find(all.begin(), all.end(), this);
  if (at == all.end()) return;
  all.erase(at);
  if (all.empty()) xPL_removeTimeoutHandler(onTick);
  if (request_ != 0) httpCancel(request_);
  request_ = 0;
  cancel();
  busy_ = false;
  queued_.clear();
  if (all.empty()) httpStop();
}

bool Upload::logged(const weather_sample *samples, size_t count) {
  if (count == 0 || (haveLatest_ && samples[count - 1].time <= latest_.time)) return true;
  if (!rainLoaded_) {
    // What the database holds before the first sample; the samples go on.
    rainLoaded_ = true;
    std::string why;
    if (!rain_.loadDatabase(databasePath(), samples[0].time - RAIN_HISTORY_SECONDS, samples[0].time,
                            &why))
      dbg("upload %s: no rain history (%s)\n", service_->name, why.c_str());
  }
  for (size_t i = 0; i < count; i++)
    rain_.addTotal(samples[i].time,
                   samples[i].known[Q_RAIN_TOTAL] ? samples[i].value[Q_RAIN_TOTAL] : -1);
  latest_ = samples[count - 1];
  haveLatest_ = true;
  tick(time(nullptr));
  return true;
}

time_t Upload::due(time_t last) const {
  return last != 0 ? last + interval_ : 0;
}

void Upload::tick(time_t now) {
  pending(now);
  if (busy_ || !haveLatest_ || now < retryAt_ || now < paceAt_) return;
  std::vector<upload_sample> samples;
  if (pick(now, &samples)) upload_(now, samples);
}

// The samples due now: the missed ones from the database, else the latest.
// A row is complete once a later sample was stored, so the missed ones end
// a minute before the latest.
bool Upload::pick(time_t now, std::vector<upload_sample> *samples) {
  const time_t next = due(last_);
  if (latest_.time < next) return false;
  // A service without past observations takes only the present: not the
  // old samples the station's archive catch-up logs, nor one from before a gap.
  if (!service_->past && latest_.time < now - FRESH_ROWS * ROW_SECONDS) return false;
  if (service_->past && last_ != 0 && latest_.time >= next + ROW_SECONDS) {
    const time_t from = std::max(next, latest_.time - UPLOAD_CATCHUP_SECONDS + ROW_SECONDS);
    // What was accepted leaves the queue; a failed batch stays to be sent
    // again. The queue is read anew once it is empty or no longer goes on
    // from the last accepted sample (a day old, another database).
    while (!queued_.empty() && queued_.front().weather.time < next) queued_.pop_front();
    if (queued_.empty() || queued_.front().weather.time < from ||
        queuedFrom_ != context_.databaseDir())
      queueCatchup(from);
    const size_t n = std::min(batch(), queued_.size());
    samples->assign(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(n));
  } else {
    queued_.clear();
  }
  if (samples->empty()) {
    upload_sample s;
    s.weather = latest_;
    rainAt(latest_.time, &s);
    samples->push_back(s);
  }
  return true;
}

void Upload::queueCatchup(time_t from) {
  queued_.clear();
  queuedFrom_ = context_.databaseDir();
  std::vector<weather_sample> rows;
  if (rrdReadSamples(queuedFrom_.c_str(), from - 1, latest_.time - ROW_SECONDS,
                     latest_.rainCountsPerInch, &rows) != 0)
    return;
  std::vector<time_t> times;
  for (const weather_sample &r : rows) times.push_back(r.time);
  const std::vector<time_t> plan =
      uploadCatchupPlan(times, from, interval_, std::numeric_limits<size_t>::max());
  if (plan.empty()) return;
  RainHistory past;
  std::string why;
  if (!past.loadDatabase(databasePath(), plan.front() - RAIN_HISTORY_SECONDS, plan.back(), &why))
    dbg("upload %s: no rain history (%s)\n", service_->name, why.c_str());
  // Both ascending: one walk matches the rows to the plan.
  auto planned = plan.begin();
  for (const weather_sample &r : rows) {
    if (planned == plan.end()) break;
    if (r.time != *planned) continue;
    ++planned;
    // The database keeps the measured values; the rest is worked out as it
    // was for the live sample.
    upload_sample s;
    s.weather = r;
    const rain_figures rain = past.at(r.time);
    sampleDerive(&s.weather, rain);
    uploadRain(rain, &s);
    queued_.push_back(s);
  }
}

void Upload::rainAt(time_t when, upload_sample *s) const {
  uploadRain(rain_.at(when), s);
}

std::string Upload::databasePath() const {
  char path[RRD_PATH_SIZE];
  return rrdPath(path, sizeof path, context_.databaseDir()) == 0 ? path : "";
}

void Upload::upload_(time_t now, const std::vector<upload_sample> &samples) {
  std::string shown, why;
  busy_ = true;
  sending_ = samples.back().weather.time;
  sendingText_ = samplesText(samples);
  paceAt_ = now + UPLOAD_PACE_SECONDS;
  dbg("upload %s: %s\n", service_->name, sendingText_.c_str());
  const bool started = send(samples, &shown, &why);
  if (!shown.empty()) dbg("upload %s: %s\n", service_->name, redacted(shown).c_str());
  if (!started) ended(upload_outcome::FAILED, why);
}

void Upload::ended(upload_outcome outcome, const std::string &detail) {
  busy_ = false;
  request_ = 0;
  const time_t now = time(nullptr);
  const std::string said = redacted(detail);
  const std::string &when = sendingText_;
  if (outcome == upload_outcome::ACCEPTED) {
    // Saved before it is said: whoever reads the line finds the state on disk.
    last_ = sending_;
    if (service_->past) saveState();
    dbg("upload %s: %s accepted\n", service_->name, when.c_str());
    if (complained_) fprintf(stderr, "upload %s: accepted again\n", service_->name);
    failures_ = 0;
    retryAt_ = 0;
    complained_ = false;
    return;
  }
  failures_++;
  // The first wait is the interval, at most 30 s (or the lowered floor).
  int first = std::min(interval_, RETRY_FIRST_MAX);
  if (lowered() > 0) first = std::min(first, lowered());
  const int delay = uploadRetryDelay(first, failures_);
  retryAt_ = now + delay;
  const char *result = outcome == upload_outcome::REFUSED ? "refused" : "failed";
  dbg("upload %s: %s %s (%s); next try in %d s\n", service_->name, when.c_str(), result,
      said.c_str(), delay);
  // What needs the user gets one line per run of failures, not one a try.
  if (outcome == upload_outcome::FAILED || complained_) return;
  complained_ = true;
  fprintf(stderr, "upload %s: %s (%s); check [upload.%s]%s; trying again less often\n",
          service_->name,
          outcome == upload_outcome::REFUSED ? "the service refused the upload" : "TLS failed",
          said.c_str(), service_->name,
          outcome == upload_outcome::REFUSED ? "" : " and the system's certificates");
}

void Upload::saveState() {
  std::string why;
  // No fsync: the page cache outlives a killed kivamet, and an fsync on
  // slow storage would hold the loop on every accepted upload. A power cut
  // may roll the state back a little; those samples go again with the same
  // time stamp, which the services overwrite.
  if (!writeAtomically(".", statePath(), uploadStateText(last_), &why))
    fprintf(stderr, "upload %s: cannot save the state: %s\n", service_->name, why.c_str());
}

bool Upload::sendHttp(const http_request &request, bool (*accept)(const std::string &body),
                      std::string *why) {
  auto done = [this, accept](const http_result &r) {
    const bool ok = r.status >= 200 && r.status < 300;
    // 408 and 429 ask to come back later; any other 4xx will not change.
    const bool turnedDown =
        (ok && accept != nullptr && !accept(r.body)) ||
        (r.status >= 400 && r.status < 500 && r.status != 408 && r.status != 429);
    if (!r.answered) {
      ended(r.tls ? upload_outcome::UNTRUSTED : upload_outcome::FAILED, r.why);
    } else if (turnedDown) {
      ended(upload_outcome::REFUSED, answerText(r));
    } else {
      ended(ok ? upload_outcome::ACCEPTED : upload_outcome::FAILED, answerText(r));
    }
  };
  return httpStart(request, done, &request_, why);
}

void Upload::secret(const std::string &text) {
  if (text.empty()) return;
  secrets_.push_back(text);
  const std::string e = urlEscape(text);
  if (e != text) secrets_.push_back(e);
}

std::string Upload::redacted(const std::string &text) const {
  std::string r = text;
  for (const std::string &s : secrets_)
    for (size_t at = r.find(s); at != std::string::npos; at = r.find(s, at + 3))
      r.replace(at, s.size(), "***");
  return r;
}

void uploadRain(const rain_figures &f, upload_sample *s) {
  double *const spans[] = {&s->rainHour, &s->rainDay, &s->rainToday};
  const rain_span which[] = {RAIN_LAST_HOUR, RAIN_LAST_DAY, RAIN_TODAY};
  for (int i = 0; i < 3; i++)
    *spans[i] = f.known[which[i]] && f.share[which[i]] >= UPLOAD_RAIN_SHARE
                    ? rainInches(f.counts[which[i]], s->weather.rainCountsPerInch)
                    : -1;
}
