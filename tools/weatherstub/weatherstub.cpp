// weatherstub.cpp - kivamet-weatherstub: a loopback stand-in for the public
// current-observations web service, for tests and the demo.
//
// Serves GET /xml/current_obs/<location>.xml over HTTP/1.0 on 127.0.0.1,
// logs every request's bytes, and takes control lines on stdin so a test
// can change the pressure or make the server misbehave. It also stands in
// for the upload services: "mode success" takes any request as an upload
// service would, and --aprs makes it an APRS-IS server that logs the
// login and the reports. A secret told on stdin shows as *** in the log.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr size_t MAX_CLIENTS = 64;
constexpr size_t REQUEST_MAX = 16384;  // longer requests are answered as they stand
constexpr size_t DRAIN_MAX = 65536;    // bytes read after the answer before giving up on a client
constexpr size_t CONTROL_LINE_MAX = 65536;
constexpr size_t IO_SIZE = 4096;

const char *const USAGE =
    "usage: kivamet-weatherstub [--port PORT] [--pressure TEXT] [--aprs]\n"
    "  serves GET /xml/current_obs/<location>.xml on 127.0.0.1 (PORT 0: any free port)\n"
    "  --aprs  an APRS-IS server instead: a banner, 'login <line>' and '# logresp' for\n"
    "          the login, 'packet <line>' for every other line\n"
    "stdin control lines:\n"
    "  pressure <text>                 what <pressure_in> holds from now on\n"
    "  mode ok|silent|close|nomatch    answer / never answer / close at once /\n"
    "                                  answer without the pressure element\n"
    "  mode success                    answer any request '200 OK' with 'success'\n"
    "  secret <text>                   show <text> as *** in what is logged\n"
    "  raw <C-escaped text>            answer exactly these bytes from now on\n"
    "  stats                           print 'stats connections <n> requests <n>'\n";

enum class Mode { Ok, Silent, Close, NoMatch, Raw, Success };

struct Client {
  int fd = -1;
  std::string in;
  std::string out;
  size_t sent = 0;
  size_t drained = 0;
  bool answered = false;  // request logged and the answer (if any) queued
  bool eof = false;       // the client sends no more
  bool done = false;      // to be closed
  bool talk = false;      // an APRS-IS client: the line stays open both ways
};

struct Stub {
  int listenFd = -1;
  bool stdinOpen = true;
  std::string control;
  Mode mode = Mode::Ok;
  std::string pressure = "30.05";
  std::string raw;
  std::vector<Client> clients;
  unsigned long connections = 0;
  unsigned long requests = 0;
  bool aprs = false;
  std::vector<std::string> secrets;
};

volatile sig_atomic_t stopRequested = 0;

void onStop(int) {
  stopRequested = 1;
}

// One line whatever the bytes: \r, \n, \t and \\ as in C, other
// unprintable bytes as \xHH.
std::string escape(const std::string &s) {
  std::string r;
  for (unsigned char c : s) {
    switch (c) {
      case '\r':
        r += "\\r";
        break;
      case '\n':
        r += "\\n";
        break;
      case '\t':
        r += "\\t";
        break;
      case '\\':
        r += "\\\\";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char hex[8];
          snprintf(hex, sizeof hex, "\\x%02x", c);
          r += hex;
        } else {
          r += static_cast<char>(c);
        }
    }
  }
  return r;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape(const std::string &s) {
  std::string r;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      r += s[i];
      continue;
    }
    char c = s[++i];
    switch (c) {
      case 'r':
        r += '\r';
        break;
      case 'n':
        r += '\n';
        break;
      case 't':
        r += '\t';
        break;
      case '0':
        r += '\0';
        break;
      case 'x':
        if (i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
          r += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
          i += 2;
        } else {
          r += 'x';
        }
        break;
      default:
        r += c;
    }
  }
  return r;
}

std::string xmlEscape(const std::string &s) {
  std::string r;
  for (char c : s) {
    switch (c) {
      case '&':
        r += "&amp;";
        break;
      case '<':
        r += "&lt;";
        break;
      case '>':
        r += "&gt;";
        break;
      case '"':
        r += "&quot;";
        break;
      case '\'':
        r += "&apos;";
        break;
      default:
        r += c;
    }
  }
  return r;
}

