// End-to-end: the uploads of the real daemon to loopback stand-ins for the
// weather networks and to a real InfluxDB: each service's exact request
// for the simulator's known weather in both unit systems; an hour missed,
// sent oldest first and none twice, also across a kill; and what a service
// can do wrong while xPL goes on being answered.
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "influx.h"
#include "version.h"
#include "weatherdb.h"

namespace {

using e2e::seconds;
using testsupport::WeatherStub;

// Handed to the daemon in its settings file only; the stubs log them as ***.
const char KEY[] = "k3y-0f-the-test";
const char PASSCODE[] = "23456";

// The request lines ("GET /path?query") a stub logged from a mark on.
std::vector<std::string> requestLines(WeatherStub &stub, size_t from = 0) {
  std::vector<std::string> lines;
  const std::vector<std::string> all = stub.requests();
  for (size_t i = from; i < all.size(); i++) lines.push_back(all[i].substr(0, all[i].find(' ', 5)));
  return lines;
}

// Waits for a request line matching a pattern (* for a time stamp); false
// with the last line of that kind in *last.
bool awaitRequest(WeatherStub &stub, const std::string &pattern, std::string *last,
                  const char *kind = "request ") {
  const auto deadline = e2e::Clock::now() + seconds(30);
  for (size_t seen = 0;;) {
    const std::vector<std::string> lines = stub.requests(kind);
    for (; seen < lines.size(); seen++) {
      *last = lines[seen].substr(0, lines[seen].find(" HTTP/1.1"));
      if (fnmatch(pattern.c_str(), last->c_str(), 0) == 0) return true;
    }
    if (e2e::Clock::now() >= deadline) return false;
    stub.proc().waitForStdout("\n", e2e::left(deadline), stub.proc().out().size());
  }
}

// The stand-ins for the weather networks, told the secrets.
struct Networks {
  WeatherStub http, aprs;
  bool start() {
    return http.start() && http.command("mode success") && http.secret(KEY) &&
           aprs.start(0, "", seconds(10), true) && aprs.secret(PASSCODE);
  }
  std::string url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(http.port()) + path;
  }
};

// The settings file in the daemon's folder, for its owner's eyes only; the
// daemon's arguments to read it.
std::vector<std::string> settingsFile(e2e::Rig &rig, const std::string &text) {
  const std::string path = rig.daemon.dir() + "/kivamet.toml";
  testsupport::writeFile(path, text);
  chmod(path.c_str(), 0600);
  return {"-d", "--config", path};
}

bool secretsKept(e2e::Rig &rig) {
  rig.daemon.proc().pump();
  for (const std::string *text : {&rig.daemon.proc().out(), &rig.daemon.proc().err()})
    if (text->find(KEY) != std::string::npos || text->find(PASSCODE) != std::string::npos)
      return false;
  return true;
}

// A day of the known weather (pokeStation's, no rain) up to now, as kivamet
// would have logged it, so every rain span is known.
bool knownDay(const std::string &path) {
  const time_t now = time(nullptr);
  const davis_sample raw = {700, 723, 10, 225, 29921, 45, 87, 1234, 550, 700};
  const davis_cal cal = {-10, -5, 0, 100, 0};
  std::string why;
  return testsupport::createWeatherDb(path, now - 26 * 3600, &why) &&
         testsupport::fillWeatherDb(
             path, now - 26 * 3600 + 60, now - 30, [&](time_t) { return raw; }, &why, cal);
}

// A zone where it is now about noon: no local midnight falls in a run, so
// that the rain since midnight is the last hour's.
std::string noonZone() {
  const time_t now = time(nullptr);
  struct tm utc {};
  gmtime_r(&now, &utc);
  char zone[16];
  snprintf(zone, sizeof zone, "KVT%+d", utc.tm_hour - 12);  // POSIX: hours west
  return zone;
}

// ---- Each service's request --------------------------------------------------

