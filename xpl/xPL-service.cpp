/* xPL-service.cpp - services: identity, heartbeats and goodbyes, discovery
 * answers, and the routing of every received message to each service.
 *
 * A service is one vendor-device.instance on the network. It announces
 * itself with a heartbeat (hbeat.app, or config.app while it waits for its
 * configuration) carrying the port and address it listens on, which is how
 * the hub learns where to forward broadcasts, and says goodbye (hbeat.end
 * or config.end) when it stops.
 */
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

constexpr int SERVICE_GROW_BY = 8;
constexpr int DEFAULT_HEARTBEAT_INTERVAL = 300;
constexpr int MAX_HEARTBEAT_INTERVAL = 172800; /* 48 hours */
constexpr int CONFIG_HEARTBEAT_INTERVAL = 60;  /* while unconfigured, once the hub is known */
constexpr int UNCONFIRMED_HEARTBEAT_GAP = 2;   /* more than this until the hub echoes us */
constexpr int DISCOVERY_MIN_DELAY_MS = 500;
constexpr int DISCOVERY_DELAY_SPREAD_MS = 2000;
constexpr long long RANDOM_MAX = 2147483647; /* random() gives 0 to this */

xPL_ServicePtr *serviceList = nullptr;
int serviceCount = 0;
int serviceAllocCount = 0;

/* A discovery answer waiting for its random delay to pass. Answers wait
 * here instead of blocking the loop, so a burst of requests cannot hold
 * up everything else; requests that arrive while one is pending are
 * answered by that one, which goes out after all of them. */
struct PendingAnswer {
  xPL_ServicePtr service;
  long long dueAtMs; /* monotonic */
};
std::vector<PendingAnswer> pendingAnswers;

/* Missing text compares as empty text. */
const char *orEmpty(const char *text) {
  return text != nullptr ? text : "";
}

bool sameIgnoringCase(const char *textA, const char *textB) {
  return xPL_strcmpIgnoreCase(orEmpty(textA), orEmpty(textB)) == 0;
}

bool sameExactly(const char *textA, const char *textB) {
  return strcmp(orEmpty(textA), orEmpty(textB)) == 0;
}

int indexOfService(xPL_ServicePtr theService) {
  for (int i = 0; i < serviceCount; i++) {
    if (serviceList[i] == theService) return i;
  }
  return -1;
}

/* Points a message's source at the service's current identity. Outgoing
 * messages borrow those strings, so this also keeps a cached message from
 * referring to an identity string that was replaced since. */
void pointSourceAtService(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (xPL_isReceivedMessage(theMessage)) {
    xPL_setSource(theMessage, theService->serviceVendor, theService->serviceDeviceID,
                  theService->serviceInstanceID);
    return;
  }
  theMessage->sourceVendor = theService->serviceVendor;
  theMessage->sourceDeviceID = theService->serviceDeviceID;
  theMessage->sourceInstanceID = theService->serviceInstanceID;
}

bool waitingForConfig(xPL_ServicePtr theService) {
  return theService->configurableService && !theService->serviceConfigured;
}

void releaseCachedHeartbeat(xPL_ServicePtr theService) {
  if (theService->heartbeatMessage == nullptr) return;
  xPL_releaseMessage(theService->heartbeatMessage);
  theService->heartbeatMessage = nullptr;
}

void dropPendingAnswer(xPL_ServicePtr theService) {
  for (size_t i = 0; i < pendingAnswers.size(); i++) {
    if (pendingAnswers[i].service != theService) continue;
    pendingAnswers.erase(pendingAnswers.begin() + static_cast<long>(i));
    return;
  }
}

