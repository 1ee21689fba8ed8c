// live_latency.cpp - how long a value changed in the station simulator
// (paced like a 2400 bit/s line) takes to reach an MQTT subscriber through
// kivamet --live 10 and a real broker. Runs in a private network namespace;
// the changes fall at random phases of the live period.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "harness.h"
#include "netns.h"

namespace {

constexpr int RUNS = 10;
constexpr int LIVE_PERIOD_MS = 10000;

int fail(const char *what) {
  fprintf(stderr, "live_latency: %s\n", what);
  return 1;
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string why;
  if (!testsupport::enterPrivateNetns(&why)) return fail(why.c_str());
  e2e::Rig rig;
  rig.simOptions.pace = true;
  testsupport::MqttSub sub;
  if (!rig.startNetworkAndStation() || !rig.broker.start() || !sub.connect(rig.broker.port()))
    return fail("cannot start the simulator, hub or broker");
  rig.config.location = "";
  if (!rig.startDaemon(true, {"--live", std::to_string(LIVE_PERIOD_MS / 1000), "--mqtt",
                              rig.broker.url()}))
    return fail("kivamet did not start");
  const std::string topic = "kivamet/e2etest/wind_direction";
  if (sub.waitFor(topic, nullptr, e2e::seconds(60)) == nullptr) return fail("no live value");

  std::mt19937 phase(12345);
  std::vector<double> ms;
  for (int i = 0; i < RUNS; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(phase() % LIVE_PERIOD_MS));
    const int degrees = 100 + i;
    const size_t from = sub.mark();
    const auto t0 = std::chrono::steady_clock::now();
    if (!rig.sim.poke("link", 0x126, {static_cast<unsigned char>(degrees), 0}))
      return fail("poke refused");
    if (sub.waitFor(topic, std::to_string(degrees).c_str(), e2e::seconds(30), from) == nullptr)
      return fail("the change never reached the broker");
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms) sum += v;
  printf("simulator change to MQTT message, kivamet --live %d, paced line, %d changes:\n",
         LIVE_PERIOD_MS / 1000, RUNS);
  printf("  min %.0f ms, median %.0f ms, mean %.0f ms, max %.0f ms\n", ms.front(),
         ms[ms.size() / 2], sum / RUNS, ms.back());
  return 0;
}
