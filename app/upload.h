/* upload.h - sharing the weather with the public networks and a
 * time-series database. Each service is one output file
 * (upload_wunderground.cpp, upload_cwop.cpp, ...) with its [upload.NAME]
 * table and one registry line; what they share is here:
 *
 * - the settings every service has: enabled, interval (with its floor) and
 *   the endpoint (`url` or `server`, defaulting to the public service);
 * - the schedule: the latest logged sample once its interval has passed
 *   (for a service that takes no past observations, only while it is at
 *   most two minutes old), and for one that does the catch-up: after
 *   kivamet or the service was away, the missed samples from the weather
 *   database, oldest first, spaced by the interval, at most a day back and
 *   at most one request every UPLOAD_PACE_SECONDS;
 * - the state file of such a service, beside kivamet.xml, with the time of
 *   the last sample the service accepted, written atomically;
 * - retries with a growing delay, and one error line for a refused key;
 * - the -d lines (service, sample time, request with the secrets as ***,
 *   result);
 * - the query of the Weather Underground family (WU, PWSweather, WOW).
 *
 * Everything runs on the event loop: HTTP through http.h, CWOP's APRS-IS
 * connection as a loop device of its own.
 */
#ifndef KIVAMET_UPLOAD_H
#define KIVAMET_UPLOAD_H

#include <time.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "http.h"
#include "output.h"
#include "rain.h"

/* At most one request every this many seconds while catching up. */
#define UPLOAD_PACE_SECONDS 2
/* How far back a catch-up reaches: the database's one-minute archive. */
#define UPLOAD_CATCHUP_SECONDS 86400
/* The longest wait before trying a failed upload again. */
#define UPLOAD_RETRY_MAX_SECONDS 600
/* Lowers every interval's floor, and the first wait after a failure, to
 * this many seconds: for tests only. */
#define UPLOAD_MIN_INTERVAL_ENV "KIVAMET_UPLOAD_MIN_INTERVAL"

/* An endpoint check: an http:// or https:// URL with a host. */
bool uploadUrlFits(const char *text);
/* Such an endpoint as messages describe it. */
#define UPLOAD_URL_EXPECTS "an http:// or https:// URL"

/* What an upload file declares about its service. */
struct upload_service {
  const char *name;        /* "wunderground": table [upload.NAME], state file, messages */
  const setting_key *keys; /* its keys beyond enabled, interval and the endpoint */
  size_t keyCount;
  const char *endpoint; /* the endpoint's default: the public service */
  int interval;         /* default seconds between uploads */
  int floor;            /* the least interval */
  bool past;            /* takes past observations: catch-up and a state file */
  /* The endpoint's setting, as messages describe it, and its check: a URL
   * unless the service says otherwise. */
  const char *endpointKey = "url";
  const char *endpointExpects = UPLOAD_URL_EXPECTS;
  bool (*endpointFits)(const char *text) = uploadUrlFits;
};

/* The service's settings table: enabled, interval (floor to 86400 s; the
 * floor lowered by KIVAMET_UPLOAD_MIN_INTERVAL), the endpoint, then its own
 * keys. Lives as long as the process. */
const settings_table *uploadTable(const upload_service *service);

/* A sample as the services send it: the weather, and the rain over the
 * spans they ask for, in inches. */
struct upload_sample {
  weather_sample weather = {};
  double rainHour = -1;  /* the hour up to the sample; below 0: not known */
  double rainDay = -1;   /* the 24 hours up to it */
  double rainToday = -1; /* since the local midnight before it */
};

/* The part of a rain span that must be known for its figure to be sent:
 * a day kivamet saw only from noon has no figure since midnight. */
#define UPLOAD_RAIN_SHARE 0.95

/* The rain spans of a sample from the figures at its time. */
void uploadRain(const rain_figures &figures, upload_sample *s);

