/* xPL.h - public interface of kivamet's xPL library.
 *
 * A self-contained xPL client layer: name/value lists, an object and string
 * store, the message model and its wire text, the UDP transport and the
 * single-threaded event loop, services with heartbeats, listeners and the
 * configuration protocol. Usable from C and C++; nothing here throws.
 *
 * Conventions: success is reported as Bool or as a pointer that is null on
 * failure; getters answer null, 0, -1 or FALSE for absent things. Every
 * String the library hands out is a store string (xPL_StrAlloc and friends)
 * that the library owns unless a function says otherwise.
 */
#ifndef KIVAMET_XPL_H
#define KIVAMET_XPL_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Shared basic types ------------------------------------------------ */

typedef int Bool;
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

typedef char *String;
typedef void *xPL_ObjectPtr;

#define XPL_PORT 3865

/* ---- Named values (xPL-utils) ------------------------------------------ */

typedef struct {
  String itemName;  /* as given, case kept; store string */
  String itemValue; /* text (store string), or decoded bytes when isBinary */
  Bool isBinary;    /* received as name!HEX */
  int binaryLength; /* bytes of a binary value; 0 for text */
} xPL_NameValuePair, *xPL_NameValuePairPtr;

typedef struct {
  int namedValueCount;               /* pairs in use */
  int namedValueAlloc;               /* slots in namedValues; grows by 8 */
  xPL_NameValuePairPtr *namedValues; /* insertion order */
} xPL_NameValueList, *xPL_NameValueListPtr;

typedef enum { xcStandAlone = 0, xcViaHub = 1, xcAuto = 2 } xPL_ConnectType;

extern Bool xPL_DebugMode;

xPL_NameValueListPtr xPL_newNamedValueList(void);
void xPL_freeNamedValueList(xPL_NameValueListPtr theList);
xPL_NameValuePairPtr xPL_newNamedValuePair(xPL_NameValueListPtr theList, String theName);
void xPL_addNamedValue(xPL_NameValueListPtr theList, String theName, String theValue);
void xPL_setNamedValue(xPL_NameValueListPtr theList, String theName, String theValue);
/* name, value, name, value, ..., NULL */
void xPL_setNamedValues(xPL_NameValueListPtr theList, ...);
int xPL_getNamedValueIndex(xPL_NameValueListPtr theList, String theName);
xPL_NameValuePairPtr xPL_getNamedValuePair(xPL_NameValueListPtr theList, String theName);
String xPL_getNamedValue(xPL_NameValueListPtr theList, String theName);
Bool xPL_doesNamedValueExist(xPL_NameValueListPtr theList, String theName);
int xPL_getNamedValueCount(xPL_NameValueListPtr theList);
xPL_NameValuePairPtr xPL_getNamedValuePairAt(xPL_NameValueListPtr theList, int listIndex);
void xPL_clearNamedValueAt(xPL_NameValueListPtr theList, int listIndex);
void xPL_clearNamedValue(xPL_NameValueListPtr theList, String theName);
void xPL_clearAllNamedValues(xPL_NameValueListPtr theList);
void xPL_freeNamedValuePair(xPL_NameValuePairPtr thePair);

void xPL_Upcase(String theText);
int xPL_strcmpIgnoreCase(const char *textA, const char *textB);
int xPL_strncmpIgnoreCase(const char *textA, const char *textB, int maxChars);
String xPL_intToHex(int theValue);
Bool xPL_hexToInt(const char *theHexValue, int *theValue);
Bool xPL_strToInt(const char *theText, int *theValue);
String xPL_intToStr(int theValue);

void xPL_Debug(const char *theFormat, ...) __attribute__((format(printf, 1, 2)));
void xPL_Error(const char *theFormat, ...) __attribute__((format(printf, 1, 2)));
Bool xPL_isDebugging(void);
void xPL_setDebugging(Bool isDebugging);
/* Takes the library's own switches out of the argument vector (-interface
 * NAME, -xpldebug) and keeps the rest in order. Returns FALSE when an
 * -interface names no interface (the last argument, or an empty name); the
 * other switches are taken all the same. */
Bool xPL_parseCommonArgs(int *argc, String argv[], Bool silentErrors);
xPL_ConnectType xPL_getParsedConnectionType(void);

/* ---- Messages (xPL-message) -------------------------------------------- */