void scheduleDiscoveryAnswer(xPL_ServicePtr theService) {
  for (const PendingAnswer &pending : pendingAnswers) {
    if (pending.service == theService) return;
  }
  /* A random spread so that every service on the network does not answer
   * in the same instant. */
  long long r = random();
  int responseDelay =
      DISCOVERY_MIN_DELAY_MS + static_cast<int>(DISCOVERY_DELAY_SPREAD_MS * r / RANDOM_MAX);
  xPL_Debug("Sending heartbeat in response to discovery request after a %d millisecond delay",
            responseDelay);
  pendingAnswers.push_back(PendingAnswer{theService, xPL_monotonicMs() + responseDelay});
}

bool isDiscoveryRequest(xPL_MessagePtr theMessage) {
  return xPL_getMessageType(theMessage) == xPL_MESSAGE_COMMAND &&
         sameIgnoringCase(xPL_getSchemaClass(theMessage), "hbeat") &&
         sameIgnoringCase(xPL_getSchemaType(theMessage), "request");
}

/* A null filter field is a wildcard; a missing message part is empty text. */
bool doesFilterMatch(const xPL_ServiceFilter &theFilter, xPL_MessagePtr theMessage) {
  if (theFilter.matchOnMessageType != xPL_MESSAGE_ANY &&
      theFilter.matchOnMessageType != xPL_getMessageType(theMessage))
    return false;
  const struct {
    const char *wanted;
    const char *actual;
  } fields[] = {
      {theFilter.matchOnVendor, xPL_getSourceVendor(theMessage)},
      {theFilter.matchOnDeviceID, xPL_getSourceDeviceID(theMessage)},
      {theFilter.matchOnInstanceID, xPL_getSourceInstanceID(theMessage)},
      {theFilter.matchOnSchemaClass, xPL_getSchemaClass(theMessage)},
      {theFilter.matchOnSchemaType, xPL_getSchemaType(theMessage)},
  };
  for (const auto &field : fields) {
    if (field.wanted != nullptr && !sameIgnoringCase(field.wanted, field.actual)) return false;
  }
  return true;
}

bool passesFilters(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (theService->filterCount == 0) return true;
  for (int i = 0; i < theService->filterCount; i++) {
    if (doesFilterMatch(theService->messageFilterList[i], theMessage)) return true;
  }
  return false;
}

bool isInGroup(xPL_ServicePtr theService, const char *theGroup) {
  for (int i = 0; i < theService->groupCount; i++) {
    if (sameIgnoringCase(theService->groupList[i], theGroup)) return true;
  }
  return false;
}

/* Decides whether one service takes a received message. */
void handleMessage(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (!theService->reportOwnMessages &&
      sameExactly(xPL_getSourceVendor(theMessage), theService->serviceVendor) &&
      sameExactly(xPL_getSourceDeviceID(theMessage), theService->serviceDeviceID) &&
      sameExactly(xPL_getSourceInstanceID(theMessage), theService->serviceInstanceID)) {
    xPL_Debug("Skipping message from self");
    return;
  }

  if (xPL_isBroadcastMessage(theMessage)) {
    /* A disabled service stays silent: it is not on the network. */
    if (isDiscoveryRequest(theMessage) && theService->serviceEnabled)
      scheduleDiscoveryAnswer(theService);
    if (!passesFilters(theService, theMessage)) return;
    xPL_dispatchServiceEvent(theService, theMessage);
    return;
  }

  if (xPL_isGroupMessage(theMessage)) {
    /* Received group names keep their "XPL-GROUP." prefix, and so must the
     * group entries that are to match them. */
    if (isInGroup(theService, xPL_getTargetGroup(theMessage)))
      xPL_dispatchServiceEvent(theService, theMessage);
    return;
  }

  if (sameIgnoringCase(xPL_getTargetVendor(theMessage), theService->serviceVendor) &&
      sameIgnoringCase(xPL_getTargetDeviceID(theMessage), theService->serviceDeviceID) &&
      sameIgnoringCase(xPL_getTargetInstanceID(theMessage), theService->serviceInstanceID)) {
    xPL_dispatchServiceEvent(theService, theMessage);
  }
}

