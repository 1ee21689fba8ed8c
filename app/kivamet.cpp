// kivamet.cpp - the station bridge: start-up and settings, the memory map,
// the xPL request handlers, the timed jobs (database logging, clock check)
// and the barometer calibration. Everything runs on the xPL event loop's one
// thread; the samples it takes go to the outputs (output.h).
#include "kivamet.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catchup.h"
#include "codecs.h"
#include "database.h"
#include "fields.h"
#include "helpers.h"
#include "live.h"
#include "output.h"
#include "readings.h"
#include "requests.h"
#include "rrdlog.h"
#include "settings.h"
#include "version.h"
#include "webweather.h"

// ---- Memory map ------------------------------------------------------------

// Order matters: lookups take the first match, and rows sharing an address
// (TIME/HOUR, DATE/DAY) describe the same memory at different grain.
const memtype mem[MEM_ROWS] = {
    {"SPDDTA", 0x05E, 2, MEM_MEM, DTYPE_INT, PERM_R},
    {"SPDHI", 0x060, 4, MEM_MEM, DTYPE_INT, PERM_R},
    {"SPDHTIME", 0x064, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"SPDHDATE", 0x068, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"SPDAHI", 0x06B, 4, MEM_MEM, DTYPE_INT, PERM_RW},
    {"BARFLAG", 0x079, 1, MEM_MEM, DTYPE_BARFLAG, PERM_R},
    {"DEWDTA", 0x08A, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"DEWHI", 0x08E, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"DEWLO", 0x092, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"DEWHTIME", 0x096, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"DEWLTIME", 0x09A, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"DEWLDATE", 0x09E, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"DEWHDATE", 0x0A1, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"DEWAHI", 0x0A4, 4, MEM_MEM, DTYPE_FLOAT, PERM_RW},
    {"CHLDTA", 0x0A8, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"CHLLO", 0x0AC, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"CHLLTIME", 0x0B0, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"CHLLDATE", 0x0B4, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"CHLALO", 0x0B7, 4, MEM_MEM, DTYPE_FLOAT, PERM_RW},
    {"BARDTA", 0x100, 4, MEM_MEM, DTYPE_BAR, PERM_R},
    {"BARALM", 0x11A, 2, MEM_MEM, DTYPE_BAR, PERM_RW},
    {"STNDRD", 0x12C, 4, MEM_MEM, DTYPE_INT, PERM_RW},
    {"TP1DTA", 0x130, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"TP1HI", 0x134, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"TP1LO", 0x138, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"TP1HTIME", 0x13C, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"TP1LTIME", 0x140, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"TP1HDATE", 0x144, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"TP1LDATE", 0x147, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"TP1AHI", 0x14A, 4, MEM_MEM, DTYPE_FLOAT, PERM_RW},
    {"TP1ALO", 0x14E, 4, MEM_MEM, DTYPE_FLOAT, PERM_RW},
    {"TP1CAL", 0x152, 4, MEM_MEM, DTYPE_FLOAT, PERM_RW},
    {"TP2DTA", 0x156, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"TP2HI", 0x15A, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"TP2LO", 0x15E, 4, MEM_MEM, DTYPE_FLOAT, PERM_R},
    {"TP2HTIME", 0x162, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"TP2LTIME", 0x166, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"TP2HDATE", 0x16A, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"TP2LDATE", 0x16D, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"TP2AHI", 0x170, 4, MEM_MEM, DTYPE_FLOAT, PERM_RW},
    {"TP2ALO", 0x174, 4, MEM_MEM, DTYPE_FLOAT, PERM_RW},
    {"TP2CAL", 0x178, 4, MEM_MEM, DTYPE_FLOAT, PERM_RW},
    {"HM1DTA", 0x180, 2, MEM_MEM, DTYPE_INT, PERM_R},
    {"HM1HI", 0x182, 2, MEM_MEM, DTYPE_INT, PERM_R},
    {"HM1LO", 0x184, 2, MEM_MEM, DTYPE_INT, PERM_R},
    {"HM1HTIME", 0x186, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"HM1LTIME", 0x18A, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"HM1HDATE", 0x18E, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"HM1LDATE", 0x191, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"HM1AHI", 0x194, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"HM1ALO", 0x196, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"HM2DTA", 0x198, 2, MEM_MEM, DTYPE_INT, PERM_R},
    {"HM2HI", 0x19A, 2, MEM_MEM, DTYPE_INT, PERM_R},
    {"HM2LO", 0x19C, 2, MEM_MEM, DTYPE_INT, PERM_R},
    {"HM2HTIME", 0x19E, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"HM2LTIME", 0x1A2, 4, MEM_MEM, DTYPE_TIME, PERM_R},
    {"HM2HDATE", 0x1A6, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"HM2LDATE", 0x1A9, 3, MEM_MEM, DTYPE_DATE, PERM_R},
    {"HM2AHI", 0x1AC, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"HM2ALO", 0x1AE, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"DIRDTA", 0x1B4, 4, MEM_MEM, DTYPE_INT, PERM_R},
    {"TIME", 0x1BE, 6, MEM_MEM, DTYPE_LTIME, PERM_RW},
    {"HOUR", 0x1BE, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"MINUTE", 0x1C0, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"SECOND", 0x1C2, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"TIMEALM", 0x1C4, 4, MEM_MEM, DTYPE_TIME, PERM_RW},
    {"HRALM", 0x1C4, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"MINALM", 0x1C6, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"DATE", 0x1C8, 3, MEM_MEM, DTYPE_DATE, PERM_RW},
    {"DAY", 0x1C8, 2, MEM_MEM, DTYPE_INT, PERM_RW},
    {"MONTH", 0x1CA, 1, MEM_MEM, DTYPE_INT, PERM_RW},
    {"YRNDTA", 0x1CE, 4, MEM_MEM, DTYPE_INT, PERM_R},
    {"DRNDTA", 0x1D2, 4, MEM_MEM, DTYPE_INT, PERM_R},
    {"RNCAL", 0x1D6, 4, MEM_MEM, DTYPE_INT, PERM_R},
    {"HM2CAL", 0x1DA, 4, MEM_MEM, DTYPE_INT, PERM_RW},
    {"ID", 0x04D, 1, MEM_NONE, DTYPE_MODEL, PERM_R},
    {"NEWPTR", 0x100, 4, MEM_LNK, DTYPE_INT, PERM_R},
    {"OLDPTR", 0x104, 4, MEM_LNK, DTYPE_INT, PERM_R},
    {"STIN", 0x11C, 4, MEM_LNK, DTYPE_FLOAT, PERM_R},
    {"STOUT", 0x120, 4, MEM_LNK, DTYPE_FLOAT, PERM_R},
    {"SWSP", 0x124, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"SWDIR", 0x126, 4, MEM_LNK, DTYPE_INT, PERM_R},
    {"SBAROM", 0x12A, 4, MEM_LNK, DTYPE_BAR, PERM_R},
    {"SHIN", 0x12E, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"SHOUT", 0x130, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"SRAIN", 0x132, 4, MEM_LNK, DTYPE_INT, PERM_R},
    {"SAMPLEPER", 0x13A, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"ARCPERIOD", 0x13C, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"PREVRAIN", 0x140, 4, MEM_LNK, DTYPE_INT, PERM_R},
    {"LASTARCTIME", 0x148, 4, MEM_LNK, DTYPE_INT, PERM_R},
    {"WDIRS", 0x15E, 32, MEM_LNK, DTYPE_HIST, PERM_R},
    {"ABAROM", 0x188, 4, MEM_LNK, DTYPE_BAR, PERM_R},
    {"AHIN", 0x18C, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"AHOUT", 0x18E, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"ARAIN", 0x190, 4, MEM_LNK, DTYPE_INT, PERM_R},
    {"ATINAVG", 0x194, 4, MEM_LNK, DTYPE_FLOAT, PERM_R},
    {"ATOUTAVG", 0x198, 4, MEM_LNK, DTYPE_FLOAT, PERM_R},
    {"AWSPAVG", 0x19C, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"AWDIR", 0x19E, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"ATHIOUT", 0x1A0, 4, MEM_LNK, DTYPE_FLOAT, PERM_R},
    {"AGUST", 0x1A4, 2, MEM_LNK, DTYPE_INT, PERM_R},
    {"ATIMESTAMP", 0x1A6, 8, MEM_LNK, DTYPE_TSTAMP, PERM_R},
    {"ATLOWOUT", 0x1AE, 4, MEM_LNK, DTYPE_FLOAT, PERM_R},
};

