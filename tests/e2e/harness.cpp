// harness.cpp - the end-to-end test rig.
#include "harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "netns.h"

namespace e2e {

milliseconds left(Clock::time_point deadline) {
  auto d = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return d.count() > 0 ? d : milliseconds(0);
}

namespace {

bool equalsIgnoringCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::vector<std::string> splitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> words(const std::string &line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

// Complete lines of the text from an offset on (a partial last line is
// left for later).
std::vector<std::string> linesFrom(const std::string &text, size_t from) {
  if (from >= text.size()) return {};
  size_t end = text.rfind('\n');
  if (end == std::string::npos || end < from) return {};
  return splitLines(text.substr(from, end + 1 - from));
}

// Removes a directory the harness made (a kivamet-* temporary directory),
// unless the test failed and its files tell why.
void removeScratch(const std::string &dir) {
  if (dir.find("/kivamet-") == std::string::npos || ::testing::Test::HasFailure()) return;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace

// ---- Network ------------------------------------------------------------------

const Net &testNet() {
  static Net net;
  if (!net.iface.empty()) return net;
  std::string why;
  if (testsupport::inPrivateNetns() &&
      testsupport::addTestInterface("kvt0", "10.77.0.1/24", &why)) {
    net = {"kvt0", "10.77.0.1", "10.77.0.255"};
  } else {
    fprintf(stderr, "e2e: no test interface (%s); using loopback\n", why.c_str());
    net = {"lo", "127.0.0.1", "127.255.255.255"};
  }
  return net;
}

std::string hex(const std::vector<unsigned char> &bytes) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); i++) {
    snprintf(buf, sizeof buf, i ? " %02x" : "%02x", bytes[i]);
    out += buf;
  }
  return out;
}

// ---- xPL text ------------------------------------------------------------------

std::string XplMsg::get(const std::string &name) const {
  for (const auto &kv : body)
    if (equalsIgnoringCase(kv.first, name)) return kv.second;
  return "";
}

bool XplMsg::has(const std::string &name) const {
  for (const auto &kv : body)
    if (equalsIgnoringCase(kv.first, name)) return true;
  return false;
}

std::vector<std::string> XplMsg::all(const std::string &name) const {
  std::vector<std::string> out;
  for (const auto &kv : body)
    if (equalsIgnoringCase(kv.first, name)) out.push_back(kv.second);
  return out;
}

bool XplMsg::isFrom(const std::string &vendorDevice) const {
  return source.compare(0, vendorDevice.size() + 1, vendorDevice + ".") == 0;
}

bool parseXpl(const std::string &text, XplMsg *msg) {
  const std::vector<std::string> lines = splitLines(text);
  // type, {, items..., }, schema, {, items..., }
  size_t i = 0;
  if (lines.size() < 7) return false;
  msg->raw = text;
  msg->type = lines[i++];
  if (lines[i++] != "{") return false;
  for (; i < lines.size() && lines[i] != "}"; i++) {
    size_t eq = lines[i].find('=');
    if (eq == std::string::npos) return false;
    const std::string name = lines[i].substr(0, eq), value = lines[i].substr(eq + 1);
    if (name == "source") msg->source = value;
    if (name == "target") msg->target = value;
  }
  if (++i >= lines.size()) return false;
  msg->schema = lines[i++];
  if (i >= lines.size() || lines[i++] != "{") return false;
  msg->body.clear();
  for (; i < lines.size() && lines[i] != "}"; i++) {
    size_t eq = lines[i].find('=');
    if (eq == std::string::npos) return false;
    msg->body.emplace_back(lines[i].substr(0, eq), lines[i].substr(eq + 1));
  }
  return i < lines.size();
}

std::string xplText(const std::string &type, const std::string &source, const std::string &target,
                    const std::string &schema,
                    const std::vector<std::pair<std::string, std::string>> &body) {
  std::string t =
      type + "\n{\nhop=1\nsource=" + source + "\ntarget=" + target + "\n}\n" + schema + "\n{\n";
  for (const auto &kv : body) t += kv.first + "=" + kv.second + "\n";
  return t + "}\n";
}

// ---- Test peer ------------------------------------------------------------------

XplPeer::XplPeer(std::string source) : source_(std::move(source)) {}

XplPeer::~XplPeer() {
  if (fd_ >= 0) close(fd_);
}

bool XplPeer::join(milliseconds limit) {
  const Net &net = testNet();
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return false;
  int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return false;
  socklen_t len = sizeof sa;
  getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
  port_ = ntohs(sa.sin_port);

  const std::string beat =
      xplText("xpl-stat", source_, "*", "hbeat.app",
              {{"interval", "5"}, {"port", std::to_string(port_)}, {"remote-ip", net.addr}});
  const auto deadline = Clock::now() + limit;
  char buf[4096];
  while (Clock::now() < deadline) {
    // Announce again each second until the hub relays us our own heartbeat.
    sendRaw(beat);
    const auto slice = Clock::now() + seconds(1);
    while (Clock::now() < slice) {
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left(slice).count())) <= 0) break;
      ssize_t n = recv(fd_, buf, sizeof buf - 1, 0);
      if (n <= 0) continue;
      XplMsg m;
      if (parseXpl(std::string(buf, static_cast<size_t>(n)), &m) && m.source == source_)
        return true;
    }
  }
  return false;
}

