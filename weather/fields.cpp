// fields.cpp - the names kivamet answers, their meanings and units.
#include "fields.h"

#include <stdio.h>

// In the order of the daemon's memory map. The units are those of the
// answer's text: tenths of a degree come out as degrees, thousandths of an
// inch of mercury as inches.
const station_field STATION_FIELDS[STATION_FIELD_COUNT] = {
    {"SPDDTA", "wind speed", "mph"},
    {"SPDHI", "highest wind speed", "mph"},
    {"SPDHTIME", "time of the highest wind speed", "hh:mm"},
    {"SPDHDATE", "date of the highest wind speed", "month/day"},
    {"SPDAHI", "wind speed alarm", "mph"},
    {"BARFLAG", "barometer trend: steady, rise, fall or unknown", ""},
    {"DEWDTA", "dew point", "degrees F"},
    {"DEWHI", "highest dew point", "degrees F"},
    {"DEWLO", "lowest dew point", "degrees F"},
    {"DEWHTIME", "time of the highest dew point", "hh:mm"},
    {"DEWLTIME", "time of the lowest dew point", "hh:mm"},
    {"DEWLDATE", "date of the lowest dew point", "month/day"},
    {"DEWHDATE", "date of the highest dew point", "month/day"},
    {"DEWAHI", "high dew point alarm", "degrees F"},
    {"CHLDTA", "wind chill", "degrees F"},
    {"CHLLO", "lowest wind chill", "degrees F"},
    {"CHLLTIME", "time of the lowest wind chill", "hh:mm"},
    {"CHLLDATE", "date of the lowest wind chill", "month/day"},
    {"CHLALO", "low wind chill alarm", "degrees F"},
    {"BARDTA", "barometer", "inHg"},
    {"BARALM", "barometer alarm, one byte", "inHg"},
    {"STNDRD", "barometer calibration offset", "thousandths of inHg"},
    {"TP1DTA", "inside temperature", "degrees F"},
    {"TP1HI", "highest inside temperature", "degrees F"},
    {"TP1LO", "lowest inside temperature", "degrees F"},
    {"TP1HTIME", "time of the highest inside temperature", "hh:mm"},
    {"TP1LTIME", "time of the lowest inside temperature", "hh:mm"},
    {"TP1HDATE", "date of the highest inside temperature", "month/day"},
    {"TP1LDATE", "date of the lowest inside temperature", "month/day"},
    {"TP1AHI", "high inside temperature alarm", "degrees F"},
    {"TP1ALO", "low inside temperature alarm", "degrees F"},
    {"TP1CAL", "inside temperature calibration offset", "degrees F"},
    {"TP2DTA", "outside temperature", "degrees F"},
    {"TP2HI", "highest outside temperature", "degrees F"},
    {"TP2LO", "lowest outside temperature", "degrees F"},
    {"TP2HTIME", "time of the highest outside temperature", "hh:mm"},
    {"TP2LTIME", "time of the lowest outside temperature", "hh:mm"},
    {"TP2HDATE", "date of the highest outside temperature", "month/day"},
    {"TP2LDATE", "date of the lowest outside temperature", "month/day"},
    {"TP2AHI", "high outside temperature alarm", "degrees F"},
    {"TP2ALO", "low outside temperature alarm", "degrees F"},
    {"TP2CAL", "outside temperature calibration offset", "degrees F"},
    {"HM1DTA", "inside humidity", "percent"},
    {"HM1HI", "highest inside humidity", "percent"},
    {"HM1LO", "lowest inside humidity", "percent"},
    {"HM1HTIME", "time of the highest inside humidity", "hh:mm"},
    {"HM1LTIME", "time of the lowest inside humidity", "hh:mm"},
    {"HM1HDATE", "date of the highest inside humidity", "month/day"},
    {"HM1LDATE", "date of the lowest inside humidity", "month/day"},
    {"HM1AHI", "high inside humidity alarm", "percent"},
    {"HM1ALO", "low inside humidity alarm", "percent"},
    {"HM2DTA", "outside humidity", "percent"},
    {"HM2HI", "highest outside humidity", "percent"},
    {"HM2LO", "lowest outside humidity", "percent"},
    {"HM2HTIME", "time of the highest outside humidity", "hh:mm"},
    {"HM2LTIME", "time of the lowest outside humidity", "hh:mm"},
    {"HM2HDATE", "date of the highest outside humidity", "month/day"},
    {"HM2LDATE", "date of the lowest outside humidity", "month/day"},
    {"HM2AHI", "high outside humidity alarm", "percent"},
    {"HM2ALO", "low outside humidity alarm", "percent"},
    {"DIRDTA", "wind direction", "degrees"},
    {"TIME", "station clock", "hh:mm:ss"},
    {"HOUR", "station clock's hour, its BCD byte read as a number", ""},
    {"MINUTE", "station clock's minute, its BCD byte read as a number", ""},
    {"SECOND", "station clock's second, its BCD byte read as a number", ""},
    {"TIMEALM", "alarm time", "hh:mm"},
    {"HRALM", "alarm hour, its BCD byte read as a number", ""},
    {"MINALM", "alarm minute, its BCD byte read as a number", ""},
    {"DATE", "station date", "month/day"},
    {"DAY", "station day of the month, its BCD byte read as a number", ""},
    {"MONTH", "station month, one nibble: never answered", ""},
    {"YRNDTA", "rain this year", "rain gauge counts"},
    {"DRNDTA", "rain today", "rain gauge counts"},
    {"RNCAL", "rain gauge counts per inch", ""},
    {"HM2CAL", "outside humidity calibration offset", "percent"},
    {"ID",
     "station model: wizard3, wizard2, monitor, perception, groweather, energy, health or unknown",
     ""},
    {"NEWPTR", "archive address the logger writes its next record to", "byte address"},
    {"OLDPTR", "archive address of the logger's oldest record", "byte address"},
    {"STIN", "inside temperature of the last sensor image", "degrees F"},
    {"STOUT", "outside temperature of the last sensor image", "degrees F"},
    {"SWSP", "wind speed of the last sensor image", "mph"},
    {"SWDIR", "wind direction of the last sensor image", "degrees"},
    {"SBAROM", "barometer of the last sensor image", "inHg"},
    {"SHIN", "inside humidity of the last sensor image", "percent"},
    {"SHOUT", "outside humidity of the last sensor image", "percent"},
    {"SRAIN", "rain total of the last sensor image", "rain gauge counts"},
    {"SAMPLEPER", "logger's sample period as it keeps it: minus the seconds", ""},
    {"ARCPERIOD", "logger's archive period", "minutes"},
    {"PREVRAIN", "rain total at the last archive record", "rain gauge counts"},
    {"LASTARCTIME", "time of the last archive record", "minutes after midnight"},
    {"WDIRS", "wind direction histogram: 16 counts, one a compass point", "hexadecimal"},
    {"ABAROM", "barometer of the last archive record", "inHg"},
    {"AHIN", "inside humidity of the last archive record", "percent"},
    {"AHOUT", "outside humidity of the last archive record", "percent"},
    {"ARAIN", "rain in the period of the last archive record", "rain gauge counts"},
    {"ATINAVG", "average inside temperature of the last archive record", "degrees F"},
    {"ATOUTAVG", "average outside temperature of the last archive record", "degrees F"},
    {"AWSPAVG", "average wind speed of the last archive record", "mph"},
    {"AWDIR", "prevailing wind direction of the last archive record, 0 north to 15",
     "compass points"},
    {"ATHIOUT", "highest outside temperature of the last archive record", "degrees F"},
    {"AGUST", "wind gust of the last archive record", "mph"},
    {"ATIMESTAMP", "end of the period of the last archive record", "hh:mm month/day"},
    {"ATLOWOUT", "lowest outside temperature of the last archive record", "degrees F"},
};

namespace {

// As xPL compares names: ASCII letters only are folded.
bool sameName(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; a++, b++) {
    const char ca = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;
    const char cb = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;
    if (ca != cb) return false;
  }
  return *a == *b;
}

// The longest name (LASTARCTIME) and a space.
constexpr int NAME_COLUMN = 12;

}  // namespace

const station_field *stationFieldFind(const char *name) {
  if (name == nullptr) return nullptr;
  for (const station_field &f : STATION_FIELDS)
    if (sameName(f.name, name)) return &f;
  return nullptr;
}

int stationFieldLine(char *text, size_t textSize, const station_field *f) {
  if (*f->unit == '\0') return snprintf(text, textSize, "%-*s%s", NAME_COLUMN, f->name, f->meaning);
  return snprintf(text, textSize, "%-*s%s (%s)", NAME_COLUMN, f->name, f->meaning, f->unit);
}
