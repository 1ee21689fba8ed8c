/* xPL_priv.h - declarations shared by the xPL library's own sources.
 * Not for applications: tools and tests include it only to reach steps
 * that the public interface keeps to itself.
 */
#ifndef KIVAMET_XPL_PRIV_H
#define KIVAMET_XPL_PRIV_H

#include <stddef.h>

#include "xPL.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A debug line on a path every datagram takes: the flag is tested before
 * the call, so nothing is paid for the line while debugging is off. */
#define XPL_DEBUG(...)                          \
  do {                                          \
    if (xPL_DebugMode) xPL_Debug(__VA_ARGS__); \
  } while (0)

/* Wire format limits. */
#define MSG_MAX_SIZE 1500      /* a formatted message is at most 1499 characters */
#define MSG_BUFF_SIZE XPL_DATAGRAM_SIZE /* one datagram is read as at most 2047 bytes */
#define BLOCK_HEADER_SIZE 128  /* block header text, 127 characters */
#define BLOCK_NAME_SIZE 256    /* item name, 255 characters */
#define BLOCK_VALUE_SIZE 1500  /* item value, 1499 characters */
#define RECEIVED_GROUP_MAX 16  /* characters of a received group name kept */
#define INTERFACE_NAME_SIZE 64 /* interface name, 63 characters */

/* xPL-utils: xPL_strcmpIgnoreCase for texts of known length. */
int xPL_compareIgnoreCase(const char *textA, size_t lenA, const char *textB, size_t lenB);
/* xPL-utils: appends a pair named by a store string the list takes over. */
xPL_NameValuePairPtr appendPair(xPL_NameValueListPtr theList, String theName);

/* xPL-message */
/* The type whose word the text is, letter case ignored; xPL_MESSAGE_ANY for none. */
xPL_MessageType xPL_messageTypeOfWord(const char *theWord, size_t theLength);
xPL_MessagePtr createSendableMessage(xPL_ServicePtr theService, xPL_MessageType messageType);
xPL_MessagePtr createReceivedMessage(xPL_MessageType messageType);
xPL_MessagePtr parseMessage(const char *theText);

/* xPL-service */
xPL_MessagePtr createHeartbeatMessage(xPL_ServicePtr theService, HeartbeatType heartbeatType);
/* Drops the cached heartbeat and sends one built from the current state. */
void renewHeartbeat(xPL_ServicePtr theService);
/* Sends the discovery answers that are due; the event loop calls it while
 * it waits. Returns the milliseconds until the next one, -1 for none. */
int sendDueDiscoveryAnswers(void);

/* xPL-listeners: ends any dispatch running over a service being released. */
void serviceListenersReleased(xPL_ServicePtr theService);
Bool isMessageListenerRegistered(xPL_messageListener theHandler);

/* xPL-config: the file half */
void xPL_setServiceConfigFile(xPL_ServicePtr theService, String localConfigFile);
String xPL_getServiceConfigFile(xPL_ServicePtr theService);
Bool xPL_loadServiceConfig(xPL_ServicePtr theService);
Bool xPL_saveServiceConfig(xPL_ServicePtr theService);

/* Wall-clock source of the event loop and the heartbeat timing: time(NULL)
 * unless a test swaps it to play a clock that is set back. */
extern time_t (*xPL_timeSource)(void);

/* Ends the process with an xPL_Error line when the general allocator fails. */
void *xPL_checkedAlloc(void *thePointer, size_t theSize);

/* xPL-io: milliseconds of the monotonic clock, for waits and due times. */
long long xPL_monotonicMs(void);

#ifdef __cplusplus
}

/* A walk over one of the library's registries (devices, timeouts, services,
 * listeners), from the newest entry to the oldest, while callbacks run.
 * A callback may remove entries, its own or others, or release the owner of
 * the registry, and walks nest when a callback dispatches again; so every
 * running walk stands in one stack through the frames, and each removal
 * moves the walks over that registry along with the entries. A registry is
 * known by the address of the variable or field holding its array. */
class RegistryWalk {
 public:
  RegistryWalk(const void *registry, int count)
      : registry_(registry), index_(count), outer_(running()) {
    running() = this;
  }
  ~RegistryWalk() { running() = outer_; }
  RegistryWalk(const RegistryWalk &) = delete;
  RegistryWalk &operator=(const RegistryWalk &) = delete;

  /* Steps to the next entry to call; false when none is left or the
   * registry's owner is gone. */
  bool next() {
    if (ownerGone_) return false;
    currentRemoved_ = false;
    return --index_ >= 0;
  }
  int index() const { return index_; }
  /* The entry being called was taken out by its own call. */
  bool currentRemoved() const { return currentRemoved_; }

  /* The entry at position left the registry and the later ones moved down. */
  static void removed(const void *registry, int position) {
    for (RegistryWalk *walk = running(); walk != nullptr; walk = walk->outer_) {
      if (walk->registry_ != registry) continue;
      if (position < walk->index_) {
        walk->index_--;
      } else if (position == walk->index_) {
        walk->currentRemoved_ = true;
      }
    }
  }
  /* The registry's owner is being released: walks over it end. */
  static void ownerGone(const void *registry) {
    for (RegistryWalk *walk = running(); walk != nullptr; walk = walk->outer_)
      if (walk->registry_ == registry) walk->ownerGone_ = true;
  }

 private:
  static RegistryWalk *&running() {
    static RegistryWalk *top = nullptr;
    return top;
  }
  const void *registry_;
  int index_;
  bool currentRemoved_ = false;
  bool ownerGone_ = false;
  RegistryWalk *outer_;
};
#endif

#endif /* KIVAMET_XPL_PRIV_H */