typedef enum {
  xPL_MESSAGE_ANY = 0,
  xPL_MESSAGE_COMMAND = 1,
  xPL_MESSAGE_STATUS = 2,
  xPL_MESSAGE_TRIGGER = 3
} xPL_MessageType;

typedef struct {
  xPL_MessageType messageType;
  int hopCount;
  Bool receivedMessage;

  String sourceVendor; /* borrowed from the service when sending, owned when received */
  String sourceDeviceID;
  String sourceInstanceID;

  Bool isGroupMessage;
  String groupName; /* bare name when sending; "XPL-GROUP.name" when received */

  Bool isBroadcastMessage;
  String targetVendor;
  String targetDeviceID;
  String targetInstanceID;

  String schemaClass;
  String schemaType;

  xPL_NameValueListPtr messageBody;
} xPL_Message, *xPL_MessagePtr;

/* ---- Services, filters, listeners, configurables (xPL-service etc.) ----- */

typedef struct _xPL_Service xPL_Service, *xPL_ServicePtr;

typedef void (*xPL_rawListener)(String theData, int dataLen, xPL_ObjectPtr userValue);
typedef void (*xPL_messageListener)(xPL_MessagePtr theMessage, xPL_ObjectPtr userValue);
typedef void (*xPL_ServiceListener)(xPL_ServicePtr theService, xPL_MessagePtr theMessage,
                                    xPL_ObjectPtr userValue);
typedef void (*xPL_ServiceConfigChangedListener)(xPL_ServicePtr theService, xPL_ObjectPtr userValue);

typedef struct {
  xPL_MessageType matchOnMessageType; /* xPL_MESSAGE_ANY matches all */
  String matchOnVendor;               /* null matches all */
  String matchOnDeviceID;
  String matchOnInstanceID;
  String matchOnSchemaClass;
  String matchOnSchemaType;
} xPL_ServiceFilter, *xPL_ServiceFilterPtr;

typedef enum {
  HBEAT_NORMAL = 0,
  HBEAT_CONFIG = 1,
  HBEAT_NORMAL_END = 2,
  HBEAT_CONFIG_END = 3
} HeartbeatType;

typedef struct {
  xPL_MessageType matchMessageType; /* xPL_MESSAGE_ANY = any type */
  String matchSchemaClass;          /* null = any class */
  String matchSchemaType;           /* null = any type */
  xPL_ObjectPtr userValue;
  xPL_ServiceListener serviceListener;
} xPL_ServiceListenerDef, *xPL_ServiceListenerDefPtr;

typedef struct {
  xPL_ServiceConfigChangedListener changeListener;
  xPL_ObjectPtr userValue;
} xPL_ServiceChangedListenerDef, *xPL_ServiceChangedListenerDefPtr;

typedef enum {
  xPL_CONFIG_OPTIONAL = 0,
  xPL_CONFIG_MANDATORY = 1,
  xPL_CONFIG_RECONF = 2
} xPL_ConfigurableType;

typedef struct {
  String itemName;
  xPL_ConfigurableType itemType;
  int maxValueCount;
  int valueCount;
  int valueAllocCount;
  String *valueList;
} xPL_ServiceConfigurable, *xPL_ServiceConfigurablePtr;

struct _xPL_Service {
  Bool serviceEnabled;

  String serviceVendor;
  String serviceDeviceID;
  String serviceInstanceID;
  String serviceVersion;

  int groupCount;
  int groupAllocCount;
  String *groupList;

  Bool ignoreBroadcasts;

  int heartbeatInterval; /* seconds */
  time_t lastHeartbeatAt;
  xPL_MessagePtr heartbeatMessage;

  Bool configurableService;
  Bool serviceConfigured;
  String configFileName;
  Bool configLocked; /* config.response ignored: the file is the only source */

  int configChangedCount;
  int configChangedAllocCount;
  xPL_ServiceChangedListenerDef *changedListenerList;

  int configCount;
  int configAllocCount;
  xPL_ServiceConfigurable *configList;

  int filterCount;
  int filterAllocCount;
  xPL_ServiceFilter *messageFilterList;

  Bool reportOwnMessages;

  int listenerCount;
  int listenerAllocCount;
  xPL_ServiceListenerDef *serviceListenerList;
};

/* ---- Object and string store (xPL-store) ------------------------------- */