namespace {

bool sendDatagram(int fd, const std::string &text, const std::string &addr, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, addr.c_str(), &to.sin_addr);
  ssize_t n = sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  return n == static_cast<ssize_t>(text.size());
}

}  // namespace

bool XplPeer::sendRaw(const std::string &text) {
  return sendDatagram(fd_, text, testNet().broadcast, 3865);
}

bool XplPeer::sendRawTo(const std::string &text, int port) {
  // Local delivery: the kernel queues it at the receiver before sendto returns.
  return sendDatagram(fd_, text, testNet().addr, port);
}

bool XplPeer::send(const std::string &type, const std::string &target, const std::string &schema,
                   const std::vector<std::pair<std::string, std::string>> &body) {
  return sendRaw(xplText(type, source_, target, schema, body));
}

bool XplPeer::sensorRequest(const std::string &target, const std::string &device) {
  return send("xpl-cmnd", target, "sensor.request", {{"request", "current"}, {"device", device}});
}

bool XplPeer::roundTrip(const std::string &target, milliseconds limit) {
  const size_t from = mark();
  send("xpl-cmnd", target, "config.current", {{"command", "request"}});
  return waitFor([](const XplMsg &m) { return m.schema == "config.current"; }, limit, from) !=
         nullptr;
}

void XplPeer::pump(milliseconds limit) {
  if (fd_ < 0) return;
  pollfd p = {fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd_, buf, sizeof buf - 1, 0);
    if (n < 0) break;
    XplMsg m;
    if (!parseXpl(std::string(buf, static_cast<size_t>(n)), &m)) continue;
    if (m.source == source_) continue;
    messages_.push_back(std::move(m));
  }
}

const XplMsg *XplPeer::waitFor(const std::function<bool(const XplMsg &)> &match, milliseconds limit,
                               size_t from) {
  const auto deadline = Clock::now() + limit;
  size_t next = from;
  for (;;) {
    for (; next < messages_.size(); next++)
      if (match(messages_[next])) return &messages_[next];
    if (Clock::now() >= deadline) return nullptr;
    pump(std::min(left(deadline), milliseconds(500)));
  }
}

const XplMsg *XplPeer::waitForReading(const std::string &device, milliseconds limit, size_t from) {
  return waitFor(
      [&](const XplMsg &m) {
        return m.type == "xpl-stat" && m.schema == "sensor.basic" && m.get("device") == device;
      },
      limit, from);
}

// ---- Flood --------------------------------------------------------------------------

bool DatagramFlood::start(const std::string &addr, int port, std::vector<std::string> datagrams,
                          milliseconds limit) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || datagrams.empty()) return false;
  const auto until = Clock::now() + limit;
  // The first ones from here: any reader is behind once start() returns.
  for (size_t i = 0; i < 100000; i++) sendDatagram(fd, datagrams[i % datagrams.size()], addr, port);
  stop_ = false;
  thread_ = std::thread([this, fd, until, addr, port, datagrams] {
    for (size_t i = 0; !stop_ && Clock::now() < until; i++)
      sendDatagram(fd, datagrams[i % datagrams.size()], addr, port);
    close(fd);
  });
  return true;
}

void DatagramFlood::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

// ---- Programs ------------------------------------------------------------------------

bool Hub::start(milliseconds limit) {
  const Net &net = testNet();
  return p_.start({testsupport::binDir() + "/xpl-hub", "-interface", net.iface}) &&
         p_.waitForStdout("xpl-hub ready on", limit);
}

