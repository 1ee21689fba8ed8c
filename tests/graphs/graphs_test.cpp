// graphs_test.cpp - the weather page from a database the daemon's way: two
// days of weather with known extremes, the page rendered from it in both
// unit systems, its graphs decoded, the program's failures, --watch, and
// the page loaded in a real browser (headless chromium, from file://).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "climate.h"
#include "files.h"
#include "noaa.h"
#include "page.h"
#include "proc.h"
#include "render.h"
#include "summaries.h"
#include "weatherdb.h"

namespace {

using std::chrono::seconds;
using testsupport::readFile;
using testsupport::ScratchDir;

constexpr time_t HOUR = 3600;
constexpr time_t DAY = 86400;

// Noon of a fixed day five hours east of UTC: "today" holds the morning's
// known extremes, and local days are not UTC's.
struct Weather {
  time_t last;      // the last sample, a whole minute
  time_t midnight;  // today's
};

Weather noonOfAFixedDay() {
  setenv("TZ", "KVT-05:00", 1);
  tzset();
  const time_t last = 1772348400 - 60;  // 11:59 local on 1 March 2026
  return Weather{last, localMidnight(last)};
}

// Rain counts: one a minute from `from` on, `count` of them.
int tipsUntil(time_t t, time_t from, int count) {
  return t <= from ? 0 : static_cast<int>(std::min<time_t>((t - from) / 60, count));
}

// Quiet weather with marked moments. Yesterday is wilder than today, so a
// day boundary taken wrongly shows; the sample at midnight belongs to it.
davis_sample knownWeather(const Weather &w, time_t t) {
  const time_t m = w.midnight;
  davis_sample s = {700, 600, 5, 180, 29861, 40, 60, 0, 450, 600};
  if (t == m - 12 * HOUR) s.otemp = 990;
  if (t == m - 6 * HOUR || t == m) s.otemp = 100;
  if (t == m + 3 * HOUR) s.otemp = 212;
  if (t == m + 10 * HOUR) s.otemp = 855;
  if (t == m + 11 * HOUR) s.wsp = 25;
  if (t > w.last - graphs::TREND_SECONDS) s.barom = 29921;
  // 60 counts yesterday across two hours; 30 then 7 this morning.
  s.rain = static_cast<int16_t>(tipsUntil(t, m - 9 * HOUR - 30 * 60, 60) +
                                tipsUntil(t, m + 5 * HOUR, 30) + tipsUntil(t, m + 9 * HOUR, 7));
  if (t == w.last) s = {712, 700, 12, 225, 29921, 42, 67, s.rain, 501, 650};
  return s;
}

class Page : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    weather_ = noonOfAFixedDay();
    dir_ = new ScratchDir("graphs");
    db_ = dir_->file("weather.rrd");
    std::string why;
    ASSERT_TRUE(testsupport::createWeatherDb(db_, weather_.last - 2 * DAY - 60, &why)) << why;
    ASSERT_TRUE(testsupport::fillWeatherDb(
        db_, weather_.last - 2 * DAY, weather_.last,
        [](time_t t) { return knownWeather(weather_, t); }, &why))
        << why;
  }
  static void TearDownTestSuite() { delete dir_; }

  // Renders into a fresh folder and gives the page.
  std::string render(unit_system units, const std::string &out, time_t after = 30) {
    graphs::RenderOptions opt;
    opt.rrdPath = db_;
    opt.outDir = out;
    opt.style.units = units;
    graphs::RenderState state;
    graphs::Conditions c;
    std::string why;
    EXPECT_TRUE(graphs::renderOnce(opt, weather_.last + after, &state, &c, &why)) << why;
    return readFile(out + "/" + graphs::PAGE_FILE);
  }

  static Weather weather_;
  static ScratchDir *dir_;
  static std::string db_;
};
Weather Page::weather_;
ScratchDir *Page::dir_;
std::string Page::db_;

// What the page shows for an element id, no-break spaces as spaces.
std::string shown(const std::string &page, const std::string &id) {
  const std::string open = "id=\"" + id + "\">";
  const size_t at = page.find(open);
  if (at == std::string::npos) return "(no " + id + ")";
  const size_t from = at + open.size();
  std::string text = page.substr(from, page.find("</", from) - from);
  for (size_t p; (p = text.find("\u00a0")) != std::string::npos;) text.replace(p, 2, " ");
  return text;
}

