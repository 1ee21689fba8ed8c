// Joining the xPL network: interface and broadcast address, stand-alone,
// hub and automatic connection with port 3865 free and taken, instance
// identifiers, shutdown.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/time.h>

#include <regex>
#include <string>

#include "xplnet_support.h"

namespace {

using namespace xplnet;

class Connection : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    ASSERT_TRUE(addInterface(&why)) << why;
  }
  void SetUp() override {
    ASSERT_EQ(xPL_getFD(), -1);
    xPL_setBroadcastInterface(const_cast<String>(kInterface));
  }
  void TearDown() override { xPL_shutdown(); }
};

int openDescriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) count++;
  if (dir != nullptr) closedir(dir);
  return count;
}

TEST_F(Connection, BroadcastAddressFromAddressAndNetmask) {
  struct Row {
    const char *interface;
    const char *cidr;
    const char *broadcast;
  } rows[] = {
      {"xb24", "10.77.0.1/24", "10.77.0.255"},
      {"xb16", "10.77.0.1/16", "10.77.255.255"},
      {"xb30", "10.77.0.9/30", "10.77.0.11"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.cidr);
    std::string why;
    ASSERT_TRUE(testsupport::addTestInterface(row.interface, row.cidr, &why)) << why;
    xPL_setBroadcastInterface(const_cast<String>(row.interface));
    ASSERT_TRUE(xPL_initialize(xcViaHub));
    EXPECT_STREQ(xPL_getBroadcastInterface(), row.interface);
    EXPECT_EQ(std::string(xPL_getBroadcastIPAddr()), row.broadcast);
    EXPECT_EQ(std::string(xPL_getListenerIPAddr()),
              std::string(row.cidr).substr(0, strlen(row.cidr) - 3));
    EXPECT_TRUE(xPL_shutdown());
  }
}

TEST_F(Connection, ModesWithPort3865FreeAndTaken) {
  struct Row {
    const char *probe;
    xPL_ConnectType asked;
    bool portTaken;
    bool connects;
    xPL_ConnectType achieved;
  } rows[] = {
      {"hub mode, port free", xcViaHub, false, true, xcViaHub},
      // After a hub-mode run: stand-alone must still take the xPL port.
      {"stand-alone, port free", xcStandAlone, false, true, xcStandAlone},
      {"stand-alone, port taken", xcStandAlone, true, false, xcStandAlone},
      {"hub mode, port taken", xcViaHub, true, true, xcViaHub},
      {"automatic, port free", xcAuto, false, true, xcStandAlone},
      {"automatic, port taken", xcAuto, true, true, xcViaHub},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.probe);
    std::unique_ptr<UdpPeer> holder;
    if (row.portTaken) {
      holder.reset(new UdpPeer(XPL_PORT));
      ASSERT_TRUE(holder->bound());
    }
    int descriptorsBefore = openDescriptors();
    Bool connected;
    std::string log;
    {
      DebugCapture capture;
      connected = xPL_initialize(row.asked);
      log = capture.text();
    }
    ASSERT_EQ(connected == TRUE, row.connects) << log;
    if (!row.connects) {
      EXPECT_EQ(xPL_getFD(), -1);
      EXPECT_EQ(log.find("Attempting hub based xPL"), std::string::npos) << "no hub attempt";
      EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a failed start leaves nothing open";
      continue;
    }
    EXPECT_NE(xPL_getFD(), -1);
    EXPECT_EQ(xPL_getConnectType(), row.achieved);
    if (row.achieved == xcStandAlone) {
      EXPECT_EQ(xPL_getPort(), XPL_PORT);
      EXPECT_NE(log.find("xPL Started in standalone mode"), std::string::npos);
    } else {
      EXPECT_NE(xPL_getPort(), XPL_PORT);
      EXPECT_GT(xPL_getPort(), 0);
      EXPECT_NE(log.find("xPL Starting in Hub mode on port " + std::to_string(xPL_getPort())),
                std::string::npos);
    }

    // What we send goes to port 3865 of the broadcast address.
    if (row.portTaken) {
      std::string text = "xpl-stat\n{\n}\n";
      ASSERT_TRUE(
          xPL_sendRawMessage(const_cast<String>(text.c_str()), static_cast<int>(text.size())));
      std::string got;
      ASSERT_TRUE(holder->receive(&got, milliseconds(2000)));
      EXPECT_EQ(got, text);
    }

    // Connected: a second start is refused and the interface stays put.
    int fd = xPL_getFD();
    EXPECT_FALSE(xPL_initialize(row.asked));
    EXPECT_EQ(xPL_getFD(), fd);
    xPL_setBroadcastInterface(const_cast<String>("lo"));
    EXPECT_STREQ(xPL_getBroadcastInterface(), kInterface);

    EXPECT_TRUE(xPL_shutdown());
    EXPECT_EQ(xPL_getFD(), -1);
    EXPECT_FALSE(xPL_shutdown()) << "not connected any more";
  }
}