// ---- Process state -----------------------------------------------------------

namespace {

// Station memory cells the timed jobs and the calibration use directly.
constexpr uint16_t ADDR_DEWDTA = 0x08A;
constexpr uint16_t ADDR_CHLDTA = 0x0A8;
constexpr uint16_t ADDR_BARDTA = 0x100;
constexpr uint16_t ADDR_STNDRD = 0x12C;
constexpr uint16_t ADDR_TP1CAL = 0x152;
constexpr uint16_t ADDR_TP2CAL = 0x178;
constexpr uint16_t ADDR_RNCAL = 0x1D6;
constexpr uint16_t ADDR_HM2CAL = 0x1DA;
constexpr uint16_t ADDR_TIME = 0x1BE;
constexpr uint16_t ADDR_DATE = 0x1C8;

constexpr int CLOCK_PERIOD = 43200;
// A hub echoes a heartbeat within milliseconds; one not heard from by then
// is not there.
constexpr int HUB_WAIT = 2;
constexpr int LOG_PERIOD = 60;
const char LOG_PERIOD_ENV[] = "KIVAMET_LOG_PERIOD";

// A silent station holds the loop for one full davis_readstation (five
// attempts of up to 2 s each) per try; two tries keep a request near 20 s.
constexpr int REQUEST_READ_TRIES = 2;

constexpr int WEB_ATTEMPTS = 5;
constexpr int WEB_RETRY_MS = 5000;
// Plausible barometer readings and offsets, thousandths of an inch.
constexpr int16_t WEB_BAR_MIN = 25000;
constexpr int16_t WEB_BAR_MAX = 32500;
constexpr int16_t BAR_OFFSET_MAX = 1000;

const char DEFAULT_RRDDIR[] = "/var/www/html/weather";

// The bridge's own state, kept between events.
int debug = 0;
xPL_ServicePtr davisService = nullptr;
davis_device *dd = nullptr;
uint8_t deviceready = 0;
uint8_t addressready = 0;
davis_cal cal = {0, 0, 0, 0, 0};
davis_sample samp = {};

// Settings as last taken from the configuration; kept as own copies since
// the configuration store replaces its values on every installation.
std::optional<std::string> conntype, device, netaddress, netport, weatherloc, rrddir;

// The settings name a station (the last settings pass tried to open one).
bool stationWanted = false;
time_t lastReopenAt = 0;
// The calibration offsets of the station of these settings are in cal.
bool offsetsRead = false;
// A settings pass is opening, calibrating, checking the clock, logging.
bool inSettingsPass = false;
// Seconds between logging passes, and the least time between two reopens,
// so a dead adaptor costs at most one open a pass.
int logPeriod = LOG_PERIOD;
bool configLocked = false;

// Self-pipe of the termination signals: the handler only writes a byte, the
// event loop runs the shutdown sequence when the pipe turns readable.
int sigPipe[2] = {-1, -1};
volatile sig_atomic_t stopRequested = 0;

// The settings file with the command line's values over it.
Settings settings;

}  // namespace

