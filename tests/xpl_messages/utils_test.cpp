// Named-value lists, comparison, number helpers, log lines and switches.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "xplmsg_support.h"

using namespace xplmsg;

namespace {

TEST(Compare, LengthFirstThenFoldedBytes) {
  const struct {
    const char *why;
    const char *a;
    const char *b;
    int limit;  // -1: whole texts (xPL_strcmpIgnoreCase), else xPL_strncmpIgnoreCase
    int expected;
  } cases[] = {
      {"letter case ignored", "hbeat", "HBEAT", -1, 0},
      {"shorter sorts first before any letter", "B", "AA", -1, -1},
      {"longer sorts last", "AA", "B", -1, 1},
      {"first differing letter decides", "abc", "abd", -1, -1},
      {"brace is not folded and outranks bracket", "a{", "A[", -1, 1},
      {"only a-z fold: at-sign vs grave", "@", "`", -1, -1},
      {"byte 0x80 sorts before ASCII", "\x80", "A", -1, -1},
      {"empty texts are equal", "", "", -1, 0},
      {"digits compare as they are", "x1", "X2", -1, -1},
      {"limit cuts both texts", "config.app", "CONFIG.END", 6, 0},
      {"lengths compared after the cut", "ab", "abcdef", 3, -1},
      {"difference beyond the limit unseen", "abc", "ABD", 2, 0},
      {"difference within the limit", "abd", "ABC", 3, 1},
  };
  for (const auto &c : cases) {
    int got =
        c.limit < 0 ? xPL_strcmpIgnoreCase(c.a, c.b) : xPL_strncmpIgnoreCase(c.a, c.b, c.limit);
    EXPECT_EQ(c.expected, got) << c.why;
  }
}

TEST(TextHelpers, UpcaseFoldsOnlyLetters) {
  char text[] = "abz{|}~@AZ09";
  xPL_Upcase(text);
  EXPECT_STREQ("ABZ{|}~@AZ09", text);
}

TEST(TextHelpers, HexDigits) {
  struct {
    int value;
    const char *text;
  } out[] = {{0, "00"}, {10, "0A"}, {127, "7F"}, {128, "80"}, {255, "FF"}};
  for (const auto &c : out) EXPECT_STREQ(c.text, xPL_intToHex(c.value)) << c.value;

  struct {
    const char *why;
    const char *text;
    bool ok;
    int value;
  } in[] = {
      {"upper-case digit", "7F", true, 127},       {"lower-case digit refused", "7f", false, 0},
      {"single digit then end", "7", false, 0},    {"empty text", "", false, 0},
      {"only two digits read", "A0FF", true, 160}, {"non-digit", "G0", false, 0},
  };
  for (const auto &c : in) {
    int value = -99;
    EXPECT_EQ(c.ok, xPL_hexToInt(c.text, &value) == TRUE) << c.why;
    EXPECT_EQ(c.ok ? c.value : -99, value) << c.why << ": out untouched on failure";
  }
}

TEST(TextHelpers, DecimalText) {
  struct {
    const char *why;
    const char *text;
    bool ok;
    int value;
  } cases[] = {
      {"plain", "12", true, 12},
      {"leading blank", " 12", true, 12},
      {"sign", "-7", true, -7},
      {"trailing letter", "12a", false, 0},
      {"trailing blank", "12 ", false, 0},
      {"empty succeeds with zero", "", true, 0},
      {"lone sign", "-", false, 0},
      {"saturates high", "99999999999", true, 2147483647},
      {"saturates low", "-99999999999", true, -2147483647 - 1},
  };
  for (const auto &c : cases) {
    int value = -99;
    EXPECT_EQ(c.ok, xPL_strToInt(c.text, &value) == TRUE) << c.why;
    EXPECT_EQ(c.ok ? c.value : -99, value) << c.why;
  }
  EXPECT_STREQ("-42", xPL_intToStr(-42));
}

// ---- Lists ------------------------------------------------------------------

struct ListRelease {
  void operator()(xPL_NameValueList *l) const { xPL_freeNamedValueList(l); }
};
using ListHolder = std::unique_ptr<xPL_NameValueList, ListRelease>;

std::vector<std::string> names(xPL_NameValueListPtr list) {
  std::vector<std::string> out;
  for (int i = 0; i < xPL_getNamedValueCount(list); i++)
    out.push_back(xPL_getNamedValuePairAt(list, i)->itemName);
  return out;
}

TEST(NamedValues, DuplicatesFirstMatchAndRemoveAll) {
  ListHolder list(xPL_newNamedValueList());
  xPL_addNamedValue(list.get(), S("interval"), S("5"));
  xPL_addNamedValue(list.get(), S("other"), S("x"));
  xPL_addNamedValue(list.get(), S("INTERVAL"), S("9"));
  EXPECT_EQ(3, xPL_getNamedValueCount(list.get()));
  EXPECT_STREQ("5", xPL_getNamedValue(list.get(), S("Interval")));
  EXPECT_EQ(0, xPL_getNamedValueIndex(list.get(), S("interval")));

  xPL_setNamedValue(list.get(), S("interval"), S("6"));
  EXPECT_STREQ("6", xPL_getNamedValuePairAt(list.get(), 0)->itemValue) << "first match replaced";
  EXPECT_STREQ("9", xPL_getNamedValuePairAt(list.get(), 2)->itemValue)
      << "later duplicate untouched";

  xPL_setNamedValue(list.get(), S("new"), S("n"));
  EXPECT_EQ((std::vector<std::string>{"interval", "other", "INTERVAL", "new"}), names(list.get()));

  xPL_clearNamedValue(list.get(), S("interval"));
  EXPECT_EQ((std::vector<std::string>{"other", "new"}), names(list.get()))
      << "all matches gone, order kept";
}

TEST(NamedValues, ValueRules) {
  ListHolder list(xPL_newNamedValueList());
  xPL_addNamedValue(list.get(), S("empty"), nullptr);
  EXPECT_TRUE(xPL_doesNamedValueExist(list.get(), S("EMPTY")));
  EXPECT_EQ(nullptr, xPL_getNamedValue(list.get(), S("empty")));

  // A received binary item: visible to the existence test, never as text.
  xPL_NameValuePairPtr bin = xPL_newNamedValuePair(list.get(), S("raw"));
  bin->itemValue = (String)xPL_checkedAlloc(malloc(2), 2);
  memcpy(bin->itemValue, "\x01\x02", 2);
  bin->isBinary = TRUE;
  bin->binaryLength = 2;
  EXPECT_TRUE(xPL_doesNamedValueExist(list.get(), S("raw")));
  EXPECT_EQ(nullptr, xPL_getNamedValue(list.get(), S("raw")));

  xPL_setNamedValue(list.get(), S("raw"), S("text"));
  EXPECT_FALSE(bin->isBinary);
  EXPECT_EQ(0, bin->binaryLength);
  EXPECT_STREQ("text", xPL_getNamedValue(list.get(), S("raw")));

  xPL_setNamedValue(list.get(), S("raw"), nullptr);
  EXPECT_EQ(nullptr, bin->itemValue) << "null clears the value";

  xPL_setNamedValues(list.get(), S("a"), S("1"), S("b"), S("2"), S("a"), S("3"), nullptr);
  EXPECT_STREQ("3", xPL_getNamedValue(list.get(), S("a")));
  EXPECT_STREQ("2", xPL_getNamedValue(list.get(), S("b")));

  // A value taken from the string it replaces: the store would hand that
  // string out again for the copy before it was read.
  const std::string big(300, 'L');
  const struct {
    const char *why;
    std::string before;
    size_t offset;
  } aliased[] = {
      {"same text", "same", 0}, {"its own tail", "xtail", 1}, {"tail of a LARGE text", big, 1}};
  for (const auto &c : aliased) {
    xPL_setNamedValue(list.get(), S("own"), S(c.before.c_str()));
    xPL_setNamedValue(list.get(), S("own"), xPL_getNamedValue(list.get(), S("own")) + c.offset);
    EXPECT_EQ(c.before.substr(c.offset), xPL_getNamedValue(list.get(), S("own"))) << c.why;
  }
}

TEST(NamedValues, GrowthByEightAndArrayKept) {
  ListHolder list(xPL_newNamedValueList());
  for (int i = 0; i < 8; i++) xPL_addNamedValue(list.get(), S("n"), xPL_intToStr(i));
  EXPECT_EQ(8, list->namedValueAlloc);
  xPL_addNamedValue(list.get(), S("ninth"), S("9"));
  EXPECT_EQ(16, list->namedValueAlloc);

  xPL_NameValuePairPtr *slots = list->namedValues;
  xPL_clearAllNamedValues(list.get());
  EXPECT_EQ(0, xPL_getNamedValueCount(list.get()));
  EXPECT_EQ(16, list->namedValueAlloc);
  EXPECT_EQ(slots, list->namedValues);
}

TEST(NamedValues, NullListAndIndexBounds) {
  EXPECT_EQ(-1, xPL_getNamedValueIndex(nullptr, S("x")));
  EXPECT_EQ(nullptr, xPL_getNamedValue(nullptr, S("x")));
  EXPECT_FALSE(xPL_doesNamedValueExist(nullptr, S("x")));
  EXPECT_EQ(0, xPL_getNamedValueCount(nullptr));
  EXPECT_EQ(nullptr, xPL_getNamedValuePairAt(nullptr, 0));
  xPL_clearNamedValueAt(nullptr, 0);
  xPL_clearAllNamedValues(nullptr);
  xPL_freeNamedValueList(nullptr);

  ListHolder list(xPL_newNamedValueList());
  xPL_clearNamedValueAt(list.get(), 0);  // no array yet
  xPL_addNamedValue(list.get(), S("a"), S("1"));
  xPL_addNamedValue(list.get(), S("b"), S("2"));
  xPL_addNamedValue(list.get(), S("c"), S("3"));
  EXPECT_EQ(nullptr, xPL_getNamedValuePairAt(list.get(), -1));
  EXPECT_EQ(nullptr, xPL_getNamedValuePairAt(list.get(), 3));
  xPL_clearNamedValueAt(list.get(), 3);
  xPL_clearNamedValueAt(list.get(), -1);
  xPL_clearNamedValueAt(list.get(), 1);
  EXPECT_EQ((std::vector<std::string>{"a", "c"}), names(list.get())) << "gap closed in order";
}

// ---- Log lines --------------------------------------------------------------

TEST(LogLines, PrefixesAndDebugSwitch) {
  xPL_setDebugging(FALSE);
  StderrCapture quiet;
  xPL_Debug("hidden %d", 1);
  xPL_Error("shown %d", 2);
  std::string out = quiet.text();
  EXPECT_EQ(std::string::npos, out.find("hidden"));
  // "%y/%m/%d %H:%M:%S " then the prefix
  ASSERT_EQ(33u, out.size()) << out;
  EXPECT_EQ('/', out[2]);
  EXPECT_EQ(' ', out[8]);
  EXPECT_EQ(':', out[11]);
  EXPECT_EQ("ERROR: shown 2\n", out.substr(18));

  DebugOn debug;
  StderrCapture loud;
  xPL_Debug("value %s", "100%s");
  EXPECT_EQ("xPL_DEBUG: value 100%s\n", loud.text().substr(18)) << "argument text is not a format";
}

TEST(LogLines, LongLineIsCutToTheBuffer) {
  std::string huge(3000, 'x');
  StderrCapture cap;
  xPL_Error("%s", huge.c_str());
  std::string out = cap.text();
  EXPECT_EQ(511u, out.size());
  EXPECT_EQ('\n', out.back());
}

// ---- Switches ---------------------------------------------------------------

struct ArgsCase {
  const char *why;
  std::vector<const char *> in;
  std::vector<std::string> kept;
  bool debug;
  bool named = true;  // false: an -interface without a name, which the caller refuses
};

TEST(CommonArgs, TakesOnlyTheXplSwitches) {
  const ArgsCase cases[] = {
      {"debug switch dropped", {"prog", "-xpldebug", "-d"}, {"prog", "-d"}, true},
      {"interface and its name dropped",
       {"prog", "-interface", "eth1", "-d", "x"},
       {"prog", "-d", "x"},
       false},
      {"longer switch kept",
       {"prog", "-interfacex", "eth1"},
       {"prog", "-interfacex", "eth1"},
       false},
      {"trailing interface dropped alone",
       {"prog", "-d", "-interface"},
       {"prog", "-d"},
       false,
       false},
      {"empty interface name", {"prog", "-interface", "", "-d"}, {"prog", "-d"}, false, false},
      {"program name never taken", {"-xpldebug"}, {"-xpldebug"}, false},
  };
  for (const auto &c : cases) {
    xPL_setDebugging(FALSE);
    std::vector<String> argv;
    for (const char *a : c.in) argv.push_back(S(a));
    argv.push_back(nullptr);
    int argc = (int)c.in.size();
    StderrCapture quiet;  // the enabling line
    EXPECT_EQ(c.named, xPL_parseCommonArgs(&argc, argv.data(), FALSE) == TRUE) << c.why;
    std::vector<std::string> kept(argv.begin(), argv.begin() + argc);
    EXPECT_EQ(c.kept, kept) << c.why;
    EXPECT_EQ(nullptr, argv[argc]) << c.why;
    EXPECT_EQ(c.debug, xPL_isDebugging() == TRUE) << c.why;
  }
  xPL_setDebugging(FALSE);
  EXPECT_EQ(xcViaHub, xPL_getParsedConnectionType());
}

}  // namespace
