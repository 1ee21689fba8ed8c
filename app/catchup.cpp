// catchup.cpp - the archive catch-up: record decoding, sample expansion, and
// the walk over the logger's ring, one station exchange a loop pass.
#include "catchup.h"

#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "codecs.h"
#include "helpers.h"
#include "output.h"
#include "quantities.h"
#include "readings.h"
#include "rrdlog.h"
#include "xPL.h"

namespace {

using Clock = std::chrono::steady_clock;

// Link memory: the ring pointers (NEWPTR and OLDPTR side by side) and the
// archive period in minutes.
constexpr uint16_t ADDR_POINTERS = 0x100;
constexpr uint16_t ADDR_ARCPERIOD = 0x13C;

// The data sources' heartbeat: a longer gap before the next sample is
// stored as unknown, so that is what the archive is asked to fill.
constexpr time_t HEARTBEAT = RRD_HEARTBEAT_SECONDS;
// A request that comes while the catch-up reads waits for that one archive
// read (the next loop pass serves it first), so one read may hold the line
// this long at most at 2400 bit/s. A chunk that fails its CRC costs no more:
// the link waits only two byte times of quiet after a reply that came whole
// (not 2 s of silence), and the chunk's records are then read one a pass.
constexpr long PASS_BUDGET_USEC = 250000;
// An archive read's bytes besides its records: the 8-byte command, the
// acknowledgement, the 2-byte CRC, and that quiet after a bad one.
constexpr long READ_OVERHEAD_BYTES = 8 + 1 + 2 + 2;
// Records one archive read asks for: 2 (221 ms of the line, 229 ms failed).
constexpr int CHUNK_RECORDS = static_cast<int>(
    (PASS_BUDGET_USEC / DAVIS_BYTE_USEC - READ_OVERHEAD_BYTES) / DAVIS_RECORD_BYTES);
static_assert(CHUNK_RECORDS >= 1, "a record must fit the budget");
// Samples handed to one rrd_update (one a loop pass).
constexpr size_t WRITE_BATCH = 60;
constexpr time_t MAX_AGE = 7 * 86400;
// A catch-up that found nothing is not tried again sooner while the
// station stays connected.
constexpr time_t RETRY_AFTER = 3600;
// Two unreadable records in a row: the station has stopped answering,
// and every further record would hold the loop for its time-outs.
constexpr int MAX_SKIPPED_IN_ROW = 2;
// A station clock this far ahead of the host's still stamps the present.
constexpr time_t CLOCK_SLACK = 120;

// A BCD byte, or -1 when a nibble is above 9.
int bcd(unsigned char b) {
  if ((b >> 4) > 9 || (b & 0x0F) > 9) return -1;
  return bcdtoint(b);
}

enum class Phase { Idle, Pointers, Reading, Writing };

struct Found {
  archive_record record;
  time_t end;
};

// The daemon's hooks and what outlives one catch-up.
davis_device *(*openStation)(void) = nullptr;
void (*loggingPass)(void) = nullptr;
int wakeFd = -1;  // an eventfd kept readable: a call on every loop pass
bool loggingWaits = false;
time_t quietUntil = 0;

// One catch-up.
struct CatchUp {
  Phase phase = Phase::Idle;
  std::string dir;
  davis_cal cal{};
  time_t lastUpdate = 0;
  long rain = -1;
  time_t started = 0;  // wall clock: year of the stamps, latest sample
  Clock::time_point startedAt{};
  double longestPass = 0;
  double longestRead = 0;  // of the passes that asked the station

  unsigned at = 0;  // address after the next record to read (walking back)
  int held = 0;     // records between OLDPTR and `at`
  int minutes = 0;  // archive period
  int retry = 0;    // records of a failed chunk still to read one by one
  int skippedInRow = 0;
  int read = 0;
  std::vector<Found> found{};  // newest first
  time_t before = 0;           // end of the record before the oldest found, 0: unknown

