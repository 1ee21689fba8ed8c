// End-to-end: the settings pass and the timed jobs: barometer calibration
// against the weather stub, the station clock check, and weather database
// logging checked with rrdtool.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "harness.h"

namespace {

using e2e::seconds;
using e2e::XplMsg;

const char *const kProbe = "57 52 44 12 4d 0d";
const char *const kLoop = "4c 4f 4f 50 ff ff 0d";  // one sensor image

int le16(const std::vector<unsigned char> &b, size_t at) {
  return static_cast<int16_t>(static_cast<uint16_t>(b[at] | (b[at + 1] << 8)));
}

int bcd(unsigned v) {
  return static_cast<int>((v >> 4) * 10 + (v & 0x0F));
}

// Compass index by arithmetic rather than a sector table: 16 sectors of
// 22.5 degrees centred on north.
int compass(int degs) {
  if (degs < 0 || degs > 360) return 0;
  return ((4 * degs + 44) / 90) % 16;
}

std::vector<unsigned> frameBytes(const std::string &frame) {
  std::vector<unsigned> out;
  std::istringstream in(frame);
  std::string w;
  while (in >> w) out.push_back(static_cast<unsigned>(std::stoul(w, nullptr, 16)));
  return out;
}

using e2e::rrdInfo;
using e2e::rrdLast;

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool startsWith(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// ---- The settings pass -----------------------------------------------------

TEST(Jobs, SettingsPassCalibratesSetsTheClockAndLogs) {
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation("29.92"));
  ASSERT_TRUE(rig.sim.poke("station", 0x12C, {0x1E, 0x00}));  // STNDRD 30
  ASSERT_TRUE(rig.sim.poke("station", 0x152, {0xFB, 0xFF}));  // TP1CAL -5
  ASSERT_TRUE(rig.sim.poke("station", 0x178, {0x0A, 0x00}));  // TP2CAL 10
  ASSERT_TRUE(rig.sim.poke("station", 0x1D6, {0x07, 0x00}));  // RNCAL 7
  ASSERT_TRUE(rig.sim.poke("station", 0x1DA, {0xFE, 0xFF}));  // HM2CAL -2
  ASSERT_TRUE(rig.sim.poke("station", 0x100, {0xFE, 0x74}));  // BARDTA 29950
  ASSERT_TRUE(rig.sim.poke("station", 0x08A, {0xF1, 0xFF}));  // DEWDTA -15
  ASSERT_TRUE(rig.sim.poke("station", 0x0A8, {0x88, 0xFF}));  // CHLDTA -120
  ASSERT_TRUE(rig.sim.poke("station", 0x1C8, {0x15, 0x00}));  // month 0: never the host's
  ASSERT_TRUE(rig.sim.poke("link", 0x126, {0x5A, 0x00}));     // wind from 90 degrees
  ASSERT_TRUE(rig.sim.poke("link", 0x120, {0x22, 0x01}));     // outside 29.0 F
  ASSERT_TRUE(rig.sim.poke("link", 0x124, {0x0A}));           // 10 mph
  std::vector<unsigned char> img;
  ASSERT_TRUE(rig.sim.image(&img));
  ASSERT_EQ(img.size(), 15u);

  const size_t simFrom = rig.sim.outMark();
  const time_t before = time(nullptr);
  ASSERT_TRUE(rig.startDaemon());
  const time_t after = time(nullptr);

  // The exact station commands of the pass: open, calibration reads, new
  // offset, clock reads and writes, sensor image, dew point, wind chill.
  const std::vector<std::string> frames = rig.sim.rx(simFrom);
  const std::vector<std::string> head = {
      kProbe,
      "57 52 44 44 2c 0d",        // STNDRD
      "57 52 44 44 52 0d",        // TP1CAL
      "57 52 44 44 78 0d",        // TP2CAL
      "57 52 44 44 d6 0d",        // RNCAL
      "57 52 44 44 da 0d",        // HM2CAL
      "57 52 44 44 00 0d",        // BARDTA
      "57 57 52 43 2c 1e 00 0d",  // STNDRD = 29950 - 29920
      "57 52 44 64 be 0d",        // time cell
      "57 52 44 34 c8 0d",        // date cell
  };
  ASSERT_EQ(frames.size(), head.size() + 5) << ::testing::PrintToString(frames);
  for (size_t i = 0; i < head.size(); i++) EXPECT_EQ(frames[i], head[i]) << i;
  ASSERT_TRUE(startsWith(frames[10], "57 57 52 63 be "));
  ASSERT_TRUE(startsWith(frames[11], "57 57 52 33 c8 "));
  EXPECT_EQ(frames[12], kLoop);
  EXPECT_EQ(frames[13], "57 52 44 42 8a 0d");
  EXPECT_EQ(frames[14], "57 52 44 42 a8 0d");

  // The clock got the host's local time, BCD but for the plain month.
  const std::vector<unsigned> t = frameBytes(frames[10]), d = frameBytes(frames[11]);
  bool matches = false;
  for (time_t when : {before, after}) {
    struct tm local;
    localtime_r(&when, &local);
    matches = matches || (bcd(t[5]) == local.tm_hour && bcd(t[6]) == local.tm_min &&
                          bcd(d[5]) == local.tm_mday && d[6] == unsigned(local.tm_mon + 1));
  }
  EXPECT_TRUE(matches) << frames[10] << " / " << frames[11];

  EXPECT_TRUE(rig.daemon.waitErr("calibration: 0xffffffe2 -5 10 7 -2\n", seconds(1)));
  EXPECT_TRUE(rig.daemon.waitErr("bar 29950 web 29920 cal 30\n", seconds(1)));
  const std::vector<std::string> asked = rig.web.requests();
  ASSERT_EQ(asked.size(), 1u);
  // The whole request, as the stub logs it (CR and LF escaped).
  EXPECT_EQ(asked[0], "GET /xml/current_obs/KTST.xml HTTP/1.0\\r\\nHost: " + rig.web.hostPort() +
                          "\\r\\n\\r\\n");

  // The database: 10 sources, 12 archives, and the first sample with the
  // offsets in force before this pass (bar -30, inside -5, outside +10).
  const std::string db = rig.rrdDir + "/weather.rrd";
  const auto info = rrdInfo(db);
  EXPECT_EQ(info.at("step"), "60");
  const char *sources[] = {"tin", "tout", "wsp",  "wdir", "barom",
                           "hin", "hout", "rain", "dew",  "chill"};
  for (const char *ds : sources) {
    EXPECT_EQ(info.at(std::string("ds[") + ds + "].type"),
              std::string(ds) == "rain" ? "\"COUNTER\"" : "\"GAUGE\"")
        << ds;
    EXPECT_EQ(info.at(std::string("ds[") + ds + "].minimal_heartbeat"), "90") << ds;
  }
  EXPECT_EQ(info.at("ds[wdir].max"), "1.5000000000e+01");
  EXPECT_EQ(info.at("ds[rain].max"), "5.0000000000e+00");  // a cleared total reads unknown
  EXPECT_EQ(info.at("ds[chill].min"), "-4.0000000000e+02");
  EXPECT_EQ(info.at("ds[barom].min"), "2.6000000000e+04");
  const char *cfs[] = {"AVERAGE", "MIN", "MAX", "LAST"};
  const char *rows[] = {"1440", "8928", "26280"};
  const char *steps[] = {"1", "5", "60"};
  for (int i = 0; i < 12; i++) {
    const std::string rra = "rra[" + std::to_string(i) + "]";
    EXPECT_EQ(info.at(rra + ".cf"), std::string("\"") + cfs[i / 3] + "\"") << rra;
    EXPECT_EQ(info.at(rra + ".rows"), rows[i % 3]) << rra;
    EXPECT_EQ(info.at(rra + ".pdp_per_row"), steps[i % 3]) << rra;
    EXPECT_EQ(info.at(rra + ".xff"), "5.0000000000e-01") << rra;
  }
  EXPECT_EQ(info.count("rra[12].cf"), 0u);

  const auto last = rrdLast(db);
  const std::map<std::string, int> want = {
      {"tin", le16(img, 0) - 5},
      {"tout", le16(img, 2) + 10},
      {"wsp", int8_t(img[4])},
      {"wdir", compass(le16(img, 5))},
      {"barom", le16(img, 7) - 30},
      {"hin", int8_t(img[9])},
      {"hout", int8_t(img[10])},
      {"rain", le16(img, 11)},
      {"dew", -15},
      // The station's own CHLDTA, whatever kivamet works out for itself.
      {"chill", -120},
  };
  for (const auto &kv : want)
    EXPECT_EQ(last.count(kv.first) ? last.at(kv.first) : "", std::to_string(kv.second)) << kv.first;

  // A change of location alone reopens the station and calibrates again,
  // this time against 30.05; the clock is now in line and left alone.
  ASSERT_TRUE(rig.web.command("pressure 30.05"));
  e2e::DaemonConfig next = rig.config;
  next.location = "KTS2";
  const size_t simSecond = rig.sim.outMark();
  const size_t errSecond = rig.daemon.errMark();
  const time_t minuteBefore = time(nullptr) / 60;
  ASSERT_TRUE(rig.reconfigure(next));
  const bool sameMinute = time(nullptr) / 60 == minuteBefore;
  const std::vector<std::string> second = rig.sim.rx(simSecond);
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(second.front(), kProbe);
  bool offsetWritten = false, clockWritten = false;
  for (const std::string &f : second) {
    offsetWritten = offsetWritten || f == "57 57 52 43 2c 9c ff 0d";  // 29950 - 30050
    clockWritten = clockWritten || startsWith(f, "57 57 52 63 be");
  }
  EXPECT_TRUE(offsetWritten);
  if (sameMinute) {
    EXPECT_FALSE(clockWritten);
  }
  EXPECT_TRUE(rig.daemon.waitErr("bar 29950 web 30050 cal -100\n", seconds(1), errSecond));
  EXPECT_NE(rig.web.requests().back().find("/xml/current_obs/KTS2.xml"), std::string::npos);

  // Moving rrddir to an empty directory creates a database there.
  next.rrddir = rig.scratchDir("rrd2");
  ASSERT_TRUE(rig.reconfigure(next));
  EXPECT_EQ(rig.reading("ID"), "wizard3");
  EXPECT_TRUE(exists(next.rrddir + "/weather.rrd"));
  EXPECT_EQ(rrdInfo(next.rrddir + "/weather.rrd").at("step"), "60");
  EXPECT_TRUE(rig.daemon.proc().running());
}

// ---- Calibration limits -----------------------------------------------------

TEST(Jobs, CalibrationGivesUpAfterFiveAttemptsAndTheDaemonRuns) {
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  ASSERT_TRUE(rig.web.command("mode close"));
  ASSERT_TRUE(rig.sim.poke("station", 0x12C, {0x1E, 0x00}));
  const size_t simFrom = rig.sim.outMark();
  ASSERT_TRUE(rig.startDaemon());  // heartbeat: the event loop was reached

  EXPECT_EQ(rig.daemon.countErr("cannot obtain barametric calibration\n"), 5);
  bool offsetWritten = false, logged = false;
  for (const std::string &f : rig.sim.rx(simFrom)) {
    offsetWritten = offsetWritten || startsWith(f, "57 57 52 43 2c");
    logged = logged || f == kLoop;
  }
  EXPECT_FALSE(offsetWritten);
  EXPECT_TRUE(logged);  // the clock check and logging still followed
  EXPECT_EQ(rig.reading("STNDRD"), "30");
}

TEST(Jobs, NoWebRequestWithoutAUsableLocation) {
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  rig.config.location = "";  // never set
  ASSERT_TRUE(rig.sim.poke("station", 0x12C, {0x1E, 0x00}));
  const size_t errFrom = rig.daemon.errMark();
  ASSERT_TRUE(rig.startDaemon());
  EXPECT_TRUE(rig.daemon.waitErr("calibration skipped: no usable location\n", seconds(1), errFrom));

  for (const char *location : {"K SFO", "a/b", "x?y", "K%53FO"}) {
    e2e::DaemonConfig next = rig.config;
    next.location = location;
    const size_t from = rig.daemon.errMark();
    ASSERT_TRUE(rig.reconfigure(next)) << location;
    EXPECT_EQ(rig.daemon.countErr("calibration skipped: no usable location\n", from), 1)
        << location;
  }
  EXPECT_TRUE(rig.web.requests().empty());
  EXPECT_EQ(rig.reading("STNDRD"), "30");
}

// ---- Database limits -------------------------------------------------------

TEST(Jobs, SampleNotAfterTheLastUpdateIsSkippedNotFatal) {
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  // A database last updated an hour from now, as after the host clock was
  // set back.
  const std::string db = rig.rrdDir + "/weather.rrd";
  const std::string future = std::to_string(time(nullptr) + 3600);
  e2e::runOutput({"rrdtool", "create", db, "--start", future, "--step", "60",
                  "DS:tin:GAUGE:90:-200:1200", "RRA:AVERAGE:0.5:1:10"});
  ASSERT_TRUE(exists(db));
  ASSERT_TRUE(rig.startDaemon());
  EXPECT_TRUE(rig.daemon.waitErr("not after the last update", seconds(1)));
  EXPECT_EQ(rig.reading("ID"), "wizard3");
  EXPECT_TRUE(rig.daemon.proc().running());
  EXPECT_EQ(rrdLast(db).at("time"), future);
}

// Databases that cannot be created or updated are rows of the fault table.
TEST(Jobs, OverlongDatabasePathIsRefused) {
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  rig.config.rrddir = "/tmp/" + std::string(300, 'r');
  ASSERT_TRUE(rig.startDaemon());
  EXPECT_TRUE(rig.daemon.waitErr("database path too long, nothing logged", seconds(1)));
  EXPECT_EQ(rig.reading("ID"), "wizard3");
  EXPECT_TRUE(rig.daemon.proc().running());
}

TEST(Jobs, StationWithoutSensorImageLogsNothing) {
  // A model without the image, and codes no model has (255 reads as -1, as
  // no answer does): the station answered the probe either way, so the
  // settings pass calibrates and checks the clock.
  for (const auto &[model, id] :
       {std::pair<int, const char *>{4, "groweather"}, {9, "unknown"}, {255, "unknown"}}) {
    SCOPED_TRACE(id);
    e2e::Rig rig;
    rig.simOptions.model = model;
    ASSERT_TRUE(rig.startNetworkAndStation());
    // A database an hour behind: no archive of such a station is read into it.
    const std::string db = rig.rrdDir + "/weather.rrd";
    e2e::runOutput({testsupport::binDir() + "/kivamet-stationsim", "--history", "1", "--gap", "1",
                    db});
    const std::string last = rrdLast(db)["time"];
    ASSERT_FALSE(last.empty());
    const size_t simFrom = rig.sim.outMark();
    ASSERT_TRUE(rig.startDaemon());
    EXPECT_EQ(rig.reading("ID"), id);
    const std::vector<std::string> frames = rig.sim.rx(simFrom);
    for (const std::string &f : frames) EXPECT_NE(f, kLoop);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), "57 52 44 44 2c 0d"), 1);  // STNDRD
    EXPECT_EQ(std::count(frames.begin(), frames.end(), "57 52 44 64 be 0d"), 1);  // the clock
    // Never updated, not caught up; no failure to tell.
    EXPECT_EQ(rrdLast(db)["time"], last);
    EXPECT_EQ(rig.daemon.countErr("catch-up"), 0);
    EXPECT_EQ(rig.daemon.countErr("kivamet: station"), 0);
  }
}

