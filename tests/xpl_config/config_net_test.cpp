// config_net_test.cpp - the config.list and config.current replies and the
// restarts of an installation, as they go out on the wire. Runs stand-alone
// on a test interface in a private namespace; our own broadcasts loop back
// and a raw listener keeps every datagram.
#include <chrono>
#include <functional>

#include "cfg_support.h"
#include "netns.h"

using namespace cfgtest;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> wire;  // every datagram received, in order

void keepDatagram(String data, int length, xPL_ObjectPtr) {
  wire.emplace_back(data, length);
}

class Network : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(testsupport::addTestInterface("xcfg0", "10.77.0.1/24", &why)) << why;
    xPL_setBroadcastInterface(S("xcfg0"));
    ASSERT_TRUE(xPL_initialize(xcStandAlone));
    xPL_addRawListener(keepDatagram, nullptr);
  }
  void TearDown() override { xPL_shutdown(); }
};

const auto *const network = ::testing::AddGlobalTestEnvironment(new Network);

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// Runs the library's loop until a datagram satisfies the test, at most 3 s.
// Returns its index in `wire`, or -1.
int waitForDatagram(const std::function<bool(const std::string &)> &wanted, size_t from = 0) {
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  for (;;) {
    for (size_t i = from; i < wire.size(); i++)
      if (wanted(wire[i])) return static_cast<int>(i);
    if (Clock::now() >= deadline) return -1;
    xPL_processMessages(100);
  }
}

void startCapture() {
  xPL_processMessages(0);
  wire.clear();
}

std::string header(xPL_ServicePtr service) {
  return "xpl-stat\n{\nhop=1\nsource=" + identity(service) + "\ntarget=*\n}\n";
}

// Asks for config.current and waits for the answer: everything the service
// sent before it has arrived by then. Returns what came before the answer.
std::vector<std::string> sentBeforeCurrent(xPL_ServicePtr service) {
  size_t start = wire.size();
  deliver(configText(service, "xpl-cmnd", "current", "command=request\n"));
  std::string source = "source=" + identity(service) + "\n";
  int at = waitForDatagram(
      [&](const std::string &d) {
        return contains(d, source) && contains(d, "\nconfig.current\n");
      },
      start);
  EXPECT_GE(at, 0) << "no config.current answer";
  if (at < 0) return {};
  return std::vector<std::string>(wire.begin() + static_cast<long>(start), wire.begin() + at);
}

std::vector<std::string> heartbeatsIn(const std::vector<std::string> &datagrams) {
  std::vector<std::string> found;
  for (const std::string &d : datagrams)
    if (contains(d, "\nhbeat.") || contains(d, "\nconfig.app\n") || contains(d, "\nconfig.end\n"))
      found.push_back(d);
  return found;
}

int changedCount = 0;
void countChange(xPL_ServicePtr, xPL_ObjectPtr) {
  changedCount++;
}

// Sends the service a request of config.<schemaType> and returns its answer,
// or "" when none came.
std::string replyTo(xPL_ServicePtr service, const char *schemaType, const char *command) {
  startCapture();
  deliver(configText(service, "xpl-cmnd", schemaType, std::string("command=") + command + "\n"));
  const std::string schemaLine = std::string("\nconfig.") + schemaType + "\n";
  int at = waitForDatagram([&](const std::string &d) { return contains(d, schemaLine); });
  return at < 0 ? "" : wire[at];
}

}  // namespace

TEST(ConfigReplies, ListAnnouncesStandardItemsThenDeclaredOnes) {
  Service s;
  s.declareItems();
  EXPECT_EQ(replyTo(s.get(), "list", "request"),
            header(s.get()) +
                "config.list\n{\nreconf=newconf\nreconf=interval\noption=group[255]\n"
                "option=filter[255]\nreconf=type\noption=device\nreconf=location[16]\n}\n");
}

TEST(ConfigReplies, CurrentWithoutGroupsFiltersOrValues) {
  Service s;
  s.declareItems();
  xPL_setServiceConfigValue(s.get(), S("type"), S("serial"));
  EXPECT_EQ(replyTo(s.get(), "current", "request"),
            header(s.get()) + "config.current\n{\nnewconf=" + xPL_getServiceInstanceID(s.get()) +
                "\ninterval=5\ngroup=\nfilter=\ntype=serial\ndevice=\nlocation=\n}\n");
}

TEST(ConfigReplies, CurrentWithEverythingSetSkipsNullValues) {
  Service s;
  s.declareItems();
  sendResponse(s.get(),
               "newconf=station1\ninterval=10\ngroup=XPL-GROUP.a\ngroup=XPL-GROUP.b\n"
               "filter=XPL-CMND.*.*.*.sensor.*\nfilter=*.quorvel.*.*.*.*\nlocation=x\n");
  xPL_addServiceConfigValue(s.get(), S("location"), nullptr);
  xPL_addServiceConfigValue(s.get(), S("location"), S("y"));
  xPL_addServiceConfigValue(s.get(), S("device"), nullptr);
  EXPECT_EQ(replyTo(s.get(), "current", "REQUEST"),
            header(s.get()) +
                "config.current\n{\nnewconf=station1\ninterval=10\n"
                "group=XPL-GROUP.a\ngroup=XPL-GROUP.b\n"
                "filter=xpl-cmnd.*.*.*.sensor.*\nfilter=*.quorvel.*.*.*.*\n"
                "type=\ndevice=\nlocation=x\nlocation=y\n}\n");
}

