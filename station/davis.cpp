// davis.cpp - the data logger's command protocol: open, flush, read with a
// silence time-out, CRC, and every memory and control command.
#include "davis.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ccitt.h"
#include "netconnect.h"

namespace {

// The station's acknowledgement and the byte that opens a sensor image.
constexpr unsigned char ACK = 0x06;
constexpr unsigned char IMAGE_START = 0x01;
constexpr unsigned char CR = 0x0D;

// The logger falls silent for good after this long between two bytes.
constexpr int SILENCE_MS = 2000;
constexpr int ATTEMPTS = 5;
// Dropping the rest of an earlier answer ends after this long even when
// the peer never falls quiet; the flush of the next attempts takes the rest.
constexpr int STALE_DRAIN_MAX_MS = 3 * SILENCE_MS;
// Bytes before and after the data of each reply: the acknowledgement, the
// image's start byte, a CRC.
constexpr int ACK_BYTES = 1;
constexpr int CRC_BYTES = 2;

// A write of 8 nibbles: 3 letters, 2 parameter bytes, 4 data bytes, CR.
constexpr int MAX_CMD = 10;
// Station memory commands and the link write carry at most 8 nibbles.
constexpr int MAX_NIBBLES = 8;
// Archive memory counts are sent as 16-bit (count - 1).
constexpr int MAX_ARCHIVE_BYTES = 65536;
constexpr int IMAGE_NIBBLES = 30;
// The station dump is 256 nibbles: 128 bytes, the same nibble count that
// every other length of the link uses, so a caller that sized data as
// datalen/2 bytes is never overrun and the CRC covers exactly what came in.
constexpr int DUMP_NIBBLES = 256;

const char *const MODEL_NAMES[] = {"wizard3",    "wizard2", "monitor", "perception",
                                   "groweather", "energy",  "health"};
constexpr int MODEL_COUNT = sizeof MODEL_NAMES / sizeof MODEL_NAMES[0];

const int *debugflag = nullptr;

bool debugOn() {
  return debugflag != nullptr && *debugflag != 0;
}

struct Elapsed {
  int sec;
  int usec;
};

struct timeval now() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv;
}

// Deadlines and drains run on the monotonic clock: something else (NTP, an
// administrator) may step the host's clock in the middle of an exchange. The
// daemon's own clock check sets the station's clock, not the host's.
long long monotonicUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Elapsed since(const struct timeval &start) {
  struct timeval end = now();
  Elapsed e{static_cast<int>(end.tv_sec - start.tv_sec),
            static_cast<int>(end.tv_usec - start.tv_usec)};
  if (e.usec < 0) {
    e.sec--;
    e.usec += 1000000;
  }
  return e;
}

// A reply that did not come whole or as expected may still be on its way,
// and it would read as the answer to whatever command comes next.
void markStale(davis_device *d) {
  d->stale = DAVIS_LINE_BUSY;
}

// An attempt that came after a flush and read its whole reply had no rest
// of an earlier reply spoil it, so nothing is left to wait out. An earlier
// attempt that ended on silence may still be answered late, though: what
// has arrived by the next command is dropped, as after any silence.
void retrySucceeded(davis_device *d) {
  if (d->stale != DAVIS_LINE_CLEAN) d->stale = DAVIS_LINE_QUIET;
}

// Reads and drops what arrives until the line has been quiet for `quietUs`,
// for `maxUs` at most. False when the peer was still sending at the end, or
// the line failed.
bool drainUntilQuiet(davis_device *d, long long quietUs, long long maxUs) {
  const long long end = monotonicUs() + maxUs;
  unsigned char junk[256];
  for (;;) {
    const long long left = end - monotonicUs();
    if (left <= 0) return false;
    // Rounded up to whole milliseconds, so the quiet is never cut short.
    const long long waitUs = std::min(quietUs, left);
    struct pollfd pfd = {d->fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>((waitUs + 999) / 1000));
    if (ready == 0) return true;
    if (ready < 0 || read(d->fd, junk, sizeof junk) <= 0) return false;
  }
}

// A reply that came whole but failed its CRC had a byte spoilt on the line,
// so no rest of it is still coming: at most a byte the line added, a byte
// time or two behind the last. Waiting 2 s of silence before the next
// command would hold the caller for nothing (a catch-up chunk that failed
// would hold every request behind it). So what arrives until the line has
// been quiet for SETTLE_QUIET_BYTES byte times is dropped here, and the line
// is clean; a peer still sending after SETTLE_MAX_BYTES is talking on, and
// the next command waits it out as after any exchange that went wrong.
constexpr int SETTLE_QUIET_BYTES = 2;
constexpr int SETTLE_MAX_BYTES = 8;

