// xplnet_support.h - helpers for the xPL network tests: plain UDP peers,
// a settable wall clock, captured log lines and message texts.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "netns.h"
#include "stderr_capture.h"
#include "xPL.h"
#include "xPL_priv.h"

namespace xplnet {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The test interface every network test puts up; broadcasts on it loop
// back to local sockets.
constexpr const char *kInterface = "xnt0";
constexpr const char *kAddress = "10.77.0.1";
constexpr const char *kBroadcast = "10.77.0.255";

inline bool addInterface(std::string *why) {
  return testsupport::addTestInterface(kInterface, std::string(kAddress) + "/24", why);
}

// A plain UDP endpoint standing for another xPL program or the hub.
class UdpPeer {
 public:
  explicit UdpPeer(int port = 0) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bound_ = bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0;
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<struct sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~UdpPeer() {
    if (fd_ >= 0) close(fd_);
  }
  UdpPeer(const UdpPeer &) = delete;
  UdpPeer &operator=(const UdpPeer &) = delete;

  bool bound() const { return bound_; }
  int port() const { return port_; }
  int fd() const { return fd_; }

  bool sendTo(const std::string &text, const char *address, int port) const {
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &to.sin_addr);
    return sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<struct sockaddr *>(&to),
                  sizeof to) == static_cast<ssize_t>(text.size());
  }

  // One datagram, waiting at most the limit; false when none came. The
  // sender's port goes to fromPort when asked for.
  bool receive(std::string *text, milliseconds limit, int *fromPort = nullptr) const {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1) return false;
    char buffer[70000];
    struct sockaddr_in from;
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<struct sockaddr *>(&from),
                         &fromLen);
    if (n < 0) return false;
    text->assign(buffer, static_cast<size_t>(n));
    if (fromPort != nullptr) *fromPort = ntohs(from.sin_port);
    return true;
  }

  // Receives until a datagram contains the text, or the limit passes.
  bool receiveContaining(const std::string &needle, milliseconds limit, std::string *text) const {
    auto deadline = Clock::now() + limit;
    std::string got;
    while (Clock::now() < deadline) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (!receive(&got, left)) return false;
      if (got.find(needle) != std::string::npos) {
        if (text != nullptr) *text = got;
        return true;
      }
    }
    return false;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  bool bound_ = false;
};

// Runs the library's loop in short turns until the condition holds or the
// limit passes. The loop itself returns after each quiet turn.
inline bool loopUntil(const std::function<bool()> &done, milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    xPL_processMessages(50);
  }
  return true;
}

// A wall clock the test moves by hand.
struct FakeClock {
  static time_t now;
  static time_t read() { return now; }
  FakeClock(time_t start) {
    now = start;
    xPL_timeSource = read;
  }
  ~FakeClock() {
    xPL_timeSource = [] { return time(nullptr); };
  }
};
inline time_t FakeClock::now = 0;

// The loop remembers the seconds of its last checks, so every test plays
// its clock later than any earlier test (and than the real clock) did.
inline time_t freshEpoch() {
  static time_t epoch = 4000000000;
  epoch += 1000000;
  return epoch;
}

// One periodic pass of the loop at the given second.
inline void passAt(time_t second) {
  FakeClock::now = second;
  xPL_processMessages(0);
}

using testsupport::StderrCapture;

// Debug lines on, and captured, while it lives.
class DebugCapture {
 public:
  DebugCapture() { xPL_setDebugging(TRUE); }
  ~DebugCapture() { xPL_setDebugging(FALSE); }
  DebugCapture(const DebugCapture &) = delete;
  DebugCapture &operator=(const DebugCapture &) = delete;
  std::string text() { return capture_.text(); }

 private:
  StderrCapture capture_;
};

// The text of one message; body lines as "name=value\n" pairs.
inline std::string messageText(const std::string &type, const std::string &source,
                               const std::string &target, const std::string &schema,
                               const std::string &body) {
  return type + "\n{\nhop=1\nsource=" + source + "\ntarget=" + target + "\n}\n" + schema + "\n{\n" +
         body + "}\n";
}

inline std::string heartbeatText(const std::string &source, const std::string &schema, int port,
                                 const std::string &address, int interval = 5,
                                 const std::string &version = "") {
  std::string body = "interval=" + std::to_string(interval) + "\nport=" + std::to_string(port) +
                     "\nremote-ip=" + address + "\n";
  if (!version.empty()) body += "version=" + version + "\n";
  return messageText("xpl-stat", source, "*", schema, body);
}

// Value of one body item in a message text, "" when absent.
inline std::string itemOf(const std::string &text, const std::string &name) {
  std::string key = "\n" + name + "=";
  size_t at = text.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return text.substr(at, text.find('\n', at) - at);
}

}  // namespace xplnet
