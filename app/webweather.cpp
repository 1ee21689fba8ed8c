// webweather.cpp - one HTTP/1.0 request for a current-observations document
// and the barometric pressure it carries.
#include "webweather.h"

#include <poll.h>
#include <regex.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fdguard.h"
#include "netconnect.h"

namespace {

using Clock = std::chrono::steady_clock;

// The US weather service publishes every observing station's current
// observations at /xml/current_obs/<station>.xml on this server.
const char *const WEB_DEFAULT_HOST = "w1.weather.gov";
const int WEB_DEFAULT_PORT = 80;
const char *const WEB_HOST_ENV = "KIVAMET_WEATHER_HOST";

// Two digits, a point, two digits: the form the service uses for inches.
const char *const WEB_PRESSURE_PATTERN = "^.*<pressure_in>([0-9]{2}\\.[0-9]{2}).*$";

constexpr size_t WEB_LINE_SIZE = 8192;   // one read: at most 8191 characters and the NUL
constexpr size_t WEB_HOST_SIZE = 254;    // a DNS name has at most 253 characters
constexpr size_t WEB_LOCATION_MAX = 64;  // station identifiers are four letters; room to spare
constexpr size_t WEB_REQUEST_SIZE = 512;
constexpr size_t WEB_RECV_SIZE = 4096;
// A document is a few kilobytes; a server that streams on and on is cut off
// by size and by time (each read may take a time limit, the whole answer a
// few of them), so one attempt never holds the daemon's loop for long.
constexpr size_t WEB_ANSWER_MAX = 1u << 20;
constexpr int WEB_ANSWER_LIMITS = 3;
constexpr int16_t WEB_NONE = -1;

int webTimeoutMs = WEB_TIMEOUT_MS;

struct Server {
  char host[WEB_HOST_SIZE];
  int port;
};

class RegexGuard {
 public:
  RegexGuard() { ok_ = regcomp(&re_, WEB_PRESSURE_PATTERN, REG_EXTENDED) == 0; }
  ~RegexGuard() {
    if (ok_) regfree(&re_);
  }
  RegexGuard(const RegexGuard &) = delete;
  RegexGuard &operator=(const RegexGuard &) = delete;
  bool ok() const { return ok_; }
  const regex_t *get() const { return &re_; }

 private:
  regex_t re_;
  bool ok_;
};

bool isAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "host" or "host:port"; the name goes into the Host header as well, so it
// must be a plain host name or dotted address.
bool parseServer(const char *text, Server *srv) {
  if (text == nullptr) {
    snprintf(srv->host, sizeof srv->host, "%s", WEB_DEFAULT_HOST);
    srv->port = WEB_DEFAULT_PORT;
    return true;
  }
  const char *colon = strchr(text, ':');
  size_t hostLen = colon ? static_cast<size_t>(colon - text) : strlen(text);
  if (hostLen == 0 || hostLen >= sizeof srv->host) return false;
  for (size_t i = 0; i < hostLen; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!isAsciiAlnum(c) && c != '-' && c != '.' && c != '_') return false;
  }
  memcpy(srv->host, text, hostLen);
  srv->host[hostLen] = '\0';
  srv->port = WEB_DEFAULT_PORT;
  if (colon == nullptr) return true;
  const char *digits = colon + 1;
  size_t nd = strlen(digits);
  if (nd == 0 || nd > 5) return false;
  long port = 0;
  for (size_t i = 0; i < nd; i++) {
    if (digits[i] < '0' || digits[i] > '9') return false;
    port = port * 10 + (digits[i] - '0');
  }
  if (port < 1 || port > 65535) return false;
  srv->port = static_cast<int>(port);
  return true;
}