struct UnitsRun {
  const char *name, *units;
  // InfluxDB's fields: outside temperature, barometer, wind speed, rain total.
  double outside, barometer, wind, rain;
};
class Fields : public ::testing::TestWithParam<UnitsRun> {};
void PrintTo(const UnitsRun &r, std::ostream *os) {
  *os << r.name;
}

TEST_P(Fields, EachServiceGetsTheKnownWeather) {
  const UnitsRun &run = GetParam();
  e2e::Rig rig;
  Networks net;
  testsupport::Influx influx;
  ASSERT_TRUE(rig.startNetworkAndStation() && e2e::pokeStation(rig, 723) && net.start());
  ASSERT_TRUE(influx.start());
  ASSERT_NE(influx.query("CREATE DATABASE weather"), "");
  ASSERT_TRUE(knownDay(rig.rrdDir + "/weather.rrd"));
  rig.config.location = "";  // no calibration: the offsets stay as poked
  const std::string floor = "interval = 2\nurl = \"";
  const auto args = settingsFile(
      rig, std::string("[live]\nseconds = 2\nunits = \"") + run.units +
               "\"\n[station]\nlatitude = 52.0907\nlongitude = 5.1214\n"
               "[upload.wunderground]\nstation = \"KTEST1\"\nkey = \"" +
               KEY + "\"\n" + floor + net.url("/wu") + "\"\nrapidfire = true\nrapidfire_url = \"" +
               net.url("/rt") + "\"\n[upload.pwsweather]\nstation = \"PTEST1\"\nkey = \"" + KEY +
               "\"\n" + floor + net.url("/pws") +
               "\"\n[upload.wow]\nsite_id = \"987654\"\nkey = \"" + KEY + "\"\n" + floor +
               net.url("/wow") + "\"\n[upload.windy]\nkey = \"" + KEY + "\"\nstation = 3\n" +
               floor + net.url("/windy") +
               "\"\n[upload.cwop]\nstation = \"EW0000\"\npasscode = " + PASSCODE +
               "\ninterval = 2\nserver = \"127.0.0.1:" + std::to_string(net.aprs.port()) +
               "\"\n[upload.influxdb]\ndatabase = \"weather\"\n" + floor + influx.url() + "\"\n");
  rig.daemon.env["KIVAMET_UPLOAD_MIN_INTERVAL"] = "2";
  rig.daemon.env["KIVAMET_LOG_PERIOD"] = "2";
  rig.daemon.env["TZ"] = noonZone();
  ASSERT_TRUE(rig.startDaemon(true, args));

  // A dry day, then 0.08 in of rain: each span's figure follows.
  struct Rain {
    unsigned total;
    const char *inches, *mm, *aprs;
  };
  for (const Rain &rain : {Rain{1234, "0.00", "0.0", "000"}, Rain{1242, "0.08", "2.0", "008"}}) {
    ASSERT_TRUE(e2e::pokeStation(rig, 723, rain.total));
    // The Weather Underground family in US units whatever --units says.
    const std::string wu = std::string("dateutc=*&tempf=72.3&humidity=87&dewptf=55.0&") +
                           "baromin=29.911&windspeedmph=10&winddir=225&rainin=" + rain.inches +
                           "&dailyrainin=" + rain.inches + "&softwaretype=kivamet-" KIVAMET_VERSION;
    const std::string requests[] = {
        "GET /wu?action=updateraw&ID=KTEST1&PASSWORD=***&" + wu,
        "GET /rt?action=updateraw&ID=KTEST1&PASSWORD=***&" + wu + "&realtime=1&rtfreq=2",
        "GET /pws?ID=PTEST1&PASSWORD=***&" + wu,
        "GET /wow?siteid=987654&siteAuthenticationKey=***&" + wu,
        std::string("GET /windy/***?station=3&temp=22.4&rh=87&dewpoint=12.8&pressure=101290&") +
            "wind=4.5&winddir=225&precip=" + rain.mm + "&ts=*",
    };
    std::string last;
    for (const std::string &r : requests)
      EXPECT_TRUE(awaitRequest(net.http, r, &last)) << r << "\nlast: " << last;
    const std::string login = "user EW0000 pass *** vers kivamet " KIVAMET_VERSION;
    EXPECT_TRUE(awaitRequest(net.aprs, login, &last, "login ")) << last;
    const std::string report = std::string("EW0000>APRS,TCPIP[*]:@*z5205.44N/00507.28E_225/") +
                               "010g...t072r" + rain.aprs + "p" + rain.aprs + "P" + rain.aprs +
                               "h87b10129";
    EXPECT_TRUE(awaitRequest(net.aprs, report, &last, "packet ")) << report << "\nlast: " << last;
  }

  // InfluxDB: the points as written, read back.
  nlohmann::json row;
  for (int tries = 0; tries < 100 && row.empty(); tries++) {
    const auto answer = nlohmann::json::parse(
        influx.query("SELECT * FROM weather ORDER BY time DESC LIMIT 1", "weather"), nullptr,
        false);
    const auto &series = answer["results"][0]["series"];
    if (series.is_array()) {
      for (size_t i = 0; i < series[0]["columns"].size(); i++)
        row[series[0]["columns"][i].get<std::string>()] = series[0]["values"][0][i];
    } else {
      rig.daemon.waitErr("upload influxdb: sample", seconds(1), rig.daemon.errMark());
    }
  }
  ASSERT_FALSE(row.empty());
  EXPECT_EQ(row["station"], "e2etest");
  EXPECT_DOUBLE_EQ(row["outside_temperature"].get<double>(), run.outside);
  EXPECT_DOUBLE_EQ(row["barometer"].get<double>(), run.barometer);
  EXPECT_DOUBLE_EQ(row["wind_speed"].get<double>(), run.wind);
  EXPECT_DOUBLE_EQ(row["rain_total"].get<double>(), run.rain);
  EXPECT_DOUBLE_EQ(row["outside_humidity"].get<double>(), 87);
  EXPECT_TRUE(secretsKept(rig));
}

