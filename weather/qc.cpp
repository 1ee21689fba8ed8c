// qc.cpp - limits and spike holds.
#include "qc.h"

#include <stdio.h>

#include <cmath>
#include <cstdlib>

#include "quantities.h"

namespace {

// A US value in station units, to a millionth so 26.00 inHg is 26000.
double stationValue(quantity_field field, double us) {
  const unit_form *f = quantityForm(quantityOfField(field), UNITS_US);
  return std::round((us - f->offset) / f->factor * 1e6) / 1e6;
}

// A station value in US units with its unit ("150.3 F").
std::string usText(quantity_field field, double station) {
  const quantity &q = *quantityOfField(field);
  const unit_form *f = quantityForm(&q, UNITS_US);
  char text[48];
  quantityFormat(text, sizeof text, &q, station * f->factor + f->offset, UNITS_US);
  return std::string(text) + " " + f->xplUnit;
}

// A rule's number in US units as the settings give it ("-40", "0.1"); a
// step has no offset.
std::string usNumber(quantity_field field, double station, bool step) {
  const unit_form *f = quantityForm(quantityOfField(field), UNITS_US);
  char text[32];
  snprintf(text, sizeof text, "%g", station * f->factor + (step ? 0.0 : f->offset));
  return text;
}

}  // namespace

qc_rules qcDefaults(void) {
  qc_rules r = {};
  qcSetLimits(&r, Q_OUTSIDE_TEMP, -40, 130);
  qcSetStep(&r, Q_OUTSIDE_TEMP, 10);
  qcSetLimits(&r, Q_INSIDE_TEMP, 0, 130);
  for (quantity_field f : {Q_OUTSIDE_HUMIDITY, Q_INSIDE_HUMIDITY}) {
    qcSetLimits(&r, f, 1, 100);
    qcSetStep(&r, f, 30);
  }
  qcSetLimits(&r, Q_BAROMETER, 26.00, 32.50);
  qcSetStep(&r, Q_BAROMETER, 0.10);
  qcSetLimits(&r, Q_WIND_SPEED, 0, 120);
  qcSetStep(&r, Q_WIND_SPEED, 50);
  return r;
}

void qcSetLimits(qc_rules *rules, quantity_field field, double lo, double hi) {
  qc_rule &r = rules->rule[field];
  r.limited = true;
  r.lo = stationValue(field, lo);
  r.hi = stationValue(field, hi);
}

void qcSetStep(qc_rules *rules, quantity_field field, double step) {
  qc_rule &r = rules->rule[field];
  r.stepped = true;
  // A difference: the offset of the unit form cancels out.
  r.step = std::round(step / quantityForm(quantityOfField(field), UNITS_US)->factor * 1e6) / 1e6;
}

void QualityControl::check(weather_sample *s, std::vector<std::string> *lines) {
  for (int i = 0; i < Q_FIELD_COUNT; i++) {
    const quantity_field f = static_cast<quantity_field>(i);
    const qc_rule &r = rules_.rule[f];
    if (!s->known[f] || !(r.limited || r.stepped)) continue;
    const int v = s->value[f];
    const char *key = quantityOfField(f)->key;
    if (r.limited && (v < r.lo || v > r.hi)) {
      s->known[f] = false;
      lines->push_back(std::string("qc: ") + key + " " + usText(f, v) + " outside the limits " +
                       usNumber(f, r.lo, false) + " to " + usNumber(f, r.hi, false) + " " +
                       quantityForm(quantityOfField(f), UNITS_US)->xplUnit);
      continue;
    }
    Track &t = track_[f];
    // The first value, one within the step of the last accepted, or one
    // that confirms the held value's level is taken.
    const bool taken = !r.stepped || !t.accepted || std::abs(v - t.value) <= r.step ||
                       (t.held && std::abs(v - t.heldValue) <= r.step);
    if (taken) {
      t.accepted = true;
      t.value = v;
      t.held = false;
      continue;
    }
    t.held = true;
    t.heldValue = v;
    s->known[f] = false;
    lines->push_back(std::string("qc: ") + key + " " + usText(f, v) + " held: more than " +
                     usNumber(f, r.step, true) + " " +
                     quantityForm(quantityOfField(f), UNITS_US)->xplUnit + " from " +
                     usText(f, t.value));
  }
}
