// daemon_bench.cpp - the real daemon with the hub and the station simulator,
// in a private network namespace: bursts of requests for one value over a
// line paced at 2400 bit/s; then, unpaced, the daemon at rest for a minute
// (wake-ups and CPU) and its resident memory after 10,000 requests beside
// that at start. Prints the lines scripts/bench gathers (bench/rows.h).
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "netns.h"
#include "rows.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchrows::text;

constexpr int BURST = 50;
constexpr int BURSTS = 7;
const char BARDTA_READ[] = "57 52 44 44 00 0d";
constexpr double READ_WIRE_MS = 9 * 10 * 1000.0 / 2400;  // 9 bytes of 10 bits
constexpr int IDLE_SECONDS = 60;
constexpr int REQUESTS = 10000;
constexpr int REQUEST_WINDOW = 100;  // sent at once, all answered before the next
const char *const FIELDS[] = {"BARDTA", "DEWDTA", "TP1DTA", "TP2DTA", "HM1DTA",
                              "HM2DTA", "DIRDTA", "SPDDTA", "TIME",   "ID"};

std::string requestText(e2e::Rig &rig, const std::string &device) {
  return e2e::xplText("xpl-cmnd", rig.peer.source(), rig.target(), "sensor.request",
                      {{"request", "current"}, {"device", device}});
}

// Waits until `count` answers have come after the mark.
bool awaitAnswers(e2e::Rig &rig, size_t from, int count, e2e::milliseconds limit) {
  int seen = 0;
  return rig.peer.waitFor(
             [&](const e2e::XplMsg &m) { return m.schema == "sensor.basic" && ++seen == count; },
             limit, from) != nullptr;
}

// Several bursts, one after another: whether a burst needs a second read
// depends on how many of its datagrams are in before the first read starts.
void burst() {
  const std::string what = "50 sensor.request for BARDTA at once";
  e2e::Rig rig;
  rig.simOptions.pace = true;
  if (!rig.startNetworkAndStation() || !rig.startDaemon())
    return benchrows::unmeasured(what, "the daemon, hub or simulator did not start");
  const int port = rig.daemonPort();
  const std::string request = requestText(rig, "BARDTA");
  std::vector<double> ms;
  int fewestReads = BURST, mostReads = 0;
  for (int b = 0; b < BURSTS; b++) {
    const size_t from = rig.peer.mark();
    const size_t simFrom = rig.sim.outMark();
    const auto t0 = Clock::now();
    for (int i = 0; i < BURST; i++) rig.peer.sendRawTo(request, port);
    if (!awaitAnswers(rig, from, BURST, e2e::seconds(30)))
      return benchrows::unmeasured(what, "not every request was answered within 30 s");
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    int reads = 0;
    for (const std::string &frame : rig.sim.rx(simFrom)) reads += frame == BARDTA_READ;
    fewestReads = std::min(fewestReads, reads);
    mostReads = std::max(mostReads, reads);
  }
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  benchrows::print({what + ", paced line: last answer",
                    text("%.1f ms median of %d (max %.1f), %d-%d station reads", median, BURSTS,
                         ms.back(), fewestReads, mostReads),
                    "wire time of one read", text("%.1f ms", READ_WIRE_MS), median / READ_WIRE_MS,
                    "burst/read", "<= 2 (two reads)"});
}

// CPU time and context switches of all the process's threads.
struct Usage {
  double cpuMs = 0;
  long switches = 0;
};

Usage usageOf(pid_t pid) {
  Usage u;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR *dir = opendir(tasks.c_str());
  if (dir == nullptr) return u;
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = tasks + "/" + entry->d_name;
    std::ifstream schedstat(task + "/schedstat");
    long long runNs = 0;
    if (schedstat >> runNs) u.cpuMs += runNs / 1e6;
    std::ifstream status(task + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
        u.switches += std::stol(line.substr(24));
      if (line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0)
        u.switches += std::stol(line.substr(27));
    }
  }
  closedir(dir);
  return u;
}

long rssKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  return -1;
}

void atRest() {
  e2e::Rig rig;
  if (!rig.startNetworkAndStation() || !rig.startDaemon())
    return benchrows::unmeasured("idle daemon and memory", "the daemon did not start");
  const pid_t pid = rig.daemon.proc().pid();
  const long rssAtStart = rssKb(pid);

  // At rest: its heartbeats and timed jobs only. Waiting is the measurement.
  const Usage before = usageOf(pid);
  std::this_thread::sleep_for(std::chrono::seconds(IDLE_SECONDS));
  const Usage after = usageOf(pid);
  const double perMinute = (after.switches - before.switches) * 60.0 / IDLE_SECONDS;
  benchrows::print({"idle daemon: wake-ups", text("%.0f a minute", perMinute),
                    "the loop's wait of one second", "60 a minute", perMinute / 60, "idle/slices",
                    ""});
  const double cpuMs = after.cpuMs - before.cpuMs;
  benchrows::print({"idle daemon: CPU", text("%.1f ms in %d s", cpuMs, IDLE_SECONDS),
                    "wall time", text("%d s", IDLE_SECONDS), cpuMs / (IDLE_SECONDS * 1000.0),
                    "cpu/wall", ""});

  const int port = rig.daemonPort();
  for (int sent = 0; sent < REQUESTS; sent += REQUEST_WINDOW) {
    // The daemon and the simulator trace every read on their output: keep
    // the pipes flowing.
    rig.daemon.proc().pump();
    rig.sim.outMark();
    const size_t from = rig.peer.mark();
    for (int i = 0; i < REQUEST_WINDOW; i++)
      rig.peer.sendRawTo(requestText(rig, FIELDS[(sent + i) % (sizeof FIELDS / sizeof *FIELDS)]),
                         port);
    if (!awaitAnswers(rig, from, REQUEST_WINDOW, e2e::seconds(30)))
      return benchrows::unmeasured("memory after 10,000 requests",
                                   text("answers stopped after %d requests", sent));
  }
  const long rssAfter = rssKb(pid);
  benchrows::print({"resident memory after 10,000 requests", text("%ld kB", rssAfter),
                    "resident memory at start", text("%ld kB", rssAtStart),
                    rssAtStart > 0 ? static_cast<double>(rssAfter) / rssAtStart : -1,
                    "after/start", ""});
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string why;
  if (!testsupport::enterPrivateNetns(&why)) {
    benchrows::unmeasured("the daemon figures", "no private network namespace (" + why + ")");
    return 0;
  }
  burst();
  atRest();
  return 0;
}
