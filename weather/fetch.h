/* fetch.h - one rrd_fetch of weather.rrd, its rows and columns, freed with
 * it. The weather page, its records and summaries, and the rain history
 * read the database through it.
 */
#ifndef KIVAMET_FETCH_H
#define KIVAMET_FETCH_H

#include <time.h>

#include <string>
#include <vector>

class DatabaseFetch {
 public:
  DatabaseFetch() = default;
  DatabaseFetch(const DatabaseFetch &) = delete;
  DatabaseFetch &operator=(const DatabaseFetch &) = delete;
  ~DatabaseFetch();

  /* The rows of consolidation `cf` ("AVERAGE", "MIN", ...) between `start`
   * and `end` at `step` seconds or the finest archive covering them (librrd
   * picks). False with librrd's reason. */
  bool run(const std::string &path, const char *cf, time_t start, time_t end, unsigned long step,
           std::string *why);

  unsigned long rows() const { return step_ ? (end_ - start_) / step_ : 0; }
  unsigned long columns() const { return count_; }
  unsigned long step() const { return step_; }
  /* Row r covers (rowEnd - step, rowEnd]. */
  time_t rowEnd(unsigned long r) const { return start_ + static_cast<time_t>((r + 1) * step_); }
  const char *name(unsigned long column) const { return names_[column]; }
  /* The column of a data source, or -1. */
  long column(const char *name) const;
  /* NaN where unknown. */
  double at(unsigned long row, unsigned long column) const { return data_[row * count_ + column]; }

 private:
  void release();

  time_t start_ = 0, end_ = 0;
  unsigned long step_ = 0, count_ = 0;
  char **names_ = nullptr;
  double *data_ = nullptr;
};

/* Rows of one consolidation for a span, each part of it from the finest
 * archive that holds it: the database keeps 1-minute rows for a day back
 * from its last update, 5-minute rows for 31 days, hourly rows for three
 * years. Rows are in time order and do not overlap. */
class DatabaseRows {
 public:
  /* The rows of `cf` whose ends lie in (from, to]. False with librrd's
   * reason. */
  bool read(const std::string &path, const char *cf, time_t from, time_t to, std::string *why);

  size_t rows() const { return ends_.size(); }
  time_t rowEnd(size_t r) const { return ends_[r]; }
  long step(size_t r) const { return steps_[r]; }
  /* The column of a data source, or -1. */
  long column(const char *name) const;
  /* NaN where unknown. */
  double at(size_t r, long column) const { return values_[r * names_.size() + column]; }

 private:
  std::vector<std::string> names_;
  std::vector<time_t> ends_;
  std::vector<long> steps_;
  std::vector<double> values_;
};

#endif /* KIVAMET_FETCH_H */
