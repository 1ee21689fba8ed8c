// End-to-end with the tool people use: the daemon starts unconfigured, is
// configured with `xplctl configure`, answers `xplctl sensor` with the
// values the station simulator holds, and comes back configured after a
// restart.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "files.h"
#include "harness.h"

namespace {

using e2e::seconds;

using e2e::ToolRun;
using e2e::xplctl;

// The value line of `xplctl sensor`, without its line end.
std::string sensor(const std::string &device) {
  ToolRun run = xplctl({"sensor", "quorvel-davis", device});
  EXPECT_EQ(run.status, 0) << device << ": " << run.err;
  std::string value = run.out;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return value;
}

int le16(const std::vector<unsigned char> &b) {
  return static_cast<int16_t>(static_cast<uint16_t>(b[0] | (b[1] << 8)));
}

int bcd(unsigned char v) { return (v >> 4) * 10 + (v & 0x0F); }

// Seconds of the day in the simulator's clock cell.
int stationSeconds(e2e::StationSim &sim) {
  std::vector<unsigned char> t;
  if (!sim.peek("station", 0x1BE, 6, &t) || t.size() < 3) return -1;
  return bcd(t[0]) * 3600 + bcd(t[1]) * 60 + bcd(t[2]);
}

int textSeconds(const std::string &text) {
  int h, m, s;
  if (sscanf(text.c_str(), "%2d:%2d:%2d", &h, &m, &s) != 3) return -2;
  return h * 3600 + m * 60 + s;
}

// Checks the five readings a person asks for first against the simulator.
void expectReadingsMatchTheStation(e2e::StationSim &sim) {
  std::vector<unsigned char> b;
  char text[64];

  ASSERT_TRUE(sim.peek("station", 0x100, 4, &b));
  snprintf(text, sizeof text, "%.3f", le16(b) / 1000.0);
  EXPECT_EQ(sensor("BARDTA"), text);

  ASSERT_TRUE(sim.peek("station", 0x156, 4, &b));
  snprintf(text, sizeof text, "%.2f", le16(b) / 10.0);
  EXPECT_EQ(sensor("TP2DTA"), text);

  // The clock ticks while the request travels: the answer lies between the
  // cell's value before and after it (midnight aside).
  const int before = stationSeconds(sim);
  const int answered = textSeconds(sensor("TIME"));
  const int after = stationSeconds(sim);
  if (before <= after) {
    EXPECT_LE(before, answered);
    EXPECT_LE(answered, after);
  }

  ASSERT_TRUE(sim.peek("link", 0x15E, 32, &b));
  ASSERT_EQ(b.size(), 16u);
  std::string hist;
  for (size_t i = 0; i < b.size(); i++) {
    snprintf(text, sizeof text, "%s%x", i ? "," : "", b[i]);
    hist += text;
  }
  EXPECT_EQ(sensor("WDIRS"), hist);

  EXPECT_EQ(sensor("ID"), "wizard3");
}

TEST(Tool, ConfiguresTheDaemonOverTcpReadsValuesAndSurvivesARestart) {
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  ASSERT_TRUE(rig.startDaemon(false));

  const size_t simFrom = rig.sim.outMark();
  ToolRun conf = xplctl({"configure", "quorvel-davis", "type=net-address",
                         "net-address=127.0.0.1", "net-port=" + std::to_string(rig.sim.port()),
                         "location=KTEST", "rrddir=" + rig.config.rrddir});
  ASSERT_EQ(conf.status, 0) << conf.err;
  EXPECT_EQ(conf.out.rfind("configured quorvel-davis.", 0), 0u) << conf.out;
  // The settings pass opens the station: the model probe arrives.
  ASSERT_TRUE(rig.sim.waitForRx("57 52 44 12 4d 0d", seconds(20), simFrom));

  expectReadingsMatchTheStation(rig.sim);

  ToolRun current = xplctl({"config-current", "quorvel-davis"});
  ASSERT_EQ(current.status, 0) << current.err;
  EXPECT_NE(current.out.find("type=net-address\n"), std::string::npos) << current.out;
  EXPECT_NE(current.out.find("net-port=" + std::to_string(rig.sim.port()) + "\n"),
            std::string::npos)
      << current.out;

  // Stopped and started again, it is configured from kivamet.xml.
  ASSERT_TRUE(rig.daemon.proc().signal(SIGTERM));
  ASSERT_EQ(rig.daemon.proc().wait(seconds(20)), 0);
  const size_t restartFrom = rig.sim.outMark();
  ASSERT_TRUE(rig.startDaemon(false));
  ASSERT_TRUE(rig.sim.waitForRx("57 52 44 12 4d 0d", seconds(20), restartFrom));
  EXPECT_EQ(sensor("ID"), "wizard3");
  std::vector<unsigned char> b;
  ASSERT_TRUE(rig.sim.peek("station", 0x100, 4, &b));
  char text[32];
  snprintf(text, sizeof text, "%.3f", le16(b) / 1000.0);
  EXPECT_EQ(sensor("BARDTA"), text);
}

TEST(Tool, ConfiguresASerialStationOverAPty) {
  e2e::Rig rig;
  rig.simOptions.tcp = false;
  ASSERT_TRUE(rig.startNetworkAndStation());
  ASSERT_TRUE(rig.startDaemon(false));

  const size_t simFrom = rig.sim.outMark();
  // The connection kind is matched without regard to letter case.
  ToolRun conf = xplctl({"configure", "quorvel-davis", "type=Device",
                         "device=" + rig.sim.ptyPath(), "location=KTEST",
                         "rrddir=" + rig.config.rrddir});
  ASSERT_EQ(conf.status, 0) << conf.err;
  ASSERT_TRUE(rig.sim.waitForRx("57 52 44 12 4d 0d", seconds(20), simFrom));
  expectReadingsMatchTheStation(rig.sim);
}

TEST(Tool, NoAnswerOrANameKivametLacksIsAClearError) {
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  // No daemon on the network: nobody answers.
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *says;  // on stdout for status 0, else on stderr
  };
  const Case cases[] = {
      {{"sensor", "quorvel-davis", "BARDTA"}, 3, "no answer within the time limit"},
      // Refused at once, for kivamet only: another service is asked as before.
      {{"sensor", "quorvel-davis.roof", "NOSUCHFIELD"},
       2,
       "quorvel-davis has no DEVICE 'NOSUCHFIELD' ('xplctl fields' lists them)"},
      {{"sensor", "acme-meter.x", "NOSUCHFIELD"}, 3, "no answer within the time limit"},
      {{"fields"}, 0, "\nBARDTA      barometer (inHg)\n"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> argv = {testsupport::binDir() + "/xplctl", "-interface",
                                     e2e::testNet().iface, "--timeout", "2"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testsupport::Process p;
    ASSERT_TRUE(p.start(argv));
    EXPECT_EQ(p.wait(seconds(30)), c.status) << c.args.back();
    EXPECT_NE((c.status == 0 ? p.out() : p.err()).find(c.says), std::string::npos) << p.err();
  }
}

TEST(Tool, AsksOnceMoreWhenTheFirstRequestGetsNoAnswer) {
  // The test peer stands for a service that missed the first request.
  e2e::Rig rig;
  ASSERT_TRUE(rig.hub.start());
  ASSERT_TRUE(rig.peer.join());
  testsupport::Process p;
  ASSERT_TRUE(p.start({testsupport::binDir() + "/xplctl", "-interface", e2e::testNet().iface,
                       "--timeout", "6", "config-current", rig.peer.source()}));
  auto isRequest = [](const e2e::XplMsg &m) {
    return m.type == "xpl-cmnd" && m.schema == "config.current";
  };
  const size_t from = rig.peer.mark();
  ASSERT_NE(rig.peer.waitFor(isRequest, seconds(20), from), nullptr);
  const size_t afterFirst = rig.peer.mark();
  ASSERT_NE(rig.peer.waitFor(isRequest, seconds(20), afterFirst), nullptr) << "asked again";
  ASSERT_TRUE(rig.peer.send("xpl-stat", "*", "config.current", {{"newconf", "e2e"}}));
  EXPECT_EQ(p.wait(seconds(20)), 0) << p.err();
  EXPECT_EQ(p.out(), "newconf=e2e\n");
}

}  // namespace

// ---- The demo where no network namespace of its own can be made ------------

namespace demo {

// scripts/demo --check on interface lo with the programs of this build, in a
// folder of the rig's; a namespace of its own is what it cannot have. No
// history to catch up: weeks of it are slow to make with the sanitizers.
bool start(e2e::Rig &rig, testsupport::Process *p) {
  return p->start({"bash", KIVAMET_SOURCE_DIR "/scripts/demo", "--check", "--history", "0"},
                  {{"KIVAMET_DEMO_INNER", "lo"},
                   {"KIVAMET_DEMO_BIN", testsupport::binDir()},
                   {"KIVAMET_DEMO_RUN", rig.scratchDir("demo")},
                   {"LSAN_OPTIONS", "suppressions=" KIVAMET_SOURCE_DIR
                                    "/tests/graphs/lsan.supp:fast_unwind_on_malloc=0"}});
}

}  // namespace demo

TEST(Demo, RefusesAHubItDidNotStart) {
  e2e::Rig rig;
  ASSERT_TRUE(rig.hub.start());
  testsupport::Process p;
  ASSERT_TRUE(demo::start(rig, &p));
  EXPECT_EQ(p.wait(seconds(120)), 1);
  EXPECT_NE(p.err().find("another program holds the xPL port (UDP 3865)"), std::string::npos)
      << p.out() << p.err();
}

TEST(Demo, SparesAKivametThatJoinsItsHub) {
  e2e::Rig rig;
  // A real kivamet, configured, with no hub yet: it joins the demo's.
  rig.config.instance = "roof";
  rig.config.location = "KROOF";
  rig.config.rrddir = rig.scratchDir("roof");
  rig.daemon.writeConfig(rig.config);
  const std::string stored = testsupport::readFile(rig.daemon.dir() + "/kivamet.xml");
  ASSERT_TRUE(rig.daemon.start("127.0.0.1:9"));

  testsupport::Process p;
  ASSERT_TRUE(demo::start(rig, &p));
  // The peer joins the demo's hub as soon as it is up, long before the
  // demo has found its kivamet and configures it.
  const bool joined = rig.peer.join(seconds(120));
  p.pump();
  ASSERT_TRUE(joined) << p.out() << p.err();
  int status = -1;
  for (auto end = e2e::Clock::now() + seconds(240); status < 0 && e2e::Clock::now() < end;) {
    rig.peer.pump(e2e::milliseconds(200));
    status = p.wait(e2e::milliseconds(0));
  }
  EXPECT_EQ(status, 0) << p.out() << p.err();

  // xPL names compare without regard to letter case.
  auto lower = [](std::string text) {
    for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
  };
  auto to = [&](const std::string &target, const char *schema) {
    return std::count_if(
        rig.peer.messages().begin(), rig.peer.messages().end(), [&](const e2e::XplMsg &m) {
          return lower(m.target) == target && (schema == nullptr || m.schema == schema);
        });
  };
  EXPECT_NE(rig.peer.waitFor([](const e2e::XplMsg &m) { return m.source == "quorvel-davis.roof"; },
                             seconds(0)),
            nullptr)
      << "the foreign kivamet was not on the demo's network";
  EXPECT_GT(to("quorvel-davis.demo", "config.response"), 0) << "the peer heard nothing";
  EXPECT_EQ(to("quorvel-davis.roof", nullptr), 0);
  EXPECT_EQ(testsupport::readFile(rig.daemon.dir() + "/kivamet.xml"), stored);
  EXPECT_TRUE(rig.daemon.proc().running());
}
