// sim_test.cpp - the station simulator: its frame cutter, and the real
// program answering the real link over a pty and over TCP.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "davis.h"
#include "framer.h"
#include "peer.h"
#include "proc.h"
#include "weather.h"

using namespace stationtest;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

constexpr auto LIMIT = 10s;

// The simulator as a child process, driven through its control lines.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::binDir() + "/kivamet-stationsim");
    started_ = proc_.start(args);
    if (started_ && proc_.waitForStdout("\n", LIMIT)) {
      std::istringstream first(proc_.out());
      std::string kind;
      first >> kind;
      if (kind == "pty") first >> path_;
      if (kind == "tcp") first >> host_ >> port_;
    }
  }
  bool ready() const { return started_ && (!path_.empty() || !port_.empty()); }
  const std::string &path() const { return path_; }
  const std::string &port() const { return port_; }
  testsupport::Process &proc() { return proc_; }

  // Sends a control line and returns the first output line that starts with
  // `answer` after it, or "" when none came.
  std::string ask(const std::string &line, const std::string &answer) {
    const size_t mark = proc_.out().size();
    if (!proc_.writeStdin(line + "\n") || !proc_.waitForStdout(answer, LIMIT, mark)) return "";
    const size_t at = proc_.out().find(answer, mark);
    if (!proc_.waitForStdout("\n", LIMIT, at)) return "";
    return proc_.out().substr(at, proc_.out().find('\n', at) - at);
  }
  bool control(const std::string &line) { return ask(line, "ok " + line) == "ok " + line; }

  // The hex bytes at the end of a "peek ..." or "image ..." line.
  Bytes hexAfter(const std::string &line, size_t words) {
    std::istringstream in(line);
    std::string w;
    for (size_t i = 0; i < words && in >> w;) i++;
    Bytes b;
    while (in >> w) b.push_back(static_cast<uint8_t>(strtoul(w.c_str(), nullptr, 16)));
    return b;
  }

 private:
  testsupport::Process proc_;
  bool started_ = false;
  std::string path_, host_, port_;
};

}  // namespace

TEST(StationSimFramer, CutsCommandsOutOfNoise) {
  using stationsim::Framer;
  struct Row {
    const char *what;
    std::string input;
    std::vector<std::string> frames;
  } rows[] = {
      {"a probe", "WRD\x12\x4d\r"s, {"WRD\x12\x4d\r"s}},
      {"noise in front is skipped", "\xff\0xyWRD\x12\x4d\r"s, {"WRD\x12\x4d\r"s}},
      {"the 0x00 after fixed commands", "STOP\r\0DMP\r\0"s, {"STOP\r", "DMP\r"}},
      {"station write length from its count", "WWR\x43\x2c\xd0\xd1\r"s, {"WWR\x43\x2c\xd0\xd1\r"s}},
      {"link write of one nibble", "RWR\x10\x3a\x05\r"s, {"RWR\x10\x3a\x05\r"s}},
      {"no CR at the end is no frame", "WRD\x12\x4d\0WRD\x12\x4e\r"s, {"WRD\x12\x4e\r"s}},
      {"a CR among the parameters", "WRD\x12\r\r"s, {"WRD\x12\r\r"s}},
      {"words that share letters",
       "START\r\0SAP\x1e\rSSP\xc4\rMDMP\r\0"s,
       {"START\r", "SAP\x1e\r", "SSP\xc4\r", "MDMP\r"}},
  };
  const auto t0 = Framer::Clock::now();
  for (const Row &r : rows) {
    Framer f;
    f.push(reinterpret_cast<const uint8_t *>(r.input.data()), r.input.size(), t0);
    std::vector<std::string> got;
    while (auto frame = f.next(t0)) got.emplace_back(frame->bytes.begin(), frame->bytes.end());
    EXPECT_EQ(got, r.frames) << r.what;
  }

  // A lost half command in front of a whole one holds it up only briefly.
  Framer f;
  const std::string half = "WR", whole = "WRD\x44\x00\r"s;
  f.push(reinterpret_cast<const uint8_t *>(half.data()), half.size(), t0);
  f.push(reinterpret_cast<const uint8_t *>(whole.data()), whole.size(), t0);
  EXPECT_FALSE(f.next(t0).has_value());
  auto late = f.next(t0 + Framer::STALE + 1ms);
  ASSERT_TRUE(late.has_value());
  EXPECT_EQ(std::string(late->bytes.begin(), late->bytes.end()), "WRD\x44\x00\r"s);
}

