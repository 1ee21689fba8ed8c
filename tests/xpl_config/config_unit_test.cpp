// config_unit_test.cpp - configurable items and values, definitions, filter
// text, installation of config.response messages and the configuration
// file, all on services that are not on the network.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <random>

#include "cfg_support.h"

using namespace cfgtest;

namespace {

using testsupport::listDir;

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  testsupport::ScratchDir dir_{"xplcfg"};
  const std::string path_ = dir_.file("cfg.xml");
};

const std::string kHeader = "[kivamet-cfgtest]\n";
const std::string kItems = "reconf=type\noption=device\nreconf=location[16]\n";

}  // namespace

/* ---- Items and values -------------------------------------------------- */

TEST(ConfigItems, DefiningFollowsTheNameAndEnabledRules) {
  Service s;
  EXPECT_TRUE(xPL_addServiceConfigurable(s.get(), S("Type"), xPL_CONFIG_RECONF, 0));
  xPL_ServiceConfigurablePtr item = xPL_findServiceConfigurable(s.get(), S("TYPE"));
  ASSERT_NE(item, nullptr) << "lookup ignores letter case";
  EXPECT_STREQ(item->itemName, "Type") << "stored as given";
  EXPECT_EQ(item->maxValueCount, 1) << "a maximum of 0 becomes 1";
  EXPECT_FALSE(xPL_addServiceConfigurable(s.get(), S("type"), xPL_CONFIG_OPTIONAL, 1))
      << "a name defined in other case is a duplicate";

  const std::string longest(127, 'n');
  struct {
    const char *why;
    std::string name;
    bool accepted;
  } rows[] = {
      {"127 characters fit the definition line", longest, true},
      {"128 characters are one too many", std::string(128, 'm'), false},
      {"empty name", "", false},
      {"= would split the file line", "a=b", false},
      {"[ would start a maximum", "a[2]", false},
      {"a line feed would split the file line", "a\nb", false},
      {"! would make receivers take the item for binary", "a!b", false},
      {"} would end the block of config.current", "a}b", false},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(xPL_addServiceConfigurable(s.get(), S(row.name), xPL_CONFIG_OPTIONAL, 2) == TRUE,
              row.accepted)
        << row.why;
  }

  xPL_setServiceEnabled(s.get(), TRUE);
  EXPECT_FALSE(xPL_addServiceConfigurable(s.get(), S("late"), xPL_CONFIG_OPTIONAL, 1));
  EXPECT_FALSE(xPL_removeServiceConfigurable(s.get(), S("type")));
  xPL_removeAllServiceConfigurables(s.get());
  EXPECT_EQ(s->configCount, 2) << "definitions stay while enabled";
  xPL_setServiceEnabled(s.get(), FALSE);
}

TEST(ConfigItems, RemovingKeepsTheOrderOfTheRest) {
  Service s;
  for (const char *name : {"a", "b", "c", "d", "e"})
    ASSERT_TRUE(xPL_addServiceConfigurable(s.get(), S(name), xPL_CONFIG_OPTIONAL, 1));
  xPL_setServiceConfigValue(s.get(), S("c"), S("gone"));
  xPL_setServiceConfigValue(s.get(), S("d"), S("kept"));
  EXPECT_TRUE(xPL_removeServiceConfigurable(s.get(), S("C")));
  EXPECT_FALSE(xPL_removeServiceConfigurable(s.get(), S("c")));
  ASSERT_EQ(s->configCount, 4);
  EXPECT_STREQ(s->configList[2].itemName, "d");
  EXPECT_STREQ(xPL_getServiceConfigValue(s.get(), S("d")), "kept");
  EXPECT_STREQ(s->configList[3].itemName, "e");
}

TEST(ConfigValues, IndexAndMaximumBoundaries) {
  Service s;
  ASSERT_TRUE(xPL_addServiceConfigurable(s.get(), S("multi"), xPL_CONFIG_OPTIONAL, 20));
  for (int i = 0; i < 20; i++)
    ASSERT_TRUE(xPL_addServiceConfigValue(s.get(), S("multi"), S(std::to_string(i))));
  EXPECT_FALSE(xPL_addServiceConfigValue(s.get(), S("multi"), S("21st"))) << "maximum reached";
  EXPECT_FALSE(xPL_addServiceConfigValue(s.get(), S("nosuch"), S("x")));

  struct {
    const char *why;
    int index;
    const char *expected;
  } reads[] = {{"first", 0, "0"},
               {"last", 19, "19"},
               {"one past the end", 20, nullptr},
               {"negative", -1, nullptr},
               {"far negative", INT_MIN, nullptr}};
  for (const auto &row : reads) {
    const char *got = xPL_getServiceConfigValueAt(s.get(), S("multi"), row.index);
    if (row.expected == nullptr) {
      EXPECT_EQ(got, nullptr) << row.why;
    } else {
      EXPECT_STREQ(got, row.expected) << row.why;
    }
  }

  xPL_setServiceConfigValueAt(s.get(), S("multi"), 5, S("five"));
  EXPECT_STREQ(xPL_getServiceConfigValueAt(s.get(), S("multi"), 5), "five");
  xPL_setServiceConfigValueAt(s.get(), S("multi"), -1, S("negative"));
  EXPECT_EQ(xPL_getServiceConfigValueCount(s.get(), S("multi")), 20);
  EXPECT_EQ(values(s.get(), "multi")[0], "0") << "a negative index replaces nothing";

  ASSERT_TRUE(xPL_addServiceConfigurable(s.get(), S("one"), xPL_CONFIG_OPTIONAL, 1));
  xPL_setServiceConfigValueAt(s.get(), S("one"), 7, S("appended"));
  EXPECT_EQ(values(s.get(), "one"), std::vector<std::string>{"appended"})
      << "an index past the end appends";
  xPL_setServiceConfigValue(s.get(), S("one"), S("replaced"));
  EXPECT_EQ(values(s.get(), "one"), std::vector<std::string>{"replaced"});
}

