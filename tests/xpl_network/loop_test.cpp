// The event loop: managed devices and their order, the wait slices and the
// periodic work, timeout handlers on a wall clock the test sets by hand.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "xplnet_support.h"

namespace {

using namespace xplnet;

std::vector<std::string> calls;

// A pipe as a managed device: readable once poked, drained by its handler.
struct PipeDevice {
  int readEnd = -1;
  int writeEnd = -1;
  PipeDevice() {
    int ends[2];
    if (pipe(ends) == 0) {
      readEnd = ends[0];
      writeEnd = ends[1];
      fcntl(readEnd, F_SETFL, O_NONBLOCK);
    }
  }
  ~PipeDevice() {
    xPL_removeIODevice(readEnd);  // harmless when already gone
    close(readEnd);
    close(writeEnd);
  }
  void poke() const { EXPECT_EQ(write(writeEnd, "x", 1), 1); }
};

// Device names and scripted actions, looked up by descriptor.
std::map<int, std::string> deviceNames;
std::map<int, std::function<void()>> deviceActions;

void deviceHandler(int fd, int, int) {
  char byte;
  while (read(fd, &byte, 1) == 1) {
  }
  calls.push_back(deviceNames[fd]);
  auto action = deviceActions.find(fd);
  if (action != deviceActions.end()) {
    auto run = action->second;
    deviceActions.erase(action);
    run();
  }
}

class Loop : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    ASSERT_TRUE(addInterface(&why)) << why;
  }
  void SetUp() override {
    xPL_setBroadcastInterface(const_cast<String>(kInterface));
    ASSERT_TRUE(xPL_initialize(xcViaHub));
    calls.clear();
    deviceNames.clear();
    deviceActions.clear();
  }
  void TearDown() override { xPL_shutdown(); }

  std::vector<std::unique_ptr<PipeDevice>> devices(int count) {
    std::vector<std::unique_ptr<PipeDevice>> made;
    for (int i = 0; i < count; i++) {
      made.emplace_back(new PipeDevice);
      deviceNames[made.back()->readEnd] = std::string(1, static_cast<char>('A' + i));
      EXPECT_TRUE(xPL_addIODevice(deviceHandler, 0, made.back()->readEnd, TRUE, FALSE, FALSE));
    }
    return made;
  }
};

// ---- Devices ------------------------------------------------------------

TEST_F(Loop, DeviceRegistration) {
  PipeDevice lone;
  EXPECT_FALSE(xPL_addIODevice(deviceHandler, 0, lone.readEnd, FALSE, FALSE, FALSE));
  EXPECT_FALSE(xPL_removeIODevice(lone.readEnd)) << "the refused device was not added";

  // Newest first; removing the middle one keeps the others in order.
  auto abc = devices(3);
  for (auto &d : abc) d->poke();
  xPL_processMessages(0);
  EXPECT_EQ(calls, (std::vector<std::string>{"C", "B", "A"}));

  EXPECT_TRUE(xPL_removeIODevice(abc[1]->readEnd));
  calls.clear();
  for (auto &d : abc) d->poke();
  xPL_processMessages(0);
  EXPECT_EQ(calls, (std::vector<std::string>{"C", "A"}));
}

TEST_F(Loop, ThirtyThreeDevicesKeepTheirPlaces) {
  auto many = devices(33);
  for (auto &d : many) d->poke();
  xPL_processMessages(0);
  ASSERT_EQ(calls.size(), 33u);
  for (size_t i = 0; i < 33; i++)
    EXPECT_EQ(calls[i], std::string(1, static_cast<char>('A' + 32 - i)));
}

TEST_F(Loop, HandlersChangingTheDevicesMidWalk) {
  // Devices A, B, C all ready; C's handler runs first. Nobody may run
  // twice or be skipped, whatever the handlers add or remove.
  struct Row {
    const char *probe;
    char actor;
    std::function<void(std::vector<std::unique_ptr<PipeDevice>> &)> action;
    std::vector<std::string> expected;
  } rows[] = {
      {"C removes A, not yet called",
       'C',
       [](auto &d) { xPL_removeIODevice(d[0]->readEnd); },
       {"C", "B"}},
      {"C removes B, the next one",
       'C',
       [](auto &d) { xPL_removeIODevice(d[1]->readEnd); },
       {"C", "A"}},
      {"C removes itself",
       'C',
       [](auto &d) { xPL_removeIODevice(d[2]->readEnd); },
       {"C", "B", "A"}},
      {"B removes C, already called",
       'B',
       [](auto &d) { xPL_removeIODevice(d[2]->readEnd); },
       {"C", "B", "A"}},
      {"C adds a ready device: handled on the next wait",
       'C',
       [](auto &d) {
         d.emplace_back(new PipeDevice);
         deviceNames[d.back()->readEnd] = "D";
         d.back()->poke();
         xPL_addIODevice(deviceHandler, 0, d.back()->readEnd, TRUE, FALSE, FALSE);
       },
       {"C", "B", "A", "D"}},
  };
  for (Row &row : rows) {
    SCOPED_TRACE(row.probe);
    calls.clear();
    auto abc = devices(3);
    abc.reserve(8);  // the row may add one; keep the references stable
    int actorFd = abc[static_cast<size_t>(row.actor - 'A')]->readEnd;
    deviceActions[actorFd] = [&row, &abc] { row.action(abc); };
    for (auto &d : abc) d->poke();
    xPL_processMessages(0);
    EXPECT_EQ(calls, row.expected);
  }
}

