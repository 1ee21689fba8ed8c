// output_database.cpp - the weather database as an output: logged samples
// are stored in weather.rrd of the rrddir setting, each batch with one
// rrd_update. Samples the file could not take because another program held
// its lock wait here, in order, and go in ahead of the next ones.
#include <algorithm>
#include <string>
#include <vector>

#include "database.h"
#include "helpers.h"
#include "output.h"
#include "rrdlog.h"

namespace {

// A week of minutes, the longest gap a catch-up fills: a reader that never
// lets go of the file costs the oldest samples beyond it, not the memory.
constexpr size_t PENDING_MAX = 7 * 24 * 60;

class DatabaseOutput : public Output {
 public:
  explicit DatabaseOutput(const char *(*dir)(void)) : dir_(dir) {}

  // True when the samples are stored or kept for the next pass.
  bool logged(const weather_sample *samples, size_t count) override {
    if (count == 0) return true;
    const std::string dir = dir_();
    if (dir != pendingDir_ && !pending_.empty()) {
      dbg("%zu samples kept for %s dropped: the database directory changed\n", pending_.size(),
          pendingDir_.c_str());
      pending_.clear();
    }
    pendingDir_ = dir;
    pending_.insert(pending_.end(), samples, samples + count);
    if (pending_.size() > PENDING_MAX) {
      const size_t over = pending_.size() - PENDING_MAX;
      dbg("database locked too long: the %zu oldest samples kept dropped\n", over);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(over));
    }
    const rrdResult r = store(dir.c_str());
    if (r == RRD_BUSY) return true;
    pending_.clear();
    return r == RRD_STORED;
  }

  // The samples still kept get one more try before the daemon goes.
  void stop() override {
    if (pending_.empty()) return;
    if (store(pendingDir_.c_str()) == RRD_BUSY)
      dbg("database still locked: %zu samples kept for %s lost\n", pending_.size(),
          pendingDir_.c_str());
    pending_.clear();
  }

 private:
  rrdResult store(const char *dir) {
    if (rrdResult r = rrdPrepare(dir); r != RRD_STORED) return r;
    // Kept minutes and a catch-up's past ones may interleave: librrd takes
    // only times that rise, so they go in order. A second sample in the same
    // second, or one not after the last update (a host clock set back),
    // would make it refuse the whole update; skipping it keeps the file.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const weather_sample &a, const weather_sample &b) { return a.time < b.time; });
    const time_t last = rrdLast(dir);
    std::vector<std::string> texts;
    std::vector<const char *> args;
    texts.reserve(pending_.size());
    time_t previous = last;
    size_t skipped = 0;
    for (const weather_sample &sample : pending_) {
      if (previous != static_cast<time_t>(-1) && sample.time <= previous) {
        skipped++;
        continue;
      }
      previous = sample.time;
      char text[RRD_UPDATE_SIZE];
      sampleUpdateText(text, sizeof text, &sample);
      texts.emplace_back(text);
    }
    if (skipped > 0)
      dbg("%zu samples not after the last update %ld or the sample before; skipped\n", skipped,
          static_cast<long>(last));
    if (texts.empty()) return RRD_SKIPPED;
    for (const std::string &t : texts) args.push_back(t.c_str());
    return rrdStoreMany(dir, args.data(), static_cast<int>(args.size()));
  }

  const char *(*dir_)(void);
  std::string pendingDir_;
  std::vector<weather_sample> pending_;
};

std::unique_ptr<Output> make(const output_context &context) {
  return std::make_unique<DatabaseOutput>(context.databaseDir);
}

}  // namespace

extern const output_kind DATABASE_OUTPUT = {"database", nullptr, nullptr, make};
