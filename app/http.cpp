// http.cpp - libcurl's multi interface on the xPL event loop.
#include "http.h"

#include <curl/curl.h>
#include <poll.h>
#include <time.h>

#include <map>
#include <memory>

#include "version.h"
#include "xPL.h"

namespace {

// The loop's timeout handlers run once a second at best. curl asks for an
// immediate call after each start and between steps of a connection; those
// are made at once, a few rounds deep, and whatever is left waits for the
// next second's tick, so a request that keeps asking can never spin.
constexpr int KICK_ROUNDS = 4;
constexpr int TICK_SECONDS = 1;

struct Transfer {
  CURL *easy = nullptr;
  curl_slist *headers = nullptr;
  http_done done;
  std::string body;
  char error[CURL_ERROR_SIZE] = "";
  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
};

struct Client {
  CURLM *multi = nullptr;
  std::map<uint64_t, std::unique_ptr<Transfer>> transfers;
  std::map<curl_socket_t, int> watched;  // loop devices: socket -> curl's CURL_POLL_*
  long long deadlineMs = -1;             // curl's timer, monotonic; -1: none
  uint64_t nextId = 1;
};
Client client;

long long nowMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void finish();

void act(curl_socket_t socket, int flags) {
  if (client.multi == nullptr) return;
  int running = 0;
  curl_multi_socket_action(client.multi, socket, flags, &running);
}

// The calls curl asked for "now".
void kick() {
  for (int round = 0; round < KICK_ROUNDS && client.multi != nullptr; round++) {
    if (client.deadlineMs < 0 || client.deadlineMs > nowMs()) return;
    client.deadlineMs = -1;
    act(CURL_SOCKET_TIMEOUT, 0);
  }
}

void onSocket(int fd, int revents, int) {
  int flags = 0;
  if (revents & (POLLIN | POLLHUP)) flags |= CURL_CSELECT_IN;
  if (revents & POLLOUT) flags |= CURL_CSELECT_OUT;
  if (revents & (POLLERR | POLLNVAL)) flags |= CURL_CSELECT_ERR;
  act(fd, flags);
  kick();
  finish();
}

void onTick(int, xPL_ObjectPtr) {
  kick();
  finish();
}

int onSocketChange(CURL *, curl_socket_t socket, int what, void *, void *) {
  auto at = client.watched.find(socket);
  if (what == CURL_POLL_REMOVE) {
    if (at != client.watched.end()) {
      xPL_removeIODevice(socket);
      client.watched.erase(at);
    }
    return 0;
  }
  if (at != client.watched.end()) {
    if (at->second == what) return 0;
    xPL_removeIODevice(socket);
  }
  const bool in = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
  const bool out = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
  if (!xPL_addIODevice(onSocket, 0, socket, in ? TRUE : FALSE, out ? TRUE : FALSE, TRUE)) return -1;
  client.watched[socket] = what;
  return 0;
}

int onTimer(CURLM *, long timeoutMs, void *) {
  client.deadlineMs = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
  return 0;
}

size_t onBody(char *data, size_t size, size_t count, void *user) {
  Transfer *t = static_cast<Transfer *>(user);
  const size_t n = size * count;
  if (t->body.size() < HTTP_BODY_MAX)
    t->body.append(data, std::min(n, HTTP_BODY_MAX - t->body.size()));
  return n;
}

bool isTls(CURLcode code) {
  switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return true;
    default:
      return false;
  }
}

