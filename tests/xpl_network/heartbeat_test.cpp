// Heartbeats and goodbyes as they leave the service: kinds, bodies, the
// identity rules, and their timing before and after the hub echoes one.
// The test plays the hub: a socket on port 3865 receives the broadcasts.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "xplnet_support.h"

namespace {

using namespace xplnet;

class Heartbeats : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    ASSERT_TRUE(addInterface(&why)) << why;
  }
  void SetUp() override {
    hub.reset(new UdpPeer(XPL_PORT));
    ASSERT_TRUE(hub->bound());
    xPL_setBroadcastInterface(const_cast<String>(kInterface));
    ASSERT_TRUE(xPL_initialize(xcViaHub));
  }
  void TearDown() override {
    xPL_shutdown();
    hub.reset();
  }

  // Everything broadcast since the last call: a marker sent through the
  // same socket arrives after all of it.
  std::vector<std::string> sentSoFar() {
    static int serial = 0;
    std::string marker = "marker " + std::to_string(++serial);
    EXPECT_TRUE(
        xPL_sendRawMessage(const_cast<String>(marker.c_str()), static_cast<int>(marker.size())));
    std::vector<std::string> sent;
    std::string got;
    while (hub->receive(&got, milliseconds(3000)) && got != marker) sent.push_back(got);
    EXPECT_EQ(got, marker) << "marker lost";
    return sent;
  }

  // How many of the messages broadcast since the last call contain the text.
  int countSent(const std::string &needle) {
    int count = 0;
    for (const std::string &text : sentSoFar()) count += text.find(needle) != std::string::npos;
    return count;
  }

  // The heartbeat this library sends for the source.
  std::string heartbeat(const std::string &source, const std::string &schema, int interval,
                        const std::string &version = "") {
    return heartbeatText(source, schema, xPL_getPort(), kAddress, interval, version);
  }

  std::unique_ptr<UdpPeer> hub;
};

xPL_ServicePtr makeService(const char *instance) {
  return xPL_createService(const_cast<String>("acme"), const_cast<String>("beat"),
                           const_cast<String>(instance));
}

TEST_F(Heartbeats, KindsAndBodies) {
  struct Row {
    const char *probe;
    bool configurable;
    bool configured;
    int intervalSeconds;
    const char *version;
    const char *appSchema;
    const char *endSchema;
    int announced;
  } rows[] = {
      {"plain service, five minutes", false, false, 300, "", "hbeat.app", "hbeat.end", 5},
      {"59 s rounds down to 0 minutes", false, false, 59, "", "hbeat.app", "hbeat.end", 0},
      {"version goes last", false, false, 120, "1.2", "hbeat.app", "hbeat.end", 2},
      {"unconfigured: config heartbeats of 1 minute", true, false, 600, "", "config.app",
       "config.end", 1},
      {"configured: ordinary heartbeats", true, true, 600, "", "hbeat.app", "hbeat.end", 10},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.probe);
    xPL_ServicePtr service =
        row.configurable ? xPL_createConfigurableService(const_cast<String>("acme"),
                                                         const_cast<String>("beat"), nullptr)
                         : makeService("one");
    service->serviceConfigured = row.configured;
    xPL_setHeartbeatInterval(service, row.intervalSeconds);
    xPL_setServiceVersion(service, const_cast<String>(row.version));
    std::string source = std::string("acme-beat.") + xPL_getServiceInstanceID(service);

    xPL_setServiceEnabled(service, TRUE);
    xPL_setServiceEnabled(service, TRUE);  // already on: nothing more
    EXPECT_EQ(
        sentSoFar(),
        (std::vector<std::string>{heartbeat(source, row.appSchema, row.announced, row.version)}));

    xPL_setServiceEnabled(service, FALSE);
    xPL_setServiceEnabled(service, FALSE);
    EXPECT_EQ(
        sentSoFar(),
        (std::vector<std::string>{heartbeat(source, row.endSchema, row.announced, row.version)}));
    xPL_releaseService(service);
  }
}