bool StationSim::start(const Options &opts, milliseconds limit) {
  std::vector<std::string> argv = {testsupport::binDir() + "/kivamet-stationsim", "--model",
                                   std::to_string(opts.model)};
  if (opts.tcp) {
    argv.insert(argv.end(), {"--tcp", "0"});
  } else {
    argv.push_back("--pty");
  }
  if (opts.pace) argv.push_back("--pace");
  if (opts.frozen) argv.push_back("--frozen");
  argv.insert(argv.end(), opts.args.begin(), opts.args.end());
  if (!p_.start(argv)) return false;
  std::string line;
  if (!awaitLine(opts.tcp ? "tcp " : "pty ", &line, limit)) return false;
  const std::vector<std::string> w = words(line);
  if (opts.tcp) {
    if (w.size() < 3) return false;
    port_ = std::stoi(w[2]);
  } else {
    if (w.size() < 2) return false;
    pty_ = w[1];
  }
  return true;
}

bool StationSim::awaitLine(const std::string &prefix, std::string *line, milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    p_.pump();
    const std::string &out = p_.out();
    // Only whole lines, scanned once.
    size_t end;
    while ((end = out.find('\n', lineScan_)) != std::string::npos) {
      std::string l = out.substr(lineScan_, end - lineScan_);
      lineScan_ = end + 1;
      if (l.compare(0, prefix.size(), prefix) == 0) {
        *line = l;
        return true;
      }
    }
    if (Clock::now() >= deadline || !p_.running()) return false;
    p_.pump(std::min(left(deadline), milliseconds(200)));
  }
}

bool StationSim::command(const std::string &line) {
  return p_.writeStdin(line + "\n");
}

bool StationSim::control(const std::string &line, milliseconds limit) {
  const size_t from = outMark();
  return command(line) && p_.waitForStdout("ok " + line + "\n", limit, from);
}

bool StationSim::poke(const std::string &memory, unsigned addr,
                      const std::vector<unsigned char> &bytes) {
  char a[16];
  snprintf(a, sizeof a, "%x", addr);
  if (!command("poke " + memory + " " + a + " " + hex(bytes))) return false;
  std::vector<unsigned char> back;
  return peek(memory, addr, static_cast<int>(bytes.size() * 2), &back) && back == bytes;
}

bool StationSim::peek(const std::string &memory, unsigned addr, int nibbles,
                      std::vector<unsigned char> *bytes, milliseconds limit) {
  char a[16];
  snprintf(a, sizeof a, "%x", addr);
  p_.pump();
  lineScan_ = std::max(lineScan_, p_.out().size());
  if (!command("peek " + memory + " " + a + " " + std::to_string(nibbles))) return false;
  std::string line;
  if (!awaitLine("peek " + memory + " ", &line, limit)) return false;
  const std::vector<std::string> w = words(line);
  bytes->clear();
  for (size_t i = 3; i < w.size(); i++)
    bytes->push_back(static_cast<unsigned char>(std::stoul(w[i], nullptr, 16)));
  return true;
}

bool StationSim::image(std::vector<unsigned char> *bytes, milliseconds limit) {
  p_.pump();
  lineScan_ = std::max(lineScan_, p_.out().size());
  if (!command("image")) return false;
  std::string line;
  if (!awaitLine("image ", &line, limit)) return false;
  const std::vector<std::string> w = words(line);
  bytes->clear();
  for (size_t i = 1; i < w.size(); i++)
    bytes->push_back(static_cast<unsigned char>(std::stoul(w[i], nullptr, 16)));
  return true;
}

std::vector<std::string> StationSim::rx(size_t from) {
  p_.pump();
  std::vector<std::string> out;
  for (const std::string &l : linesFrom(p_.out(), from))
    if (l.compare(0, 3, "rx ") == 0) out.push_back(l.substr(3));
  return out;
}

std::vector<std::string> StationSim::writes(size_t from) {
  p_.pump();
  std::vector<std::string> out;
  for (const std::string &l : linesFrom(p_.out(), from))
    if (l.compare(0, 14, "write station ") == 0) out.push_back(l.substr(14));
  return out;
}

bool StationSim::waitForRx(const std::string &hexBytes, milliseconds limit, size_t from) {
  return p_.waitForStdout("rx " + hexBytes + "\n", limit, from);
}

std::vector<std::pair<std::string, std::string>> DaemonConfig::items() const {
  return {{"type", type},        {"device", device},     {"net-address", netAddress},
          {"net-port", netPort}, {"location", location}, {"rrddir", rrddir}};
}

Daemon::Daemon()
    : p_(std::make_unique<testsupport::Process>()), dir_(testsupport::makeTempDir("daemon")) {}

Daemon::~Daemon() {
  p_.reset();
  removeScratch(dir_);
}