TEST_F(Loop, ShutdownFromAHandlerEndsTheEndlessLoop) {
  auto abc = devices(3);
  deviceActions[abc[1]->readEnd] = [] { xPL_shutdown(); };
  for (auto &d : abc) d->poke();
  EXPECT_FALSE(xPL_processMessages(-1));
  EXPECT_EQ(calls, (std::vector<std::string>{"C", "B"})) << "the walk stops at once";
  EXPECT_EQ(xPL_getFD(), -1);
}

TEST_F(Loop, SignalsDuringTheWait) {
  // A signal that arrives while the loop waits interrupts poll: the wait
  // goes on unless the handler shut the library down, and then it ends.
  struct Row {
    const char *probe;
    void (*handler)(int);
    int timeout;
    bool connectedAfter;
  } rows[] = {
      {"handler only records it", [](int) {}, 300, true},
      {"handler shuts the library down", [](int) { xPL_shutdown(); }, -1, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.probe);
    if (xPL_getFD() == -1) {
      ASSERT_TRUE(xPL_initialize(xcViaHub));
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = row.handler;
    sigaction(SIGALRM, &action, nullptr);
    struct itimerval timer;
    memset(&timer, 0, sizeof timer);
    timer.it_value.tv_usec = 100000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    DebugCapture capture;
    EXPECT_FALSE(xPL_processMessages(row.timeout));
    std::string log = capture.text();
    EXPECT_EQ(log.find("Error while polling devices"), std::string::npos) << log;
    EXPECT_EQ(xPL_getFD() != -1, row.connectedAfter);
  }
  signal(SIGALRM, SIG_DFL);
}

// ---- Slices and periodic work -------------------------------------------

int periodicPasses;
void countPass(int, xPL_ObjectPtr) {
  periodicPasses++;
}

TEST_F(Loop, PeriodicWorkPerSlice) {
  // A clock that moves on at every reading lets every pass run: an
  // interval-0 handler then counts the periodic passes.
  FakeClock clock(freshEpoch());
  xPL_timeSource = [] { return ++FakeClock::now; };
  xPL_addTimeoutHandler(countPass, 0, nullptr);
  struct Row {
    const char *probe;
    int timeout;
    int passes;
  } rows[] = {
      {"no wait: one pass at the end", 0, 1},
      {"short wait: one pass at the end", 300, 1},
      {"two full seconds and a rest: a pass after each second, none at the end", 2100, 2},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.probe);
    periodicPasses = 0;
    EXPECT_FALSE(xPL_processMessages(row.timeout));
    EXPECT_EQ(periodicPasses, row.passes);
  }
  xPL_removeTimeoutHandler(countPass);
}

TEST_F(Loop, ShutdownFromATimeoutHandlerEndsTheLoopAfterThePass) {
  // The newer handler shuts the library down; the older one, due in the
  // same pass, still runs, and then the endless loop ends.
  for (bool busyDevice : {false, true}) {
    SCOPED_TRACE(busyDevice ? "a device ready on every wait does not hold the periodic work off"
                            : "quiet devices");
    if (xPL_getFD() == -1) {
      ASSERT_TRUE(xPL_initialize(xcViaHub));
    }
    FakeClock clock(freshEpoch());
    static int olderCalls;
    olderCalls = 0;
    xPL_TimeoutHandler older = [](int, xPL_ObjectPtr) { olderCalls++; };
    xPL_TimeoutHandler stopper = [](int, xPL_ObjectPtr) { xPL_shutdown(); };
    xPL_addTimeoutHandler(older, 0, nullptr);
    xPL_addTimeoutHandler(stopper, 0, nullptr);
    PipeDevice busy;  // a byte nobody reads: ready on every wait
    if (busyDevice) {
      busy.poke();
      xPL_addIODevice([](int, int, int) {}, 0, busy.readEnd, TRUE, FALSE, FALSE);
    }
    alarm(20);  // should the loop never get to its periodic work, the test ends here
    EXPECT_FALSE(xPL_processMessages(-1));
    alarm(0);
    EXPECT_EQ(xPL_getFD(), -1);
    EXPECT_EQ(olderCalls, 1);
    xPL_removeTimeoutHandler(older);
    xPL_removeTimeoutHandler(stopper);
  }
}

// ---- Timeout handlers ---------------------------------------------------

std::vector<std::pair<std::string, int>> timeouts;
void timeoutA(int elapsed, xPL_ObjectPtr) {
  timeouts.push_back({"A", elapsed});
}
void timeoutB(int elapsed, xPL_ObjectPtr) {
  timeouts.push_back({"B", elapsed});
}

