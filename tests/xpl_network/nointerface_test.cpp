// A host with nothing but loopback cannot join an xPL network.
#include <gtest/gtest.h>

#include <string>

#include "xplnet_support.h"

namespace {

TEST(NoInterface, OnlyLoopbackMeansNoConnection) {
  for (int attempt = 0; attempt < 2; attempt++) {
    SCOPED_TRACE(attempt);
    xplnet::StderrCapture capture;
    EXPECT_FALSE(xPL_initialize(xcViaHub));
    std::string log = capture.text();
    EXPECT_NE(log.find("ERROR: Could not find a working, non-loopback network interface\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(xPL_getFD(), -1) << "may be tried again";
  }
}

}  // namespace