TEST(ConfigReplies, OnlyRequestCommandsAreAnswered) {
  startCapture();
  Service s;
  struct {
    const char *why;
    const char *type;
    const char *schemaType;
    const char *body;
  } ignored[] = {
      {"status message", "xpl-stat", "list", "command=request\n"},
      {"trigger message", "xpl-trig", "current", "command=request\n"},
      {"no command item", "xpl-cmnd", "list", "other=request\n"},
      {"another command", "xpl-cmnd", "list", "command=send\n"},
      {"command without value", "xpl-cmnd", "current", "command=\n"},
      {"unknown schema type", "xpl-cmnd", "lists", "command=request\n"},
  };
  for (const auto &row : ignored) deliver(configText(s.get(), row.type, row.schemaType, row.body));
  for (const std::string &d : sentBeforeCurrent(s.get()))
    EXPECT_FALSE(contains(d, "\nconfig.")) << "answered: " << d;
}

TEST(ConfigReplies, BroadcastResponsesPassTheFiltersFirst) {
  startCapture();
  Service s;
  s.declareItems();
  deliver(configText(s.get(), "xpl-cmnd", "response", "type=everyone\n", "*"));
  EXPECT_EQ(values(s.get(), "type"), std::vector<std::string>{"everyone"});

  sendResponse(s.get(), "filter=xpl-stat.*.*.*.*.*\n");
  deliver(configText(s.get(), "xpl-cmnd", "response", "type=filtered\n", "*"));
  EXPECT_EQ(values(s.get(), "type"), std::vector<std::string>{}) << "the targeted one emptied it";
  EXPECT_EQ(s->filterCount, 1) << "the broadcast one was dropped by the filter";
}

TEST(ConfigRestart, OnlyARealChangeOfIntervalOrInstanceRestarts) {
  startCapture();
  Service s;
  s.declareItems();
  sendResponse(s.get(), "newconf=station1\n");
  xPL_addServiceConfigChangedListener(s.get(), countChange, nullptr);
  changedCount = 0;
  xPL_setServiceEnabled(s.get(), TRUE);
  sentBeforeCurrent(s.get());

  struct {
    const char *why;
    const char *body;
    std::vector<std::string> heartbeats;  // source and first item of each, in order
    int seconds;
  } rows[] = {
      {"same interval", "interval=5\n", {}, 300},
      {"values only", "type=tcp\n", {}, 300},
      {"new interval",
       "interval=10\n",
       {"kivamet-cfgtest.station1 hbeat.end interval=5",
        "kivamet-cfgtest.station1 hbeat.app interval=10"},
       600},
      {"instance in other case",
       "newconf=Station1\n",
       {"kivamet-cfgtest.station1 hbeat.end interval=10",
        "kivamet-cfgtest.Station1 hbeat.app interval=10"},
       600},
  };
  int installs = 0;
  for (const auto &row : rows) {
    wire.clear();
    sendResponse(s.get(), row.body);
    installs++;
    std::vector<std::string> got;
    for (const std::string &d : heartbeatsIn(sentBeforeCurrent(s.get()))) {
      size_t src = d.find("source=") + 7;
      size_t schema = d.find("}\n") + 2;
      std::string line = d.substr(src, d.find('\n', src) - src) + " " +
                         d.substr(schema, d.find('\n', schema) - schema);
      size_t body = d.find("{\n", schema) + 2;
      line += " " + d.substr(body, d.find('\n', body) - body);
      got.push_back(line);
    }
    EXPECT_EQ(got, row.heartbeats) << row.why;
    EXPECT_EQ(s->heartbeatInterval, row.seconds) << row.why;
    EXPECT_EQ(changedCount, installs)
        << "one configuration-changed event per network install: " << row.why;
  }
  EXPECT_STREQ(xPL_getServiceInstanceID(s.get()), "Station1");
}

TEST(ConfigRestart, FirstConfigurationAnnouncesTheConfiguredService) {
  struct {
    const char *why;
    bool keepInstance;  // newconf names the made-up instance, as xplctl copies it back
    const char *body;
    const char *heartbeats;  // instance, schema and first item of each
  } rows[] = {
      {"new instance: goodbye as config.end, then hbeat.app", false, "newconf=fresh\n",
       "made-up config.end interval=1; fresh hbeat.app interval=5; "},
      {"instance and interval kept: hbeat.app at once, no goodbye", true, "interval=5\n",
       "made-up hbeat.app interval=5; "},
  };
  for (const auto &row : rows) {
    startCapture();
    Service s;
    xPL_setServiceEnabled(s.get(), TRUE);
    const std::string madeUp = xPL_getServiceInstanceID(s.get());
    sentBeforeCurrent(s.get());
    wire.clear();
    sendResponse(s.get(), (row.keepInstance ? "newconf=" + madeUp + "\n" : "") + row.body);
    std::string got;
    for (const std::string &d : heartbeatsIn(sentBeforeCurrent(s.get()))) {
      auto line = [&](size_t at) { return d.substr(at, d.find('\n', at) - at); };
      const std::string name = line(d.find("source=kivamet-cfgtest.") + 23);
      const size_t schema = d.find("}\n") + 2;
      got += (name == madeUp ? "made-up" : name) + " " + line(schema) + " " +
             line(d.find("{\n", schema) + 2) + "; ";
    }
    EXPECT_EQ(got, row.heartbeats) << row.why;
  }
}

TEST(ConfigRestart, ADisabledServiceGetsNoChangeEvent) {
  Service s;
  xPL_addServiceConfigChangedListener(s.get(), countChange, nullptr);
  changedCount = 0;
  sendResponse(s.get(), "newconf=quiet\ninterval=7\n");
  EXPECT_EQ(changedCount, 0);
  EXPECT_STREQ(xPL_getServiceInstanceID(s.get()), "quiet");
  EXPECT_EQ(s->heartbeatInterval, 420);
}