void settleAfterBadCrc(davis_device *d) {
  if (!drainUntilQuiet(d, SETTLE_QUIET_BYTES * DAVIS_BYTE_USEC, SETTLE_MAX_BYTES * DAVIS_BYTE_USEC))
    markStale(d);
}

// A socket has no terminal queues: this drops what it has received, and
// only what is queued now, so a peer that never stops sending cannot keep
// it going.
void dropReceived(davis_device *d) {
  int queued = 0;
  if (ioctl(d->fd, FIONREAD, &queued) != 0) queued = 0;
  unsigned char junk[256];
  while (queued > 0) {
    ssize_t n = recv(d->fd, junk, std::min(static_cast<size_t>(queued), sizeof junk), MSG_DONTWAIT);
    if (n <= 0) break;
    queued -= static_cast<int>(n);
  }
}

// Drops what has already arrived, without waiting for more.
void dropArrived(davis_device *d) {
  if (tcflush(d->fd, TCIFLUSH) != 0 && errno == ENOTTY) dropReceived(d);
}

// What is left of an exchange that went wrong must not be read as the next
// answer. After silence the line has already been quiet for the limit, so
// only a late answer that arrived since is dropped; otherwise the rest may
// still be coming, and everything is dropped until the line falls quiet.
// Silent: the flush of a later attempt already says when bytes were dropped.
void dropStale(davis_device *d) {
  const uint8_t how = d->stale;
  d->stale = DAVIS_LINE_CLEAN;
  if (how == DAVIS_LINE_CLEAN) return;
  if (how == DAVIS_LINE_QUIET) {
    dropArrived(d);
    return;
  }
  // Clean however it ends (see STALE_DRAIN_MAX_MS).
  drainUntilQuiet(d, SILENCE_MS * 1000LL, STALE_DRAIN_MAX_MS * 1000LL);
}

// What readWithin returns when the deadline passed.
constexpr int PAST_DEADLINE = -2;

// What the reads of one exchange share: its deadline, and how the peer has
// paced the bytes it sent so far.
struct Pace {
  long long deadlineUs;  // on the monotonic clock
  // A gap between two bytes of the reply longer than this (the deadline's
  // whole allowance for the wire time) is no station sending at its line's
  // pace: the peer trickles.
  long long slowGapUs;
  long long lastByteUs = 0;  // 0 until the first byte of the reply
  bool trickles = false;
};

// Reads len/2 bytes as davis_read does. With a pace, the reads of one
// exchange also keep its deadline, but a quiet line at the deadline does
// not tell a slow peer from a silent one (an acknowledgement late by more
// than the margin, then a lost byte): the wait goes on to the silence limit,
// and only a byte that arrives after the deadline shows a peer still
// sending, too slowly. A peer that has already trickled is not waited for.
// PAST_DEADLINE says that the deadline was missed.
int readWithin(davis_device *d, unsigned char *data, int len, Pace *pace) {
  printf("read start %d\n", len);
  int want = len > 0 ? len / 2 : 0;
  int got = 0;
  long long quietSinceUs = monotonicUs();
  // A wait ended at or after the deadline with nothing to read.
  bool quietPastDeadline = false;
  while (want > 0) {
    const long long nowUs = monotonicUs();
    const long long silenceEndUs = quietSinceUs + SILENCE_MS * 1000LL;
    long long endUs = silenceEndUs;
    if (pace != nullptr && !quietPastDeadline)
      // Past the deadline, only look: what is there already came in time.
      endUs = std::min(endUs, std::max(nowUs, pace->deadlineUs));
    const bool cut = endUs < silenceEndUs;
    // Rounded up, so that a wait which runs out has reached its end.
    const int wait = static_cast<int>(std::max(0LL, (endUs - nowUs + 999) / 1000));
    // poll, not select: the descriptor may be numbered above FD_SETSIZE.
    struct pollfd pfd = {d->fd, POLLIN, 0};
    int ready = poll(&pfd, 1, wait);
    if (ready == 0 && cut && !pace->trickles) {
      quietPastDeadline = true;
      continue;
    }
    if ((ready == 0 && cut) || (ready > 0 && quietPastDeadline)) {
      // Bytes still come, but too slowly for the exchange to end in time.
      printf("read deadline %d got %d\n", len, got * 2);
      markStale(d);
      return PAST_DEADLINE;
    }
    if (ready <= 0) {
      printf("select err=%d\n", ready);
      if (ready == 0)
        d->stale = DAVIS_LINE_QUIET;
      else
        markStale(d);
      return ready;
    }
    ssize_t n = read(d->fd, data + got, static_cast<size_t>(want));
    printf("read loop %d got %d\n", want, static_cast<int>(n));
    // Readable with nothing to read is the peer's end of stream: waiting
    // again would spin until the silence limit never comes.
    if (n <= 0) {
      markStale(d);
      return -1;
    }
    got += static_cast<int>(n);
    want -= static_cast<int>(n);
    quietSinceUs = monotonicUs();
    if (pace != nullptr) {
      if (pace->lastByteUs != 0 && quietSinceUs - pace->lastByteUs > pace->slowGapUs)
        pace->trickles = true;
      pace->lastByteUs = quietSinceUs;
    }
  }
  printf("read done %d got %d\n", len, got * 2);
  return got * 2;
}

