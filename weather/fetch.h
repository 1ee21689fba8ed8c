/* fetch.h - one rrd_fetch of weather.rrd, its rows and columns, freed with
 * it. The weather page, its records and summaries, and the rain history
 * read the database through it.
 */
#ifndef KIVAMET_FETCH_H
#define KIVAMET_FETCH_H

#include <time.h>

#include <string>

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

#endif /* KIVAMET_FETCH_H */
