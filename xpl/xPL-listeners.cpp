/* xPL-listeners.cpp - the four listener registries: raw datagrams, parsed
 * messages, per-service messages and per-service configuration changes.
 *
 * Registries are arrays of records in registration order; dispatch walks
 * them from the newest to the oldest. A callback may add or remove
 * listeners (itself or others) while a dispatch runs: every running walk
 * is told about removals, so it neither skips nor repeats an entry, and a
 * walk over a service that gets released stops there.
 */
#include <stdlib.h>
#include <string.h>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

constexpr int LISTENER_GROW_BY = 16;

struct rawListener {
  xPL_rawListener theListener;
  xPL_ObjectPtr userValue;
};

struct messageListener {
  xPL_messageListener theListener;
  xPL_ObjectPtr userValue;
};

rawListener *rawListenerList = nullptr;
int rawListenerCount = 0;
int rawAllocListenerCount = 0;

messageListener *messageListenerList = nullptr;
int messageListenerCount = 0;
int messageAllocListenerCount = 0;

template <typename Record>
void growRecords(Record *&records, int count, int &allocCount) {
  if (count < allocCount) return;
  int newAlloc = allocCount + LISTENER_GROW_BY;
  size_t bytes = sizeof(Record) * static_cast<size_t>(newAlloc);
  records = static_cast<Record *>(xPL_checkedAlloc(realloc(records, bytes), bytes));
  allocCount = newAlloc;
}

/* Takes out the record at position, closing the gap. */
template <typename Record>
void removeRecordAt(Record *records, int &count, int position) {
  if (position < count - 1) {
    memmove(&records[position], &records[position + 1],
            sizeof(Record) * static_cast<size_t>(count - position - 1));
  }
  count--;
}

/* A missing schema part counts as an empty text. */
bool schemaPartMatches(const char *wanted, const char *actual) {
  if (wanted == nullptr) return true;
  return xPL_strcmpIgnoreCase(wanted, actual != nullptr ? actual : "") == 0;
}

}  // namespace

/* ---- Raw listeners ----------------------------------------------------- */

void xPL_addRawListener(xPL_rawListener theHandler, xPL_ObjectPtr userValue) {
  growRecords(rawListenerList, rawListenerCount, rawAllocListenerCount);
  rawListener &entry = rawListenerList[rawListenerCount];
  memset(&entry, 0, sizeof entry);
  entry.theListener = theHandler;
  entry.userValue = userValue;
  rawListenerCount++;
}

Bool xPL_removeRawListener(xPL_rawListener theHandler) {
  for (int i = 0; i < rawListenerCount; i++) {
    if (rawListenerList[i].theListener != theHandler) continue;
    removeRecordAt(rawListenerList, rawListenerCount, i);
    RegistryWalk::removed(&rawListenerList, i);
    return TRUE;
  }
  return FALSE;
}

Bool xPL_dispatchRawEvent(String theData, int dataLen) {
  Bool called = FALSE;
  RegistryWalk walk(&rawListenerList, rawListenerCount);
  while (walk.next()) {
    rawListener entry = rawListenerList[walk.index()];
    entry.theListener(theData, dataLen, entry.userValue);
    called = TRUE;
  }
  return called;
}

/* ---- Message listeners ------------------------------------------------- */

void xPL_addMessageListener(xPL_messageListener theHandler, xPL_ObjectPtr userValue) {
  growRecords(messageListenerList, messageListenerCount, messageAllocListenerCount);
  messageListener &entry = messageListenerList[messageListenerCount];
  memset(&entry, 0, sizeof entry);
  entry.theListener = theHandler;
  entry.userValue = userValue;
  messageListenerCount++;
}

Bool xPL_removeMessageListener(xPL_messageListener theHandler) {
  for (int i = 0; i < messageListenerCount; i++) {
    if (messageListenerList[i].theListener != theHandler) continue;
    removeRecordAt(messageListenerList, messageListenerCount, i);
    RegistryWalk::removed(&messageListenerList, i);
    return TRUE;
  }
  return FALSE;
}

Bool isMessageListenerRegistered(xPL_messageListener theHandler) {
  for (int i = 0; i < messageListenerCount; i++) {
    if (messageListenerList[i].theListener == theHandler) return TRUE;
  }
  return FALSE;
}

Bool xPL_dispatchMessageEvent(xPL_MessagePtr theMessage) {
  Bool called = FALSE;
  RegistryWalk walk(&messageListenerList, messageListenerCount);
  while (walk.next()) {
    messageListener entry = messageListenerList[walk.index()];
    entry.theListener(theMessage, entry.userValue);
    called = TRUE;
  }
  return called;
}

