// main.cpp - kivamet-graphs: the weather page of weather.rrd, once or
// after every new sample.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <string>

#include "conditions.h"
#include "page.h"
#include "render.h"
#include "watch.h"

namespace {

const char USAGE[] =
    "usage: kivamet-graphs --rrd PATH --out DIR [--units us|metric] [--title TEXT]\n"
    "                      [--rain-per-count INCHES] [--watch]\n"
    "       kivamet-graphs --rrd PATH --print [--units us|metric] [--rain-per-count INCHES]\n"
    "\n"
    "Writes DIR/index.html and its graphs from the weather database PATH,\n"
    "or prints the current conditions the page would show (--print).\n"
    "  --rrd PATH               the database kivamet logs to (weather.rrd)\n"
    "  --out DIR                the page's folder, created when missing\n"
    "  --units us|metric        °F, inHg, mph, in (default) or °C, hPa, km/h, mm\n"
    "  --title TEXT             the page's heading (default \"Weather\")\n"
    "  --rain-per-count INCHES  rain of one count of the rain counter (default 0.01)\n"
    "  --watch                  render again after every new sample, until SIGTERM\n"
    "  --print                  print the current conditions and exit; no page\n";

// A rain collector tips for well under an inch.
constexpr double MAX_RAIN_PER_COUNT = 1.0;

int usage() {
  fputs(USAGE, stderr);
  return 2;
}

// A wrong option or value: one line that names it, as kivamet does.
int usageError(const std::string &problem) {
  fprintf(stderr, "kivamet-graphs: %s\n", problem.c_str());
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  graphs::RenderOptions opt;
  bool watch = false;
  bool print = false;
  static const struct option longOptions[] = {{"rrd", required_argument, nullptr, 'r'},
                                              {"out", required_argument, nullptr, 'o'},
                                              {"units", required_argument, nullptr, 'u'},
                                              {"title", required_argument, nullptr, 't'},
                                              {"rain-per-count", required_argument, nullptr, 'c'},
                                              {"watch", no_argument, nullptr, 'w'},
                                              {"print", no_argument, nullptr, 'p'},
                                              {"help", no_argument, nullptr, 'h'},
                                              {nullptr, 0, nullptr, 0}};
  int o;
  while ((o = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
    switch (o) {
      case 'r':
        opt.rrdPath = optarg;
        break;
      case 'o':
        opt.outDir = optarg;
        break;
      case 'u':
        if (unitSystemParse(optarg, &opt.style.units) != 0)
          return usageError(std::string("--units takes us or metric, not ") + optarg);
        break;
      case 't':
        opt.title = optarg;
        break;
      case 'c': {
        char *end = nullptr;
        const double inches = strtod(optarg, &end);
        if (end == optarg || *end != '\0' || !std::isfinite(inches) || inches <= 0 ||
            inches > MAX_RAIN_PER_COUNT)
          return usageError(std::string("--rain-per-count takes inches above 0 and up to 1, not ") +
                            optarg);
        opt.style.rainCountsPerInch = 1.0 / inches;
        break;
      }
      case 'w':
        watch = true;
        break;
      case 'p':
        print = true;
        break;
      case 'h':
        fputs(USAGE, stdout);
        return 0;
      default:
        return usage();
    }
  }
  if (optind != argc || opt.rrdPath.empty()) return usage();
  // librrd would wait for ever to open a FIFO; nothing but a file can be a
  // database. One that is not there yet may still come (--watch).
  struct stat st;
  if (stat(opt.rrdPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    fprintf(stderr, "kivamet-graphs: cannot read %s: not a regular file\n", opt.rrdPath.c_str());
    return 1;
  }
  if (print) {
    if (!opt.outDir.empty())
      return usageError("--print prints and writes no page: it takes no --out, not " + opt.outDir);
    if (watch) return usageError("--print prints once: it takes no --watch");
    graphs::Snapshot db;
    graphs::Conditions conditions;
    std::string why;
    if (!db.take(opt.rrdPath, &why) ||
        !graphs::readConditions(db.path(), time(nullptr), &conditions, &why)) {
      fprintf(stderr, "kivamet-graphs: cannot read %s: %s\n", opt.rrdPath.c_str(),
              db.named(why).c_str());
      return 1;
    }
    fputs(graphs::conditionsText(conditions, opt.style).c_str(), stdout);
    return 0;
  }
  if (opt.outDir.empty()) return usage();

  if (watch) return graphs::watchAndRender(opt);
  graphs::RenderState state;
  graphs::Conditions conditions;
  std::string why;
  if (!graphs::renderOnce(opt, time(nullptr), &state, &conditions, &why)) {
    fprintf(stderr, "kivamet-graphs: %s\n", why.c_str());
    return 1;
  }
  return 0;
}