/* How an exchange with a service ended. */
enum class upload_outcome {
  ACCEPTED,
  REFUSED,   /* the service turned it down (a key, a station, a database): the user must act */
  UNTRUSTED, /* TLS failed (a certificate not trusted, a clock far out): the user must act */
  FAILED     /* not reached, no answer in time, an error on its side, ... */
};

/* ---- Pure pieces ------------------------------------------------------- */

/* The state file's text for a last accepted sample, and back; false when
 * the text holds no such time. */
std::string uploadStateText(time_t last);
bool uploadStateParse(const std::string &text, time_t *last);

/* The wait before the next try after `failures` failures in a row (1: the
 * first): `first` seconds, doubled each time, at most
 * UPLOAD_RETRY_MAX_SECONDS. The first is the lesser of the interval and
 * 30 s (and of KIVAMET_UPLOAD_MIN_INTERVAL's seconds). */
int uploadRetryDelay(int first, int failures);

/* The sample times a catch-up sends next, oldest first: of the database's
 * rows (`rows`, ascending, those with any value known), the first at or
 * after `due`, then each the first at least `interval` after the one
 * before, at most `batch`. */
std::vector<time_t> uploadCatchupPlan(const std::vector<time_t> &rows, time_t due, int interval,
                                      size_t batch);

/* A quantity's value (by its key) in a unit system as the services write
 * it; false when it is not known. */
bool uploadValueText(const upload_sample &s, const char *key, unit_system units, std::string *text);

/* Text as a URL carries it, %-escaped. */
std::string urlEscape(const std::string &text);

/* A query's items; a secret one shows as *** in -d lines. */
struct query_item {
  std::string name;
  std::string value;
  bool secret = false;
};
typedef std::vector<query_item> query;

/* name=value&... with the values escaped; `shown`: secrets as ***. */
std::string queryText(const query &items, bool shown);

/* The Weather Underground family's fields of a sample, in US units:
 * dateutc, tempf, humidity, dewptf, baromin, windspeedmph, winddir,
 * rainin, dailyrainin (each only when known), softwaretype. */
void wuFields(const upload_sample &s, query *items);

/* CWOP's APRS position weather report of a sample, without the line end:
 * ID>APRS,TCPIP*:@DDHHMMzDDMM.mmN/DDDMM.mmW_DIR/SPDg...tTTTrRRRpPPPPPPPhHHbBBBBB */
std::string cwopPacket(const std::string &station, const station_place &place,
                       const upload_sample &s);

/* The first CWOP report time after `after`: the minute of the hour given
 * by the station ID's last digit (0 when it ends in a letter), then every
 * `interval` seconds within the hour. An interval above an hour gives that
 * minute of the first hour at least `interval` after `after`, less a minute
 * (the report's sample follows its slot by up to a minute). */
time_t cwopNextSlot(time_t after, const std::string &station, int interval);

/* ---- The shared output ----------------------------------------------- */

class Upload : public Output {
 public:
  Upload(const upload_service *service, const output_context &context);
  ~Upload() override;

  bool start(std::string *why) override;
  bool logged(const weather_sample *samples, size_t count) override;
  void stop() override;

  /* Starts what is due at `now` (the shared one-second tick). */
  void tick(time_t now);

 protected:
  /* Sends the samples (oldest first, at most batch()) and calls ended()
   * once, later, from the loop. False with the reason when nothing
   * started (counted as a failure). `shown` gets the request for the -d
   * line, its secrets as ***. */
  virtual bool send(const std::vector<upload_sample> &samples, std::string *shown,
                    std::string *why) = 0;
  /* Samples one request may carry. */
  virtual size_t batch() const { return 1; }
  /* The earliest sample time that may go next, after the last one sent
   * (0: none yet this run). */
  virtual time_t due(time_t last) const;
  /* Checks the service's own settings; false with the reason. */
  virtual bool configure(std::string *why) = 0;
  /* Drops an exchange under way (stop). */
  virtual void cancel() {}
  /* Each second, before anything new is started. */
  virtual void pending(time_t now) { (void)now; }

