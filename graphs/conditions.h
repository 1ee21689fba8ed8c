// conditions.h - what the weather page says in words and numbers, read
// from weather.rrd: the last sample and what is worked out from it, today's
// highs and lows, the rain, and the barometer three hours ago. Values stay in database units; the
// page converts them through the table of quantities.
#pragma once

#include <time.h>

#include <string>

#include "days.h"
#include "quantities.h"

namespace graphs {

// One extreme of the day: its value (NaN when unknown) and the end of the
// minute it was seen in.
struct Extreme {
  double value;
  time_t at;
};

// Takes `v`, seen in the row ending at `at`, into *e when it is known and
// lower (`lower`) or higher than *e; a tie keeps the earlier.
void takeExtreme(Extreme *e, double v, time_t at, bool lower);

struct Conditions {
  time_t lastSample = 0;   // 0: the database holds no sample yet
  time_t firstSample = 0;  // the oldest the database holds, to the minute or hour
  // Indexed like QUANTITIES; NaN where unknown. Rain is the raw counter.
  // The rows without a data source hold what kivamet works out from the
  // last sample, as the daemon does, and so does the wind chill.
  double current[QUANTITY_COUNT];
  Extreme low[QUANTITY_COUNT];
  Extreme high[QUANTITY_COUNT];
  double barometerBefore;  // barometer about three hours before the last sample
};

// How far back the barometer trend looks.
constexpr long TREND_SECONDS = 3 * 3600;

// Reads the conditions at time `now` (which fixes "today"). The first
// sample is taken as `firstSample` when that is given (not 0) and still in
// the database's reach, else it is found (a scan of the hourly rows).
// Returns false with librrd's reason when the database cannot be read.
bool readConditions(const std::string &rrdPath, time_t now, Conditions *c, std::string *why,
                    time_t firstSample = 0);

}  // namespace graphs