// The graph files the page names, in page order.
std::vector<std::string> graphFiles(const std::string &page) {
  std::vector<std::string> files;
  const std::regex img("<img src=\"([^\"?]+)");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), img); it != std::sregex_iterator();
       ++it)
    files.push_back((*it)[1]);
  return files;
}

// Decodes a PNG; false when it does not decode.
bool decodePng(const std::string &bytes, int *width, int *height, std::vector<uint8_t> *rgb) {
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return false;
  image.format = PNG_FORMAT_RGB;
  rgb->resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr)) return false;
  *width = static_cast<int>(image.width);
  *height = static_cast<int>(image.height);
  return true;
}

TEST_F(Page, ShowsTheKnownWeatherInBothUnitSystems) {
  struct Case {
    const char *id, *us, *metric;
  };
  const Case cases[] = {
      {"now-outside_temperature", "70.0 °F", "21.1 °C"},
      {"now-inside_temperature", "71.2 °F", "21.8 °C"},
      {"now-outside_humidity", "67 %", "67 %"},
      {"now-barometer", "29.921 inHg<small>rising, +0.060 inHg in 3 h",
       "1013.2 hPa<small>rising, +2.0 hPa in 3 h"},
      {"now-wind", "12 mph SW", "19.3 km/h SW"},  // compass index 10
      {"now-dew_point", "50.1 °F", "10.1 °C"},
      {"now-wind_chill", "70.0 °F", "21.1 °C"},  // kivamet's, not the database's 65.0 °F
      {"now-rain_today", "0.37 in", "9.4 mm"},  // yesterday's 60 counts left out
      {"now-rain_last_hour", "0.00 in", "0.0 mm"},
      {"now-rain_rate", "0.00 in/h", "0.0 mm/h"},
      {"now-heat_index", "69.8 °F", "21.0 °C"},            // 70.0 °F at 67 %: the simple formula
      {"now-apparent_temperature", "66.0 °F", "18.9 °C"},  // and 12 mph
      {"low-outside_temperature", "21.2 °F<small>03:00", "-6.0 °C<small>03:00"},
      {"high-outside_temperature", "85.5 °F<small>10:00", "29.7 °C<small>10:00"},
      {"high-wind_speed", "25 mph<small>11:00", "40.2 km/h<small>11:00"},
      {"low-barometer", "29.861 inHg<small>00:01", "1011.2 hPa<small>00:01"},
      {"high-wind_chill", "65.0 °F<small>11:59", "18.3 °C<small>11:59"},  // the database's
      // This month is today; this year and all the database holds are the
      // two days behind it too, with yesterday's wilder weather.
      {"record-month-high", "85.5 °F<small>1 Mar", "29.7 °C<small>1 Mar"},
      {"record-year-high", "99.0 °F<small>28 Feb", "37.2 °C<small>28 Feb"},
      {"record-all-low", "10.0 °F<small>28 Feb 2026", "-12.2 °C<small>28 Feb 2026"},
      {"record-month-low", "21.2 °F<small>1 Mar", "-6.0 °C<small>1 Mar"},
      {"record-year-wind", "25 mph<small>1 Mar", "40.2 km/h<small>1 Mar"},
      {"record-month-rain", "0.37 in<small>1 Mar", "9.4 mm<small>1 Mar"},
      {"record-all-rain", "0.60 in<small>28 Feb 2026", "15.2 mm<small>28 Feb 2026"},
      {"record-all-barometer-low", "29.861 inHg<small>27 Feb 2026", "1011.2 hPa<small>27 Feb 2026"},
      {"record-year-barometer-high", "29.921 inHg<small>1 Mar", "1013.2 hPa<small>1 Mar"},
      {"reach", "The database reaches back to 27 Feb 2026 (2 days).",
       "The database reaches back to 27 Feb 2026 (2 days)."},
  };
  for (unit_system units : {UNITS_US, UNITS_METRIC}) {
    const std::string out = dir_->file(units == UNITS_US ? "us" : "metric");
    const std::string page = render(units, out);
    for (const Case &c : cases)
      EXPECT_EQ(shown(page, c.id), units == UNITS_US ? c.us : c.metric) << c.id;
    EXPECT_EQ(page.find("nan"), std::string::npos);
    EXPECT_EQ(page.find("id=\"stale\""), std::string::npos);  // a sample 30 s old

    // Every graph of every period, each a whole PNG of the size the page
    // gives and once more at twice that; the summaries of both months and
    // the year; nothing else in the folder (no temporary file left).
    const std::vector<std::string> files = graphFiles(page);
    EXPECT_EQ(files.size(), static_cast<size_t>(graphs::PERIOD_COUNT * graphs::CHART_COUNT));
    std::set<std::string> expected = {graphs::PAGE_FILE, "NOAA-2026-02.txt", "NOAA-2026-03.txt",
                                      "NOAA-2026.txt"};
    for (const char *summary : {"NOAA-2026-02.txt", "NOAA-2026-03.txt", "NOAA-2026.txt"})
      EXPECT_NE(page.find(std::string("<a href=\"") + summary), std::string::npos) << summary;
    for (const std::string &f : files) {
      const std::string f2x = f.substr(0, f.size() - 4) + "@2x.png";
      expected.insert({f, f2x});
      int width = 0, height = 0, width2x = 0, height2x = 0;
      std::vector<uint8_t> rgb;
      EXPECT_TRUE(decodePng(readFile(out + "/" + f), &width, &height, &rgb)) << f;
      EXPECT_TRUE(decodePng(readFile(out + "/" + f2x), &width2x, &height2x, &rgb)) << f2x;
      EXPECT_EQ(width2x, 2 * width) << f2x;
      EXPECT_EQ(height2x, 2 * height) << f2x;
      const std::string v = "?v=" + std::to_string(weather_.last);
      const std::string size =
          "width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\"";
      EXPECT_NE(page.find(f + v + "\" srcset=\"" + f2x + v + " 2x\" " + size), std::string::npos)
          << f;
    }
    const std::vector<std::string> listed = testsupport::listDir(out);
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), expected);
  }
  const std::string late = render(UNITS_US, dir_->file("late"), graphs::STALE_SECONDS + 1);
  EXPECT_NE(late.find("id=\"stale\""), std::string::npos);
}