// ---- Reconnection ------------------------------------------------------------

TEST(Jobs, LoggingReopensAStationConnectionTheAdaptorDropped) {
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  rig.daemon.env["KIVAMET_LOG_PERIOD"] = "5";  // the reopen waits for a logging pass
  ASSERT_TRUE(rig.startDaemon());
  const std::string db = rig.rrdDir + "/weather.rrd";
  const std::string firstUpdate = rrdLast(db)["time"];
  ASSERT_FALSE(firstUpdate.empty());

  // The adaptor closes the stream instead of answering.
  ASSERT_TRUE(rig.sim.command("fault drop"));
  const size_t errFrom = rig.daemon.errMark();
  rig.peer.sensorRequest(rig.target(), "BARDTA");
  ASSERT_TRUE(rig.daemon.waitErr("cannot read BARDTA from the station\n", seconds(40), errFrom));

  // The next logging pass opens it again and logs; requests are answered
  // again.
  const size_t simFrom = rig.sim.outMark();
  ASSERT_TRUE(rig.daemon.waitErr("station connection lost; reopening\n", seconds(90), errFrom));
  ASSERT_TRUE(rig.sim.waitForRx("57 52 44 42 a8 0d", seconds(30), simFrom));
  const std::vector<std::string> frames = rig.sim.rx(simFrom);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front(), kProbe);
  EXPECT_FALSE(rig.reading("BARDTA").empty());
  EXPECT_NE(rrdLast(db)["time"], firstUpdate);
  EXPECT_TRUE(rig.daemon.proc().running());
  // Told without -d too, once each.
  EXPECT_TRUE(rig.daemon.waitErr("kivamet: station back online\n", seconds(10), errFrom));
  EXPECT_EQ(rig.daemon.countErr("kivamet: station offline: connection lost\n", errFrom), 1);
}

}  // namespace

