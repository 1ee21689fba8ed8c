// Parse and format speed of the messages the daemon handles most: its
// heartbeat, a sensor.request and a config.response with eight items.
#include <benchmark/benchmark.h>

#include <string.h>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

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

} // namespace

BENCHMARK_MAIN();