// ---- Pure pieces -------------------------------------------------------------

int16_t barOffset(int16_t station, int16_t web) {
  return static_cast<int16_t>(static_cast<uint16_t>(station - web));
}

int barWebPlausible(int16_t web) {
  return web >= WEB_BAR_MIN && web <= WEB_BAR_MAX;
}

int barOffsetWritable(int16_t offset) {
  return offset >= -BAR_OFFSET_MAX && offset <= BAR_OFFSET_MAX;
}

int logPeriodFrom(const char *text) {
  int period = LOG_PERIOD;
  intInRange(text, 1, LOG_PERIOD, &period);
  return period;
}

// ---- Station -----------------------------------------------------------------

namespace {

bool sameIgnoringCase(const std::optional<std::string> &setting, const char *word) {
  return setting && xPL_strcmpIgnoreCase(setting->c_str(), word) == 0;
}

void closeStation() {
  catchupCancel();
  if (dd == nullptr) return;
  close(dd->fd);
  free(dd);
  dd = nullptr;
}

// An open that failed: the -d line as always, and the user's line.
void openFailed(const std::string &what) {
  const int err = errno;
  if (debug) perror(what.c_str());
  liveStationUnopened(oneLine(what + ": " + strerror(err)).c_str());
}

// Opens the station the settings describe. Returns whether they describe
// one at all (opened or not); sets deviceready when it opened.
bool openStation() {
  if (!conntype) return false;
  if (sameIgnoringCase(conntype, "device") && device) {
    dd = davis_open(device->c_str());
    if (dd != nullptr) {
      deviceready = 1;
      dbg("type = %d\n", dd->type);
    } else {
      openFailed(*device);
    }
    return true;
  }
  if (sameIgnoringCase(conntype, "net-address") && addressready) {
    dd = davis_tcp_open(netaddress->c_str(), netport->c_str());
    if (dd != nullptr) {
      deviceready = 1;
    } else {
      openFailed(*netaddress);
    }
    return true;
  }
  // A type kivamet does not know would leave the station unopened in
  // silence, and configuring it would look as if it had worked.
  if (!sameIgnoringCase(conntype, "device") && !sameIgnoringCase(conntype, "net-address"))
    fprintf(stderr, "kivamet: type %s is not one kivamet knows (device or net-address)\n",
            oneLine(*conntype).c_str());
  return false;
}

// True when the far end is gone: a TCP adaptor that closed the stream, or a
// serial device that hung up or disappeared. Stale input alone is not loss.
bool connectionLost(int fd) {
  struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
  int r;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) return true;
  if (p.revents & POLLIN) {
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0 && (errno == ECONNRESET || errno == ENOTCONN || errno == EPIPE)) return true;
  }
  return false;
}

// True when it opened the station again just now.
bool reopenIfLost() {
  if (dd != nullptr && !connectionLost(dd->fd)) return false;
  if (dd == nullptr && !stationWanted) return false;
  const time_t now = time(nullptr);
  if (lastReopenAt != 0 && now >= lastReopenAt && now - lastReopenAt < logPeriod) return false;
  lastReopenAt = now;
  dbg(dd != nullptr ? "station connection lost; reopening\n" : "station not open; opening again\n");
  liveStationLost(dd != nullptr);
  closeStation();
  deviceready = 0;
  openStation();
  return dd != nullptr;
}

