// End-to-end fault table: each row stages one fault around the real daemon
// and checks, within a bound, what must still work once it got over it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "files.h"
#include "harness.h"
#include "netns.h"

namespace {

using e2e::milliseconds;
using e2e::Rig;
using e2e::seconds;
using testsupport::readFile;
using testsupport::writeFile;
using Step = std::function<bool(Rig &)>;

// What must still work once the daemon got over the fault.
enum After : unsigned { Answers = 1, Logs = 2, StopsOnTerm = 4, ExitsNonZero = 8 };

struct Fault {
  const char *name;  // test name suffix: the fault
  Step before;       // set-up before the daemon starts (may be empty)
  Step inject;       // the fault itself, daemon running (may be empty)
  Step holds = {};   // the row's own outcome, checked after `after` (may be empty)
  unsigned after = Answers | Logs | StopsOnTerm;
  milliseconds bound = seconds(30);  // how long the daemon may take to come back
};

void PrintTo(const Fault &f, std::ostream *os) {
  *os << f.name;
}

// Frames of the station commands the rows look for, as the simulator logs them.
const char kStndrd[] = "57 52 44 44 2c 0d";
const char kTp1Cal[] = "57 52 44 44 52 0d";
const char kTimeCell[] = "57 52 44 64 be 0d";
const char kProbe[] = "57 52 44 12 4d 0d";
const char kArchiveRead[] = "53 52 44";
const char kBarOffset[] = "12c ";  // a write of the barometer offset

// How many of the simulator's lines (frames, writes) start with a text.
int count(const std::vector<std::string> &lines, const std::string &start) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
    return l.compare(0, start.size(), start) == 0;
  }));
}

// Steps that poke the simulator's memory or give it a control line.
Step poke(const char *memory, unsigned addr, std::vector<unsigned char> bytes) {
  return [=](Rig &rig) { return rig.sim.poke(memory, addr, bytes); };
}
Step control(const char *line) {
  return [=](Rig &rig) { return rig.sim.control(line); };
}

// A set-up step that only changes how the daemon is started.
Step setUp(void (*change)(Rig &)) {
  return [change](Rig &rig) {
    change(rig);
    return true;
  };
}

// A config.response with the rig's settings, the extra items first.
bool sendConfig(Rig &rig, std::vector<std::pair<std::string, std::string>> extra = {}) {
  for (const auto &item : rig.config.items()) extra.push_back(item);
  return rig.peer.send("xpl-cmnd", rig.target(), "config.response", extra);
}

bool sendRrddir(Rig &rig, const std::string &dir) {
  rig.config.rrddir = dir;
  return sendConfig(rig);
}

// The line comes at one logging pass and again at the next: the daemon
// neither ended nor gave up.
bool twice(Rig &rig, const std::string &line) {
  return rig.daemon.waitErr(line, seconds(30), rig.daemon.errMark()) &&
         rig.daemon.waitErr(line, seconds(30), rig.daemon.errMark());
}

// A database that cannot be created or updated: staged before the start or
// once running, failing at two passes, then mended.
Fault database(const char *name, Step before, Step stage, const char *line, Step mend) {
  return {name, before, [=](Rig &rig) {
            return (!stage || stage(rig)) &&
                   twice(rig, std::string(line) + " " + rig.config.rrddir + "/weather.rrd: ") &&
                   mend(rig);
          }};
}

// A failure to mount sets skipWhy: the row is skipped where it cannot be staged.
bool tmpfs(Rig &rig, const std::string &option, bool remount = false) {
  return e2e::mountTmpfs(rig.rrdDir, option, &rig.skipWhy, remount);
}

std::string lastOf(Rig &rig, const std::string &source) {
  return e2e::rrdLast(rig.config.rrddir + "/weather.rrd")[source];
}

int le16(const std::vector<unsigned char> &b, size_t at) {
  return static_cast<int16_t>(static_cast<uint16_t>(b[at] | (b[at + 1] << 8)));
}