// The values rrd_graph PRINTs for an argument list.
std::vector<double> printed(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  std::vector<double> values;
  rrd_clear_error();
  rrd_info_t *info = rrd_graph_v(static_cast<int>(argv.size()), argv.data());
  if (info == nullptr) ADD_FAILURE() << rrd_get_error();
  for (rrd_info_t *e = info; e != nullptr; e = e->next)
    if (strncmp(e->key, "print[", 6) == 0) values.push_back(strtod(e->value.u_str, nullptr));
  rrd_info_free(info);
  return values;
}

// The graphs' CDEFs and the page's numbers are one map: rrd evaluates the
// RPN to what the page computes, for every quantity in both systems.
TEST_F(Page, GraphsConvertAsThePageDoes) {
  for (unit_system units : {UNITS_US, UNITS_METRIC}) {
    for (const quantity &q : QUANTITIES) {
      if (q.ds == nullptr) continue;
      char rpn[160];
      quantityRpn(rpn, sizeof rpn, &q, units, 100, "v");
      const std::string span = std::to_string(weather_.last);
      const std::vector<double> v =
          printed({"graph", "-", "--start", std::to_string(weather_.last - 3600), "--end", span,
                   "DEF:v=" + db_ + ":" + q.ds + ":AVERAGE", std::string("CDEF:h=") + rpn,
                   "VDEF:a=v,AVERAGE", "VDEF:b=h,AVERAGE", "PRINT:a:%.9lf", "PRINT:b:%.9lf"});
      ASSERT_EQ(v.size(), 2u) << q.key;
      double mul, add;
      quantityDatabaseMap(&q, units, 100, &mul, &add);
      EXPECT_NEAR(v[1], v[0] * mul + add, 1e-6) << q.key << " " << rpn;
    }
  }
}

