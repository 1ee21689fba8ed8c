// config_e2e_test.cpp - the hub, a configurable service and xplctl as real
// processes in a private namespace: configure the service with the tool,
// read it back, and find the configuration again after a restart.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "netns.h"
#include "proc.h"

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::readFile;

namespace {

const char kInterface[] = "xcfg1";

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

// Runs xplctl to its end (bounded well beyond its own time limit).
ToolRun xplctl(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {testsupport::binDir() + "/xplctl", "-interface", kInterface};
  argv.insert(argv.end(), args.begin(), args.end());
  Process p;
  if (!p.start(argv)) return {-1, "", "could not start xplctl"};
  int status = p.wait(20s);
  return {status, p.out(), p.err()};
}

class ConfigEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    ASSERT_TRUE(testsupport::addTestInterface(kInterface, "10.77.1.1/24", &why)) << why;
  }

  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    hub_ = std::make_unique<Process>();
    ASSERT_TRUE(hub_->start({testsupport::binDir() + "/xpl-hub", "-interface", kInterface}));
    ASSERT_TRUE(hub_->waitForStdout("xpl-hub ready on", 5s)) << hub_->err();
  }

  void TearDown() override {
    if (service_) stopService();
    hub_->signal(SIGTERM);
    hub_->wait(5s);
  }

  // Starts the test service in the temporary folder; returns its identity.
  std::string startService(const char *expectState) {
    service_ = std::make_unique<Process>();
    EXPECT_TRUE(service_->start({testsupport::binDir() + "/xplcfg_testservice", "-interface",
                                 kInterface, "--file", "cfg.xml"},
                                {}, dir_.path()));
    EXPECT_TRUE(service_->waitForStdout("ready ", 10s)) << service_->err();
    const std::string &out = service_->out();
    size_t at = out.find("ready ");
    if (at == std::string::npos) return "";
    std::string line = out.substr(at + 6, out.find('\n', at) - at - 6);
    EXPECT_EQ(line.substr(line.find(' ') + 1), expectState);
    return line.substr(0, line.find(' '));
  }

  void stopService() {
    service_->signal(SIGTERM);
    EXPECT_EQ(service_->wait(5s), 0) << service_->err();
    service_.reset();
  }

  testsupport::ScratchDir dir_{"xplcfg-e2e"};
  std::unique_ptr<Process> hub_;
  std::unique_ptr<Process> service_;
};

}  // namespace

TEST_F(ConfigEndToEnd, ConfigureReadBackAndSurviveARestart) {
  std::string identity = startService("unconfigured");
  ASSERT_EQ(identity.rfind("kivamet-cfgtest.", 0), 0u) << identity;

  ToolRun list = xplctl({"config-list", identity});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out,
            "reconf=newconf\nreconf=interval\noption=group[255]\noption=filter[255]\n"
            "reconf=type\noption=device\nreconf=location[16]\n");

  ToolRun configure =
      xplctl({"--timeout", "5", "configure", identity, "newconf=station1", "type=tcp",
              "location=north", "location=south", "group=XPL-GROUP.weather"});
  EXPECT_EQ(configure.status, 0) << configure.err;
  EXPECT_EQ(configure.out, "configured kivamet-cfgtest.station1\n");
  ASSERT_TRUE(service_->waitForStdout("changed station1", 5s)) << service_->out();
  EXPECT_TRUE(service_->waitForStdout(
      "changed station1 type=tcp device=/dev/ttyS0 location=north location=south\n", 1s))
      << "items not named keep their values: " << service_->out();

  const std::string expected =
      "newconf=station1\ninterval=5\ngroup=XPL-GROUP.weather\nfilter=\ntype=tcp\n"
      "device=/dev/ttyS0\nlocation=north\nlocation=south\n";
  ToolRun current = xplctl({"config-current", "kivamet-cfgtest.station1"});
  EXPECT_EQ(current.status, 0) << current.err;
  EXPECT_EQ(current.out, expected);

  stopService();
  EXPECT_EQ(readFile(dir_.file("cfg.xml")),
            "[kivamet-cfgtest]\nreconf=newconf\nreconf=interval\noption=group[255]\n"
            "option=filter[255]\nreconf=type\noption=device\nreconf=location[16]\n"
            "newconf=station1\ninterval=5\nfilter=\ngroup=XPL-GROUP.weather\n"
            "type=tcp\ndevice=/dev/ttyS0\nlocation=north\nlocation=south\n");

  EXPECT_EQ(startService("configured"), "kivamet-cfgtest.station1");
  ToolRun again = xplctl({"config-current", "kivamet-cfgtest"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, expected);
}

TEST_F(ConfigEndToEnd, DiscoverAndTheToolsFailureStatuses) {
  std::string identity = startService("unconfigured");

  ToolRun discover = xplctl({"--timeout", "4", "discover"});
  EXPECT_EQ(discover.status, 0) << discover.err;
  EXPECT_NE(discover.out.find(identity + " config.app interval=1 port="), std::string::npos)
      << discover.out;

  struct {
    const char *why;
    std::vector<std::string> args;
    int status;
    const char *stderrPart;
  } rows[] = {
      {"nobody of that name",
       {"--timeout", "1", "config-current", "kivamet-nobody.x"},
       3,
       "no answer"},
      {"no command", {}, 2, "no command given"},
      {"unknown command", {"reboot"}, 2, "unknown command"},
      {"target without dash", {"config-list", "cfgtest"}, 2, "bad TARGET"},
      {"setting without =", {"configure", identity, "type"}, 2, "want name=value"},
      {"more values than the item takes",
       {"configure", identity, "type=a", "type=b"},
       2,
       "'type' takes at most 1 value, 2 given"},
      {"an instance name the service refuses, read back under the old one",
       {"configure", identity, "newconf=far-too-long-a-name"},
       4,
       "did not take newconf=far-too-long-a-name (it has newconf="},
      {"bad time limit", {"--timeout", "-1", "discover"}, 2, "bad time limit"},
      {"sensor without device", {"sensor", identity}, 2, "missing arguments"},
      {"no such interface",
       {"-interface", "nosuch0", "discover"},
       1,
       "cannot join the xPL network on interface 'nosuch0'"},
  };
  for (const auto &row : rows) {
    ToolRun r = xplctl(row.args);
    EXPECT_EQ(r.status, row.status) << row.why << ": " << r.err;
    EXPECT_NE(r.err.find(row.stderrPart), std::string::npos) << row.why << ": " << r.err;
  }

  ToolRun help = xplctl({"configure", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: xplctl [options] configure TARGET", 0), 0u) << help.out;

  hub_->signal(SIGTERM);
  ASSERT_EQ(hub_->wait(5s), 0);
  ToolRun noHub = xplctl({"--timeout", "1", "config-list", identity});
  EXPECT_EQ(noHub.status, 3);
  EXPECT_NE(noHub.err.find("is an xPL hub running"), std::string::npos) << noHub.err;
}
