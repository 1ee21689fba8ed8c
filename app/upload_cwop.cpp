// upload_cwop.cpp - the Citizen Weather Observer Program: one APRS
// position weather report over APRS-IS, a short TCP exchange each time
// (connect, the server's banner, our login, its answer, the report,
// goodbye), all on the event loop: the name lookup runs in the resolver's
// own thread, the connection is a loop device. CWOP takes current weather
// only, at minutes spread by the station ID's last digit.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "helpers.h"
#include "upload.h"
#include "version.h"

namespace {

bool serverFits(const char *text);

const setting_key KEYS[] = {
    {"station", SETTING_TEXT, "the station ID or call sign as a string", 0, 0, nullptr, 0},
    {"passcode", SETTING_INTEGER, "-1 to 32767", -1, 32767, nullptr, SETTING_SECRET},
};

const upload_service SERVICE = {
    "cwop",  // [upload.cwop]
    KEYS,
    sizeof KEYS / sizeof KEYS[0],
    "cwop.aprs.net:14580",  // the endpoint's default
    600,                    // interval
    300,                    // floor
    false,                  // no past observations
    "server",               // the endpoint's setting
    "host:port as a string",
    serverFits,
};

// An APRS-IS line is at most 512 bytes; a longer one is no answer of ours.
constexpr size_t LINE_MAX = 512;
// After the report, the server gets this long to close first: an abrupt
// close could lose the report in flight.
constexpr int GOODBYE_SECONDS = 2;

bool splitServer(const std::string &text, std::string *host, std::string *port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  int p = 0;
  if (intInRange(text.c_str() + colon + 1, 1, 65535, &p) != 0) return false;
  *host = text.substr(0, colon);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']')
    *host = host->substr(1, host->size() - 2);
  *port = std::to_string(p);
  return !host->empty();
}

bool serverFits(const char *text) {
  std::string host, port;
  return splitServer(text, &host, &port);
}

// Three digits of a whole number, or "..." when not known.
std::string digits(bool known, long v, int width) {
  if (!known) return std::string(static_cast<size_t>(width), '.');
  char text[32];
  snprintf(text, sizeof text, "%0*ld", width, v);
  return text;
}

// DDMM.mmN or DDDMM.mmW: degrees, minutes and hundredths of a minute,
// leading zeros kept; rounding may carry into the degrees.
std::string position(double degrees, int degreeDigits, char positive, char negative) {
  const long hundredths = std::lround(std::fabs(degrees) * 6000.0);
  char text[32];
  snprintf(text, sizeof text, "%0*ld%02ld.%02ld%c", degreeDigits, hundredths / 6000,
           hundredths % 6000 / 100, hundredths % 100, degrees < 0 ? negative : positive);
  return text;
}

class Cwop;
Cwop *active = nullptr;  // one CWOP output at most; its loop device reaches it here

enum class Step { IDLE, LOOKUP, CONNECT, BANNER, LOGIN, GOODBYE };

class Cwop : public Upload {
 public:
  explicit Cwop(const output_context &context) : Upload(&SERVICE, context) {}
  ~Cwop() override {
    close_();
    // What the resolver still works on stays allocated: it writes there
    // when it is done, and the process is ending.
    if (active == this) active = nullptr;
  }

  static void onIo(int, int revents, int) {
    if (active != nullptr) active->io(revents);
  }

 protected:
  bool configure(std::string *why) override {
    station_ = text("station", "");
    if (station_.empty()) {
      *why = "needs station";
      return false;
    }
    if (!context_.place.known) {
      *why = "needs the [station] latitude and longitude";
      return false;
    }
    passcode_ = std::to_string(integer("passcode", -1));
    if (passcode_ != "-1") secret(passcode_);
    splitServer(endpoint_, &host_, &port_);
    active = this;
    return true;
  }

  time_t due(time_t last) const override {
    // The first report after a start takes the next slot, even when the
    // interval is longer than an hour.
    if (last == 0) return cwopNextSlot(startedAt_, station_, std::min(interval_, 3600));
    return cwopNextSlot(last, station_, interval_);
  }