INSTANTIATE_TEST_SUITE_P(Units, Fields,
                         ::testing::Values(UnitsRun{"Us", "us", 72.3, 29.911, 10, 12.42},
                                           UnitsRun{"Metric", "metric", 22.4, 1012.9, 16.1, 315.5}),
                         [](const auto &i) { return std::string(i.param.name); });

// A service its settings cannot start stops kivamet with one line.
TEST(Settings, AServiceThatCannotStartStopsKivamet) {
  const struct {
    const char *settings, *line;
  } rows[] = {
      {"[upload.wunderground]\nstation = \"K\"", "upload.wunderground: needs station and key"},
      {"[upload.wow]\nkey = \"k\"", "upload.wow: needs site_id and key"},
      {"[upload.wunderground]\nstation = \"K\"\nkey = \"k\"\nrapidfire = true",
       "upload.wunderground: rapidfire needs live reads ([live] seconds or --live)"},
      {"[upload.cwop]\nstation = \"EW0000\"",
       "upload.cwop: needs the [station] latitude and longitude"},
  };
  for (const auto &row : rows) {
    e2e::Daemon daemon;
    const std::string path = daemon.dir() + "/kivamet.toml";
    testsupport::writeFile(path, row.settings);
    chmod(path.c_str(), 0600);
    ASSERT_TRUE(daemon.start("127.0.0.1:9", {"--config", path}));
    EXPECT_EQ(daemon.proc().wait(seconds(20)), 1) << row.settings;
    EXPECT_EQ(daemon.proc().err(), std::string("kivamet: ") + row.line + "\n");
  }
}

// ---- An hour missed --------------------------------------------------------

