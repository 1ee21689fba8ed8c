/* xPL-io.cpp - the xPL network connection and the event loop.
 *
 * xPL travels as UDP broadcasts to port 3865. Only one program per host
 * can own that port: the hub, or a program running stand-alone. Everyone
 * else listens on a port of the system's choosing and tells the hub about
 * it in their heartbeats. Messages always leave from a second, unbound
 * socket towards the interface's directed broadcast address.
 *
 * The loop is one thread around poll(): managed I/O devices get their
 * handler when ready; after every quiet second the periodic work runs
 * (heartbeat check, then the timeout handlers).
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

time_t wallClock() {
  return time(nullptr);
}

constexpr int INTERFACE_LIST_SIZE = 1024; /* interfaces beyond this listing are not seen */
constexpr int IDEAL_RECEIVE_BUFFER = 1024000;
constexpr int RECEIVE_BUFFER_STEP = 64000;
constexpr int UNIQUE_PREFIX_LENGTH = 8;
constexpr int UNIQUE_TIME_DIGITS = 8;
constexpr int UNIQUE_IDENT_LENGTH = 16;
constexpr int IO_DEVICE_GROW_BY = 32;
constexpr int TIMEOUT_GROW_BY = 4;
constexpr int POLL_SLICE_MS = 1000;

/* ---- Connection state -------------------------------------------------- */

int xPLFD = -1;
xPL_ConnectType xPLconnectType = xcViaHub;
int xPLPort = XPL_PORT;
int xPLBroadcastFD = -1;
char xPLInterfaceName[INTERFACE_NAME_SIZE] = "";
struct in_addr xPLInterfaceAddr = {0};
struct sockaddr_in xPLBroadcastAddr;
bool xPLFDRegistered = false;

char uniqueIDPrefix[UNIQUE_PREFIX_LENGTH + 1] = "";
const char base36Table[] = "0123456789abcdefghijklmnopqrstuvwxyz";

/* ---- Event loop state -------------------------------------------------- */

struct _pollUserInfo {
  xPL_IOHandler ioHandler;
  int userValue;
};

struct pollfd *pollInfo = nullptr;
_pollUserInfo *pollUserInfo = nullptr;
int pollInfoCount = 0;
int pollInfoSize = 0;

TimeoutHandler *timeoutList = nullptr;
int timeoutCount = 0;
int timeoutAllocCount = 0;

time_t heartbeatCheckLastDoneAt = -1;
time_t timeoutChecksLastDoneAt = -1;
long long periodicWorkLastDoneMs = -1; /* monotonic; -1 until the loop first runs */

/* ---- Connection steps -------------------------------------------------- */