// Another database in the place of the one before, with an earlier last
// update: nothing kept of the one before (its days, its first sample) shows.
TEST_F(Page, AnotherDatabaseIsReadAfresh) {
  graphs::RenderOptions opt;
  opt.rrdPath = db_;
  opt.outDir = dir_->file("replaced");
  graphs::RenderState state;
  graphs::Conditions c;
  std::string why;
  ASSERT_TRUE(graphs::renderOnce(opt, weather_.last + 30, &state, &c, &why)) << why;
  opt.rrdPath = dir_->file("other.rrd");
  const time_t last = weather_.last - DAY / 4;
  ASSERT_TRUE(testsupport::createWeatherDb(opt.rrdPath, last - DAY - 60, &why) &&
              testsupport::fillWeatherDb(
                  opt.rrdPath, last - DAY, last,
                  [](time_t) { return davis_sample{700, 600, 5, 180, 29861, 40, 60, 0, 450, 600}; },
                  &why))
      << why;
  ASSERT_TRUE(graphs::renderOnce(opt, last + 30, &state, &c, &why)) << why;
  const std::string page = readFile(opt.outDir + "/" + graphs::PAGE_FILE);
  EXPECT_EQ(shown(page, "record-all-high"), "60.0 °F<small>28 Feb 2026");
  EXPECT_EQ(shown(page, "reach"), "The database reaches back to 28 Feb 2026 (1 day).");
}

// Rain bars: per hour over the day and week, per local day over the month;
// yesterday's 60 counts fell across two hours.
TEST_F(Page, RainBarsSumHoursAndLocalDays) {
  struct Case {
    int period;
    const char *function;
    double inches;
  };
  const Case cases[] = {
      {0, "MAXIMUM", 0.30},  // the fullest hour, of yesterday or this morning
      {1, "MAXIMUM", 0.30},
      {2, "MAXIMUM", 0.60},  // yesterday, midnight to midnight
      {2, "LAST", 0.37},     // today so far
  };
  const graphs::PlotStyle us;
  for (const Case &c : cases) {
    std::vector<std::string> args =
        graphs::graphArguments(db_, graphs::PERIODS[c.period],
                               graphs::CHARTS[graphs::CHART_COUNT - 1], us, 0, weather_.last);
    args.push_back(std::string("VDEF:probe=bar,") + c.function);
    args.push_back("PRINT:probe:%.4lf");
    const std::vector<double> v = printed(args);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NEAR(v[0], c.inches, 1e-6) << graphs::PERIODS[c.period].id << " " << c.function;
  }
}

// The program itself: its exit status and what it says for each kind of run.
TEST_F(Page, ProgramRuns) {
  const ScratchDir scratch("graphs-cli");
  std::string why;
  const std::string empty = scratch.file("empty.rrd");
  ASSERT_TRUE(testsupport::createWeatherDb(empty, weather_.last - 60, &why)) << why;
  const std::string colon = scratch.file("a:b.rrd");
  testsupport::writeFile(colon, readFile(db_));
  testsupport::writeFile(scratch.file("file"), "");
  const std::string fifo = scratch.file("weather.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char *probe;
    std::vector<std::string> args;
    int status;
    std::string err;   // in stderr
    std::string page;  // in the page written; with --print, in stdout
  };
  const std::string out = scratch.file("out/www");
  const std::string missing = scratch.file("missing.rrd");
  const Case cases[] = {
      // clang-format off
      {"empty database: says so", {"--rrd", empty}, 0, "", "id=\"no-samples\""},
      {"colon in the database path", {"--rrd", colon}, 0, "", "day-rain.png"},
      {"no database", {"--rrd", missing}, 1, "cannot read " + missing, ""},
      {"unknown units", {"--rrd", db_, "--units", "kelvin"}, 2,
       "kivamet-graphs: --units takes us or metric, not kelvin\n", ""},
      {"rain per count not positive", {"--rrd", db_, "--rain-per-count", "-1"}, 2,
       "kivamet-graphs: --rain-per-count takes inches above 0 and up to 1, not -1\n", ""},
      // librrd's open would wait for a writer for ever.
      {"a FIFO, watched", {"--rrd", fifo, "--watch"}, 1,
       "kivamet-graphs: cannot read " + fifo + ": not a regular file\n", ""},
      {"output below a file", {"--rrd", db_, "--out", scratch.file("file/www")}, 1, "file/www", ""},
      {"print", {"--rrd", db_, "--print"}, 0, "", "Outside temperature  70.0 °F\nInside"},
      {"print metric",
       {"--rrd", db_, "--print", "--units", "metric"},
       0,
       "",
       "Wind                 19.3 km/h SW\n"},
      {"print, empty database", {"--rrd", empty, "--print"}, 0, "", "No samples yet\n"},
      {"print, no database", {"--rrd", missing, "--print"}, 1, "cannot read " + missing, ""},
      {"print with a page", {"--rrd", db_, "--print", "--out", out}, 2,
       "kivamet-graphs: --print prints and writes no page: it takes no --out, not " + out + "\n",
       ""},
      // clang-format on
  };
  for (const Case &c : cases) {
    testsupport::removeTree(out);
    const bool print = std::find(c.args.begin(), c.args.end(), "--print") != c.args.end();
    std::vector<std::string> argv = {testsupport::binDir() + "/kivamet-graphs"};
    if (!print) argv.insert(argv.end(), {"--out", out});
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testsupport::Process p;
    ASSERT_TRUE(p.start(argv));
    EXPECT_EQ(p.wait(seconds(60)), c.status) << c.probe;
    EXPECT_NE(p.err().find(c.err), std::string::npos) << c.probe << ": " << p.err();
    // A bad option or value is one line, not the whole usage.
    if (c.status == 2) {
      EXPECT_EQ(p.err(), c.err) << c.probe;
    }
    if (print) {
      EXPECT_NE(access(out.c_str(), F_OK), 0) << c.probe;  // no page written
    }
    const std::string page = print ? p.out() : readFile(out + "/index.html");
    EXPECT_NE(page.find(c.page), std::string::npos) << c.probe;
    EXPECT_EQ(page.find("nan"), std::string::npos) << c.probe;
  }
}