TEST(ConfigValues, AnEnabledServiceKeepsItsValues) {
  Service s;
  s.declareItems();
  xPL_setServiceConfigValue(s.get(), S("type"), S("serial"));
  xPL_setServiceEnabled(s.get(), TRUE);
  xPL_setServiceConfigValue(s.get(), S("type"), S("tcp"));
  EXPECT_FALSE(xPL_addServiceConfigValue(s.get(), S("location"), S("x")));
  xPL_clearServiceConfigValues(s.get(), S("type"));
  xPL_clearAllServiceConfigValues(s.get());
  EXPECT_EQ(values(s.get(), "type"), std::vector<std::string>{"serial"});
  xPL_setServiceEnabled(s.get(), FALSE);
  xPL_clearServiceConfigValues(s.get(), S("TYPE"));
  EXPECT_EQ(xPL_getServiceConfigValueCount(s.get(), S("type")), 0);
}

/* ---- Installing a config.response -------------------------------------- */

TEST(ConfigInstall, OmittedItemsLoseTheirValues) {
  Service s;
  s.declareItems();
  xPL_setServiceConfigValue(s.get(), S("type"), S("serial"));
  xPL_setServiceConfigValue(s.get(), S("device"), S("/dev/ttyS0"));
  sendResponse(s.get(), "type=tcp\nlocation=a\nLOCATION=b\n");
  EXPECT_TRUE(xPL_isServiceConfigured(s.get()));
  EXPECT_EQ(values(s.get(), "type"), std::vector<std::string>{"tcp"});
  EXPECT_EQ(xPL_getServiceConfigValueCount(s.get(), S("device")), 0);
  EXPECT_EQ(values(s.get(), "location"), (std::vector<std::string>{"a", "b"}));
}

TEST(ConfigInstall, UnusablePairsAreSkippedOneByOne) {
  Service s;
  s.declareItems();
  sendResponse(s.get(),
               "nosuch=1\n"
               "type=first\ntype=second\n"  // one value at most
               "config=sneaky\nreconf=sneaky2\noption=sneaky3[4]\n"
               "device=kept\n");
  EXPECT_TRUE(xPL_isServiceConfigured(s.get())) << "the rest is installed";
  EXPECT_EQ(values(s.get(), "type"), std::vector<std::string>{"first"});
  EXPECT_EQ(values(s.get(), "device"), std::vector<std::string>{"kept"});
  EXPECT_EQ(s->configCount, 3) << "definitions from the network are ignored";
}

TEST(ConfigInstall, FiltersAndGroupsAreReplacedOnlyWhenNamed) {
  Service s;
  s.declareItems();
  sendResponse(s.get(), "group=XPL-GROUP.a\ngroup=XPL-GROUP.b\nfilter=xpl-cmnd.*.*.*.sensor.*\n");
  EXPECT_EQ(groups(s.get()), (std::vector<std::string>{"XPL-GROUP.a", "XPL-GROUP.b"}));
  EXPECT_EQ(s->filterCount, 1);

  const char *instanceBefore = xPL_getServiceInstanceID(s.get());
  std::string instance = instanceBefore;
  int interval = s->heartbeatInterval;
  sendResponse(s.get(), "type=x\n");
  EXPECT_EQ(groups(s.get()).size(), 2u) << "no group pair: groups kept";
  EXPECT_EQ(s->filterCount, 1) << "no filter pair: filters kept";
  EXPECT_EQ(instance, xPL_getServiceInstanceID(s.get()));
  EXPECT_EQ(interval, s->heartbeatInterval);

  sendResponse(s.get(), "group=\nfilter=\n");
  EXPECT_EQ(s->groupCount, 0) << "one empty group pair removes them all";
  EXPECT_EQ(s->filterCount, 0) << "one empty filter pair removes them all";

  sendResponse(s.get(), "group=XPL-GROUP.c\ngroup=\ngroup=XPL-GROUP.d\n");
  EXPECT_EQ(groups(s.get()), (std::vector<std::string>{"XPL-GROUP.c", "XPL-GROUP.d"}));
}

