/* http.h - HTTP requests that never hold the event loop: libcurl's multi
 * interface driven by the xPL loop. curl's sockets are loop devices, its
 * timer is checked by a loop timeout handler once a second, and its
 * threaded resolver keeps name lookups off the loop's thread. Every request
 * ends within HTTP_TIME_LIMIT_MS, whatever the far end does; TLS is
 * verified against the system's certificate store.
 *
 * The outputs that talk to web services (the uploads) share it; nothing
 * starts until the first request.
 */
#ifndef KIVAMET_HTTP_H
#define KIVAMET_HTTP_H

#include <stdint.h>

#include <functional>
#include <string>

/* A request ends after this long: connect, TLS, sending and the answer. */
#define HTTP_TIME_LIMIT_MS 30000
/* Bytes of an answer's body that are kept; the rest is read and dropped. */
#define HTTP_BODY_MAX 4096

struct http_request {
  std::string url;   /* http:// or https://; may hold a key, so it is never shown */
  bool post = false; /* a POST of `body` (which may be empty); else a GET */
  std::string body;
  std::string contentType; /* of the body */
  std::string user;        /* basic authentication when not empty */
  std::string password;
};

struct http_result {
  bool answered = false; /* an HTTP answer came, of whatever status */
  long status = 0;       /* its status */
  std::string body;      /* its first HTTP_BODY_MAX bytes */
  std::string why;       /* no answer: the reason (curl's, naming at most host and port) */
  bool tls = false;      /* no answer because TLS failed (a certificate not trusted, ...) */
};

typedef std::function<void(const http_result &)> http_done;

/* Starts a request; `done` is called once, from the event loop, when it
 * ends (never from within this call). False with the reason when it cannot
 * start (a URL curl refuses, no memory). *id names it for httpCancel. */
bool httpStart(const http_request &request, http_done done, uint64_t *id, std::string *why);

/* Drops a request under way; its `done` is not called. */
void httpCancel(uint64_t id);

/* Drops every request and leaves the loop as it was before the first. */
void httpStop(void);

#endif /* KIVAMET_HTTP_H */