/* ---- Service listeners ------------------------------------------------- */

void xPL_addServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener,
                            xPL_MessageType messageType, String schemaClass, String schemaType,
                            xPL_ObjectPtr userValue) {
  if (theService == nullptr) return;
  growRecords(theService->serviceListenerList, theService->listenerCount,
              theService->listenerAllocCount);
  xPL_ServiceListenerDef &entry = theService->serviceListenerList[theService->listenerCount];
  memset(&entry, 0, sizeof entry);
  entry.matchMessageType = messageType;
  /* Null or empty means "any", kept as null. */
  if (schemaClass != nullptr && schemaClass[0] != '\0')
    entry.matchSchemaClass = xPL_StrDup(schemaClass);
  if (schemaType != nullptr && schemaType[0] != '\0')
    entry.matchSchemaType = xPL_StrDup(schemaType);
  entry.userValue = userValue;
  entry.serviceListener = theListener;
  theService->listenerCount++;
}

Bool xPL_removeServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener) {
  if (theService == nullptr) return FALSE;
  for (int i = 0; i < theService->listenerCount; i++) {
    xPL_ServiceListenerDef &entry = theService->serviceListenerList[i];
    if (entry.serviceListener != theListener) continue;
    xPL_FreeStr(entry.matchSchemaClass);
    entry.matchSchemaClass = nullptr;
    xPL_FreeStr(entry.matchSchemaType);
    entry.matchSchemaType = nullptr;
    removeRecordAt(theService->serviceListenerList, theService->listenerCount, i);
    RegistryWalk::removed(&theService->serviceListenerList, i);
    return TRUE;
  }
  return FALSE;
}

Bool xPL_dispatchServiceEvent(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (theService == nullptr || theMessage == nullptr) return FALSE;
  Bool called = FALSE;
  RegistryWalk walk(&theService->serviceListenerList, theService->listenerCount);
  while (walk.next()) {
    const xPL_ServiceListenerDef &entry = theService->serviceListenerList[walk.index()];
    if (entry.matchMessageType != xPL_MESSAGE_ANY &&
        entry.matchMessageType != xPL_getMessageType(theMessage))
      continue;
    if (!schemaPartMatches(entry.matchSchemaClass, xPL_getSchemaClass(theMessage))) continue;
    if (!schemaPartMatches(entry.matchSchemaType, xPL_getSchemaType(theMessage))) continue;
    /* Copied out: the callback may grow or shrink the array under us. */
    xPL_ServiceListener listener = entry.serviceListener;
    xPL_ObjectPtr userValue = entry.userValue;
    listener(theService, theMessage, userValue);
    called = TRUE;
  }
  return called;
}

/* ---- Configuration-changed listeners ----------------------------------- */

void xPL_addServiceConfigChangedListener(xPL_ServicePtr theService,
                                         xPL_ServiceConfigChangedListener theListener,
                                         xPL_ObjectPtr userValue) {
  if (theService == nullptr) return;
  growRecords(theService->changedListenerList, theService->configChangedCount,
              theService->configChangedAllocCount);
  xPL_ServiceChangedListenerDef &entry =
      theService->changedListenerList[theService->configChangedCount];
  memset(&entry, 0, sizeof entry);
  entry.changeListener = theListener;
  entry.userValue = userValue;
  theService->configChangedCount++;
}

Bool xPL_removeServiceConfigChangedListener(xPL_ServicePtr theService,
                                            xPL_ServiceConfigChangedListener theListener) {
  if (theService == nullptr) return FALSE;
  for (int i = 0; i < theService->configChangedCount; i++) {
    if (theService->changedListenerList[i].changeListener != theListener) continue;
    removeRecordAt(theService->changedListenerList, theService->configChangedCount, i);
    RegistryWalk::removed(&theService->changedListenerList, i);
    return TRUE;
  }
  return FALSE;
}

Bool xPL_dispatchServiceConfigChangedEvent(xPL_ServicePtr theService) {
  if (theService == nullptr) return FALSE;
  Bool called = FALSE;
  RegistryWalk walk(&theService->changedListenerList, theService->configChangedCount);
  while (walk.next()) {
    xPL_ServiceChangedListenerDef entry = theService->changedListenerList[walk.index()];
    entry.changeListener(theService, entry.userValue);
    called = TRUE;
  }
  return called;
}

/* ---- Service release --------------------------------------------------- */

void serviceListenersReleased(xPL_ServicePtr theService) {
  RegistryWalk::ownerGone(&theService->serviceListenerList);
  RegistryWalk::ownerGone(&theService->changedListenerList);
}
