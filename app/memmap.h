/* memmap.h - the station memory map: the named values a sensor.request may
 * ask for, where each lives, and the text form of its bytes. The table
 * itself is kivamet.cpp's; the request handling reads it through this
 * header.
 */
#ifndef KIVAMET_MEMMAP_H
#define KIVAMET_MEMMAP_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "davis.h"

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

/* First row whose name equals the text, ASCII letter case ignored; null
 * when none does (or the text is null). */
const memtype *memFind(const char *name);

/* Bytes a read of the row delivers: (mem_len + 1) / 2. */
int memByteCount(const memtype *row);

/* Text form of a row's bytes. `bytes` holds at least MEM_BYTES_SIZE bytes;
 * `model` is the open connection, used for DTYPE_MODEL. False when the row
 * cannot be turned into text, with the line to show for it (line end
 * included; empty when there is nothing to say) in *why. */
bool memText(const memtype *row, const unsigned char *bytes, const davis_device *model, char *text,
             size_t textSize, std::string *why);

#endif /* KIVAMET_MEMMAP_H */