int readStation16(uint16_t addr, int16_t *value) {
  unsigned char buf[2] = {0, 0};
  if (davis_readstation(dd, addr, buf, 4) != 0) return -1;
  *value = le16(buf);
  return 0;
}

int writeStation16(uint16_t addr, int16_t value) {
  const uint16_t v = static_cast<uint16_t>(value);
  const unsigned char buf[2] = {static_cast<unsigned char>(v & 0xFF),
                                static_cast<unsigned char>(v >> 8)};
  return davis_writestation(dd, addr, buf, 4);
}

// Waits between two web attempts; false when a termination signal came.
bool waitBeforeRetry() {
  struct pollfd p = {sigPipe[0], POLLIN, 0};
  for (;;) {
    if (stopRequested) return false;
    int r = poll(&p, sigPipe[0] >= 0 ? 1 : 0, WEB_RETRY_MS);
    if (r < 0 && errno == EINTR) continue;
    return r <= 0 && !stopRequested;
  }
}

// Reads the calibration offsets into cal. Stops at the first read that
// fails: a silent station costs one read, not five.
bool readOffsets() {
  cal = davis_cal{0, 0, 0, 0, 0};
  int16_t standard = 0;
  if (readStation16(ADDR_STNDRD, &standard) != 0) return false;
  cal.bar = barOffset(0, standard);
  const struct {
    uint16_t addr;
    int16_t *value;
  } cells[] = {{ADDR_TP1CAL, &cal.itemp},
               {ADDR_TP2CAL, &cal.otemp},
               {ADDR_RNCAL, &cal.rain},
               {ADDR_HM2CAL, &cal.ohum}};
  for (const auto &cell : cells)
    if (readStation16(cell.addr, cell.value) != 0) return false;
  dbg("calibration: %#x %d %d %d %d\n", static_cast<unsigned>(static_cast<int32_t>(cal.bar)),
      cal.itemp, cal.otemp, cal.rain, cal.ohum);
  offsetsRead = true;
  return true;
}

// The web value, or -1 when none came or it is no plausible pressure.
int16_t webPressure() {
  const int16_t web = web_bp(weatherloc->c_str());
  if (web < 0 || barWebPlausible(web)) return web;
  dbg("web pressure %d outside 25.000 to 32.500 inches; not used\n", web);
  return -1;
}

// Reads the calibration offsets into cal and sets the barometer offset from
// the web value of the observation location.
void calibrate() {
  int16_t station = 0;
  if (!readOffsets() || readStation16(ADDR_BARDTA, &station) != 0) {
    dbg("calibration skipped: a station read failed\n");
    return;
  }
  if (!weatherloc || !web_locationfits(weatherloc->c_str())) {
    dbg("calibration skipped: no usable location\n");
    return;
  }

  int16_t web = -1;
  for (int attempt = 1; attempt <= WEB_ATTEMPTS; attempt++) {
    web = webPressure();
    if (web >= 0) break;
    dbg("cannot obtain barametric calibration\n");
    if (attempt == WEB_ATTEMPTS || !waitBeforeRetry()) break;
  }
  if (web < 0) {
    dbg("calibration given up; station offset left as it is\n");
    return;
  }
  const int16_t offset = barOffset(station, web);
  dbg("bar %d web %d cal %d\n", station, web, offset);
  if (!barOffsetWritable(offset)) {
    dbg("offset %d above 1.000 inch; station offset left as it is\n", offset);
    return;
  }
  if (writeStation16(ADDR_STNDRD, offset) != 0) dbg("cannot write the barometer offset\n");
}

// A station that did not answer the model probe at open, or whose offsets
// were never read (it was away or silent at the settings pass), is caught
// up before it logs: the probe first, then the offsets and a clock check.
// The settings pass has just tried both, an open just now the probe; asking
// a silent station again at once would only hold the loop longer. Whether
// it answered is what counts, not whether its model is one we know.
bool stationCaughtUp(bool justOpened) {
  if (inSettingsPass) return dd->answered && offsetsRead;
  if (!dd->answered) {
    if (justOpened) return false;
    dbg("station model unknown; probing it again\n");
    if (davis_probe(dd) != 0) return false;
    dbg("type = %d\n", dd->type);
  }
  if (!offsetsRead) {
    if (!readOffsets()) {
      dbg("calibration offsets not read; nothing logged\n");
      return false;
    }
    datetimeHandler(0, nullptr);
  }
  return true;
}