  size_t writing = 0;  // records of `found` not yet written (from its end)
  int samples = 0;
  // Quality control and derived values of this catch-up's records.
  std::unique_ptr<ReadingStream> stream{};
};

CatchUp cu;

void catchupPass(int, int, int);

// While a catch-up runs its eventfd stays readable, so the loop calls
// catchupPass once a pass and never waits; otherwise it is drained. It is
// a device from the start, ahead of those added later (the request queue),
// which the loop therefore serves first in each pass.
void wake(bool on) {
  if (wakeFd < 0) return;
  uint64_t count = 1;
  ssize_t r = on ? write(wakeFd, &count, sizeof count) : read(wakeFd, &count, sizeof count);
  (void)r;
}

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

void finish(bool wrote) {
  dbg("catch-up: %d samples written from %d of %d records read in %.1f s (longest pass %.2f s, "
      "longest station read %.2f s)\n",
      cu.samples, static_cast<int>(cu.found.size()), cu.read, secondsSince(cu.startedAt),
      cu.longestPass, cu.longestRead);
  // After records were written, the next may come one period after the
  // newest; after nothing, the ring is left alone for the hour.
  quietUntil = wrote && !cu.found.empty() ? cu.found.front().end + cu.minutes * 60
                                          : time(nullptr) + RETRY_AFTER;
  // The live rain figures take in the rain the archive brought.
  if (cu.samples > 0) readingsReload();
  cu = CatchUp{};
  wake(false);
  if (loggingWaits) {
    loggingWaits = false;
    loggingPass();
  }
}

void endWalk() {
  cu.phase = Phase::Writing;
  cu.writing = cu.found.size();
}

bool pointersRead(davis_device *d) {
  unsigned char p[4] = {0, 0, 0, 0};
  unsigned char period[1] = {0};
  if (davis_readlink(d, ADDR_POINTERS, p, 8) != 0 ||
      davis_readlink(d, ADDR_ARCPERIOD, period, 2) != 0) {
    dbg("catch-up: cannot read the archive pointers; ended\n");
    return false;
  }
  const unsigned newptr = static_cast<uint16_t>(le16(p)),
                 oldptr = static_cast<uint16_t>(le16(p + 2));
  cu.minutes = period[0];
  if (newptr >= DAVIS_ARCHIVE_RING || oldptr >= DAVIS_ARCHIVE_RING ||
      newptr % DAVIS_RECORD_BYTES != 0 || oldptr % DAVIS_RECORD_BYTES != 0 || cu.minutes == 0) {
    dbg("catch-up: archive pointers make no sense (new %#x, old %#x, period %d); ended\n", newptr,
        oldptr, cu.minutes);
    return false;
  }
  cu.at = newptr;
  cu.held = static_cast<int>((newptr + DAVIS_ARCHIVE_RING - oldptr) % DAVIS_ARCHIVE_RING /
                             DAVIS_RECORD_BYTES);
  const long behind = static_cast<long>(cu.started - cu.lastUpdate);
  const int wanted = std::min<long>(cu.held, behind / (cu.minutes * 60L) + 2);
  dbg("catch-up: up to %d archive records to read (database %ld min behind, %d-minute records)\n",
      wanted, behind / 60, cu.minutes);
  return true;
}

// Takes the record that lies at `addr`, the next older one on the walk.
// False when the walk ends with it.
bool take(const unsigned char *bytes, unsigned addr) {
  cu.read++;
  cu.skippedInRow = 0;
  archive_record r;
  time_t end = -1;
  if (archiveDecode(bytes, &r) == 0) end = archiveTime(&r, cu.started);
  if (end < 0) {
    dbg("catch-up: record at %#x has no valid time; ended\n", addr);
    return false;
  }
  if (end <= cu.lastUpdate || end < cu.started - MAX_AGE) {
    cu.before = end;
    return false;
  }
  if (!cu.found.empty() && end >= cu.found.back().end) {
    dbg("catch-up: record at %#x is not older than the one after it; ended\n", addr);
    return false;
  }
  cu.found.push_back({r, end});
  return true;
}

void skip(unsigned addr) {
  dbg("catch-up: record at %#x failed twice; skipped\n", addr);
  if (++cu.skippedInRow >= MAX_SKIPPED_IN_ROW) {
    dbg("catch-up: the archive cannot be read; ended\n");
    endWalk();
  }
}

// One archive read: a chunk of records before `at`, or, after a chunk
// failed, the next of its records alone (its second and last try).
void readPass(davis_device *d) {
  if (cu.held == 0) return endWalk();
  if (cu.at == 0) cu.at = DAVIS_ARCHIVE_RING;
  unsigned char buf[CHUNK_RECORDS * DAVIS_RECORD_BYTES];
  const bool alone = cu.retry > 0;
  // A read never crosses the end of the ring.
  const int count =
      alone ? 1 : std::min({CHUNK_RECORDS, cu.held, static_cast<int>(cu.at / DAVIS_RECORD_BYTES)});
  const unsigned addr = cu.at - static_cast<unsigned>(count) * DAVIS_RECORD_BYTES;
  if (davis_readarchive(d, static_cast<uint16_t>(addr), buf, count * DAVIS_RECORD_BYTES) != 0) {
    if (!alone) {
      cu.retry = count;
      return;
    }
    cu.retry--;
    cu.at = addr;
    cu.held--;
    return skip(addr);
  }
  if (alone) cu.retry--;
  cu.at = addr;
  cu.held -= count;
  for (int i = count - 1; i >= 0; i--) {
    const unsigned at = addr + static_cast<unsigned>(i) * DAVIS_RECORD_BYTES;
    if (!take(buf + i * DAVIS_RECORD_BYTES, at)) return endWalk();
  }
  if (cu.held == 0) endWalk();
}

// Hands the next batch of samples to the outputs, oldest record first.
void writePass() {
  std::vector<weather_sample> samples;
  while (cu.writing > 0 && samples.size() < WRITE_BATCH) {
    const Found &f = cu.found[--cu.writing];
    const time_t before =
        cu.writing + 1 < cu.found.size() ? cu.found[cu.writing + 1].end : cu.before;
    const size_t first = samples.size();
    archiveSamples(&f.record, f.end, cu.minutes, before, cu.lastUpdate, cu.started, &cu.rain,
                   &cu.cal, &samples);
    std::vector<std::string> lines;
    archiveCheck(cu.stream.get(), &samples, first, &lines);
    readingsSay(lines);
  }
  if (!samples.empty()) {
    if (!outputsLogged(samples.data(), samples.size())) return finish(cu.samples > 0);
    cu.samples += static_cast<int>(samples.size());
  }
  if (cu.writing == 0) finish(cu.samples > 0);
}

// True when a datagram waits at the xPL socket: the loop walks the devices
// added last first, so a request would otherwise wait for the next chunk too.
bool datagramWaiting() {
  struct pollfd p = {xPL_getFD(), POLLIN, 0};
  return p.fd >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// One step of the catch-up on every loop pass while it runs; a pass that
// finds a datagram waiting leaves it the station, but never twice in a row,
// so a flood cannot stop the catch-up (and the logging that waits for it).
void catchupPass(int, int, int) {
  static bool yielded = false;
  if (cu.phase == Phase::Idle) return wake(false);
  if (!yielded && datagramWaiting()) {
    yielded = true;
    return;
  }
  yielded = false;
  davis_device *d = openStation();
  if (d == nullptr) return catchupCancel();
  const Clock::time_point passStart = Clock::now();
  const bool asksStation = cu.phase != Phase::Writing;
  switch (cu.phase) {
    case Phase::Pointers:
      if (pointersRead(d))
        cu.phase = Phase::Reading;
      else
        finish(false);
      break;
    case Phase::Reading:
      readPass(d);
      break;
    case Phase::Writing:
      writePass();
      break;
    case Phase::Idle:
      break;
  }
  const double took = secondsSince(passStart);
  cu.longestPass = std::max(cu.longestPass, took);
  if (asksStation) cu.longestRead = std::max(cu.longestRead, took);
}

}  // namespace

int archiveDecode(const unsigned char b[DAVIS_RECORD_BYTES], archive_record *r) {
  r->barom = le16(b + 0);
  r->hin = static_cast<int8_t>(b[2]);
  r->hout = static_cast<int8_t>(b[3]);
  r->rain = static_cast<uint16_t>(le16(b + 4));
  r->tin = le16(b + 6);
  r->tout = le16(b + 8);
  r->wsp = static_cast<int8_t>(b[10]);
  r->wdir = b[11] <= 15 ? b[11] : -1;
  // Hour, minute and day in BCD, then the month as a plain number.
  r->hour = bcd(b[15]);
  r->minute = bcd(b[16]);
  r->day = bcd(b[17]);
  r->month = b[18] & 0x0F;
  if (r->hour < 0 || r->hour > 23 || r->minute < 0 || r->minute > 59 || r->day < 1 || r->day > 31 ||
      r->month < 1 || r->month > 12)
    return -1;
  return 0;
}

time_t archiveTime(const archive_record *r, time_t now) {
  struct tm local;
  localtime_r(&now, &local);
  for (int year = local.tm_year; year >= local.tm_year - 8; year--) {
    struct tm t = {};
    t.tm_year = year;
    t.tm_mon = r->month - 1;
    t.tm_mday = r->day;
    t.tm_hour = r->hour;
    t.tm_min = r->minute;
    t.tm_isdst = -1;
    const time_t when = mktime(&t);
    // mktime moves a day the month lacks into the next month.
    if (when == -1 || t.tm_mday != r->day || t.tm_mon != r->month - 1) continue;
    if (when <= now + CLOCK_SLACK) return when;
  }
  return -1;
}

void archiveSamples(const archive_record *r, time_t end, int period, time_t before, time_t after,
                    time_t until, long *rainTotal, const davis_cal *cal,
                    std::vector<weather_sample> *samples) {
  // A record closer to the one before than the period (the period was
  // shortened) covers only the time since.
  int minutes = period;
  if (before > 0 && end > before)
    minutes = static_cast<int>(std::min<time_t>(period, (end - before) / 60));
  if (minutes < 1) return;
  auto add = [&](time_t when, long tips) {
    weather_sample s = sampleEmpty(when, cal->rain);
    // Sums at int width, as live logging forms them.
    sampleSet(&s, Q_INSIDE_TEMP, r->tin + cal->itemp);
    sampleSet(&s, Q_OUTSIDE_TEMP, r->tout + cal->otemp);
    sampleSet(&s, Q_WIND_SPEED, r->wsp);
    // The compass point's degrees (22.5 a point, cut to whole degrees): the
    // database's compass index of them is the point again.
    if (r->wdir >= 0) sampleSet(&s, Q_WIND_DIRECTION, r->wdir * 45 / 2);
    sampleSet(&s, Q_BAROMETER, r->barom + cal->bar);
    sampleSet(&s, Q_INSIDE_HUMIDITY, r->hin);
    sampleSet(&s, Q_OUTSIDE_HUMIDITY, r->hout);
    if (*rainTotal >= 0)
      sampleSet(&s, Q_RAIN_TOTAL, static_cast<int>((*rainTotal + tips) & 0xFFFF));
    sampleSet(&s, Q_DEW_POINT, quantityDewPoint(r->tout, r->hout));
    sampleSet(&s, Q_WIND_CHILL, quantityWindChill(r->tout, r->wsp));
    samples->push_back(s);
  };
  // After a gap (a record missing or never read) the period's first minute
  // needs a sample at its start; the database keeps the gap itself unknown.
  const time_t start = end - static_cast<time_t>(minutes) * 60;
  if ((before == 0 || before < start) && start > after && start <= until) add(start, 0);
  // Tips already in the total: those of the minutes up to `after`.
  long counted = 0;
  for (int k = 1; k <= minutes; k++) {
    const time_t when = start + static_cast<time_t>(k) * 60;
    const long share = static_cast<long>(r->rain) * k / minutes;
    if (when <= after) {
      counted = share;
      continue;
    }
    if (when > until) break;
    add(when, share - counted);
  }
  if (*rainTotal >= 0) *rainTotal = (*rainTotal + r->rain - counted) & 0xFFFF;
}

void archiveCheck(ReadingStream *stream, std::vector<weather_sample> *samples, size_t first,
                  std::vector<std::string> *lines) {
  if (first >= samples->size()) return;
  weather_sample reading = samples->back();
  stream->check(&reading, lines);
  for (size_t i = first; i < samples->size(); i++) {
    weather_sample &s = (*samples)[i];
    for (int f = 0; f < Q_FIELD_COUNT; f++) s.known[f] = s.known[f] && reading.known[f];
    stream->complete(&s);
  }
}

void catchupSetup(davis_device *(*station)(void), void (*pass)(void)) {
  openStation = station;
  loggingPass = pass;
  if (wakeFd >= 0) return;
  wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd >= 0 && !xPL_addIODevice(catchupPass, 0, wakeFd, TRUE, FALSE, FALSE)) {
    close(wakeFd);
    wakeFd = -1;
  }
  if (wakeFd < 0) dbg("catch-up: no eventfd; the archive is not read\n");
}

bool catchupHoldsLogging(const char *dir, const davis_cal *cal) {
  if (cu.phase != Phase::Idle) {
    loggingWaits = true;
    return true;
  }
  const time_t now = time(nullptr);
  if (wakeFd < 0 || now < quietUntil) return false;
  time_t last = 0;
  long rain = -1;
  if (rrdLastUpdate(dir, &last, &rain) != 0 || now - last <= HEARTBEAT) return false;

  cu = CatchUp{};
  cu.phase = Phase::Pointers;
  cu.dir = dir;
  cu.cal = *cal;
  cu.lastUpdate = last;
  cu.rain = rain;
  cu.started = now;
  cu.startedAt = Clock::now();
  cu.stream = readingsCatchupStream(dir, last, rain);
  loggingWaits = true;
  wake(true);
  return true;
}

void catchupCancel(void) {
  if (cu.phase != Phase::Idle) {
    dbg("catch-up: station connection closed; %d samples written\n", cu.samples);
    cu = CatchUp{};
    wake(false);
  }
  loggingWaits = false;
  quietUntil = 0;
}
