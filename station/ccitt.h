/* ccitt.h - the MSB-first CRC-CCITT (polynomial 0x1021) lookup table. */
#ifndef KIVAMET_CCITT_H
#define KIVAMET_CCITT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Entry i is the CRC of the single byte i with an initial value of 0. */
extern const uint16_t crc_table[256];

#ifdef __cplusplus
}
#endif

#endif /* KIVAMET_CCITT_H */
