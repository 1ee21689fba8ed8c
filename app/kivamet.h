/* kivamet.h - the station bridge: start-up and settings, the station memory
 * map and the text form of its values, the xPL request handlers, the timed
 * jobs (database logging, clock check) and the barometer calibration.
 *
 * The pure pieces (map lookup, encodings, clock comparison, update text,
 * barometer offset) take everything they need as arguments, so they can be
 * tested without a station or a network.
 */
#ifndef KIVAMET_KIVAMET_H
#define KIVAMET_KIVAMET_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "davis.h"
#include "rrdlog.h"
#include "xPL.h"

/* ---- Station memory map ------------------------------------------------ */

typedef enum {
  MEM_UNK = 0,  /* no usable memory: requests for it are dropped */
  MEM_NONE = 1, /* value comes from the open connection (ID) */
  MEM_MEM = 2,  /* station processor memory */
  MEM_LNK = 3   /* link unit memory */
} memtype_t;

typedef enum {
  DTYPE_UNK = 0,
  DTYPE_MODEL = 1,
  DTYPE_INT = 2,
  DTYPE_FLOAT = 3,
  DTYPE_TIME = 4,
  DTYPE_LTIME = 5,
  DTYPE_DATE = 6,
  DTYPE_BARFLAG = 7,
  DTYPE_BAR = 8,
  DTYPE_HIST = 9,
  DTYPE_TSTAMP = 10
} memdtype_t;

typedef enum { PERM_UNK = 0, PERM_R = 1, PERM_RW = 2 } memperm_t;

/* One named value. Addresses and lengths are in nibbles. */
typedef struct {
  const char *mem_name;
  uint16_t mem_addr;
  uint8_t mem_len;
  memtype_t mem_type;
  memdtype_t mem_dtype;
  memperm_t mem_perm;
} memtype;

#define MEM_ROWS 103
extern const memtype mem[MEM_ROWS];

/* Working storage of one request: the longest row (32 nibbles) fills 16
 * bytes; the widest text (WDIRS) needs 47 characters. */
#define MEM_BYTES_SIZE 32
#define MEM_TEXT_SIZE 512

/* ---- Process-wide records ---------------------------------------------- */

/* Calibration offsets read from the station at every settings pass. */
typedef struct {
  int16_t bar; /* negated STNDRD as it was before the pass */
  int16_t itemp;
  int16_t otemp;
  int16_t rain;
  int16_t ohum;
} davis_cal;

/* Raw values of the latest logged sample (no offsets, direction in degrees). */
typedef struct {
  int16_t itemp;
  int16_t otemp;
  int8_t wsp;
  int16_t wdir;
  int16_t barom;
  int8_t ihum;
  int8_t ohum;
  int16_t rain;
  int16_t dew;
  int16_t chill;
} davis_sample;

/* Sensor image: 30 nibbles, 15 bytes. */
#define SENSOR_IMAGE_BYTES 15

/* ---- Pure helpers ------------------------------------------------------ */

int bcdtoint(uint8_t c);
uint8_t inttobcd(uint8_t c);
int degtoind(int degs);
/* Two station bytes, low byte first, as a signed 16-bit value. */
int16_t le16(const unsigned char *b);
/* The whole decimal number the text is, from lo to hi; 0 when it is one
 * (stored in *value), -1 otherwise. */
int intInRange(const char *text, long lo, long hi, int *value);

/* The xPL interface takes char * for texts it only reads. */
static inline char *S(const char *text) {
  return (char *)text;
}

/* First row whose name equals the text, ASCII letter case ignored; null
 * when none does (or the text is null). */
const memtype *memFind(const char *name);

/* Bytes a read of the row delivers: (mem_len + 1) / 2. */
int memByteCount(const memtype *row);

/* Text form of a row's bytes. `bytes` holds at least MEM_BYTES_SIZE bytes;
 * `model` is the open connection, used for DTYPE_MODEL. Returns 0, or -1
 * when the row cannot be turned into text (its message is then on stderr). */
int memText(const memtype *row, const unsigned char *bytes, const davis_device *model, char *text,
            size_t textSize);

/* Station clock cells: time = hour, minute, second in BCD; date = day in
 * BCD, then the month as a plain number. */
typedef struct {
  int hour, minute, second, day, month;
} clockFields;

clockFields clockDecode(const unsigned char timeCell[3], const unsigned char dateCell[2]);
/* True when hour, minute, month and day all agree (seconds and year do not
 * count). */
int clockInLine(const clockFields *station, const struct tm *local);
void clockEncode(const struct tm *local, unsigned char timeCell[3], unsigned char dateCell[2]);

/* The raw sample of a sensor image plus the dew point and wind chill. */
davis_sample sampleFromImage(const unsigned char image[SENSOR_IMAGE_BYTES], int16_t dew,
                             int16_t chill);
/* The rrd_update text of a sample with the offsets applied; returns the
 * snprintf result (the text is cut when it does not fit). The rain total is
 * the station's unsigned 16-bit count. */
int rrdUpdateText(char *text, size_t textSize, long when, const davis_sample *s,
                  const davis_cal *c);
/* The same text from values already summed, in the database's order; a
 * wind direction or rain total below 0 is written "U" (unknown). */
int rrdSampleText(char *text, size_t textSize, long when, int tin, int tout, int wsp, int wdir,
                  int barom, int hin, int hout, long rain, int dew, int chill);

/* Barometer offset written to STNDRD: station reading minus web value,
 * kept to 16 bits. */
int16_t barOffset(int16_t station, int16_t web);
/* A web pressure outside 25.000..32.500 inches is no reading: a broken
 * document would otherwise set the station's barometer tens of inches off. */
int barWebPlausible(int16_t web);
/* An offset above 1.000 inch in size is not written; a real barometer is
 * never that far out, a wrong reference easily is. */
int barOffsetWritable(int16_t offset);

/* Seconds between logging passes: 60 unless the text is a number from 1 to
 * 60 (KIVAMET_LOG_PERIOD, for tests and demos). */
int logPeriodFrom(const char *text);

/* A diagnostic line on standard error, only with -d. */
void dbg(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* ---- Handlers and entry point ------------------------------------------ */

void sensorrequestHandler(xPL_ServicePtr theService, xPL_MessagePtr theMessage,
                          xPL_ObjectPtr userValue);
void controlbasicHandler(xPL_ServicePtr theService, xPL_MessagePtr theMessage,
                         xPL_ObjectPtr userValue);
void configChangedHandler(xPL_ServicePtr theService, xPL_ObjectPtr userValue);
void rrdHandler(int elapsedSeconds, xPL_ObjectPtr userValue);
void datetimeHandler(int elapsedSeconds, xPL_ObjectPtr userValue);
void parseconfig(xPL_ServicePtr theService);
void conntype_open(void);

/* The whole program; returns the exit status. */
int kivamet_main(int argc, char **argv);

#endif /* KIVAMET_KIVAMET_H */