// ---- Catch-up from the logger's archive --------------------------------------

namespace catchup {

constexpr unsigned RECORD = 21;
constexpr unsigned RING = 32768 / RECORD * RECORD;  // whole records from address 0

struct Record {
  unsigned addr;
  std::vector<unsigned char> b;
  time_t end;  // its stamp in the latest year that is not in the future
};

// The records between OLDPTR and NEWPTR, oldest first.
std::vector<Record> ring(e2e::StationSim &sim) {
  std::vector<unsigned char> p;
  std::vector<Record> out;
  if (!sim.peek("link", 0x100, 8, &p) || p.size() != 4) return out;
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  for (unsigned at = p[2] | (p[3] << 8); at != unsigned(p[0] | (p[1] << 8));
       at = (at + RECORD) % RING) {
    Record r{at, {}, 0};
    if (!sim.peek("archive", at, RECORD, &r.b) || r.b.size() != RECORD) return {};
    for (int back = 0; back < 2 && (back == 0 || r.end > now); back++) {
      struct tm t = {};
      t.tm_year = local.tm_year - back;
      t.tm_mon = (r.b[18] & 0x0F) - 1;
      t.tm_mday = bcd(r.b[17]);
      t.tm_hour = bcd(r.b[15]);
      t.tm_min = bcd(r.b[16]);
      t.tm_isdst = -1;
      r.end = mktime(&t);
    }
    out.push_back(r);
  }
  return out;
}

// rrdtool fetch of the one-minute averages in (from, to], a line a minute:
// the first eight sources, unknown as U and a known rain rate (8th) as R.
std::string fetched(const std::string &db, time_t from, time_t to) {
  std::istringstream in(e2e::runOutput({"rrdtool", "fetch", db, "AVERAGE", "-r", "60", "-s",
                                        std::to_string(from), "-e", std::to_string(to)}));
  std::string out;
  for (std::string line; std::getline(in, line);) {
    std::istringstream row(line);
    std::string when, v;
    if (!(row >> when) || when.back() != ':' || std::stol(when) <= from || std::stol(when) > to)
      continue;
    out += when;
    for (int k = 0; k < 8 && row >> v; k++) {
      char text[32];
      snprintf(text, sizeof text, " %g", strtod(v.c_str(), nullptr));
      out += strstr(text, "nan") ? " U" : k == 7 ? " R" : text;
    }
    out += "\n";
  }
  return out;
}

}  // namespace catchup

