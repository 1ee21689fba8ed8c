// helpers.cpp - the diagnostic line and whole-number parsing.
#include "helpers.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace {
const int *debugFlag = nullptr;
}

void dbgUseFlag(const int *flag) {
  debugFlag = flag;
}

void dbg(const char *format, ...) {
  if (debugFlag == nullptr || !*debugFlag) return;
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

int intInRange(const char *text, long lo, long hi, int *value) {
  if (text == nullptr) return -1;
  char *end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return -1;
  *value = static_cast<int>(v);
  return 0;
}
