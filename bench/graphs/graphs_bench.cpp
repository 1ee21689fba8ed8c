// CPU time of the weather page from a database whose archives the page
// reads are full: a year and a day of one-minute samples, logged the
// daemon's way. Whole: every graph of the four periods and the page, as a
// one-shot run or the first pass of --watch does. Minute: what --watch does
// after each new sample, the day's graphs and the page. Reads: the same
// without the graphs, the reads of the database and the page.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>

#include "files.h"
#include "render.h"
#include "weatherdb.h"

namespace {

constexpr time_t DAY = 86400;

// A daily swing and slower weather on top; rain on some afternoons. The
// rain counter counts from the first sample, `from`.
davis_sample yearOfWeather(time_t t, time_t from) {
  const double day = 2 * M_PI * static_cast<double>(t % DAY) / DAY;
  const double slow = 2 * M_PI * static_cast<double>(t % (9 * DAY)) / (9 * DAY);
  davis_sample s;
  s.otemp = static_cast<int16_t>(550 + 120 * std::sin(day) + 80 * std::sin(slow));
  s.itemp = static_cast<int16_t>(700 + 10 * std::sin(day));
  s.wsp = static_cast<int8_t>(8 + 6 * std::sin(slow * 3) + (t / 60) % 5);
  s.wdir = static_cast<int16_t>(static_cast<long>(200 + 90 * std::sin(slow * 2)) % 360);
  s.barom = static_cast<int16_t>(29900 + 250 * std::sin(slow));
  s.ihum = 40;
  s.ohum = static_cast<int8_t>(65 - 20 * std::sin(day));
  s.rain =
      static_cast<int16_t>((t - from) / DAY * 12 + ((t / DAY) % 3 == 0 ? (t % DAY) / 7200 : 0));
  s.dew = static_cast<int16_t>(s.otemp - 90);
  s.chill = static_cast<int16_t>(s.otemp - s.wsp * 3);
  return s;
}

struct FullDatabase {
  FullDatabase() {
    const time_t now = time(nullptr);
    last = now - now % 60;
    const time_t first = last - 366 * DAY;
    std::string why;
    if (!testsupport::createWeatherDb(dir.file("weather.rrd"), first - 60, &why) ||
        !testsupport::fillWeatherDb(
            dir.file("weather.rrd"), first, last,
            [first](time_t t) { return yearOfWeather(t, first); }, &why))
      fprintf(stderr, "cannot fill the database: %s\n", why.c_str());
  }
  testsupport::ScratchDir dir{"graphs-bench"};
  time_t last = 0;
};

FullDatabase &database() {
  static FullDatabase db;
  return db;
}

enum class Pass { Whole, Minute, Reads };

void renderPage(benchmark::State &state, Pass pass) {
  FullDatabase &db = database();
  graphs::RenderOptions opt;
  opt.rrdPath = db.dir.file("weather.rrd");
  opt.outDir = db.dir.file("www");
  graphs::RenderState warm;
  graphs::Conditions c;
  std::string why;
  if (!graphs::renderOnce(opt, db.last, &warm, &c, &why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  for (auto _ : state) {
    graphs::RenderState s = warm;
    if (pass == Pass::Minute) s.drawnRow[0] = -1;  // a new minute: the day is due
    if (pass == Pass::Whole) s = graphs::RenderState();
    if (!graphs::renderOnce(opt, db.last, &s, &c, &why)) state.SkipWithError(why.c_str());
  }
}

void BM_WholePage(benchmark::State &state) {
  renderPage(state, Pass::Whole);
}
void BM_MinuteOfWatch(benchmark::State &state) {
  renderPage(state, Pass::Minute);
}
void BM_MinuteReads(benchmark::State &state) {
  renderPage(state, Pass::Reads);
}

BENCHMARK(BM_WholePage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MinuteOfWatch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MinuteReads)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
