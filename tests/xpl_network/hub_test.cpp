// The hub program with real clients in the namespace: learning clients
// from heartbeats, relaying datagrams whole, forgetting on goodbye, and a
// service of this library finding the hub and answering discovery.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <regex>
#include <string>

#include "proc.h"
#include "xplnet_support.h"

namespace {

using namespace xplnet;
using testsupport::Process;

class Hub : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    ASSERT_TRUE(addInterface(&why)) << why;
  }
  void startHub() {
    ASSERT_TRUE(hub.start({testsupport::binDir() + "/xpl-hub", "-interface", kInterface}));
    ASSERT_TRUE(hub.waitForStdout(
        std::string("xpl-hub ready on ") + kInterface + " " + kAddress + "\n", milliseconds(5000)))
        << hub.err();
  }
  void TearDown() override {
    if (hub.running()) {
      hub.signal(SIGTERM);
      EXPECT_EQ(hub.wait(milliseconds(5000)), 0);
    }
  }
  // A raw client announces itself and waits for its heartbeat to come back.
  void join(UdpPeer &client, const std::string &source) {
    ASSERT_TRUE(client.sendTo(heartbeatText(source, "hbeat.app", client.port(), kAddress),
                              kBroadcast, XPL_PORT));
    ASSERT_TRUE(hub.waitForStdout("client joined " + std::string(kAddress) + ":" +
                                      std::to_string(client.port()) + " " + source + "\n",
                                  milliseconds(5000)))
        << hub.out();
    ASSERT_TRUE(client.receiveContaining("source=" + source + "\n", milliseconds(3000), nullptr));
  }
  Process hub;
};

TEST_F(Hub, RelaysEveryDatagramBetweenClients) {
  startHub();
  UdpPeer a, b;
  join(a, "acme-a.one");
  join(b, "acme-b.one");

  // Neither client listens on 3865: A's broadcast can reach B only by way
  // of the hub, and it comes from the hub's socket, unchanged.
  struct Row {
    const char *probe;
    std::string datagram;
  } rows[] = {
      {"a message",
       messageText("xpl-trig", "acme-a.one", "*", "sensor.basic", "device=x\ncurrent=1\n")},
      {"not xPL at all", std::string("\x00\xff garbage \x01\n{", 14)},
      {"empty", ""},
      {"far beyond a message's size", std::string(60000, 'q')},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.probe);
    ASSERT_TRUE(a.sendTo(row.datagram, kBroadcast, XPL_PORT));
    std::string got;
    int fromPort = 0;
    ASSERT_TRUE(b.receive(&got, milliseconds(3000), &fromPort));
    EXPECT_EQ(got, row.datagram);
    EXPECT_EQ(fromPort, XPL_PORT);
  }

  // Heartbeats that name no local client, or come from another host, are
  // relayed once and learnt from nothing: another host's address, the
  // hub's own port (relaying there would send every datagram round and
  // round), a local port named from afar (the hub would relay towards any
  // local service), and a goodbye for A from afar (A would be cut off).
  UdpPeer localService;
  struct Forged {
    const char *probe;
    const char *source;
    const char *schema;
    int port;
    const char *address;
    const char *sender;  // null: this host
  } forged[] = {
      {"another host", "acme-far.one", "hbeat.app", a.port(), "192.0.2.7", nullptr},
      {"the hub's own port", "acme-self.one", "hbeat.app", XPL_PORT, kAddress, nullptr},
      {"a local port from another host", "acme-relay.one", "hbeat.app", localService.port(),
       kAddress, "10.77.0.9"},
      {"a goodbye for A from another host", "acme-a.one", "hbeat.end", a.port(), kAddress,
       "10.77.0.9"},
  };
  UdpPeer stranger;
  for (const Forged &row : forged) {
    SCOPED_TRACE(row.probe);
    hub.pump();
    const size_t hubFrom = hub.out().size();
    std::string heartbeat = heartbeatText(row.source, row.schema, row.port, row.address);
    if (row.sender == nullptr) {
      ASSERT_TRUE(stranger.sendTo(heartbeat, kBroadcast, XPL_PORT));
    } else {
      std::string why;
      // Straight to the hub: a broadcast would also come back in by the
      // test interface's other end and arrive twice.
      ASSERT_TRUE(
          testsupport::sendFromForeignAddress(row.sender, kAddress, XPL_PORT, heartbeat, &why))
          << why;
    }
    std::string marker = messageText("xpl-trig", "acme-a.one", "*", "marker.basic", "");
    ASSERT_TRUE(a.sendTo(marker, kBroadcast, XPL_PORT));
    int copies = 0;
    std::string got;
    while (b.receive(&got, milliseconds(3000)) && got != marker) copies += got == heartbeat;
    EXPECT_EQ(got, marker);
    EXPECT_EQ(copies, 1);
    hub.pump();
    EXPECT_EQ(hub.out().find(row.source, hubFrom), std::string::npos) << hub.out();
  }
  std::string toA = messageText("xpl-trig", "acme-b.one", "*", "marker.basic", "to=a\n");
  ASSERT_TRUE(b.sendTo(toA, kBroadcast, XPL_PORT));
  std::string got;
  while (a.receive(&got, milliseconds(3000)) && got != toA) {
  }
  EXPECT_EQ(got, toA) << "A is still a client";
  EXPECT_FALSE(localService.receive(&got, milliseconds(0))) << got;
  UdpPeer c;
  join(c, "acme-c.one");

  // Goodbyes, both kinds.
  ASSERT_TRUE(
      a.sendTo(heartbeatText("acme-a.one", "hbeat.end", a.port(), kAddress), kBroadcast, XPL_PORT));
  EXPECT_TRUE(hub.waitForStdout("client left " + std::string(kAddress) + ":" +
                                    std::to_string(a.port()) + " acme-a.one (hbeat.end)\n",
                                milliseconds(3000)));
  ASSERT_TRUE(c.sendTo(heartbeatText("acme-c.one", "config.end", c.port(), kAddress), kBroadcast,
                       XPL_PORT));
  EXPECT_TRUE(hub.waitForStdout("client left " + std::string(kAddress) + ":" +
                                    std::to_string(c.port()) + " acme-c.one (config.end)\n",
                                milliseconds(3000)));

  ASSERT_TRUE(hub.signal(SIGTERM));
  EXPECT_EQ(hub.wait(milliseconds(5000)), 0);
}