TEST(ConfigInstall, IntervalValues) {
  struct {
    const char *why;
    const char *value;
    int seconds;   // heartbeatInterval after installing (starts at 300)
    bool refused;  // logged as a value that cannot be set
  } rows[] = {
      {"whole minutes", "10", 600, false},
      {"leading blank", " 7", 420, false},
      {"empty reads as 0", "", 0, false},
      {"not a number is ignored", "5min", 300, false},
      {"largest that fits 7 characters", "9999999", 599999940, false},
      {"8 digits do not fit the reply", "10000000", 300, true},
      {"most negative that fits", "-999999", -59999940, false},
      {"one more digit", "-1000000", 300, true},
      {"beyond int saturates and is refused", "99999999999", 300, true},
  };
  for (const auto &row : rows) {
    Service s;
    xPL_setDebugging(TRUE);
    testing::internal::CaptureStderr();
    sendResponse(s.get(), std::string("interval=") + row.value + "\n");
    std::string log = testing::internal::GetCapturedStderr();
    xPL_setDebugging(FALSE);
    EXPECT_EQ(s->heartbeatInterval, row.seconds) << row.why;
    EXPECT_EQ(log.find("UNABLE to add/set") != std::string::npos, row.refused) << row.why;
    EXPECT_EQ(log.find("About to update configurable"), std::string::npos)
        << "the interval is no configurable item: " << row.why;
  }

  Service s;
  sendResponse(s.get(), "interval=2\ninterval=junk\ninterval=3\n");
  EXPECT_EQ(s->heartbeatInterval, 180) << "the last numeric pair decides";
  sendResponse(s.get(), "interval=9\ninterval=3\n");
  EXPECT_EQ(s->heartbeatInterval, 180) << "a later pair equal to the current interval wins";
}

TEST(ConfigInstall, NewconfTakesOnlyInstanceIDs) {
  struct {
    const char *why;
    std::string value;
    const char *instance;  // afterwards; the service starts as Station1
  } rows[] = {
      {"a case-only change is taken", "station1", "station1"},
      {"16 letters, digits and hyphens", "abcdefghij-12345", "abcdefghij-12345"},
      {"17 characters", "abcdefghij-123456", "Station1"},
      {"empty", "", "Station1"},
      {"a period", "a.b", "Station1"},
      {"a byte above ASCII", "st\xe4tion", "Station1"},
  };
  for (const auto &row : rows) {
    Service s;
    sendResponse(s.get(), "newconf=Station1\n");
    testing::internal::CaptureStderr();
    sendResponse(s.get(), "newconf=" + row.value + "\n");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(xPL_getServiceInstanceID(s.get()), row.instance) << row.why;
    bool refused = strcmp(row.instance, "Station1") == 0;
    EXPECT_EQ(log.find("ERROR: CONFIG:: Instance ID [") != std::string::npos, refused)
        << row.why << ": " << log;
  }
}

TEST(ConfigInstall, FilterTexts) {
  struct {
    const char *why;
    const char *text;
    bool accepted;
    xPL_MessageType type;
    const char *fields[5];  // vendor, device, instance, class, type; null = wildcard
    const char *saved;      // the filter line written back to the file
  } rows[] = {
      {"sensor commands only",
       "xpl-cmnd.*.*.*.sensor.*",
       true,
       xPL_MESSAGE_COMMAND,
       {nullptr, nullptr, nullptr, "sensor", nullptr},
       "filter=xpl-cmnd.*.*.*.sensor.*"},
      {"five fields are too few", "xpl-cmnd.*.*.*.sensor", false, xPL_MESSAGE_ANY, {}, nullptr},
      {"not a message type", "stat.*.*.*.*.*", false, xPL_MESSAGE_ANY, {}, nullptr},
      {"type in capitals",
       "XPL-STAT.a.b.c.d.e",
       true,
       xPL_MESSAGE_STATUS,
       {"a", "b", "c", "d", "e"},
       "filter=xpl-stat.a.b.c.d.e"},
      {"trigger",
       "xpl-trig.v.d.i.c.t",
       true,
       xPL_MESSAGE_TRIGGER,
       {"v", "d", "i", "c", "t"},
       "filter=xpl-trig.v.d.i.c.t"},
      {"only the first eight characters name the type",
       "xpl-cmndx.*.*.*.*.*",
       true,
       xPL_MESSAGE_COMMAND,
       {nullptr, nullptr, nullptr, nullptr, nullptr},
       "filter=xpl-cmnd.*.*.*.*.*"},
      {"seven characters", "xpl-cmn.*.*.*.*.*", false, xPL_MESSAGE_ANY, {}, nullptr},
      {"the schema type keeps further dots",
       "*.v.d.i.c.t.x",
       true,
       xPL_MESSAGE_ANY,
       {"v", "d", "i", "c", "t.x"},
       "filter=*.v.d.i.c.t.x"},
      {"empty fields are empty names",
       "*.....",
       true,
       xPL_MESSAGE_ANY,
       {"", "", "", "", ""},
       "filter=*....."},
      {"a field starting with * is a wildcard",
       "*.*x.d.*y.c.*z",
       true,
       xPL_MESSAGE_ANY,
       {nullptr, "d", nullptr, "c", nullptr},
       "filter=*.*.d.*.c.*"},
      {"no dots at all", "*", false, xPL_MESSAGE_ANY, {}, nullptr},
      {"first field empty", ".a.b.c.d.e", false, xPL_MESSAGE_ANY, {}, nullptr},
  };
  testsupport::ScratchDir dir("xplcfg-filter");
  const std::string path = dir.file("f.xml");
  for (const auto &row : rows) {
    Service s(path);
    sendResponse(s.get(), std::string("filter=") + row.text + "\n");
    ASSERT_EQ(s->filterCount, row.accepted ? 1 : 0) << row.why;
    std::string saved = readFile(path);
    if (!row.accepted) {
      EXPECT_NE(saved.find("\nfilter=\n"), std::string::npos) << row.why;
      continue;
    }
    const xPL_ServiceFilter &f = s->messageFilterList[0];
    EXPECT_EQ(f.matchOnMessageType, row.type) << row.why;
    const char *got[5] = {f.matchOnVendor, f.matchOnDeviceID, f.matchOnInstanceID,
                          f.matchOnSchemaClass, f.matchOnSchemaType};
    for (int i = 0; i < 5; i++) {
      if (row.fields[i] == nullptr) {
        EXPECT_EQ(got[i], nullptr) << row.why << " field " << i;
      } else {
        EXPECT_STREQ(got[i], row.fields[i]) << row.why << " field " << i;
      }
    }
    EXPECT_NE(saved.find(std::string("\n") + row.saved + "\n"), std::string::npos)
        << row.why << "\n"
        << saved;
  }
}