  /* The exchange ended; `detail` says how (a status and the answer's
   * first words, or why it failed). */
  void ended(upload_outcome outcome, const std::string &detail);
  /* An HTTP exchange for send(): ACCEPTED for a 2xx answer that `accept`
   * takes (null: any); REFUSED for one it does not take and for a 4xx
   * (but 408 and 429, which ask to try later); UNTRUSTED when TLS failed;
   * else FAILED. */
  bool sendHttp(const http_request &request, bool (*accept)(const std::string &body),
                std::string *why);
  /* The rain spans up to the latest logged sample, at `when`. */
  void rainAt(time_t when, upload_sample *s) const;
  /* No exchange under way and none failing. */
  bool idle() const { return !busy_ && failures_ == 0; }
  /* Text that must never be shown (keys, passwords), taken out of
   * everything printed. */
  void secret(const std::string &text);
  std::string redacted(const std::string &text) const;

  /* The service's settings. */
  std::string text(const char *key, const std::string &fallback) const;
  long long integer(const char *key, long long fallback) const;
  bool boolean(const char *key, bool fallback) const;

  const upload_service *service_;
  output_context context_;
  const std::string table_; /* upload.NAME */
  int interval_ = 0;
  std::string endpoint_;
  time_t startedAt_ = 0;

 private:
  bool pick(time_t now, std::vector<upload_sample> *samples);
  /* Reads the catch-up's samples from `from` on into queued_. */
  void queueCatchup(time_t from);
  std::string databasePath() const;
  void upload_(time_t now, const std::vector<upload_sample> &samples);
  void saveState();
  std::string statePath() const;

  std::vector<std::string> secrets_;
  /* The database's rain before the first logged sample, then each one's. */
  RainHistory rain_;
  bool rainLoaded_ = false;
  /* The catch-up's samples still to be accepted, oldest first: read from
   * the database once, sent batch() at a time. */
  std::deque<upload_sample> queued_;
  std::string queuedFrom_; /* the database folder they were read from */
  weather_sample latest_ = {};
  bool haveLatest_ = false;
  time_t last_ = 0;         /* the last sample accepted (0: none known) */
  time_t sending_ = 0;      /* the newest sample of the exchange under way */
  std::string sendingText_; /* its samples, for -d lines */
  bool busy_ = false;
  uint64_t request_ = 0; /* the HTTP request under way (0: none) */
  time_t paceAt_ = 0;    /* no request before this */
  time_t retryAt_ = 0;   /* no try before this, after a failure */
  int failures_ = 0;
  bool complained_ = false; /* an error line was written for this run of failures */
};

/* The Weather Underground family's upload (Weather Underground, PWSweather,
 * WOW): a GET of the endpoint with the station and its key under the
 * service's own names, then wuFields. */
struct wu_names {
  const char *stationKey;                  /* the setting with the station: "station" */
  const char *stationItem;                 /* its name in the query: "ID" */
  const char *keyItem;                     /* the key's: "PASSWORD" */
  const char *action;                      /* "updateraw" as the first item, or null */
  bool (*accept)(const std::string &body); /* the 2xx answer it takes; null: any */
};

class WuUpload : public Upload {
 public:
  WuUpload(const upload_service *service, const wu_names *names, const output_context &context)
      : Upload(service, context), names_(names) {}

 protected:
  bool configure(std::string *why) override;
  bool send(const std::vector<upload_sample> &samples, std::string *shown,
            std::string *why) override;
  /* The query of a sample. */
  query items(const upload_sample &s) const;

  const wu_names *names_;
  std::string station_, key_;
};

/* Whether the settings turn the service on: its table is there, and
 * enabled is not false. */
bool uploadWanted(const upload_service *service, const output_context &context);

/* An upload file's make(): the output when its settings turn it on. */
template <class Service>
std::unique_ptr<Output> uploadMake(const upload_service *service, const output_context &context) {
  if (!uploadWanted(service, context)) return nullptr;
  return std::make_unique<Service>(context);
}

#endif /* KIVAMET_UPLOAD_H */
