// requests.cpp - the sensor requests waiting for a station read. They are
// served after the receive drain that queued them, one value a turn of the
// loop: the value asked for first is read once, and every request waiting
// for it is answered, in the order they came.
#include "requests.h"

#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "helpers.h"

namespace {

// Requests waiting at once; beyond this each is read as it comes.
constexpr int QUEUE_SIZE = 512;
// The requester's vendor, device and instance and the device name as asked,
// each with its terminator (xPL identifiers are at most 8, 8 and 16
// characters, row names 11). Longer ones are read as they come.
constexpr size_t NAMES_SIZE = 128;
constexpr int NAME_PARTS = 4;

// A read also answers requests that reached the socket before it began and
// were taken from it only afterwards: for a while after it, and only while
// the wall clock (the kernel's stamps are wall-clock time) has kept pace
// with the monotonic clock, so a clock set meanwhile cannot pass a request
// off as older than it is.
constexpr long long LATE_ANSWER_NS = 2000000000LL;
constexpr long long CLOCK_DRIFT_NS = 2000000LL;

struct Instant {
  long long wallNs;
  long long monotonicNs;
};

struct Waiting {
  xPL_ServicePtr service;
  const memtype *row;
  unsigned short at[NAME_PARTS];  // where each name starts in `names`
  char names[NAMES_SIZE];
};

// The last good read of each row, and when it began.
struct LastRead {
  bool valid;
  const davis_device *connection;
  Instant began;
  unsigned char bytes[MEM_BYTES_SIZE];
};

request_station station;
int wakeFd = -1;
Waiting queue[QUEUE_SIZE];
int queued = 0;
LastRead lastReads[MEM_ROWS];

long long nanoseconds(const struct timespec &t) {
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

Instant now() {
  struct timespec wall, monotonic;
  clock_gettime(CLOCK_REALTIME, &wall);
  clock_gettime(CLOCK_MONOTONIC, &monotonic);
  return Instant{nanoseconds(wall), nanoseconds(monotonic)};
}

void wake() {
  const uint64_t one = 1;
  ssize_t written = write(wakeFd, &one, sizeof one);
  (void)written;
}

bool takeNames(Waiting *entry, const char *const parts[NAME_PARTS]) {
  size_t used = 0;
  for (int i = 0; i < NAME_PARTS; i++) {
    const size_t length = strlen(parts[i]);
    if (used + length + 1 > NAMES_SIZE) return false;
    entry->at[i] = static_cast<unsigned short>(used);
    memcpy(entry->names + used, parts[i], length + 1);
    used += length + 1;
  }
  return true;
}

void answerFrom(const Waiting &entry, const unsigned char *bytes) {
  const char *names = entry.names;
  requestsAnswer(entry.service, names + entry.at[0], names + entry.at[1], names + entry.at[2],
                 names + entry.at[3], entry.row, bytes, station.connection());
}

// Whether the row's last read began after a request that arrived at
// `arrival` (wall clock) and is only being queued now.
bool lastReadServes(const LastRead &read, const struct timespec &arrival) {
  if (!read.valid || read.connection != station.connection()) return false;
  const Instant at = now();
  const long long monotonicSince = at.monotonicNs - read.began.monotonicNs;
  const long long wallSince = at.wallNs - read.began.wallNs;
  if (monotonicSince > LATE_ANSWER_NS || llabs(wallSince - monotonicSince) > CLOCK_DRIFT_NS)
    return false;
  return nanoseconds(arrival) <= read.began.wallNs;
}

// One turn: the requests already waiting in the socket join the queue, then
// the value asked for first is read once for all that wait for it.
void serve(int theFD, int, int) {
  uint64_t wakes;
  ssize_t got = read(theFD, &wakes, sizeof wakes);
  (void)got;
  if (xPL_getFD() >= 0) xPL_receiveMessage(xPL_getFD(), POLLIN, 0);
  if (queued == 0) return;

  // Everything queued by now arrived before the read begins.
  const memtype *row = queue[0].row;
  davis_device *connection = station.connection();
  LastRead &last = lastReads[row - mem];
  last.valid = false;
  unsigned char bytes[MEM_BYTES_SIZE] = {0};
  bool read = false;
  if (connection != nullptr) {
    last.began = now();
    read = station.readRow(row, bytes) == 0;
    if (read) {
      last.valid = true;
      last.connection = connection;
      memcpy(last.bytes, bytes, sizeof bytes);
    }
  }

  int kept = 0;
  for (int i = 0; i < queued; i++) {
    if (queue[i].row != row) {
      if (kept != i) queue[kept] = queue[i];
      kept++;
    } else if (connection == nullptr) {
      dbg("no station connection: %s not read\n", row->mem_name);
    } else if (!read) {
      dbg("cannot read %s from the station\n", row->mem_name);
    } else {
      answerFrom(queue[i], bytes);
    }
  }
  queued = kept;
  if (queued > 0) wake();
}

}  // namespace

int requestsStart(const request_station *theStation) {
  station = *theStation;
  wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) return -1;
  if (!xPL_addIODevice(serve, 0, wakeFd, TRUE, FALSE, FALSE)) {
    close(wakeFd);
    wakeFd = -1;
    return -1;
  }
  return 0;
}

int requestsQueue(xPL_ServicePtr service, xPL_MessagePtr request, const memtype *row) {
  struct timespec arrival;
  if (wakeFd < 0 || !xPL_getMessageArrival(request, &arrival)) return 0;
  const char *const parts[NAME_PARTS] = {
      xPL_getSourceVendor(request), xPL_getSourceDeviceID(request),
      xPL_getSourceInstanceID(request), xPL_getMessageNamedValue(request, S("device"))};
  for (const char *part : parts)
    if (part == nullptr) return 0;

  const LastRead &last = lastReads[row - mem];
  if (lastReadServes(last, arrival)) {
    requestsAnswer(service, parts[0], parts[1], parts[2], parts[3], row, last.bytes,
                   station.connection());
    return 1;
  }
  if (queued == QUEUE_SIZE) return 0;
  Waiting &entry = queue[queued];
  if (!takeNames(&entry, parts)) return 0;
  entry.service = service;
  entry.row = row;
  if (queued++ == 0) wake();
  return 1;
}

void requestsAnswer(xPL_ServicePtr service, const char *vendor, const char *device,
                    const char *instance, const char *name, const memtype *row,
                    const unsigned char *bytes, const davis_device *model) {
  char text[MEM_TEXT_SIZE];
  std::string why;
  if (!memText(row, bytes, model, text, sizeof text, &why)) {
    fputs(why.c_str(), stderr);
    return;
  }
  xPL_MessagePtr reply =
      xPL_createTargetedMessage(service, xPL_MESSAGE_STATUS, S(vendor), S(device), S(instance));
  if (reply == nullptr) return;
  xPL_setSchema(reply, S("sensor"), S("basic"));
  xPL_addMessageNamedValue(reply, S("device"), S(name));
  xPL_addMessageNamedValue(reply, S("current"), text);
  xPL_sendServiceMessage(service, reply);
  xPL_releaseMessage(reply);
}
