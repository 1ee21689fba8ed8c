/* days.h - local days: where they begin. A day of a daylight-saving change
 * lasts 23 or 25 hours; its end is the next day's midnight, never its
 * midnight plus 24 hours.
 */
#ifndef KIVAMET_DAYS_H
#define KIVAMET_DAYS_H

#include <time.h>

#include <string>

/* The local midnight that begins the day of `t`. */
time_t localMidnight(time_t t);

/* The local midnight that begins the day after the day of `t`. */
time_t localNextMidnight(time_t t);

/* The local midnight that begins a date; a month or day past its end
 * carries into the next (month 13 is January of the next year). */
time_t localDate(int year, int month, int day);

/* `t` as strftime writes it with `format` (at most 63 characters), in
 * local time or in UTC. */
std::string timeText(time_t t, const char *format, bool utc = false);

#endif /* KIVAMET_DAYS_H */
