// End-to-end with the tool people use: the daemon starts unconfigured, is
// configured with `xplctl configure`, answers `xplctl sensor` with the
// values the station simulator holds, and comes back configured after a
// restart.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

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