TEST(ConfigInstall, BinaryAndValuelessPairsDoNotCrash) {
  Service s;
  s.declareItems();
  xPL_MessagePtr m = createReceivedMessage(xPL_MESSAGE_COMMAND);
  xPL_setSchema(m, S("config"), S("response"));
  xPL_NameValueListPtr body = xPL_getMessageBody(m);
  xPL_addNamedValue(body, S("type"), nullptr);
  xPL_NameValuePairPtr binary = xPL_newNamedValuePair(body, S("newconf"));
  binary->isBinary = TRUE;
  binary->binaryLength = 2;
  binary->itemValue = static_cast<String>(malloc(2));
  memcpy(binary->itemValue, "\x01\x02", 2);
  xPL_addNamedValue(body, S("filter"), nullptr);
  xPL_addNamedValue(body, S("interval"), nullptr);
  std::string instance = xPL_getServiceInstanceID(s.get());
  xPL_dispatchServiceEvent(s.get(), m);
  xPL_releaseMessage(m);
  EXPECT_TRUE(xPL_isServiceConfigured(s.get()));
  EXPECT_EQ(instance, xPL_getServiceInstanceID(s.get())) << "binary newconf is no instance name";
  EXPECT_EQ(values(s.get(), "type"), std::vector<std::string>{""});
  EXPECT_EQ(s->heartbeatInterval, 0) << "a pair without value reads as empty";
}

/* ---- The configuration file -------------------------------------------- */

TEST_F(ConfigFileTest, SavedFileHasTheExactLayoutAndLoadsBack) {
  {
    Service s(path_);
    s.declareItems();
    sendResponse(s.get(),
                 "newconf=station1\ninterval=10\ngroup=XPL-GROUP.kitchen\n"
                 "group=XPL-GROUP.cellar\nfilter=xpl-cmnd.*.*.*.sensor.*\n"
                 "filter=*.quorvel.davis.*.config.*\ntype=tcp\nlocation=a\nlocation=b=c\n");
  }
  EXPECT_EQ(readFile(path_),
            kHeader +
                "reconf=newconf\nreconf=interval\noption=group[255]\noption=filter[255]\n"
                "reconf=type\noption=device\nreconf=location[16]\n"
                "newconf=station1\ninterval=10\n"
                "filter=xpl-cmnd.*.*.*.sensor.*\nfilter=*.quorvel.davis.*.config.*\n"
                "group=XPL-GROUP.kitchen\ngroup=XPL-GROUP.cellar\n"
                "type=tcp\nlocation=a\nlocation=b=c\n");

  Service back(path_);
  EXPECT_TRUE(xPL_isServiceConfigured(back.get()));
  EXPECT_STREQ(xPL_getServiceInstanceID(back.get()), "station1");
  EXPECT_EQ(back->heartbeatInterval, 600);
  EXPECT_EQ(groups(back.get()),
            (std::vector<std::string>{"XPL-GROUP.kitchen", "XPL-GROUP.cellar"}));
  ASSERT_EQ(back->filterCount, 2);
  EXPECT_STREQ(back->messageFilterList[1].matchOnVendor, "quorvel");
  ASSERT_EQ(back->configCount, 3);
  EXPECT_EQ(back->configList[0].itemType, xPL_CONFIG_RECONF);
  EXPECT_EQ(back->configList[1].itemType, xPL_CONFIG_OPTIONAL);
  EXPECT_EQ(back->configList[2].maxValueCount, 16);
  EXPECT_EQ(values(back.get(), "type"), std::vector<std::string>{"tcp"});
  EXPECT_EQ(xPL_getServiceConfigValueCount(back.get(), S("device")), 0);
  EXPECT_EQ(values(back.get(), "location"), (std::vector<std::string>{"a", "b=c"}));
}

TEST_F(ConfigFileTest, SecondsBelowAMinuteAreLostAndNothingIsWrittenForEmptyLists) {
  {
    Service s(path_);
    s->heartbeatInterval = 90;
    ASSERT_TRUE(xPL_saveServiceConfig(s.get()));
    std::string text = readFile(path_);
    EXPECT_NE(text.find("\ninterval=1\nfilter=\ngroup=\n"), std::string::npos) << text;
  }
  Service back(path_);
  EXPECT_EQ(back->heartbeatInterval, 60);
  EXPECT_EQ(back->groupCount, 0);
  EXPECT_EQ(back->filterCount, 0);
}