xPL_ServicePtr newService(String theVendor, String theDeviceID, String theInstanceID) {
  if (serviceCount == serviceAllocCount) {
    int newAlloc = serviceAllocCount + SERVICE_GROW_BY;
    size_t bytes = sizeof(xPL_ServicePtr) * static_cast<size_t>(newAlloc);
    serviceList =
        static_cast<xPL_ServicePtr *>(xPL_checkedAlloc(realloc(serviceList, bytes), bytes));
    serviceAllocCount = newAlloc;
  }
  xPL_ServicePtr theService = xPL_AllocService();
  serviceList[serviceCount++] = theService;

  String madeUpInstance = nullptr;
  if (theInstanceID == nullptr) {
    madeUpInstance = xPL_getFairlyUniqueIdent();
    theInstanceID = madeUpInstance;
  }
  xPL_setServiceVendor(theService, theVendor);
  xPL_setServiceDeviceID(theService, theDeviceID);
  xPL_setServiceInstanceID(theService, theInstanceID);
  xPL_FreeStr(madeUpInstance);
  xPL_setHeartbeatInterval(theService, DEFAULT_HEARTBEAT_INTERVAL);
  return theService;
}

/* The common path of the three identity setters. */
void changeIdentityPart(xPL_ServicePtr theService, String *theField, String newValue) {
  if (theService == nullptr || newValue == nullptr) return;
  if (*theField != nullptr && xPL_strcmpIgnoreCase(*theField, newValue) == 0) return;
  if (theService->serviceEnabled) xPL_sendGoodbyeHeartbeat(theService);
  xPL_FreeStr(*theField);
  *theField = xPL_StrDup(newValue);
  if (theService->serviceEnabled) {
    releaseCachedHeartbeat(theService);
    xPL_sendHeartbeat(theService);
  }
}

}  // namespace

/* ---- Heartbeat messages ------------------------------------------------ */

xPL_MessagePtr createHeartbeatMessage(xPL_ServicePtr theService, HeartbeatType heartbeatType) {
  xPL_MessagePtr theMessage = xPL_createBroadcastMessage(theService, xPL_MESSAGE_STATUS);
  if (theMessage == nullptr) return nullptr;

  int intervalMinutes = theService->heartbeatInterval / 60;
  switch (heartbeatType) {
    case HBEAT_NORMAL:
      xPL_setSchema(theMessage, const_cast<String>("hbeat"), const_cast<String>("app"));
      break;
    case HBEAT_NORMAL_END:
      xPL_setSchema(theMessage, const_cast<String>("hbeat"), const_cast<String>("end"));
      break;
    case HBEAT_CONFIG:
      xPL_setSchema(theMessage, const_cast<String>("config"), const_cast<String>("app"));
      intervalMinutes = 1;
      break;
    case HBEAT_CONFIG_END:
      xPL_setSchema(theMessage, const_cast<String>("config"), const_cast<String>("end"));
      intervalMinutes = 1;
      break;
  }

  /* Each text comes from a shared scratch buffer: the list copies it
   * before the next one is made. */
  xPL_addMessageNamedValue(theMessage, const_cast<String>("interval"),
                           xPL_intToStr(intervalMinutes));
  xPL_addMessageNamedValue(theMessage, const_cast<String>("port"), xPL_intToStr(xPL_getPort()));
  xPL_addMessageNamedValue(theMessage, const_cast<String>("remote-ip"), xPL_getListenerIPAddr());
  if (theService->serviceVersion != nullptr)
    xPL_addMessageNamedValue(theMessage, const_cast<String>("version"), theService->serviceVersion);
  return theMessage;
}

