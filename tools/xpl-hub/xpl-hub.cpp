// xpl-hub: the host's xPL hub.
//
// Owns UDP port 3865, where every xPL broadcast on the network lands, and
// relays each datagram, unchanged, to the local xPL programs. Those listen
// on ports of their own and announce them in their heartbeats (hbeat.app
// or config.app, items "remote-ip" and "port"); a client is forgotten on
// its goodbye (hbeat.end or config.end) or when its heartbeats stop for
// twice its interval plus a minute. Only heartbeats sent from one of the
// host's own addresses count: another host cannot make the hub forget a
// client or relay towards a port of its choosing.
//
//   xpl-hub [-interface NAME] [-xpldebug]
//
// Prints "xpl-hub ready on <interface> <address>" once bound, then one
// line per client joining or leaving. Exits 0 on SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "xPL.h"

namespace {

constexpr size_t DATAGRAM_MAX = 65536;  // relayed whole, whatever its size
constexpr size_t MAX_CLIENTS = 1024;    // bounds what forged heartbeats can cost
constexpr long LIVENESS_GRACE_S = 60;   // on top of twice the announced interval
constexpr long ADDRESS_REFRESH_S = 1;   // at most this often on an unknown address
constexpr int DRAIN_MAX = 256;          // datagrams per readiness

struct Client {
  struct in_addr address;
  int port;
  std::string identity;  // vendor-device.instance of its last heartbeat
  long lastSeenAt;       // monotonic seconds
  long intervalMinutes;
};

std::vector<Client> clients;
std::vector<in_addr_t> localAddresses;
long localAddressesReadAt = -1;
int relayFD = -1;
int signalPipe[2] = {-1, -1};
long lastExpiryCheckAt = -1;
char datagram[DATAGRAM_MAX];

long monotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec);
}

void readLocalAddresses() {
  struct ifaddrs *list = nullptr;
  localAddressesReadAt = monotonicSeconds();
  if (getifaddrs(&list) != 0) return;
  localAddresses.clear();
  for (struct ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    localAddresses.push_back(
        reinterpret_cast<struct sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr);
  }
  freeifaddrs(list);
}

// A hub serves the programs of its own host only.
bool isLocalAddress(struct in_addr address) {
  if ((ntohl(address.s_addr) >> 24) == IN_LOOPBACKNET) return true;
  for (int attempt = 0; attempt < 2; attempt++) {
    for (in_addr_t local : localAddresses) {
      if (local == address.s_addr) return true;
    }
    // Addresses come and go; look again, but not on every forged heartbeat.
    if (attempt == 0 && monotonicSeconds() - localAddressesReadAt >= ADDRESS_REFRESH_S) {
      readLocalAddresses();
    } else {
      break;
    }
  }
  return false;
}

std::string describe(const Client &client) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &client.address, text, sizeof text);
  return std::string(text) + ":" + std::to_string(client.port) + " " + client.identity;
}

void clientLeft(size_t position, const char *reason) {
  printf("client left %s (%s)\n", describe(clients[position]).c_str(), reason);
  clients.erase(clients.begin() + static_cast<long>(position));
}

void expireSilentClients() {
  long now = monotonicSeconds();
  if (now == lastExpiryCheckAt) return;
  lastExpiryCheckAt = now;
  for (size_t i = clients.size(); i-- > 0;) {
    const Client &client = clients[i];
    if (now - client.lastSeenAt > 2 * client.intervalMinutes * 60 + LIVENESS_GRACE_S)
      clientLeft(i, "timeout");
  }
}

// Where the heartbeat says its sender listens; false when it names no
// usable local address and port.
bool heartbeatEndpoint(xPL_MessagePtr message, struct in_addr *address, int *port) {
  const char *remoteIP = xPL_getMessageNamedValue(message, const_cast<String>("remote-ip"));
  const char *portText = xPL_getMessageNamedValue(message, const_cast<String>("port"));
  if (remoteIP == nullptr || portText == nullptr) return false;
  if (inet_pton(AF_INET, remoteIP, address) != 1) return false;
  if (!xPL_strToInt(portText, port) || *port < 1 || *port > 65535) return false;
  // The hub's own port: relaying there would feed every datagram back to
  // the hub, round and round.
  if (*port == xPL_getPort()) return false;
  return isLocalAddress(*address);
}

std::string sourceIdentity(xPL_MessagePtr message) {
  auto part = [](const char *text) { return std::string(text != nullptr ? text : ""); };
  return part(xPL_getSourceVendor(message)) + "-" + part(xPL_getSourceDeviceID(message)) + "." +
         part(xPL_getSourceInstanceID(message));
}

Client *findClient(struct in_addr address, int port, size_t *position) {
  for (size_t i = 0; i < clients.size(); i++) {
    if (clients[i].address.s_addr == address.s_addr && clients[i].port == port) {
      if (position != nullptr) *position = i;
      return &clients[i];
    }
  }
  return nullptr;
}