// --watch renders at start, again after new samples (once for a burst of
// them) and when the last sample turns stale, follows a replaced folder,
// and ends with 0 on SIGTERM and SIGINT.
TEST_F(Page, WatchFollowsNewSamples) {
  const ScratchDir scratch("graphs-watch");
  auto watch = [&](testsupport::Process &p, const std::string &db, const std::string &out) {
    return p.start({testsupport::binDir() + "/kivamet-graphs", "--rrd", db, "--out",
                    scratch.file(out), "--watch"}) &&
           p.waitForStdout("rendered ", seconds(60));
  };
  const std::string folder = scratch.file("live");
  const std::string db = folder + "/weather.rrd";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  testsupport::writeFile(db, readFile(db_));
  testsupport::Process p;
  ASSERT_TRUE(watch(p, db, "www")) << p.err();
  size_t mark = p.out().size();

  davis_sample next = knownWeather(weather_, weather_.last);
  next.otemp = 733;
  std::string why;
  const auto same = [&](time_t) { return next; };
  // Writes one sample and gives the line of its pass. A pass copying the
  // file holds its lock for a moment, and an update that comes then fails:
  // the file's lock is waited for first (the update's own lock, of the same
  // process, then never conflicts).
  auto sample = [&](const std::string &file, time_t t) {
    const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    EXPECT_EQ(fcntl(fd, F_SETLKW, &lock), 0) << strerror(errno);
    EXPECT_TRUE(testsupport::fillWeatherDb(file, t, t, same, &why)) << why;
    close(fd);
    char when[16];
    strftime(when, sizeof when, "%H:%M:%S\n", localtime(&t));
    return std::string(when);
  };
  // Five samples at once, as a catch-up writes them: one pass, for the last.
  std::string last;
  for (int i = 1; i <= 5; i++) last = sample(db, weather_.last + 60 * i);
  ASSERT_TRUE(p.waitForStdout(last, seconds(60), mark)) << p.out() << p.err();
  const std::string passes = p.out().substr(mark);
  EXPECT_EQ(passes.find("rendered "), passes.rfind("rendered ")) << passes;
  EXPECT_EQ(shown(readFile(scratch.file("www/index.html")), "now-outside_temperature"), "73.3 °F");

  // The folder renamed away and another put in its place.
  mark = p.out().size();
  ASSERT_EQ(rename(folder.c_str(), scratch.file("old").c_str()), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  testsupport::writeFile(db, readFile(scratch.file("old/weather.rrd")));
  ASSERT_TRUE(p.waitForStdout(sample(db, weather_.last + 360), seconds(60), mark))
      << p.out() << p.err();
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(seconds(30)), 0);

  // A sample about to turn stale: one more pass when it does, marking it.
  // The first pass has ten seconds, a sanitizer build included.
  const std::string quiet = scratch.file("quiet.rrd");
  const time_t t0 = time(nullptr) - graphs::STALE_SECONDS + 10;
  ASSERT_TRUE(testsupport::createWeatherDb(quiet, t0 - 60, &why) &&
              testsupport::fillWeatherDb(quiet, t0, t0, same, &why))
      << why;
  testsupport::Process q;
  ASSERT_TRUE(watch(q, quiet, "quiet")) << q.err();
  const std::string first = readFile(scratch.file("quiet/index.html"));
  ASSERT_TRUE(q.waitForStdout("rendered ", seconds(60), q.out().size())) << q.err();
  EXPECT_EQ(first.find("id=\"stale\""), std::string::npos);
  EXPECT_NE(readFile(scratch.file("quiet/index.html")).find("id=\"stale\""), std::string::npos);
  q.signal(SIGINT);
  EXPECT_EQ(q.wait(seconds(30)), 0);
}