TEST_F(ConfigFileTest, ValuesThatCannotBeOneLineAreLeftOut) {
  Service s(path_);
  ASSERT_TRUE(xPL_addServiceConfigurable(s.get(), S("multi"), xPL_CONFIG_OPTIONAL, 4));
  const std::string longName(127, 'n');
  ASSERT_TRUE(xPL_addServiceConfigurable(s.get(), S(longName), xPL_CONFIG_MANDATORY, 3));
  xPL_addServiceConfigValue(s.get(), S("multi"), S("one"));
  xPL_addServiceConfigValue(s.get(), S("multi"), nullptr);
  xPL_addServiceConfigValue(s.get(), S("multi"), S("two\nlines"));
  xPL_addServiceConfigValue(s.get(), S("multi"), S("three"));
  ASSERT_TRUE(xPL_saveServiceConfig(s.get()));
  std::string text = readFile(path_);
  EXPECT_NE(text.find("\nconfig=" + longName + "[3]\n"), std::string::npos)
      << "the whole long name is on its definition line";
  EXPECT_NE(text.find("\nmulti=one\nmulti=three\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("lines"), std::string::npos);

  Service back(path_);
  EXPECT_NE(xPL_findServiceConfigurable(back.get(), S(longName)), nullptr);
  EXPECT_EQ(values(back.get(), "multi"), (std::vector<std::string>{"one", "three"}));
}

TEST_F(ConfigFileTest, HeaderVariants) {
  struct {
    const char *why;
    std::string content;
    const char *vendor;
    const char *device;
    bool loaded;
    bool configured;
    const char *error;  // expected on the error channel, or null for none
  } rows[] = {
      {"plain header", kHeader + "newconf=x\n", "kivamet", "cfgtest", true, true, nullptr},
      {"other letter case", "[KIVAMET-CfgTest]\nnewconf=x\n", "kivamet", "cfgtest", true, true,
       nullptr},
      {"first character not looked at", "(kivamet-cfgtest]\nnewconf=x\n", "kivamet", "cfgtest",
       true, true, nullptr},
      {"shortest header", "[a-b]\nnewconf=x\n", "a", "b", true, true, nullptr},
      {"header and nothing else", kHeader, "kivamet", "cfgtest", true, false, nullptr},
      {"CR LF line end", "[kivamet-cfgtest]\r\nnewconf=x\r\n", "kivamet", "cfgtest", false, false,
       "(missing end bracket)"},
      {"one line without line feed", "[kivamet-cfgtest]", "kivamet", "cfgtest", false, false,
       "(missing end bracket)"},
      {"four characters", "[a-]\n", "a", "b", false, false, "header too short"},
      {"empty file", "", "kivamet", "cfgtest", false, false, "Error reading config file"},
      {"no dash", "[kivametcfgtest]\nnewconf=x\n", "kivamet", "cfgtest", false, false,
       "(missing dash)"},
      {"other vendor", "[quorvel-cfgtest]\nnewconf=x\n", "kivamet", "cfgtest", false, false,
       "does not match this device"},
      {"other device", "[kivamet-davis]\nnewconf=x\n", "kivamet", "cfgtest", false, false,
       "does not match this device"},
      {"vendor is a leading part", "[kivame-cfgtest]\nnewconf=x\n", "kivamet", "cfgtest", false,
       false, "does not match this device"},
  };
  for (const auto &row : rows) {
    writeFile(path_, row.content);
    Service s("", row.vendor, row.device);
    xPL_setServiceConfigFile(s.get(), S(path_));
    testing::internal::CaptureStderr();
    Bool loaded = xPL_loadServiceConfig(s.get());
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(loaded == TRUE, row.loaded) << row.why;
    EXPECT_EQ(xPL_isServiceConfigured(s.get()) == TRUE, row.configured) << row.why;
    if (row.error != nullptr) {
      EXPECT_NE(errors.find(row.error), std::string::npos) << row.why << ": " << errors;
    } else {
      EXPECT_EQ(errors.find("ERROR"), std::string::npos) << row.why << ": " << errors;
    }
    if (row.configured) {
      EXPECT_STREQ(xPL_getServiceInstanceID(s.get()), "x") << row.why;
    }
    EXPECT_EQ(readFile(path_), row.content) << "loading never writes: " << row.why;
  }
}

TEST_F(ConfigFileTest, LoadingOnlyOnceAndOnlyWhenDisabled) {
  Service missing(path_);
  EXPECT_FALSE(xPL_isServiceConfigured(missing.get())) << "a missing file is no error";

  writeFile(path_, kHeader + "newconf=x\n");
  Service s;
  EXPECT_FALSE(xPL_loadServiceConfig(s.get())) << "no file name";
  xPL_setServiceConfigFile(s.get(), S(path_));
  EXPECT_STREQ(xPL_getServiceConfigFile(s.get()), path_.c_str());
  xPL_setServiceEnabled(s.get(), TRUE);
  EXPECT_FALSE(xPL_loadServiceConfig(s.get())) << "enabled";
  xPL_setServiceConfigFile(s.get(), S("other.xml"));
  EXPECT_STREQ(xPL_getServiceConfigFile(s.get()), path_.c_str()) << "name fixed while enabled";
  xPL_setServiceEnabled(s.get(), FALSE);
  EXPECT_TRUE(xPL_loadServiceConfig(s.get()));
  EXPECT_FALSE(xPL_loadServiceConfig(s.get())) << "already configured";
  xPL_setServiceConfigFile(s.get(), nullptr);
  EXPECT_EQ(xPL_getServiceConfigFile(s.get()), nullptr);
  EXPECT_FALSE(xPL_saveServiceConfig(s.get()));
}

TEST_F(ConfigFileTest, LinesAreReadInFileOrder) {
  writeFile(path_, kHeader +
                       "type=before its definition\n"
                       "reconf=type\n"
                       "just some text\n\n"
                       "type=after\n"
                       "group=XPL-GROUP.a\ngroup=\n"
                       "option=device\ndevice=a=b=c\n");
  Service s(path_);
  EXPECT_EQ(values(s.get(), "type"), std::vector<std::string>{"after"});
  EXPECT_EQ(groups(s.get()), std::vector<std::string>{"XPL-GROUP.a"})
      << "only the first group line clears; an empty one after it adds nothing";
  EXPECT_EQ(values(s.get(), "device"), std::vector<std::string>{"a=b=c"});
}

TEST_F(ConfigFileTest, Definitions) {
  struct {
    const char *why;
    const char *line;
    const char *name;  // item defined, or null for none
    xPL_ConfigurableType type;
    int max;
    const char *error;
  } rows[] = {
      {"maximum in brackets", "option=device[3]", "device", xPL_CONFIG_OPTIONAL, 3, nullptr},
      {"no brackets", "config=type", "type", xPL_CONFIG_MANDATORY, 1, nullptr},
      {"reconf keyword", "reconf=rrddir", "rrddir", xPL_CONFIG_RECONF, 1, nullptr},
      {"empty brackets", "option=x[]", "x", xPL_CONFIG_OPTIONAL, 1, nullptr},
      {"negative maximum", "option=x[-2]", "x", xPL_CONFIG_OPTIONAL, 1, nullptr},
      {"blank and sign", "option=x[ +4]", "x", xPL_CONFIG_OPTIONAL, 4, nullptr},
      {"text after the bracket ignored", "option=x[5]junk", "x", xPL_CONFIG_OPTIONAL, 5, nullptr},
      {"huge maximum is clamped", "option=x[99999999999]", "x", xPL_CONFIG_OPTIONAL, INT_MAX,
       nullptr},
      {"leading part of group", "option=gro", nullptr, xPL_CONFIG_OPTIONAL, 0, nullptr},
      {"standard name in capitals", "option=NEWCONF", nullptr, xPL_CONFIG_OPTIONAL, 0, nullptr},
      {"empty name", "option=[4]", nullptr, xPL_CONFIG_OPTIONAL, 0, nullptr},
      {"longer than a standard name", "option=interval2", "interval2", xPL_CONFIG_OPTIONAL, 1,
       nullptr},
      {"no closing bracket", "option=device[3", nullptr, xPL_CONFIG_OPTIONAL, 0,
       "CONFIG:: Bad defintion for config=device[3[3 -- item ignored"},
      {"letter in the maximum", "option=device[3x]", nullptr, xPL_CONFIG_OPTIONAL, 0,
       "Bad defintion"},
      {"a name no message can carry", "option=a}b[2]", nullptr, xPL_CONFIG_OPTIONAL, 0,
       "CONFIG:: Unable to define configurable a}b[2] -- item ignored"},
  };
  for (const auto &row : rows) {
    writeFile(path_, kHeader + row.line + "\n");
    testing::internal::CaptureStderr();
    Service s(path_);
    std::string errors = testing::internal::GetCapturedStderr();
    if (row.name == nullptr) {
      EXPECT_EQ(s->configCount, 0) << row.why;
    } else {
      ASSERT_EQ(s->configCount, 1) << row.why;
      EXPECT_STREQ(s->configList[0].itemName, row.name) << row.why;
      EXPECT_EQ(s->configList[0].itemType, row.type) << row.why;
      EXPECT_EQ(s->configList[0].maxValueCount, row.max) << row.why;
    }
    if (row.error != nullptr) {
      EXPECT_NE(errors.find(row.error), std::string::npos) << row.why << ": " << errors;
    }
  }
}

TEST_F(ConfigFileTest, LongNamesAndRedefinitions) {
  const std::string fits(127, 'a');
  const std::string tooLong(128, 'b');
  writeFile(path_, kHeader + "option=" + fits + "[2]\noption=" + tooLong + "\nreconf=" + fits +
                       "\n" + fits + "=v\n" + tooLong + "=w\n");
  testing::internal::CaptureStderr();
  Service s(path_);
  std::string errors = testing::internal::GetCapturedStderr();
  ASSERT_EQ(s->configCount, 1);
  EXPECT_EQ(s->configList[0].maxValueCount, 2) << "the second definition is refused";
  EXPECT_EQ(values(s.get(), fits.c_str()), std::vector<std::string>{"v"});
  EXPECT_NE(errors.find("CONFIG:: Unable to define configurable " + tooLong + " -- item ignored"),
            std::string::npos);
  EXPECT_NE(errors.find("CONFIG:: Unable to define configurable " + fits + " -- item ignored"),
            std::string::npos);
}

/* ---- Saving without ever losing the old file ---------------------------- */

namespace {

// Caps the size of files this process writes, so a write fails midway even
// for root; SIGXFSZ would otherwise end the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit capped = saved_;
    capped.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &capped);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  struct rlimit saved_;
  sighandler_t oldHandler_;
};

}  // namespace

