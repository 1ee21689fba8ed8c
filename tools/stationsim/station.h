// station.h - the simulated station: its three memories, its weather, its
// clock, and the logger's answer to each command frame.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "davis.h"
#include "framer.h"
#include "memory.h"
#include "weather.h"

namespace stationsim {

enum class Fault { Drop, Ack, Start, Crc, Short, Late };
constexpr int FAULT_KINDS = 6;

struct Reply {
  std::vector<uint8_t> bytes;
  bool drop = false;  // hang up instead of answering
  bool late = false;  // answer whole, but only after the link has given up on it
};

// Station memory: two banks of 256 nibbles. Link memory: 16 banks, the
// most the link write's 4-bit bank field can name. Archive: 32 KiB.
constexpr unsigned STATION_NIBBLES = 0x200;
constexpr unsigned LINK_NIBBLES = 0x1000;
constexpr unsigned ARCHIVE_BYTES = DAVIS_ARCHIVE_BYTES;
constexpr unsigned IMAGE_BYTES = 15;

// Station memory cells (nibble addresses).
namespace sm {
constexpr unsigned MODEL = 0x04D;
constexpr unsigned SPDDTA = 0x05E, SPDHI = 0x060, SPDHTIME = 0x064, SPDHDATE = 0x068,
                   SPDAHI = 0x06B;
constexpr unsigned BARFLAG = 0x079;
constexpr unsigned DEWDTA = 0x08A, DEWHI = 0x08E, DEWLO = 0x092, DEWHTIME = 0x096, DEWLTIME = 0x09A,
                   DEWLDATE = 0x09E, DEWHDATE = 0x0A1, DEWAHI = 0x0A4;
constexpr unsigned CHLDTA = 0x0A8, CHLLO = 0x0AC, CHLLTIME = 0x0B0, CHLLDATE = 0x0B4,
                   CHLALO = 0x0B7;
constexpr unsigned BARDTA = 0x100, BARALM = 0x11A, STNDRD = 0x12C;
constexpr unsigned TP1DTA = 0x130, TP1HI = 0x134, TP1LO = 0x138, TP1HTIME = 0x13C, TP1LTIME = 0x140,
                   TP1HDATE = 0x144, TP1LDATE = 0x147, TP1AHI = 0x14A, TP1ALO = 0x14E,
                   TP1CAL = 0x152;
constexpr unsigned TP2DTA = 0x156, TP2HI = 0x15A, TP2LO = 0x15E, TP2HTIME = 0x162, TP2LTIME = 0x166,
                   TP2HDATE = 0x16A, TP2LDATE = 0x16D, TP2AHI = 0x170, TP2ALO = 0x174,
                   TP2CAL = 0x178;
constexpr unsigned HM1DTA = 0x180, HM1HI = 0x182, HM1LO = 0x184, HM1HTIME = 0x186, HM1LTIME = 0x18A,
                   HM1HDATE = 0x18E, HM1LDATE = 0x191, HM1AHI = 0x194, HM1ALO = 0x196;
constexpr unsigned HM2DTA = 0x198, HM2HI = 0x19A, HM2LO = 0x19C, HM2HTIME = 0x19E, HM2LTIME = 0x1A2,
                   HM2HDATE = 0x1A6, HM2LDATE = 0x1A9, HM2AHI = 0x1AC, HM2ALO = 0x1AE;
constexpr unsigned DIRDTA = 0x1B4;
constexpr unsigned TIME = 0x1BE, MINUTE = 0x1C0, SECOND = 0x1C2, TIMEALM = 0x1C4;
constexpr unsigned DATE = 0x1C8, MONTH = 0x1CA;
constexpr unsigned YRNDTA = 0x1CE, DRNDTA = 0x1D2, RNCAL = 0x1D6, HM2CAL = 0x1DA;
}  // namespace sm

class Station {
 public:
  using Log = std::function<void(const std::string &)>;

  // model: the code reported at 0x4D; start: host time the clock starts at.
  // Drifting, the readings follow the weather of the host's time; frozen,
  // they stay at fixed start values.
  Station(int model, bool drift, time_t start, Log log);

  // Moves the clock and the weather on to `seconds` since start.
  void advance(uint64_t seconds);
  Reply handle(const Frame &f);

  void setSilent(bool on) { silent_ = on; }
  void setDrift(bool on) { drift_ = on; }
  // The next `count` replies that this kind can spoil are spoilt, after the
  // first `after` of them went out whole; a count of 0 clears.
  void setFault(Fault kind, int count, int after = 0) {
    faults_[static_cast<int>(kind)] = count;
    faultsAfter_[static_cast<int>(kind)] = count > 0 ? after : 0;
  }
  // Archive period in minutes and the address of the next record (a whole
  // number of records into the ring); false for values the logger never has.
  bool setArchive(int minutes, unsigned next);
  // Every archive read that covers the `back`-th newest record (1 the
  // newest) gets a broken CRC from now on; 0 mends them all. Returns the
  // record's address, or -1 when the ring holds fewer records.
  long spoilRecord(unsigned back);
  // Plays `seconds` of the weather at once, as if the station had run that
  // long before now: the archive fills at its period meanwhile.
  void playPast(uint64_t seconds);

  NibbleMemory &stationMemory() { return station_; }
  NibbleMemory &linkMemory() { return link_; }
  const std::vector<uint8_t> &archiveMemory() const { return archive_; }
  std::vector<uint8_t> image() const;

 private:
  struct Weather {
    int tin, tout, wsp, wdir, bar, hin, hout, rain;
  };
  // What the record being gathered averages over its period, a second at a time.
  struct PeriodSums {
    long tin = 0, tout = 0, wsp = 0, seconds = 0;
    int windFrom[16] = {};  // seconds of wind from each compass point
  };

  std::vector<uint8_t> answer(const Frame &f);
  void applyFault(Cmd cmd, Reply &r);
  void initMemories(time_t start);
  Weather weatherNow();
  void tick();
  void driftStep();
  Weather loadWeather() const;
  void publish(const Weather &w);
  void trackExtremes();
  void takeArchive();
  void alignArchive();
  void sumPeriod();
  void stampTime(unsigned timeAddr, unsigned dateAddr);
  void writeLog(const char *mem, unsigned addr, const uint8_t *b, size_t n);

  int model_;
  bool drift_;
  time_t start_;
  WeatherCourse course_;
  int weatherRain_ = -1;  // the weather's rain counter at the last step, -1 before one
  bool silent_ = false;
  bool logging_ = true;   // STOP/START
  bool arcTimer_ = true;  // DBT/EBT
  int year_;
  uint64_t seconds_ = 0;
  unsigned arcSeconds_ = 0;
  PeriodSums period_;
  std::vector<unsigned> spoilt_;  // records whose reads get a broken CRC
  int lastBar_ = 0;
  int faults_[FAULT_KINDS] = {};
  int faultsAfter_[FAULT_KINDS] = {};
  NibbleMemory station_{STATION_NIBBLES};
  NibbleMemory link_{LINK_NIBBLES};
  std::vector<uint8_t> archive_ = std::vector<uint8_t>(ARCHIVE_BYTES, 0);
  Log log_;
};

}  // namespace stationsim
