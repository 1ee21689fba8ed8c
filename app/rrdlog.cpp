// rrdlog.cpp - creating, tuning and updating the weather database.
#include "rrdlog.h"

#include <dirent.h>
#include <rrd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "fetch.h"
#include "helpers.h"
#include "quantities.h"

namespace {

// librrd takes the file's lock without waiting and says this when another
// program (kivamet-graphs drawing the page) holds it. A drawing takes tens
// of milliseconds: a few short waits outlast most, and the loop is held
// 90 ms at most before the samples are left for the next pass.
const char LOCKED[] = "could not lock RRD";
constexpr int LOCK_WAITS = 3;
constexpr useconds_t LOCK_WAIT_US = 30000;

// Path whose database is known to exist; another path is examined afresh.
std::string knownPath;

// librrd leaves its error text empty for some failures (a full disk while
// writing the new file); the message still needs a reason.
const char *rrdReason() {
  const char *e = rrd_get_error();
  return e != nullptr && *e != '\0' ? e : "no reason given by librrd";
}

// librrd builds a new file as <path>XXXXXX (mkstemp's six letters and
// digits) and renames it into place; a kill midway leaves 2 to 8 MB behind
// for good. Such a file is being written while some process has it open,
// and it is written in one go: one open nowhere and a minute old is stale.
constexpr int CREATE_SUFFIX = 6;
constexpr time_t CREATE_SECONDS_MAX = 60;

// Whether a process this one may look at has the file open.
bool openAnywhere(const struct stat &file) {
  DIR *procs = opendir("/proc");
  if (procs == nullptr) return true;  // cannot tell: keep it
  bool open = false;
  while (struct dirent *p = open ? nullptr : readdir(procs)) {
    if (strspn(p->d_name, "0123456789") != strlen(p->d_name)) continue;
    const std::string fds = std::string("/proc/") + p->d_name + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr) continue;
    while (struct dirent *fd = readdir(dir)) {
      struct stat st;
      if (fd->d_name[0] != '.' && stat((fds + "/" + fd->d_name).c_str(), &st) == 0 &&
          st.st_dev == file.st_dev && st.st_ino == file.st_ino) {
        open = true;
        break;
      }
    }
    closedir(dir);
  }
  closedir(procs);
  return open;
}

void removeUnfinishedCreations(const char *path) {
  const char *slash = strrchr(path, '/');
  const std::string dirName = slash != nullptr ? std::string(path, slash + 1 - path) : "./";
  const char *base = slash != nullptr ? slash + 1 : path;
  const size_t baseLength = strlen(base);
  DIR *dir = opendir(dirName.c_str());
  if (dir == nullptr) return;
  const time_t now = time(nullptr);
  while (struct dirent *entry = readdir(dir)) {
    const char *name = entry->d_name;
    if (strncmp(name, base, baseLength) != 0 || strlen(name) != baseLength + CREATE_SUFFIX)
      continue;
    bool letters = true;
    for (const char *c = name + baseLength; *c != '\0'; c++)
      letters = letters &&
                ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9'));
    const std::string file = dirName + name;
    struct stat st;
    if (!letters || lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        now - st.st_mtime < CREATE_SECONDS_MAX || openAnywhere(st))
      continue;
    // A whole database by such a name (a user's weather.rrdbackup) stays:
    // librrd refuses to open one that a creation left short.
    rrd_clear_error();
    const bool whole = rrd_last_r(file.c_str()) != static_cast<time_t>(-1);
    rrd_clear_error();
    if (whole) continue;
    if (unlink(file.c_str()) == 0)
      dbg("removed %s, left by a creation that did not finish\n", file.c_str());
  }
  closedir(dir);
}

int createDatabase(const char *path) {
  const char *args[2 + RRD_DEFINITION_COUNT] = {"create", path};
  for (int i = 0; i < RRD_DEFINITION_COUNT; i++) args[2 + i] = rrdDefinition[i];
  constexpr int argCount = sizeof args / sizeof args[0];
  static_assert(argCount == 26, "the database definition has 26 arguments");
  rrd_clear_error();
  if (rrd_create(argCount, const_cast<char **>(args)) == 0) return 0;
  fprintf(stderr, "Cannot create RRD %s: %s\n", path, rrdReason());
  return -1;
}

// A file made before the rain source had its maximum would still store a
// cleared total as a spike. Not fatal: a foreign file fails its update.
void tuneRain(const char *path) {
  const char *args[] = {"tune", path, "--maximum", "rain:" RRD_RAIN_MAX};
  rrd_clear_error();
  if (rrd_tune(4, const_cast<char **>(args)) != 0)
    dbg("cannot set the rain maximum of %s: %s\n", path, rrdReason());
}

