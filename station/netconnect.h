/* netconnect.h - a TCP connection whose name lookup and connect each end
 * within a time limit: the station's serial-to-TCP adaptor and the web
 * request share it, so neither can hold the daemon for the kernel's two
 * minutes of SYN retries or a resolver that never answers.
 */
#ifndef KIVAMET_NETCONNECT_H
#define KIVAMET_NETCONNECT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Takes a dotted IPv4 address as it stands or looks a host name up (first
 * IPv4 address), then connects to port; each step gets timeoutMs. Returns a
 * connected, blocking, close-on-exec socket, or -1 with errno set:
 * ETIMEDOUT when a step ran out of time, the connect's own error, or for a
 * failed lookup the errno nearest the resolver's reason (ENXIO: no such
 * name, EAGAIN: try again later, EIO: the resolver failed, ENOMEM, ...). */
int davis_connect(const char *host, int port, int timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* KIVAMET_NETCONNECT_H */
