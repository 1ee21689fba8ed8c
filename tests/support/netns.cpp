// netns.cpp - private network namespaces for tests.
#include "netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

extern char **environ;

namespace testsupport {
namespace {

bool privateNs = false;

bool writeFile(const char *path, const std::string &text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = write(fd, text.data(), text.size());
  close(fd);
  return n == static_cast<ssize_t>(text.size());
}

bool bringLoopbackUp(std::string *why) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    *why = std::string("socket: ") + strerror(errno);
    return false;
  }
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  if (ok) {
    ifr.ifr_flags |= IFF_UP;
    ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  }
  if (!ok) *why = std::string("loopback up: ") + strerror(errno);
  close(s);
  return ok;
}

}  // namespace

bool enterPrivateNetns(std::string *why) {
  if (unshare(CLONE_NEWNET) != 0) {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      *why = std::string("unshare: ") + strerror(errno);
      return false;
    }
    writeFile("/proc/self/setgroups", "deny");
    if (!writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
        !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
      *why = "cannot map ids in the user namespace";
      return false;
    }
  }
  if (!bringLoopbackUp(why)) return false;
  privateNs = true;
  return true;
}

bool inPrivateNetns() {
  return privateNs;
}

int runCommand(const std::initializer_list<std::string> &argv) {
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool addTestInterface(const std::string &name, const std::string &cidr, std::string *why) {
  if (!privateNs) {
    *why = "refusing to add an interface outside a private namespace";
    return false;
  }
  // No dummy driver on every kernel; a veth pair is always there.
  const std::string peer = name + "p";
  if (runCommand({"ip", "link", "add", name, "type", "veth", "peer", "name", peer}) != 0 ||
      runCommand({"ip", "addr", "add", cidr, "brd", "+", "dev", name}) != 0 ||
      runCommand({"ip", "link", "set", peer, "up"}) != 0 ||
      runCommand({"ip", "link", "set", name, "up"}) != 0) {
    *why = "ip could not set up " + name;
    return false;
  }
  return true;
}

bool sendFromForeignAddress(const std::string &fromAddr, const std::string &toAddr, int toPort,
                            const std::string &payload, std::string *why) {
  if (!privateNs) {
    *why = "refusing to forge a sender outside a private namespace";
    return false;
  }
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(toPort));
  const int on = 1;
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // A transparent socket may be bound to an address this host does not have.
  const bool sent = s >= 0 && inet_pton(AF_INET, fromAddr.c_str(), &from.sin_addr) == 1 &&
                    inet_pton(AF_INET, toAddr.c_str(), &to.sin_addr) == 1 &&
                    setsockopt(s, SOL_IP, IP_TRANSPARENT, &on, sizeof on) == 0 &&
                    bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
                    sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&to),
                           sizeof to) == static_cast<ssize_t>(payload.size());
  if (!sent) *why = std::string("forged sender: ") + strerror(errno);
  if (s >= 0) close(s);
  return sent;
}

}  // namespace testsupport