// Reads a row's bytes, trying once more after a failure; the byte area is
// cleared first so a short row never shows an earlier request's bytes.
int readRow(const memtype *row, unsigned char bytes[MEM_BYTES_SIZE]) {
  for (int attempt = 0; attempt < REQUEST_READ_TRIES; attempt++) {
    memset(bytes, 0, MEM_BYTES_SIZE);
    int r = row->mem_type == MEM_MEM ? davis_readstation(dd, row->mem_addr, bytes, row->mem_len)
                                     : davis_readlink(dd, row->mem_addr, bytes, row->mem_len);
    if (r == 0) return 0;
  }
  return -1;
}

// One reading: sensor image, dew point, wind chill, as the raw values and
// as the sample with the offsets. Live reads hear of every outcome, so
// logging and live reads count alike for the station state.
// Only models 0 to 3 send a sensor image (the link refuses the others
// without a byte on the line).
bool sendsImage() {
  return dd->type >= 0 && dd->type <= 3;
}

bool stationSample(davis_sample *raw, weather_sample *sample) {
  unsigned char image[SENSOR_IMAGE_BYTES] = {0};
  int16_t dew = 0;
  int16_t chill = 0;
  // A station without an image has not failed.
  if (!sendsImage()) return false;
  if (davis_dumpsensor(dd, 1, image, 2 * SENSOR_IMAGE_BYTES) != 0 ||
      readStation16(ADDR_DEWDTA, &dew) != 0 || readStation16(ADDR_CHLDTA, &chill) != 0) {
    liveReadFailed();
    return false;
  }
  *raw = sampleFromImage(image, dew, chill);
  const time_t now = time(nullptr);
  *sample = sampleOf(now, raw, &cal);
  readingsTake(sample);
  liveSample(*sample, now);
  return true;
}

// A live read: the same sample as logging takes, not logged, from a
// station caught up as for logging (offsets in force).
void liveRead() {
  const bool reopened = reopenIfLost();
  if (dd == nullptr) return;
  davis_sample raw;
  weather_sample sample;
  if (stationCaughtUp(reopened))
    stationSample(&raw, &sample);
  else
    liveReadFailed();
}

void signalPipeHandler(int theFD, int, int) {
  char drain[16];
  while (read(theFD, drain, sizeof drain) > 0) {
  }
  if (!stopRequested) return;
  // The goodbye heartbeat goes out while the service still exists; the
  // loop ends once the library is shut down.
  liveStop();
  outputsStop();
  xPL_setServiceEnabled(davisService, FALSE);
  xPL_releaseService(davisService);
  davisService = nullptr;
  xPL_shutdown();
}

void shutdownHandler(int) {
  const int savedErrno = errno;
  stopRequested = 1;
  if (sigPipe[1] >= 0) {
    const char c = 1;
    ssize_t r = write(sigPipe[1], &c, 1);
    (void)r;
  }
  errno = savedErrno;
}

void takeSetting(xPL_ServicePtr service, const char *name, std::optional<std::string> &setting) {
  String value = xPL_getServiceConfigValue(service, S(name));
  if (value != nullptr && *value != '\0') setting = std::string(value);
}

// Once, a little after the start: until a hub relays our heartbeat no
// request reaches the daemon, which -d should say rather than stay silent.
void hubWaitHandler(int, xPL_ObjectPtr) {
  xPL_removeTimeoutHandler(hubWaitHandler);
  if (!xPL_isHubConfirmed())
    dbg("waiting for an xPL hub on interface %s to relay our heartbeat\n",
        xPL_getBroadcastInterface());
}

// Registered only with --locked: the xPL layer ignores the response itself.
void lockedConfigHandler(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) {
  dbg("configuration locked: config.response ignored\n");
}

}  // namespace

// ---- Start options -------------------------------------------------------------

