/* helpers.h - small helpers every part of the station bridge uses: the -d
 * diagnostic line, whole-number parsing, and the xPL text cast.
 */
#ifndef KIVAMET_HELPERS_H
#define KIVAMET_HELPERS_H

/* The flag that turns the diagnostic lines on (the daemon's `debug`, set
 * by -d); until one is given there are none. */
void dbgUseFlag(const int *flag);

/* A diagnostic line on standard error, only while the flag is set. */
void dbg(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* The whole decimal number the text is, from lo to hi; 0 when it is one
 * (stored in *value), -1 otherwise. */
int intInRange(const char *text, long lo, long hi, int *value);

/* The xPL interface takes char * for texts it only reads. */
static inline char *S(const char *text) {
  return (char *)text;
}

#endif /* KIVAMET_HELPERS_H */
