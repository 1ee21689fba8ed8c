// render.h - one pass of the weather page: read the database, draw the
// graphs that are due, write them and then the page into the output folder.
#pragma once

#include <time.h>

#include <string>

#include "page.h"
#include "plots.h"
#include "snapshot.h"

namespace graphs {

struct RenderOptions {
  std::string rrdPath;
  std::string outDir;
  std::string title = "Weather";
  PlotStyle style;
};

// Carried from pass to pass: which archive row each period was last drawn
// for. A period's graphs are drawn again only when its archive has a new
// row, so the year's graphs cost one pass an hour, not one a minute.
struct RenderState {
  long drawnRow[PERIOD_COUNT] = {-1, -1, -1, -1};
  PageGraph graphs[PERIOD_COUNT][CHART_COUNT];
  time_t summariesAt = 0;  // when the current month's summary was last written
  // The local days behind the records and the summaries; those that ended
  // by the last sample are not read again.
  std::vector<DayWeather> days;
  // The database's last update in the pass before, and its first sample
  // (0: not known).
  time_t updated = 0, firstSample = 0;
};

// The page's file name in the output folder.
extern const char PAGE_FILE[];

// One pass at time `now`; the output folder is made when missing. Fills `conditions` with what the
// page shows. Returns false with a reason naming the file when the database cannot be read or a
// file cannot be written; nothing half-written is left behind. Reads and draws from a snapshot of
// the database, so the database's lock is held only while it is copied.
bool renderOnce(const RenderOptions &opt, time_t now, RenderState *state, Conditions *conditions,
                std::string *why);
// The same from a snapshot already taken of opt.rrdPath.
bool renderSnapshot(const RenderOptions &opt, const Snapshot &db, time_t now, RenderState *state,
                    Conditions *conditions, std::string *why);

}  // namespace graphs