  bool send(const std::vector<upload_sample> &samples, std::string *shown,
            std::string *why) override {
    close_();  // what is left of the last exchange's goodbye
    report_ = cwopPacket(station_, context_.place, samples[0]);
    login_ = "user " + station_ + " pass " + passcode_ + " vers kivamet " KIVAMET_VERSION;
    *shown = "APRS-IS " + endpoint_ + ": " + redacted(login_) + " | " + report_;
    deadline_ = time(nullptr) + HTTP_TIME_LIMIT_MS / 1000;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo *numeric = nullptr;
    if (getaddrinfo(host_.c_str(), port_.c_str(), &hints, &numeric) == 0) {
      const bool ok = connect_(numeric, why);
      freeaddrinfo(numeric);
      return ok;
    }
    // A name: looked up by the resolver's thread, asked for each second.
    lookup_ = new Lookup;
    lookup_->host = host_;
    lookup_->port = port_;
    lookup_->hints.ai_socktype = SOCK_STREAM;
    lookup_->hints.ai_flags = AI_NUMERICSERV;
    lookup_->request.ar_name = lookup_->host.c_str();
    lookup_->request.ar_service = lookup_->port.c_str();
    lookup_->request.ar_request = &lookup_->hints;
    struct gaicb *list[1] = {&lookup_->request};
    if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
      delete lookup_;
      lookup_ = nullptr;
      *why = "cannot look " + host_ + " up";
      return false;
    }
    step_ = Step::LOOKUP;
    return true;
  }

  void pending(time_t now) override {
    reap();
    if (step_ == Step::LOOKUP) {
      const int rc = gai_error(&lookup_->request);
      if (rc != EAI_INPROGRESS) {
        struct addrinfo *found = lookup_->request.ar_result;
        delete lookup_;
        lookup_ = nullptr;
        std::string why;
        if (rc != 0) {
          fail(host_ + ": " + gai_strerror(rc));
        } else if (!connect_(found, &why)) {
          fail(why);
        }
        if (found != nullptr) freeaddrinfo(found);
        return;
      }
    }
    if (step_ == Step::GOODBYE && now >= goodbyeAt_) {
      close_();
      return;
    }
    if (step_ != Step::IDLE && step_ != Step::GOODBYE && now >= deadline_)
      fail("no answer from " + endpoint_ + " within " + std::to_string(HTTP_TIME_LIMIT_MS / 1000) +
           " s");
  }

  void cancel() override { close_(); }

 private:
  // A lookup the resolver may still be working on: it stays allocated
  // until the resolver is done with it, even when we no longer wait.
  struct Lookup {
    std::string host, port;
    struct addrinfo hints = {};
    struct gaicb request = {};
  };

  bool connect_(const struct addrinfo *found, std::string *why) {
    for (const struct addrinfo *a = found; a != nullptr; a = a->ai_next) {
      fd_ = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd_ < 0) continue;
      const int one = 1;
      setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (connect(fd_, a->ai_addr, a->ai_addrlen) == 0 || errno == EINPROGRESS) {
        step_ = Step::CONNECT;
        watch(false, true);
        return true;
      }
      *why = endpoint_ + ": " + strerror(errno);
      ::close(fd_);
      fd_ = -1;
    }
    if (why->empty()) *why = endpoint_ + ": no address to connect to";
    return false;
  }

  void watch(bool read, bool write) {
    xPL_removeIODevice(fd_);
    xPL_addIODevice(onIo, 0, fd_, read ? TRUE : FALSE, write ? TRUE : FALSE, TRUE);
  }

  void io(int revents) {
    if (step_ == Step::CONNECT) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) return fail(endpoint_ + ": " + strerror(err));
      step_ = Step::BANNER;
      watch(true, false);
      return;
    }
    char buf[LINE_MAX];
    const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (step_ == Step::GOODBYE) {
      if (n <= 0) close_();
      return;
    }
    if (n <= 0 || (revents & (POLLERR | POLLNVAL)))
      return fail(endpoint_ + " closed the connection" +
                  (step_ == Step::LOGIN ? " after the login" : ""));
    in_.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = in_.find('\n')) != std::string::npos;) {
      std::string line = in_.substr(0, nl);
      in_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!heard(line)) return;
    }
    if (in_.size() > LINE_MAX) fail(endpoint_ + " sent no line an APRS-IS server sends");
  }

  // A line from the server: its banner, then the answer to our login;
  // false once the exchange is over.
  bool heard(const std::string &line) {
    if (step_ == Step::BANNER) {
      if (!say(login_)) return false;
      step_ = Step::LOGIN;
      return true;
    }
    if (step_ == Step::LOGIN && line.compare(0, 10, "# logresp ") == 0) {
      if (!say(report_)) return false;
      shutdown(fd_, SHUT_WR);
      step_ = Step::GOODBYE;
      goodbyeAt_ = time(nullptr) + GOODBYE_SECONDS;
      ended(upload_outcome::ACCEPTED, "report sent");
      return false;
    }
    return true;  // a server comment; the answer is still to come
  }

  bool say(const std::string &line) {
    const std::string text = line + "\r\n";
    const ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(text.size())) return true;
    fail(endpoint_ + ": " + (n < 0 ? strerror(errno) : "could not send a whole line"));
    return false;
  }

  void fail(const std::string &why) {
    close_();
    ended(upload_outcome::FAILED, why);
  }

  void close_() {
    if (fd_ >= 0) {
      xPL_removeIODevice(fd_);
      ::close(fd_);
      fd_ = -1;
    }
    if (lookup_ != nullptr) {
      gai_cancel(&lookup_->request);
      abandoned_.push_back(lookup_);
      lookup_ = nullptr;
    }
    reap();
    in_.clear();
    step_ = Step::IDLE;
  }

  // Frees the given-up lookups the resolver is done with. One it could not
  // cancel (a hung name server) waits here until the resolver lets it go.
  void reap() {
    abandoned_.erase(std::remove_if(abandoned_.begin(), abandoned_.end(),
                                    [](Lookup *l) {
                                      if (gai_error(&l->request) == EAI_INPROGRESS) return false;
                                      if (l->request.ar_result != nullptr)
                                        freeaddrinfo(l->request.ar_result);
                                      delete l;
                                      return true;
                                    }),
                     abandoned_.end());
  }

  std::string station_, passcode_, host_, port_, login_, report_, in_;
  int fd_ = -1;
  Step step_ = Step::IDLE;
  Lookup *lookup_ = nullptr;
  std::vector<Lookup *> abandoned_;
  time_t deadline_ = 0;
  time_t goodbyeAt_ = 0;
};