// Hands every ended transfer its result. A `done` may start or cancel
// requests, or stop the client: each is taken out before it is told.
void finish() {
  CURLMsg *msg;
  int left = 0;
  while (client.multi != nullptr && (msg = curl_multi_info_read(client.multi, &left)) != nullptr) {
    if (msg->msg != CURLMSG_DONE) continue;
    char *idText = nullptr;
    curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &idText);
    const uint64_t id = reinterpret_cast<uintptr_t>(idText);
    auto at = client.transfers.find(id);
    if (at == client.transfers.end()) continue;
    std::unique_ptr<Transfer> t = std::move(at->second);
    client.transfers.erase(at);
    const CURLcode code = msg->data.result;
    curl_multi_remove_handle(client.multi, t->easy);

    http_result r;
    if (code == CURLE_OK) {
      r.answered = true;
      curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &r.status);
      r.body = std::move(t->body);
    } else {
      r.why = t->error[0] != '\0' ? t->error : curl_easy_strerror(code);
      r.tls = isTls(code);
    }
    http_done done = std::move(t->done);
    t.reset();
    done(r);
  }
}

bool startClient(std::string *why) {
  if (client.multi != nullptr) return true;
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    *why = "libcurl could not be set up";
    return false;
  }
  client.multi = curl_multi_init();
  if (client.multi == nullptr) {
    curl_global_cleanup();
    *why = "libcurl could not be set up";
    return false;
  }
  curl_multi_setopt(client.multi, CURLMOPT_SOCKETFUNCTION, onSocketChange);
  curl_multi_setopt(client.multi, CURLMOPT_TIMERFUNCTION, onTimer);
  xPL_addTimeoutHandler(onTick, TICK_SECONDS, nullptr);
  return true;
}

}  // namespace

bool httpStart(const http_request &request, http_done done, uint64_t *id, std::string *why) {
  if (!startClient(why)) return false;
  auto t = std::make_unique<Transfer>();
  t->easy = curl_easy_init();
  if (t->easy == nullptr) {
    *why = "libcurl could not make a request";
    return false;
  }
  const uint64_t myId = client.nextId++;
  CURL *e = t->easy;
  curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  // Proxies from the environment are not followed: an upload goes where
  // its setting says, and nowhere else.
  curl_easy_setopt(e, CURLOPT_PROXY, "");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(HTTP_TIME_LIMIT_MS));
  // No signals from curl (its threaded resolver needs none), and a lookup
  // still running when its request ends is left to finish on its own
  // rather than waited for.
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(e, CURLOPT_USERAGENT, "kivamet/" KIVAMET_VERSION);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->error);
  curl_easy_setopt(e, CURLOPT_PRIVATE, reinterpret_cast<char *>(static_cast<uintptr_t>(myId)));
  if (request.post) {
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, request.body.c_str());
    if (!request.contentType.empty())
      t->headers = curl_slist_append(nullptr, ("Content-Type: " + request.contentType).c_str());
  }
  // No "Expect: 100-continue" round trip before a body.
  t->headers = curl_slist_append(t->headers, "Expect:");
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
  if (!request.user.empty()) {
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(e, CURLOPT_USERNAME, request.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, request.password.c_str());
  }
  t->done = std::move(done);
  if (curl_multi_add_handle(client.multi, e) != CURLM_OK) {
    *why = "libcurl could not start a request";
    return false;
  }
  client.transfers[myId] = std::move(t);
  *id = myId;
  // What ended at once (a refused URL) is told on the next tick, never here.
  kick();
  return true;
}

void httpCancel(uint64_t id) {
  auto at = client.transfers.find(id);
  if (at == client.transfers.end()) return;
  std::unique_ptr<Transfer> t = std::move(at->second);
  client.transfers.erase(at);
  curl_multi_remove_handle(client.multi, t->easy);
}

void httpStop(void) {
  if (client.multi == nullptr) return;
  for (auto &entry : client.transfers) curl_multi_remove_handle(client.multi, entry.second->easy);
  client.transfers.clear();
  for (const auto &entry : client.watched) xPL_removeIODevice(entry.first);
  client.watched.clear();
  xPL_removeTimeoutHandler(onTick);
  curl_multi_cleanup(client.multi);
  client.multi = nullptr;
  client.deadlineMs = -1;
  curl_global_cleanup();
}
