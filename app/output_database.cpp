// output_database.cpp - the weather database as an output: each logged
// sample is stored in weather.rrd of the rrddir setting; the catch-up's
// batches go in with one rrd_update each.
#include <string>
#include <vector>

#include "database.h"
#include "output.h"
#include "rrdlog.h"

namespace {

class DatabaseOutput : public Output {
 public:
  explicit DatabaseOutput(const char *(*dir)(void)) : dir_(dir) {}

  bool logged(const weather_sample *samples, size_t count) override {
    if (count == 0) return true;
    char text[RRD_UPDATE_SIZE];
    if (count == 1) {
      sampleUpdateText(text, sizeof text, &samples[0]);
      return rrdStore(dir_(), samples[0].time, text) == RRD_STORED;
    }
    std::vector<std::string> texts;
    std::vector<const char *> args;
    texts.reserve(count);
    for (size_t i = 0; i < count; i++) {
      sampleUpdateText(text, sizeof text, &samples[i]);
      texts.emplace_back(text);
      args.push_back(texts.back().c_str());
    }
    return rrdStoreMany(dir_(), args.data(), static_cast<int>(args.size())) == RRD_STORED;
  }

 private:
  const char *(*dir_)(void);
};

std::unique_ptr<Output> make(const output_context &context) {
  return std::make_unique<DatabaseOutput>(context.databaseDir);
}

}  // namespace

extern const output_kind DATABASE_OUTPUT = {"database", nullptr, nullptr, make};