std::unique_ptr<Output> make(const output_context &context) {
  return uploadMake<Cwop>(&SERVICE, context);
}

}  // namespace

std::string cwopPacket(const std::string &station, const station_place &place,
                       const upload_sample &s) {
  const weather_sample &w = s.weather;
  struct tm utc;
  gmtime_r(&w.time, &utc);
  char when[32];
  snprintf(when, sizeof when, "%02d%02d%02dz", utc.tm_mday, utc.tm_hour, utc.tm_min);
  std::string p = station + ">APRS,TCPIP*:@" + when + position(place.latitude, 2, 'N', 'S') + "/" +
                  position(place.longitude, 3, 'E', 'W') + "_";
  // North is 360: 000 reads as no wind direction.
  const int dir = w.value[Q_WIND_DIRECTION] % 360;
  p += digits(w.known[Q_WIND_DIRECTION], dir == 0 ? 360 : dir, 3) + "/";
  p += digits(w.known[Q_WIND_SPEED], w.value[Q_WIND_SPEED], 3);
  // The station has no gust sensor.
  p += "g...";
  const long f = std::lround(w.value[Q_OUTSIDE_TEMP] / 10.0);
  if (!w.known[Q_OUTSIDE_TEMP])
    p += "t...";
  else if (f < 0)
    p += "t-" + digits(true, std::min(-f, 99L), 2);
  else
    p += "t" + digits(true, std::min(f, 999L), 3);
  const struct {
    char tag;
    double inches;
  } rains[] = {{'r', s.rainHour}, {'p', s.rainDay}, {'P', s.rainToday}};
  for (const auto &r : rains)
    p += r.tag + digits(r.inches >= 0, std::min(std::lround(r.inches * 100), 999L), 3);
  const int h = std::clamp(w.value[Q_OUTSIDE_HUMIDITY], 1, 100);
  p += "h" + digits(w.known[Q_OUTSIDE_HUMIDITY], h % 100, 2);
  // Tenths of a hectopascal from thousandths of an inch of mercury.
  p += "b" + digits(w.known[Q_BAROMETER], std::lround(w.value[Q_BAROMETER] * 0.338639), 5);
  return p;
}

time_t cwopNextSlot(time_t after, const std::string &station, int interval) {
  const char last = station.empty() ? '0' : station.back();
  const int minute = last >= '0' && last <= '9' ? last - '0' : 0;
  const time_t step = interval > 0 ? interval : 1;
  // Less often than hourly: the ID's minute of the first hour an interval
  // on, less the minute by which the report's sample may follow its slot.
  const time_t earliest = step > 3600 ? after + step - 60 : after + 1;
  for (time_t hour = after - after % 3600;; hour += 3600)
    for (time_t t = hour + minute * 60; t < hour + 3600; t += step)
      if (t >= earliest) return t;
}

extern const output_kind CWOP_OUTPUT = {"cwop", uploadTable(&SERVICE), nullptr, make};