// The observation document, shaped like the public service's: one element
// a line, the pressure in inches with two decimals on a line of its own.
std::string document(const std::string &location, const std::string &pressure, bool withPressure) {
  char when[64] = "";
  time_t now = time(nullptr);
  struct tm tmv;
  if (localtime_r(&now, &tmv) != nullptr)
    strftime(when, sizeof when, "%a, %d %b %Y %H:%M:%S %z", &tmv);
  std::string loc = xmlEscape(location);
  std::string d;
  d += "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n";
  d += "<current_observation version=\"1.0\">\n";
  d += "\t<credit>kivamet loopback observations</credit>\n";
  d += "\t<location>Loopback test site</location>\n";
  d += "\t<station_id>" + loc + "</station_id>\n";
  d += "\t<latitude>47.38</latitude>\n";
  d += "\t<longitude>8.54</longitude>\n";
  d += std::string("\t<observation_time_rfc822>") + when + "</observation_time_rfc822>\n";
  d += "\t<weather>Fair</weather>\n";
  d += "\t<temperature_string>59.0 F (15.0 C)</temperature_string>\n";
  d += "\t<temp_f>59.0</temp_f>\n";
  d += "\t<temp_c>15.0</temp_c>\n";
  d += "\t<relative_humidity>62</relative_humidity>\n";
  d += "\t<wind_string>Southwest at 6.9 MPH (6 KT)</wind_string>\n";
  d += "\t<wind_dir>Southwest</wind_dir>\n";
  d += "\t<wind_degrees>220</wind_degrees>\n";
  d += "\t<wind_mph>6.9</wind_mph>\n";
  if (withPressure) {
    char *end = nullptr;
    double inches = strtod(pressure.c_str(), &end);
    if (!pressure.empty() && end != nullptr && *end == '\0') {
      char mb[64];
      snprintf(mb, sizeof mb, "\t<pressure_mb>%.1f</pressure_mb>\n", inches * 33.8639);
      d += mb;
    }
    d += "\t<pressure_in>" + pressure + "</pressure_in>\n";
  }
  d += "\t<dewpoint_string>46.0 F (7.8 C)</dewpoint_string>\n";
  d += "\t<dewpoint_f>46.0</dewpoint_f>\n";
  d += "\t<visibility_mi>10.00</visibility_mi>\n";
  d += "</current_observation>\n";
  return d;
}

std::string response(const char *status, const std::string &type, const std::string &body) {
  std::string r = std::string("HTTP/1.0 ") + status + "\r\n";
  r += "Server: kivamet-weatherstub\r\n";
  r += "Content-Type: " + type + "\r\n";
  r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  r += "Connection: close\r\n\r\n";
  return r + body;
}

