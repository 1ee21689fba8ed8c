// codecs.cpp - the station's value encodings.
#include "codecs.h"

int16_t le16(const unsigned char *b) {
  return static_cast<int16_t>(static_cast<uint16_t>(b[0] | (b[1] << 8)));
}

int bcdtoint(uint8_t c) {
  return (c >> 4) * 10 + (c & 0x0F);
}

uint8_t inttobcd(uint8_t c) {
  return static_cast<uint8_t>(((c / 10) << 4) | (c % 10));
}

int degtoind(int degs) {
  // Upper bound of each 22.5-degree sector from index 1 on; index 0 (north)
  // takes everything else, out-of-range values included.
  static const int upper[15] = {33,  56,  78,  101, 123, 146, 168, 191,
                                213, 236, 258, 281, 303, 326, 348};
  if (degs < 12 || degs > 348) return 0;
  for (int i = 0; i < 15; i++)
    if (degs <= upper[i]) return i + 1;
  return 0;
}

clockFields clockDecode(const unsigned char timeCell[3], const unsigned char dateCell[2]) {
  clockFields f;
  f.hour = bcdtoint(timeCell[0]);
  f.minute = bcdtoint(timeCell[1]);
  f.second = bcdtoint(timeCell[2]);
  f.day = bcdtoint(dateCell[0]);
  f.month = dateCell[1];
  return f;
}

int clockInLine(const clockFields *station, const struct tm *local) {
  return station->hour == local->tm_hour && station->minute == local->tm_min &&
         station->month == local->tm_mon + 1 && station->day == local->tm_mday;
}

void clockEncode(const struct tm *local, unsigned char timeCell[3], unsigned char dateCell[2]) {
  timeCell[0] = inttobcd(static_cast<uint8_t>(local->tm_hour));
  timeCell[1] = inttobcd(static_cast<uint8_t>(local->tm_min));
  timeCell[2] = inttobcd(static_cast<uint8_t>(local->tm_sec));
  dateCell[0] = inttobcd(static_cast<uint8_t>(local->tm_mday));
  dateCell[1] = static_cast<unsigned char>(local->tm_mon + 1);
}
