// End-to-end fault rows of the xPL side: each row stages one fault that a
// peer on the network, a flood or the working directory can cause, and
// checks, within a bound, what must still work once the daemon got over it.
// Same row type as e2e_faults_test.cpp, into whose table these rows go.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "files.h"
#include "harness.h"
#include "netns.h"

namespace {

using e2e::milliseconds;
using e2e::seconds;
using Clock = std::chrono::steady_clock;

// What must still work once the daemon got over the fault.
enum After : unsigned { Answers = 1, Logs = 2, StopsOnTerm = 4, ExitsNonZero = 8 };

struct Fault {
  const char *name;                            // test name suffix: the fault
  std::function<bool(e2e::Rig &)> before;      // set-up before the daemon starts (may be empty)
  std::function<bool(e2e::Rig &)> inject;      // the fault itself, daemon running
  e2e::milliseconds bound;                     // how long the daemon may take to come back
  unsigned after;                              // After bits checked after the bound
  std::function<bool(e2e::Rig &)> holds = {};  // the row's own outcome (may be empty)
};

void PrintTo(const Fault &f, std::ostream *os) {
  *os << f.name;
}

// A config.response with the rig's settings and the given extra items.
bool sendConfig(e2e::Rig &rig, std::vector<std::pair<std::string, std::string>> extra) {
  for (const auto &item : rig.config.items()) extra.push_back(item);
  return rig.peer.send("xpl-cmnd", rig.target(), "config.response", extra);
}

bool toolSays(const std::vector<std::string> &args, int status, const std::string &text) {
  e2e::ToolRun run = e2e::xplctl(args);
  EXPECT_TRUE(run.status == status && run.err.find(text) != std::string::npos) << run.err;
  return run.status == status && run.err.find(text) != std::string::npos;
}

const Fault kXplFaults[] = {
    // ---- xPL: the service stays reachable ----------------------------------
    {"FirstConfigurationKeepsInstanceAndInterval",  // as xplctl configure copies them back
     [](e2e::Rig &rig) {
       rig.storeConfig = false;
       return true;
     },
     [](e2e::Rig &rig) {
       const auto &seen = rig.peer.messages();
       auto beat = std::find_if(seen.rbegin(), seen.rend(),
                                [](const e2e::XplMsg &m) { return m.schema == "config.app"; });
       if (beat == seen.rend()) return false;
       rig.config.instance = beat->source.substr(beat->source.find('.') + 1);
       const size_t from = rig.peer.mark();
       // Hubs drop a client 2 x 1 + 1 minutes after a config.app heartbeat:
       // the next heartbeat must not wait for the configured 5 minutes.
       return sendConfig(rig, {{"newconf", rig.config.instance}, {"interval", "5"}}) &&
              rig.peer.waitFor(
                  [](const e2e::XplMsg &m) {
                    return m.isFrom("quorvel-davis") && m.schema == "hbeat.app" &&
                           m.get("interval") == "5";
                  },
                  seconds(30), from) != nullptr;
     },
     seconds(30), Answers | StopsOnTerm},
    {"NewconfNotAnInstanceID",  // 1400 characters made every heartbeat too long to send
     nullptr,
     [](e2e::Rig &rig) {
       const size_t from = rig.daemon.errMark();
       return sendConfig(rig, {{"newconf", std::string(1400, 'a')}}) &&
              rig.daemon.waitErr("ERROR: CONFIG:: Instance ID [aaaa", seconds(10), from);
     },
     seconds(30), Answers | StopsOnTerm},
    {"FloodOfDatagrams",  // SIGTERM during the flood
     nullptr,
     [](e2e::Rig &rig) {
       // Straight to the daemon's port, going on past the bound; 600 items
       // to parse in each keep the daemon far behind.
       const std::string heavy =
           e2e::xplText("xpl-stat", "acme-flood.x", "*", "sensor.basic",
                        std::vector<std::pair<std::string, std::string>>(600, {"a", ""}));
       return rig.daemonPort() > 0 &&
              rig.flood.start(e2e::testNet().addr, rig.daemonPort(), {heavy}, seconds(60));
     },
     seconds(2), StopsOnTerm},
    {"ForgedGoodbyeFromAnotherHost",  // naming the daemon's address and port
     nullptr,
     [](e2e::Rig &rig) {
       const e2e::Net &net = e2e::testNet();
       const std::string goodbye = e2e::xplText("xpl-stat", rig.target(), "*", "hbeat.end",
                                                {{"interval", "5"},
                                                 {"port", std::to_string(rig.daemonPort())},
                                                 {"remote-ip", net.addr}});
       std::string why;
       const bool sent =
           testsupport::sendFromForeignAddress("10.77.0.9", net.addr, 3865, goodbye, &why);
       EXPECT_TRUE(sent) << why;
       return sent;
     },
     seconds(30), Answers | StopsOnTerm,
     [](e2e::Rig &rig) {
       rig.hub.proc().pump();
       return rig.hub.proc().out().find("client left") == std::string::npos;
     }},
    {"ConfigurationCannotBeSaved",  // its working directory is gone
     nullptr,
     [](e2e::Rig &rig) {
       testsupport::removeTree(rig.daemon.dir());
       const size_t from = rig.daemon.errMark();
       return sendConfig(rig, {}) &&
              rig.daemon.waitErr(
                  "ERROR: CONFIG:: File kivamet.xml could not be opened/created -- No such file",
                  seconds(10), from);
     },
     seconds(30), Answers | StopsOnTerm},

    // ---- xplctl configure tells the truth -----------------------------------
    {"ConfigureNamesAnItemTheDaemonLacks", nullptr,
     [](e2e::Rig &rig) {
       return toolSays({"configure", rig.target(), "colour=red"}, 2,
                       "no item 'colour' (it offers newconf, interval, group, filter, type, "
                       "device, net-address, net-port, location, rrddir)");
     },
     seconds(30), Answers | StopsOnTerm},
    {"ConfigureValueTheDaemonIgnores", nullptr,
     [](e2e::Rig &rig) {
       return toolSays({"configure", rig.target(), "interval=soon"}, 4,
                       "did not take interval=soon (it has interval=5)");
     },
     seconds(30), Answers | StopsOnTerm},
};

milliseconds left(Clock::time_point deadline) {
  auto d = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return std::max(d, milliseconds(0));
}

class XplFaultTable : public ::testing::TestWithParam<Fault> {};

// The runner of e2e_faults_test.cpp, for the bits these rows use.
TEST_P(XplFaultTable, DaemonGetsOver) {
  const Fault &f = GetParam();
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  ASSERT_TRUE(!f.before || f.before(rig));
  ASSERT_TRUE(rig.startDaemon());
  ASSERT_TRUE(!f.inject || f.inject(rig));
  const auto deadline = Clock::now() + f.bound;
  if (f.after & Answers) {
    EXPECT_NE(rig.reading("BARDTA", left(deadline)), "") << "no request answered";
  }
  if (f.holds) {
    EXPECT_TRUE(f.holds(rig));
  }
  if (f.after & StopsOnTerm) {
    ASSERT_TRUE(rig.daemon.proc().signal(SIGTERM));
    EXPECT_EQ(rig.daemon.proc().wait(std::max(left(deadline), milliseconds(seconds(1)))), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, XplFaultTable, ::testing::ValuesIn(kXplFaults),
                         [](const auto &i) { return std::string(i.param.name); });

}  // namespace
