// weatherstub.h - kivamet-weatherstub as a child process: the loopback
// observation server that the web request and the daemon's tests talk to.
// Every wait is bounded and ends on a line of the stub's output.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "proc.h"

namespace testsupport {

// Bytes as the stub writes them in its request log and reads them in its
// control lines: CR, LF and backslash escaped C-style.
inline std::string stubEscape(const std::string &s) {
  std::string r;
  for (char c : s) {
    if (c == '\r')
      r += "\\r";
    else if (c == '\n')
      r += "\\n";
    else if (c == '\\')
      r += "\\\\";
    else
      r += c;
  }
  return r;
}

class WeatherStub {
 public:
  using ms = std::chrono::milliseconds;

  // Starts the stub on 127.0.0.1 (port 0: any free port), answering with the
  // pressure text given (empty: the stub's own default); with `aprs` an
  // APRS-IS server instead.
  bool start(int port = 0, const std::string &pressure = "", ms limit = std::chrono::seconds(10),
             bool aprs = false) {
    std::vector<std::string> argv = {binDir() + "/kivamet-weatherstub", "--port",
                                     std::to_string(port)};
    if (!pressure.empty()) argv.insert(argv.end(), {"--pressure", pressure});
    if (aprs) argv.push_back("--aprs");
    if (!p_.start(argv) || !p_.waitForStdout("\n", limit)) return false;
    const std::string ready = aprs ? "aprsstub 127.0.0.1 " : "weatherstub 127.0.0.1 ";
    const size_t at = p_.out().find(ready);
    if (at == std::string::npos) return false;
    port_ = atoi(p_.out().c_str() + at + ready.size());
    return port_ > 0;
  }

  int port() const { return port_; }
  // For KIVAMET_WEATHER_HOST.
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  Process &proc() { return p_; }

  // Sends a control line ("pressure 30.05", "mode close") and waits until
  // the stub acknowledged it, so the change is in force for the next client.
  bool command(const std::string &line, ms limit = std::chrono::seconds(10)) {
    return control(line, "ok " + line, limit);
  }

  // From now on answers exactly these bytes.
  bool raw(const std::string &answer, ms limit = std::chrono::seconds(10)) {
    return control("raw " + stubEscape(answer),
                   "ok raw " + std::to_string(answer.size()) + " bytes", limit);
  }

  // "connections N requests M" as the stub counts them now; "?" on timeout.
  std::string stats(ms limit = std::chrono::seconds(10)) {
    const size_t mark = p_.out().size();
    if (!p_.writeStdin("stats\n") || !p_.waitForStdout("stats ", limit, mark)) return "?";
    const size_t at = p_.out().find("stats ", mark);
    if (!p_.waitForStdout("\n", limit, at)) return "?";
    const size_t end = p_.out().find('\n', at);
    return p_.out().substr(at + 6, end - at - 6);
  }

  // From now on logs the text as ***, so that a key a test hands the
  // daemon never shows in a failing test's output.
  bool secret(const std::string &text, ms limit = std::chrono::seconds(10)) {
    return control("secret " + text, "ok secret", limit);
  }

  // The requests logged so far, each escaped on one line; or the lines of
  // another kind ("login ", "packet ").
  std::vector<std::string> requests(const std::string &kind = "request ") {
    p_.pump();
    std::vector<std::string> out;
    const std::string &text = p_.out();
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find('\n', at);
      if (end == std::string::npos) break;
      if (text.compare(at, kind.size(), kind) == 0)
        out.push_back(text.substr(at + kind.size(), end - at - kind.size()));
      at = end + 1;
    }
    return out;
  }

  bool waitRequest(const std::string &escapedRequest, ms limit = std::chrono::seconds(10)) {
    return p_.waitForStdout("request " + escapedRequest + "\n", limit);
  }

 private:
  bool control(const std::string &line, const std::string &ack, ms limit) {
    const size_t mark = p_.out().size();
    return p_.writeStdin(line + "\n") && p_.waitForStdout(ack + "\n", limit, mark);
  }

  Process p_;
  int port_ = -1;
};

}  // namespace testsupport
