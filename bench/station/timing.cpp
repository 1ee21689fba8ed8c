// timing.cpp - times a station read, a sensor image and a live read against the
// simulator over a pty, paced at 2400 bit/s and unpaced, and prints each
// beside the wire time of the bytes exchanged; then a read and an image
// through an adaptor that trickles a byte a second, beside their bounds.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "davis.h"
#include "proc.h"
#include "rows.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int RUNS = 20;
// 8N1: a start bit, 8 data bits, a stop bit.
constexpr double BITS_PER_BYTE = 10.0;
constexpr double BIT_RATE = 2400.0;

struct Operation {
  const char *name;
  int bytes;  // on the wire, both directions
  std::function<int(davis_device *)> call;
};

struct Figures {
  double min, median, max;
  int failures;
};

// The link traces every exchange on stdout; keep that out of the table.
class QuietStdout {
 public:
  QuietStdout() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

bool startSim(testsupport::Process &sim, bool pace, std::string *path) {
  std::vector<std::string> args = {testsupport::binDir() + "/kivamet-stationsim", "--pty",
                                   "--frozen"};
  if (pace) args.push_back("--pace");
  if (!sim.start(args) || !sim.waitForStdout("\n", std::chrono::seconds(10))) return false;
  std::istringstream first(sim.out());
  std::string word;
  first >> word >> *path;
  return word == "pty";
}

// Through an adaptor that passes a byte a second, as a station read and a
// sensor image after it: each fails at its exchange's deadline instead of
// reading for as long as the reply trickles.
struct Trickled {
  double readS = 0, imageS = 0;
  int readResult = 0, imageResult = 0;
};

bool trickled(Trickled *t) {
  testsupport::Process sim;
  std::string path;
  if (!startSim(sim, false, &path)) return false;
  davis_device *d;
  {
    QuietStdout quiet;
    d = davis_open(path.c_str());
  }
  const size_t mark = sim.out().size();
  if (d == nullptr || !sim.writeStdin("trickle 1000\n") ||
      !sim.waitForStdout("ok trickle 1000", std::chrono::seconds(10), mark))
    return false;
  QuietStdout quiet;
  unsigned char b[15];
  auto t0 = Clock::now();
  t->readResult = davis_readstation(d, 0x100, b, 4);
  auto t1 = Clock::now();
  t->imageResult = davis_dumpsensor(d, 1, b, 30);
  auto t2 = Clock::now();
  t->readS = std::chrono::duration<double>(t1 - t0).count();
  t->imageS = std::chrono::duration<double>(t2 - t1).count();
  close(d->fd);
  free(d);
  return true;
}

Figures measure(davis_device *d, const Operation &op) {
  std::vector<double> ms;
  int failures = 0;
  QuietStdout quiet;
  for (int i = 0; i < RUNS; i++) {
    const auto t0 = Clock::now();
    if (op.call(d) != 0) failures++;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return Figures{ms.front(), ms[ms.size() / 2], ms.back(), failures};
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // --rows: only the lines scripts/bench gathers (bench/rows.h).
  const bool rows = argc > 1 && strcmp(argv[1], "--rows") == 0;
  const Operation ops[] = {
      // "WRD" n|bank addr CR, then the ack and 2 data bytes.
      {"station read BARDTA, 4 nibbles", 6 + 1 + 2,
       [](davis_device *d) {
         unsigned char b[2];
         return davis_readstation(d, 0x100, b, 4);
       }},
      // "LOOP" count CR, then ack, start byte, 15 image bytes, 2 CRC bytes.
      {"sensor image, 30 nibbles", 7 + 1 + 1 + 15 + 2,
       [](davis_device *d) {
         unsigned char b[15];
         return davis_dumpsensor(d, 1, b, 30);
       }},
      // What --live reads each period: the image, dew point and wind chill.
      {"live read: image, DEWDTA, CHLDTA", 26 + 9 + 9,
       [](davis_device *d) {
         unsigned char b[15];
         return davis_dumpsensor(d, 1, b, 30) || davis_readstation(d, 0x08A, b, 4) ||
                davis_readstation(d, 0x0A8, b, 4);
       }},
  };
  constexpr int OPS = sizeof ops / sizeof ops[0];
  constexpr int LIVE_PERIOD_S = 10;

  Figures paced[OPS], unpaced[OPS];
  for (bool pace : {true, false}) {
    testsupport::Process sim;
    std::string path;
    if (!startSim(sim, pace, &path)) {
      fprintf(stderr, "station_timing: cannot start kivamet-stationsim\n");
      return 1;
    }
    davis_device *d;
    {
      QuietStdout quiet;
      d = davis_open(path.c_str());
    }
    if (d == nullptr || d->type != 0) {
      fprintf(stderr, "station_timing: no station on %s\n", path.c_str());
      return 1;
    }
    for (int i = 0; i < OPS; i++) (pace ? paced : unpaced)[i] = measure(d, ops[i]);
    close(d->fd);
    free(d);
  }

  Trickled slow;
  const bool slowMeasured = trickled(&slow);
  const double byteS = BITS_PER_BYTE / BIT_RATE;
  // 2 s of silence allowed, plus DAVIS_DEADLINE_FACTOR times the wire time.
  const double readDeadline = 2 + DAVIS_DEADLINE_FACTOR * 9 * byteS;
  // What is left of the failed read is dropped first, for 6 s at most.
  const double imageBound = 6 + 2 + DAVIS_DEADLINE_FACTOR * 26 * byteS;

  if (rows) {
    if (!slowMeasured) {
      benchrows::unmeasured("adaptor trickling 1 byte/s", "the simulator did not start");
    } else {
      benchrows::print({"station read BARDTA, adaptor trickling 1 byte/s",
                        benchrows::text("%.2f s, result %d", slow.readS, slow.readResult),
                        "its deadline", benchrows::text("%.2f s", readDeadline),
                        slow.readS / readDeadline, "time/deadline", "<= 1.05"});
      benchrows::print({"sensor image next, same adaptor",
                        benchrows::text("%.2f s, result %d", slow.imageS, slow.imageResult),
                        "6 s to drop the rest of the read, and its deadline",
                        benchrows::text("%.2f s", imageBound), slow.imageS / imageBound,
                        "time/bound", "<= 1.05"});
    }
    for (int i = 0; i < OPS; i++) {
      const double wire = 1000.0 * ops[i].bytes * BITS_PER_BYTE / BIT_RATE;
      if (paced[i].failures > 0) {
        benchrows::unmeasured(ops[i].name, benchrows::text("%d of %d paced exchanges failed",
                                                           paced[i].failures, RUNS));
        continue;
      }
      benchrows::print({std::string(ops[i].name) + ", paced 2400 bit/s",
                        benchrows::text("%.1f ms (median of %d)", paced[i].median, RUNS),
                        benchrows::text("wire time of its %d bytes", ops[i].bytes),
                        benchrows::text("%.1f ms", wire), paced[i].median / wire, "exchange/wire",
                        benchrows::text("<= %.1f ms (1 ms added)", wire + 1.0)});
    }
    return 0;
  }

  printf("station link timing, %d runs each, pty to kivamet-stationsim\n", RUNS);
  printf("wire time: 10 bits a byte (8N1) at 2400 bit/s = %.3f ms a byte\n\n",
         1000.0 * BITS_PER_BYTE / BIT_RATE);
  printf("%-32s %5s %8s   %-28s %s\n", "operation", "bytes", "wire ms",
         "paced ms min / median / max", "unpaced ms median");
  for (int i = 0; i < OPS; i++) {
    const double wire = 1000.0 * ops[i].bytes * BITS_PER_BYTE / BIT_RATE;
    printf("%-32s %5d %8.1f   %7.1f / %7.1f / %7.1f   %8.2f\n", ops[i].name, ops[i].bytes, wire,
           paced[i].min, paced[i].median, paced[i].max, unpaced[i].median);
    if (paced[i].failures + unpaced[i].failures > 0)
      printf("  (%d failed exchanges)\n", paced[i].failures + unpaced[i].failures);
  }
  printf("\n--live %d holds the line for %.1f%% of the time (paced median)\n", LIVE_PERIOD_S,
         paced[OPS - 1].median / (10.0 * LIVE_PERIOD_S));
  if (slowMeasured)
    printf(
        "adaptor trickling 1 byte/s: station read %.2f s (deadline %.2f s), sensor image next "
        "%.2f s (bound %.2f s), both failed\n",
        slow.readS, readDeadline, slow.imageS, imageBound);
  return 0;
}
