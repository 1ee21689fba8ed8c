// Speed of the xPL layer: parsing and formatting the messages the daemon
// handles most (its heartbeat, a sensor.request, a config.response with
// eight items), and the whole receive path (receive, parse, route to a
// service listener, release) against a plain recvfrom loop draining the
// same socket of the same queued datagrams. The socket work runs in a
// private network namespace on its loopback.
//
// Without arguments it prints google-benchmark's table and the receive
// figures; with --rows, the lines scripts/bench gathers (bench/rows.h).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <time.h>
#include <map>
#include <string>
#include <vector>

#include "netns.h"
#include "rows.h"
#include "xPL.h"
#include "xPL_priv.h"

namespace {

// Time this thread spent on the CPU: the machine is shared, and time spent
// waiting for a core says nothing about the code.
struct CpuClock {
  using time_point = double;  // ns
  static double now() {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
  }
};
using Clock = CpuClock;

const char *const kHeartbeat =
    "xpl-stat\n{\nhop=1\nsource=quorvel-davis.station1\ntarget=*\n}\nhbeat.app\n{\n"
    "interval=5\nport=50123\nremote-ip=10.77.0.1\nversion=1.0\n}\n";
const char *const kSensorRequest =
    "xpl-cmnd\n{\nhop=1\nsource=quorvel-ctl.desk\ntarget=quorvel-davis.station1\n}\nsensor.request\n{\n"
    "request=current\ndevice=BARDTA\n}\n";
const char *const kConfigResponse =
    "xpl-cmnd\n{\nhop=1\nsource=quorvel-ctl.desk\ntarget=quorvel-davis.station1\n}\nconfig.response\n{\n"
    "newconf=station1\ninterval=5\ntype=tcp\ndevice=/dev/ttyS0\nnet-address=127.0.0.1\nnet-port=10001\n"
    "location=KBOS\nrrddir=/var/www/html/weather\n}\n";

void parseText(benchmark::State &state, const char *text) {
  for (auto _ : state) {
    xPL_MessagePtr m = parseMessage(text);
    benchmark::DoNotOptimize(m);
    xPL_releaseMessage(m);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)strlen(text));
}

// Formats the message that the text parses to: the same shape the daemon
// builds for sending (a received group would differ, these have none).
void formatText(benchmark::State &state, const char *text) {
  xPL_MessagePtr m = parseMessage(text);
  if (m == nullptr) {
    state.SkipWithError("sample does not parse");
    return;
  }
  for (auto _ : state) {
    String out = xPL_formatMessage(m);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)strlen(text));
  xPL_releaseMessage(m);
}

void BM_ParseHeartbeat(benchmark::State &state) { parseText(state, kHeartbeat); }
void BM_ParseSensorRequest(benchmark::State &state) { parseText(state, kSensorRequest); }
void BM_ParseConfigResponse(benchmark::State &state) { parseText(state, kConfigResponse); }
void BM_FormatHeartbeat(benchmark::State &state) { formatText(state, kHeartbeat); }
void BM_FormatSensorRequest(benchmark::State &state) { formatText(state, kSensorRequest); }
void BM_FormatConfigResponse(benchmark::State &state) { formatText(state, kConfigResponse); }

BENCHMARK(BM_ParseHeartbeat);
BENCHMARK(BM_ParseSensorRequest);
BENCHMARK(BM_ParseConfigResponse);
BENCHMARK(BM_FormatHeartbeat);
BENCHMARK(BM_FormatSensorRequest);
BENCHMARK(BM_FormatConfigResponse);

// Keeps each run's CPU time per iteration (ns), showing the table unless quiet.
class Collector : public benchmark::ConsoleReporter {
 public:
  explicit Collector(bool quiet) : quiet_(quiet) {}
  bool ReportContext(const Context &context) override {
    return quiet_ || ConsoleReporter::ReportContext(context);
  }
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) nsPerIteration[run.benchmark_name()] = run.GetAdjustedCPUTime();
    if (!quiet_) ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> nsPerIteration;

 private:
  bool quiet_;
};

// ---- The receive path on a real socket ------------------------------------

// Datagrams queued per round: as many as one readiness of the library
// reads, well inside the socket's buffer (checked: every one must arrive).
constexpr int BATCH = 256;
constexpr int ROUNDS = 200;
constexpr int WARM_UP_ROUNDS = 20;

int routed = 0;
void countRequest(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) {
  routed++;
}

struct Socketry {
  int sender = -1;
  sockaddr_in to{};
};

double nsSince(double t0, int count) {
  return (Clock::now() - t0) / count;
}

// Sends BATCH requests to the library's port; ns per sendto.
double queueBatch(const Socketry &s) {
  const size_t length = strlen(kSensorRequest);
  const auto t0 = Clock::now();
  for (int i = 0; i < BATCH; i++)
    sendto(s.sender, kSensorRequest, length, 0, reinterpret_cast<const sockaddr *>(&s.to),
           sizeof s.to);
  return nsSince(t0, BATCH);
}

// ns per datagram, or -1 when not all of the batch came through.
double drainByLibrary() {
  routed = 0;
  const auto t0 = Clock::now();
  while (routed < BATCH) {
    const int before = routed;
    xPL_receiveMessage(xPL_getFD(), POLLIN, -1);
    if (routed == before) break;
  }
  const double ns = nsSince(t0, BATCH);
  return routed == BATCH ? ns : -1;
}

