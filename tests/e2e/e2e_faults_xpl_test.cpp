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

milliseconds left(Clock::time_point deadline) {
  auto d = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return d.count() > 0 ? d : milliseconds(0);
}

bool isDaemonHeartbeat(const e2e::XplMsg &m, const char *schema) {
  return m.isFrom("quorvel-davis") && m.schema == schema;
}

// A config.response with the rig's settings and the given extra items.
bool sendConfig(e2e::Rig &rig, std::vector<std::pair<std::string, std::string>> extra) {
  for (const auto &item : rig.config.items()) extra.push_back(item);
  return rig.peer.send("xpl-cmnd", rig.target(), "config.response", extra);
}

bool toolSays(const e2e::ToolRun &run, int status, const std::string &text) {
  EXPECT_EQ(run.status, status) << run.err;
  EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
  return run.status == status && run.err.find(text) != std::string::npos;
}

// Datagrams that keep the daemon busy: each of the first holds 600 items
// to parse, so the daemon falls far behind the sender.
std::vector<std::string> floodMix() {
  return {e2e::xplText("xpl-stat", "acme-flood.x", "*", "sensor.basic",
                       std::vector<std::pair<std::string, std::string>>(600, {"a", ""})),
          e2e::xplText("xpl-cmnd", "acme-flood.x", "quorvel-davis.other", "sensor.request",
                       {{"request", "current"}, {"device", "BARDTA"}}),
          "xpl-stat\n{\nhop=0\n}\n"};
}

const Fault kXplFaults[] = {
    // ---- xPL: the service stays reachable ----------------------------------
    {"FirstConfigurationKeepsInstanceAndInterval",  // as xplctl configure copies them back
     [](e2e::Rig &rig) {
       rig.storeConfig = false;
       return true;
     },
     [](e2e::Rig &rig) {
       const e2e::XplMsg *beat = rig.peer.waitFor(
           [](const e2e::XplMsg &m) { return isDaemonHeartbeat(m, "config.app"); }, seconds(5));
       if (beat == nullptr) return false;
       rig.config.instance = beat->source.substr(beat->source.find('.') + 1);
       const size_t from = rig.peer.mark();
       // Hubs drop a client 2 x 1 + 1 minutes after a config.app heartbeat:
       // the next heartbeat must not wait for the configured 5 minutes.
       return sendConfig(rig, {{"newconf", rig.config.instance}, {"interval", "5"}}) &&
              rig.peer.waitFor(
                  [](const e2e::XplMsg &m) {
                    return isDaemonHeartbeat(m, "hbeat.app") && m.get("interval") == "5";
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
       // Straight to the daemon's port, and on past the bound.
       return rig.daemonPort() > 0 &&
              rig.flood.start(e2e::testNet().addr, rig.daemonPort(), floodMix(), seconds(60));
     },
     seconds(2), StopsOnTerm},
    {"ForgedGoodbyeFromAnotherHost",  // naming the daemon's address and port
     nullptr,
     [](e2e::Rig &rig) {
       const e2e::Net &net = e2e::testNet();
       std::string why;
       const bool sent =
           rig.daemonPort() > 0 && testsupport::sendFromForeignAddress(
                                       "10.77.0.9", net.addr, 3865,
                                       e2e::xplText("xpl-stat", rig.target(), "*", "hbeat.end",
                                                    {{"interval", "5"},
                                                     {"port", std::to_string(rig.daemonPort())},
                                                     {"remote-ip", net.addr}}),
                                       &why);
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
       return toolSays(e2e::xplctl({"configure", rig.target(), "colour=red"}), 2,
                       "no item 'colour' (it offers newconf, interval, group, filter, type, "
                       "device, net-address, net-port, location, rrddir)");
     },
     seconds(30), Answers | StopsOnTerm},
    {"ConfigureValueTheDaemonIgnores", nullptr,
     [](e2e::Rig &rig) {
       return toolSays(e2e::xplctl({"configure", rig.target(), "interval=soon"}), 4,
                       "did not take interval=soon (it has interval=5)");
     },
     seconds(30), Answers | StopsOnTerm},
};

class XplFaultTable : public ::testing::TestWithParam<Fault> {};

// The runner of e2e_faults_test.cpp, for the bits these rows use.
TEST_P(XplFaultTable, DaemonGetsOver) {
  const Fault &f = GetParam();
  ASSERT_EQ(f.after & (Logs | ExitsNonZero), 0u) << "not in these rows";
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  ASSERT_TRUE(!f.before || f.before(rig));
  ASSERT_TRUE(rig.startDaemon());
  if (f.inject) {
    ASSERT_TRUE(f.inject(rig));
  }

  const auto deadline = Clock::now() + f.bound;
  if (f.after & Answers) {
    EXPECT_FALSE(rig.reading("BARDTA", left(deadline)).empty()) << "no request answered";
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