void Daemon::writeConfig(const DaemonConfig &config) {
  std::ofstream f(dir_ + "/kivamet.xml");
  f << "[quorvel-davis]\n"
       "reconf=newconf\nreconf=interval\noption=group[255]\noption=filter[255]\n"
       "reconf=type\noption=device\noption=net-address\noption=net-port\n"
       "reconf=location\nreconf=rrddir\n";
  f << "newconf=" << config.instance << "\ninterval=5\nfilter=\ngroup=\n";
  for (const auto &kv : config.items())
    if (!kv.second.empty()) f << kv.first << "=" << kv.second << "\n";
}

bool Daemon::start(const std::string &weatherHost, const std::vector<std::string> &args) {
  // Nothing here may reach a public web server.
  if (weatherHost.compare(0, 4, "127.") != 0) return false;
  std::vector<std::string> argv = {testsupport::binDir() + "/kivamet"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.insert(argv.end(), {"-interface", testNet().iface});
  if (p_->pid() > 0) p_ = std::make_unique<testsupport::Process>();
  std::map<std::string, std::string> all = env;
  all["KIVAMET_WEATHER_HOST"] = weatherHost;
  return p_->start(argv, all, dir_);
}

int Daemon::countErr(const std::string &text, size_t from) {
  p_->pump();
  int n = 0;
  const std::string &err = p_->err();
  for (size_t at = err.find(text, from); at != std::string::npos; at = err.find(text, at + 1)) n++;
  return n;
}

long statusKb(pid_t pid, const std::string &key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, key.size() + 1, key + ":") == 0)
      return std::stol(line.substr(key.size() + 1));
  return -1;
}

std::string runOutput(const std::vector<std::string> &argv, milliseconds limit) {
  testsupport::Process p;
  if (!p.start(argv)) return "";
  if (p.wait(limit) != 0) return "";
  return p.out();
}

ToolRun xplctl(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {testsupport::binDir() + "/xplctl", "-interface", testNet().iface,
                                   "--timeout", "15"};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::Process p;
  ToolRun run;
  if (!p.start(argv)) return run;
  run.status = p.wait(seconds(60));
  run.out = p.out();
  run.err = p.err();
  return run;
}

std::map<std::string, std::string> rrdInfo(const std::string &path) {
  std::map<std::string, std::string> info;
  std::istringstream in(runOutput({"rrdtool", "info", path}));
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find(" = ");
    if (eq != std::string::npos) info[line.substr(0, eq)] = line.substr(eq + 3);
  }
  return info;
}

std::map<std::string, std::string> rrdLast(const std::string &path) {
  std::istringstream in(runOutput({"rrdtool", "lastupdate", path}));
  std::string header, line, last;
  std::getline(in, header);
  while (std::getline(in, line))
    if (!line.empty()) last = line;
  std::map<std::string, std::string> out;
  std::istringstream names(header), values(last);
  std::string when, name, value;
  values >> when;
  if (!when.empty()) out["time"] = when.substr(0, when.size() - 1);  // "1234:"
  while (names >> name && values >> value) out[name] = value;
  return out;
}