// The location of "GET /xml/current_obs/<location>.xml HTTP/1.x", or false.
bool requestedLocation(const std::string &req, std::string *location) {
  static const std::string prefix = "GET /xml/current_obs/";
  static const std::string suffix = ".xml";
  if (req.compare(0, prefix.size(), prefix) != 0) return false;
  size_t end = req.find_first_of(" \r\n", prefix.size());
  if (end == std::string::npos) return false;
  std::string path = req.substr(prefix.size(), end - prefix.size());
  if (path.size() <= suffix.size() ||
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  *location = path.substr(0, path.size() - suffix.size());
  return location->find('/') == std::string::npos;
}

void say(const std::string &line) {
  fputs(line.c_str(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

// A log line with every secret as ***, an Authorization header's
// credentials included.
void sayHidden(const Stub &stub, const std::string &line) {
  std::string shown = line;
  static const std::string AUTH = "Authorization: ";
  for (size_t at = shown.find(AUTH); at != std::string::npos; at = shown.find(AUTH, at + 1)) {
    const size_t from = shown.find(' ', at + AUTH.size());
    const size_t end = shown.find("\\r", at);
    if (from != std::string::npos && end != std::string::npos && from < end)
      shown.replace(from + 1, end - from - 1, "***");
  }
  for (const std::string &secret : stub.secrets)
    for (size_t at = shown.find(secret); at != std::string::npos; at = shown.find(secret, at + 3))
      shown.replace(at, secret.size(), "***");
  say(shown);
}

void answer(Stub &stub, Client &c) {
  c.answered = true;
  stub.requests++;
  sayHidden(stub, "request " + escape(c.in));
  std::string location;
  switch (stub.mode) {
    case Mode::Silent:
    case Mode::Close:  // the mode changed after this client was accepted
      return;
    case Mode::Raw:
      c.out = stub.raw;
      break;
    case Mode::Success:
      c.out = response("200 OK", "text/plain", "success\n");
      break;
    case Mode::Ok:
    case Mode::NoMatch:
      if (requestedLocation(c.in, &location))
        c.out = response("200 OK", "text/xml",
                         document(location, stub.pressure, stub.mode == Mode::Ok));
      else
        c.out = response("404 Not Found", "text/plain", "no such observation document\n");
      break;
  }
  // Nothing more to say: half-close once the answer is out, and read until
  // the client closes, so that unread bytes never turn our close into a
  // reset that could destroy the answer in flight.
  if (c.out.empty()) shutdown(c.fd, SHUT_WR);
}

// The head, and the body its Content-Length announces.
bool requestComplete(const std::string &in) {
  if (in.size() >= REQUEST_MAX) return true;
  size_t end = in.find("\r\n\r\n");
  size_t endSize = 4;
  if (end == std::string::npos) {
    end = in.find("\n\n");
    endSize = 2;
  }
  if (end == std::string::npos) return false;
  std::string head = in.substr(0, end);
  for (char &ch : head) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  const size_t length = head.find("\ncontent-length:");
  if (length == std::string::npos) return true;
  return in.size() >= end + endSize + strtoul(head.c_str() + length + 16, nullptr, 10);
}

// An APRS-IS client's lines: the login gets its answer, the rest is logged.
void readAprsLines(Stub &stub, Client &c) {
  size_t nl;
  while ((nl = c.in.find('\n')) != std::string::npos) {
    std::string line = c.in.substr(0, nl);
    c.in.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 5, "user ") == 0) {
      stub.requests++;
      sayHidden(stub, "login " + escape(line));
      const size_t end = line.find(' ', 5);
      c.out += "# logresp " + line.substr(5, end - 5) + " unverified, server KIVASTUB\r\n";
    } else if (!line.empty()) {
      sayHidden(stub, "packet " + escape(line));
    }
  }
}

void readClient(Stub &stub, Client &c) {
  char buf[IO_SIZE];
  for (;;) {
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // The client is gone (or finished sending): log what it asked, if
      // anything, then let it go once its answer is out or lost.
      c.eof = true;
      if (!c.talk && !c.answered && !c.in.empty()) answer(stub, c);
      if (c.sent >= c.out.size() || n < 0) c.done = true;
      return;
    }
    if (c.answered) {
      c.drained += static_cast<size_t>(n);
      if (c.drained > DRAIN_MAX) c.done = true;
      continue;
    }
    size_t room = REQUEST_MAX - c.in.size();
    c.in.append(buf, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    if (stub.aprs) {
      readAprsLines(stub, c);
    } else if (requestComplete(c.in)) {
      answer(stub, c);
    }
  }
}

void writeClient(Client &c) {
  while (c.sent < c.out.size()) {
    ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      c.done = true;
      return;
    }
    c.sent += static_cast<size_t>(n);
  }
  if (!c.talk) shutdown(c.fd, SHUT_WR);
  if (c.eof) c.done = true;
}

void acceptClients(Stub &stub) {
  for (;;) {
    int fd = accept4(stub.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN, or a connection that vanished before we took it
    }
    stub.connections++;
    if (stub.mode == Mode::Close || stub.clients.size() >= MAX_CLIENTS) {
      close(fd);
      continue;
    }
    Client c;
    c.fd = fd;
    c.talk = stub.aprs;
    if (stub.aprs && stub.mode != Mode::Silent) c.out = "# kivamet-weatherstub aprs\r\n";
    stub.clients.push_back(std::move(c));
  }
}

void control(Stub &stub, const std::string &line) {
  size_t sp = line.find(' ');
  std::string cmd = line.substr(0, sp);
  std::string arg = sp == std::string::npos ? "" : line.substr(sp + 1);
  if (cmd == "pressure") {
    stub.pressure = arg;
  } else if (cmd == "mode") {
    if (arg == "ok")
      stub.mode = Mode::Ok;
    else if (arg == "silent")
      stub.mode = Mode::Silent;
    else if (arg == "close")
      stub.mode = Mode::Close;
    else if (arg == "nomatch")
      stub.mode = Mode::NoMatch;
    else if (arg == "success")
      stub.mode = Mode::Success;
    else {
      say("error unknown mode: " + escape(arg));
      return;
    }
  } else if (cmd == "raw") {
    stub.raw = unescape(arg);
    stub.mode = Mode::Raw;
    say("ok raw " + std::to_string(stub.raw.size()) + " bytes");
    return;
  } else if (cmd == "secret") {
    if (!arg.empty()) stub.secrets.push_back(arg);
    say("ok secret");  // never the secret itself
    return;
  } else if (cmd == "stats") {
    say("stats connections " + std::to_string(stub.connections) + " requests " +
        std::to_string(stub.requests));
    return;
  } else if (!cmd.empty()) {
    say("error unknown command: " + escape(cmd));
    return;
  } else {
    return;
  }
  // An acknowledgement lets a test wait until the change is in force.
  say("ok " + escape(line));
}

void readControl(Stub &stub) {
  char buf[IO_SIZE];
  ssize_t n = read(0, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    // The stub outlives its stdin (the demo runs it in the background).
    stub.stdinOpen = false;
    return;
  }
  stub.control.append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = stub.control.find('\n')) != std::string::npos) {
    std::string line = stub.control.substr(0, nl);
    stub.control.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    control(stub, line);
  }
  if (stub.control.size() > CONTROL_LINE_MAX) {
    say("error control line too long");
    stub.control.clear();
  }
}