namespace {

const char USAGE[] =
    "usage: kivamet [-d]\n"
    "       [-interface NAME] [-xpldebug] [--config FILE] [--locked]\n"
    "       [--live SECONDS] [--units us|metric] [--mqtt mqtt[s]://[user@]host[:port]]\n"
    "       [--mqtt-prefix TOPIC] [--ha-prefix TOPIC] [--help] [--version]\n";

enum { OPT_LOCKED = 0x200, OPT_CONFIG, OPT_HELP, OPT_VERSION, OPT_SETTING = 0x300 };

// Start options that set a key of the settings file, and win over it. A
// bad value is named as "kivamet: --OPTION takes EXPECTS, not VALUE" unless
// the row has its own complaint.
struct setting_option {
  const char *name;
  const char *table;
  const char *key;
  const char *complaint;
};
const setting_option SETTING_OPTIONS[] = {
    {"live", "live", "seconds", nullptr},
    {"units", "live", "units", nullptr},
    // Never echoed: a URL with a password in it is what gets refused.
    {"mqtt", "mqtt", "url",
     "kivamet: --mqtt takes mqtt://[user@]host[:port] or mqtts://...; the password comes from "
     "KIVAMET_MQTT_PASSWORD"},
    {"mqtt-prefix", "mqtt", "prefix", nullptr},
    {"ha-prefix", "mqtt", "ha_prefix", nullptr},
};
constexpr int SETTING_OPTION_COUNT = sizeof SETTING_OPTIONS / sizeof SETTING_OPTIONS[0];

// [station]: where the station stands, for the services that map it.
const setting_key STATION_KEYS[] = {
    {"latitude", SETTING_NUMBER, "-90 to 90 degrees", -90, 90, nullptr, 0},
    {"longitude", SETTING_NUMBER, "-180 to 180 degrees", -180, 180, nullptr, 0},
    {"altitude", SETTING_NUMBER, "-500 to 9000 metres", -500, 9000, nullptr, 0},
};
const settings_table STATION_SETTINGS = {"station", STATION_KEYS,
                                         sizeof STATION_KEYS / sizeof STATION_KEYS[0]};

std::vector<struct option> optionTable() {
  std::vector<struct option> all = {{"locked", no_argument, nullptr, OPT_LOCKED},
                                    {"config", required_argument, nullptr, OPT_CONFIG},
                                    {"help", no_argument, nullptr, OPT_HELP},
                                    {"version", no_argument, nullptr, OPT_VERSION}};
  for (int i = 0; i < SETTING_OPTION_COUNT; i++)
    all.push_back({SETTING_OPTIONS[i].name, required_argument, nullptr, OPT_SETTING + i});
  all.push_back({nullptr, 0, nullptr, 0});
  return all;
}

// A setting option's value, checked as the file's would be; false after
// its complaint.
bool takeSettingOption(const settings_tables &tables, int index, const char *arg,
                       std::vector<std::pair<int, setting_value>> *given) {
  const setting_option &o = SETTING_OPTIONS[index];
  const setting_key *key = settingsKey(tables, o.table, o.key);
  setting_value value;
  if (key != nullptr && settingsFromText(*key, arg, &value)) {
    given->emplace_back(index, value);
    return true;
  }
  if (o.complaint != nullptr) {
    fprintf(stderr, "%s\n", o.complaint);
  } else {
    fprintf(stderr, "kivamet: --%s takes %s, not %s\n", o.name,
            key != nullptr ? key->expects : "a value", arg);
  }
  return false;
}

// The settings file, if one was named, then the options over it. False
// after a line that says why.
bool takeSettings(const char *path, const settings_tables &tables,
                  const std::vector<std::pair<int, setting_value>> &given) {
  if (path != nullptr) {
    std::string why, warning;
    if (!settingsRead(path, tables, &settings, &why, &warning)) {
      fprintf(stderr, "kivamet: %s\n", why.c_str());
      return false;
    }
    if (!warning.empty()) fprintf(stderr, "kivamet: warning: %s\n", warning.c_str());
  }
  for (const auto &[index, value] : given)
    settings.set(SETTING_OPTIONS[index].table, SETTING_OPTIONS[index].key, value);
  return true;
}

const char *databaseDir() {
  return rrddir ? rrddir->c_str() : DEFAULT_RRDDIR;
}

// What the outputs get from the daemon.
output_context outputContext() {
  output_context c;
  c.service = davisService;
  unitSystemParse(settings.text("live", "units", "us").c_str(), &c.units);
  const long long seconds = settings.integer("live", "seconds", 0);
  c.livePeriod = seconds > 0 ? static_cast<int>(seconds) : outputsLivePeriod(settings);
  c.databaseDir = databaseDir;
  c.stationModel = []() -> const char * { return dd != nullptr ? davis_model_str(dd) : nullptr; };
  c.place.known = settings.find("station", "latitude") != nullptr &&
                  settings.find("station", "longitude") != nullptr;
  c.place.latitude = settings.number("station", "latitude", 0);
  c.place.longitude = settings.number("station", "longitude", 0);
  c.place.altitude = settings.number("station", "altitude", 0);
  c.settings = &settings;
  return c;
}

}  // namespace

// ---- Settings ----------------------------------------------------------------

settings_tables kivametSettingsTables(void) {
  settings_tables tables = {&LIVE_SETTINGS, &STATION_SETTINGS, &QC_SETTINGS, &QC_STEP_SETTINGS};
  for (const settings_table *t : outputsSettingsTables()) tables.push_back(t);
  return tables;
}

void parseconfig(xPL_ServicePtr theService) {
  closeStation();
  liveStationForget();
  deviceready = 0;
  addressready = 0;
  offsetsRead = false;
  takeSetting(theService, "type", conntype);
  takeSetting(theService, "device", device);
  takeSetting(theService, "net-address", netaddress);
  takeSetting(theService, "net-port", netport);
  takeSetting(theService, "location", weatherloc);
  takeSetting(theService, "rrddir", rrddir);
  // Known address and port count, whether or not this pass carried them.
  if (netaddress && netport) addressready = 1;
  conntype_open();
}