double drainByRecvfrom() {
  char buffer[MSG_BUFF_SIZE];
  int got = 0;
  const auto t0 = Clock::now();
  while (recvfrom(xPL_getFD(), buffer, sizeof buffer - 1, 0, nullptr, nullptr) >= 0) got++;
  const double ns = nsSince(t0, BATCH);
  return got == BATCH ? ns : -1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct ReceiveFigures {
  double libraryNs = -1, rawNs = -1, sendNs = -1;
  std::string why;
};

ReceiveFigures measureReceive() {
  ReceiveFigures f;
  std::string why;
  if (!testsupport::enterPrivateNetns(&why)) {
    f.why = "no private network namespace (" + why + ")";
    return f;
  }
  xPL_setBroadcastInterface(const_cast<String>("lo"));
  if (!xPL_initialize(xcViaHub)) {
    f.why = "the xPL layer did not start on loopback";
    return f;
  }
  xPL_ServicePtr service = xPL_createService(
      const_cast<String>("quorvel"), const_cast<String>("davis"), const_cast<String>("station1"));
  xPL_addServiceListener(service, countRequest, xPL_MESSAGE_COMMAND, const_cast<String>("sensor"),
                         const_cast<String>("request"), nullptr);

  Socketry s;
  s.sender = socket(AF_INET, SOCK_DGRAM, 0);
  s.to.sin_family = AF_INET;
  s.to.sin_port = htons(static_cast<uint16_t>(xPL_getPort()));
  inet_pton(AF_INET, "127.0.0.1", &s.to.sin_addr);

  // A running daemon has heard its hub echo its heartbeat; so has this one.
  const std::string echo = std::string("xpl-stat\n{\nhop=1\nsource=quorvel-davis.station1\ntarget=*\n}\n") +
                           "hbeat.app\n{\ninterval=5\nport=" + std::to_string(xPL_getPort()) +
                           "\nremote-ip=" + xPL_getListenerIPAddr() + "\n}\n";
  sendto(s.sender, echo.data(), echo.size(), 0, reinterpret_cast<const sockaddr *>(&s.to),
         sizeof s.to);
  xPL_receiveMessage(xPL_getFD(), POLLIN, -1);
  if (!xPL_isHubConfirmed()) f.why = "the hub echo was not taken";

  std::vector<double> library, raw, send;
  for (int round = 0; f.why.empty() && round < WARM_UP_ROUNDS + ROUNDS; round++) {
    // Alternating, so that a drift of the machine's speed touches both alike.
    const double sendNs = queueBatch(s);
    const double libraryNs = drainByLibrary();
    queueBatch(s);
    const double rawNs = drainByRecvfrom();
    if (libraryNs < 0 || rawNs < 0) {
      f.why = "datagrams were lost between sender and socket";
      break;
    }
    if (round < WARM_UP_ROUNDS) continue;
    library.push_back(libraryNs);
    raw.push_back(rawNs);
    send.push_back(sendNs);
  }
  close(s.sender);
  xPL_releaseService(service);
  xPL_shutdown();
  if (!f.why.empty()) return f;
  f.libraryNs = median(library);
  f.rawNs = median(raw);
  f.sendNs = median(send);
  return f;
}

}  // namespace

int main(int argc, char **argv) {
  bool rows = false;
  for (int i = 1; i < argc; i++)
    if (strcmp(argv[i], "--rows") == 0) rows = true;
  const ReceiveFigures receive = measureReceive();

  std::vector<char *> args;
  for (int i = 0; i < argc; i++)
    if (strcmp(argv[i], "--rows") != 0) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  Collector collector(rows);
  benchmark::RunSpecifiedBenchmarks(&collector);

  using benchrows::text;
  if (!rows) {
    if (receive.why.empty())
      printf("\nreceive path: library %.0f ns, raw recvfrom %.0f ns a datagram (sendto %.0f ns)\n",
             receive.libraryNs, receive.rawNs, receive.sendNs);
    else
      printf("\nreceive path not measured: %s\n", receive.why.c_str());
    return 0;
  }

  if (receive.why.empty()) {
    benchrows::print({"receive path: receive, parse, route, release (sensor.request)",
                      text("%.0f ns/datagram", receive.libraryNs), "raw recvfrom loop, same socket",
                      text("%.0f ns/datagram", receive.rawNs), receive.rawNs / receive.libraryNs,
                      "raw/library", ">= 0.8"});
  } else {
    benchrows::unmeasured("receive path and the kernel references", receive.why);
  }
  const struct {
    const char *figure;
    const char *benchmark;
    bool parse;
  } rates[] = {
      {"parse heartbeat", "BM_ParseHeartbeat", true},
      {"parse sensor.request", "BM_ParseSensorRequest", true},
      {"parse config.response, 8 items", "BM_ParseConfigResponse", true},
      {"format heartbeat", "BM_FormatHeartbeat", false},
      {"format sensor.request", "BM_FormatSensorRequest", false},
      {"format config.response, 8 items", "BM_FormatConfigResponse", false},
  };
  for (const auto &r : rates) {
    auto found = collector.nsPerIteration.find(r.benchmark);
    if (found == collector.nsPerIteration.end() || found->second <= 0) {
      benchrows::unmeasured(r.figure, "the benchmark did not run");
      continue;
    }
    const double perSecond = 1e9 / found->second;
    // Each is set against what the kernel does for one datagram in the same
    // direction: the text work should not be what limits the daemon.
    const double kernelNs = r.parse ? receive.rawNs : receive.sendNs;
    const bool haveKernel = receive.why.empty();
    benchrows::print({r.figure, text("%.2f M msg/s", perSecond / 1e6),
                      r.parse ? "kernel receive (raw recvfrom)" : "kernel send (raw sendto)",
                      haveKernel ? text("%.2f M dgram/s", 1e3 / kernelNs) : "-",
                      haveKernel ? perSecond / (1e9 / kernelNs) : -1, "text/kernel", ""});
  }
  return 0;
}