// The dateutc of each Weather Underground request line, as time.
std::vector<time_t> sampleTimes(const std::vector<std::string> &lines) {
  std::vector<time_t> times;
  for (const std::string &l : lines) {
    const size_t at = l.find("dateutc=");
    struct tm t = {};
    if (at == std::string::npos ||
        sscanf(l.c_str() + at + 8, "%d-%d-%d%%20%d%%3A%d%%3A%d", &t.tm_year, &t.tm_mon, &t.tm_mday,
               &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
      continue;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    times.push_back(timegm(&t));
  }
  return times;
}

TEST(CatchUp, AnHourMissedArrivesOldestFirstNoneTwiceAlsoAcrossAKill) {
  e2e::Rig rig;
  Networks net;
  ASSERT_TRUE(rig.startNetworkAndStation() && net.start() &&
              net.http.raw("HTTP/1.0 503 Service Unavailable\r\n\r\n"));
  // A day of weather up to now, and Weather Underground's last an hour ago.
  e2e::runOutput({testsupport::binDir() + "/kivamet-stationsim", "--history", "1", "--gap", "0",
                  rig.rrdDir + "/weather.rrd"});
  ASSERT_FALSE(e2e::rrdLast(rig.rrdDir + "/weather.rrd").empty());
  const time_t away = time(nullptr) - 3600;
  testsupport::writeFile(rig.daemon.dir() + "/upload-wunderground.state",
                         "last " + std::to_string(away) + "\n");
  const auto args =
      settingsFile(rig, "[upload.wunderground]\nstation = \"KTEST1\"\nkey = \"" + std::string(KEY) +
                            "\"\nurl = \"" + net.url("/wu") + "\"\n");
  rig.daemon.env["KIVAMET_UPLOAD_MIN_INTERVAL"] = "2";  // the first retries in seconds
  ASSERT_TRUE(rig.startDaemon(true, args));
  ASSERT_TRUE(rig.daemon.waitErr("failed (HTTP 503", seconds(30)));
  ASSERT_TRUE(rig.daemon.waitErr("failed (HTTP 503", seconds(30), rig.daemon.errMark()));

  // The service is back; halfway through, kivamet is killed and restarted.
  const size_t back = net.http.requests().size();
  ASSERT_TRUE(net.http.command("mode success"));
  for (int accepted = 0; accepted < 6; accepted++)
    ASSERT_TRUE(rig.daemon.waitErr(" accepted\n", seconds(30), rig.daemon.errMark()));
  ASSERT_TRUE(rig.daemon.proc().signal(SIGKILL));
  rig.daemon.proc().wait(seconds(10));
  ASSERT_TRUE(rig.startDaemon(true, args));
  // Until the present is sent: the latest sample, logged after the restart.
  const time_t restarted = time(nullptr);
  std::vector<time_t> sent;
  for (int waits = 0; waits < 60 && (sent.empty() || sent.back() < restarted - 60); waits++) {
    rig.daemon.waitErr(" accepted\n", seconds(5), rig.daemon.errMark());
    sent = sampleTimes(requestLines(net.http, back));
  }
  ASSERT_GE(sent.size(), 12u);
  EXPECT_GE(sent.front(), away + 300);
  EXPECT_LT(sent.front(), away + 360);
  for (size_t i = 1; i < sent.size(); i++) {
    EXPECT_GT(sent[i], sent[i - 1]) << "sample " << i << ": oldest first, none twice";
    EXPECT_LE(sent[i] - sent[i - 1], 360) << "sample " << i << ": none missed";
  }
  EXPECT_GE(sent.back(), restarted - 60);
  EXPECT_TRUE(secretsKept(rig));
}

// A service without past observations gets none of the old weather the
// station's archive catch-up logs: only samples of the present.
TEST(CatchUp, WindyGetsNoneOfTheArchivesOldWeather) {
  e2e::Rig rig;
  Networks net;
  rig.simOptions.args = {"--archive-history", "2", "--archive-period", "5"};
  ASSERT_TRUE(rig.startNetworkAndStation() && net.start());
  // A database whose last sample is an hour old: the archive fills the gap.
  e2e::runOutput({testsupport::binDir() + "/kivamet-stationsim", "--history", "1", "--gap", "1",
                  rig.rrdDir + "/weather.rrd"});
  const auto args =
      settingsFile(rig, "[upload.windy]\nkey = \"" + std::string(KEY) +
                            "\"\ninterval = 2\nurl = \"" + net.url("/windy") + "\"\n");
  rig.daemon.env["KIVAMET_UPLOAD_MIN_INTERVAL"] = "2";
  rig.daemon.env["KIVAMET_LOG_PERIOD"] = "2";
  const time_t started = time(nullptr);
  ASSERT_TRUE(rig.startDaemon(true, args));
  ASSERT_TRUE(rig.daemon.waitErr("samples written", seconds(60)));
  const size_t from = rig.daemon.errMark();
  ASSERT_TRUE(rig.daemon.waitErr(" accepted\n", seconds(30), from));
  const std::vector<std::string> lines = requestLines(net.http);
  ASSERT_FALSE(lines.empty());
  for (const std::string &l : lines) {
    const size_t at = l.find("&ts=");
    ASSERT_NE(at, std::string::npos) << l;
    EXPECT_GE(std::stoll(l.substr(at + 4)), started - 120) << "an old sample: " << l;
  }
}

// ---- A service that misbehaves ----------------------------------------------

TEST(Faults, EachAnswerItsResultAndXplAnsweredThroughout) {
  e2e::Rig rig;
  Networks net;
  ASSERT_TRUE(rig.startNetworkAndStation() && net.start());
  const auto args =
      settingsFile(rig, "[upload.pwsweather]\nstation = \"PTEST1\"\nkey = \"" + std::string(KEY) +
                            "\"\ninterval = 2\nurl = \"" + net.url("/pws") + "\"\n");
  rig.daemon.env["KIVAMET_UPLOAD_MIN_INTERVAL"] = "2";
  rig.daemon.env["KIVAMET_LOG_PERIOD"] = "2";
  ASSERT_TRUE(rig.startDaemon(true, args));
  const char REFUSE[] = "HTTP/1.0 401 Unauthorized\r\nContent-Length: 13\r\n\r\nBad password\n";
  struct Step {
    const char *stub;    // the stub's mode, or the raw answer it gives
    const char *result;  // the -d line's end for the next try
  };
  const Step steps[] = {
      {REFUSE, " refused (HTTP 401: Bad password); next try in 2 s\n"},
      {REFUSE, " refused (HTTP 401: Bad password); next try in 4 s\n"},
      {REFUSE, " refused (HTTP 401: Bad password); next try in 8 s\n"},
      {"mode success", " accepted\n"},
      // Closed at once: "Empty reply from server" or "Recv failure: ...".
      {"mode close", " UTC failed ("},
      // Hung: ended by the time limit; meanwhile xPL is answered.
      {"mode silent", " failed (Operation timed out after 30"},
      {"mode success", " accepted\n"},
  };
  for (const Step &s : steps) {
    const size_t from = rig.daemon.errMark();
    ASSERT_TRUE(s.stub == REFUSE ? net.http.raw(s.stub) : net.http.command(s.stub));
    if (std::string(s.stub) == "mode silent") {
      ASSERT_TRUE(rig.daemon.waitErr("upload pwsweather: GET ", seconds(10), from));
      for (int i = 0; i < 5; i++) EXPECT_EQ(rig.reading("ID"), "wizard3");
    }
    EXPECT_TRUE(rig.daemon.waitErr(s.result, seconds(45), from)) << s.stub;
  }
  // One line for the refused key, one when it is taken again.
  EXPECT_EQ(rig.daemon.countErr("upload pwsweather: the service refused the upload (HTTP 401: "
                                "Bad password); check [upload.pwsweather]; trying again less "
                                "often\n"),
            1);
  EXPECT_EQ(rig.daemon.countErr("upload pwsweather: accepted again\n"), 1);
  EXPECT_TRUE(secretsKept(rig));
}

}  // namespace