// One write for the whole command. On a socket, send() without SIGPIPE: an
// adaptor that hung up must fail the command, not kill the daemon.
int writeCommand(davis_device *d, const unsigned char *cmd, int len) {
  ssize_t n = send(d->fd, cmd, static_cast<size_t>(len), MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK) n = write(d->fd, cmd, static_cast<size_t>(len));
  return static_cast<int>(n);
}

// One command and its reply. The reply's reads share one deadline: a few
// times the wire time of every byte of the exchange, plus the silence limit
// for the station's own pause before it answers. Set just before the
// command goes out. A station that cannot meet it sends too slowly, which
// another attempt does not mend: the retry loops give up at once.
class Exchange {
 public:
  Exchange(davis_device *d, int replyBytes) : d_(d), replyBytes_(replyBytes) {}
  // Sets the deadline and writes the command; the write's result.
  int send(const unsigned char *cmd, int len) {
    pace_.slowGapUs =
        static_cast<long long>(DAVIS_DEADLINE_FACTOR) * DAVIS_BYTE_USEC * (len + replyBytes_);
    pace_.deadlineUs = monotonicUs() + SILENCE_MS * 1000LL + pace_.slowGapUs;
    return writeCommand(d_, cmd, len);
  }
  // As send, once what an exchange that went wrong left on the line is
  // dropped. (The retry loops drop it once, before their first attempt.)
  int begin(const unsigned char *cmd, int len) {
    dropStale(d_);
    return send(cmd, len);
  }
  // As davis_read, within the deadline; -1 when it passes.
  int read(unsigned char *data, int len) {
    const int r = readWithin(d_, data, len, &pace_);
    if (r != PAST_DEADLINE) return r;
    expired_ = true;
    return -1;
  }
  bool expired() const { return expired_; }

 private:
  davis_device *d_;
  int replyBytes_;
  Pace pace_{};
  bool expired_ = false;
};

// True only for a whole 0x06 (`err` is the read's result for it). The read
// has marked the line for silence and errors; a wrong byte is marked here.
bool ackOk(davis_device *d, int err, unsigned char c) {
  if (err == 2 && c == ACK) return true;
  if (err == 2) markStale(d);
  return false;
}

// Reads the single acknowledgement byte; true only for a whole 0x06.
bool readAck(davis_device *d, Exchange &x) {
  unsigned char c = 0;
  int err = x.read(&c, 2);
  return ackOk(d, err, c);
}

// Reads the two CRC bytes that follow `len` data bytes and checks them.
// The station sends the CRC high byte first, which is exactly the
// byte-swapped value davis_crc returns once stored little-endian.
bool readCrcMatches(davis_device *d, Exchange &x, const unsigned char *data, int len) {
  unsigned char c[2] = {0, 0};
  if (x.read(c, 4) != 4) return false;
  if ((c[0] | (c[1] << 8)) == davis_crc(data, len)) return true;
  settleAfterBadCrc(d);
  return false;
}

// Writes a command that is answered by a lone acknowledgement.
int ackedCommand(davis_device *d, const unsigned char *cmd, int len) {
  Exchange x(d, ACK_BYTES);
  if (int ret = x.begin(cmd, len); ret != len) return ret;
  return readAck(d, x) ? 0 : -1;
}

