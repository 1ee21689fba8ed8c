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
  int8_t type;      /* model code the probe read, -1 when it got no answer; see davis_model_str */
  int fd;           /* serial terminal or connected TCP socket */
  uint8_t stale;    /* how the last exchange that went wrong left the line: DAVIS_LINE_* */
  uint8_t answered; /* 1 when the last model probe got a whole answer, else 0 */
} davis_device;

/* The model probe has two outcomes a caller must keep apart:
 *   answered 1: the station is there and talks. type is its own code, which
 *     may still be outside the known models: a code of 7 and up names no
 *     model, and 0x80 and up read as negative (0xFF as -1, like no answer).
 *     davis_model_str then says "unknown" and davis_dumpsensor and
 *     davis_dumpstation refuse it, but memory reads and writes work.
 *   answered 0: the station did not answer (or not whole); type is -1.
 * So "is anyone there" is `answered`, never `type >= 0`; "which model" is
 * type, through davis_model_str. */

/* How the line stands after an exchange that went wrong (the stale field).
 * The next command deals with it first, then the line is clean again. */
enum {
  DAVIS_LINE_CLEAN = 0, /* nothing owed */
  /* An exchange ended on 2 s of silence, so the line has been quiet that
   * long; or a retry got its whole reply after an attempt that went wrong.
   * Nothing is waited for: what has arrived meanwhile (a late answer) is
   * dropped before the next command is sent. */
  DAVIS_LINE_QUIET = 1,
  /* An exchange ended on a wrong byte, an error, a hang-up or its
   * deadline: the rest of its answer may still be on its way. The next
   * command drops what arrives until the line has been quiet for 2 s (6 s
   * at most, for a peer that never stops). A reply that came whole but
   * failed its CRC owes nothing more: the exchange itself drops what comes
   * until the line has been quiet for two byte times (eight at most) and
   * leaves it clean, so the next command is not held 2 s. */
  DAVIS_LINE_BUSY = 2
};

/* The link reads the application's debug flag through this pointer, so the
 * link does not depend on the application. Null means debug off. */
void davis_setdebugflag(const int *flag);

/* Both opens set up the line and probe the model: answered and type say how
 * the probe went (see above); a station that does not answer still gives a
 * record, with answered 0 and type -1. On failure they
 * return null with errno set: davis_open refuses anything but a terminal
 * (ENOTTY) before writing to it; davis_tcp_open refuses a port that is not
 * 1..65535 after keeping 16 bits (EINVAL), and its name lookup and connect
 * each end within DAVIS_CONNECT_TIMEOUT_MS (see netconnect.h for errno). */
#define DAVIS_CONNECT_TIMEOUT_MS 10000
davis_device *davis_open(const char *dev);
davis_device *davis_tcp_open(const char *addr, const char *nport);
/* Probes the model again (after a probe at open that got no answer): 0 when
 * the station answered (answered 1, type its code, known or not), -1 when
 * it did not (answered 0, type -1). */
int davis_probe(davis_device *d);
/* Discards unread input (a socket: what has already arrived). */
int davis_flush(davis_device *d);
/* Reads len/2 bytes: returns len rounded down to even, 0 after 2 s of
 * silence (the line is then DAVIS_LINE_QUIET), -1 on an error or when the
 * peer has closed the connection (DAVIS_LINE_BUSY). No deadline of its own:
 * only the commands below bound a whole exchange. */
int davis_read(davis_device *d, unsigned char *data, int len);
/* CRC-16/XMODEM of buf, returned byte-swapped (0xC331 for "123456789"). */
int davis_crc(const unsigned char *buf, int size);

/* Every command below bounds each of its exchanges (the command and its
 * whole reply) twice: 2 s of silence between bytes, and an overall deadline
 * of DAVIS_DEADLINE_FACTOR times the exchange's wire time at 2400 bit/s
 * plus those 2 s. A station or adaptor that sends too slowly to meet it
 * fails the call with -1 at once, without the further attempts the station
 * read and the sensor image make for other failures (another attempt would
 * be just as slow); the trace shows "read deadline <len> got <nibbles>". */
#define DAVIS_DEADLINE_FACTOR 4
/* 8N1 at 2400 bit/s: 10 bits a byte. */
#define DAVIS_BYTE_USEC (10 * 1000000 / 2400)

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
