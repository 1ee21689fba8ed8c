// netconnect.cpp - name lookup and TCP connect, each within a time limit.
#include "netconnect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// The resolver's reasons as the errno a caller's perror can name.
int lookupErrno(int eai, int sysErrno) {
  switch (eai) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
      return ENXIO;
    case EAI_AGAIN:
      return EAGAIN;
    case EAI_FAIL:
      return EIO;
    case EAI_MEMORY:
      return ENOMEM;
    case EAI_FAMILY:
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return EAFNOSUPPORT;
    case EAI_SYSTEM:
      return sysErrno != 0 ? sysErrno : EIO;
    default:
      return EINVAL;
  }
}

// The system resolver has no time limit of its own, so the lookup runs on
// a helper thread and is abandoned when the limit passes; the shared record
// outlives whichever side finishes last.
struct Lookup {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  int error = 0;  // errno of a failed lookup
  struct in_addr addr = {};
  std::string host;
};

void *lookupThread(void *arg) {
  std::unique_ptr<std::shared_ptr<Lookup>> holder(static_cast<std::shared_ptr<Lookup> *>(arg));
  Lookup &l = **holder;
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *res = nullptr;
  errno = 0;
  int rc = getaddrinfo(l.host.c_str(), nullptr, &hints, &res);
  const int sysErrno = errno;
  std::lock_guard<std::mutex> lock(l.m);
  if (rc == 0 && res != nullptr && res->ai_addr != nullptr)
    l.addr = reinterpret_cast<struct sockaddr_in *>(res->ai_addr)->sin_addr;
  else
    l.error = rc != 0 ? lookupErrno(rc, sysErrno) : ENXIO;
  if (res != nullptr) freeaddrinfo(res);
  l.done = true;
  l.cv.notify_all();
  return nullptr;
}

// 0, or the errno of the failure.
int lookupHost(const char *host, struct in_addr *addr, int timeoutMs) {
  if (inet_aton(host, addr) != 0) return 0;

  auto l = std::make_shared<Lookup>();
  l->host = host;
  auto *arg = new std::shared_ptr<Lookup>(l);
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) {
    delete arg;
    return rc;
  }
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // The daemon's SIGTERM and SIGINT belong to its own thread, not this one.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t t;
  int rc = pthread_create(&t, &attr, lookupThread, arg);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    return rc;
  }

  std::unique_lock<std::mutex> lock(l->m);
  if (!l->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return l->done; }))
    return ETIMEDOUT;
  if (l->error != 0) return l->error;
  *addr = l->addr;
  return 0;
}

// 0 once fd is writable, else the errno (ETIMEDOUT when the limit passed).
int waitWritable(int fd, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    struct pollfd p = {fd, POLLOUT, 0};
    int n = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (n > 0) return 0;
    if (n == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
}

int connectWithin(struct in_addr addr, int port, int timeoutMs) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr = addr;
  int err = 0;
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
    err = errno == EINPROGRESS || errno == EINTR ? waitWritable(fd, timeoutMs) : errno;
    socklen_t len = sizeof err;
    if (err == 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  }
  // The callers read and write with their own time limits.
  if (err == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) err = errno;
  if (err != 0) {
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

extern "C" int davis_connect(const char *host, int port, int timeoutMs) {
  if (host == nullptr || port < 1 || port > 65535) {
    errno = EINVAL;
    return -1;
  }
  struct in_addr addr;
  if (int err = lookupHost(host, &addr, timeoutMs); err != 0) {
    errno = err;
    return -1;
  }
  return connectWithin(addr, port, timeoutMs);
}