// Eight days of the simulator's weather, a minute apart, from a fixed moment
// in a zone an hour east of UTC: what makes it believable on a page.
TEST(StationSimWeather, HasDaysNightsShowersAndSpells) {
  constexpr time_t FROM = 1772323200;  // 1 March 2026, 00:00 UTC
  constexpr long OFFSET = 3600, MINUTES = 8 * 1440;
  stationsim::WeatherCourse course(OFFSET);
  std::vector<stationsim::Readings> w;
  for (long m = 0; m < MINUTES; m++) w.push_back(course.at(FROM + m * 60));
  const auto hourOf = [](long m) { return (m + OFFSET / 60) / 60 % 24; };
  const auto rained = [&](long m) { return m > 0 && w[m].rain != w[m - 1].rain; };

  bool nightsColder = true;
  for (long day = 1; day < 8; day++) {
    double night = 0, afternoon = 0;
    for (long m = day * 1440; m < (day + 1) * 1440; m++) {
      if (hourOf(m) >= 3 && hourOf(m) < 6) night += w[m].tout;
      if (hourOf(m) >= 13 && hourOf(m) < 16) afternoon += w[m].tout;
    }
    nightsColder = nightsColder && night < afternoon;
  }
  int chillMinutes = 0, rainyHours = 0, showers = 0, calmHours = 0, gustyHours = 0;
  bool showersForetold = true, rainOnlyAdds = true;
  for (long m = 0; m < MINUTES; m++) {
    // Wind chill parts from the temperature at 50 °F and below, in 3 mph or more.
    chillMinutes += w[m].tout <= 500 && w[m].wsp >= 3;
    rainOnlyAdds = rainOnlyAdds && (m == 0 || ((w[m].rain - w[m - 1].rain) & 0xFFFF) < 10);
    // A shower after a dry spell: the barometer has fallen and the air is damp.
    bool dryBefore = m >= 480;
    for (long b = m - 480; dryBefore && b < m; b++) dryBefore = !rained(b);
    if (rained(m) && dryBefore) {
      showers++;
      showersForetold = showersForetold && w[m].hout >= 90 && w[m].bar < w[m - 180].bar;
    }
    if (m % 60 != 59) continue;
    bool rain = false;
    int lo = 99, hi = 0;
    for (long i = m - 59; i <= m; i++) {
      rain = rain || rained(i);
      lo = std::min(lo, w[i].wsp);
      hi = std::max(hi, w[i].wsp);
    }
    rainyHours += rain;
    calmHours += hi <= 1;
    gustyHours += hi - lo >= 10;
  }
  // Asked out of order, the course gives the same readings.
  stationsim::WeatherCourse again(OFFSET);
  bool repeatable = true;
  for (long m = MINUTES - 1; m >= 0; m -= 997) {
    const stationsim::Readings &a = w[m], b = again.at(FROM + m * 60);
    repeatable = repeatable && a.tout == b.tout && a.bar == b.bar && a.hout == b.hout &&
                 a.wsp == b.wsp && a.wdir == b.wdir && a.rain == b.rain && a.tin == b.tin;
  }
  struct Row {
    const char *what;
    bool holds;
  } rows[] = {
      {"every night colder than its afternoon", nightsColder},
      {"an hour or more of wind chill weather", chillMinutes >= 60},
      {"rain now and then: some hours, at most one in ten", rainyHours > 0 && rainyHours <= 19},
      {"a shower after a dry spell comes damp, the barometer fallen",
       showers > 0 && showersForetold},
      {"the rain counter only adds tips", rainOnlyAdds},
      {"calm hours", calmHours > 0},
      {"gusty hours", gustyHours > 0},
      {"the same time, the same weather", repeatable},
  };
  for (const Row &r : rows) EXPECT_TRUE(r.holds) << r.what;
}