bool markNonblocking(int thefd) {
  int flags = fcntl(thefd, F_GETFL, 0);
  if (flags < 0) return false;
  return fcntl(thefd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool readReceiveBufferSize(int thefd, int *theSize) {
  socklen_t sizeLen = sizeof *theSize;
  if (getsockopt(thefd, SOL_SOCKET, SO_RCVBUF, theSize, &sizeLen) == 0) return true;
  xPL_Debug("Unable to read receive socket buffer size - %s (%d)", strerror(errno), errno);
  return false;
}

/* Datagrams queue here while the single thread is busy elsewhere (a
 * station command can take seconds), so ask for as much as we may get. */
bool maximizeReceiveBufferSize(int thefd) {
  int startingSize = 0; /* unreadable: every size down the ladder is worth a try */
  if (readReceiveBufferSize(thefd, &startingSize)) {
    xPL_Debug("Initial receive socket buffer size is %d bytes", startingSize);
  } else {
    startingSize = 0;
  }

  for (int idealSize = IDEAL_RECEIVE_BUFFER; idealSize > startingSize;
       idealSize -= RECEIVE_BUFFER_STEP) {
    if (setsockopt(thefd, SOL_SOCKET, SO_RCVBUF, &idealSize, sizeof idealSize) != 0) {
      xPL_Debug("Not able to set receive buffer to %d bytes - retrying", idealSize);
      continue;
    }
    int actualSize = 0;
    if (!readReceiveBufferSize(thefd, &actualSize)) return false;
    xPL_Debug("Actual receive socket buffer size is %d bytes", actualSize);
    return actualSize > startingSize;
  }
  xPL_Debug("Unable to increase receive buffer size - dang!");
  return false;
}

bool findDefaultInterface(int sockfd) {
  alignas(struct ifreq) char listing[INTERFACE_LIST_SIZE]; /* read as ifreq records */
  struct ifconf interfaceList;
  memset(&interfaceList, 0, sizeof interfaceList);
  interfaceList.ifc_len = sizeof listing;
  interfaceList.ifc_buf = listing;
  if (ioctl(sockfd, SIOCGIFCONF, &interfaceList) < 0) return false;

  int entries = interfaceList.ifc_len / static_cast<int>(sizeof(struct ifreq));
  for (int i = 0; i < entries; i++) {
    struct ifreq request;
    memset(&request, 0, sizeof request);
    memcpy(request.ifr_name, interfaceList.ifc_req[i].ifr_name, IFNAMSIZ);
    request.ifr_name[IFNAMSIZ - 1] = '\0';
    if (ioctl(sockfd, SIOCGIFFLAGS, &request) < 0) continue;
    short flags = request.ifr_flags;
    xPL_Debug("Checking if interface %s is valid w/flags %d", request.ifr_name, flags);
    if ((flags & IFF_UP) == 0 || (flags & IFF_LOOPBACK) != 0) continue;
    snprintf(xPLInterfaceName, sizeof xPLInterfaceName, "%s", request.ifr_name);
    xPL_Debug("Choose interface %s as default interface", xPLInterfaceName);
    return true;
  }
  return false;
}

/* Fills an interface request naming the chosen interface; false when the
 * name is longer than any interface name can be (cut, it could name
 * another interface). */
bool interfaceRequest(struct ifreq *request) {
  memset(request, 0, sizeof *request);
  size_t nameLength = strnlen(xPLInterfaceName, sizeof xPLInterfaceName);
  if (nameLength >= sizeof request->ifr_name) return false;
  memcpy(request->ifr_name, xPLInterfaceName, nameLength);
  request->ifr_addr.sa_family = AF_INET;
  return true;
}

bool setupBroadcastAddr() {
  struct protoent *protocol = getprotobyname("udp");
  if (protocol == nullptr) {
    xPL_Error("Unable to lookup UDP protocol info");
    return false;
  }
  int sockfd = socket(AF_INET, SOCK_DGRAM, protocol->p_proto);
  if (sockfd < 0) {
    xPL_Error("Unable to create broadcast socket %s (%d)", strerror(errno), errno);
    return false;
  }
  int flag = 1;
  if (setsockopt(sockfd, SOL_SOCKET, SO_BROADCAST, &flag, sizeof flag) < 0) {
    xPL_Error("Unable to set SO_BROADCAST on socket %s (%d)", strerror(errno), errno);
    close(sockfd);
    return false;
  }

  if (xPLInterfaceName[0] == '\0' && !findDefaultInterface(sockfd)) {
    xPL_Error("Could not find a working, non-loopback network interface");
    close(sockfd);
    return false;
  }

  struct ifreq request;
  if (!interfaceRequest(&request) || ioctl(sockfd, SIOCGIFADDR, &request) < 0) {
    xPL_Error("Unable to get IP addr for interface %s", xPLInterfaceName);
    close(sockfd);
    return false;
  }
  xPLInterfaceAddr = reinterpret_cast<struct sockaddr_in *>(&request.ifr_addr)->sin_addr;
  xPL_Debug("Auto-assigning IP address of %s", inet_ntoa(xPLInterfaceAddr));

  if (!interfaceRequest(&request) || ioctl(sockfd, SIOCGIFNETMASK, &request) < 0) {
    xPL_Error("Unable to extract the interface net mask");
    close(sockfd);
    return false;
  }
  in_addr_t netmask = reinterpret_cast<struct sockaddr_in *>(&request.ifr_netmask)->sin_addr.s_addr;

  memset(&xPLBroadcastAddr, 0, sizeof xPLBroadcastAddr);
  xPLBroadcastAddr.sin_family = AF_INET;
  xPLBroadcastAddr.sin_addr.s_addr = ~netmask | xPLInterfaceAddr.s_addr;
  /* Always the well-known port: the hub (or a stand-alone program) is there. */
  xPLBroadcastAddr.sin_port = htons(XPL_PORT);

  xPLBroadcastFD = sockfd;
  markNonblocking(xPLBroadcastFD);
  xPL_Debug("Assigned xPL Broadcast address of %s, port %d", inet_ntoa(xPLBroadcastAddr.sin_addr),
            XPL_PORT);
  return true;
}

/* Steps both listener connections share: a UDP socket, or -1 after the
 * debug line that says why. */
int openListenerSocket() {
  struct protoent *protocol = getprotobyname("udp");
  if (protocol == nullptr) {
    xPL_Debug("Unable to lookup UDP protocol info");
    return -1;
  }
  int sockfd = socket(AF_INET, SOCK_DGRAM, protocol->p_proto);
  if (sockfd < 0) {
    xPL_Debug("Unable to create listener socket %s (%d)", strerror(errno), errno);
    return -1;
  }
  /* The kernel stamps each datagram as it arrives, so a listener knows how
   * old a request is however long it waited in the buffer. Without stamps
   * the time a datagram is read stands in. */
  int on = 1;
  setsockopt(sockfd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  return sockfd;
}

bool attemptStandaloneConnection() {
  int sockfd = openListenerSocket();
  if (sockfd < 0) return false;
  /* No SO_REUSEADDR: the bind must fail while a hub holds the port, which
   * is what sends the automatic mode on to hub mode. */
  int flag = 1;
  if (setsockopt(sockfd, SOL_SOCKET, SO_BROADCAST, &flag, sizeof flag) < 0) {
    xPL_Debug("Unable to set SO_REUSEADDR on socket %s (%d)", strerror(errno), errno);
    close(sockfd);
    return false;
  }
  if (setsockopt(sockfd, SOL_SOCKET, SO_BROADCAST, &flag, sizeof flag) < 0) {
    xPL_Debug("Unable to set SO_BROADCAST on socket %s (%d)", strerror(errno), errno);
    close(sockfd);
    return false;
  }
  /* A hub-mode run before this one left its own port behind. */
  xPLPort = XPL_PORT;
  struct sockaddr_in listenerAddr;
  memset(&listenerAddr, 0, sizeof listenerAddr);
  listenerAddr.sin_family = AF_INET;
  listenerAddr.sin_addr.s_addr = htonl(INADDR_ANY);
  listenerAddr.sin_port = htons(static_cast<uint16_t>(xPLPort));
  if (bind(sockfd, reinterpret_cast<struct sockaddr *>(&listenerAddr), sizeof listenerAddr) < 0) {
    xPL_Debug("Unable to bind listener socket to port %d, %s (%d)", xPLPort, strerror(errno),
              errno);
    close(sockfd);
    return false;
  }
  xPLFD = sockfd;
  markNonblocking(xPLFD);
  maximizeReceiveBufferSize(xPLFD);
  xPL_Debug("xPL Started in standalone mode");
  return true;
}

bool attempHubConnection() {
  int sockfd = openListenerSocket();
  if (sockfd < 0) return false;
  int flag = 1;
  if (setsockopt(sockfd, SOL_SOCKET, SO_BROADCAST, &flag, sizeof flag) < 0) {
    xPL_Debug("Unable to set SO_BROADCAST on socket %s (%d)", strerror(errno), errno);
    close(sockfd);
    return false;
  }
  struct sockaddr_in listenerAddr;
  memset(&listenerAddr, 0, sizeof listenerAddr);
  listenerAddr.sin_family = AF_INET;
  listenerAddr.sin_addr.s_addr = htonl(INADDR_ANY);
  listenerAddr.sin_port = htons(0); /* the system picks; heartbeats tell the hub */
  if (bind(sockfd, reinterpret_cast<struct sockaddr *>(&listenerAddr), sizeof listenerAddr) < 0) {
    xPL_Debug("Unable to bind listener socket to port %d, %s (%d)", xPLPort, strerror(errno),
              errno);
    close(sockfd);
    return false;
  }
  socklen_t addrLen = sizeof listenerAddr;
  if (getsockname(sockfd, reinterpret_cast<struct sockaddr *>(&listenerAddr), &addrLen) < 0) {
    xPL_Debug("Unable to fetch socket info for bound listener, %s (%d)", strerror(errno), errno);
    close(sockfd);
    return false;
  }
  xPLFD = sockfd;
  xPLPort = ntohs(listenerAddr.sin_port);
  markNonblocking(xPLFD);
  maximizeReceiveBufferSize(xPLFD);
  xPL_Debug("xPL Starting in Hub mode on port %d", xPLPort);
  return true;
}

bool makeConnection(xPL_ConnectType theConnectType) {
  if (theConnectType == xcStandAlone || theConnectType == xcAuto) {
    xPL_Debug("Attemping standalone xPL");
    if (attemptStandaloneConnection()) {
      xPLconnectType = xcStandAlone;
      return true;
    }
    xPL_Debug("Standalong connect failed - %d %d", theConnectType, 0);
    if (theConnectType == xcStandAlone) return false;
  }
  if (theConnectType != xcViaHub && theConnectType != xcAuto) return false;
  xPL_Debug("Attempting hub based xPL");
  if (!attempHubConnection()) return false;
  xPLconnectType = xcViaHub;
  return true;
}

/* Writes the value's base-36 digits right-aligned into eight places after
 * the text; higher digits than fit are dropped. */
void longToBase32(uint32_t theValue, char *theText, size_t textSize) {
  size_t start = strlen(theText);
  if (start + UNIQUE_TIME_DIGITS + 1 > textSize) return;
  memset(theText + start, '0', UNIQUE_TIME_DIGITS);
  theText[start + UNIQUE_TIME_DIGITS] = '\0';
  for (int place = UNIQUE_TIME_DIGITS - 1; place >= 0 && theValue != 0; place--) {
    theText[start + static_cast<size_t>(place)] = base36Table[theValue % 36];
    theValue /= 36;
  }
}

/* ---- Event loop steps -------------------------------------------------- */

void checkAllTimeoutHandlers() {
  time_t passAt = xPL_timeSource();
  RegistryWalk walk(&timeoutList, timeoutCount);
  while (walk.next()) {
    TimeoutHandler entry = timeoutList[walk.index()];
    time_t elapsed = passAt - entry.lastTimedoutAt;
    if (elapsed < entry.timeoutInterval) continue;
    entry.timeoutHandler(static_cast<int>(elapsed), entry.userValue);
    /* The call may have shuffled the list: update the entry that was
     * called, found again through the walk, unless it removed itself. */
    if (!walk.currentRemoved() && walk.index() < timeoutCount) {
      timeoutList[walk.index()].lastTimedoutAt = passAt;
    }
  }
}

/* One wait of the loop: poll for at most the slice, in pieces when a
 * discovery answer falls due meanwhile, so answers leave on time without
 * the wait looking any different to the loop. Returns what poll returned
 * (errno kept), 0 once the whole slice has passed quietly. */
int waitForDevices(int slice) {
  long long startedAt = xPL_monotonicMs();
  for (;;) {
    int untilAnswer = sendDueDiscoveryAnswers();
    long long remaining = slice - (xPL_monotonicMs() - startedAt);
    if (remaining < 0) remaining = 0;
    int wait = static_cast<int>(remaining);
    if (untilAnswer >= 0 && untilAnswer < wait) wait = untilAnswer;

    int ready = poll(pollInfo, static_cast<nfds_t>(pollInfoCount), wait);
    if (ready < 0 && errno == EINTR) {
      /* A signal handler may have shut us down; otherwise wait on. */
      if (xPLFD == -1) return ready;
      continue;
    }
    if (ready != 0) return ready;
    if (wait >= remaining) return 0;
  }
}

/* The periodic work after a quiet second, or after a second of devices
 * ready without pause. */
void doTimeouts() {
  periodicWorkLastDoneMs = xPL_monotonicMs();
  time_t now = xPL_timeSource();

  /* A clock set back below the last check must not silence the heartbeats
   * until it catches up again: the hub would drop us meanwhile. */
  if (heartbeatCheckLastDoneAt == -1 || now - heartbeatCheckLastDoneAt > 4 ||
      now < heartbeatCheckLastDoneAt || !xPL_isHubConfirmed()) {
    xPL_sendTimelyHeartbeats();
    heartbeatCheckLastDoneAt = now;
  }

  /* At most one pass per wall-clock second. After a clock set back the
   * handlers wait until their own interval is due again. */
  if (timeoutChecksLastDoneAt == -1 || now > timeoutChecksLastDoneAt) {
    checkAllTimeoutHandlers();
    timeoutChecksLastDoneAt = now;
  }
}

}  // namespace

time_t (*xPL_timeSource)(void) = wallClock;

long long xPL_monotonicMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

/* ---- Connection interface ---------------------------------------------- */

Bool xPL_initialize(xPL_ConnectType theConnectType) {
  if (xPLFD != -1) return FALSE;
  if (!setupBroadcastAddr()) return FALSE;
  if (!makeConnection(theConnectType)) {
    /* Leave nothing open: a later attempt makes its own sending socket. */
    close(xPLBroadcastFD);
    xPLBroadcastFD = -1;
    return FALSE;
  }
  if (!xPLFDRegistered) {
    if (xPL_addIODevice(xPL_receiveMessage, -1, xPLFD, TRUE, FALSE, FALSE)) xPLFDRegistered = true;
  }
  /* Looked up, not remembered: a second registration would route every
   * message twice, and a router the program removed must come back. */
  if (!isMessageListenerRegistered(xPL_handleServiceMessage))
    xPL_addMessageListener(xPL_handleServiceMessage, nullptr);
  return TRUE;
}

Bool xPL_shutdown(void) {
  if (xPLFD == -1) return FALSE;
  xPL_disableAllServices();
  if (xPL_removeIODevice(xPLFD)) xPLFDRegistered = false;
  close(xPLBroadcastFD);
  xPLBroadcastFD = -1;
  close(xPLFD);
  xPLFD = -1;
  return TRUE;
}

Bool xPL_sendRawMessage(String theData, int dataLen) {
  if (theData == nullptr || dataLen < 0) return FALSE;
  ssize_t sent =
      sendto(xPLBroadcastFD, theData, static_cast<size_t>(dataLen), 0,
             reinterpret_cast<struct sockaddr *>(&xPLBroadcastAddr), sizeof xPLBroadcastAddr);
  if (sent == dataLen) {
    xPL_Debug("Broadcasted %d bytes (of %d attempted)", static_cast<int>(sent), dataLen);
    return TRUE;
  }
  xPL_Debug("Unable to broadcast message, %s (%d)", strerror(errno), errno);
  return FALSE;
}

String xPL_getFairlyUniqueIdent(void) {
  if (uniqueIDPrefix[0] == '\0') {
    const unsigned char *octets = reinterpret_cast<const unsigned char *>(&xPLInterfaceAddr.s_addr);
    for (int i = 0; i < 4; i++) memcpy(&uniqueIDPrefix[i * 2], xPL_intToHex(octets[i]), 2);
    uniqueIDPrefix[UNIQUE_PREFIX_LENGTH] = '\0';
  }

  struct timeval now;
  gettimeofday(&now, nullptr);
  /* Milliseconds since the epoch in 32 bits: wraps every 49.7 days. */
  uint32_t millis =
      static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_usec / 1000);

  char ident[UNIQUE_PREFIX_LENGTH + UNIQUE_TIME_DIGITS + 1];
  snprintf(ident, sizeof ident, "%s", uniqueIDPrefix);
  longToBase32(millis, ident, sizeof ident);
  ident[UNIQUE_IDENT_LENGTH] = '\0';
  return xPL_StrDup(ident);
}

int xPL_getFD(void) {
  return xPLFD;
}

xPL_ConnectType xPL_getConnectType(void) {
  return xPLconnectType;
}

int xPL_getPort(void) {
  return xPLPort;
}

String xPL_getBroadcastIPAddr(void) {
  return inet_ntoa(xPLBroadcastAddr.sin_addr);
}

String xPL_getListenerIPAddr(void) {
  return inet_ntoa(xPLInterfaceAddr);
}

String xPL_getBroadcastInterface(void) {
  return xPLInterfaceName;
}

void xPL_setBroadcastInterface(String newInterfaceName) {
  if (xPLFD != -1 || newInterfaceName == nullptr) return;
  /* A cut name could pick another interface; refuse it whole. */
  if (strlen(newInterfaceName) >= INTERFACE_NAME_SIZE) {
    xPL_Error("Interface name %.*s... is too long -- ignored", INTERFACE_NAME_SIZE - 1,
              newInterfaceName);
    return;
  }
  snprintf(xPLInterfaceName, sizeof xPLInterfaceName, "%s", newInterfaceName);
}

/* ---- Managed devices and timeouts -------------------------------------- */

Bool xPL_addIODevice(xPL_IOHandler theIOHandler, int userValue, int theFD, Bool watchRead,
                     Bool watchWrite, Bool watchError) {
  if (!watchRead && !watchWrite && !watchError) return FALSE;

  if (pollInfoCount == pollInfoSize) {
    int newSize = pollInfoSize + IO_DEVICE_GROW_BY;
    size_t infoBytes = sizeof(struct pollfd) * static_cast<size_t>(newSize);
    size_t userBytes = sizeof(_pollUserInfo) * static_cast<size_t>(newSize);
    pollInfo =
        static_cast<struct pollfd *>(xPL_checkedAlloc(realloc(pollInfo, infoBytes), infoBytes));
    pollUserInfo =
        static_cast<_pollUserInfo *>(xPL_checkedAlloc(realloc(pollUserInfo, userBytes), userBytes));
    pollInfoSize = newSize;
  }

  struct pollfd &device = pollInfo[pollInfoCount];
  device.fd = theFD;
  device.events = 0;
  if (watchRead) device.events |= POLLIN;
  if (watchWrite) device.events |= POLLOUT;
  if (watchError) device.events |= POLLERR;
  device.revents = 0; /* not ready until a wait says so */
  pollUserInfo[pollInfoCount].ioHandler = theIOHandler;
  pollUserInfo[pollInfoCount].userValue = userValue;
  pollInfoCount++;
  xPL_Debug("Added managed IO device, now %d devices", pollInfoCount);
  return TRUE;
}

Bool xPL_removeIODevice(int theFD) {
  for (int i = 0; i < pollInfoCount; i++) {
    if (pollInfo[i].fd != theFD) continue;
    int later = pollInfoCount - i - 1;
    if (later > 0) {
      memmove(&pollInfo[i], &pollInfo[i + 1], sizeof(struct pollfd) * static_cast<size_t>(later));
      memmove(&pollUserInfo[i], &pollUserInfo[i + 1],
              sizeof(_pollUserInfo) * static_cast<size_t>(later));
    }
    pollInfoCount--;
    RegistryWalk::removed(&pollInfo, i);
    xPL_Debug("Removed managed IO device, now %d devices", pollInfoCount);
    return TRUE;
  }
  xPL_Debug("Unable to remove managed IO device, fd=%d not found", theFD);
  return FALSE;
}

void xPL_addTimeoutHandler(xPL_TimeoutHandler timeoutHandler, int timeoutInSeconds,
                           xPL_ObjectPtr userValue) {
  if (timeoutCount == timeoutAllocCount) {
    int newAlloc = timeoutAllocCount + TIMEOUT_GROW_BY;
    size_t bytes = sizeof(TimeoutHandler) * static_cast<size_t>(newAlloc);
    timeoutList =
        static_cast<TimeoutHandler *>(xPL_checkedAlloc(realloc(timeoutList, bytes), bytes));
    timeoutAllocCount = newAlloc;
  }
  TimeoutHandler &entry = timeoutList[timeoutCount];
  entry.timeoutInterval = timeoutInSeconds;
  entry.lastTimedoutAt = xPL_timeSource();
  entry.timeoutHandler = timeoutHandler;
  entry.userValue = userValue;
  timeoutCount++;
}

Bool xPL_removeTimeoutHandler(xPL_TimeoutHandler timeoutHandler) {
  for (int i = 0; i < timeoutCount; i++) {
    if (timeoutList[i].timeoutHandler != timeoutHandler) continue;
    int later = timeoutCount - i - 1;
    if (later > 0) {
      memmove(&timeoutList[i], &timeoutList[i + 1],
              sizeof(TimeoutHandler) * static_cast<size_t>(later));
    }
    timeoutCount--;
    RegistryWalk::removed(&timeoutList, i);
    return TRUE;
  }
  return FALSE;
}

/* ---- The loop ---------------------------------------------------------- */

Bool xPL_processMessages(int theTimeout) {
  bool periodicWorkDone = false;
  int idleSoFar = 0;
  if (periodicWorkLastDoneMs < 0) periodicWorkLastDoneMs = xPL_monotonicMs();

  while (xPLFD != -1) {
    int slice;
    if (theTimeout > POLL_SLICE_MS) {
      int remaining = theTimeout - idleSoFar;
      slice = remaining < POLL_SLICE_MS ? remaining : POLL_SLICE_MS;
    } else if (theTimeout >= 1) {
      slice = theTimeout;
    } else if (theTimeout == -1) {
      slice = POLL_SLICE_MS;
    } else {
      slice = 0;
    }

    int ready = waitForDevices(slice);
    if (xPLFD == -1) break;
    if (ready < 0) {
      xPL_Debug("Error while polling devices - %s (%d) - terminating", strerror(errno), errno);
      return FALSE;
    }

    if (ready == 0) {
      if ((theTimeout >= 1 && theTimeout <= POLL_SLICE_MS) || slice < POLL_SLICE_MS) break;
      doTimeouts();
      periodicWorkDone = true;
      idleSoFar += slice;
      continue;
    }

    idleSoFar = 0;
    {
      int handled = 0;
      RegistryWalk walk(&pollInfo, pollInfoCount);
      while (walk.next()) {
        const struct pollfd &device = pollInfo[walk.index()];
        if (device.revents == 0) continue;
        int theFD = device.fd;
        int events = device.revents;
        _pollUserInfo user = pollUserInfo[walk.index()];
        user.ioHandler(theFD, events, user.userValue);
        handled++;
        if (xPLFD == -1 || handled >= ready) break;
      }
    }
    /* A device that is ready again and again (a flood of datagrams) must
     * not keep heartbeats and timeout handlers waiting: the hub would drop
     * us and the timed jobs would stop. */
    if (xPLFD != -1 && xPL_monotonicMs() - periodicWorkLastDoneMs >= POLL_SLICE_MS) {
      doTimeouts();
      periodicWorkDone = true;
    }
  }

  if (!periodicWorkDone) doTimeouts();
  return FALSE;
}
