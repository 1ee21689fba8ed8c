// station.cpp - memories, weather, clock and command answers of the
// simulated station.
#include "station.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>

#include "ccitt.h"
#include "quantities.h"

namespace stationsim {
namespace {

constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x21;  // what the logger sends for a command it refuses
constexpr uint8_t WRONG_ACK = 0x15;
constexpr uint8_t IMAGE_START = 0x01;
constexpr uint8_t WRONG_START = 0x02;

constexpr unsigned DRIFT_PERIOD_S = 5;
// Skipping more than a day of ticks at once only happens after the host
// was suspended; the clock then simply lags.
constexpr uint64_t MAX_TICKS = 86400;

// Link memory cells.
namespace lm {
constexpr unsigned NEWPTR = 0x100, OLDPTR = 0x104;
constexpr unsigned STIN = 0x11C, STOUT = 0x120, SWSP = 0x124, SWDIR = 0x126, SBAROM = 0x12A,
                   SHIN = 0x12E, SHOUT = 0x130, SRAIN = 0x132;
constexpr unsigned SAMPLEPER = 0x13A, ARCPERIOD = 0x13C, PREVRAIN = 0x140, LASTARCTIME = 0x148;
constexpr unsigned WDIRS = 0x15E;
// The record being gathered for the next archive entry, 21 bytes.
constexpr unsigned ABAROM = 0x188, AHIN = 0x18C, AHOUT = 0x18E, ARAIN = 0x190, ATINAVG = 0x194,
                   ATOUTAVG = 0x198, AWSPAVG = 0x19C, AWDIR = 0x19E, ATHIOUT = 0x1A0, AGUST = 0x1A4,
                   ATIMESTAMP = 0x1A6, ATLOWOUT = 0x1AE;
constexpr unsigned RECORD = ABAROM;
constexpr unsigned RECORD_BYTES = DAVIS_RECORD_BYTES;
}  // namespace lm

// Whole records only, so none straddles the end of the ring.
constexpr unsigned ARCHIVE_RING = DAVIS_ARCHIVE_RING;
// AWDIR for a period without wind: no compass point.
constexpr int NO_DIRECTION = 0xFF;

// The frozen station's readings.
struct Start {
  int tin = 712, tout = 584, wsp = 6, wdir = 225, bar = 29921, hin = 42, hout = 67, rain = 1234;
};

// A high/low family: the current value cell, its width, and the cells that
// record the extremes with the station time and date they happened at.
struct Extreme {
  unsigned value;
  unsigned width;  // nibbles of the value and of its extremes
  int hi, lo, htime, ltime, hdate, ldate;
};

const Extreme EXTREMES[] = {
    {sm::TP1DTA, 4, sm::TP1HI, sm::TP1LO, sm::TP1HTIME, sm::TP1LTIME, sm::TP1HDATE, sm::TP1LDATE},
    {sm::TP2DTA, 4, sm::TP2HI, sm::TP2LO, sm::TP2HTIME, sm::TP2LTIME, sm::TP2HDATE, sm::TP2LDATE},
    {sm::HM1DTA, 2, sm::HM1HI, sm::HM1LO, sm::HM1HTIME, sm::HM1LTIME, sm::HM1HDATE, sm::HM1LDATE},
    {sm::HM2DTA, 2, sm::HM2HI, sm::HM2LO, sm::HM2HTIME, sm::HM2LTIME, sm::HM2HDATE, sm::HM2LDATE},
    {sm::DEWDTA, 4, sm::DEWHI, sm::DEWLO, sm::DEWHTIME, sm::DEWLTIME, sm::DEWHDATE, sm::DEWLDATE},
    {sm::CHLDTA, 4, -1, sm::CHLLO, -1, sm::CHLLTIME, -1, sm::CHLLDATE},
};

uint8_t toBcd(int v) {
  return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}
int fromBcd(int b) {
  return ((b >> 4) & 0x0F) * 10 + (b & 0x0F);
}

int daysInMonth(int month, int year) {
  static const int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 31;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return DAYS[month - 1] + (month == 2 && leap ? 1 : 0);
}

// Plain MSB-first CRC, appended high byte first as the logger sends it.
void appendCrc(std::vector<uint8_t> &out, size_t from) {
  uint16_t crc = 0;
  for (size_t i = from; i < out.size(); i++)
    crc = static_cast<uint16_t>(crc_table[((crc >> 8) ^ out[i]) & 0xFF] ^ (crc << 8));
  out.push_back(static_cast<uint8_t>(crc >> 8));
  out.push_back(static_cast<uint8_t>(crc & 0xFF));
}

int compassIndex(int degrees) {
  return ((degrees % 360) * 2 + 22) / 45 % 16;
}

bool hasCrc(Cmd c) {
  return c == Cmd::SRD || c == Cmd::LOOP || c == Cmd::DMP || c == Cmd::MDMP;
}

long utcOffsetAt(time_t t) {
  struct tm lt;
  localtime_r(&t, &lt);
  return lt.tm_gmtoff;
}

}  // namespace

Station::Station(int model, bool drift, time_t start, Log log)
    : model_(model),
      drift_(drift),
      start_(start),
      course_(utcOffsetAt(start)),
      log_(std::move(log)) {
  initMemories(start);
}

// The course's readings now; its rain tips are added to the station's own
// counters, so a total a client wrote stays what it wrote.
Station::Weather Station::weatherNow() {
  const Readings r = course_.at(start_ + static_cast<time_t>(seconds_));
  int rain = link_.get16(lm::SRAIN) & 0xFFFF;
  if (weatherRain_ >= 0) {
    const int tips = (r.rain - weatherRain_) & 0xFFFF;
    rain = (rain + tips) & 0xFFFF;
    station_.set16(sm::YRNDTA, station_.get16(sm::YRNDTA) + tips);
    station_.set16(sm::DRNDTA, station_.get16(sm::DRNDTA) + tips);
  }
  weatherRain_ = r.rain;
  return Weather{r.tin, r.tout, r.wsp, r.wdir, r.bar, r.hin, r.hout, rain};
}

void Station::initMemories(time_t start) {
  struct tm lt;
  localtime_r(&start, &lt);
  year_ = lt.tm_year + 1900;
  // The cell is one nibble; a bigger code puts its high half in the next.
  station_.setNibble(sm::MODEL, static_cast<unsigned>(model_));
  if (model_ > 0x0F) station_.setNibble(sm::MODEL + 1, static_cast<unsigned>(model_ >> 4));

  const uint8_t t[3] = {toBcd(lt.tm_hour), toBcd(lt.tm_min), toBcd(lt.tm_sec)};
  station_.write(sm::TIME, t, 6);
  const uint8_t d[2] = {toBcd(lt.tm_mday), static_cast<uint8_t>(lt.tm_mon + 1)};
  station_.write(sm::DATE, d, 3);

  const Start s;
  Weather w{s.tin, s.tout, s.wsp, s.wdir, s.bar, s.hin, s.hout, s.rain};
  if (drift_) {
    // The course's own counter from the start, so that stations of the
    // same hours agree on the rain total too.
    w = weatherNow();
    w.rain = weatherRain_;
  }
  lastBar_ = w.bar;
  publish(w);

  // Highs and lows start at the current values, stamped now.
  for (const Extreme &e : EXTREMES) {
    std::vector<uint8_t> v = station_.read(e.value, e.width);
    for (int cell : {e.hi, e.lo})
      if (cell >= 0) station_.write(static_cast<unsigned>(cell), v.data(), e.width);
    if (e.htime >= 0) stampTime(static_cast<unsigned>(e.htime), static_cast<unsigned>(e.hdate));
    if (e.ltime >= 0) stampTime(static_cast<unsigned>(e.ltime), static_cast<unsigned>(e.ldate));
  }
  station_.set16(sm::SPDHI, 14);
  stampTime(sm::SPDHTIME, sm::SPDHDATE);

  // Alarm thresholds a user might have set.
  station_.set16(sm::SPDAHI, 40);
  station_.set16(sm::DEWAHI, 700);
  station_.set16(sm::CHLALO, 200);
  station_.set8(sm::BARALM, 0);
  station_.set16(sm::TP1AHI, 900);
  station_.set16(sm::TP1ALO, 500);
  station_.set16(sm::TP2AHI, 1000);
  station_.set16(sm::TP2ALO, 200);
  station_.set8(sm::HM1AHI, 80);
  station_.set8(sm::HM1ALO, 20);
  station_.set8(sm::HM2AHI, 95);
  station_.set8(sm::HM2ALO, 10);
  const uint8_t alarm[2] = {0x06, 0x30};
  station_.write(sm::TIMEALM, alarm, 4);

  // Calibration: small offsets, the rain collector at 100 tips an inch.
  station_.set16(sm::STNDRD, 25);
  station_.set16(sm::TP1CAL, -5);
  station_.set16(sm::TP2CAL, 3);
  station_.set16(sm::RNCAL, 100);
  station_.set16(sm::HM2CAL, 2);
  station_.set16(sm::YRNDTA, s.rain);
  station_.set16(sm::DRNDTA, 12);

  link_.set16(lm::NEWPTR, 0);
  link_.set16(lm::OLDPTR, 0);
  link_.set8(lm::SAMPLEPER, 256 - 60);
  link_.set8(lm::ARCPERIOD, 30);
  link_.set16(lm::PREVRAIN, w.rain);
  link_.set16(lm::LASTARCTIME, lt.tm_hour * 60 + lt.tm_min);
  // A south-westerly site.
  const int histogram[16] = {3, 2, 1, 1, 2, 3, 5, 8, 12, 18, 22, 15, 9, 6, 4, 3};
  for (unsigned i = 0; i < 16; i++) link_.set8(lm::WDIRS + 2 * i, histogram[i]);
  link_.set16(lm::ATHIOUT, w.tout);
  link_.set16(lm::ATLOWOUT, w.tout);
  link_.set8(lm::AGUST, w.wsp);
  alignArchive();
}

// The logger archives on the period's boundaries of its clock (every
// 5 minutes: at :00, :05, ...), so the first period may be a short one.
void Station::alignArchive() {
  const unsigned period = static_cast<unsigned>(link_.get8(lm::ARCPERIOD)) * 60;
  const unsigned ofDay = static_cast<unsigned>(fromBcd(station_.get8(sm::TIME)) * 3600 +
                                               fromBcd(station_.get8(sm::MINUTE)) * 60 +
                                               fromBcd(station_.get8(sm::SECOND)));
  arcSeconds_ = period > 0 ? ofDay % period : 0;
}

bool Station::setArchive(int minutes, unsigned next) {
  if (minutes < 1 || minutes > 255 || next >= ARCHIVE_RING || next % lm::RECORD_BYTES != 0)
    return false;
  link_.set8(lm::ARCPERIOD, minutes);
  link_.set16(lm::NEWPTR, static_cast<int>(next));
  link_.set16(lm::OLDPTR, static_cast<int>(next));
  alignArchive();
  return true;
}

long Station::spoilRecord(unsigned back) {
  if (back == 0) {
    spoilt_.clear();
    return 0;
  }
  const unsigned newptr = static_cast<unsigned>(link_.get16(lm::NEWPTR) & 0xFFFF) % ARCHIVE_RING;
  const unsigned oldptr = static_cast<unsigned>(link_.get16(lm::OLDPTR) & 0xFFFF) % ARCHIVE_RING;
  const unsigned held = (newptr + ARCHIVE_RING - oldptr) % ARCHIVE_RING / lm::RECORD_BYTES;
  if (back > held) return -1;
  const unsigned at = (newptr + ARCHIVE_RING - back * lm::RECORD_BYTES) % ARCHIVE_RING;
  spoilt_.push_back(at);
  return at;
}

void Station::playPast(uint64_t seconds) {
  const bool drift = drift_;
  drift_ = true;
  // advance() skips what lies more than a day ahead; the past is played whole.
  while (seconds_ < seconds) advance(std::min(seconds, seconds_ + MAX_TICKS));
  drift_ = drift;
}

void Station::stampTime(unsigned timeAddr, unsigned dateAddr) {
  const uint8_t t[2] = {static_cast<uint8_t>(station_.get8(sm::TIME)),
                        static_cast<uint8_t>(station_.get8(sm::MINUTE))};
  station_.write(timeAddr, t, 4);
  const uint8_t d[2] = {static_cast<uint8_t>(station_.get8(sm::DATE)),
                        static_cast<uint8_t>(station_.nibble(sm::MONTH))};
  station_.write(dateAddr, d, 3);
}

Station::Weather Station::loadWeather() const {
  return Weather{link_.get16(lm::STIN),  link_.get16(lm::STOUT),         link_.get8(lm::SWSP),
                 link_.get16(lm::SWDIR), link_.get16(lm::SBAROM),        link_.get8(lm::SHIN),
                 link_.get8(lm::SHOUT),  link_.get16(lm::SRAIN) & 0xFFFF};
}

// The link's sensor fields are the image; the station's own cells follow.
void Station::publish(const Weather &w) {
  link_.set16(lm::STIN, w.tin);
  link_.set16(lm::STOUT, w.tout);
  link_.set8(lm::SWSP, w.wsp);
  link_.set16(lm::SWDIR, w.wdir);
  link_.set16(lm::SBAROM, w.bar);
  link_.set8(lm::SHIN, w.hin);
  link_.set8(lm::SHOUT, w.hout);
  link_.set16(lm::SRAIN, w.rain);
  station_.set16(sm::TP1DTA, w.tin);
  station_.set16(sm::TP2DTA, w.tout);
  station_.set8(sm::SPDDTA, w.wsp);
  station_.set16(sm::DIRDTA, w.wdir);
  station_.set16(sm::BARDTA, w.bar);
  station_.set8(sm::HM1DTA, w.hin);
  station_.set8(sm::HM2DTA, w.hout);
  station_.set16(sm::DEWDTA, quantityDewPoint(w.tout, w.hout));
  station_.set16(sm::CHLDTA, quantityWindChill(w.tout, w.wsp));
  // Trend bits: 1 steady, 2 rising, 4 falling.
  const int trend = w.bar > lastBar_ ? 2 : w.bar < lastBar_ ? 4 : 1;
  station_.setNibble(sm::BARFLAG, static_cast<unsigned>(trend));
  lastBar_ = w.bar;
}

void Station::advance(uint64_t seconds) {
  if (seconds > seconds_ + MAX_TICKS) seconds_ = seconds - MAX_TICKS;
  while (seconds_ < seconds) {
    seconds_++;
    tick();
  }
}

void Station::tick() {
  int h = fromBcd(station_.get8(sm::TIME));
  int m = fromBcd(station_.get8(sm::MINUTE));
  int s = fromBcd(station_.get8(sm::SECOND));
  int day = fromBcd(station_.get8(sm::DATE));
  int month = static_cast<int>(station_.nibble(sm::MONTH));
  // Out-of-range cells (a client may write anything) carry like full ones.
  if (++s >= 60) {
    s = 0;
    if (++m >= 60) {
      m = 0;
      if (++h >= 24) {
        h = 0;
        // The day's rain starts again at midnight, the year's on New Year.
        station_.set16(sm::DRNDTA, 0);
        if (++day > daysInMonth(month, year_)) {
          day = 1;
          if (++month > 12) {
            month = 1;
            year_++;
            station_.set16(sm::YRNDTA, 0);
          }
        }
      }
    }
  }
  const uint8_t t[3] = {toBcd(h % 100), toBcd(m % 100), toBcd(s % 100)};
  station_.write(sm::TIME, t, 6);
  station_.set8(sm::DATE, toBcd(day % 100));
  station_.setNibble(sm::MONTH, static_cast<unsigned>(month));

  if (drift_ && seconds_ % DRIFT_PERIOD_S == 0) driftStep();
  sumPeriod();

  const int period = link_.get8(lm::ARCPERIOD);
  if (arcTimer_ && logging_ && period > 0 && ++arcSeconds_ >= static_cast<unsigned>(period) * 60) {
    takeArchive();
    arcSeconds_ = 0;
  }
}

void Station::driftStep() {
  const Weather w = weatherNow();
  publish(w);
  trackExtremes();

  const unsigned cell = lm::WDIRS + 2 * static_cast<unsigned>(compassIndex(w.wdir));
  if (link_.get8(cell) == 0xFF)
    for (unsigned i = 0; i < 16; i++)
      link_.set8(lm::WDIRS + 2 * i, link_.get8(lm::WDIRS + 2 * i) / 2);
  link_.set8(cell, link_.get8(cell) + 1);

  link_.set16(lm::ATHIOUT, std::max(link_.get16(lm::ATHIOUT), w.tout));
  link_.set16(lm::ATLOWOUT, std::min(link_.get16(lm::ATLOWOUT), w.tout));
  link_.set8(lm::AGUST, std::max(link_.get8(lm::AGUST), w.wsp));
}

void Station::trackExtremes() {
  auto value = [this](unsigned addr, unsigned width) {
    return width == 2 ? station_.get8(addr) : station_.get16(addr);
  };
  for (const Extreme &e : EXTREMES) {
    const int v = value(e.value, e.width);
    std::vector<uint8_t> raw = station_.read(e.value, e.width);
    if (e.hi >= 0 && v > value(static_cast<unsigned>(e.hi), e.width)) {
      station_.write(static_cast<unsigned>(e.hi), raw.data(), e.width);
      stampTime(static_cast<unsigned>(e.htime), static_cast<unsigned>(e.hdate));
    }
    if (e.lo >= 0 && v < value(static_cast<unsigned>(e.lo), e.width)) {
      station_.write(static_cast<unsigned>(e.lo), raw.data(), e.width);
      stampTime(static_cast<unsigned>(e.ltime), static_cast<unsigned>(e.ldate));
    }
  }
  if (station_.get8(sm::SPDDTA) > station_.get16(sm::SPDHI)) {
    station_.set16(sm::SPDHI, station_.get8(sm::SPDDTA));
    stampTime(sm::SPDHTIME, sm::SPDHDATE);
  }
}

void Station::sumPeriod() {
  const Weather w = loadWeather();
  period_.tin += w.tin;
  period_.tout += w.tout;
  period_.wsp += w.wsp;
  period_.seconds++;
  if (w.wsp > 0) period_.windFrom[compassIndex(w.wdir)]++;
}

// Temperatures and wind speed are the period's averages, the direction the
// one the wind blew from longest; barometer and humidity are read at the end.
void Station::takeArchive() {
  const Weather w = loadWeather();
  const PeriodSums p = period_.seconds > 0 ? period_ : PeriodSums{w.tin, w.tout, w.wsp, 1, {}};
  period_ = PeriodSums{};
  auto average = [&p](long sum) {
    return static_cast<int>(std::lround(static_cast<double>(sum) / p.seconds));
  };
  const int *longest = std::max_element(std::begin(p.windFrom), std::end(p.windFrom));
  link_.set16(lm::ABAROM, w.bar);
  link_.set8(lm::AHIN, w.hin);
  link_.set8(lm::AHOUT, w.hout);
  link_.set16(lm::ARAIN, (w.rain - link_.get16(lm::PREVRAIN)) & 0xFFFF);
  link_.set16(lm::ATINAVG, average(p.tin));
  link_.set16(lm::ATOUTAVG, average(p.tout));
  link_.set8(lm::AWSPAVG, average(p.wsp));
  link_.set8(lm::AWDIR,
             *longest > 0 ? static_cast<int>(longest - std::begin(p.windFrom)) : NO_DIRECTION);
  const uint8_t stamp[4] = {static_cast<uint8_t>(station_.get8(sm::TIME)),
                            static_cast<uint8_t>(station_.get8(sm::MINUTE)),
                            static_cast<uint8_t>(station_.get8(sm::DATE)),
                            static_cast<uint8_t>(station_.nibble(sm::MONTH))};
  link_.write(lm::ATIMESTAMP, stamp, 8);

  const unsigned newptr = static_cast<unsigned>(link_.get16(lm::NEWPTR) & 0xFFFF) % ARCHIVE_RING;
  std::vector<uint8_t> record = link_.read(lm::RECORD, 2 * lm::RECORD_BYTES);
  std::copy(record.begin(), record.end(), archive_.begin() + newptr);
  const unsigned next = (newptr + lm::RECORD_BYTES) % ARCHIVE_RING;
  link_.set16(lm::NEWPTR, static_cast<int>(next));
  if (next == static_cast<unsigned>(link_.get16(lm::OLDPTR) & 0xFFFF))
    link_.set16(lm::OLDPTR, static_cast<int>((next + lm::RECORD_BYTES) % ARCHIVE_RING));

  link_.set16(lm::PREVRAIN, w.rain);
  link_.set16(lm::LASTARCTIME,
              fromBcd(station_.get8(sm::TIME)) * 60 + fromBcd(station_.get8(sm::MINUTE)));
  link_.set16(lm::ATHIOUT, w.tout);
  link_.set16(lm::ATLOWOUT, w.tout);
  link_.set8(lm::AGUST, w.wsp);
}

std::vector<uint8_t> Station::image() const {
  return link_.read(lm::STIN, 2 * IMAGE_BYTES);
}

void Station::writeLog(const char *mem, unsigned addr, const uint8_t *b, size_t n) {
  std::string line = std::string("write ") + mem;
  char hex[16];
  snprintf(hex, sizeof hex, " %x", addr);
  line += hex;
  for (size_t i = 0; i < n; i++) {
    snprintf(hex, sizeof hex, " %02x", b[i]);
    line += hex;
  }
  log_(line);
}

Reply Station::handle(const Frame &f) {
  // A silent station hears nothing either: no memory changes.
  if (silent_) return {};
  Reply r{answer(f)};
  applyFault(f.cmd, r);
  return r;
}

std::vector<uint8_t> Station::answer(const Frame &f) {
  const std::vector<uint8_t> &b = f.bytes;
  std::vector<uint8_t> out{ACK};
  switch (f.cmd) {
    case Cmd::WRD: {
      // Count in the high half, bank code 2 or 4 in the low half.
      const unsigned bank = b[3] & 0x0F;
      if (bank != 2 && bank != 4) return {NAK};
      const unsigned addr = (bank == 4 ? 0x100u : 0u) | b[4];
      unsigned n = static_cast<unsigned>(b[3] >> 4);
      // The model probe of a station with a code above 15 gets both halves.
      if (addr == sm::MODEL && n == 1 && model_ > 0x0F) n = 2;
      const std::vector<uint8_t> data = station_.read(addr, n);
      out.insert(out.end(), data.begin(), data.end());
      break;
    }
    case Cmd::WWR: {
      const unsigned bank = b[3] & 0x0F;
      if (bank != 1 && bank != 3) return {NAK};
      const unsigned addr = (bank == 3 ? 0x100u : 0u) | b[4];
      const unsigned n = static_cast<unsigned>(b[3] >> 4);
      station_.write(addr, &b[5], n);
      writeLog("station", addr, &b[5], (n + 1) / 2);
      break;
    }
    case Cmd::RRD: {
      const std::vector<uint8_t> data =
          link_.read((static_cast<unsigned>(b[3]) << 8) | b[4], static_cast<unsigned>(b[5]) + 1);
      out.insert(out.end(), data.begin(), data.end());
      break;
    }
    case Cmd::RWR: {
      const unsigned addr = (static_cast<unsigned>(b[3] >> 4) << 8) | b[4];
      const unsigned n = (b[3] & 0x0Fu) + 1;
      link_.write(addr, &b[5], n);
      writeLog("link", addr, &b[5], (n + 1) / 2);
      break;
    }
    case Cmd::SRD: {
      const unsigned addr = b[3] | (b[4] << 8);
      const unsigned n = (b[5] | (b[6] << 8)) + 1u;
      for (unsigned i = 0; i < n; i++) out.push_back(archive_[(addr + i) % ARCHIVE_BYTES]);
      appendCrc(out, 1);
      // A spoilt record spoils every read that covers any of its bytes.
      for (unsigned at : spoilt_)
        if (at < addr + n && addr < at + lm::RECORD_BYTES) {
          out.back() ^= 0xFF;
          break;
        }
      break;
    }
    case Cmd::SWR: {
      const unsigned addr = b[3] | (b[4] << 8);
      archive_[addr % ARCHIVE_BYTES] = b[5];
      writeLog("archive", addr, &b[5], 1);
      break;
    }
    case Cmd::LOOP: {
      if (model_ > 3) return {NAK};
      // The image count travels as its 16-bit two's complement; 0 is 65536.
      unsigned npaks = (65536u - (b[4] | (b[5] << 8))) & 0xFFFF;
      if (npaks == 0) npaks = 65536;
      const std::vector<uint8_t> img = image();
      out.push_back(IMAGE_START);
      out.reserve(2 + npaks * IMAGE_BYTES + 2);
      for (unsigned i = 0; i < npaks; i++) out.insert(out.end(), img.begin(), img.end());
      appendCrc(out, 2);
      break;
    }
    case Cmd::DMP: {
      // Every record from the oldest to the newest, then one CRC over them.
      const unsigned oldptr =
          static_cast<unsigned>(link_.get16(lm::OLDPTR) & 0xFFFF) % ARCHIVE_RING;
      const unsigned newptr =
          static_cast<unsigned>(link_.get16(lm::NEWPTR) & 0xFFFF) % ARCHIVE_RING;
      for (unsigned p = oldptr; p != newptr; p = (p + 1) % ARCHIVE_RING) out.push_back(archive_[p]);
      appendCrc(out, 1);
      break;
    }
    case Cmd::MDMP: {
      if (model_ < 4) return {NAK};
      // The first 256 nibbles, with no acknowledgement in front.
      out = station_.read(0, 256);
      appendCrc(out, 0);
      break;
    }
    case Cmd::SAP:
      link_.set8(lm::ARCPERIOD, b[3]);
      arcSeconds_ = 0;
      break;
    case Cmd::SSP:
      link_.set8(lm::SAMPLEPER, b[3]);
      break;
    case Cmd::STOP:
      logging_ = false;
      break;
    case Cmd::START:
      logging_ = true;
      break;
    case Cmd::ARC:
      takeArchive();
      break;
    case Cmd::IMG:
      publish(loadWeather());
      break;
    case Cmd::DBT:
      arcTimer_ = false;
      break;
    case Cmd::EBT:
      arcTimer_ = true;
      break;
  }
  return out;
}

void Station::applyFault(Cmd cmd, Reply &r) {
  if (r.bytes.empty()) return;
  const bool refused = r.bytes.size() == 1 && r.bytes[0] == NAK;
  const bool acked = cmd != Cmd::MDMP && r.bytes[0] == ACK;
  const bool image = cmd == Cmd::LOOP && !refused;
  const bool crc = hasCrc(cmd) && !refused;
  auto take = [this](Fault k) {
    int &n = faults_[static_cast<int>(k)];
    if (n <= 0) return false;
    if (faultsAfter_[static_cast<int>(k)] > 0) {
      faultsAfter_[static_cast<int>(k)]--;
      return false;
    }
    n--;
    return true;
  };
  // One fault a reply, and a kind waits for a reply it can spoil.
  if (take(Fault::Drop)) {
    r.bytes.clear();
    r.drop = true;
  } else if (take(Fault::Late)) {
    r.late = true;
  } else if (acked && take(Fault::Ack)) {
    // A refusal carries nothing after it.
    r.bytes.assign(1, WRONG_ACK);
  } else if (image && take(Fault::Start)) {
    r.bytes[1] = WRONG_START;
  } else if (crc && take(Fault::Crc)) {
    r.bytes[r.bytes.size() - 1] ^= 0xFF;
    r.bytes[r.bytes.size() - 2] ^= 0xFF;
  } else if (take(Fault::Short)) {
    r.bytes.resize(r.bytes.size() / 2);
  }
}

}  // namespace stationsim
