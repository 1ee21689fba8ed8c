// End-to-end fault table: each row stages one fault around the real daemon
// (station, adaptor, database, web reference, settings, the process itself,
// and on the xPL side a peer, a flood or the working directory) and checks,
// within a bound, what must still work once it got over it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "files.h"
#include "harness.h"
#include "netns.h"

namespace {

using e2e::milliseconds;
using e2e::seconds;
using Clock = std::chrono::steady_clock;

// What must still work once the daemon got over the fault.
enum After : unsigned { Answers = 1, Logs = 2, StopsOnTerm = 4, ExitsNonZero = 8 };

struct Fault {
  const char *name;                            // test name suffix: the fault
  std::function<bool(e2e::Rig &)> before;      // set-up before the daemon starts (may be empty)
  std::function<bool(e2e::Rig &)> inject;      // the fault itself, daemon running
  e2e::milliseconds bound;                     // how long the daemon may take to come back
  unsigned after;                              // After bits checked after the bound
  std::function<bool(e2e::Rig &)> holds = {};  // the row's own outcome (may be empty)
};

void PrintTo(const Fault &f, std::ostream *os) {
  *os << f.name;
}

// Frames of the station commands the rows look for, as the simulator logs them.
const char kStndrd[] = "57 52 44 44 2c 0d";
const char kTp1Cal[] = "57 52 44 44 52 0d";
const char kTimeCell[] = "57 52 44 64 be 0d";
const char kProbe[] = "57 52 44 12 4d 0d";

milliseconds left(Clock::time_point deadline) {
  auto d = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return d.count() > 0 ? d : milliseconds(0);
}

int count(const std::vector<std::string> &frames, const std::string &frame) {
  return static_cast<int>(std::count(frames.begin(), frames.end(), frame));
}

std::string fileText(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool writeFile(const std::string &path, const std::string &text) {
  std::ofstream f(path);
  f << text;
  return static_cast<bool>(f);
}

bool sendConfig(e2e::Rig &rig, const e2e::DaemonConfig &next) {
  rig.config = next;
  return rig.peer.send("xpl-cmnd", rig.target(), "config.response", next.items());
}

e2e::DaemonConfig withRrddir(const e2e::Rig &rig, const std::string &dir) {
  e2e::DaemonConfig next = rig.config;
  next.rrddir = dir;
  return next;
}

// The line comes at one logging pass and again at the next: the daemon
// neither ended nor gave up.
bool twice(e2e::Rig &rig, const std::string &line) {
  return rig.daemon.waitErr(line, seconds(30), rig.daemon.errMark()) &&
         rig.daemon.waitErr(line, seconds(30), rig.daemon.errMark());
}

bool databaseFails(e2e::Rig &rig, const char *what) {
  return twice(rig, std::string(what) + " " + rig.config.rrddir + "/weather.rrd: ");
}

// A failure to mount sets skipWhy: the row is skipped where it cannot be staged.
bool tmpfsOnDatabaseDir(e2e::Rig &rig, const std::string &options) {
  return e2e::mountTmpfs(rig.rrdDir, options, &rig.skipWhy);
}

std::string lastOf(e2e::Rig &rig, const std::string &source) {
  return e2e::rrdLast(rig.config.rrddir + "/weather.rrd")[source];
}

int le16(const std::vector<unsigned char> &b, size_t at) {
  return static_cast<int16_t>(static_cast<uint16_t>(b[at] | (b[at + 1] << 8)));
}

// A config.response with the rig's settings and the given extra items.
bool sendConfigWith(e2e::Rig &rig, std::vector<std::pair<std::string, std::string>> extra) {
  for (const auto &item : rig.config.items()) extra.push_back(item);
  return rig.peer.send("xpl-cmnd", rig.target(), "config.response", extra);
}

bool toolSays(const std::vector<std::string> &args, int status, const std::string &text) {
  e2e::ToolRun run = e2e::xplctl(args);
  EXPECT_TRUE(run.status == status && run.err.find(text) != std::string::npos) << run.err;
  return run.status == status && run.err.find(text) != std::string::npos;
}

// No barometer offset was written into the station.
bool offsetUntouched(e2e::Rig &rig) {
  for (const std::string &w : rig.sim.writes())
    if (w.compare(0, 4, "12c ") == 0) return false;
  return true;
}

// A database whose last sample is two hours old: the settings pass's
// logging step catches up from the station's archive first.
bool twoHoursBehind(e2e::Rig &rig) {
  e2e::runOutput({testsupport::binDir() + "/kivamet-stationsim", "--history", "1", "--gap", "2",
                  rig.rrdDir + "/weather.rrd"});
  return !lastOf(rig, "time").empty();
}

int archiveReads(e2e::Rig &rig) {
  const std::vector<std::string> frames = rig.sim.rx();
  return static_cast<int>(std::count_if(frames.begin(), frames.end(), [](const std::string &f) {
    return f.compare(0, 8, "53 52 44") == 0;
  }));
}

const Fault kFaults[] = {
    // ---- The database never ends the daemon ----------------------------
    {"RainTotalAbove32767",  // 40000 counts
     [](e2e::Rig &rig) {
       return rig.sim.poke("link", 0x132, {0x40, 0x9C});
     },
     nullptr, seconds(30), Answers | Logs | StopsOnTerm,
     [](e2e::Rig &rig) { return lastOf(rig, "rain") == "40000"; }},
    {"RainTotalFalls",  // 1234 counts to 34
     nullptr,
     [](e2e::Rig &rig) {
       return rig.sim.poke("link", 0x132, {0x22, 0x00});
     },
     seconds(30), Answers | Logs | StopsOnTerm,
     [](e2e::Rig &rig) {
       // A pass under way at the poke may still log the old total.
       if (!rig.waitSample(seconds(20)) || lastOf(rig, "rain") != "34") return false;
       auto info = e2e::rrdInfo(rig.config.rrddir + "/weather.rrd");
       // Read as a wrap the drop would add billions to the step.
       return info["ds[rain].max"] == "5.0000000000e+00" &&
              std::stod(info["ds[rain].value"]) < 1000;
     }},
    {"DatabaseDirMissing", nullptr,
     [](e2e::Rig &rig) {
       const std::string dir = rig.rrdDir + "/missing";
       return sendConfig(rig, withRrddir(rig, dir)) && databaseFails(rig, "Cannot create RRD") &&
              mkdir(dir.c_str(), 0755) == 0;
     },
     seconds(30), Answers | Logs | StopsOnTerm},
    {"DatabaseDirReadOnly", [](e2e::Rig &rig) { return tmpfsOnDatabaseDir(rig, "ro"); },
     [](e2e::Rig &rig) {
       return databaseFails(rig, "Cannot create RRD") && e2e::remountTmpfs(rig.rrdDir, "rw");
     },
     seconds(30), Answers | Logs | StopsOnTerm},
    {"DatabaseDirIsAFile", nullptr,
     [](e2e::Rig &rig) {
       const std::string good = rig.rrdDir, file = rig.rrdDir + "/plain";
       return writeFile(file, "x") && sendConfig(rig, withRrddir(rig, file)) &&
              databaseFails(rig, "Cannot create RRD") && sendConfig(rig, withRrddir(rig, good));
     },
     seconds(30), Answers | Logs | StopsOnTerm},
    {"ForeignFileNamedWeatherRrd",
     [](e2e::Rig &rig) { return writeFile(rig.rrdDir + "/weather.rrd", "not a database\n"); },
     [](e2e::Rig &rig) {
       return databaseFails(rig, "Cannot update RRD") &&
              unlink((rig.rrdDir + "/weather.rrd").c_str()) == 0;
     },
     seconds(30), Answers | Logs | StopsOnTerm},
    {"DiskFull",  // weather.rrd takes about 12 MB
     [](e2e::Rig &rig) { return tmpfsOnDatabaseDir(rig, "size=64k"); },
     [](e2e::Rig &rig) {
       return databaseFails(rig, "Cannot create RRD") && e2e::remountTmpfs(rig.rrdDir, "size=32m");
     },
     seconds(30), Answers | Logs | StopsOnTerm},

    // ---- The station and its adaptor ------------------------------------
    {"AdaptorConnectHangs",  // at start-up and again on the reopen path
     [](e2e::Rig &rig) { return rig.sim.control("accept stall"); },
     [](e2e::Rig &rig) {
       return rig.daemon.waitErr("127.0.0.1: Connection timed out\n", seconds(5)) &&
              twice(rig, "127.0.0.1: Connection timed out\n") && rig.sim.control("accept on");
     },
     seconds(60), Answers | Logs | StopsOnTerm},
    {"StationAwayAtTheSettingsPass",
     [](e2e::Rig &rig) {
       return rig.sim.poke("station", 0x152, {0xFB, 0xFF}) &&  // TP1CAL -5
              rig.sim.poke("station", 0x178, {0x0A, 0x00}) &&  // TP2CAL 10
              rig.sim.control("accept off");
     },
     [](e2e::Rig &rig) {
       return rig.daemon.waitErr("127.0.0.1: Connection refused\n", seconds(5)) &&
              rig.sim.control("accept on");
     },
     seconds(30), Answers | Logs | StopsOnTerm,
     [](e2e::Rig &rig) {
       // Opened by a logging pass: offsets read and the clock checked
       // before the first sample, which carries the offsets.
       const std::vector<std::string> frames = rig.sim.rx();
       std::vector<unsigned char> img;
       return count(frames, kTp1Cal) == 1 && count(frames, kTimeCell) == 1 && rig.sim.image(&img) &&
              lastOf(rig, "tin") == std::to_string(le16(img, 0) - 5) &&
              lastOf(rig, "tout") == std::to_string(le16(img, 2) + 10);
     }},
    {"ArchivePointersMakeNoSense",  // NEWPTR inside a record
     [](e2e::Rig &rig) {
       return twoHoursBehind(rig) && rig.sim.poke("link", 0x100, {0x01, 0x00});
     },
     nullptr, seconds(30), Answers | Logs | StopsOnTerm,
     [](e2e::Rig &rig) {
       return rig.daemon.waitErr(
                  "catch-up: archive pointers make no sense (new 0x1, old 0, period 30); ended\n",
                  seconds(1)) &&
              archiveReads(rig) == 0;
     }},
    {"ArchiveUnreadable",  // both records of the ring fail their CRC
     [](e2e::Rig &rig) {
       return twoHoursBehind(rig) && rig.sim.poke("link", 0x100, {0x2A, 0x00, 0x00, 0x00}) &&
              rig.sim.control("archive crc 1") && rig.sim.control("archive crc 2");
     },
     nullptr, seconds(30), Answers | Logs | StopsOnTerm,
     [](e2e::Rig &rig) {
       // The pair, then each alone once more; no third try.
       return rig.daemon.waitErr("catch-up: the archive cannot be read; ended\n", seconds(1)) &&
              archiveReads(rig) == 3;
     }},
    {"SilentStationAtTheSettingsPass",
     [](e2e::Rig &rig) {
       rig.startLimit = seconds(90);
       return rig.sim.control("silent on");
     },
     [](e2e::Rig &rig) {
       // The pass ended at the failed model probe: no calibration read, no
       // clock read, and no pass asked again while the station stayed silent.
       const std::vector<std::string> frames = rig.sim.rx();
       return count(frames, kStndrd) == 0 && count(frames, kTimeCell) == 0 &&
              rig.daemon.waitErr(
                  "station model unknown; calibration and clock check left to the logging pass\n",
                  seconds(1)) &&
              rig.sim.control("silent off");
     },
     seconds(60), Answers | Logs | StopsOnTerm},
    {"StationFallsSilentAfterTheProbe",
     [](e2e::Rig &rig) { return rig.sim.control("fault ack 5 1"); },  // the probe answered
     [](e2e::Rig &rig) {
       // The calibration stopped at its first read (five attempts at STNDRD)
       // and the pass went on to the clock.
       const std::vector<std::string> f = rig.sim.rx();
       const auto first = std::find(f.begin(), f.end(), kStndrd);
       return f.end() - first >= 6 && count({first, first + 5}, kStndrd) == 5 &&
              first[5] == kTimeCell;
     },
     seconds(30), Answers | Logs | StopsOnTerm},
    {"ModelProbeFailsAtOpen",
     [](e2e::Rig &rig) { return rig.sim.control("fault ack 5"); },  // the probe's five attempts
     nullptr, seconds(30), Answers | Logs | StopsOnTerm,
     [](e2e::Rig &rig) {
       return rig.daemon.waitErr("station model unknown; probing it again\n", seconds(1)) &&
              rig.daemon.waitErr("type = 0\n", seconds(1)) && rig.reading("ID") == "wizard3";
     }},
    {"LateReplyAfterATimeout",
     [](e2e::Rig &rig) {
       // No timed passes in between: the request that follows the late
       // reply is the command that would take it for its answer.
       rig.daemon.env.erase("KIVAMET_LOG_PERIOD");
       return true;
     },
     [](e2e::Rig &rig) {
       const size_t from = rig.sim.outMark();
       return rig.sim.control("fault late") && rig.reading("BARDTA") == "29.921" &&
              rig.sim.proc().waitForStdout("late 06 e1 74\n", seconds(10), from) &&
              rig.reading("STIN") == "71.20";  // a link read, not the stale barometer
     },
     seconds(30), Answers | StopsOnTerm},
    {"EventLoopFails",
     [](e2e::Rig &rig) {
       // The leak checker needs descriptors this fault takes away.
       rig.daemon.env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1";
       return true;
     },
     [](e2e::Rig &rig) {
       // poll() on more descriptors than the limit allows fails with EINVAL.
       struct rlimit lim;
       if (prlimit(rig.daemon.proc().pid(), RLIMIT_NOFILE, nullptr, &lim) != 0) return false;
       lim.rlim_cur = 1;
       return prlimit(rig.daemon.proc().pid(), RLIMIT_NOFILE, &lim, nullptr) == 0;
     },
     seconds(30), ExitsNonZero,
     [](e2e::Rig &rig) {
       return rig.daemon.waitErr("the event loop failed; exiting\n", seconds(10));
     }},

    // ---- Barometer calibration plausibility -------------------------------
    {"WebPressureOutOfRange", [](e2e::Rig &rig) { return rig.web.command("pressure 00.00"); },
     nullptr, seconds(30), Answers | Logs | StopsOnTerm,
     [](e2e::Rig &rig) {
       return rig.daemon.countErr("web pressure 0 outside 25.000 to 32.500 inches") == 5 &&
              offsetUntouched(rig);
     }},
    {"BarometerOffsetAboveOneInch", [](e2e::Rig &rig) { return rig.web.command("pressure 31.00"); },
     nullptr, seconds(30), Answers | Logs | StopsOnTerm,
     [](e2e::Rig &rig) {
       return rig.daemon.waitErr("offset -1079 above 1.000 inch", seconds(1)) &&
              offsetUntouched(rig) && rig.reading("STNDRD") == "25";
     }},

    // ---- Least privilege ---------------------------------------------------
    {"SerialDeviceNotATerminal", nullptr,
     [](e2e::Rig &rig) {
       const e2e::DaemonConfig good = rig.config;
       e2e::DaemonConfig next = good;
       next.type = "device";
       next.device = rig.rrdDir + "/not-a-tty";
       struct stat st;
       return writeFile(next.device, "") && sendConfig(rig, next) &&
              rig.daemon.waitErr(next.device + ": Inappropriate ioctl for device\n", seconds(30)) &&
              stat(next.device.c_str(), &st) == 0 && st.st_size == 0 && sendConfig(rig, good);
     },
     seconds(30), Answers | Logs | StopsOnTerm},
    {"ConfigResponseWhileLocked",
     [](e2e::Rig &rig) {
       rig.extraArgs = {"--locked"};
       return true;
     },
     [](e2e::Rig &rig) {
       const std::string stored = fileText(rig.daemon.dir() + "/kivamet.xml");
       e2e::DaemonConfig next = rig.config;
       next.location = "KLOK";
       const size_t from = rig.sim.outMark();
       return rig.peer.send("xpl-cmnd", rig.target(), "config.response", next.items()) &&
              rig.daemon.waitErr("configuration locked: config.response ignored\n", seconds(10)) &&
              rig.peer.roundTrip(rig.target()) &&
              fileText(rig.daemon.dir() + "/kivamet.xml") == stored &&
              count(rig.sim.rx(from), kProbe) == 0;  // no settings pass
     },
     seconds(30), Answers | Logs | StopsOnTerm},

    // ---- xPL: the service stays reachable ----------------------------------
    {"FirstConfigurationKeepsInstanceAndInterval",  // as xplctl configure copies them back
     [](e2e::Rig &rig) {
       rig.storeConfig = false;
       return true;
     },
     [](e2e::Rig &rig) {
       const auto &seen = rig.peer.messages();
       auto beat = std::find_if(seen.rbegin(), seen.rend(),
                                [](const e2e::XplMsg &m) { return m.schema == "config.app"; });
       if (beat == seen.rend()) return false;
       rig.config.instance = beat->source.substr(beat->source.find('.') + 1);
       const size_t from = rig.peer.mark();
       // Hubs drop a client 2 x 1 + 1 minutes after a config.app heartbeat:
       // the next heartbeat must not wait for the configured 5 minutes.
       return sendConfigWith(rig, {{"newconf", rig.config.instance}, {"interval", "5"}}) &&
              rig.peer.waitFor(
                  [](const e2e::XplMsg &m) {
                    return m.isFrom("quorvel-davis") && m.schema == "hbeat.app" &&
                           m.get("interval") == "5";
                  },
                  seconds(30), from) != nullptr;
     },
     seconds(30), Answers | StopsOnTerm},
    {"NewconfNotAnInstanceID",  // 1400 characters made every heartbeat too long to send
     nullptr,
     [](e2e::Rig &rig) {
       const size_t from = rig.daemon.errMark();
       return sendConfigWith(rig, {{"newconf", std::string(1400, 'a')}}) &&
              rig.daemon.waitErr("ERROR: CONFIG:: Instance ID [aaaa", seconds(10), from);
     },
     seconds(30), Answers | StopsOnTerm},
    {"FloodOfDatagrams",  // SIGTERM during the flood
     nullptr,
     [](e2e::Rig &rig) {
       // Straight to the daemon's port, going on past the bound; 600 items
       // to parse in each keep the daemon far behind.
       const std::string heavy =
           e2e::xplText("xpl-stat", "acme-flood.x", "*", "sensor.basic",
                        std::vector<std::pair<std::string, std::string>>(600, {"a", ""}));
       return rig.daemonPort() > 0 &&
              rig.flood.start(e2e::testNet().addr, rig.daemonPort(), {heavy}, seconds(60));
     },
     seconds(2), StopsOnTerm},
    {"ForgedGoodbyeFromAnotherHost",  // naming the daemon's address and port
     nullptr,
     [](e2e::Rig &rig) {
       const e2e::Net &net = e2e::testNet();
       const std::string goodbye = e2e::xplText("xpl-stat", rig.target(), "*", "hbeat.end",
                                                {{"interval", "5"},
                                                 {"port", std::to_string(rig.daemonPort())},
                                                 {"remote-ip", net.addr}});
       std::string why;
       const bool sent =
           testsupport::sendFromForeignAddress("10.77.0.9", net.addr, 3865, goodbye, &why);
       EXPECT_TRUE(sent) << why;
       return sent;
     },
     seconds(30), Answers | StopsOnTerm,
     [](e2e::Rig &rig) {
       rig.hub.proc().pump();
       return rig.hub.proc().out().find("client left") == std::string::npos;
     }},
    {"ConfigurationCannotBeSaved",  // its working directory is gone
     nullptr,
     [](e2e::Rig &rig) {
       testsupport::removeTree(rig.daemon.dir());
       const size_t from = rig.daemon.errMark();
       return sendConfigWith(rig, {}) &&
              rig.daemon.waitErr(
                  "ERROR: CONFIG:: File kivamet.xml could not be opened/created -- No such file",
                  seconds(10), from);
     },
     seconds(30), Answers | StopsOnTerm},

    // ---- xplctl configure tells the truth -----------------------------------
    {"ConfigureNamesAnItemTheDaemonLacks", nullptr,
     [](e2e::Rig &rig) {
       return toolSays({"configure", rig.target(), "colour=red"}, 2,
                       "no item 'colour' (it offers newconf, interval, group, filter, type, "
                       "device, net-address, net-port, location, rrddir)");
     },
     seconds(30), Answers | StopsOnTerm},
    {"ConfigureValueTheDaemonIgnores", nullptr,
     [](e2e::Rig &rig) {
       return toolSays({"configure", rig.target(), "interval=soon"}, 4,
                       "did not take interval=soon (it has interval=5)");
     },
     seconds(30), Answers | StopsOnTerm},
};

class FaultTable : public ::testing::TestWithParam<Fault> {};

TEST_P(FaultTable, DaemonGetsOver) {
  const Fault &f = GetParam();
  e2e::Rig rig;
  // A logging pass every 2 s rather than every minute, so a sample comes soon.
  rig.daemon.env["KIVAMET_LOG_PERIOD"] = "2";
  ASSERT_TRUE(rig.startNetworkAndStation());
  const bool staged = !f.before || f.before(rig);
  if (!rig.skipWhy.empty()) GTEST_SKIP() << rig.skipWhy;
  ASSERT_TRUE(staged);
  ASSERT_TRUE(rig.startDaemon());
  if (f.inject) {
    ASSERT_TRUE(f.inject(rig));
  }

  const auto deadline = Clock::now() + f.bound;
  if (f.after & Answers) {
    // A request that finds no station open is dropped: ask again.
    std::string value;
    while (value.empty() && left(deadline).count() > 0)
      value = rig.reading("BARDTA", std::min(left(deadline), milliseconds(seconds(5))));
    EXPECT_FALSE(value.empty()) << "no request answered";
  }
  if (f.after & Logs) {
    EXPECT_TRUE(rig.waitSample(left(deadline))) << "no sample logged";
  }
  if (f.holds) {
    EXPECT_TRUE(f.holds(rig));
  }
  const milliseconds ending = std::max(left(deadline), milliseconds(seconds(1)));
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
