// weather.cpp - the simulated weather as a function of the time: smooth
// noise over several time scales for the slow changes, a daily course of
// temperature and humidity, and showers placed by a hash of their slot.
#include "weather.h"

#include <algorithm>
#include <cmath>

namespace stationsim {
namespace {

constexpr double PI = 3.14159265358979323846;
constexpr long MINUTE = 60;
constexpr long HOUR = 3600;
constexpr long DAY = 86400;
constexpr uint64_t SEED = 20240601;

// The course begins here (2024-01-01 00:00 UTC) with the rain counter at
// RAIN_BASE; it counts the tips of every shower since.
constexpr time_t EPOCH = 1704067200;
constexpr long RAIN_BASE = 1234;

// Each slot of 8 hours holds a shower with this chance in 100: about one a
// day, never two close enough to blur into one.
constexpr long SLOT = 8 * HOUR;
constexpr int SHOWER_CHANCE = 30;
// Ahead of a shower the barometer falls and the air grows damp for this
// long, and both come back as long after it.
constexpr long PRESSURE_LEAD = 4 * HOUR;
constexpr long DAMP_LEAD = 3 * HOUR;

// The mean outside temperature and its spread, in tenths of a degree: with
// the daily swing, nights of about 35 to 50 °F, cold enough for the wind
// chill to part from the temperature when there is wind.
constexpr double MEAN_TOUT = 520, MEAN_SPREAD = 70;
constexpr double SWING = 80, SWING_SPREAD = 35;
constexpr double MEAN_BAR = 29920, BAR_SPREAD = 220;

// Every quantity draws its noise from a channel of its own.
enum Channel : uint64_t {
  TEMP_MEAN = 1,
  TEMP_SWING,
  TEMP_JITTER,
  PRESSURE,
  PRESSURE_FAST,
  HUMIDITY,
  WIND_SPELL,
  WIND_GUST,
  WIND_DIR,
  WIND_DIR_FAST,
  INSIDE_TEMP,
  INSIDE_HUMIDITY,
  SHOWER
};

// splitmix64's finaliser: every input bit moves every output bit.
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

uint64_t hashOf(Channel c, long i, uint64_t part = 0) {
  return mix(SEED ^
             mix((static_cast<uint64_t>(c) << 56) ^ (part << 48) ^ static_cast<uint64_t>(i)));
}

long floorDiv(long a, long b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// A value in [-1, 1) for each point of the lattice.
double lattice(Channel c, long i) {
  return static_cast<double>(hashOf(c, i) >> 11) / static_cast<double>(1ULL << 52) - 1.0;
}

// Smooth noise in [-1, 1]: the lattice values `period` seconds apart,
// eased from one to the next.
double noise(Channel c, time_t t, long period) {
  const long i = floorDiv(static_cast<long>(t), period);
  const double f = static_cast<double>(t - i * period) / period;
  const double eased = f * f * (3 - 2 * f);
  return lattice(c, i) + (lattice(c, i + 1) - lattice(c, i)) * eased;
}

// 1 at the centre, falling smoothly to 0 at `half` seconds either side.
double bump(time_t t, double centre, double half) {
  const double x = (static_cast<double>(t) - centre) / half;
  return std::fabs(x) >= 1 ? 0 : (1 + std::cos(PI * x)) / 2;
}

struct Shower {
  bool any = false;
  time_t start = 0;
  long length = 0;  // seconds of rain
  int tips = 0;     // 0.01 in each
  int dip = 0;      // the barometer's fall, thousandths of an inch
  int cooling = 0;  // tenths of a degree
  int gust = 0;     // mph added at its front
  double centre() const { return static_cast<double>(start) + length / 2.0; }
};

// A whole number from lo to hi, drawn for one part of a slot's shower.
long pick(long slot, uint64_t part, long lo, long hi) {
  return lo + static_cast<long>(hashOf(SHOWER, slot, part) % static_cast<uint64_t>(hi - lo + 1));
}

Shower showerOf(long slot) {
  Shower s;
  if (pick(slot, 0, 0, 99) >= SHOWER_CHANCE) return s;
  s.any = true;
  s.length = pick(slot, 1, 20, 80) * MINUTE;
  // Whole within its slot, so that the slots' tips add up.
  s.start = EPOCH + slot * SLOT + pick(slot, 2, 0, SLOT - s.length);
  s.tips = static_cast<int>(pick(slot, 3, 2, 21));
  s.dip = static_cast<int>(pick(slot, 4, 100, 200));
  s.cooling = static_cast<int>(pick(slot, 5, 20, 70));
  s.gust = static_cast<int>(pick(slot, 6, 5, 16));
  return s;
}

// Tips of a shower up to t: slow at first and last, heaviest midway.
long tipsOf(const Shower &s, time_t t) {
  if (!s.any || t <= s.start) return 0;
  if (t >= s.start + s.length) return s.tips;
  const double f = static_cast<double>(t - s.start) / s.length;
  return static_cast<long>(s.tips * f * f * (3 - 2 * f));
}

long slotOf(time_t t) {
  return floorDiv(static_cast<long>(t - EPOCH), SLOT);
}

// -1 at 05:00 local time, +1 at 15:00: the day warms for 10 hours and
// cools for 14.
double dailyCourse(time_t t, long utcOffset) {
  const double hour = static_cast<double>(((t + utcOffset) % DAY + DAY) % DAY) / HOUR;
  if (hour >= 5 && hour < 15) return -std::cos(PI * (hour - 5) / 10);
  return std::cos(PI * (hour < 5 ? hour + 24 - 15 : hour - 15) / 14);
}

int rounded(double v) {
  return static_cast<int>(std::lround(v));
}

}  // namespace

long WeatherCourse::tipsUntil(time_t t) {
  const long slot = slotOf(t);
  if (slot < 0) return 0;
  if (cachedSlot_ < 0 || slot < cachedSlot_) {
    cachedSlot_ = 0;
    tipsBefore_ = 0;
  }
  for (; cachedSlot_ < slot; cachedSlot_++) tipsBefore_ += showerOf(cachedSlot_).tips;
  return tipsBefore_ + tipsOf(showerOf(slot), t);
}

Readings WeatherCourse::at(time_t t) {
  const double day = dailyCourse(t, utcOffset_);
  double tout = MEAN_TOUT + MEAN_SPREAD * noise(TEMP_MEAN, t, 2 * DAY) +
                (SWING + SWING_SPREAD * noise(TEMP_SWING, t, DAY)) * day +
                4 * noise(TEMP_JITTER, t, 10 * MINUTE);
  // Damp nights, drier afternoons.
  double hout = 70 - 22 * day + 8 * noise(HUMIDITY, t, DAY);
  double bar =
      MEAN_BAR + BAR_SPREAD * noise(PRESSURE, t, 3 * DAY) +
      40 * noise(PRESSURE_FAST, t, 10 * HOUR) +
      10 * std::cos(4 * PI * (static_cast<double>((t + utcOffset_) % DAY) / HOUR - 10) / 24);

  // Calm spells with hardly a breath, and gusty ones; more wind by day.
  const double spell = noise(WIND_SPELL, t, 5 * HOUR);
  const bool calm = spell < -0.35;
  double wsp = calm ? 1.5 * (spell + 1) / 0.65 : 4 + 12 * (spell + 0.35) / 1.35;
  wsp *= 1 + 0.25 * day;
  const double gustiness = calm ? 0.8 : spell > 0.3 ? 2 + 10 * (spell - 0.3) / 0.7 : 2;
  wsp += gustiness * noise(WIND_GUST, t, 20);
  double wdir = 225 + 80 * noise(WIND_DIR, t, 9 * HOUR) +
                (calm ? 60 : 20) * noise(WIND_DIR_FAST, t, 3 * MINUTE);

  // The showers of this slot and its neighbours reach this far.
  const long slot = slotOf(t);
  for (long k = slot - 1; k <= slot + 1; k++) {
    const Shower s = showerOf(k);
    if (!s.any) continue;
    const double c = s.centre();
    bar -= s.dip * bump(t, c, PRESSURE_LEAD);
    hout += (98 - hout) * bump(t, c, DAMP_LEAD);
    tout -= s.cooling * bump(t, c, 90 * MINUTE);
    wsp += s.gust * bump(t, c, HOUR);
  }

  Readings r;
  r.tout = rounded(tout);
  r.hout = std::clamp(rounded(hout), 15, 99);
  r.bar = std::clamp(rounded(bar), 28000, 31500);
  r.wsp = std::clamp(rounded(wsp), 0, 99);
  r.wdir = ((rounded(wdir) % 360) + 360) % 360;
  r.tin = rounded(700 + 8 * day + 5 * noise(INSIDE_TEMP, t, 8 * HOUR));
  r.hin = std::clamp(rounded(42 + 4 * noise(INSIDE_HUMIDITY, t, 2 * DAY) + (r.hout - 70) / 10.0),
                     20, 70);
  r.rain = static_cast<uint16_t>((RAIN_BASE + tipsUntil(t)) & 0xFFFF);
  return r;
}

}  // namespace stationsim