davis_device *newDevice() {
  davis_device *d = static_cast<davis_device *>(calloc(1, sizeof(davis_device)));
  if (d == nullptr) return nullptr;
  // Outside every model code, so a station that never answers the probe
  // reads as "unknown".
  d->type = -1;
  d->fd = -1;
  return d;
}

// The model code sits in one nibble at 0x4D. Only a whole answer counts:
// half a reply left in `type` would name a model the station is not. A
// whole answer counts even when it names no known model.
int probeModel(davis_device *d) {
  unsigned char code = 0;
  int r = davis_readstation(d, 0x4D, &code, 1);
  d->answered = r == 0;
  d->type = r == 0 ? static_cast<int8_t>(code) : -1;
  return r == 0 ? 0 : -1;
}

// errno survives the clean-up of a failed open for the caller's perror.
davis_device *failOpen(davis_device *d, int err) {
  if (d->fd >= 0) close(d->fd);
  free(d);
  errno = err;
  return nullptr;
}

// Anything written to a path that is not a terminal may do harm there, and
// a setting received over the network can name any path.
bool isTerminal(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && isatty(fd);
}

bool modelHasImage(const davis_device *d) {
  return d->type >= 0 && d->type <= 3;
}
bool modelHasDump(const davis_device *d) {
  return d->type >= 4 && d->type <= 6;
}

}  // namespace