TEST_F(Hub, CommandLineAndPortTaken) {
  Process usage;
  ASSERT_TRUE(usage.start({testsupport::binDir() + "/xpl-hub", "-interface", kInterface, "extra"}));
  EXPECT_EQ(usage.wait(milliseconds(5000)), 2);
  EXPECT_NE(usage.err().find("usage: xpl-hub [-interface NAME] [-xpldebug]"), std::string::npos);

  UdpPeer holder(XPL_PORT);
  ASSERT_TRUE(holder.bound());
  Process second;
  ASSERT_TRUE(second.start({testsupport::binDir() + "/xpl-hub", "-interface", kInterface}));
  EXPECT_EQ(second.wait(milliseconds(5000)), 1);
  EXPECT_NE(second.err().find("cannot own UDP port 3865"), std::string::npos) << second.err();
}

TEST_F(Hub, ServiceFindsTheHubAndAnswersDiscovery) {
  startHub();
  xPL_setBroadcastInterface(const_cast<String>(kInterface));
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  xPL_ServicePtr service = xPL_createService(
      const_cast<String>("acme"), const_cast<String>("found"), const_cast<String>("one"));
  xPL_setServiceEnabled(service, TRUE);

  // Our heartbeat reaches the hub, which learns us and relays it back.
  ASSERT_TRUE(loopUntil([] { return xPL_isHubConfirmed() == TRUE; }, milliseconds(10000)));
  EXPECT_TRUE(hub.waitForStdout("client joined " + std::string(kAddress) + ":" +
                                    std::to_string(xPL_getPort()) + " acme-found.one\n",
                                milliseconds(3000)));

  UdpPeer probe;
  join(probe, "acme-probe.one");
  auto askedAt = Clock::now();
  ASSERT_TRUE(probe.sendTo(
      messageText("xpl-cmnd", "acme-probe.one", "*", "hbeat.request", "command=request\n"),
      kBroadcast, XPL_PORT));
  bool answered = false;
  std::string log;
  {
    DebugCapture capture;
    answered = loopUntil(
        [&] {
          std::string got;
          while (!answered && probe.receive(&got, milliseconds(0)))
            answered = got.find("source=acme-found.one\n") != std::string::npos &&
                       got.find("\nhbeat.app\n") != std::string::npos;
          return answered;
        },
        milliseconds(6000));
    log = capture.text();
  }
  ASSERT_TRUE(answered) << log;
  // Answers wait a random 0.5 to 2.5 s so that a whole network does not
  // answer at once; the answer cannot leave before its delay.
  std::smatch delay;
  const std::regex chosen("in response to discovery request after a ([0-9]+) millisecond delay");
  ASSERT_TRUE(std::regex_search(log, delay, chosen)) << log;
  int delayMs = std::stoi(delay[1]);
  EXPECT_GE(delayMs, 500);
  EXPECT_LE(delayMs, 2500);
  EXPECT_GE(Clock::now() - askedAt, milliseconds(delayMs));

  xPL_releaseService(service);
  EXPECT_TRUE(hub.waitForStdout("client left " + std::string(kAddress) + ":" +
                                    std::to_string(xPL_getPort()) + " acme-found.one (hbeat.end)\n",
                                milliseconds(3000)));
  xPL_shutdown();
}

}  // namespace