// ---- Climate summaries --------------------------------------------------------

// Local clock time on a day of 2026 as a time.
time_t local(int month, int day, int hour, int minute) {
  return testsupport::localTime(2026, month, day, hour, minute);
}

// Known weather from 27 February to 20 March 2026 in a zone whose summer
// time starts on 8 March (02:00 becomes 03:00: 23 hours) and ends on 15
// March (02:00 becomes 01:00: 25 hours). Day d of March is 40+d F, with a
// high 15 F above at 14:00 and a low 10 F below at 06:00 (on the 8th 03:30
// and 01:30, on the 15th 23:55 and 00:30 of its 25 hours, on the 20th, read
// from 1-minute rows, 13:37 and 05:03), d rain counts (on the 15th in its
// last hour), 5 mph from the east (30 mph on the 12th at 15:00). The 5th has
// no samples. A sample at midnight is the day before's.
struct KnownDay {
  int day;
  int high[2], low[2];  // local hour and minute
};
const KnownDay KNOWN[] = {{8, {3, 30}, {1, 30}}, {15, {23, 55}, {0, 30}}, {20, {13, 37}, {5, 3}}};

KnownDay knownDay(int day) {
  for (const KnownDay &k : KNOWN)
    if (k.day == day) return k;
  return {day, {14, 0}, {6, 0}};
}

davis_sample summaryWeather(time_t t) {
  const time_t before = t - 1;
  struct tm lt;
  localtime_r(&before, &lt);
  const int month = lt.tm_mon + 1, day = lt.tm_mday;
  const int base = month == 3 ? 400 + 10 * day : 400;
  const KnownDay k = knownDay(month == 3 ? day : 0);
  davis_sample s = {700, static_cast<int16_t>(base), 5, 90, 29900, 40, 60, 0, 300, 0};
  if (t == local(month, day, k.high[0], k.high[1])) s.otemp = static_cast<int16_t>(base + 150);
  if (t == local(month, day, k.low[0], k.low[1])) s.otemp = static_cast<int16_t>(base - 100);
  if (month == 3 && day == 12 && t == local(3, 12, 15, 0)) s.wsp = 30;
  // The rain total: d counts on day d, a minute apart from 12:00 (23:30 on the 15th).
  int total = 0;
  for (int d = 1; d <= (month == 3 ? day : 0); d++) {
    const time_t first = d == 15 ? local(3, 15, 23, 30) : local(3, d, 12, 0);
    total += static_cast<int>(std::clamp<time_t>(d == day ? (t - first) / 60 + 1 : d, 0, d));
  }
  s.rain = static_cast<int16_t>(total);
  return s;
}

class Summaries : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "KST-5KDT,M3.2.0/2,M3.3.0/2", 1);
    tzset();
    dir_ = new ScratchDir("summaries");
    db_ = dir_->file("weather.rrd");
    std::string why;
    const time_t from = local(2, 27, 0, 1), gap = local(3, 5, 0, 0), to = local(3, 20, 23, 59);
    ASSERT_TRUE(testsupport::createWeatherDb(db_, from - 60, &why)) << why;
    ASSERT_TRUE(testsupport::fillWeatherDb(db_, from, gap, summaryWeather, &why)) << why;
    ASSERT_TRUE(testsupport::fillWeatherDb(db_, gap + 86400 + 60, to, summaryWeather, &why)) << why;
  }
  static void TearDownTestSuite() { delete dir_; }

  static std::vector<graphs::DayWeather> days(int month) {
    std::vector<graphs::DayWeather> d;
    std::string why;
    EXPECT_TRUE(
        graphs::readDays(db_, local(month, 1, 0, 0), local(month + 1, 1, 0, 0) - 1, &d, &why))
        << why;
    return d;
  }

  static ScratchDir *dir_;
  static std::string db_;
};
ScratchDir *Summaries::dir_;
std::string Summaries::db_;