TEST_F(Heartbeats, IdentityVersionAndIntervalChanges) {
  xPL_ServicePtr service = makeService("one");
  xPL_setServiceVersion(service, const_cast<String>("1.0"));
  xPL_setServiceEnabled(service, TRUE);
  sentSoFar();

  xPL_setServiceVendor(service, const_cast<String>("ACME"));
  EXPECT_EQ(sentSoFar(), std::vector<std::string>{}) << "same name in other case changes nothing";
  EXPECT_STREQ(xPL_getServiceVendor(service), "acme");

  xPL_setServiceInstanceID(service, const_cast<String>("two"));
  EXPECT_EQ(sentSoFar(),
            (std::vector<std::string>{heartbeat("acme-beat.one", "hbeat.end", 5, "1.0"),
                                      heartbeat("acme-beat.two", "hbeat.app", 5, "1.0")}));

  // The interval takes effect for the timing at once; the announced value
  // and the version change with the next enable, when the message is rebuilt.
  xPL_setHeartbeatInterval(service, 600);
  xPL_setServiceVersion(service, const_cast<String>(""));
  EXPECT_EQ(xPL_getServiceVersion(service), nullptr);
  EXPECT_TRUE(xPL_sendHeartbeat(service));
  EXPECT_EQ(sentSoFar(),
            (std::vector<std::string>{heartbeat("acme-beat.two", "hbeat.app", 5, "1.0")}));
  xPL_setServiceEnabled(service, FALSE);
  xPL_setServiceEnabled(service, TRUE);
  EXPECT_EQ(sentSoFar(), (std::vector<std::string>{heartbeat("acme-beat.two", "hbeat.end", 10),
                                                   heartbeat("acme-beat.two", "hbeat.app", 10)}));

  // Out-of-range intervals are ignored; the bounds themselves are taken.
  struct Row {
    int asked;
    int kept;
  } rows[] = {{-1, 600}, {172801, 600}, {0, 0}, {172800, 172800}};
  for (const Row &row : rows) {
    xPL_setHeartbeatInterval(service, row.asked);
    EXPECT_EQ(xPL_getHeartbeatInterval(service), row.kept) << row.asked;
  }

  EXPECT_EQ(xPL_getServiceAt(-1), nullptr);
  EXPECT_EQ(xPL_getServiceAt(xPL_getServiceCount()), nullptr);
  EXPECT_EQ(xPL_getServiceAt(xPL_getServiceCount() - 1), service);
  xPL_releaseService(service);
  EXPECT_EQ(sentSoFar(), (std::vector<std::string>{heartbeat("acme-beat.two", "hbeat.end", 2880)}))
      << "released while enabled: goodbye first";
}

TEST_F(Heartbeats, TimingBeforeAndAfterTheHubEcho) {
  // One timeline, because the hub's confirmation never goes back.
  ASSERT_FALSE(xPL_isHubConfirmed());
  time_t t = freshEpoch();
  FakeClock clock(t);
  auto heartbeats = [this] { return countSent("\nhbeat.app\n"); };

  xPL_ServicePtr service = makeService("timed");
  xPL_setServiceEnabled(service, TRUE);
  EXPECT_EQ(heartbeats(), 1) << "at once when enabled";

  // Unconfirmed: every pass checks, and sends 3 s or more after the last.
  passAt(t + 2);
  EXPECT_EQ(heartbeats(), 0);
  passAt(t + 3);
  EXPECT_EQ(heartbeats(), 1);
  passAt(t + 4);
  passAt(t + 5);
  EXPECT_EQ(heartbeats(), 0);
  passAt(t + 6);
  EXPECT_EQ(heartbeats(), 1);

  // The hub relays our heartbeat back to our port: confirmed.
  UdpPeer relay;
  ASSERT_TRUE(relay.sendTo(heartbeat("acme-beat.timed", "hbeat.app", 5), kAddress, xPL_getPort()));
  ASSERT_TRUE(loopUntil([] { return xPL_isHubConfirmed() == TRUE; }, milliseconds(3000)));
  sentSoFar();

  // Confirmed: the check runs at most every 5 s. With interval 0 every
  // check sends, so heartbeats count checks.
  xPL_setHeartbeatInterval(service, 0);
  passAt(t + 100);
  EXPECT_EQ(heartbeats(), 1);
  passAt(t + 104);
  EXPECT_EQ(heartbeats(), 0);
  passAt(t + 105);
  EXPECT_EQ(heartbeats(), 1);

  // Then the service's own interval decides.
  xPL_setHeartbeatInterval(service, 20);
  passAt(t + 120);
  EXPECT_EQ(heartbeats(), 0);
  passAt(t + 125);
  EXPECT_EQ(heartbeats(), 1);

  // The clock is set back an hour: heartbeats must not stop until it has
  // caught up again, or the hub would forget us.
  passAt(t + 125 - 3600);
  EXPECT_EQ(heartbeats(), 1);
  passAt(t + 125 - 3600 + 10);
  EXPECT_EQ(heartbeats(), 0);
  passAt(t + 125 - 3600 + 20);
  EXPECT_EQ(heartbeats(), 1);

  xPL_releaseService(service);
  sentSoFar();

  // An unconfigured service heartbeats every minute once the hub is known.
  t = freshEpoch();
  FakeClock::now = t;
  xPL_ServicePtr waiting = xPL_createConfigurableService(const_cast<String>("acme"),
                                                         const_cast<String>("wait"), nullptr);
  xPL_setServiceEnabled(waiting, TRUE);
  auto configBeats = [this] { return countSent("\nconfig.app\n"); };
  EXPECT_EQ(configBeats(), 1);
  passAt(t + 59);
  EXPECT_EQ(configBeats(), 0);
  passAt(t + 65);
  EXPECT_EQ(configBeats(), 1);
  xPL_releaseService(waiting);
}

}  // namespace
