/* requests.h - sensor requests that share station reads. While the loop is
 * busy with the station, further requests wait in the socket; each would
 * cost a read of its own. Instead a request for a value the station must be
 * asked for waits here, and one read then answers every waiting request for
 * that value. A request is answered only from a read that began after it
 * arrived (the kernel's arrival stamp says when), never twice and never
 * left unanswered while the read succeeds.
 */
#ifndef KIVAMET_REQUESTS_H
#define KIVAMET_REQUESTS_H

#include "memmap.h"
#include "xPL.h"

/* What the bridge lends the queue. */
typedef struct {
  /* The station connection as it is now; null when none is open. */
  davis_device *(*connection)(void);
  /* A row's bytes as a request reads them (a failure is tried once more);
   * 0 when read. */
  int (*readRow)(const memtype *row, unsigned char bytes[MEM_BYTES_SIZE]);
} request_station;

/* Starts serving on the xPL loop. Returns 0, or -1 when the queue cannot
 * wake the loop; requests are then read one by one as they come. */
int requestsStart(const request_station *station);

/* Takes a received sensor.request for a row read from the station. Returns
 * 1 when the queue answers it (now from a read that began after it arrived,
 * or later); 0 when it cannot wait and the caller reads at once. */
int requestsQueue(xPL_ServicePtr service, xPL_MessagePtr request, const memtype *row);

/* Sends the sensor.basic answer to a requester: the device name as asked,
 * and the text of the row's bytes. Nothing is sent when the row has no text
 * (its message is on stderr). */
void requestsAnswer(xPL_ServicePtr service, const char *vendor, const char *device,
                    const char *instance, const char *name, const memtype *row,
                    const unsigned char *bytes, const davis_device *model);

#endif /* KIVAMET_REQUESTS_H */