TEST_F(Connection, InterfaceNamesTooLongAreRefused) {
  std::string longest(INTERFACE_NAME_SIZE - 1, 'n');
  std::string tooLong(INTERFACE_NAME_SIZE, 'n');
  xPL_setBroadcastInterface(const_cast<String>(tooLong.c_str()));
  EXPECT_STREQ(xPL_getBroadcastInterface(), kInterface);

  xPL_setBroadcastInterface(const_cast<String>(longest.c_str()));
  EXPECT_EQ(std::string(xPL_getBroadcastInterface()), longest);
  StderrCapture capture;
  EXPECT_FALSE(xPL_initialize(xcViaHub)) << "no interface has that name";
  EXPECT_NE(capture.text().find("Unable to get IP addr for interface " + longest),
            std::string::npos);
  EXPECT_EQ(xPL_getFD(), -1);
}

TEST_F(Connection, ReconnectingRoutesEachMessageOnce) {
  // The router removed by the program between shutdown and the next start,
  // or not: either way the next start has it once.
  for (bool routerRemoved : {false, true}) {
    SCOPED_TRACE(routerRemoved ? "router removed" : "started again");
    static int received;
    received = 0;
    ASSERT_TRUE(xPL_initialize(xcViaHub));
    ASSERT_TRUE(xPL_shutdown());
    if (routerRemoved) {
      ASSERT_TRUE(xPL_removeMessageListener(xPL_handleServiceMessage));
    }
    ASSERT_TRUE(xPL_initialize(xcViaHub));
    xPL_ServicePtr service = xPL_createService(
        const_cast<String>("acme"), const_cast<String>("twice"), const_cast<String>("one"));
    xPL_addServiceListener(
        service, [](xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) { received++; }, xPL_MESSAGE_ANY,
        nullptr, nullptr, nullptr);
    UdpPeer peer;
    ASSERT_TRUE(peer.sendTo(messageText("xpl-cmnd", "a-b.c", "acme-twice.one", "x.y", ""), kAddress,
                            xPL_getPort()));
    EXPECT_TRUE(loopUntil([] { return received > 0; }, milliseconds(3000)));
    xPL_processMessages(0);
    EXPECT_EQ(received, 1);
    xPL_releaseService(service);
    xPL_shutdown();
  }
}

TEST_F(Connection, InstanceIdentifiers) {
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  struct timeval before;
  gettimeofday(&before, nullptr);
  String ident = xPL_getFairlyUniqueIdent();
  ASSERT_NE(ident, nullptr);
  std::string text = ident;
  xPL_FreeStr(ident);

  // 10.77.0.1 as upper-case hex, then milliseconds in base 36, 16 in all;
  // the time never needs the eighth digit.
  EXPECT_TRUE(std::regex_match(text, std::regex("0A4D00010[0-9a-z]{7}"))) << text;
  uint32_t decoded = 0;
  for (char c : text.substr(8))
    decoded = decoded * 36 + static_cast<uint32_t>(isdigit(c) ? c - '0' : c - 'a' + 10);
  uint32_t nowMs =
      static_cast<uint32_t>(before.tv_sec) * 1000u + static_cast<uint32_t>(before.tv_usec / 1000);
  uint32_t drift = decoded - nowMs;  // modulo 2^32, like the identifier itself
  EXPECT_LT(drift, 10000u) << "decoded " << decoded << " against " << nowMs;
}

}  // namespace
