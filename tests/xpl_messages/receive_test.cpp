// The receive loop on a real socket, inside a private network namespace:
// every datagram reaches the raw listeners, only valid ones the message
// listeners, and the hub is confirmed by the echo of our own address and port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "xplmsg_support.h"

using namespace xplmsg;

namespace {

std::vector<int> rawLengths;
std::vector<std::string> rawTexts;
std::vector<std::string> schemas;

void onRaw(String data, int length, xPL_ObjectPtr) {
  rawLengths.push_back(length);
  rawTexts.emplace_back(data, (size_t)length);
}

std::vector<timespec> arrivals;

void onMessage(xPL_MessagePtr m, xPL_ObjectPtr) {
  const char *c = xPL_getSchemaClass(m);
  const char *t = xPL_getSchemaType(m);
  schemas.push_back(std::string(c ? c : "-") + "." + (t ? t : "-"));
  timespec at{};
  if (xPL_getMessageArrival(m, &at)) arrivals.push_back(at);
}

long long nanoseconds(const timespec &t) {
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

class ReceiveLoop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xPL_setBroadcastInterface(S("lo"));
    ASSERT_TRUE(xPL_initialize(xcViaHub));
    xPL_addRawListener(onRaw, nullptr);
    xPL_addMessageListener(onMessage, nullptr);
  }
  static void TearDownTestSuite() {
    xPL_removeRawListener(onRaw);
    xPL_removeMessageListener(onMessage);
    xPL_shutdown();
  }
  void SetUp() override {
    rawLengths.clear();
    rawTexts.clear();
    schemas.clear();
    sender_ = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender_, 0);
  }
  void TearDown() override { close(sender_); }

  // Loopback delivers before sendto returns, so the datagram is queued once this is done.
  void send(const std::string &text) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)xPL_getPort());
    inet_aton("127.0.0.1", &to.sin_addr);
    ASSERT_EQ((ssize_t)text.size(),
              sendto(sender_, text.data(), text.size(), 0, (sockaddr *)&to, sizeof to));
  }

  // Drains what is queued, as the event loop would on readiness.
  void drain() {
    pollfd p{xPL_getFD(), POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 5000)) << "datagram never became readable";
    xPL_receiveMessage(xPL_getFD(), POLLIN, -1);
  }

  std::string heartbeat(int port) {
    return "xpl-stat\n{\nhop=1\nsource=quorvel-hub.h\ntarget=*\n}\nhbeat.app\n{\ninterval="
           "5\nport=" +
           std::to_string(port) + "\nremote-ip=" + xPL_getListenerIPAddr() + "\n}\n";
  }

  int sender_ = -1;
};

TEST_F(ReceiveLoop, RawSeesAllValidOnesAreDispatched) {
  const std::string request =
      "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\nsensor.request\n{\nrequest=current\n}\n";
  send("not an xpl message");
  send("");
  send(request);
  send(std::string(3000, 'x'));
  drain();
  EXPECT_EQ((std::vector<int>{18, 0, (int)request.size(), 2047}), rawLengths)
      << "datagrams cut at 2047 bytes";
  ASSERT_EQ(4u, rawTexts.size());
  EXPECT_EQ(request, rawTexts[2]);
  EXPECT_EQ((std::vector<std::string>{"sensor.request"}), schemas);
}

TEST_F(ReceiveLoop, OneReadinessReadsAtMost256Datagrams) {
  // The rest waits for the next turn of the loop, so a flood cannot hold
  // off timers and a stop request.
  for (int i = 0; i < 300; i++) send("");
  drain();
  EXPECT_EQ(256u, rawLengths.size());
  drain();
  EXPECT_EQ(300u, rawLengths.size());
}

TEST_F(ReceiveLoop, EachMessageCarriesItsArrivalWhileDispatched) {
  const std::string request =
      "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\nsensor.request\n{\nrequest=current\n}\n";
  arrivals.clear();
  timespec before{}, after{};
  clock_gettime(CLOCK_REALTIME, &before);
  send(request);
  send(request);
  clock_gettime(CLOCK_REALTIME, &after);
  // A loaded machine may hand the second datagram over a little later.
  for (int reads = 0; reads < 2 && arrivals.size() < 2; reads++) drain();
  ASSERT_EQ(2u, arrivals.size()) << "every dispatched message has its arrival";
  EXPECT_LE(nanoseconds(before), nanoseconds(arrivals[0]));
  EXPECT_LE(nanoseconds(arrivals[0]), nanoseconds(arrivals[1])) << "in the order they came";
  EXPECT_LE(nanoseconds(arrivals[1]), nanoseconds(after)) << "the kernel's stamp, not the read";

  MessageHolder elsewhere = parse(request);
  timespec at{};
  EXPECT_FALSE(xPL_getMessageArrival(elsewhere.get(), &at)) << "not being dispatched";
  EXPECT_FALSE(xPL_getMessageArrival(nullptr, &at));
}

TEST_F(ReceiveLoop, HubConfirmedOnlyByOurOwnAddressAndPort) {
  ASSERT_FALSE(xPL_isHubConfirmed());
  send(heartbeat(xPL_getPort() + 1));
  drain();
  EXPECT_FALSE(xPL_isHubConfirmed()) << "another port is not our echo";
  ASSERT_EQ(1u, schemas.size());

  send(heartbeat(xPL_getPort()));
  drain();
  EXPECT_TRUE(xPL_isHubConfirmed());

  send(heartbeat(xPL_getPort() + 1));
  drain();
  EXPECT_TRUE(xPL_isHubConfirmed()) << "once confirmed, stays confirmed";
}

TEST_F(ReceiveLoop, SentMessageArrivesAsItsFormattedText) {
  // Stands where a hub would: on the xPL port of this private namespace.
  int hub = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(hub, 0);
  int on = 1;
  setsockopt(hub, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(XPL_PORT);
  ASSERT_EQ(0, bind(hub, (sockaddr *)&at, sizeof at));

  FakeService service("quorvel", "davis", "station1");
  MessageHolder m(xPL_createBroadcastMessage(service.ptr(), xPL_MESSAGE_TRIGGER));
  xPL_setSchema(m.get(), S("sensor"), S("basic"));
  xPL_addMessageNamedValue(m.get(), S("current"), S("29.921"));
  const std::string expected = xPL_formatMessage(m.get());
  ASSERT_TRUE(xPL_sendMessage(m.get()));

  pollfd p{hub, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 5000)) << "nothing arrived on the xPL port";
  char got[MSG_BUFF_SIZE];
  ssize_t n = recv(hub, got, sizeof got, 0);
  close(hub);
  EXPECT_EQ(expected, std::string(got, n > 0 ? (size_t)n : 0)) << "one datagram, no terminator";
}

}  // namespace
