// daemon_bench.cpp - the real daemon with the hub and the station simulator,
// in a private network namespace: bursts of requests for one value over a
// line paced at 2400 bit/s; a day's catch-up from the logger's archive over
// the same line; then, unpaced, the daemon at rest for a minute (wake-ups
// and CPU) and its resident memory after 10,000 requests beside that at
// start; and the answer to a request while an upload hangs beside that
// while the uploads are answered. Prints the lines scripts/bench gathers
// (bench/rows.h). Arguments (burst, catch-up, upload, rest) run only those
// parts.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
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
constexpr int HUNG_REQUESTS = 25;    // one after another, well within the hung upload's 30 s
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

// A database a day behind and a logger that kept 5-minute records all the
// while, one of which fails its CRC at every read: the catch-up's total time
// and its longest pass (the longest a request waits for the station), over
// a paced line.
void catchUp() {
  const std::string what = "catch-up of a day of 5-minute records, one failing its CRC";
  constexpr int HOURS = 24;
  e2e::Rig rig;
  rig.simOptions.pace = true;
  rig.simOptions.args = {"--archive-history", std::to_string(HOURS + 1), "--archive-period", "5"};
  if (!rig.startNetworkAndStation())
    return benchrows::unmeasured(what, "the hub or the simulator did not start");
  e2e::runOutput({testsupport::binDir() + "/kivamet-stationsim", "--history", "2", "--gap",
                  std::to_string(HOURS), rig.rrdDir + "/weather.rrd"});
  if (!rig.sim.control("archive crc 100") || !rig.startDaemon())
    return benchrows::unmeasured(what, "the daemon did not start");
  const char *const written = "samples written from ";
  if (!rig.daemon.waitErr(written, e2e::seconds(240)) ||
      !rig.daemon.waitErr(" s)\n", e2e::seconds(1)))
    return benchrows::unmeasured(what, "it did not end within 240 s");
  const std::string &err = rig.daemon.proc().err();
  const size_t at = err.rfind('\n', err.find(written));
  int samples = 0, records = 0;
  double total = 0, longest = 0, longestRead = 0;
  if (sscanf(err.c_str() + (at == std::string::npos ? 0 : at + 1),
             "catch-up: %d samples written from %*d of %d records read in %lf s (longest pass %lf "
             "s, longest station read %lf",
             &samples, &records, &total, &longest, &longestRead) != 5)
    return benchrows::unmeasured(what, "its closing line did not read as expected");
  benchrows::print({what + ", paced line: longest station read",
                    text("%.0f ms (%d records in %.1f s; longest pass %.0f ms)", longestRead * 1000,
                         records, total, longest * 1000),
                    "the most a request may wait for the station", "250 ms", longestRead / 0.25,
                    "read/bound", "<= 1"});
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
  benchrows::print({"idle daemon: CPU", text("%.1f ms in %d s", cpuMs, IDLE_SECONDS), "wall time",
                    text("%d s", IDLE_SECONDS), cpuMs / (IDLE_SECONDS * 1000.0), "cpu/wall", ""});

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
                    rssAtStart > 0 ? static_cast<double>(rssAfter) / rssAtStart : -1, "after/start",
                    ""});
}

// Request round trips, one after another, for a value the daemon answers
// without the station, so that only the loop is measured: median and
// slowest in ms, or false.
bool roundTrips(e2e::Rig &rig, double *median, double *slowest) {
  std::vector<double> ms;
  for (int i = 0; i < HUNG_REQUESTS; i++) {
    const auto t0 = Clock::now();
    if (rig.reading("ID", e2e::seconds(10)) != "wizard3") return false;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  *median = ms[ms.size() / 2];
  *slowest = ms.back();
  return true;
}

// A service that takes the request and never answers: xPL must not notice.
void hungUpload() {
  const std::string what = "sensor.request while an upload hangs";
  e2e::Rig rig;
  testsupport::WeatherStub service;
  if (!rig.startNetworkAndStation() || !service.start() || !service.command("mode success"))
    return benchrows::unmeasured(what, "the hub, simulator or stub did not start");
  const std::string settings = rig.daemon.dir() + "/kivamet.toml";
  testsupport::writeFile(settings,
                         "[upload.pwsweather]\nstation = \"BENCH\"\nkey = \"k\"\n"
                         "interval = 2\nurl = \"http://127.0.0.1:" +
                             std::to_string(service.port()) + "/\"\n");
  chmod(settings.c_str(), 0600);
  rig.daemon.env["KIVAMET_UPLOAD_MIN_INTERVAL"] = "2";
  rig.daemon.env["KIVAMET_LOG_PERIOD"] = "2";
  if (!rig.startDaemon(true, {"--config", settings}))
    return benchrows::unmeasured(what, "the daemon did not start");
  double answered = 0, answeredMax = 0, hung = 0, hungMax = 0;
  if (!roundTrips(rig, &answered, &answeredMax))
    return benchrows::unmeasured(what, "requests went unanswered while the uploads were taken");
  service.command("mode silent");
  // Measured once a request is stuck at the service.
  const size_t stuckFrom = service.proc().out().size();
  if (!service.proc().waitForStdout("request ", e2e::seconds(10), stuckFrom) ||
      !roundTrips(rig, &hung, &hungMax))
    return benchrows::unmeasured(what, "no upload hung, or requests went unanswered");
  benchrows::print({what + ": answer (ID)",
                    text("%.1f ms median, %.1f ms slowest of %d", hung, hungMax, HUNG_REQUESTS),
                    "the same while the uploads are answered",
                    text("%.1f ms median, %.1f ms slowest", answered, answeredMax),
                    answered > 0 ? hung / answered : -1, "hung/answered",
                    text("added <= 100 ms (%.1f ms)", hungMax - answered)});
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string why;
  if (!testsupport::enterPrivateNetns(&why)) {
    benchrows::unmeasured("the daemon figures", "no private network namespace (" + why + ")");
    return 0;
  }
  auto wanted = [&](const char *part) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; i++)
      if (strcmp(argv[i], part) == 0) return true;
    return false;
  };
  if (wanted("burst")) burst();
  if (wanted("catch-up")) catchUp();
  if (wanted("upload")) hungUpload();
  if (wanted("rest")) atRest();
  return 0;
}