TEST_F(Loop, TimeoutHandlersDueAndLate) {
  const time_t t = freshEpoch();
  FakeClock clock(t);
  xPL_addTimeoutHandler(timeoutA, 60, nullptr);
  xPL_addTimeoutHandler(timeoutB, 60, nullptr);
  using Calls = std::vector<std::pair<std::string, int>>;

  passAt(t + 59);
  EXPECT_EQ(timeouts, Calls{}) << "not due before its interval";
  passAt(t + 60);
  EXPECT_EQ(timeouts, (Calls{{"B", 60}, {"A", 60}})) << "due together: the last registered first";

  timeouts.clear();
  passAt(t + 125);
  EXPECT_EQ(timeouts, (Calls{{"B", 65}, {"A", 65}})) << "late: the whole elapsed time";
  timeouts.clear();
  passAt(t + 184);
  EXPECT_EQ(timeouts, Calls{}) << "lateness is not made up: next due at +185";

  // The wall clock is set back 100 s: nothing runs until each handler's
  // interval has passed again from its last run.
  passAt(t + 25);
  passAt(t + 124);
  EXPECT_EQ(timeouts, Calls{});
  passAt(t + 185);
  EXPECT_EQ(timeouts, (Calls{{"B", 60}, {"A", 60}}));

  EXPECT_TRUE(xPL_removeTimeoutHandler(timeoutA));
  EXPECT_TRUE(xPL_removeTimeoutHandler(timeoutB));
  EXPECT_FALSE(xPL_removeTimeoutHandler(timeoutB));
}

TEST_F(Loop, AtMostOneTimeoutPassPerSecond) {
  const time_t t = freshEpoch();
  FakeClock clock(t);
  xPL_addTimeoutHandler(countPass, 0, nullptr);
  periodicPasses = 0;
  passAt(t);
  passAt(t);
  EXPECT_EQ(periodicPasses, 1);
  passAt(t - 10);  // set back: no pass until the clock is past t again
  passAt(t);
  EXPECT_EQ(periodicPasses, 1);
  passAt(t + 1);
  EXPECT_EQ(periodicPasses, 2);
  xPL_removeTimeoutHandler(countPass);
}

std::function<void()> timeoutScript[3];
void scriptedTimeout(int i) {
  calls.push_back(std::string(1, static_cast<char>('A' + i)));
  auto run = timeoutScript[i];
  timeoutScript[i] = nullptr;
  if (run) run();
}
void tA(int, xPL_ObjectPtr) {
  scriptedTimeout(0);
}
void tB(int, xPL_ObjectPtr) {
  scriptedTimeout(1);
}
void tC(int, xPL_ObjectPtr) {
  scriptedTimeout(2);
}
void tD(int, xPL_ObjectPtr) {
  calls.push_back("D");
}

TEST_F(Loop, TimeoutHandlersChangingTheListMidPass) {
  // A, B, C every 10 s, all due; C runs first. After the pass every
  // handler that ran is due again 10 s later, not sooner.
  struct Row {
    const char *probe;
    int actor;
    std::function<void()> action;
    std::vector<std::string> firstPass;
    std::vector<std::string> tenSecondsLater;
  } rows[] = {
      {"C removes A", 2, [] { xPL_removeTimeoutHandler(tA); }, {"C", "B"}, {"C", "B"}},
      {"C removes B", 2, [] { xPL_removeTimeoutHandler(tB); }, {"C", "A"}, {"C", "A"}},
      {"C removes itself", 2, [] { xPL_removeTimeoutHandler(tC); }, {"C", "B", "A"}, {"B", "A"}},
      {"B removes C", 1, [] { xPL_removeTimeoutHandler(tC); }, {"C", "B", "A"}, {"B", "A"}},
      {"C adds D: not in this pass, due 10 s after its registration",
       2,
       [] { xPL_addTimeoutHandler(tD, 10, nullptr); },
       {"C", "B", "A"},
       {"D", "C", "B", "A"}},
  };
  for (Row &row : rows) {
    SCOPED_TRACE(row.probe);
    const time_t t = freshEpoch();
    FakeClock clock(t);
    for (xPL_TimeoutHandler h : {tA, tB, tC}) xPL_addTimeoutHandler(h, 10, nullptr);
    for (auto &script : timeoutScript) script = nullptr;
    timeoutScript[row.actor] = row.action;
    calls.clear();
    passAt(t + 10);
    EXPECT_EQ(calls, row.firstPass);
    calls.clear();
    passAt(t + 19);
    EXPECT_EQ(calls, std::vector<std::string>{}) << "nobody due yet";
    passAt(t + 20);
    EXPECT_EQ(calls, row.tenSecondsLater);
    for (xPL_TimeoutHandler h : {tA, tB, tC, tD}) xPL_removeTimeoutHandler(h);
  }
}

}  // namespace
