// rows.h - the lines a benchmark program hands to scripts/bench: one figure
// beside its limit or reference, measured in the same run, and their ratio;
// or what could not be measured and why. Tab-separated, one per line.
#pragma once

#include <cstdio>
#include <string>

namespace benchrows {

struct Row {
  std::string figure;     // what was measured
  std::string value;      // with its unit
  std::string reference;  // the limit or reference it is set against
  std::string refValue;   // with its unit
  double ratio;           // as `ratioOf` says; below 0 when there is none
  std::string ratioOf;    // e.g. "raw/library"
  std::string goal;       // e.g. ">= 0.8", or "" for none
};

inline void print(const Row &r) {
  char ratio[64] = "-";
  if (r.ratio >= 0.01) {
    snprintf(ratio, sizeof ratio, "%.2f %s", r.ratio, r.ratioOf.c_str());
  } else if (r.ratio >= 0) {
    snprintf(ratio, sizeof ratio, "%.1e %s", r.ratio, r.ratioOf.c_str());
  }
  printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", r.figure.c_str(), r.value.c_str(), r.reference.c_str(),
         r.refValue.c_str(), ratio, r.goal.empty() ? "-" : r.goal.c_str());
  fflush(stdout);
}

inline void unmeasured(const std::string &what, const std::string &why) {
  printf("UNMEASURED\t%s\t%s\n", what.c_str(), why.c_str());
  fflush(stdout);
}

// printf into a std::string, for the value columns.
template <typename... Args>
std::string text(const char *format, Args... args) {
  char buffer[128];
  snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

}  // namespace benchrows