TEST(StationSim, AnswersTheLinkOverAPty) {
  Sim sim({"--pty", "--frozen"});
  ASSERT_TRUE(sim.ready()) << sim.proc().out() << sim.proc().err();
  Device dev;
  CaptureStdout trace;
  dev.d = davis_open(sim.path().c_str());
  ASSERT_NE(dev.d, nullptr);
  EXPECT_STREQ(davis_model_str(dev.d), "wizard3");
  EXPECT_TRUE(sim.proc().waitForStdout("rx 57 52 44 12 4d 0d\n", LIMIT));

  // The image is the link memory's sensor fields, with a good CRC.
  const Bytes image = sim.hexAfter(sim.ask("image", "image "), 1);
  ASSERT_EQ(image.size(), 15u);
  uint8_t data[15];
  ASSERT_EQ(davis_dumpsensor(dev.d, 1, data, 30), 0);
  EXPECT_EQ(Bytes(data, data + 15), image);
  EXPECT_EQ(sim.hexAfter(sim.ask("peek link 11c 30", "peek link 11c"), 3), image);

  ASSERT_TRUE(sim.control("poke station 100 30 75"));
  uint8_t bar[2];
  ASSERT_EQ(davis_readstation(dev.d, 0x100, bar, 4), 0);
  EXPECT_EQ(Bytes(bar, bar + 2), (Bytes{0x30, 0x75}));

  const uint8_t time[3] = {0x14, 0x05, 0x00};
  ASSERT_EQ(davis_writestation(dev.d, 0x1BE, time, 6), 0);
  EXPECT_TRUE(sim.proc().waitForStdout("write station 1be 14 05 00\n", LIMIT));

  // Faults cost an attempt each; the link's retries get through.
  ASSERT_TRUE(sim.control("fault ack 1"));
  ASSERT_TRUE(sim.control("fault crc 1"));
  EXPECT_EQ(davis_dumpsensor(dev.d, 1, data, 30), 0);
  ASSERT_TRUE(sim.control("fault ack 1"));
  EXPECT_EQ(davis_readstation(dev.d, 0x100, bar, 4), 0);
  const std::string text = trace.text();
  EXPECT_EQ(linesWith(text, "ds write").size(), 1u + 3u)
      << "wrong ack, then bad CRC, then the image";
  EXPECT_EQ(linesWith(text, "crc=").size(), 1u + 2u);
  EXPECT_EQ(linesWith(text, "rs write").size(), 1u + 1u + 2u) << "probe, poked read, retried read";

  // An adaptor that passes a byte a second: the read misses its deadline
  // and makes no second attempt; at the line's pace again, it reads.
  CaptureStdout slow;
  ASSERT_TRUE(sim.control("trickle 1000"));
  EXPECT_NE(davis_readstation(dev.d, 0x100, bar, 4), 0);
  ASSERT_TRUE(sim.control("trickle off"));
  EXPECT_EQ(davis_readstation(dev.d, 0x100, bar, 4), 0);
  const std::string slowText = slow.text();
  EXPECT_EQ(linesWith(slowText, "read deadline").size(), 1u) << slowText;
  EXPECT_EQ(linesWith(slowText, "rs write").size(), 2u) << slowText;

  // The line stays usable for the next client.
  dev.reset();
  CaptureStdout again;
  dev.d = davis_open(sim.path().c_str());
  ASSERT_NE(dev.d, nullptr);
  EXPECT_EQ(dev.d->type, 0);
}

TEST(StationSim, ModelProbeAnswersAsTheCodeGiven) {
  struct Row {
    const char *model;
    int8_t type;
    const char *name;
  } rows[] = {
      {"3", 3, "perception"},
      {"9", 9, "unknown"},
      // Answered whole: the code reads as -1, as no answer does.
      {"255", -1, "unknown"},
  };
  for (const Row &r : rows) {
    Sim sim({"--pty", "--frozen", "--model", r.model});
    ASSERT_TRUE(sim.ready()) << r.model;
    Device dev;
    CaptureStdout trace;
    dev.d = davis_open(sim.path().c_str());
    ASSERT_NE(dev.d, nullptr) << r.model;
    EXPECT_EQ(dev.d->answered, 1) << r.model;
    EXPECT_EQ(dev.d->type, r.type) << r.model;
    EXPECT_STREQ(davis_model_str(dev.d), r.name) << r.model;
  }
}

TEST(StationSim, GarbageOnTheLineIsSkipped) {
  Sim sim({"--pty", "--model", "5"});
  ASSERT_TRUE(sim.ready());
  Device dev;
  CaptureStdout trace;
  dev.d = davis_open(sim.path().c_str());
  ASSERT_NE(dev.d, nullptr);
  EXPECT_STREQ(davis_model_str(dev.d), "energy");

  std::mt19937 rng(7);
  Bytes noise(512);
  for (uint8_t &b : noise) b = static_cast<uint8_t>(rng());
  ASSERT_EQ(write(dev.d->fd, noise.data(), noise.size()), 512);
  uint8_t dump[128];
  EXPECT_EQ(davis_dumpstation(dev.d, dump, 256), 0);
  EXPECT_EQ(dump[0x4D / 2] >> 4, 5) << "model code in the high half of byte 0x26";
  EXPECT_TRUE(sim.proc().running());
}

TEST(StationSim, DroppedTcpConnectionFailsTheReadAndReconnects) {
  Sim sim({"--tcp", "0", "--frozen"});
  ASSERT_TRUE(sim.ready());
  Device dev;
  CaptureStdout trace;
  dev.d = davis_tcp_open("127.0.0.1", sim.port().c_str());
  ASSERT_NE(dev.d, nullptr);
  EXPECT_EQ(dev.d->type, 0);

  ASSERT_TRUE(sim.control("fault drop"));
  uint8_t bar[2];
  EXPECT_NE(davis_readstation(dev.d, 0x100, bar, 4), 0);
  EXPECT_TRUE(sim.proc().waitForStdout("client closed", LIMIT));

  dev.reset();
  dev.d = davis_tcp_open("127.0.0.1", sim.port().c_str());
  ASSERT_NE(dev.d, nullptr);
  uint8_t data[15];
  EXPECT_EQ(davis_dumpsensor(dev.d, 1, data, 30), 0);
}

TEST(StationSim, StopsWhenItsControlPipeCloses) {
  // A test that dies leaves no simulator behind.
  Sim sim({"--tcp", "0"});
  ASSERT_TRUE(sim.ready());
  sim.proc().closeStdin();
  EXPECT_EQ(sim.proc().wait(LIMIT), 0);
}
