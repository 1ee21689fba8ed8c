// netns.cpp - private network namespaces for tests.
#include "netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
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
  struct iphdr ip;
  struct udphdr udp;
  const size_t total = sizeof ip + sizeof udp + payload.size();
  if (total > 65535) {
    *why = "datagram too long";
    return false;
  }
  memset(&ip, 0, sizeof ip);
  ip.version = 4;
  ip.ihl = sizeof ip / 4;
  ip.ttl = 1;
  ip.protocol = IPPROTO_UDP;
  ip.tot_len = htons(static_cast<uint16_t>(total));  // the kernel fills id and checksum
  memset(&udp, 0, sizeof udp);
  udp.source = htons(3865);
  udp.dest = htons(static_cast<uint16_t>(toPort));
  udp.len = htons(static_cast<uint16_t>(sizeof udp + payload.size()));  // checksum 0: none
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  if (inet_pton(AF_INET, fromAddr.c_str(), &ip.saddr) != 1 ||
      inet_pton(AF_INET, toAddr.c_str(), &ip.daddr) != 1) {
    *why = "bad address";
    return false;
  }
  to.sin_addr.s_addr = ip.daddr;

  int s = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  if (s < 0) {
    *why = std::string("raw socket: ") + strerror(errno);
    return false;
  }
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  std::string packet(reinterpret_cast<const char *>(&ip), sizeof ip);
  packet.append(reinterpret_cast<const char *>(&udp), sizeof udp);
  packet += payload;
  ssize_t n = sendto(s, packet.data(), packet.size(), 0, reinterpret_cast<struct sockaddr *>(&to),
                     sizeof to);
  if (n != static_cast<ssize_t>(packet.size())) *why = std::string("sendto: ") + strerror(errno);
  close(s);
  return n == static_cast<ssize_t>(packet.size());
}

}  // namespace testsupport