TEST_F(ConfigFileTest, AWriteFailingMidwayLeavesTheOldFileWhole) {
  Service s(path_);
  s.declareItems();
  sendResponse(s.get(), "type=serial\n");
  const std::string oldText = readFile(path_);
  ASSERT_FALSE(oldText.empty());

  std::string body = "type=tcp\n";
  for (int i = 0; i < 16; i++) body += "location=" + std::string(400, 'a' + i) + "\n";
  bool saved;
  {
    // Room for the old file and the captured error lines, not for the new file.
    ASSERT_LT(oldText.size(), 1024u);
    FileSizeLimit limit(4096);
    testing::internal::CaptureStderr();
    sendResponse(s.get(), body);
    saved = xPL_saveServiceConfig(s.get());
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("CONFIG:: Unable to write config file"), std::string::npos) << errors;
  }
  EXPECT_FALSE(saved);
  EXPECT_EQ(readFile(path_), oldText);
  EXPECT_EQ(listDir(dir_.path()), std::vector<std::string>{"cfg.xml"})
      << "the partial file is removed";
  EXPECT_EQ(values(s.get(), "type"), std::vector<std::string>{"tcp"})
      << "the configuration stays in effect in memory";

  EXPECT_TRUE(xPL_saveServiceConfig(s.get())) << "without the limit the same save succeeds";
  EXPECT_NE(readFile(path_).find(std::string(400, 'p')), std::string::npos);
}