extern "C" {

void davis_setdebugflag(const int *flag) {
  debugflag = flag;
}

davis_device *davis_open(const char *dev) {
  if (dev == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  // A regular file, pipe or block device is refused before it is opened.
  struct stat st;
  if (stat(dev, &st) != 0) return nullptr;
  if (!S_ISCHR(st.st_mode)) {
    errno = ENOTTY;
    return nullptr;
  }
  davis_device *d = newDevice();
  if (d == nullptr) return nullptr;
  // Non-blocking: a port that waits for carrier must not hang the open.
  d->fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (d->fd < 0) return failOpen(d, errno);
  if (!isTerminal(d->fd)) return failOpen(d, ENOTTY);
  struct termios tio;
  memset(&tio, 0, sizeof tio);
  bool ok = tcgetattr(d->fd, &tio) == 0;
  if (ok) {
    // Raw 8N1 at 2400 bit/s: the logger's replies are binary, so nothing
    // may translate, echo or swallow a byte, and no modem line matters.
    tio.c_iflag = IGNBRK | IGNPAR;
    tio.c_oflag = 0;
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetspeed(&tio, B2400);
    ok = tcsetattr(d->fd, TCSANOW, &tio) == 0;
  }
  // CLOCAL is set now, so reads and writes may block as the link expects.
  if (ok) ok = fcntl(d->fd, F_SETFL, fcntl(d->fd, F_GETFL) & ~O_NONBLOCK) == 0;
  if (!ok) return failOpen(d, errno);
  probeModel(d);
  return d;
}

davis_device *davis_tcp_open(const char *addr, const char *nport) {
  if (addr == nullptr || nport == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  // The port is checked before the address so that a bad port never costs a
  // name lookup. strtol rather than atoi: an overlong number must not be
  // undefined behaviour; the low 16 bits are the port either way.
  uint16_t port = static_cast<uint16_t>(strtol(nport, nullptr, 10) & 0xFFFF);
  if (port == 0) {
    errno = EINVAL;
    return nullptr;
  }
  davis_device *d = newDevice();
  if (d == nullptr) return nullptr;
  d->fd = davis_connect(addr, port, DAVIS_CONNECT_TIMEOUT_MS);
  if (d->fd < 0) return failOpen(d, errno);
  probeModel(d);
  return d;
}

int davis_probe(davis_device *d) {
  return probeModel(d);
}

int davis_flush(davis_device *d) {
  int err = tcflush(d->fd, TCIOFLUSH);
  int flushErrno = errno;
  // A socket has no terminal queues; drop what has already arrived so a
  // retry does not read the tail of the failed reply as its answer.
  if (err != 0 && flushErrno == ENOTTY) dropReceived(d);
  printf("flush err=%d errno=%d\n", err, flushErrno);
  return err;
}

int davis_read(davis_device *d, unsigned char *data, int len) {
  return readWithin(d, data, len, nullptr);
}

int davis_crc(const unsigned char *buf, int size) {
  uint16_t crc = 0;
  for (int i = 0; i < size; i++)
    crc = static_cast<uint16_t>(crc_table[((crc >> 8) ^ buf[i]) & 0xFF] ^ (crc << 8));
  return ((crc & 0xFF) << 8) | (crc >> 8);
}

int davis_readstation(davis_device *d, uint16_t addr, unsigned char *data, int datalen) {
  struct timeval start = now();
  if (datalen < 0 || datalen > MAX_NIBBLES) return -1;
  // Bank code in the low half: 2 for the first 256 nibbles, 4 above.
  const unsigned char bank = (addr & 0xFF00) == 0 ? 2 : 4;
  const unsigned char cmd[] = {'W',
                               'R',
                               'D',
                               static_cast<unsigned char>((datalen << 4) | bank),
                               static_cast<unsigned char>(addr & 0xFF),
                               CR};
  const int cmdlen = sizeof cmd;
  bool done = false;
  bool rounded = false;
  dropStale(d);
  for (int retries = ATTEMPTS - 1; retries >= 0 && !done; retries--) {
    davis_flush(d);
    Exchange x(d, ACK_BYTES + (datalen + 1) / 2);
    int ret = x.send(cmd, cmdlen);
    printf("rs write %d ret %d retries=%d\n", cmdlen, ret, retries);
    if (ret != cmdlen) return ret;
    unsigned char c = 0;
    int err = x.read(&c, 2);
    printf("rs1 c=%x err=%d\n", c, err);
    if (x.expired()) break;
    if (!ackOk(d, err, c)) continue;
    if (!rounded) {
      datalen += datalen & 1;
      rounded = true;
    }
    err = x.read(data, datalen);
    printf("rs2 datalen=%d err=%d\n", datalen, err);
    done = err == datalen;
    if (done) retrySucceeded(d);
    if (x.expired()) break;
  }
  Elapsed e = since(start);
  printf("station read %#x %d %d.%d secs\n", addr & 0xFF, datalen, e.sec, e.usec);
  return done ? 0 : -1;
}

int davis_writestation(davis_device *d, uint16_t addr, const unsigned char *data, int datalen) {
  struct timeval start = now();
  if (datalen < 0 || datalen > MAX_NIBBLES) return -1;
  const unsigned char bank = (addr & 0xFF00) == 0 ? 1 : 3;
  const int nbytes = (datalen + 1) / 2;
  unsigned char cmd[MAX_CMD] = {'W', 'W', 'R', static_cast<unsigned char>((datalen << 4) | bank),
                                static_cast<unsigned char>(addr & 0xFF)};
  if (nbytes > 0) memcpy(cmd + 5, data, static_cast<size_t>(nbytes));
  cmd[5 + nbytes] = CR;
  if (int ret = ackedCommand(d, cmd, 6 + nbytes); ret != 0) return ret;
  if (debugOn()) {
    Elapsed e = since(start);
    printf("station write %#x %d %d.%d secs\n", addr & 0xFF, datalen, e.sec, e.usec);
  }
  return 0;
}

int davis_readlink(davis_device *d, uint16_t addr, unsigned char *data, int datalen) {
  // A count of 0 would go out as 0xFF, asking for 256 nibbles nobody reads.
  if (datalen < 1) return -1;
  if (datalen > MAX_NIBBLES) {
    // The logger answers at most 8 nibbles a command: the tail comes first,
    // piece by piece, and each 8-nibble piece fills 4 bytes of data.
    for (int i = 1; MAX_NIBBLES * i < datalen; i++) {
      int piece = datalen - MAX_NIBBLES * i;
      if (piece > MAX_NIBBLES) piece = MAX_NIBBLES;
      int ret = davis_readlink(d, static_cast<uint16_t>(addr + MAX_NIBBLES * i),
                               data + (MAX_NIBBLES / 2) * i, piece);
      if (ret != 0) return ret;
    }
    datalen = MAX_NIBBLES;
  }
  struct timeval start = now();
  const unsigned char cmd[] = {'R',
                               'R',
                               'D',
                               static_cast<unsigned char>(addr >> 8),
                               static_cast<unsigned char>(addr & 0xFF),
                               static_cast<unsigned char>(datalen - 1),
                               CR};
  const int cmdlen = sizeof cmd;
  datalen += datalen & 1;
  Exchange x(d, ACK_BYTES + datalen / 2);
  if (int ret = x.begin(cmd, cmdlen); ret != cmdlen) return ret;
  if (!readAck(d, x)) return -1;
  if (x.read(data, datalen) != datalen) return -1;
  if (debugOn()) {
    Elapsed e = since(start);
    printf("link read %#x %d %d.%d secs\n", addr & 0xFF, datalen, e.sec, e.usec);
  }
  return 0;
}

int davis_writelink(davis_device *d, uint16_t addr, const unsigned char *data, int datalen) {
  struct timeval start = now();
  if (datalen < 1 || datalen > MAX_NIBBLES) return -1;
  const int nbytes = (datalen + 1) / 2;
  // The bank shares its byte with the count less one: high half and low half.
  unsigned char cmd[MAX_CMD] = {'R', 'W', 'R',
                                static_cast<unsigned char>(((addr >> 8) << 4) | (datalen - 1)),
                                static_cast<unsigned char>(addr & 0xFF)};
  memcpy(cmd + 5, data, static_cast<size_t>(nbytes));
  cmd[5 + nbytes] = CR;
  if (int ret = ackedCommand(d, cmd, 6 + nbytes); ret != 0) return ret;
  if (debugOn()) {
    Elapsed e = since(start);
    printf("link write %#x %d %d.%d secs\n", addr & 0xFF, datalen, e.sec, e.usec);
  }
  return 0;
}

int davis_readarchive(davis_device *d, uint16_t addr, unsigned char *data, int datalen) {
  struct timeval start = now();
  if (datalen < 1 || datalen > MAX_ARCHIVE_BYTES) return -1;
  const int count = datalen - 1;
  // Archive memory is byte-addressed and sends 16-bit values low byte first.
  const unsigned char cmd[] = {'S',
                               'R',
                               'D',
                               static_cast<unsigned char>(addr & 0xFF),
                               static_cast<unsigned char>(addr >> 8),
                               static_cast<unsigned char>(count & 0xFF),
                               static_cast<unsigned char>((count >> 8) & 0xFF),
                               CR};
  const int cmdlen = sizeof cmd;
  Exchange x(d, ACK_BYTES + datalen + CRC_BYTES);
  if (int ret = x.begin(cmd, cmdlen); ret != cmdlen) return ret;
  if (!readAck(d, x)) return -1;
  if (x.read(data, datalen * 2) != datalen * 2) return -1;
  if (!readCrcMatches(d, x, data, datalen)) return -1;
  if (debugOn()) {
    Elapsed e = since(start);
    printf("archive read %#x %d %d.%d secs\n", addr, datalen, e.sec, e.usec);
  }
  return 0;
}

int davis_writearchive(davis_device *d, uint16_t addr, unsigned char data) {
  struct timeval start = now();
  const unsigned char cmd[] = {'S',
                               'W',
                               'R',
                               static_cast<unsigned char>(addr & 0xFF),
                               static_cast<unsigned char>(addr >> 8),
                               data,
                               0x00,
                               CR};
  if (int ret = ackedCommand(d, cmd, sizeof cmd); ret != 0) return ret;
  if (debugOn()) {
    Elapsed e = since(start);
    printf("archive write %#x %d.%d secs\n", addr, e.sec, e.usec);
  }
  return 0;
}

int davis_dumpsensor(davis_device *d, int npaks, unsigned char *data, int datalen) {
  struct timeval start = now();
  // npaks goes out as a 16-bit two's complement: 0 or more than 65535
  // images cannot be asked for.
  if (!modelHasImage(d) || npaks < 1 || npaks > 0xFFFF ||
      static_cast<long long>(npaks) * IMAGE_NIBBLES != datalen)
    return -1;
  const unsigned count = (65536u - static_cast<unsigned>(npaks)) & 0xFFFF;
  const unsigned char cmd[] = {'L',
                               'O',
                               'O',
                               'P',
                               static_cast<unsigned char>(count & 0xFF),
                               static_cast<unsigned char>(count >> 8),
                               CR};
  const int cmdlen = sizeof cmd;
  bool done = false;
  dropStale(d);
  for (int retries = ATTEMPTS - 1; retries >= 0 && !done; retries--) {
    davis_flush(d);
    // The acknowledgement, the start byte, the images and their CRC.
    Exchange x(d, ACK_BYTES + 1 + datalen / 2 + CRC_BYTES);
    int ret = x.send(cmd, cmdlen);
    printf("ds write %d ret %d retries=%d\n", cmdlen, ret, retries);
    if (ret != cmdlen) return ret;
    unsigned char c = 0;
    int err = x.read(&c, 2);
    printf("ds1 c=%x err=%d retries=%d\n", c, err, retries);
    if (x.expired()) break;
    if (!ackOk(d, err, c)) continue;
    c = 0;
    err = x.read(&c, 2);
    printf("ds2 c=%x err=%d retries=%d\n", c, err, retries);
    if (x.expired()) break;
    if (err != 2 || c != IMAGE_START) {
      if (err == 2) markStale(d);
      continue;
    }
    err = x.read(data, datalen);
    printf("datalen=%d err=%d retries=%d\n", datalen, err, retries);
    if (x.expired()) break;
    if (err != datalen) continue;
    // The start byte is not covered by the CRC, only the image bytes.
    unsigned char crc[2] = {0, 0};
    err = x.read(crc, 4);
    const int received = crc[0] | (crc[1] << 8);
    const int computed = davis_crc(data, datalen / 2);
    printf("crc=%x %x err=%d retries=%d\n", received, computed, err, retries);
    done = err == 4 && received == computed;
    if (done) retrySucceeded(d);
    if (err == 4 && !done) settleAfterBadCrc(d);
    if (x.expired()) break;
  }
  Elapsed e = since(start);
  printf("dumpsensor %d.%d secs\n", e.sec, e.usec);
  return done ? 0 : -1;
}

int davis_dumparchive(davis_device *d) {
  // The fixed commands go out with a 0x00 after the carriage return.
  const unsigned char cmd[] = {'D', 'M', 'P', CR, 0x00};
  dropStale(d);
  return writeCommand(d, cmd, sizeof cmd);
}

int davis_dumpstation(davis_device *d, unsigned char *data, int datalen) {
  if (!modelHasDump(d) || datalen != DUMP_NIBBLES) return -1;
  const unsigned char cmd[] = {'M', 'D', 'M', 'P', CR, 0x00};
  const int cmdlen = sizeof cmd;
  Exchange x(d, datalen / 2 + CRC_BYTES);
  if (int ret = x.begin(cmd, cmdlen); ret != cmdlen) return ret;
  // No acknowledgement: the dump itself comes straight back.
  if (x.read(data, datalen) != datalen) return -1;
  return readCrcMatches(d, x, data, datalen / 2) ? 0 : -1;
}

int davis_setarcint(davis_device *d, int min) {
  const unsigned char cmd[] = {'S', 'A', 'P', static_cast<unsigned char>(min & 0xFF), CR};
  return ackedCommand(d, cmd, sizeof cmd);
}

int davis_setsenint(davis_device *d, int sec) {
  // The logger counts the sample period up to overflow: it wants 256 - sec.
  const unsigned char cmd[] = {'S', 'S', 'P', static_cast<unsigned char>((256 - sec) & 0xFF), CR};
  return ackedCommand(d, cmd, sizeof cmd);
}

int davis_stoplink(davis_device *d) {
  const unsigned char cmd[] = {'S', 'T', 'O', 'P', CR, 0x00};
  return ackedCommand(d, cmd, sizeof cmd);
}

int davis_startlink(davis_device *d) {
  const unsigned char cmd[] = {'S', 'T', 'A', 'R', 'T', CR, 0x00};
  return ackedCommand(d, cmd, sizeof cmd);
}

int davis_archive(davis_device *d) {
  const unsigned char cmd[] = {'A', 'R', 'C', CR, 0x00};
  return ackedCommand(d, cmd, sizeof cmd);
}

int davis_image(davis_device *d) {
  const unsigned char cmd[] = {'I', 'M', 'G', CR, 0x00};
  return ackedCommand(d, cmd, sizeof cmd);
}

int davis_disarctimer(davis_device *d) {
  const unsigned char cmd[] = {'D', 'B', 'T', CR, 0x00};
  return ackedCommand(d, cmd, sizeof cmd);
}

int davis_enaarctimer(davis_device *d) {
  const unsigned char cmd[] = {'E', 'B', 'T', CR, 0x00};
  return ackedCommand(d, cmd, sizeof cmd);
}

const char *davis_model_str(const davis_device *d) {
  if (d == nullptr || d->type < 0 || d->type >= MODEL_COUNT) return "unknown";
  return MODEL_NAMES[d->type];
}

}  // extern "C"
