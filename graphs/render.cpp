// render.cpp - one pass of the weather page.
#include "render.h"

#include "atomicfile.h"
#include "days.h"

namespace graphs {

const char PAGE_FILE[] = "index.html";

namespace {

// The records and the climate summaries: the local days of every month
// the database holds, read once for both.
bool longView(const RenderOptions &opt, const Snapshot &db, time_t now, RenderState *state,
              const Conditions *conditions, PageInput *page, std::string *why) {
  const time_t last = conditions->lastSample;
  const std::vector<DayWeather> &days = state->days;
  std::string reason;
  const time_t first = conditions->firstSample != 0 ? conditions->firstSample : last;
  // A day that ended by the last update is final: rrd_update writes only
  // after it.
  if (!updateDays(db.path(), monthStart(first), monthEnd(last) - 1, last, &state->days, &reason)) {
    *why = "cannot read " + opt.rrdPath + ": " + db.named(reason);
    return false;
  }
  struct tm lt;
  localtime_r(&last, &lt);
  char month[32];
  strftime(month, sizeof month, "%b %Y", &lt);
  const time_t yearStart = localDate(lt.tm_year + 1900, 1, 1);
  page->records[0] = {month, summarize(days, monthStart(last), monthEnd(last))};
  page->records[1] = {std::to_string(lt.tm_year + 1900),
                      summarize(days, yearStart, monthEnd(last))};
  page->records[2] = {"All", summarize(days, 0, monthEnd(last))};
  return writeSummaries(opt.outDir, opt.title, opt.style, days, last, now, &state->summariesAt,
                        &page->summaries, why);
}

}  // namespace

bool renderOnce(const RenderOptions &opt, time_t now, RenderState *state, Conditions *conditions,
                std::string *why) {
  Snapshot db;
  std::string reason;
  if (!db.take(opt.rrdPath, &reason)) {
    *why = "cannot read " + opt.rrdPath + ": " + reason;
    return false;
  }
  return renderSnapshot(opt, db, now, state, conditions, why);
}

bool renderSnapshot(const RenderOptions &opt, const Snapshot &db, time_t now, RenderState *state,
                    Conditions *conditions, std::string *why) {
  if (!makeDirectories(opt.outDir, why)) return false;
  std::string reason;
  // A last update before the one of the pass before: another database (a
  // replaced one, or a folder put in the place of another). What was kept
  // of the one before is read again.
  const time_t updated = db.lastUpdate(&reason);
  if (updated < state->updated) {
    state->days.clear();
    state->firstSample = 0;
  }
  state->updated = updated;
  if (!readConditions(db.path(), now, conditions, &reason, state->firstSample)) {
    *why = "cannot read " + opt.rrdPath + ": " + db.named(reason);
    return false;
  }
  state->firstSample = conditions->firstSample;
  PageInput page;
  page.title = opt.title;
  page.style = opt.style;
  page.now = now;
  page.conditions = *conditions;
  const time_t last = conditions->lastSample;
  // Graphs and summaries first: the page never names a file that is not
  // there yet.
  for (int p = 0; p < PERIOD_COUNT && last != 0; p++) {
    const long row = static_cast<long>(last / PERIODS[p].step);
    if (state->drawnRow[p] == row) continue;
    for (int c = 0; c < CHART_COUNT; c++) {
      Image image;
      for (int zoom = ZOOM_COUNT; zoom >= 1; zoom--) {
        const std::string file = graphFileName(PERIODS[p], CHARTS[c], zoom);
        if (!renderGraph(db.path(), PERIODS[p], CHARTS[c], opt.style, conditions->firstSample, now,
                         &image, &reason, zoom)) {
          *why = "cannot draw " + file + " from " + opt.rrdPath + ": " + db.named(reason);
          return false;
        }
        if (!writeAtomically(opt.outDir, file, image.png, why)) return false;
      }
      // The 1x graph, drawn last, gives the page its size.
      state->graphs[p][c] =
          PageGraph{graphFileName(PERIODS[p], CHARTS[c], 1),
                    graphFileName(PERIODS[p], CHARTS[c], 2), image.width, image.height};
    }
    state->drawnRow[p] = row;
  }
  if (last != 0 && !longView(opt, db, now, state, conditions, &page, why)) return false;
  for (int p = 0; p < PERIOD_COUNT && last != 0; p++)
    for (int c = 0; c < CHART_COUNT; c++) page.graphs[p][c] = state->graphs[p][c];
  return writeAtomically(opt.outDir, PAGE_FILE, pageHtml(page), why);
}

}  // namespace graphs
