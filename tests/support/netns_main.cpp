// netns_main.cpp - gtest entry point that runs every test in a private
// network namespace, or runs nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "netns.h"

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  // Listing tests (test discovery at build time) needs no namespace.
  if (!testing::GTEST_FLAG(list_tests)) {
    std::string why;
    if (!testsupport::enterPrivateNetns(&why)) {
      fprintf(stderr, "cannot make a private network namespace (%s); not running\n", why.c_str());
      return 1;
    }
  }
  return RUN_ALL_TESTS();
}