Bool xPL_sendHeartbeat(xPL_ServicePtr theService) {
  if (theService == nullptr) return FALSE;
  if (theService->heartbeatMessage == nullptr) {
    theService->heartbeatMessage = createHeartbeatMessage(
        theService, waitingForConfig(theService) ? HBEAT_CONFIG : HBEAT_NORMAL);
    if (theService->heartbeatMessage == nullptr) return FALSE;
    xPL_Debug("SERVICE:: Just allocated a new Heartbeat message for the service");
  }
  pointSourceAtService(theService, theService->heartbeatMessage);
  if (!xPL_sendMessage(theService->heartbeatMessage)) return FALSE;
  theService->lastHeartbeatAt = xPL_timeSource();
  xPL_Debug("Sent Heatbeat message");
  return TRUE;
}

void renewHeartbeat(xPL_ServicePtr theService) {
  releaseCachedHeartbeat(theService);
  xPL_sendHeartbeat(theService);
}

Bool xPL_sendGoodbyeHeartbeat(xPL_ServicePtr theService) {
  if (theService == nullptr) return FALSE;
  xPL_MessagePtr theMessage = createHeartbeatMessage(
      theService, waitingForConfig(theService) ? HBEAT_CONFIG_END : HBEAT_NORMAL_END);
  if (theMessage == nullptr) return FALSE;
  Bool sent = xPL_sendMessage(theMessage);
  xPL_releaseMessage(theMessage);
  if (sent) xPL_Debug("Sent Goodbye Heatbeat");
  return sent;
}

void xPL_sendTimelyHeartbeats(void) {
  time_t now = xPL_timeSource();
  for (int i = 0; i < serviceCount; i++) {
    xPL_ServicePtr theService = serviceList[i];
    if (!theService->serviceEnabled) continue;
    time_t elapsed = now - theService->lastHeartbeatAt;
    /* A clock set back below the last heartbeat makes it due at once
     * rather than when the clock has caught up again. */
    bool clockWentBack = elapsed < 0;
    bool due;
    if (!xPL_isHubConfirmed()) {
      due = elapsed > UNCONFIRMED_HEARTBEAT_GAP || clockWentBack;
    } else if (waitingForConfig(theService)) {
      due =
          theService->lastHeartbeatAt <= 0 || elapsed >= CONFIG_HEARTBEAT_INTERVAL || clockWentBack;
    } else {
      due = theService->lastHeartbeatAt <= 0 || elapsed >= theService->heartbeatInterval ||
            clockWentBack;
    }
    if (due) xPL_sendHeartbeat(theService);
  }
}

int sendDueDiscoveryAnswers(void) {
  if (pendingAnswers.empty()) return -1;
  long long now = xPL_monotonicMs();
  long long nextDue = -1;
  for (size_t i = 0; i < pendingAnswers.size();) {
    PendingAnswer pending = pendingAnswers[i];
    if (pending.dueAtMs > now) {
      if (nextDue < 0 || pending.dueAtMs < nextDue) nextDue = pending.dueAtMs;
      i++;
      continue;
    }
    pendingAnswers.erase(pendingAnswers.begin() + static_cast<long>(i));
    if (pending.service->serviceEnabled) xPL_sendHeartbeat(pending.service);
  }
  return nextDue < 0 ? -1 : static_cast<int>(nextDue - now);
}

/* ---- Creating and releasing -------------------------------------------- */

xPL_ServicePtr xPL_createService(String theVendor, String theDeviceID, String theInstanceID) {
  return newService(theVendor, theDeviceID, theInstanceID);
}