// Learns or forgets a client from a heartbeat sent from this host; anything
// else is ignored.
void trackClients(xPL_MessagePtr message, struct in_addr sender) {
  const char *schemaClass = xPL_getSchemaClass(message);
  const char *schemaType = xPL_getSchemaType(message);
  if (schemaClass == nullptr || schemaType == nullptr) return;
  bool heartbeatClass = xPL_strcmpIgnoreCase(schemaClass, "hbeat") == 0 ||
                        xPL_strcmpIgnoreCase(schemaClass, "config") == 0;
  if (!heartbeatClass) return;
  bool alive = xPL_strcmpIgnoreCase(schemaType, "app") == 0;
  bool goodbye = xPL_strcmpIgnoreCase(schemaType, "end") == 0;
  if (!alive && !goodbye) return;
  if (!isLocalAddress(sender)) {
    xPL_Debug("Heartbeat from another host (%s) ignored", inet_ntoa(sender));
    return;
  }

  struct in_addr address;
  int port = 0;
  if (!heartbeatEndpoint(message, &address, &port)) return;

  size_t position = 0;
  Client *known = findClient(address, port, &position);
  if (goodbye) {
    if (known != nullptr) {
      std::string reason = std::string(schemaClass) + "." + schemaType;
      clientLeft(position, reason.c_str());
    }
    return;
  }

  int interval = 0;
  const char *intervalText = xPL_getMessageNamedValue(message, const_cast<String>("interval"));
  if (intervalText == nullptr || !xPL_strToInt(intervalText, &interval) || interval < 0)
    interval = 0;

  if (known == nullptr) {
    if (clients.size() >= MAX_CLIENTS) return;
    clients.push_back(Client{address, port, sourceIdentity(message), monotonicSeconds(), interval});
    printf("client joined %s\n", describe(clients.back()).c_str());
    return;
  }
  known->identity = sourceIdentity(message);
  known->lastSeenAt = monotonicSeconds();
  known->intervalMinutes = interval;
}

void relay(const char *data, size_t length) {
  for (const Client &client : clients) {
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr = client.address;
    to.sin_port = htons(static_cast<uint16_t>(client.port));
    // A client that cannot take it now misses it, as on any UDP network.
    sendto(relayFD, data, length, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to);
  }
}

// Drains the hub socket: learn from heartbeats first, so that a client's
// first heartbeat already comes back to it and confirms the hub.
void readDatagrams(int theFD, int, int) {
  // Bounded, so that a flood cannot keep the loop from a stop request.
  for (int count = 0; count < DRAIN_MAX; count++) {
    struct sockaddr_in sender;
    socklen_t senderLength = sizeof sender;
    ssize_t length = recvfrom(theFD, datagram, sizeof datagram, 0,
                              reinterpret_cast<struct sockaddr *>(&sender), &senderLength);
    if (length < 0) {
      if (errno == EINTR) continue;
      return;
    }
    // Parsed as a client would see it: cut at its read size, as text.
    char text[XPL_DATAGRAM_SIZE];
    size_t textLength = static_cast<size_t>(length) < sizeof text - 1 ? static_cast<size_t>(length)
                                                                      : sizeof text - 1;
    memcpy(text, datagram, textLength);
    text[textLength] = '\0';
    xPL_MessagePtr message = xPL_parseMessage(text);
    if (message != nullptr) {
      trackClients(message, sender.sin_addr);
      xPL_releaseMessage(message);
    }
    expireSilentClients();
    relay(datagram, static_cast<size_t>(length));
  }
}

void onSignal(int) {
  int savedErrno = errno;
  char byte = 1;
  ssize_t ignored = write(signalPipe[1], &byte, 1);
  (void)ignored;
  errno = savedErrno;
}

void stopRequested(int, int, int) {
  xPL_shutdown();
}

void expiryTick(int, xPL_ObjectPtr) {
  expireSilentClients();
}

}  // namespace

int main(int argc, char *argv[]) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A bare -interface is refused as any other stray argument.
  if (!xPL_parseCommonArgs(&argc, argv, FALSE) || argc != 1) {
    fprintf(stderr, "usage: xpl-hub [-interface NAME] [-xpldebug]\n");
    return 2;
  }

  if (pipe(signalPipe) != 0) {
    perror("xpl-hub: pipe");
    return 1;
  }
  fcntl(signalPipe[0], F_SETFL, O_NONBLOCK);
  fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  if (!xPL_initialize(xcStandAlone)) {
    fprintf(stderr, "xpl-hub: cannot own UDP port %d on interface %s\n", XPL_PORT,
            xPL_getBroadcastInterface()[0] != '\0' ? xPL_getBroadcastInterface() : "(none)");
    return 1;
  }
  // The hub reads its socket itself: it relays datagrams whole, valid or not.
  relayFD = xPL_getFD();
  xPL_removeIODevice(relayFD);
  xPL_addIODevice(readDatagrams, 0, relayFD, TRUE, FALSE, FALSE);
  xPL_addIODevice(stopRequested, 0, signalPipe[0], TRUE, FALSE, FALSE);
  xPL_addTimeoutHandler(expiryTick, 1, nullptr);
  readLocalAddresses();

  std::string interfaceName = xPL_getBroadcastInterface();
  std::string interfaceAddress = xPL_getListenerIPAddr();
  printf("xpl-hub ready on %s %s\n", interfaceName.c_str(), interfaceAddress.c_str());

  xPL_processMessages(-1);
  return 0;
}