// xplctl configure with one item: its exit status and complaint.
Fault configure(const char *name, std::string item, int status, std::string says) {
  return {name, nullptr,
          [=](Rig &rig) {
            const e2e::ToolRun run = e2e::xplctl({"configure", rig.target(), item});
            EXPECT_EQ(run.status, status);
            EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
            return run.status == status;
          },
          nullptr, Answers | StopsOnTerm};
}

// A database of a day's weather whose last sample is `gap` hours old (with a
// gap the settings pass's logging step catches up from the archive first).
bool history(Rig &rig, const char *gap) {
  e2e::runOutput({testsupport::binDir() + "/kivamet-stationsim", "--history", "1", "--gap", gap,
                  rig.rrdDir + "/weather.rrd"});
  return !lastOf(rig, "time").empty();
}

// A file as librrd's creation leaves it, last written two minutes ago.
bool leftover(const std::string &path) {
  const struct timespec ago[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
  return writeFile(path, std::string(4096, '\0')) && utimensat(AT_FDCWD, path.c_str(), ago, 0) == 0;
}

const Fault kFaults[] = {
    // ---- The database never ends the daemon ----------------------------
    {"CreationKilledMidway",  // a stale partial file goes; one held open, or a whole database, stays
     [](Rig &rig) {
       const std::string held = rig.rrdDir + "/weather.rrdH3ld00";
       const std::string backup = rig.rrdDir + "/weather.rrdbackup";
       const struct timespec ago[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
       // Held by this test process until it ends.
       return leftover(rig.rrdDir + "/weather.rrdK1ll3d") && leftover(held) &&
              open(held.c_str(), O_RDONLY | O_CLOEXEC) >= 0 &&
              e2e::runOutput({"rrdtool", "create", backup, "DS:a:GAUGE:90:0:1",
                              "RRA:LAST:0.5:1:10"})
                  .empty() &&
              utimensat(AT_FDCWD, backup.c_str(), ago, 0) == 0;
     },
     nullptr,
     [](Rig &rig) {
       return access((rig.rrdDir + "/weather.rrdK1ll3d").c_str(), F_OK) != 0 &&
              access((rig.rrdDir + "/weather.rrdH3ld00").c_str(), F_OK) == 0 &&
              access((rig.rrdDir + "/weather.rrdbackup").c_str(), F_OK) == 0;
     }},
    {"RainTotalAbove32767",  // 40000 counts
     poke("link", 0x132, {0x40, 0x9C}), nullptr,
     [](Rig &rig) { return lastOf(rig, "rain") == "40000"; }},
    {"RainTotalFalls",  // 1234 counts to 34, in a file made before the rain maximum
     [](Rig &rig) {
       const std::string db = rig.rrdDir + "/weather.rrd";
       return history(rig, "0") &&
              e2e::runOutput({"rrdtool", "tune", db, "--maximum", "rain:U"}).empty() &&
              e2e::rrdInfo(db)["ds[rain].max"] == "NaN";
     },
     poke("link", 0x132, {0x22, 0x00}),
     [](Rig &rig) {
       // A pass under way at the poke may still log the old total.
       if (!rig.waitSample(seconds(20)) || lastOf(rig, "rain") != "34") return false;
       auto info = e2e::rrdInfo(rig.config.rrddir + "/weather.rrd");
       // Read as a wrap the drop would add billions to the step.
       return info["ds[rain].max"] == "5.0000000000e+00" &&
              std::stod(info["ds[rain].value"]) < 1000;
     }},
    database(
        "DatabaseDirMissing", nullptr,
        [](Rig &rig) { return sendRrddir(rig, rig.rrdDir + "/missing"); }, "Cannot create RRD",
        [](Rig &rig) { return mkdir(rig.config.rrddir.c_str(), 0755) == 0; }),
    database(
        "DatabaseDirReadOnly", [](Rig &rig) { return tmpfs(rig, "ro"); }, nullptr,
        "Cannot create RRD", [](Rig &rig) { return tmpfs(rig, "rw", true); }),
    database(
        "DatabaseDirIsAFile", nullptr,
        [](Rig &rig) {
          return writeFile(rig.rrdDir + "/plain", "x") && sendRrddir(rig, rig.rrdDir + "/plain");
        },
        "Cannot create RRD", [](Rig &rig) { return sendRrddir(rig, rig.rrdDir); }),
    database(
        "ForeignFileNamedWeatherRrd",
        [](Rig &rig) { return writeFile(rig.rrdDir + "/weather.rrd", "not a database\n"); },
        nullptr, "Cannot update RRD",
        [](Rig &rig) { return unlink((rig.rrdDir + "/weather.rrd").c_str()) == 0; }),
    database(
        "DiskFull",  // weather.rrd takes about 12 MB
        [](Rig &rig) { return tmpfs(rig, "size=64k"); }, nullptr, "Cannot create RRD",
        [](Rig &rig) { return tmpfs(rig, "size=32m", true); }),

    // ---- The station and its adaptor ------------------------------------
    {"AdaptorConnectHangs",  // at start-up and again on the reopen path
     control("accept stall"),
     [](Rig &rig) {
       return rig.daemon.waitErr("127.0.0.1: Connection timed out\n", seconds(5)) &&
              twice(rig, "127.0.0.1: Connection timed out\n") && rig.sim.control("accept on");
     },
     nullptr, Answers | Logs | StopsOnTerm, seconds(60)},
    {"StationAwayAtTheSettingsPass",
     [](Rig &rig) {
       return rig.sim.poke("station", 0x152, {0xFB, 0xFF}) &&  // TP1CAL -5
              rig.sim.poke("station", 0x178, {0x0A, 0x00}) &&  // TP2CAL 10
              rig.sim.control("accept off");
     },
     [](Rig &rig) {
       return rig.daemon.waitErr("127.0.0.1: Connection refused\n", seconds(5)) &&
              twice(rig, "127.0.0.1: Connection refused\n") && rig.sim.control("accept on");
     },
     [](Rig &rig) {
       // Opened by a logging pass: offsets read and the clock checked
       // before the first sample, which carries the offsets.
       const std::vector<std::string> frames = rig.sim.rx();
       std::vector<unsigned char> img;
       // The user heard of it once, however often it was tried.
       return count(frames, kTp1Cal) == 1 && count(frames, kTimeCell) == 1 && rig.sim.image(&img) &&
              lastOf(rig, "tin") == std::to_string(le16(img, 0) - 5) &&
              lastOf(rig, "tout") == std::to_string(le16(img, 2) + 10) &&
              rig.daemon.countErr(
                  "kivamet: cannot open the station: 127.0.0.1: Connection "
                  "refused\n") == 1 &&
              rig.daemon.waitErr("kivamet: station back online\n", seconds(1));
     }},
    {"ArchivePointersMakeNoSense",  // NEWPTR inside a record
     [](Rig &rig) {
       return history(rig, "2") && rig.sim.poke("link", 0x100, {0x01, 0x00});
     },
     nullptr,
     [](Rig &rig) {
       return rig.daemon.waitErr(
                  "catch-up: archive pointers make no sense (new 0x1, old 0, period 30); ended\n",
                  seconds(1)) &&
              count(rig.sim.rx(), kArchiveRead) == 0;
     }},
    {"ArchiveUnreadable",  // both records of the ring fail their CRC
     [](Rig &rig) {
       return history(rig, "2") && rig.sim.poke("link", 0x100, {0x2A, 0x00, 0x00, 0x00}) &&
              rig.sim.control("archive crc 1") && rig.sim.control("archive crc 2");
     },
     nullptr,
     [](Rig &rig) {
       // The pair, then each alone once more; no third try.
       return rig.daemon.waitErr("catch-up: the archive cannot be read; ended\n", seconds(1)) &&
              count(rig.sim.rx(), kArchiveRead) == 3;
     }},
    {"SilentStationAtTheSettingsPass",
     [](Rig &rig) {
       rig.startLimit = seconds(90);
       return rig.sim.control("silent on");
     },
     [](Rig &rig) {
       // The pass ended at the failed model probe: no calibration read, no
       // clock read, and no pass asked again while the station stayed silent.
       const std::vector<std::string> frames = rig.sim.rx();
       return count(frames, kStndrd) == 0 && count(frames, kTimeCell) == 0 &&
              rig.daemon.waitErr(
                  "station model unknown; calibration and clock check left to the logging pass\n",
                  seconds(1)) &&
              rig.sim.control("silent off");
     },
     nullptr, Answers | Logs | StopsOnTerm, seconds(60)},
    {"StationFallsSilentAfterTheProbe",
     control("fault ack 5 1"),  // the probe answered
     [](Rig &rig) {
       // The calibration stopped at its first read (five attempts at STNDRD)
       // and the pass went on to the clock.
       const std::vector<std::string> f = rig.sim.rx();
       const auto first = std::find(f.begin(), f.end(), kStndrd);
       return f.end() - first >= 6 && count({first, first + 5}, kStndrd) == 5 &&
              first[5] == kTimeCell;
     }},
    {"ModelProbeFailsAtOpen",
     control("fault ack 5"),  // the probe's five attempts
     nullptr,
     [](Rig &rig) {
       return rig.daemon.waitErr("station model unknown; probing it again\n", seconds(1)) &&
              rig.daemon.waitErr("type = 0\n", seconds(1)) && rig.reading("ID") == "wizard3";
     }},
    {"LateReplyAfterATimeout",
     // No timed passes in between: the request that follows the late reply
     // is the command that would take it for its answer.
     setUp([](Rig &rig) { rig.daemon.env.erase("KIVAMET_LOG_PERIOD"); }),
     [](Rig &rig) {
       const size_t from = rig.sim.outMark();
       return rig.sim.control("fault late") && rig.reading("BARDTA") == "29.921" &&
              rig.sim.proc().waitForStdout("late 06 e1 74\n", seconds(10), from) &&
              rig.reading("STIN") == "71.20";  // a link read, not the stale barometer
     },
     nullptr, Answers | StopsOnTerm},
    {"EventLoopFails",  // the leak checker needs descriptors this fault takes away
     setUp([](Rig &rig) { rig.daemon.env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1"; }),
     [](Rig &rig) {
       // poll() on more descriptors than the limit allows fails with EINVAL.
       struct rlimit lim;
       if (prlimit(rig.daemon.proc().pid(), RLIMIT_NOFILE, nullptr, &lim) != 0) return false;
       lim.rlim_cur = 1;
       return prlimit(rig.daemon.proc().pid(), RLIMIT_NOFILE, &lim, nullptr) == 0;
     },
     [](Rig &rig) { return rig.daemon.waitErr("the event loop failed; exiting\n", seconds(10)); },
     ExitsNonZero},

    // ---- Barometer calibration plausibility -------------------------------
    {"WebPressureOutOfRange", [](Rig &rig) { return rig.web.command("pressure 00.00"); }, nullptr,
     [](Rig &rig) {
       return rig.daemon.countErr("web pressure 0 outside 25.000 to 32.500 inches") == 5 &&
              count(rig.sim.writes(), kBarOffset) == 0;
     }},
    {"BarometerOffsetAboveOneInch", [](Rig &rig) { return rig.web.command("pressure 31.00"); },
     nullptr,
     [](Rig &rig) {
       return rig.daemon.waitErr("offset -1079 above 1.000 inch", seconds(1)) &&
              count(rig.sim.writes(), kBarOffset) == 0 && rig.reading("STNDRD") == "25";
     }},

    // ---- Least privilege ---------------------------------------------------
    {"SerialDeviceNotATerminal", nullptr,
     [](Rig &rig) {
       const e2e::DaemonConfig good = rig.config;
       const std::string file = rig.rrdDir + "/not-a-tty";
       rig.config.type = "device";
       rig.config.device = file;
       const bool refused =
           writeFile(file, "") && sendConfig(rig) &&
           rig.daemon.waitErr(file + ": Inappropriate ioctl for device\n", seconds(30)) &&
           readFile(file).empty();
       rig.config = good;
       return refused && sendConfig(rig);
     }},
    {"ConfigResponseWhileLocked", setUp([](Rig &rig) { rig.extraArgs.push_back("--locked"); }),
     [](Rig &rig) {
       const std::string stored = readFile(rig.daemon.dir() + "/kivamet.xml");
       const size_t from = rig.sim.outMark();
       rig.config.location = "KLOK";
       return sendConfig(rig) &&
              rig.daemon.waitErr("configuration locked: config.response ignored\n", seconds(10)) &&
              rig.peer.roundTrip(rig.target()) &&
              readFile(rig.daemon.dir() + "/kivamet.xml") == stored &&
              count(rig.sim.rx(from), kProbe) == 0;  // no settings pass
     }},

    // ---- xPL: the service stays reachable ----------------------------------
    {"FirstConfigurationKeepsInstanceAndInterval",  // as xplctl configure copies them back
     setUp([](Rig &rig) { rig.storeConfig = false; }),
     [](Rig &rig) {
       auto isConfigApp = [](const e2e::XplMsg &m) { return m.schema == "config.app"; };
       const e2e::XplMsg *beat = rig.peer.waitFor(isConfigApp, seconds(0));
       if (beat == nullptr) return false;
       rig.config.instance = beat->source.substr(beat->source.find('.') + 1);
       const size_t from = rig.peer.mark();
       // Hubs drop a client 2 x 1 + 1 minutes after a config.app heartbeat:
       // the next heartbeat must not wait for the configured 5 minutes.
       return sendConfig(rig, {{"newconf", rig.config.instance}, {"interval", "5"}}) &&
              rig.peer.waitFor(
                  [](const e2e::XplMsg &m) {
                    return m.isFrom("quorvel-davis") && m.schema == "hbeat.app" &&
                           m.get("interval") == "5";
                  },
                  seconds(30), from) != nullptr;
     },
     nullptr, Answers | StopsOnTerm},
    {"NewconfNotAnInstanceID",  // 1400 characters made every heartbeat too long to send
     nullptr,
     [](Rig &rig) {
       const size_t from = rig.daemon.errMark();
       return sendConfig(rig, {{"newconf", std::string(1400, 'a')}}) &&
              rig.daemon.waitErr("ERROR: CONFIG:: Instance ID [aaaa", seconds(10), from);
     },
     nullptr, Answers | StopsOnTerm},
    {"FloodOfDatagrams",  // SIGTERM during the flood
     nullptr,
     [](Rig &rig) {
       // Straight to the daemon's port, going on past the bound; 600 items
       // to parse in each keep the daemon far behind.
       const std::string heavy =
           e2e::xplText("xpl-stat", "acme-flood.x", "*", "sensor.basic",
                        std::vector<std::pair<std::string, std::string>>(600, {"a", ""}));
       return rig.daemonPort() > 0 &&
              rig.flood.start(e2e::testNet().addr, rig.daemonPort(), {heavy}, seconds(60));
     },
     nullptr, StopsOnTerm, seconds(2)},
    {"ForgedGoodbyeFromAnotherHost",  // naming the daemon's address and port
     nullptr,
     [](Rig &rig) {
       const std::string &addr = e2e::testNet().addr, port = std::to_string(rig.daemonPort());
       const std::string goodbye =
           e2e::xplText("xpl-stat", rig.target(), "*", "hbeat.end",
                        {{"interval", "5"}, {"port", port}, {"remote-ip", addr}});
       std::string why;
       EXPECT_TRUE(testsupport::sendFromForeignAddress("10.77.0.9", addr, 3865, goodbye, &why))
           << why;
       return why.empty();
     },
     [](Rig &rig) {
       rig.hub.proc().pump();
       return rig.hub.proc().out().find("client left") == std::string::npos;
     },
     Answers | StopsOnTerm},
    {"ConfigurationCannotBeSaved",  // its working directory is gone
     nullptr,
     [](Rig &rig) {
       testsupport::removeTree(rig.daemon.dir());
       const size_t from = rig.daemon.errMark();
       return sendConfig(rig) &&
              rig.daemon.waitErr(
                  "ERROR: CONFIG:: File kivamet.xml could not be opened/created -- No such file",
                  seconds(10), from);
     },
     nullptr, Answers | StopsOnTerm},

    // ---- xplctl configure tells the truth -----------------------------------
    configure("ConfigureNamesAnItemTheDaemonLacks", "colour=red", 2,
              "no item 'colour' (it offers newconf, interval, group, filter, type, device, "
              "net-address, net-port, location, rrddir)"),
    configure("ConfigureValueTheDaemonIgnores", "interval=soon", 4,
              "did not take interval=soon (it has interval=5)"),
    {"ConfigureATypeKivametLacks", nullptr,
     [](Rig &rig) {
       const e2e::ToolRun run =
           e2e::xplctl({"--timeout", "4", "configure", rig.target(), "type=serial"});
       EXPECT_EQ(run.status, 5);
       EXPECT_NE(run.err.find("configured, but the station does not answer (see the daemon's log)"),
                 std::string::npos)
           << run.err;
       return rig.daemon.waitErr(
                  "kivamet: type serial is not one kivamet knows (device or net-address)\n",
                  seconds(1)) &&
              sendConfig(rig);
     }},
};

class FaultTable : public ::testing::TestWithParam<Fault> {};

TEST_P(FaultTable, DaemonGetsOver) {
  const Fault &f = GetParam();
  Rig rig;
  // A logging pass every 2 s rather than every minute, so a sample comes soon.
  rig.daemon.env["KIVAMET_LOG_PERIOD"] = "2";
  ASSERT_TRUE(rig.startNetworkAndStation());
  const bool staged = !f.before || f.before(rig);
  if (!rig.skipWhy.empty()) GTEST_SKIP() << rig.skipWhy;
  ASSERT_TRUE(staged);
  ASSERT_TRUE(rig.startDaemon());
  ASSERT_TRUE(!f.inject || f.inject(rig));

  const auto deadline = e2e::Clock::now() + f.bound;
  if (f.after & Answers) {
    // A request that finds no station open is dropped: ask again.
    std::string value;
    while (value.empty() && e2e::left(deadline).count() > 0)
      value = rig.reading("BARDTA", std::min(e2e::left(deadline), milliseconds(seconds(5))));
    EXPECT_FALSE(value.empty()) << "no request answered";
  }
  if (f.after & Logs) {
    EXPECT_TRUE(rig.waitSample(e2e::left(deadline))) << "no sample logged";
  }
  EXPECT_TRUE(!f.holds || f.holds(rig));
  const milliseconds ending = std::max(e2e::left(deadline), milliseconds(seconds(1)));
  if (f.after & StopsOnTerm) {
    ASSERT_TRUE(rig.daemon.proc().signal(SIGTERM));
    EXPECT_EQ(rig.daemon.proc().wait(ending), 0);
  }
  if (f.after & ExitsNonZero) {
    const int status = rig.daemon.proc().wait(ending);
    EXPECT_TRUE(status > 0 && status < 128) << "status " << status << " (128+: a signal)";
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTable, ::testing::ValuesIn(kFaults),
                         [](const auto &i) { return std::string(i.param.name); });

}  // namespace
