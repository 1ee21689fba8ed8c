/* webweather.h - the current barometric pressure of a public observing
 * station, fetched over HTTP/1.0 from a current-observations web service.
 *
 * The server is w1.weather.gov on port 80 unless the environment variable
 * KIVAMET_WEATHER_HOST names another one as "host" or "host:port".
 */
#ifndef KIVAMET_WEBWEATHER_H
#define KIVAMET_WEBWEATHER_H

#include <stdint.h>

/* Time limit, in milliseconds, of the name lookup, of the connect and of
 * each read of the answer. */
#define WEB_TIMEOUT_MS 10000

/* One attempt: asks for /xml/current_obs/<rs>.xml and returns the first
 * <pressure_in> value of the answer in thousandths of an inch of mercury
 * (29.92 gives 29920), or -1 when none was obtained: no answer in time, no
 * matching line, a value above 32.767, a bad KIVAMET_WEATHER_HOST, or an
 * rs that is null, empty or not fit for a URL path (no request is made
 * then). Blocks for at most a few time limits; never retries. */
int16_t web_bp(const char *rs);

/* True when the location can stand in the request path as it is: 1 to 64
 * characters, each one that means itself in a URL path segment. */
int web_locationfits(const char *rs);

/* Replaces WEB_TIMEOUT_MS for later calls (tests use short limits);
 * ms <= 0 restores it. */
void web_settimeout(int ms);

#endif /* KIVAMET_WEBWEATHER_H */
