/* derived.h - what is worked out from a reading, in one place: the dew
 * point's validity, wind chill, heat index, apparent temperature (the
 * formulas are in quantities.h) and the rain rate, the rain in the last
 * hour and the rain today (rain.h). Every reading passes here after
 * quality control (qc.h) and before any output sees it: live, logged and
 * the catch-up's past minutes alike.
 */
#ifndef KIVAMET_DERIVED_H
#define KIVAMET_DERIVED_H

#include <string>
#include <vector>

#include "qc.h"
#include "rain.h"
#include "sample.h"

/* Fills the derived values of a sample whose measured values are settled
 * (after quality control), with the rain figures at its time. A derived
 * value is unknown when a value it comes from is: the dew point and heat
 * index need the outside temperature and humidity, the wind chill the
 * temperature and wind speed, the apparent temperature all three. Wind
 * chill is kivamet's own; the station's stays for the database, or takes
 * kivamet's where the station gave none. */
void sampleDerive(weather_sample *s, const rain_figures &rain);

/* One stream of readings in time order: the daemon's live and logged
 * readings, or one catch-up's records. Quality control keeps its holds
 * and the rain history its counts between readings. */
class ReadingStream {
 public:
  explicit ReadingStream(const qc_rules &rules) : qc_(rules) {}

  /* Quality control of one reading; a line for each value that failed. */
  void check(weather_sample *s, std::vector<std::string> *lines) { qc_.check(s, lines); }

  /* Takes the reading's rain total into the history and fills its derived
   * values. */
  void complete(weather_sample *s);

  /* The history, to fill from the database before the first reading. */
  RainHistory &rain() { return rain_; }

 private:
  QualityControl qc_;
  RainHistory rain_;
};

#endif /* KIVAMET_DERIVED_H */
