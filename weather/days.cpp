// days.cpp - local day boundaries through the C library's time zone.
#include "days.h"

namespace {

time_t midnightOf(struct tm day) {
  day.tm_hour = day.tm_min = day.tm_sec = 0;
  day.tm_isdst = -1;
  return mktime(&day);
}

}  // namespace

time_t localMidnight(time_t t) {
  struct tm local;
  localtime_r(&t, &local);
  return midnightOf(local);
}

time_t localNextMidnight(time_t t) {
  struct tm local;
  localtime_r(&t, &local);
  local.tm_mday++;  // mktime carries it into the next month or year
  return midnightOf(local);
}

time_t localDate(int year, int month, int day) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  return midnightOf(t);
}

std::string timeText(time_t t, const char *format, bool utc) {
  struct tm broken;
  if (utc)
    gmtime_r(&t, &broken);
  else
    localtime_r(&t, &broken);
  char text[64];
  strftime(text, sizeof text, format, &broken);
  return text;
}
