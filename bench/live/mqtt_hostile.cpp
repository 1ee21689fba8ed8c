// mqtt_hostile.cpp - the daemon beside a hostile broker (tests/support's,
// on 127.0.0.1 in a private network namespace): for each misdeed, its peak
// memory above its resting size, the round trip of xPL requests meanwhile
// beside that with a well-behaved broker, and how often it connects (RSS
// sampled between requests).
// Prints the lines scripts/bench gathers (bench/rows.h); about two minutes.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "harness.h"
#include "netns.h"
#include "rows.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchrows::text;
using testsupport::HostileBroker;

constexpr int RUN_SECONDS = 20;

struct Figures {
  double medianMs = 0, slowestMs = 0;
  int unanswered = 0;
  long peakAboveRestKb = 0;
  int connections = 0;
};

// Requests for ID (answered without a station read) one after another for
// RUN_SECONDS; a broker URL of "" starts the real one.
bool run(int misdeed, Figures *f) {
  e2e::Rig rig;
  HostileBroker hostile;
  if (!rig.startNetworkAndStation()) return false;
  std::string url;
  if (misdeed < 0) {
    if (!rig.broker.start()) return false;
    url = rig.broker.url();
  } else {
    if (!hostile.start(static_cast<HostileBroker::Misdeed>(misdeed),
                       e2e::seconds(RUN_SECONDS + 60)))
      return false;
    url = hostile.url();
  }
  rig.config.location = "";
  if (!rig.startDaemon(true, {"--mqtt", url})) return false;
  const pid_t pid = rig.daemon.proc().pid();
  const long resting = e2e::statusKb(pid, "VmRSS");
  long peak = resting;
  const auto start = Clock::now();
  std::vector<double> ms;
  while (Clock::now() - start < e2e::seconds(RUN_SECONDS)) {
    rig.daemon.proc().pump();
    peak = std::max(peak, e2e::statusKb(pid, "VmRSS"));
    const auto t0 = Clock::now();
    if (rig.reading("ID", e2e::seconds(5)).empty()) {
      f->unanswered++;
      continue;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  if (ms.empty()) return false;
  std::sort(ms.begin(), ms.end());
  f->medianMs = ms[ms.size() / 2];
  f->slowestMs = ms.back();
  f->peakAboveRestKb = peak - resting;
  f->connections = hostile.connections();
  return true;
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string why;
  if (!testsupport::enterPrivateNetns(&why)) {
    benchrows::unmeasured("the hostile broker figures",
                          "no private network namespace (" + why + ")");
    return 0;
  }
  Figures calm;
  if (!run(-1, &calm)) {
    benchrows::unmeasured("the hostile broker figures", "the rig did not start");
    return 0;
  }
  const struct {
    HostileBroker::Misdeed misdeed;
    const char *name;
  } misdeeds[] = {{HostileBroker::QOS2_FLOOD, "QoS 2 flood"},
                  {HostileBroker::HUGE_PACKET, "256 MB packet"},
                  {HostileBroker::HANG_UP, "hang-up after CONNACK"}};
  for (const auto &m : misdeeds) {
    Figures f;
    const std::string what = std::string("hostile broker, ") + m.name;
    if (!run(m.misdeed, &f)) {
      benchrows::unmeasured(what, "no request was answered, or the rig did not start");
      continue;
    }
    benchrows::print(
        {what + ": xPL round trip",
         text("%.1f ms median, %.1f slowest, %d unanswered", f.medianMs, f.slowestMs, f.unanswered),
         "slowest with a well-behaved broker", text("%.1f ms", calm.slowestMs),
         calm.slowestMs > 0 ? f.slowestMs / calm.slowestMs : -1, "hostile/calm",
         "<= 100 ms added"});
    benchrows::print({what + ": memory above rest", text("%ld kB at most", f.peakAboveRestKb),
                      "with a well-behaved broker", text("%ld kB", calm.peakAboveRestKb), -1, "",
                      "a few MB"});
    benchrows::print({what + ": connections", text("%d in %d s", f.connections, RUN_SECONDS),
                      "waits of 1, 2, 4, 8 s", text("5 in %d s", RUN_SECONDS), f.connections / 5.0,
                      "made/doubling", "<= 1"});
  }
  return 0;
}