void conntype_open(void) {
  stationWanted = openStation();
  if (!deviceready) {
    liveStationLost(false);
    return;
  }
  // A station that did not even answer the model probe is silent: asking it
  // for offsets and the clock would hold the loop for nothing. The logging
  // pass probes again and catches up with both once it answers. One that
  // answered with a code outside the known models is calibrated and has its
  // clock checked like any other (it only has no sensor image).
  if (!dd->answered) {
    dbg("station model unknown; calibration and clock check left to the logging pass\n");
    liveReadFailed();
    return;
  }
  inSettingsPass = true;
  calibrate();
  datetimeHandler(0, nullptr);
  rrdHandler(0, nullptr);
  inSettingsPass = false;
}

void configChangedHandler(xPL_ServicePtr theService, xPL_ObjectPtr) {
  parseconfig(theService);
}

// ---- xPL handlers ------------------------------------------------------------

void sensorrequestHandler(xPL_ServicePtr theService, xPL_MessagePtr theMessage, xPL_ObjectPtr) {
  String request = xPL_getMessageNamedValue(theMessage, S("request"));
  String name = xPL_getMessageNamedValue(theMessage, S("device"));
  if (request == nullptr || name == nullptr) return;
  if (xPL_strcmpIgnoreCase(request, "current") != 0) return;
  const memtype *row = memFind(name);
  if (row == nullptr || row->mem_type == MEM_UNK) return;
  if (dd == nullptr) {
    dbg("no station connection: %s not read\n", row->mem_name);
    return;
  }
  // A value the station is asked for waits for a read it can share.
  if (row->mem_type != MEM_NONE && requestsQueue(theService, theMessage, row)) return;

  unsigned char bytes[MEM_BYTES_SIZE] = {0};
  if (row->mem_type != MEM_NONE && readRow(row, bytes) != 0) {
    dbg("cannot read %s from the station\n", row->mem_name);
    return;
  }
  requestsAnswer(theService, xPL_getSourceVendor(theMessage), xPL_getSourceDeviceID(theMessage),
                 xPL_getSourceInstanceID(theMessage), name, row, bytes, dd);
}

void controlbasicHandler(xPL_ServicePtr, xPL_MessagePtr theMessage, xPL_ObjectPtr) {
  // Accepted so the network sees a controllable device; nothing is changed.
  String name = xPL_getMessageNamedValue(theMessage, S("device"));
  xPL_getMessageNamedValue(theMessage, S("type"));
  xPL_getMessageNamedValue(theMessage, S("current"));
  if (name != nullptr) memFind(name);
}

// ---- Timed jobs --------------------------------------------------------------

void datetimeHandler(int, xPL_ObjectPtr) {
  if (dd == nullptr) return;
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);

  unsigned char timeCell[3] = {0, 0, 0};
  unsigned char dateCell[2] = {0, 0};
  if (davis_readstation(dd, ADDR_TIME, timeCell, 6) != 0 ||
      davis_readstation(dd, ADDR_DATE, dateCell, 3) != 0) {
    dbg("cannot read the station clock; clock check skipped\n");
    return;
  }
  const clockFields station = clockDecode(timeCell, dateCell);
  dbg("%2d:%02d:%02d %d/%d\n", station.hour, station.minute, station.second, station.month,
      station.day);
  if (clockInLine(&station, &local)) return;

  dbg("setting time/date to %2d:%02d:%02d %d/%d\n", local.tm_hour, local.tm_min, local.tm_sec,
      local.tm_mon + 1, local.tm_mday);
  clockEncode(&local, timeCell, dateCell);
  // Both cells are written even when the first write failed: a date left
  // wrong is put right by itself.
  if (davis_writestation(dd, ADDR_TIME, timeCell, 6) != 0) dbg("cannot set the station time\n");
  if (davis_writestation(dd, ADDR_DATE, dateCell, 3) != 0) dbg("cannot set the station date\n");
}

void rrdHandler(int, xPL_ObjectPtr) {
  const bool reopened = reopenIfLost();
  if (dd == nullptr) return;
  if (!stationCaughtUp(reopened)) {
    liveReadFailed();
    return;
  }
  // Logging waits for a database that can take the sample, and for the
  // catch-up that fills a gap the logger's archive can fill.
  const char *dir = databaseDir();
  if (rrdPrepare(dir) != RRD_STORED) return;
  // A station that sends no image logs nothing, so nothing of its archive
  // is written either.
  if (sendsImage() && catchupHoldsLogging(dir, &cal)) return;

  const time_t now = time(nullptr);
  davis_sample raw;
  weather_sample sample;
  if (!stationSample(&raw, &sample)) return;
  // The minute's record carries the time the pass began.
  sample.time = now;
  if (debug) {
    char text[RRD_UPDATE_SIZE];
    sampleUpdateText(text, sizeof text, &sample);
    dbg("%s\n", text);
  }
  if (outputsLogged(&sample, 1)) samp = raw;
}

// ---- Entry point -------------------------------------------------------------