void xPL_releaseService(xPL_ServicePtr theService) {
  int position = indexOfService(theService);
  if (position < 0) return;

  xPL_setServiceEnabled(theService, FALSE);
  dropPendingAnswer(theService);
  serviceListenersReleased(theService);
  releaseCachedHeartbeat(theService);

  xPL_FreeStr(theService->serviceVendor);
  theService->serviceVendor = nullptr;
  xPL_FreeStr(theService->serviceDeviceID);
  theService->serviceDeviceID = nullptr;
  xPL_FreeStr(theService->serviceInstanceID);
  theService->serviceInstanceID = nullptr;
  xPL_FreeStr(theService->serviceVersion);
  theService->serviceVersion = nullptr;

  xPL_clearServiceGroups(theService);
  free(theService->groupList);
  theService->groupList = nullptr;
  theService->groupAllocCount = 0;

  xPL_clearServiceFilters(theService);
  free(theService->messageFilterList);
  theService->messageFilterList = nullptr;
  theService->filterAllocCount = 0;

  for (int i = 0; i < theService->listenerCount; i++) {
    xPL_FreeStr(theService->serviceListenerList[i].matchSchemaClass);
    theService->serviceListenerList[i].matchSchemaClass = nullptr;
    xPL_FreeStr(theService->serviceListenerList[i].matchSchemaType);
    theService->serviceListenerList[i].matchSchemaType = nullptr;
  }
  free(theService->serviceListenerList);
  theService->serviceListenerList = nullptr;
  theService->listenerCount = 0;
  theService->listenerAllocCount = 0;

  xPL_releaseServiceConfigurables(theService);

  /* A listener may release a service: the list may have moved meanwhile. */
  position = indexOfService(theService);
  if (position >= 0) {
    if (position < serviceCount - 1) {
      memmove(&serviceList[position], &serviceList[position + 1],
              sizeof(xPL_ServicePtr) * static_cast<size_t>(serviceCount - position - 1));
    }
    serviceCount--;
    RegistryWalk::removed(&serviceList, position);
  }
  xPL_FreeService(theService);
}

int xPL_getServiceCount(void) {
  return serviceCount;
}

xPL_ServicePtr xPL_getServiceAt(int serviceIndex) {
  if (serviceIndex < 0 || serviceIndex >= serviceCount) return nullptr;
  return serviceList[serviceIndex];
}

/* ---- Enabling ---------------------------------------------------------- */

void xPL_setServiceEnabled(xPL_ServicePtr theService, Bool isEnabled) {
  if (theService == nullptr) return;
  isEnabled = isEnabled ? TRUE : FALSE;
  if (theService->serviceEnabled == isEnabled) return;
  theService->serviceEnabled = isEnabled;
  if (isEnabled) {
    /* Rebuilt from the current state: kind, interval, version. */
    releaseCachedHeartbeat(theService);
    xPL_sendHeartbeat(theService);
  } else {
    dropPendingAnswer(theService);
    xPL_sendGoodbyeHeartbeat(theService);
  }
}

Bool xPL_isServiceEnabled(xPL_ServicePtr theService) {
  return theService != nullptr ? theService->serviceEnabled : FALSE;
}

void xPL_disableAllServices(void) {
  for (int i = 0; i < serviceCount; i++) xPL_setServiceEnabled(serviceList[i], FALSE);
}

/* ---- Identity ---------------------------------------------------------- */

void xPL_setServiceVendor(xPL_ServicePtr theService, String theVendor) {
  if (theService == nullptr) return;
  changeIdentityPart(theService, &theService->serviceVendor, theVendor);
}

String xPL_getServiceVendor(xPL_ServicePtr theService) {
  return theService != nullptr ? theService->serviceVendor : nullptr;
}

void xPL_setServiceDeviceID(xPL_ServicePtr theService, String theDeviceID) {
  if (theService == nullptr) return;
  changeIdentityPart(theService, &theService->serviceDeviceID, theDeviceID);
}

String xPL_getServiceDeviceID(xPL_ServicePtr theService) {
  return theService != nullptr ? theService->serviceDeviceID : nullptr;
}

void xPL_setServiceInstanceID(xPL_ServicePtr theService, String theInstanceID) {
  if (theService == nullptr) return;
  changeIdentityPart(theService, &theService->serviceInstanceID, theInstanceID);
}

String xPL_getServiceInstanceID(xPL_ServicePtr theService) {
  return theService != nullptr ? theService->serviceInstanceID : nullptr;
}

