// harness.h - end-to-end test rig: the real hub, station simulator, weather
// stub and daemon as child processes, and a test peer speaking raw xPL
// through the hub. Everything runs inside the private network namespace of
// kivamet_netns_main; every wait is bounded and ends on an output line or a
// datagram, never on a sleep.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "broker.h"
#include "proc.h"
#include "weatherstub.h"

namespace e2e {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

// Time left before a deadline; zero once it has passed.
milliseconds left(Clock::time_point deadline);

// The interface all programs of a test share: a veth test interface when
// the namespace allows one, else loopback.
struct Net {
  std::string iface;      // for -interface
  std::string addr;       // interface address, dotted
  std::string broadcast;  // directed broadcast address, dotted
};
// Set up once per test process.
const Net &testNet();

// ---- xPL messages as the test peer sees them ----------------------------

struct XplMsg {
  std::string type;    // xpl-cmnd, xpl-stat, xpl-trig
  std::string source;  // vendor-device.instance
  std::string target;  // "*" or vendor-device.instance
  std::string schema;  // class.type
  std::vector<std::pair<std::string, std::string>> body;
  std::string raw;

  // First value of a body item (name compared ignoring case), or "" when
  // absent; has() tells the two apart.
  std::string get(const std::string &name) const;
  bool has(const std::string &name) const;
  std::vector<std::string> all(const std::string &name) const;
  bool isFrom(const std::string &vendorDevice) const;  // source starts with "vendor-device."
};

// Parses one datagram; false when it is not a two-block xPL message.
bool parseXpl(const std::string &text, XplMsg *msg);

// Builds the text of a message: header block then schema block.
std::string xplText(const std::string &type, const std::string &source, const std::string &target,
                    const std::string &schema,
                    const std::vector<std::pair<std::string, std::string>> &body);

// A hub client with its own UDP socket. It announces itself with a
// heartbeat so the hub relays every message to it, and keeps every message
// it receives (its own echoes left out) in arrival order.
class XplPeer {
 public:
  explicit XplPeer(std::string source = "kivatest-peer.e2e");
  ~XplPeer();
  XplPeer(const XplPeer &) = delete;
  XplPeer &operator=(const XplPeer &) = delete;

  // Binds, sends the heartbeat and waits until the hub echoes it back.
  bool join(milliseconds limit = seconds(10));
  const std::string &source() const { return source_; }

  bool sendRaw(const std::string &text);
  // Straight to a port of the test interface's address, past the hub: on
  // return the datagram waits in that socket.
  bool sendRawTo(const std::string &text, int port);
  bool send(const std::string &type, const std::string &target, const std::string &schema,
            const std::vector<std::pair<std::string, std::string>> &body);
  // sensor.request request=current device=<name> to the target.
  bool sensorRequest(const std::string &target, const std::string &device);
  // Asks the target for config.current and waits for the answer: the target
  // has handled everything sent before.
  bool roundTrip(const std::string &target, milliseconds limit = seconds(30));

  // Index of the next message to arrive: a mark for waitFor.
  size_t mark() const { return messages_.size(); }
  // Waits for a message at or after `from` that matches; null on timeout.
  const XplMsg *waitFor(const std::function<bool(const XplMsg &)> &match, milliseconds limit,
                        size_t from = 0);
  // The sensor.basic reply for a device name (compared exactly).
  const XplMsg *waitForReading(const std::string &device, milliseconds limit, size_t from);
  // Reads whatever is waiting without blocking (or for up to `limit`).
  void pump(milliseconds limit = milliseconds(0));
  const std::vector<XplMsg> &messages() const { return messages_; }

 private:
  std::string source_;
  int fd_ = -1;
  int port_ = 0;
  std::vector<XplMsg> messages_;
};

// Datagrams thrown at a UDP port by a thread of the test, round and round
// as fast as it can send, until stopped or the time limit has passed.
class DatagramFlood {
 public:
  ~DatagramFlood() { stop(); }
  // Returns once the first hundred thousand datagrams are out.
  bool start(const std::string &addr, int port, std::vector<std::string> datagrams,
             milliseconds limit);
  void stop();

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

// ---- Programs -----------------------------------------------------------

class Hub {
 public:
  bool start(milliseconds limit = seconds(10));
  testsupport::Process &proc() { return p_; }

 private:
  testsupport::Process p_;
};

// The station simulator; frozen weather unless asked otherwise.
class StationSim {
 public:
  struct Options {
    bool tcp = true;  // else a pty
    bool frozen = true;
    bool pace = false;
    int model = 0;
    std::vector<std::string> args;  // more options: --archive-history HOURS ...
  };
  bool start(const Options &opts, milliseconds limit = seconds(10));
  bool start() { return start(Options()); }
  testsupport::Process &proc() { return p_; }

  int port() const { return port_; }                   // TCP
  const std::string &ptyPath() const { return pty_; }  // pty

  bool command(const std::string &line);  // one stdin control line
  // A control line the simulator confirms ("ok <line>") before it returns.
  bool control(const std::string &line, milliseconds limit = seconds(10));
  // Sets bytes at an even nibble address; waits until the simulator took it
  // (a peek round trip), so the next station command sees them.
  bool poke(const std::string &memory, unsigned addr, const std::vector<unsigned char> &bytes);
  // Archive memory ("archive") is read by byte address and byte count.
  bool peek(const std::string &memory, unsigned addr, int nibbles,
            std::vector<unsigned char> *bytes, milliseconds limit = seconds(5));
  bool image(std::vector<unsigned char> *bytes, milliseconds limit = seconds(5));