int kivamet_main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  dbgUseFlag(&debug);
  if (!xPL_parseCommonArgs(&argc, argv, FALSE)) {
    fprintf(stderr, "kivamet: -interface needs the name of a network interface\n%s", USAGE);
    return 1;
  }
  const settings_tables tables = kivametSettingsTables();
  const std::vector<struct option> options = optionTable();
  std::vector<std::pair<int, setting_value>> given;
  const char *configPath = nullptr;
  int opt;
  while ((opt = getopt_long(argc, argv, "d", options.data(), nullptr)) != -1) {
    switch (opt) {
      case 'd':
        debug = 1;
        break;
      case OPT_LOCKED:
        configLocked = true;
        break;
      case OPT_CONFIG:
        configPath = optarg;
        break;
      case OPT_HELP:
        fputs(USAGE, stdout);
        return 0;
      case OPT_VERSION:
        printf("kivamet %s\n", KIVAMET_VERSION);
        return 0;
      default:
        if (opt >= OPT_SETTING && opt < OPT_SETTING + SETTING_OPTION_COUNT &&
            takeSettingOption(tables, opt - OPT_SETTING, optarg, &given))
          break;
        fputs(USAGE, stderr);
        return 1;
    }
  }
  // A stray word (a file name, a value whose option was mistyped) is not
  // ignored; it is not echoed either, since it may be a password.
  if (optind < argc) {
    fputs("kivamet: takes options only\n", stderr);
    fputs(USAGE, stderr);
    return 1;
  }
  if (!takeSettings(configPath, tables, given)) return 1;
  logPeriod = logPeriodFrom(getenv(LOG_PERIOD_ENV));
  davis_setdebugflag(&debug);
  // A station adaptor or web server that closes its end must fail the
  // write, not kill the daemon.
  signal(SIGPIPE, SIG_IGN);

  if (!xPL_initialize(xPL_getParsedConnectionType())) {
    fprintf(stderr, "Unable to start xPL");
    return 1;
  }
  if (pipe2(sigPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    fprintf(stderr, "cannot make the signal pipe: %s\n", strerror(errno));
    return 1;
  }

  davisService =
      xPL_createConfigurableService(S(KIVAMET_XPL_VENDOR), S(KIVAMET_XPL_DEVICE), S("kivamet.xml"));
  xPL_setServiceVersion(davisService, S("1.0"));
  if (configLocked) {
    xPL_setServiceConfigLocked(davisService, TRUE);
    xPL_addServiceListener(davisService, lockedConfigHandler, xPL_MESSAGE_COMMAND, S("config"),
                           S("response"), nullptr);
    if (!xPL_isServiceConfigured(davisService))
      dbg("configuration locked, and kivamet.xml holds none: the defaults stay\n");
  }
  if (!xPL_isServiceConfigured(davisService)) {
    static const struct {
      const char *name;
      xPL_ConfigurableType type;
      const char *value;
    } items[] = {
        {"type", xPL_CONFIG_RECONF, ""},          {"device", xPL_CONFIG_OPTIONAL, ""},
        {"net-address", xPL_CONFIG_OPTIONAL, ""}, {"net-port", xPL_CONFIG_OPTIONAL, ""},
        {"location", xPL_CONFIG_RECONF, ""},      {"rrddir", xPL_CONFIG_RECONF, DEFAULT_RRDDIR},
    };
    for (const auto &item : items) {
      xPL_addServiceConfigurable(davisService, S(item.name), item.type, 1);
      xPL_setServiceConfigValue(davisService, S(item.name), S(item.value));
    }
  }

  const output_context context = outputContext();
  readingsStart(settings, databaseDir);
  liveStart(context.livePeriod, liveRead);
  std::string why;
  if (!outputsStart(context, &why)) {
    if (!why.empty()) fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  catchupSetup([] { return dd; }, [] { rrdHandler(0, nullptr); });
  parseconfig(davisService);

  xPL_addServiceConfigChangedListener(davisService, configChangedHandler, nullptr);
  xPL_addServiceListener(davisService, sensorrequestHandler, xPL_MESSAGE_COMMAND, S("sensor"),
                         S("request"), nullptr);
  xPL_addServiceListener(davisService, controlbasicHandler, xPL_MESSAGE_COMMAND, S("control"),
                         S("basic"), nullptr);

  xPL_addIODevice(signalPipeHandler, 0, sigPipe[0], TRUE, FALSE, FALSE);
  static const request_station station = {[]() { return dd; }, readRow};
  requestsStart(&station);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = shutdownHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  xPL_setServiceEnabled(davisService, TRUE);
  xPL_addTimeoutHandler(datetimeHandler, CLOCK_PERIOD, nullptr);
  xPL_addTimeoutHandler(rrdHandler, logPeriod, nullptr);
  xPL_addTimeoutHandler(hubWaitHandler, HUB_WAIT, nullptr);

  // The loop ends by itself only when it failed: a supervisor should then
  // start the daemon again.
  xPL_processMessages(-1);
  if (stopRequested) return 0;
  fprintf(stderr, "the event loop failed; exiting\n");
  return 1;
}