bool mountTmpfs(const std::string &dir, const std::string &options, std::string *why,
                bool remount) {
  static bool ownMounts = false;
  // Private, so nothing mounted here reaches the host's namespace.
  if (!ownMounts && (unshare(CLONE_NEWNS) != 0 ||
                     mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
    *why = std::string("no mount namespace of our own: ") + strerror(errno);
    return false;
  }
  ownMounts = true;
  const bool flag = options == "ro" || options == "rw";
  const unsigned long flags = (options == "ro" ? MS_RDONLY : 0) | (remount ? MS_REMOUNT : 0);
  if (mount("tmpfs", dir.c_str(), "tmpfs", flags, flag ? "" : options.c_str()) != 0) {
    *why = std::string("tmpfs: ") + strerror(errno);
    return false;
  }
  return true;
}

// ---- Rig -------------------------------------------------------------------------

Rig::~Rig() {
  dumpOutputs();
  // The daemon may still write into the database directories.
  if (daemon.proc().running()) {
    daemon.proc().signal(SIGKILL);
    daemon.proc().wait(seconds(5));
  }
  for (const std::string &dir : scratch) {
    // A tmpfs a row mounted there goes first (nothing else is mounted on
    // a scratch directory, so this fails harmlessly elsewhere).
    umount2(dir.c_str(), MNT_DETACH);
    removeScratch(dir);
  }
}

void Rig::dumpOutputs() {
  if (!::testing::Test::HasFailure() && getenv("KIVAMET_E2E_VERBOSE") == nullptr) return;
  const std::pair<const char *, testsupport::Process *> programs[] = {
      {"hub", &hub.proc()},
      {"station simulator", &sim.proc()},
      {"weather stub", &web.proc()},
      {"broker", &broker.proc()},
      {"kivamet", &daemon.proc()}};
  constexpr size_t tail = 6000;
  for (const auto &p : programs) {
    p.second->pump();
    for (const std::string *text : {&p.second->out(), &p.second->err()}) {
      if (text->empty()) continue;
      const size_t from = text->size() > tail ? text->size() - tail : 0;
      fprintf(stderr, "---- %s %s (last %zu bytes) ----\n%s\n", p.first,
              text == &p.second->out() ? "stdout" : "stderr", text->size() - from,
              text->c_str() + from);
    }
  }
}

bool Rig::startNetworkAndStation(const std::string &pressure) {
  if (!hub.start() || !peer.join() || !web.start(0, pressure) || !sim.start(simOptions))
    return false;
  rrdDir = scratchDir("rrd");
  if (simOptions.tcp) {
    config.type = "net-address";
    config.netAddress = "127.0.0.1";
    config.netPort = std::to_string(sim.port());
  } else {
    config.type = "device";
    config.device = sim.ptyPath();
  }
  config.location = "KTST";
  config.rrddir = rrdDir;
  return true;
}

std::string Rig::scratchDir(const std::string &tag) {
  scratch.push_back(testsupport::makeTempDir(tag));
  return scratch.back();
}

bool Rig::startDaemon(bool stored, const std::vector<std::string> &args) {
  if (stored && storeConfig) daemon.writeConfig(config);
  const size_t from = peer.mark();
  std::vector<std::string> all = args;
  all.insert(all.end(), extraArgs.begin(), extraArgs.end());
  if (!daemon.start(web.hostPort(), all)) return false;
  return peer.waitFor(
             [](const XplMsg &m) {
               return m.isFrom("quorvel-davis") &&
                      (m.schema == "hbeat.app" || m.schema == "config.app");
             },
             startLimit, from) != nullptr;
}

bool Rig::reconfigure(const DaemonConfig &next, milliseconds limit) {
  const size_t from = sim.outMark();
  if (!peer.send("xpl-cmnd", target(), "config.response", next.items())) return false;
  config = next;
  // The settings pass ends with the wind chill read of its logging step.
  return sim.waitForRx("57 52 44 42 a8 0d", limit, from);
}

int Rig::daemonPort() const {
  const std::vector<XplMsg> &seen = peer.messages();
  for (auto m = seen.rbegin(); m != seen.rend(); ++m)
    if (m->isFrom("quorvel-davis") && m->has("port")) return std::atoi(m->get("port").c_str());
  return 0;
}

std::string Rig::reading(const std::string &device, milliseconds limit) {
  const size_t from = peer.mark();
  if (!peer.sensorRequest(target(), device)) return "";
  const XplMsg *m = peer.waitForReading(device, limit, from);
  return m ? m->get("current") : "";
}

bool pokeStation(Rig &rig, unsigned outside, unsigned rain) {
  const auto lo = static_cast<unsigned char>(outside & 0xFF);
  const auto hi = static_cast<unsigned char>(outside >> 8);
  const auto rainLo = static_cast<unsigned char>(rain & 0xFF);
  const auto rainHi = static_cast<unsigned char>(rain >> 8);
  return rig.sim.poke("station", 0x12C, {10, 0}) && rig.sim.poke("station", 0x152, {0xFB, 0xFF}) &&
         rig.sim.poke("station", 0x178, {0, 0}) && rig.sim.poke("station", 0x1D6, {100, 0}) &&
         rig.sim.poke("station", 0x08A, {0x26, 0x02}) &&
         rig.sim.poke("station", 0x0A8, {0xBC, 0x02}) &&
         rig.sim.poke("link", 0x11C,
                      {0xBC, 2, lo, hi, 10, 225, 0, 0xE1, 0x74, 45, 87, rainLo, rainHi});
}

bool Rig::waitSample(milliseconds limit) {
  const std::string db = config.rrddir + "/weather.rrd";
  const std::string before = rrdLast(db)["time"];
  const auto deadline = Clock::now() + limit;
  size_t from = sim.outMark();
  // The wind chill read is a logging pass's last station command; the
  // daemon stores the sample before it answers anything else.
  while (sim.waitForRx("57 52 44 42 a8 0d", left(deadline), from)) {
    from = sim.outMark();
    if (!peer.roundTrip(target(), left(deadline))) return false;
    const std::string now = rrdLast(db)["time"];
    if (!now.empty() && (before.empty() || std::stoll(now) > std::stoll(before))) return true;
  }
  return false;
}

}  // namespace e2e