// The rows of a summary, split into words, by their first word.
std::map<std::string, std::vector<std::string>> rowsOf(const std::string &text) {
  std::map<std::string, std::vector<std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (!w.empty()) rows[w[0]] = w;
  }
  return rows;
}

TEST_F(Summaries, MonthAcrossDaylightSavingChanges) {
  const std::vector<graphs::DayWeather> march = days(3);
  ASSERT_EQ(march.size(), 31u);
  EXPECT_EQ(march[7].end - march[7].start, 23 * 3600);    // 8 March
  EXPECT_EQ(march[14].end - march[14].start, 25 * 3600);  // 15 March
  const std::string text = graphs::monthSummary("Known", 2026, 3, march, graphs::PlotStyle{});
  EXPECT_NE(text.find("MONTHLY CLIMATOLOGICAL SUMMARY for Mar. 2026"), std::string::npos);
  EXPECT_NE(text.find("TEMPERATURE (°F), RAIN (in), WIND SPEED (mph)"), std::string::npos);
  EXPECT_NE(text.find("HEAT BASE 65.0, COOL BASE 65.0"), std::string::npos);
  const auto rows = rowsOf(text);
  char want[160];
  for (int d = 1; d <= 31; d++) {
    const std::string day = std::to_string(d);
    ASSERT_EQ(rows.count(day), 1u) << day;
    const std::vector<std::string> &r = rows.at(day);
    if (d == 5 || d > 20) {
      std::vector<std::string> none(13, "---");
      none[0] = day;
      EXPECT_EQ(r, none) << d;
      continue;
    }
    const KnownDay k = knownDay(d);
    // DAY MEAN HIGH TIME LOW TIME HEAT COOL RAIN AVG-WIND (wind high and time
    // only on the 12th) DOM-DIR
    snprintf(want, sizeof want, "%d %d.0 %d.0 %02d:%02d %d.0 %02d:%02d %d.0 0.0 %.2f 5.0", d,
             40 + d, 55 + d, k.high[0], k.high[1], 30 + d, k.low[0], k.low[1], 25 - d, d / 100.0);
    std::string got;
    for (size_t i = 0; i < 10 && i < r.size(); i++) got += (i ? " " : "") + r[i];
    EXPECT_EQ(got, want) << d;
    ASSERT_EQ(r.size(), 13u) << d;
    EXPECT_EQ(r[10], d == 12 ? "30.0" : "5.0") << d;
    if (d == 12) {
      EXPECT_EQ(r[11], "15:00");
    }
    EXPECT_EQ(r[12], "90") << d;  // from the east
  }
  // The totals: the mean of the 19 days by their lengths, the highest high
  // and lowest low with their days, the sums, the strongest wind's day.
  const std::string totals = text.substr(text.rfind("---\n") + 4);
  EXPECT_EQ(
      totals,
      "      50.8   75.0     20   31.0      1  270.0    0.0   2.05    5.0   30.0     12    90\n");

  // The year: a row for each month in each of its three tables, February
  // of its two days.
  std::vector<graphs::DayWeather> year = days(2);
  year.insert(year.end(), march.begin(), march.end());
  const std::string annual = graphs::yearSummary("Known", 2026, year, graphs::PlotStyle{});
  const char *lines[] = {
      // YR MO, mean max and min, mean, degree days, highest and lowest with
      // their days, highs >= 90 and <= 32, lows <= 32 and <= 0.
      " 26  2   55.0   30.0   40.0      50      0   55.0   27   30.0   27     0     0     2     "
      "0\n",
      " 26  3   65.8   40.8   50.8     270      0   75.0   20   31.0    1     0     0     2     "
      "0\n",
      " 26  4\n",
      // Total, the wettest day and its date, days of .01, .1 and 1 in or more.
      " 26  3    2.05   0.20   20    19    11     0\n",
      // Mean and highest wind, its day, the dominant direction.
      " 26  3    5.0   30.0   12    90\n",
  };
  for (const char *line : lines) EXPECT_NE(annual.find(line), std::string::npos) << line << annual;
}

