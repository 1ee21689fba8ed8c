// watch.h - keep the weather page current: render after each new sample.
#pragma once

#include "render.h"

namespace graphs {

// Renders, then again each time the database's last update time changes,
// and once more when the last sample turns stale, until SIGTERM or SIGINT.
// Sleeps in between: it wakes for changes in the database's folder
// (inotify), the stale moment and the signals only. Returns the exit
// status: 0 after a signal, 1 when the folder cannot be watched.
int watchAndRender(const RenderOptions &opt);

}  // namespace graphs