void xPL_setServiceVersion(xPL_ServicePtr theService, String theVersion) {
  if (theService == nullptr) return;
  xPL_FreeStr(theService->serviceVersion);
  theService->serviceVersion = nullptr;
  if (theVersion != nullptr && theVersion[0] != '\0')
    theService->serviceVersion = xPL_StrDup(theVersion);
}

String xPL_getServiceVersion(xPL_ServicePtr theService) {
  return theService != nullptr ? theService->serviceVersion : nullptr;
}

/* ---- Flags and intervals ----------------------------------------------- */

void xPL_setReportOwnMessages(xPL_ServicePtr theService, Bool reportOwnMessages) {
  if (theService != nullptr) theService->reportOwnMessages = reportOwnMessages;
}

Bool xPL_isReportOwnMessages(xPL_ServicePtr theService) {
  return theService != nullptr ? theService->reportOwnMessages : FALSE;
}

void xPL_setRespondingToBroadcasts(xPL_ServicePtr theService, Bool respondToBroadcasts) {
  if (theService == nullptr) return;
  Bool ignore = respondToBroadcasts ? FALSE : TRUE;
  if (theService->ignoreBroadcasts != ignore) theService->ignoreBroadcasts = ignore;
}

Bool xPL_isRespondingToBroadcasts(xPL_ServicePtr theService) {
  return theService != nullptr && !theService->ignoreBroadcasts ? TRUE : FALSE;
}

void xPL_setHeartbeatInterval(xPL_ServicePtr theService, int newInterval) {
  if (theService == nullptr) return;
  if (newInterval < 0 || newInterval > MAX_HEARTBEAT_INTERVAL) return;
  theService->heartbeatInterval = newInterval;
}

int xPL_getHeartbeatInterval(xPL_ServicePtr theService) {
  return theService != nullptr ? theService->heartbeatInterval : 0;
}

/* ---- Filters and groups ------------------------------------------------ */

Bool xPL_isServiceFiltered(xPL_ServicePtr theService) {
  return theService != nullptr && theService->filterCount != 0 ? TRUE : FALSE;
}

void xPL_clearServiceFilters(xPL_ServicePtr theService) {
  if (theService == nullptr) return;
  for (int i = 0; i < theService->filterCount; i++) {
    xPL_ServiceFilter &filter = theService->messageFilterList[i];
    String *fields[] = {&filter.matchOnVendor, &filter.matchOnDeviceID, &filter.matchOnInstanceID,
                        &filter.matchOnSchemaClass, &filter.matchOnSchemaType};
    for (String *field : fields) {
      xPL_FreeStr(*field);
      *field = nullptr;
    }
    filter.matchOnMessageType = xPL_MESSAGE_ANY;
  }
  theService->filterCount = 0;
}

Bool xPL_doesServiceHaveGroups(xPL_ServicePtr theService) {
  return theService != nullptr && theService->groupCount != 0 ? TRUE : FALSE;
}

void xPL_clearServiceGroups(xPL_ServicePtr theService) {
  if (theService == nullptr) return;
  for (int i = 0; i < theService->groupCount; i++) {
    xPL_FreeStr(theService->groupList[i]);
    theService->groupList[i] = nullptr;
  }
  theService->groupCount = 0;
}

/* ---- Sending and routing ----------------------------------------------- */

Bool xPL_sendServiceMessage(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (theService == nullptr || theMessage == nullptr) return FALSE;
  pointSourceAtService(theService, theMessage);
  return xPL_sendMessage(theMessage);
}

void xPL_handleServiceMessage(xPL_MessagePtr theMessage, xPL_ObjectPtr userValue) {
  (void)userValue;
  if (theMessage == nullptr) return;
  /* Releasing a service from inside a listener must not make the walk
   * skip or repeat another one. */
  RegistryWalk walk(&serviceList, serviceCount);
  while (walk.next()) {
    if (walk.index() >= serviceCount) continue;
    handleMessage(serviceList[walk.index()], theMessage);
  }
}
