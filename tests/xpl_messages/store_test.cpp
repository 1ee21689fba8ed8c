// The recycling store: exact-length string reuse, LIFO records, kept slot arrays.
// Store state lives for the whole process, so each test uses string lengths
// no other test touches.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "xplmsg_support.h"

using namespace xplmsg;

namespace {

TEST(StringStore, ReuseByExactLength) {
  DebugOn debug;
  String five = xPL_StrDup("abcde");
  xPL_FreeStr(five);

  StderrCapture cap;
  String again = xPL_StrAlloc(5);
  String six = xPL_StrAlloc(6);
  std::string log = cap.text();
  EXPECT_EQ(five, again) << "same memory for the same length";
  EXPECT_STREQ("", again) << "handed out empty";
  EXPECT_NE(five, six);
  EXPECT_TRUE(contains(log, "STORE:: Reusing cache entry for String @")) << log;
  EXPECT_TRUE(contains(log, "STORE:: Cache Empty, Allocating entirely new string @")) << log;

  // Once a 6-character string was released and taken again, the slot exists but is empty.
  xPL_FreeStr(xPL_StrDup("123456"));
  String taken = xPL_StrAlloc(6);
  StderrCapture cap2;
  String fresh = xPL_StrAlloc(6);
  EXPECT_TRUE(
      contains(cap2.text(), "STORE:: No Cache Entry found, Allocating entirely new string @"));
  xPL_FreeStr(again);
  xPL_FreeStr(six);
  xPL_FreeStr(taken);
  xPL_FreeStr(fresh);
}

TEST(StringStore, CurrentLengthPicksTheSlot) {
  String roomy = xPL_StrAlloc(20);
  strcpy(roomy, "seven77");
  xPL_FreeStr(roomy);
  String seven = xPL_StrAlloc(7);
  EXPECT_EQ(roomy, seven);
  xPL_FreeStr(seven);
}

TEST(StringStore, LargeStringsAreNotCached) {
  DebugOn debug;
  std::string last(255, 'x'), large(256, 'y'), big(300, 'z');
  struct {
    const std::string *text;
    bool large;
  } cases[] = {{&last, false}, {&large, true}, {&big, true}};
  for (const auto &c : cases) {
    StderrCapture cap;
    String s = xPL_StrDup(c.text->c_str());
    EXPECT_STREQ(c.text->c_str(), s);
    xPL_FreeStr(s);
    std::string log = cap.text();
    EXPECT_EQ(c.large, contains(log, "STORE:: Allocating entirely new LARGE string @"))
        << c.text->size();
    EXPECT_EQ(c.large, contains(log, "STORE:: Permanently releasing large string @"))
        << c.text->size();
    EXPECT_EQ(!c.large, contains(log, "to cache -- [")) << c.text->size();
  }
}

TEST(StringStore, CopiesAndNulls) {
  DebugOn debug;
  StderrCapture cap;
  String four = xPL_StrNDup("0123456789", 4);
  String whole = xPL_StrNDup("ab", 10);
  EXPECT_STREQ("0123", four);
  EXPECT_STREQ("ab", whole);
  // Each line quotes the text the copy is taken from.
  for (const char *line : {"STORE:: Duped string [0123456789] (4 bytes copied, 4 bytes max)\n",
                           "STORE:: Duped string [ab] (2 bytes copied, 10 bytes max)\n"})
    EXPECT_TRUE(contains(cap.text(), line)) << cap.text();
  xPL_FreeStr(four);
  xPL_FreeStr(whole);

  EXPECT_EQ(nullptr, xPL_StrAlloc(-1));
  EXPECT_EQ(nullptr, xPL_StrDup(nullptr));
  EXPECT_EQ(nullptr, xPL_StrNDup(nullptr, 3));
  xPL_FreeStr(nullptr);
}

TEST(RecordStore, LastReleasedFirstReused) {
  xPL_NameValuePairPtr first = xPL_AllocNVPair();
  xPL_NameValuePairPtr second = xPL_AllocNVPair();
  xPL_FreeNVPair(first);
  xPL_FreeNVPair(second);
  EXPECT_EQ(second, xPL_AllocNVPair());
  xPL_NameValuePairPtr again = xPL_AllocNVPair();
  EXPECT_EQ(first, again);
  EXPECT_EQ(nullptr, again->itemName);
  EXPECT_FALSE(again->isBinary);
  xPL_FreeNVPair(second);
  xPL_FreeNVPair(again);

  xPL_ServicePtr service = xPL_AllocService();
  service->heartbeatInterval = 300;
  xPL_FreeService(service);
  xPL_ServicePtr reused = xPL_AllocService();
  EXPECT_EQ(service, reused);
  EXPECT_EQ(0, reused->heartbeatInterval) << "services come back zeroed";
  xPL_FreeService(reused);
}

TEST(RecordStore, ReusedListKeepsItsSlots) {
  xPL_NameValueListPtr list = xPL_newNamedValueList();
  for (int i = 0; i < 9; i++) xPL_addNamedValue(list, S("k"), S("v"));
  xPL_NameValuePairPtr *slots = list->namedValues;
  xPL_freeNamedValueList(list);

  xPL_NameValueListPtr reused = xPL_newNamedValueList();
  EXPECT_EQ(list, reused);
  EXPECT_EQ(0, reused->namedValueCount);
  EXPECT_EQ(16, reused->namedValueAlloc);
  EXPECT_EQ(slots, reused->namedValues);
  xPL_freeNamedValueList(reused);
}

TEST(StoreDeathTest, FailedAllocationEndsTheProcessWithAnErrorLine) {
  EXPECT_EXIT(xPL_checkedAlloc(nullptr, 64), ::testing::ExitedWithCode(EXIT_FAILURE),
              "ERROR: STORE:: Out of memory allocating 64 bytes");
  EXPECT_EQ(nullptr, xPL_checkedAlloc(nullptr, 0)) << "an empty request may come back null";
}

}  // namespace