TEST(Jobs, CatchUpFillsTheGapFromTheLoggersArchive) {
  using namespace catchup;
  struct Case {
    const char *what;
    bool paced;       // a sensor request goes in while the catch-up reads
    unsigned start;   // archive address of the simulator's first record
    unsigned spoilt;  // the K-th newest record fails its CRC on every read (0: none)
    int gapHours = 2;
    bool watched = false;  // kivamet-graphs --watch draws the database as it fills
  };
  const Case cases[] = {
      {"5-minute records over a two-hour gap; a request is answered in between", true, 0, 0},
      {"a ring that wraps in the gap", false, RING - 20 * RECORD, 0},
      {"one record that fails its CRC is read once more, then skipped", false, 0, 6},
      {"a ten-hour gap while the page's renderer locks the file after every batch", false, 0, 0, 10,
       true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    e2e::Rig rig;
    rig.simOptions.pace = c.paced;
    rig.simOptions.args = {"--archive-history", std::to_string(c.gapHours + 1),
                           "--archive-period",  "5",
                           "--archive-start",   std::to_string(c.start)};
    ASSERT_TRUE(rig.startNetworkAndStation());
    // A database whose last sample is two hours old.
    const std::string db = rig.rrdDir + "/weather.rrd";
    e2e::runOutput({testsupport::binDir() + "/kivamet-stationsim", "--history", "1", "--gap",
                    std::to_string(c.gapHours), db});
    const time_t last = std::stol(rrdLast(db).at("time"));
    const std::vector<Record> records = ring(rig.sim);
    // The hours played, and one more when the simulator's clock passed a
    // period's end since it started.
    ASSERT_GE(records.size(), 12u * (c.gapHours + 1));
    ASSERT_LE(records.size(), 12u * (c.gapHours + 1) + 1);
    testsupport::Process page;
    if (c.watched) {
      ASSERT_TRUE(page.start({testsupport::binDir() + "/kivamet-graphs", "--rrd", db, "--out",
                              rig.scratchDir("page"), "--watch"}));
      ASSERT_TRUE(page.waitForStdout("rendered ", seconds(60)));
    }
    if (c.spoilt) {
      ASSERT_TRUE(rig.sim.control("archive crc " + std::to_string(c.spoilt)));
    }

    const size_t simFrom = rig.sim.outMark();
    ASSERT_TRUE(rig.startDaemon());
    if (c.paced) {
      // Ordering, not timing: the reply comes while the catch-up still reads.
      ASSERT_TRUE(rig.daemon.waitErr("catch-up: up to ", seconds(30)));
      EXPECT_FALSE(rig.reading("BARDTA").empty());
      EXPECT_EQ(rig.daemon.countErr("samples written"), 0);
    }
    ASSERT_TRUE(rig.daemon.waitErr("samples written", seconds(60)));

    // Every minute after the last update up to the newest record carries
    // its record's values with the simulator's offsets (STNDRD 25, TP1CAL -5,
    // TP2CAL 3) and a rain rate; a skipped record's minutes are unknown.
    const Record *skipped = c.spoilt ? &records[records.size() - c.spoilt] : nullptr;
    std::string want;
    for (const Record &r : records) {
      const std::vector<unsigned char> &b = r.b;
      const std::string wdir = b[11] <= 15 ? std::to_string(b[11]) : "U";
      char values[96];
      snprintf(values, sizeof values, " %d %d %d %s %d %d %d R\n", le16(b, 6) - 5, le16(b, 8) + 3,
               int8_t(b[10]), wdir.c_str(), le16(b, 0) - 25, int8_t(b[2]), int8_t(b[3]));
      for (time_t t = r.end - 240; t <= r.end; t += 60)
        if (t > last)
          want += std::to_string(t) + ":" + (&r == skipped ? " U U U U U U U U\n" : values);
    }
    EXPECT_EQ(fetched(db, last, records.back().end), want);
    EXPECT_EQ(rig.daemon.countErr("failed twice; skipped"), c.spoilt ? 1 : 0);
    if (skipped) {
      // Read alone once, after the read of its chunk failed: 21 bytes at its address.
      char alone[64];
      snprintf(alone, sizeof alone, "53 52 44 %02x %02x 14 00 0d", skipped->addr & 0xFF,
               skipped->addr >> 8);
      const std::vector<std::string> rx = rig.sim.rx(simFrom);
      EXPECT_EQ(std::count(rx.begin(), rx.end(), alone), 1);
    }
  }
}