TEST_F(ConfigFileTest, SavesLeaveNothingBehind) {
  // New files of saves that never finished: the writer gone, the writer
  // alive (this test), and names that only look alike.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  const std::string live = "cfg.xml.new-" + std::to_string(getpid()) + "-0";
  const std::string other = "other.xml.new-" + std::to_string(gone) + "-0";
  const std::vector<std::string> leftovers = {"cfg.xml.new-" + std::to_string(gone) + "-3", live,
                                              "cfg.xml.new-x-0", other};
  const std::string missing = dir_.file("no/such/dir/cfg.xml");
  enum { DirectoryAtFile, NoLeftovers, LeftoversBeforeStart, LeftoversBeforeSave };
  const std::string others = live + " cfg.xml.new-x-0 " + other;
  struct {
    const char *why;
    std::string file;
    int stage;
    std::string error;    // of a save that fails, shown without debugging too
    std::string listing;  // the folder's names afterwards
  } rows[] = {
      {"the rename fails", path_, DirectoryAtFile, "ERROR: CONFIG:: Unable to write config file",
       "cfg.xml"},
      {"no such directory", missing, NoLeftovers,
       "ERROR: CONFIG:: File " + missing +
           " could not be opened/created -- No such file or directory (2)",
       ""},
      {"a dead writer's file goes at start", path_, LeftoversBeforeStart, "", others},
      {"and before each save", path_, LeftoversBeforeSave, "", "cfg.xml " + others},
  };
  for (const auto &row : rows) {
    for (const std::string &name : listDir(dir_.path())) testsupport::removeTree(dir_.file(name));
    if (row.stage == DirectoryAtFile) mkdir(path_.c_str(), 0755);
    for (const std::string &name : leftovers)
      if (row.stage == LeftoversBeforeStart) writeFile(dir_.file(name), "");
    Service s(row.file);
    for (const std::string &name : leftovers)
      if (row.stage == LeftoversBeforeSave) writeFile(dir_.file(name), "");
    testing::internal::CaptureStderr();
    if (row.stage != LeftoversBeforeStart) {
      EXPECT_EQ(xPL_saveServiceConfig(s.get()) == TRUE, row.error.empty()) << row.why;
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(row.error), std::string::npos) << row.why << ": " << log;
    std::string listing;
    for (const std::string &name : listDir(dir_.path()))
      listing += (listing.empty() ? "" : " ") + name;
    EXPECT_EQ(listing, row.listing) << row.why;
  }
}

TEST_F(ConfigFileTest, SavedFilePermissions) {
  struct {
    const char *why;
    int oldMode;  // mode of the file before the save, or -1 for no file
    mode_t umask;
    unsigned mode;  // after the save
  } rows[] = {
      {"an existing file keeps its mode", 0640, 022, 0640},
      {"whatever the umask says", 0604, 077, 0604},
      {"a new file follows the umask", -1, 022, 0644},
      {"a new file follows a strict umask", -1, 027, 0640},
  };
  for (const auto &row : rows) {
    unlink(path_.c_str());
    if (row.oldMode >= 0) {
      writeFile(path_, kHeader);
      ASSERT_EQ(chmod(path_.c_str(), (mode_t)row.oldMode), 0);
    }
    Service s(path_);
    mode_t saved = umask(row.umask);
    Bool ok = xPL_saveServiceConfig(s.get());
    umask(saved);
    ASSERT_TRUE(ok) << row.why;
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, row.mode) << row.why;
    EXPECT_EQ(listDir(dir_.path()), std::vector<std::string>{"cfg.xml"}) << row.why;
  }
}