// A finished month's summary is written once; the current one again only
// after ten minutes.
TEST_F(Summaries, FinishedMonthsOnceTheCurrentOneEveryTenMinutes) {
  std::vector<graphs::DayWeather> all = days(2);
  const std::vector<graphs::DayWeather> march = days(3);
  all.insert(all.end(), march.begin(), march.end());
  const ScratchDir out("summaries-out");
  const time_t last = local(3, 20, 23, 59);
  time_t at = 0;
  std::vector<graphs::SummaryLink> links;
  std::string why;
  auto pass = [&](time_t now) {
    ASSERT_TRUE(graphs::writeSummaries(out.path(), "Known", graphs::PlotStyle{}, all, last, now,
                                       &at, &links, &why))
        << why;
  };
  pass(last + 30);
  std::string names;
  for (const graphs::SummaryLink &l : links) names += l.file + "=" + l.label + " ";
  EXPECT_EQ(names,
            "NOAA-2026.txt=2026 NOAA-2026-03.txt=March 2026 NOAA-2026-02.txt=February 2026 ");
  for (const char *f : {"NOAA-2026-02.txt", "NOAA-2026-03.txt", "NOAA-2026.txt"})
    ASSERT_TRUE(testsupport::writeFile(out.file(f), "as it was\n")) << f;
  struct Step {
    long after;      // seconds after the first pass
    bool rewritten;  // the current month and year
  };
  for (const Step &s : {Step{300, false}, Step{599, false}, Step{600, true}}) {
    pass(last + 30 + s.after);
    EXPECT_EQ(readFile(out.file("NOAA-2026-02.txt")), "as it was\n") << s.after;
    EXPECT_EQ(readFile(out.file("NOAA-2026-03.txt")) != "as it was\n", s.rewritten) << s.after;
    EXPECT_EQ(readFile(out.file("NOAA-2026.txt")) != "as it was\n", s.rewritten) << s.after;
  }
}

// ---- In a real browser ------------------------------------------------------

// Headless chromium on a page: no network (nor has the test's namespace), a
// fresh profile, nothing fetched for itself, and no sandbox (we are root).
int chromium(const ScratchDir &scratch, const std::string &page, std::vector<std::string> what,
             std::string *out) {
  std::vector<std::string> argv = {"chromium",
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--disable-dev-shm-usage",
                                   "--hide-scrollbars",
                                   "--user-data-dir=" + scratch.file("profile")};
  argv.insert(argv.end(), what.begin(), what.end());
  argv.push_back("file://" + page);
  testsupport::Process p;
  if (!p.start(argv, {{"HOME", scratch.path()}})) return -1;
  const int status = p.wait(seconds(120));
  *out = p.out();
  if (status != 0) ADD_FAILURE() << "chromium: " << p.err();
  return status;
}

TEST_F(Page, LoadsInABrowserAtPhoneAndDesktopWidths) {
  const ScratchDir scratch("graphs-browser");
  const std::string out = scratch.file("www");
  const std::string page = render(UNITS_US, out);
  std::string dom;
  ASSERT_EQ(chromium(scratch, out + "/index.html", {"--dump-dom"}, &dom), 0);
  for (const std::string &f : graphFiles(page))
    EXPECT_NE(dom.find("<img src=\"" + f + "?v="), std::string::npos) << f;
  EXPECT_NE(dom.find("id=\"now-outside_temperature\">70.0&nbsp;°F"), std::string::npos) << dom;
  EXPECT_NE(dom.find("id=\"now-wind\">12&nbsp;mph SW"), std::string::npos);

  for (const char *size : {"390,844", "1280,900"}) {
    const std::string shot = scratch.file(std::string("shot-") + size + ".png");
    std::string ignored;
    ASSERT_EQ(chromium(scratch, out + "/index.html",
                       {std::string("--window-size=") + size, "--screenshot=" + shot}, &ignored),
              0);
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(decodePng(readFile(shot), &width, &height, &rgb)) << size;
    EXPECT_EQ(std::to_string(width) + "," + std::to_string(height), size);
    // Not blank: many colours (text, cards, graph lines), much not white.
    std::set<uint32_t> colours;
    size_t inked = 0;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
      colours.insert(rgb[i] << 16 | rgb[i + 1] << 8 | rgb[i + 2]);
      if (rgb[i] + rgb[i + 1] + rgb[i + 2] < 600) inked++;
    }
    EXPECT_GT(colours.size(), 100u) << size;
    EXPECT_GT(inked, rgb.size() / 3 / 20) << size;
  }
}

}  // namespace