xPL_NameValuePairPtr xPL_AllocNVPair(void);
void xPL_FreeNVPair(xPL_NameValuePairPtr thePair);
xPL_NameValueListPtr xPL_AllocNVList(void);
void xPL_FreeNVList(xPL_NameValueListPtr theList);
xPL_MessagePtr xPL_AllocMessage(void);
void xPL_FreeMessage(xPL_MessagePtr theMessage);
xPL_ServicePtr xPL_AllocService(void);
void xPL_FreeService(xPL_ServicePtr theService);
String xPL_StrAlloc(int stringLength);
String xPL_StrDup(const char *theString);
String xPL_StrNDup(const char *theString, int maxChars);
void xPL_FreeStr(String theString);

/* ---- Message model (xPL-message) --------------------------------------- */

xPL_MessagePtr xPL_createTargetedMessage(xPL_ServicePtr theService, xPL_MessageType messageType,
                                         String theVendor, String theDevice, String theInstance);
xPL_MessagePtr xPL_createGroupTargetedMessage(xPL_ServicePtr theService,
                                              xPL_MessageType messageType, String theGroup);
xPL_MessagePtr xPL_createBroadcastMessage(xPL_ServicePtr theService, xPL_MessageType messageType);

xPL_MessageType xPL_getMessageType(xPL_MessagePtr theMessage);
int xPL_getHopCount(xPL_MessagePtr theMessage);
Bool xPL_isReceivedMessage(xPL_MessagePtr theMessage);
Bool xPL_isBroadcastMessage(xPL_MessagePtr theMessage);
Bool xPL_isGroupMessage(xPL_MessagePtr theMessage);
String xPL_getTargetGroup(xPL_MessagePtr theMessage);
String xPL_getTargetVendor(xPL_MessagePtr theMessage);
String xPL_getTargetDeviceID(xPL_MessagePtr theMessage);
String xPL_getTargetInstanceID(xPL_MessagePtr theMessage);
String xPL_getSourceVendor(xPL_MessagePtr theMessage);
String xPL_getSourceDeviceID(xPL_MessagePtr theMessage);
String xPL_getSourceInstanceID(xPL_MessagePtr theMessage);
String xPL_getSchemaClass(xPL_MessagePtr theMessage);
String xPL_getSchemaType(xPL_MessagePtr theMessage);
xPL_NameValueListPtr xPL_getMessageBody(xPL_MessagePtr theMessage);

void xPL_setMessageType(xPL_MessagePtr theMessage, xPL_MessageType messageType);
void xPL_setBroadcastMessage(xPL_MessagePtr theMessage, Bool isBroadcast);
void xPL_setTargetGroup(xPL_MessagePtr theMessage, String theGroup);
void xPL_setTargetVendor(xPL_MessagePtr theMessage, String theVendor);
void xPL_setTargetDeviceID(xPL_MessagePtr theMessage, String theDeviceID);
void xPL_setTargetInstanceID(xPL_MessagePtr theMessage, String theInstanceID);
void xPL_setTarget(xPL_MessagePtr theMessage, String theVendor, String theDeviceID,
                   String theInstanceID);
void xPL_setSourceVendor(xPL_MessagePtr theMessage, String theVendor);
void xPL_setSourceDeviceID(xPL_MessagePtr theMessage, String theDeviceID);
void xPL_setSourceInstanceID(xPL_MessagePtr theMessage, String theInstanceID);
void xPL_setSource(xPL_MessagePtr theMessage, String theVendor, String theDeviceID,
                   String theInstanceID);
void xPL_setSchemaClass(xPL_MessagePtr theMessage, String theSchemaClass);
void xPL_setSchemaType(xPL_MessagePtr theMessage, String theSchemaType);
void xPL_setSchema(xPL_MessagePtr theMessage, String theSchemaClass, String theSchemaType);

void xPL_addMessageNamedValue(xPL_MessagePtr theMessage, String theName, String theValue);
void xPL_setMessageNamedValue(xPL_MessagePtr theMessage, String theName, String theValue);
/* name, value, name, value, ..., NULL */
void xPL_setMessageNamedValues(xPL_MessagePtr theMessage, ...);
String xPL_getMessageNamedValue(xPL_MessagePtr theMessage, String theName);
Bool xPL_doesMessageNamedValueExist(xPL_MessagePtr theMessage, String theName);
void xPL_clearMessageNamedValues(xPL_MessagePtr theMessage);

void xPL_releaseMessage(xPL_MessagePtr theMessage);
Bool xPL_sendMessage(xPL_MessagePtr theMessage);