TEST_F(ConfigFileTest, ASymbolicLinkIsWrittenThrough) {
  // The link is the user's: it stays, and the file it names gets the save.
  struct {
    const char *why;
    const char *linkTo;
    const char *target;   // the file written, in the test folder; null: none
    bool targetExists;    // before the save, with mode 0640
    const char *message;  // an error line instead of a save ("": none)
  } rows[] = {
      {"a link to a file", "real.xml", "real.xml", true, ""},
      {"a dangling link: the file it names is made", "made.xml", "made.xml", false, ""},
      {"a dangling link into a missing folder", "gone/x.xml", nullptr, false,
       "could not be opened/created -- No such file or directory (2)"},
      {"a loop of links", "cfg.xml", nullptr, false,
       "could not be opened/created -- Too many levels of symbolic links (40)"},
  };
  for (const auto &row : rows) {
    for (const std::string &name : listDir(dir_.path())) testsupport::removeTree(dir_.file(name));
    if (row.targetExists) {
      writeFile(dir_.file(row.target), kHeader);
      ASSERT_EQ(chmod(dir_.file(row.target).c_str(), 0640), 0);
    }
    ASSERT_EQ(symlink(row.linkTo, path_.c_str()), 0);
    testing::internal::CaptureStderr();
    Service s(path_);
    sendResponse(s.get(), "newconf=linked\n");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(*row.message ? "ERROR: CONFIG:: File " + path_ + " " + row.message : ""),
              std::string::npos)
        << row.why << ": " << log;
    struct stat st;
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << row.why << ": the link stays";
    std::vector<std::string> listing = {"cfg.xml"};
    if (row.target != nullptr) {
      listing.push_back(row.target);
      EXPECT_NE(readFile(dir_.file(row.target)).find("\nnewconf=linked\n"), std::string::npos)
          << row.why;
      EXPECT_TRUE(!row.targetExists || (stat(dir_.file(row.target).c_str(), &st) == 0 &&
                                        (st.st_mode & 07777) == 0640))
          << row.why << ": its mode is kept";
    }
    EXPECT_EQ(listDir(dir_.path()), listing) << row.why;
  }
}

/* ---- Input of any content ------------------------------------------------ */

TEST_F(ConfigFileTest, NastyFiles) {
  const std::string longValue(5000, 'x');
  struct {
    const char *why;
    std::string content;
    const char *instance;  // expected afterwards, or null when not configured
  } rows[] = {
      {"a line longer than one read is cut", kHeader + "newconf=" + longValue + "\n", nullptr},
      {"no final line feed", kHeader + "newconf=abc", "abc"},
      {"NUL inside a line", kHeader + std::string("newconf=a\0b\n", 12), "a"},
      {"binary bytes are no instance", kHeader + "\xff\xfe=\x80\x01\nnewconf=\x7f\x90\n", nullptr},
      {"a header longer than one read", "[kivamet-" + std::string(3000, 'c') + "]\nnewconf=x\n",
       nullptr},
      {"only line feeds", "\n\n\n\n", nullptr},
      {"only =", kHeader + "=\n==\n=newconf\n", nullptr},
  };
  for (const auto &row : rows) {
    writeFile(path_, row.content);
    testing::internal::CaptureStderr();
    Service s(path_);
    testing::internal::GetCapturedStderr();
    if (row.instance != nullptr) {
      EXPECT_STREQ(xPL_getServiceInstanceID(s.get()), row.instance) << row.why;
    } else if (xPL_isServiceConfigured(s.get())) {
      EXPECT_LE(strlen(xPL_getServiceInstanceID(s.get())), 2047u) << row.why;
    }
  }
}

TEST_F(ConfigFileTest, RandomFilesLoadOrAreRefusedSafely) {
  std::mt19937 random(20240611);
  const char alphabet[] = "=[]-\n\r.*abcnewconfintervalgrouptypeoption0123456789";
  for (int round = 0; round < 300; round++) {
    std::string content;
    if (random() % 2) content = kHeader + kItems;
    size_t length = random() % 3000;
    for (size_t i = 0; i < length; i++) {
      if (random() % 4 == 0)
        content += static_cast<char>(random() % 256);
      else
        content += alphabet[random() % (sizeof(alphabet) - 1)];
    }
    writeFile(path_, content);
    testing::internal::CaptureStderr();
    {
      Service s(path_);
      for (int i = 0; i < s->configCount; i++)
        ASSERT_LE(s->configList[i].valueCount, s->configList[i].maxValueCount);
    }
    testing::internal::GetCapturedStderr();
  }
}

TEST_F(ConfigFileTest, RandomResponsesInstallWhatIsUsableAndSaveALoadableFile) {
  std::mt19937 random(7);
  const char *names[] = {"newconf",  "interval", "filter", "group",  "type",     "device",
                         "location", "config",   "option", "reconf", "LOCATION", ""};
  for (int round = 0; round < 200; round++) {
    testing::internal::CaptureStderr();
    {
      Service s(path_);
      if (s->configCount == 0) s.declareItems();
      xPL_MessagePtr m = createReceivedMessage(xPL_MESSAGE_COMMAND);
      xPL_setSchema(m, S("config"), S("response"));
      int pairs = static_cast<int>(random() % 24);
      for (int p = 0; p < pairs; p++) {
        std::string name = random() % 5 ? names[random() % 12] : "";
        std::string value;
        size_t length = random() % 40;
        for (size_t i = 0; i < length; i++) {
          int pick = static_cast<int>(random() % 8);
          value += pick == 0 ? static_cast<char>(1 + random() % 255) : "x.*-=[]\n"[random() % 8];
        }
        if (name.empty()) name = value.empty() ? "n" : value.substr(0, 5);
        if (random() % 4 == 0 && (name == "interval" || name == "filter"))
          value = random() % 2 ? "xpl-cmnd.*.*.*.sensor.*" : std::to_string(random() % 100);
        xPL_addMessageNamedValue(m, S(name), S(value));
      }
      xPL_dispatchServiceEvent(s.get(), m);
      xPL_releaseMessage(m);
      ASSERT_TRUE(xPL_isServiceConfigured(s.get()));
    }
    // Whatever was installed was saved in a form that loads back.
    {
      Service back(path_);
      ASSERT_TRUE(xPL_isServiceConfigured(back.get())) << "round " << round;
      ASSERT_EQ(back->configCount, 3) << "round " << round;
    }
    testing::internal::GetCapturedStderr();
    unlink(path_.c_str());
  }
}