// One rrd_update of the texts given, in their order.
rrdResult updateFile(char *path, const char *const *texts, int count) {
  std::vector<char *> args = {S("update"), path};
  for (int i = 0; i < count; i++) args.push_back(const_cast<char *>(texts[i]));
  for (int wait = 0;; wait++) {
    rrd_clear_error();
    if (rrd_update(static_cast<int>(args.size()), args.data()) == 0) return RRD_STORED;
    if (strstr(rrdReason(), LOCKED) == nullptr) break;
    if (wait == LOCK_WAITS) {
      dbg("%s locked by another program; %d samples kept for the next pass\n", path, count);
      return RRD_BUSY;
    }
    usleep(LOCK_WAIT_US);
  }
  fprintf(stderr, "Cannot update RRD %s: %s\n", path, rrdReason());
  // The file may be gone or replaced by the time the directory is mended.
  knownPath.clear();
  return RRD_FAILED;
}

}  // namespace

int rrdPath(char *path, size_t pathSize, const char *dir) {
  int n = snprintf(path, pathSize, "%s/weather.rrd", dir);
  if (n < 0 || static_cast<size_t>(n) >= pathSize) {
    path[0] = '\0';
    return -1;
  }
  return 0;
}

rrdResult rrdPrepare(const char *dir) {
  char path[RRD_PATH_SIZE];
  if (rrdPath(path, sizeof path, dir) != 0) {
    dbg("database path too long, nothing logged: %s/weather.rrd\n", dir);
    return RRD_SKIPPED;
  }
  if (knownPath == path) return RRD_STORED;
  removeUnfinishedCreations(path);
  struct stat st;
  if (stat(path, &st) != 0) {
    if (createDatabase(path) != 0) return RRD_FAILED;
  } else {
    tuneRain(path);
  }
  knownPath = path;
  return RRD_STORED;
}

rrdResult rrdStoreMany(const char *dir, const char *const *updateTexts, int count) {
  if (rrdResult r = rrdPrepare(dir); r != RRD_STORED) return r;
  char path[RRD_PATH_SIZE];
  rrdPath(path, sizeof path, dir);
  return updateFile(path, updateTexts, count);
}

time_t rrdLast(const char *dir) {
  char path[RRD_PATH_SIZE];
  if (rrdPath(path, sizeof path, dir) != 0) return -1;
  return rrd_last_r(path);
}

int rrdLastUpdate(const char *dir, time_t *last, long *rain) {
  char path[RRD_PATH_SIZE];
  if (rrdPath(path, sizeof path, dir) != 0) return -1;
  unsigned long count = 0;
  char **names = nullptr, **values = nullptr;
  rrd_clear_error();
  if (rrd_lastupdate_r(path, last, &count, &names, &values) != 0) return -1;
  *rain = -1;
  for (unsigned long i = 0; i < count; i++) {
    char *end = nullptr;
    if (strcmp(names[i], "rain") == 0) {
      const long v = strtol(values[i], &end, 10);
      if (end != values[i] && *end == '\0' && v >= 0) *rain = v;
    }
    rrd_freemem(names[i]);
    rrd_freemem(values[i]);
  }
  rrd_freemem(names);
  rrd_freemem(values);
  return 0;
}

int rrdReadSamples(const char *dir, time_t after, time_t until, int rainCountsPerInch,
                   std::vector<weather_sample> *samples) {
  char path[RRD_PATH_SIZE];
  std::string why;
  DatabaseFetch f;
  if (rrdPath(path, sizeof path, dir) != 0 || until <= after ||
      !f.run(path, "AVERAGE", after, until, 60, &why))
    return -1;
  // Each column's quantity.
  std::vector<const quantity *> of(f.columns(), nullptr);
  for (unsigned long c = 0; c < f.columns(); c++)
    for (const quantity &q : QUANTITIES)
      if (q.ds != nullptr && strcmp(q.ds, f.name(c)) == 0 && q.field != Q_RAIN_TOTAL) of[c] = &q;
  for (unsigned long r = 0; r < f.rows(); r++) {
    const time_t end = f.rowEnd(r);
    weather_sample s = sampleEmpty(end, rainCountsPerInch);
    bool any = false;
    for (unsigned long c = 0; c < f.columns(); c++) {
      if (of[c] == nullptr || std::isnan(f.at(r, c))) continue;
      sampleSet(&s, of[c]->field, static_cast<int>(std::lround(f.at(r, c) * of[c]->dsScale)));
      any = true;
    }
    if (any && end > after && end <= until) samples->push_back(s);
  }
  return 0;
}
