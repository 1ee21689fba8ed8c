/* codecs.h - how the station stores its values: BCD clock digits,
 * little-endian 16-bit fields, the clock cells, and the 16-point compass
 * index the weather database keeps for the wind direction. Pure functions.
 */
#ifndef KIVAMET_CODECS_H
#define KIVAMET_CODECS_H

#include <stdint.h>
#include <time.h>

/* (high nibble x 10) + low nibble; a nibble above 9 is used as it stands
 * (0x1A gives 20). */
int bcdtoint(uint8_t c);
/* ((c / 10) << 4) | (c % 10); meant for 0..99. */
uint8_t inttobcd(uint8_t c);
/* Compass index 0..15 (0 north, clockwise in steps of 22.5 degrees) of a
 * direction in degrees; 349..360, 0..11 and anything outside 0..360 give 0. */
int degtoind(int degs);
/* Two station bytes, low byte first, as a signed 16-bit value. */
int16_t le16(const unsigned char *b);

/* Station clock cells: time = hour, minute, second in BCD; date = day in
 * BCD, then the month as a plain number. */
typedef struct {
  int hour, minute, second, day, month;
} clockFields;

/* The month byte is taken as it stands: a stray high nibble makes the
 * clock compare unequal, which gets the cell rewritten. */
clockFields clockDecode(const unsigned char timeCell[3], const unsigned char dateCell[2]);
/* True when hour, minute, month and day all agree (seconds and year do not
 * count). */
int clockInLine(const clockFields *station, const struct tm *local);
void clockEncode(const struct tm *local, unsigned char timeCell[3], unsigned char dateCell[2]);

#endif /* KIVAMET_CODECS_H */
