// Listener registries and the routing of received messages to services.
// Messages are parsed from text and handed to the router directly; no
// datagram is sent, and the services stay disabled unless a row needs one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xplnet_support.h"

namespace {

using xplnet::messageText;

std::vector<std::string> calls;

xPL_MessagePtr parse(const std::string &text) {
  xPL_MessagePtr message = parseMessage(text.c_str());
  EXPECT_NE(message, nullptr) << text;
  return message;
}

// ---- Order, duplicates, removal ------------------------------------------

void rawA(String, int, xPL_ObjectPtr) {
  calls.push_back("A");
}
void rawB(String, int, xPL_ObjectPtr) {
  calls.push_back("B");
}
void msgA(xPL_MessagePtr, xPL_ObjectPtr) {
  calls.push_back("A");
}
void msgB(xPL_MessagePtr, xPL_ObjectPtr) {
  calls.push_back("B");
}
void svcA(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) {
  calls.push_back("A");
}
void svcB(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) {
  calls.push_back("B");
}
void chgA(xPL_ServicePtr, xPL_ObjectPtr) {
  calls.push_back("A");
}
void chgB(xPL_ServicePtr, xPL_ObjectPtr) {
  calls.push_back("B");
}

// The four registries behind one face, so every rule is checked on each.
struct Registry {
  const char *name;
  void (*add)(xPL_ServicePtr, bool first);
  bool (*remove)(xPL_ServicePtr, bool first);
  bool (*dispatch)(xPL_ServicePtr, xPL_MessagePtr);
};

const Registry kRegistries[] = {
    {"raw", [](xPL_ServicePtr, bool a) { xPL_addRawListener(a ? rawA : rawB, nullptr); },
     [](xPL_ServicePtr, bool a) { return xPL_removeRawListener(a ? rawA : rawB) == TRUE; },
     [](xPL_ServicePtr, xPL_MessagePtr) {
       return xPL_dispatchRawEvent(const_cast<String>("x"), 1) == TRUE;
     }},
    {"message", [](xPL_ServicePtr, bool a) { xPL_addMessageListener(a ? msgA : msgB, nullptr); },
     [](xPL_ServicePtr, bool a) { return xPL_removeMessageListener(a ? msgA : msgB) == TRUE; },
     [](xPL_ServicePtr, xPL_MessagePtr m) { return xPL_dispatchMessageEvent(m) == TRUE; }},
    {"service",
     [](xPL_ServicePtr s, bool a) {
       xPL_addServiceListener(s, a ? svcA : svcB, xPL_MESSAGE_ANY, nullptr, nullptr, nullptr);
     },
     [](xPL_ServicePtr s, bool a) { return xPL_removeServiceListener(s, a ? svcA : svcB) == TRUE; },
     [](xPL_ServicePtr s, xPL_MessagePtr m) { return xPL_dispatchServiceEvent(s, m) == TRUE; }},
    {"config-changed",
     [](xPL_ServicePtr s, bool a) {
       xPL_addServiceConfigChangedListener(s, a ? chgA : chgB, nullptr);
     },
     [](xPL_ServicePtr s, bool a) {
       return xPL_removeServiceConfigChangedListener(s, a ? chgA : chgB) == TRUE;
     },
     [](xPL_ServicePtr s, xPL_MessagePtr) {
       return xPL_dispatchServiceConfigChangedEvent(s) == TRUE;
     }},
};

TEST(ListenerRegistries, OrderDuplicatesAndRemovalOnEveryRegistry) {
  xPL_MessagePtr message =
      parse(messageText("xpl-cmnd", "acme-tool.x", "*", "sensor.request", "device=A\n"));
  for (const Registry &r : kRegistries) {
    SCOPED_TRACE(r.name);
    xPL_ServicePtr service = xPL_createService(
        const_cast<String>("acme"), const_cast<String>("reg"), const_cast<String>("one"));
    calls.clear();
    EXPECT_FALSE(r.dispatch(service, message)) << "empty registry calls nothing";
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(r.remove(service, true)) << "never registered";

    r.add(service, true);
    r.add(service, false);
    r.add(service, true);  // A twice: called twice
    EXPECT_TRUE(r.dispatch(service, message));
    EXPECT_EQ(calls, (std::vector<std::string>{"A", "B", "A"})) << "newest first";

    calls.clear();
    EXPECT_TRUE(r.remove(service, true)) << "takes the first A only";
    EXPECT_TRUE(r.dispatch(service, message));
    EXPECT_EQ(calls, (std::vector<std::string>{"A", "B"}));

    EXPECT_TRUE(r.remove(service, true));
    EXPECT_TRUE(r.remove(service, false));
    EXPECT_FALSE(r.remove(service, false));
    xPL_releaseService(service);
  }
  xPL_releaseMessage(message);
}

TEST(ListenerRegistries, ServiceListenerGrowsPastSixteenKeepingOrder) {
  xPL_ServicePtr service = xPL_createService(const_cast<String>("acme"), const_cast<String>("reg"),
                                             const_cast<String>("grow"));
  static int order[40];
  static int called;
  called = 0;
  for (int i = 0; i < 40; i++) {
    xPL_addServiceListener(
        service,
        [](xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr v) {
          order[called++] = static_cast<int>(reinterpret_cast<intptr_t>(v));
        },
        xPL_MESSAGE_ANY, nullptr, nullptr,
        reinterpret_cast<xPL_ObjectPtr>(static_cast<intptr_t>(i)));
  }
  EXPECT_EQ(service->listenerAllocCount, 48);
  xPL_MessagePtr message = parse(messageText("xpl-trig", "a-b.c", "*", "x.y", ""));
  xPL_dispatchServiceEvent(service, message);
  ASSERT_EQ(called, 40);
  for (int i = 0; i < 40; i++) EXPECT_EQ(order[i], 39 - i);
  xPL_releaseMessage(message);
  xPL_releaseService(service);
}

// ---- Service listener matching ------------------------------------------

TEST(ListenerRegistries, ServiceListenerMatching) {
  struct Row {
    const char *probe;
    xPL_MessageType listenType;
    const char *listenClass;
    const char *listenType2;
    const char *messageType;
    const char *schema;  // "" = message without schema
    bool called;
  } rows[] = {
      {"empty class matches every class", xPL_MESSAGE_ANY, "", "", "xpl-stat", "sensor.basic",
       true},
      {"class compared ignoring case", xPL_MESSAGE_ANY, "sensor", nullptr, "xpl-stat",
       "SENSOR.basic", true},
      {"other class", xPL_MESSAGE_ANY, "sensor", nullptr, "xpl-stat", "control.basic", false},
      {"type compared too", xPL_MESSAGE_ANY, "sensor", "request", "xpl-cmnd", "sensor.basic",
       false},
      {"command listener, status message", xPL_MESSAGE_COMMAND, "sensor", "request", "xpl-stat",
       "sensor.request", false},
      {"command listener, command message", xPL_MESSAGE_COMMAND, "sensor", "request", "xpl-cmnd",
       "sensor.request", true},
      {"no schema reaches a listener for anything", xPL_MESSAGE_ANY, nullptr, nullptr, "xpl-cmnd",
       "", true},
      {"no schema never matches a named class", xPL_MESSAGE_ANY, "sensor", nullptr, "xpl-cmnd", "",
       false},
      {"no schema never matches a named type", xPL_MESSAGE_ANY, nullptr, "request", "xpl-cmnd", "",
       false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.probe);
    xPL_ServicePtr service = xPL_createService(
        const_cast<String>("acme"), const_cast<String>("match"), const_cast<String>("one"));
    xPL_addServiceListener(service, svcA, row.listenType, const_cast<String>(row.listenClass),
                           const_cast<String>(row.listenType2), nullptr);
    std::string text = std::string(row.messageType) + "\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\n";
    if (row.schema[0] != '\0') text += std::string(row.schema) + "\n{\nx=1\n}\n";
    xPL_MessagePtr message = parse(text);
    calls.clear();
    EXPECT_EQ(xPL_dispatchServiceEvent(service, message) == TRUE, row.called);
    EXPECT_EQ(calls.size(), row.called ? 1u : 0u);
    xPL_releaseMessage(message);
    xPL_releaseService(service);
  }
}

// ---- Callbacks that change the registry they are called from -------------

struct Script {
  std::string name;
  std::function<void()> action;  // run on the first call only
  bool done = false;
};
std::vector<Script> scripts;
xPL_ServicePtr scriptService;

void runScript(size_t i) {
  Script &s = scripts[i];
  calls.push_back(s.name);
  if (!s.done && s.action) {
    s.done = true;
    s.action();
  }
}
void scriptA(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) {
  runScript(0);
}
void scriptB(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) {
  runScript(1);
}
void scriptC(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) {
  runScript(2);
}
const xPL_ServiceListener kScripted[] = {scriptA, scriptB, scriptC};
void otherListener(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) {
  calls.push_back("D");
}

TEST(ListenerRegistries, CallbacksChangingTheRegistryMidDispatch) {
  // Listeners A, B, C registered in that order; C runs first. Each callback
  // must run at most once, later entries must not be skipped, and a
  // service released under its own dispatch must end it without harm.
  auto remove = [](size_t i) {
    return [i] { xPL_removeServiceListener(scriptService, kScripted[i]); };
  };
  struct Row {
    const char *probe;
    size_t actor;  // 0 = A, 1 = B, 2 = C
    std::function<void()> action;
    std::vector<std::string> expected;
    bool releases;
  } rows[] = {
      {"C removes A, not yet called", 2, remove(0), {"C", "B"}, false},
      {"B removes C, already called", 1, remove(2), {"C", "B", "A"}, false},
      {"C removes B, the next one", 2, remove(1), {"C", "A"}, false},
      {"C removes itself", 2, remove(2), {"C", "B", "A"}, false},
      {"C adds a listener: not called in this dispatch",
       2,
       [] {
         xPL_addServiceListener(scriptService, otherListener, xPL_MESSAGE_ANY, nullptr, nullptr,
                                nullptr);
       },
       {"C", "B", "A"},
       false},
      {"B releases the service", 1, [] { xPL_releaseService(scriptService); }, {"C", "B"}, true},
  };
  xPL_MessagePtr message = parse(messageText("xpl-cmnd", "a-b.c", "*", "x.y", ""));
  for (Row &row : rows) {
    SCOPED_TRACE(row.probe);
    scriptService = xPL_createService(const_cast<String>("acme"), const_cast<String>("mut"),
                                      const_cast<String>("one"));
    scripts = {{"A", nullptr}, {"B", nullptr}, {"C", nullptr}};
    scripts[row.actor].action = row.action;
    for (xPL_ServiceListener listener : kScripted)
      xPL_addServiceListener(scriptService, listener, xPL_MESSAGE_ANY, nullptr, nullptr, nullptr);
    calls.clear();
    xPL_ServicePtr service = scriptService;
    xPL_dispatchServiceEvent(service, message);
    EXPECT_EQ(calls, row.expected);
    if (!row.releases) xPL_releaseService(service);
  }
  xPL_releaseMessage(message);
}

// ---- Routing ------------------------------------------------------------

// A service acme-sensor.one with one listener for anything.
struct Routed {
  xPL_ServicePtr service;
  Routed() {
    service = xPL_createService(const_cast<String>("acme"), const_cast<String>("sensor"),
                                const_cast<String>("one"));
    xPL_addServiceListener(service, svcA, xPL_MESSAGE_ANY, nullptr, nullptr, nullptr);
  }
  ~Routed() { xPL_releaseService(service); }
  void addGroup(const char *group) {
    service->groupList = static_cast<String *>(
        realloc(service->groupList, sizeof(String) * static_cast<size_t>(service->groupCount + 1)));
    service->groupList[service->groupCount++] = xPL_StrDup(group);
    service->groupAllocCount = service->groupCount;
  }
  void addFilter(xPL_MessageType type, const char *schemaClass, const char *schemaType) {
    service->messageFilterList = static_cast<xPL_ServiceFilter *>(
        realloc(service->messageFilterList,
                sizeof(xPL_ServiceFilter) * static_cast<size_t>(service->filterCount + 1)));
    xPL_ServiceFilter &f = service->messageFilterList[service->filterCount++];
    memset(&f, 0, sizeof f);
    f.matchOnMessageType = type;
    if (schemaClass != nullptr) f.matchOnSchemaClass = xPL_StrDup(schemaClass);
    if (schemaType != nullptr) f.matchOnSchemaType = xPL_StrDup(schemaType);
    service->filterAllocCount = service->filterCount;
  }
  bool reaches(const std::string &text) {
    xPL_MessagePtr message = parse(text);
    calls.clear();
    xPL_handleServiceMessage(message, nullptr);
    xPL_releaseMessage(message);
    return !calls.empty();
  }
};

TEST(Routing, OwnBroadcastGroupAndTargetRules) {
  const std::string cmd = "xpl-cmnd";
  struct Row {
    const char *probe;
    std::function<void(Routed &)> setup;
    std::string text;
    bool reaches;
  } rows[] = {
      {"own message skipped", nullptr, messageText(cmd, "acme-sensor.one", "*", "x.y", ""), false},
      {"own in other case is not own", nullptr, messageText(cmd, "ACME-sensor.one", "*", "x.y", ""),
       true},
      {"own reported when asked", [](Routed &r) { xPL_setReportOwnMessages(r.service, TRUE); },
       messageText(cmd, "acme-sensor.one", "*", "x.y", ""), true},
      {"broadcast without filters", nullptr, messageText(cmd, "a-b.c", "*", "x.y", ""), true},
      {"broadcast through a matching filter",
       [](Routed &r) { r.addFilter(xPL_MESSAGE_COMMAND, "sensor", nullptr); },
       messageText(cmd, "a-b.c", "*", "SENSOR.request", ""), true},
      {"broadcast stopped by filters",
       [](Routed &r) { r.addFilter(xPL_MESSAGE_COMMAND, "sensor", nullptr); },
       messageText("xpl-stat", "a-b.c", "*", "sensor.basic", ""), false},
      {"no schema stopped by a filter naming a class",
       [](Routed &r) { r.addFilter(xPL_MESSAGE_ANY, "sensor", nullptr); },
       "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\n", false},
      {"no schema through a wildcard filter",
       [](Routed &r) { r.addFilter(xPL_MESSAGE_ANY, nullptr, nullptr); },
       "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\n", true},
      {"filters leave targeted messages alone",
       [](Routed &r) { r.addFilter(xPL_MESSAGE_STATUS, "none", nullptr); },
       messageText(cmd, "a-b.c", "acme-sensor.one", "x.y", ""), true},
      {"group held in full form, other case", [](Routed &r) { r.addGroup("xpl-group.KITCHEN"); },
       messageText(cmd, "a-b.c", "xpl-group.kitchen", "x.y", ""), true},
      {"filters leave group messages alone",
       [](Routed &r) {
         r.addGroup("XPL-GROUP.kitchen");
         r.addFilter(xPL_MESSAGE_STATUS, "none", nullptr);
       },
       messageText(cmd, "a-b.c", "xpl-group.kitchen", "x.y", ""), true},
      {"bare group name does not match", [](Routed &r) { r.addGroup("kitchen"); },
       messageText(cmd, "a-b.c", "xpl-group.kitchen", "x.y", ""), false},
      {"no groups, no group messages", nullptr,
       messageText(cmd, "a-b.c", "xpl-group.kitchen", "x.y", ""), false},
      {"target compared ignoring case", nullptr,
       messageText(cmd, "a-b.c", "ACME-SENSOR.ONE", "x.y", ""), true},
      {"other instance", nullptr, messageText(cmd, "a-b.c", "acme-sensor.two", "x.y", ""), false},
      {"disabled services still route", nullptr,
       messageText(cmd, "a-b.c", "acme-sensor.one", "x.y", ""), true},
  };
  for (Row &row : rows) {
    SCOPED_TRACE(row.probe);
    Routed routed;
    if (row.setup) row.setup(routed);
    EXPECT_EQ(routed.reaches(row.text), row.reaches);
  }
}

TEST(Routing, ReleasingServicesFromAListenerDuringRouting) {
  // Three services route newest first; the newest one's listener releases
  // one of the others. The rest are routed exactly once, none twice.
  static std::vector<xPL_ServicePtr> services;
  static std::vector<std::string> seen;
  static int victim;
  for (int v : {0, 1}) {
    SCOPED_TRACE(v);
    victim = v;
    services.clear();
    seen.clear();
    for (const char *instance : {"s0", "s1", "s2"}) {
      xPL_ServicePtr s = xPL_createService(const_cast<String>("acme"), const_cast<String>("multi"),
                                           const_cast<String>(instance));
      xPL_addServiceListener(
          s,
          [](xPL_ServicePtr self, xPL_MessagePtr, xPL_ObjectPtr) {
            seen.push_back(xPL_getServiceInstanceID(self));
            if (self == services[2]) {
              xPL_releaseService(services[static_cast<size_t>(victim)]);
              services[static_cast<size_t>(victim)] = nullptr;
            }
          },
          xPL_MESSAGE_ANY, nullptr, nullptr, nullptr);
      services.push_back(s);
    }
    xPL_MessagePtr message = parse(messageText("xpl-cmnd", "a-b.c", "*", "x.y", ""));
    xPL_handleServiceMessage(message, nullptr);
    xPL_releaseMessage(message);
    std::vector<std::string> expected = {"s2", v == 0 ? "s1" : "s0"};
    EXPECT_EQ(seen, expected);
    for (xPL_ServicePtr s : services)
      if (s != nullptr) xPL_releaseService(s);
  }
}

TEST(Routing, DiscoveryRequestsScheduleOneDelayedAnswer) {
  struct Row {
    const char *probe;
    bool enabled;
    std::string text;
    bool answered;
    bool reachesListener;
  } rows[] = {
      {"broadcast command request", true,
       messageText("xpl-cmnd", "a-b.c", "*", "hbeat.request", ""), true, true},
      {"schema in capitals", true, messageText("xpl-cmnd", "a-b.c", "*", "HBEAT.REQUEST", ""), true,
       true},
      {"status request is no discovery", true,
       messageText("xpl-stat", "a-b.c", "*", "hbeat.request", ""), false, true},
      {"targeted request reaches listeners only", true,
       messageText("xpl-cmnd", "a-b.c", "acme-sensor.one", "hbeat.request", ""), false, true},
      {"no schema is no discovery", true, "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\n", false,
       true},
      {"disabled service stays silent", false,
       messageText("xpl-cmnd", "a-b.c", "*", "hbeat.request", ""), false, true},
  };
  for (Row &row : rows) {
    SCOPED_TRACE(row.probe);
    Routed routed;
    if (row.enabled) xPL_setServiceEnabled(routed.service, TRUE);  // its heartbeat goes nowhere
    EXPECT_EQ(routed.reaches(row.text), row.reachesListener);
    int due = sendDueDiscoveryAnswers();
    if (row.answered) {
      EXPECT_GE(due, 0);
      EXPECT_LE(due, 2500);
    } else {
      EXPECT_EQ(due, -1);
    }
  }

  // Requests that arrive while an answer waits are answered by it.
  Routed routed;
  xPL_setServiceEnabled(routed.service, TRUE);
  xPL_setDebugging(TRUE);
  xplnet::StderrCapture capture;
  for (int i = 0; i < 5; i++)
    routed.reaches(messageText("xpl-cmnd", "a-b.c", "*", "hbeat.request", ""));
  std::string log = capture.text();
  xPL_setDebugging(FALSE);
  size_t count = 0;
  for (size_t at = 0; (at = log.find("in response to discovery request", at)) != std::string::npos;
       at++)
    count++;
  EXPECT_EQ(count, 1u);
}

}  // namespace
