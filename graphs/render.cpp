// render.cpp - one pass of the weather page.
#include "render.h"

#include "output.h"

namespace graphs {

const char PAGE_FILE[] = "index.html";

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
  if (!readConditions(db.path(), now, conditions, &reason)) {
    *why = "cannot read " + opt.rrdPath + ": " + db.named(reason);
    return false;
  }
  PageInput page;
  page.title = opt.title;
  page.style = opt.style;
  page.now = now;
  page.conditions = *conditions;
  const time_t last = conditions->lastSample;
  // Graphs first: the page never names a graph that is not there yet.
  for (int p = 0; p < PERIOD_COUNT && last != 0; p++) {
    const long row = static_cast<long>(last / PERIODS[p].step);
    if (state->drawnRow[p] == row) continue;
    for (int c = 0; c < CHART_COUNT; c++) {
      Image image;
      const std::string file = graphFileName(PERIODS[p], CHARTS[c]);
      if (!renderGraph(db.path(), PERIODS[p], CHARTS[c], opt.style, conditions->firstSample, now,
                       &image, &reason)) {
        *why = "cannot draw " + file + " from " + opt.rrdPath + ": " + db.named(reason);
        return false;
      }
      if (!writeAtomically(opt.outDir, file, image.png, why)) return false;
      state->graphs[p][c] = PageGraph{file, image.width, image.height};
    }
    state->drawnRow[p] = row;
  }
  for (int p = 0; p < PERIOD_COUNT && last != 0; p++)
    for (int c = 0; c < CHART_COUNT; c++) page.graphs[p][c] = state->graphs[p][c];
  return writeAtomically(opt.outDir, PAGE_FILE, pageHtml(page), why);
}

}  // namespace graphs
