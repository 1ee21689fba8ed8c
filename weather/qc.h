/* qc.h - quality control of readings, before anything is stored,
 * published or uploaded: the bad value a loose connector or a dead sensor
 * gives must not reach the database, the graphs or the networks.
 *
 * Limits: a value outside its quantity's limits is no reading.
 * Spikes: a value further than its step from the last accepted value is
 * held, and unknown at its own time; the next reading decides. Within the
 * step of the held value, the new level is real and is accepted from then
 * on; otherwise the held value was a spike. The steps are meant for
 * readings a minute apart; closer readings only make them looser.
 *
 * A value that fails is made unknown in the sample; the caller writes the
 * line that names it. The values derived from it follow (derived.h).
 */
#ifndef KIVAMET_QC_H
#define KIVAMET_QC_H

#include <string>
#include <vector>

#include "sample.h"

/* One quantity's rule, in station units. */
typedef struct {
  bool limited;
  double lo, hi;
  bool stepped;
  double step;
} qc_rule;

typedef struct {
  qc_rule rule[Q_FIELD_COUNT];
} qc_rules;

/* The defaults: outside temperature -40 to 130 F (step 10 F), inside
 * temperature 0 to 130 F, humidity outside and inside 1 to 100 % (step
 * 30 %), barometer 26.00 to 32.50 inHg (step 0.10 inHg), wind speed 0 to
 * 120 mph (step 50 mph). */
qc_rules qcDefaults(void);

/* Sets a quantity's limits or step given in US units, as the settings
 * file's [qc] and [qc.step] take them. */
void qcSetLimits(qc_rules *rules, quantity_field field, double lo, double hi);
void qcSetStep(qc_rules *rules, quantity_field field, double step);

class QualityControl {
 public:
  explicit QualityControl(const qc_rules &rules) : rules_(rules) {}

  /* Checks a reading's known values against their rules, in the order the
   * readings come. Each value that fails becomes unknown and gets one line
   * in *lines naming the quantity, the value and the rule, e.g.
   * "qc: outside_temperature 150.3 F outside the limits -40 to 130 F" or
   * "qc: outside_temperature 85.0 F held: more than 10 F from 70.0 F". */
  void check(weather_sample *s, std::vector<std::string> *lines);

 private:
  struct Track {
    bool accepted = false;  // a value was accepted
    int value = 0;          // the last accepted
    bool held = false;      // a value waits for the next reading
    int heldValue = 0;
  };
  qc_rules rules_;
  Track track_[Q_FIELD_COUNT];
};

#endif /* KIVAMET_QC_H */
