/* davis.h - the station link: the data logger's command protocol of the
 * older memory-mapped station family, over a serial line or a serial-to-TCP
 * adaptor.
 *
 * Memory addresses and lengths are nibble counts (4-bit units) for station
 * and link memory, byte counts for archive memory. Commands return 0 on
 * success and non-zero on failure: -1 for a protocol failure, the write's
 * own result when a command could not be written whole. Opens return a new
 * record (the caller owns it and closes fd itself) or null.
 */
#ifndef KIVAMET_DAVIS_H
#define KIVAMET_DAVIS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  int8_t type;   /* model code read at open, -1 when the probe failed; see davis_model_str */
  int fd;        /* serial terminal or connected TCP socket */
  uint8_t stale; /* an exchange ended early: the rest of its answer may still come */
} davis_device;

/* The link reads the application's debug flag through this pointer, so the
 * link does not depend on the application. Null means debug off. */
void davis_setdebugflag(const int *flag);

/* Both opens set up the line and probe the model; a station that does not answer
 * leaves type at -1, which davis_model_str names "unknown". On failure they
 * return null with errno set: davis_open refuses anything but a terminal
 * (ENOTTY) before writing to it; davis_tcp_open refuses a port that is not
 * 1..65535 after keeping 16 bits (EINVAL), and its name lookup and connect
 * each end within DAVIS_CONNECT_TIMEOUT_MS (see netconnect.h for errno). */
#define DAVIS_CONNECT_TIMEOUT_MS 10000
davis_device *davis_open(const char *dev);
davis_device *davis_tcp_open(const char *addr, const char *nport);
/* Reads the model code again (after a probe at open that failed): 0 when
 * the station answered, -1 with type left at -1 when it did not. */
int davis_probe(davis_device *d);
/* Discards unread input (a socket: what has already arrived). */
int davis_flush(davis_device *d);
/* Reads len/2 bytes: returns len rounded down to even, 0 after 2 s of
 * silence, -1 on an error or when the peer has closed the connection. A
 * short read marks the line stale: before its next command, the link drops
 * whatever arrives until the line has been quiet for 2 s. */
int davis_read(davis_device *d, unsigned char *data, int len);
/* CRC-16/XMODEM of buf, returned byte-swapped (0xC331 for "123456789"). */
int davis_crc(const unsigned char *buf, int size);

int davis_readstation(davis_device *d, uint16_t addr, unsigned char *data, int datalen);
int davis_writestation(davis_device *d, uint16_t addr, const unsigned char *data, int datalen);
int davis_readlink(davis_device *d, uint16_t addr, unsigned char *data, int datalen);
int davis_writelink(davis_device *d, uint16_t addr, const unsigned char *data, int datalen);
/* Archive memory: 32 KiB in which the logger keeps its records, whole
 * 21-byte records from address 0 on, each laid out as the record being
 * gathered in link memory (0x188 to 0x1B1). The record after the last
 * whole one is the one at 0 again; NEWPTR and OLDPTR point into this ring. */
#define DAVIS_ARCHIVE_BYTES 0x8000
#define DAVIS_RECORD_BYTES 21
#define DAVIS_ARCHIVE_RING (DAVIS_ARCHIVE_BYTES / DAVIS_RECORD_BYTES * DAVIS_RECORD_BYTES)

int davis_readarchive(davis_device *d, uint16_t addr, unsigned char *data, int datalen);
int davis_writearchive(davis_device *d, uint16_t addr, unsigned char data);

/* npaks images into data (datalen = npaks * 30 nibbles); models 0..3. */
int davis_dumpsensor(davis_device *d, int npaks, unsigned char *data, int datalen);
/* Returns the bytes written; the dump itself is the caller's to read. */
int davis_dumparchive(davis_device *d);
/* The first 256 nibbles (128 bytes) of station memory; models 4..6,
 * datalen must be 256. */
int davis_dumpstation(davis_device *d, unsigned char *data, int datalen);
int davis_setarcint(davis_device *d, int min);
int davis_setsenint(davis_device *d, int sec);
int davis_stoplink(davis_device *d);
int davis_startlink(davis_device *d);
int davis_archive(davis_device *d);
int davis_image(davis_device *d);
int davis_disarctimer(davis_device *d);
int davis_enaarctimer(davis_device *d);
const char *davis_model_str(const davis_device *d);

#ifdef __cplusplus
}
#endif

#endif /* KIVAMET_DAVIS_H */