/* ---- Wire format (xPL-message) ----------------------------------------- */

/* Bytes a datagram is read into: one is taken as at most
 * XPL_DATAGRAM_SIZE - 1 bytes of text, the rest cut off. */
#define XPL_DATAGRAM_SIZE 2048

/* "xpl-cmnd", "xpl-stat" or "xpl-trig" for the three message types; null
 * for any other value. */
const char *xPL_messageTypeWord(xPL_MessageType theType);

/* Text in the library's one message buffer; valid until the next format or receive. */
String xPL_formatMessage(xPL_MessagePtr theMessage);
/* The message a received text holds, read as xPL_receiveMessage reads a
 * datagram (a hub, for one, learns its clients from their heartbeats this
 * way). Null when the text is null or no well-formed message; otherwise a
 * received message that the caller releases with xPL_releaseMessage. */
xPL_MessagePtr xPL_parseMessage(const char *theText);
void xPL_receiveMessage(int theFD, int thePollInfo, int userValue);
/* While a received message is being handed to the listeners: TRUE, with the
 * time its datagram arrived, as the kernel stamped it (CLOCK_REALTIME), or as
 * it was read when the kernel gave no stamp. FALSE for any other message. */
Bool xPL_getMessageArrival(xPL_MessagePtr theMessage, struct timespec *arrivedAt);
Bool xPL_isHubConfirmed(void);

/* ---- Network connection and event loop (xPL-io) ------------------------ */

typedef void (*xPL_TimeoutHandler)(int elapsedSeconds, xPL_ObjectPtr userValue);
typedef void (*xPL_IOHandler)(int theFD, int thePollInfo, int userValue);

typedef struct {
  int timeoutInterval;   /* seconds between calls */
  time_t lastTimedoutAt; /* second of the last call, or of registration */
  xPL_TimeoutHandler timeoutHandler;
  xPL_ObjectPtr userValue;
} TimeoutHandler;

Bool xPL_initialize(xPL_ConnectType theConnectType);
Bool xPL_shutdown(void);
Bool xPL_sendRawMessage(String theData, int dataLen);
String xPL_getFairlyUniqueIdent(void);

int xPL_getFD(void);
xPL_ConnectType xPL_getConnectType(void);
int xPL_getPort(void);
String xPL_getBroadcastIPAddr(void);
String xPL_getListenerIPAddr(void);
String xPL_getBroadcastInterface(void);
void xPL_setBroadcastInterface(String newInterfaceName);

Bool xPL_addIODevice(xPL_IOHandler theIOHandler, int userValue, int theFD, Bool watchRead,
                     Bool watchWrite, Bool watchError);
Bool xPL_removeIODevice(int theFD);
void xPL_addTimeoutHandler(xPL_TimeoutHandler timeoutHandler, int timeoutInSeconds,
                           xPL_ObjectPtr userValue);
Bool xPL_removeTimeoutHandler(xPL_TimeoutHandler timeoutHandler);
Bool xPL_processMessages(int theTimeout);

/* ---- Services and heartbeats (xPL-service) ----------------------------- */

xPL_ServicePtr xPL_createService(String theVendor, String theDeviceID, String theInstanceID);
void xPL_releaseService(xPL_ServicePtr theService);
int xPL_getServiceCount(void);
xPL_ServicePtr xPL_getServiceAt(int serviceIndex);

void xPL_setServiceEnabled(xPL_ServicePtr theService, Bool isEnabled);
Bool xPL_isServiceEnabled(xPL_ServicePtr theService);

void xPL_setServiceVendor(xPL_ServicePtr theService, String theVendor);
String xPL_getServiceVendor(xPL_ServicePtr theService);
void xPL_setServiceDeviceID(xPL_ServicePtr theService, String theDeviceID);
String xPL_getServiceDeviceID(xPL_ServicePtr theService);
void xPL_setServiceInstanceID(xPL_ServicePtr theService, String theInstanceID);
String xPL_getServiceInstanceID(xPL_ServicePtr theService);
void xPL_setServiceVersion(xPL_ServicePtr theService, String theVersion);
String xPL_getServiceVersion(xPL_ServicePtr theService);

void xPL_setReportOwnMessages(xPL_ServicePtr theService, Bool reportOwnMessages);
Bool xPL_isReportOwnMessages(xPL_ServicePtr theService);
void xPL_setRespondingToBroadcasts(xPL_ServicePtr theService, Bool respondToBroadcasts);
Bool xPL_isRespondingToBroadcasts(xPL_ServicePtr theService);