  // Command frames received (the hex after "rx "), in order, from an output
  // offset on; and the "write station ..." lines likewise.
  size_t outMark() {
    p_.pump();
    return p_.out().size();
  }
  std::vector<std::string> rx(size_t from = 0);
  std::vector<std::string> writes(size_t from = 0);
  bool waitForRx(const std::string &hex, milliseconds limit, size_t from = 0);

 private:
  bool awaitLine(const std::string &prefix, std::string *line, milliseconds limit);
  testsupport::Process p_;
  int port_ = 0;
  std::string pty_;
  size_t lineScan_ = 0;
};

using testsupport::WeatherStub;

// The daemon's stored configuration, as kivamet.xml holds it.
struct DaemonConfig {
  std::string instance = "e2etest";
  std::string type;
  std::string device;
  std::string netAddress;
  std::string netPort;
  std::string location;
  std::string rrddir;
  // The xPL form of the six settings, for a config.response.
  std::vector<std::pair<std::string, std::string>> items() const;
};

class Daemon {
 public:
  // A fresh working directory.
  Daemon();
  ~Daemon();  // stops a daemon still running, then removes the directory
  const std::string &dir() const { return dir_; }
  // More environment for the next start (KIVAMET_MQTT_PASSWORD, KIVAMET_LOG_PERIOD).
  std::map<std::string, std::string> env;
  void writeConfig(const DaemonConfig &config);
  // Starts kivamet in the working directory on the test interface, with
  // the weather host given (always a loopback stub). A restart after the
  // previous run ended gets a fresh process record, output included.
  bool start(const std::string &weatherHost, const std::vector<std::string> &args = {"-d"});
  testsupport::Process &proc() { return *p_; }
  bool waitErr(const std::string &text, milliseconds limit, size_t from = 0) {
    return p_->waitForStderr(text, limit, from);
  }
  size_t errMark() {
    p_->pump();
    return p_->err().size();
  }
  // Counts occurrences of a text in stderr after a mark.
  int countErr(const std::string &text, size_t from = 0);

 private:
  std::unique_ptr<testsupport::Process> p_;
  std::string dir_;
};

// A line of /proc/PID/status in kB ("VmRSS", "VmHWM"); -1 when absent.
long statusKb(pid_t pid, const std::string &key);

// Runs a program to its end and gives its stdout; empty on failure.
std::string runOutput(const std::vector<std::string> &argv, milliseconds limit = seconds(20));

// xplctl run to its end on the test interface with a 15 s time limit.
struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};
ToolRun xplctl(const std::vector<std::string> &args);

// `rrdtool info` of a database, by key ("ds[rain].max").
std::map<std::string, std::string> rrdInfo(const std::string &path);
// The values of the last update, by data source name; "time" holds its time.
std::map<std::string, std::string> rrdLast(const std::string &path);

// Mounts a fresh tmpfs on a directory, or remounts the one there, with one
// option ("size=64k", "ro", "rw"), in a mount namespace of the test process's
// own that its later programs share; false with the reason when not allowed.
bool mountTmpfs(const std::string &dir, const std::string &option, std::string *why,
                bool remount = false);

// Everything of a usual run, started in order: hub, peer, weather stub,
// station simulator, and a daemon configured through kivamet.xml to reach
// the simulator. Tests tweak `config`, `simOptions` and the simulator's
// memory before calling startDaemon().
struct Rig {
  // Shows each program's output when the test failed or
  // KIVAMET_E2E_VERBOSE is set, then removes the scratch directories.
  ~Rig();
  Hub hub;
  XplPeer peer;
  WeatherStub web;
  StationSim sim;
  testsupport::Broker broker;  // started by the tests of live publishing
  Daemon daemon;
  DaemonConfig config;
  StationSim::Options simOptions;
  std::string rrdDir;
  bool storeConfig = true;                // false: no kivamet.xml, so unconfigured
  DatagramFlood flood;                    // stopped with the rig
  std::vector<std::string> extraArgs;     // added to the daemon's command line
  milliseconds startLimit = seconds(60);  // until the first heartbeat
  std::string skipWhy;  // set by a step that cannot stage its fault on this system
  // Each program's output on stderr (called by the destructor).
  void dumpOutputs();
  // A fresh directory removed with the rig when the test passed.
  std::string scratchDir(const std::string &tag);
  std::vector<std::string> scratch;

  // Hub, peer, stub and simulator; fills config for the simulator.
  bool startNetworkAndStation(const std::string &pressure = "29.92");
  // Writes kivamet.xml (unless `stored` is false) and starts the daemon,
  // waiting for its first heartbeat.
  bool startDaemon(bool stored = true, const std::vector<std::string> &args = {"-d"});
  std::string target() const { return "quorvel-davis." + config.instance; }
  // Sends a config.response with the given settings and waits for the
  // heartbeat-free sign that the settings pass ran: the next sensor image
  // request at the simulator.
  bool reconfigure(const DaemonConfig &next, milliseconds limit = seconds(30));
  // Asks for a value and returns the reply's "current" (empty on timeout).
  std::string reading(const std::string &device, milliseconds limit = seconds(30));
  // The daemon's listening port, from its last heartbeat the peer saw; 0 if none.
  int daemonPort() const;
  // Waits for the next logging pass to end and reports whether it stored a
  // sample later than any before in config.rrddir's database.
  bool waitSample(milliseconds limit);
};

// Known weather in the simulator: inside offset -5, barometer -10 (STNDRD
// 10), 100 rain counts an inch, dew point 55.0, wind chill 70.0, and an
// image of inside 70.0, outside as given (tenths of a degree F), 10 mph
// from 225, 29.921, 45 %, 87 %, and the rain total given.
bool pokeStation(Rig &rig, unsigned outside, unsigned rain = 1234);

// Hex of bytes as the simulator logs them ("57 52 44").
std::string hex(const std::vector<unsigned char> &bytes);

}  // namespace e2e