int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is ready for events or the deadline passes; false on
// timeout or poll failure.
bool waitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int n = poll(&p, 1, msLeft(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

// Reads the answer the way a line-oriented stdio read would: each piece
// ends after a line feed, after WEB_LINE_SIZE - 1 characters, or at the end
// of the answer, so a longer line arrives in pieces.
class LineReader {
 public:
  LineReader(int fd, int timeoutMs)
      : fd_(fd),
        timeoutMs_(timeoutMs),
        answerDeadline_(Clock::now() + std::chrono::milliseconds(timeoutMs) * WEB_ANSWER_LIMITS) {}

  // Fills line (WEB_LINE_SIZE bytes) with the next NUL-terminated piece.
  // False at the end of the answer, on a read error, or when time or size
  // ran out.
  bool next(char *line) {
    size_t n = 0;
    while (n < WEB_LINE_SIZE - 1) {
      if (pos_ == have_ && !fill()) break;
      char c = buf_[pos_++];
      line[n++] = c;
      if (c == '\n') break;
    }
    line[n] = '\0';
    return n > 0 && !failed_;
  }

 private:
  bool fill() {
    if (ended_ || failed_) return false;
    if (total_ >= WEB_ANSWER_MAX) {
      failed_ = true;
      return false;
    }
    auto deadline = std::min(answerDeadline_, Clock::now() + std::chrono::milliseconds(timeoutMs_));
    for (;;) {
      if (!waitReady(fd_, POLLIN, deadline)) {
        failed_ = true;
        return false;
      }
      ssize_t got = recv(fd_, buf_, sizeof buf_, 0);
      if (got > 0) {
        have_ = static_cast<size_t>(got);
        pos_ = 0;
        total_ += have_;
        return true;
      }
      if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      // Orderly end, or the peer reset the connection: either way the
      // answer is over, and what arrived before still counts.
      ended_ = true;
      return false;
    }
  }

  int fd_;
  int timeoutMs_;
  Clock::time_point answerDeadline_;
  char buf_[WEB_RECV_SIZE];
  size_t have_ = 0;
  size_t pos_ = 0;
  size_t total_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// "DD.DD" inches to thousandths: the four digits followed by a zero.
int16_t toThousandths(const char *m) {
  int v = ((m[0] - '0') * 1000 + (m[1] - '0') * 100 + (m[3] - '0') * 10 + (m[4] - '0')) * 10;
  return v > INT16_MAX ? WEB_NONE : static_cast<int16_t>(v);
}

int16_t scanAnswer(int fd, const regex_t *re, int timeoutMs) {
  LineReader reader(fd, timeoutMs);
  std::unique_ptr<char[]> line(new char[WEB_LINE_SIZE]);
  while (reader.next(line.get())) {
    regmatch_t m[2];
    if (regexec(re, line.get(), 2, m, 0) != 0) continue;
    // The first matching line decides, also when its value does not fit.
    if (m[1].rm_so < 0 || m[1].rm_eo - m[1].rm_so != 5) return WEB_NONE;
    return toThousandths(line.get() + m[1].rm_so);
  }
  return WEB_NONE;
}

}  // namespace

// The location goes into the request line unescaped, so only characters
// that stand for themselves in a URL path segment may pass: no blank or
// control character that would end or split the line, no '/', '?', '#' or
// '%' that would change what is asked for.
int web_locationfits(const char *rs) {
  if (rs == nullptr || *rs == '\0') return 0;
  size_t n = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(rs); *p; p++, n++) {
    if (n >= WEB_LOCATION_MAX) return 0;
    if (isAsciiAlnum(*p) || strchr("-._~!$&'()*+,;=:@", *p) != nullptr) continue;
    return 0;
  }
  return 1;
}

int16_t web_bp(const char *rs) {
  if (!web_locationfits(rs)) return WEB_NONE;
  Server srv;
  if (!parseServer(getenv(WEB_HOST_ENV), &srv)) return WEB_NONE;

  // A server on a port other than 80 is named with its port in the Host
  // line, as HTTP expects.
  char request[WEB_REQUEST_SIZE];
  int len;
  if (srv.port == WEB_DEFAULT_PORT)
    len = snprintf(request, sizeof request,
                   "GET /xml/current_obs/%s.xml HTTP/1.0\r\nHost: %s\r\n\r\n", rs, srv.host);
  else
    len = snprintf(request, sizeof request,
                   "GET /xml/current_obs/%s.xml HTTP/1.0\r\nHost: %s:%d\r\n\r\n", rs, srv.host,
                   srv.port);
  if (len < 0 || static_cast<size_t>(len) >= sizeof request) return WEB_NONE;

  RegexGuard re;
  if (!re.ok()) return WEB_NONE;

  const int timeoutMs = webTimeoutMs;
  FdGuard fd(davis_connect(srv.host, srv.port, timeoutMs));
  if (fd.get() < 0) return WEB_NONE;

  // One write; a server that has already gone away must not raise SIGPIPE.
  ssize_t sent;
  do {
    sent = send(fd.get(), request, static_cast<size_t>(len), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != len) return WEB_NONE;

  return scanAnswer(fd.get(), re.get(), timeoutMs);
}

void web_settimeout(int ms) {
  webTimeoutMs = ms > 0 ? ms : WEB_TIMEOUT_MS;
}