void xPL_setHeartbeatInterval(xPL_ServicePtr theService, int newInterval);
int xPL_getHeartbeatInterval(xPL_ServicePtr theService);

Bool xPL_isServiceFiltered(xPL_ServicePtr theService);
void xPL_clearServiceFilters(xPL_ServicePtr theService);
Bool xPL_doesServiceHaveGroups(xPL_ServicePtr theService);
void xPL_clearServiceGroups(xPL_ServicePtr theService);

Bool xPL_sendServiceMessage(xPL_ServicePtr theService, xPL_MessagePtr theMessage);
Bool xPL_sendHeartbeat(xPL_ServicePtr theService);
Bool xPL_sendGoodbyeHeartbeat(xPL_ServicePtr theService);
void xPL_sendTimelyHeartbeats(void);
void xPL_disableAllServices(void);
void xPL_handleServiceMessage(xPL_MessagePtr theMessage, xPL_ObjectPtr userValue);

/* ---- Listeners (xPL-listeners) ----------------------------------------- */

void xPL_addRawListener(xPL_rawListener theHandler, xPL_ObjectPtr userValue);
Bool xPL_removeRawListener(xPL_rawListener theHandler);
Bool xPL_dispatchRawEvent(String theData, int dataLen);

void xPL_addMessageListener(xPL_messageListener theHandler, xPL_ObjectPtr userValue);
Bool xPL_removeMessageListener(xPL_messageListener theHandler);
Bool xPL_dispatchMessageEvent(xPL_MessagePtr theMessage);

void xPL_addServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener,
                            xPL_MessageType messageType, String schemaClass, String schemaType,
                            xPL_ObjectPtr userValue);
Bool xPL_removeServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener);
Bool xPL_dispatchServiceEvent(xPL_ServicePtr theService, xPL_MessagePtr theMessage);

void xPL_addServiceConfigChangedListener(xPL_ServicePtr theService,
                                         xPL_ServiceConfigChangedListener theListener,
                                         xPL_ObjectPtr userValue);
Bool xPL_removeServiceConfigChangedListener(xPL_ServicePtr theService,
                                            xPL_ServiceConfigChangedListener theListener);
Bool xPL_dispatchServiceConfigChangedEvent(xPL_ServicePtr theService);

/* ---- Configurable services (xPL-config) -------------------------------- */

xPL_ServicePtr xPL_createConfigurableService(String vendorName, String deviceID,
                                             String localConfigFile);
Bool xPL_isConfigurableService(xPL_ServicePtr theService);
Bool xPL_isServiceConfigured(xPL_ServicePtr theService);
/* A locked service still answers config.list and config.current but takes
 * no config.response: its stored configuration file stays the only source
 * of its settings. Unlocked unless set. */
void xPL_setServiceConfigLocked(xPL_ServicePtr theService, Bool locked);

xPL_ServiceConfigurablePtr xPL_findServiceConfigurable(xPL_ServicePtr theService, String itemName);
Bool xPL_addServiceConfigurable(xPL_ServicePtr theService, String itemName,
                                xPL_ConfigurableType itemType, int maxValues);
Bool xPL_removeServiceConfigurable(xPL_ServicePtr theService, String itemName);
void xPL_removeAllServiceConfigurables(xPL_ServicePtr theService);
void xPL_releaseServiceConfigurables(xPL_ServicePtr theService);

void xPL_clearServiceConfigValues(xPL_ServicePtr theService, String itemName);
void xPL_clearAllServiceConfigValues(xPL_ServicePtr theService);
Bool xPL_addServiceConfigValue(xPL_ServicePtr theService, String itemName, String itemValue);
void xPL_setServiceConfigValueAt(xPL_ServicePtr theService, String itemName, int valueIndex,
                                 String itemValue);
void xPL_setServiceConfigValue(xPL_ServicePtr theService, String itemName, String itemValue);
int xPL_getServiceConfigValueCount(xPL_ServicePtr theService, String itemName);
String xPL_getServiceConfigValueAt(xPL_ServicePtr theService, String itemName, int valueIndex);
String xPL_getServiceConfigValue(xPL_ServicePtr theService, String itemName);

#ifdef __cplusplus
}
#endif

#endif /* KIVAMET_XPL_H */
