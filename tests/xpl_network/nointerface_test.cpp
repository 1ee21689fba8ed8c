// Finding an interface when none is named: loopback and interfaces that
// are down do not count; the first one up does.
#include <gtest/gtest.h>

#include <string>

#include "xplnet_support.h"

namespace {

using namespace xplnet;

TEST(DefaultInterface, FirstInterfaceUpThatIsNoLoopback) {
  struct Row {
    const char *probe;
    std::function<bool()> setUp;
    bool connects;
    const char *expectedInLog;
  } rows[] = {
      {"only loopback", [] { return true; }, false,
       "ERROR: Could not find a working, non-loopback network interface\n"},
      {"only loopback, tried again", [] { return true; }, false,
       "ERROR: Could not find a working, non-loopback network interface\n"},
      {"an interface with an address that is down",
       [] {
         return testsupport::runCommand(
                    {"ip", "link", "add", "xdn0", "type", "veth", "peer", "name", "xdn0p"}) == 0 &&
                testsupport::runCommand({"ip", "addr", "add", "10.78.0.1/24", "dev", "xdn0"}) == 0;
       },
       false, "Checking if interface xdn0 is valid w/flags"},
      {"an interface up",
       [] {
         std::string why;
         return addInterface(&why);
       },
       true, "Choose interface xnt0 as default interface\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.probe);
    ASSERT_TRUE(row.setUp());
    DebugCapture capture;
    Bool connected = xPL_initialize(xcViaHub);
    std::string log = capture.text();
    EXPECT_EQ(connected == TRUE, row.connects) << log;
    EXPECT_NE(log.find(row.expectedInLog), std::string::npos) << log;
    EXPECT_EQ(xPL_getFD() != -1, row.connects);
  }
  EXPECT_STREQ(xPL_getBroadcastInterface(), kInterface);
  EXPECT_STREQ(xPL_getListenerIPAddr(), kAddress);
  EXPECT_TRUE(xPL_shutdown());
}

}  // namespace