bool parsePort(const char *text, int *port) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 65535) return false;
  *port = static_cast<int>(v);
  return true;
}

int openListener(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char **argv) {
  int port = 0;
  Stub stub;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(USAGE, stdout);
      return 0;
    } else if (a == "--port" && i + 1 < argc && parsePort(argv[i + 1], &port)) {
      i++;
    } else if (a == "--pressure" && i + 1 < argc) {
      stub.pressure = argv[++i];
    } else if (a == "--aprs") {
      stub.aprs = true;
    } else {
      fputs(USAGE, stderr);
      return 2;
    }
  }

  signal(SIGPIPE, SIG_IGN);
  // SIGTERM and SIGINT are only let in while waiting in ppoll, so a stop
  // request can never slip in between the check and the wait.
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  stub.listenFd = openListener(port);
  if (stub.listenFd < 0) {
    fprintf(stderr, "kivamet-weatherstub: cannot listen on 127.0.0.1:%d: %s\n", port,
            strerror(errno));
    return 1;
  }
  struct sockaddr_in bound;
  socklen_t blen = sizeof bound;
  getsockname(stub.listenFd, reinterpret_cast<struct sockaddr *>(&bound), &blen);
  printf("%s 127.0.0.1 %d\n", stub.aprs ? "aprsstub" : "weatherstub", ntohs(bound.sin_port));
  fflush(stdout);

  std::vector<struct pollfd> fds;
  while (!stopRequested) {
    fds.clear();
    // Control lines first, then new connections, then clients: a test that
    // changes the mode and then connects always gets the new mode.
    fds.push_back({stub.stdinOpen ? 0 : -1, POLLIN, 0});
    fds.push_back({stub.listenFd, POLLIN, 0});
    for (const Client &c : stub.clients) {
      short ev = c.eof ? 0 : POLLIN;
      if (c.sent < c.out.size()) ev |= POLLOUT;
      fds.push_back({c.fd, ev, 0});
    }
    const size_t polled = stub.clients.size();
    int n = ppoll(fds.data(), fds.size(), nullptr, &waitMask);
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("kivamet-weatherstub: poll");
      break;
    }
    if (fds[0].revents) readControl(stub);
    if (fds[1].revents) acceptClients(stub);
    for (size_t i = 0; i < polled; i++) {
      Client &c = stub.clients[i];
      short rev = fds[i + 2].revents;
      if (!c.eof && (rev & (POLLIN | POLLHUP | POLLERR))) readClient(stub, c);
      if (!c.done && c.sent < c.out.size()) writeClient(c);
    }
    for (size_t i = 0; i < stub.clients.size();) {
      if (stub.clients[i].done) {
        close(stub.clients[i].fd);
        stub.clients.erase(stub.clients.begin() + static_cast<long>(i));
      } else {
        i++;
      }
    }
  }
  for (Client &c : stub.clients) close(c.fd);
  close(stub.listenFd);
  return 0;
}
