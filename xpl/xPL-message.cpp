/* xPL-message.cpp - the xPL message record and its wire text.
 *
 * One message is two blocks of LF-ended lines: the type word ("xpl-cmnd",
 * "xpl-stat", "xpl-trig") with the hop, source and target items, then the
 * schema ("class.type") with the body items. Outgoing text is formatted
 * into one 2048-byte buffer; datagrams are read in batches into buffers of
 * their own, so a listener that formats a message never overwrites a
 * datagram still to be handled.
 */
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

char messageBuff[MSG_BUFF_SIZE];
int messageBytesWritten = 0;

Bool hubConfirmed = FALSE;

/* Datagrams read per readiness of the socket. The loop gets its turn after
 * each batch, so a flood cannot hold off timers, heartbeats or a stop
 * request; what is left is read on the next turn. */
constexpr int RECEIVE_DRAIN_MAX = 256;

/* Datagrams taken from the socket by one system call. Those read and not
 * yet handled wait here: a listener that runs the loop itself goes on with
 * them first, so messages are still handled in the order they came. */
constexpr int RECEIVE_BATCH = 64;

struct ReceivedBatch {
  char texts[RECEIVE_BATCH][MSG_BUFF_SIZE];
  struct iovec vectors[RECEIVE_BATCH];
  struct mmsghdr headers[RECEIVE_BATCH];
  struct {
    alignas(struct cmsghdr) char bytes[CMSG_SPACE(sizeof(struct timespec))];
  } controls[RECEIVE_BATCH];
  int count; /* read */
  int next;  /* the next one to handle */
  int fd;    /* the socket they came from */
  struct timespec readAt; /* arrival of a datagram the kernel did not stamp */
};
ReceivedBatch batch;

/* The received message being dispatched and the kernel's time of its arrival. */
struct Arrival {
  xPL_MessagePtr message;
  struct timespec at;
};
Arrival dispatching = {NULL, {0, 0}};

/* The word of each message type, on the first line of its text. */
const struct {
  xPL_MessageType type;
  const char *word;
} messageTypeWords[] = {
    {xPL_MESSAGE_COMMAND, "xpl-cmnd"},
    {xPL_MESSAGE_STATUS, "xpl-stat"},
    {xPL_MESSAGE_TRIGGER, "xpl-trig"},
};
constexpr size_t MESSAGE_TYPE_WORD_LEN = 8;

const char GROUP_PREFIX[] = "XPL-GROUP.";
constexpr size_t GROUP_PREFIX_LEN = sizeof(GROUP_PREFIX) - 1;

/* ---- Model helpers ------------------------------------------------------ */

/* TRUE when theText starts inside the stored string (its terminator included):
 * such a text must be copied before that string goes back to the store, which
 * may hand the very same memory out for the copy. */
bool pointsInto(const char *theText, const char *theStored) {
  if (theText == NULL || theStored == NULL) return false;
  uintptr_t at = (uintptr_t)theText, from = (uintptr_t)theStored;
  return at >= from && at <= from + strlen(theStored);
}

/* Setters ignore a value that differs only in letter case, so a stored
 * spelling survives; null clears the field. TRUE when the field changed. */
Bool setStringField(String *theField, const char *theValue) {
  if (theValue == NULL) {
    if (*theField == NULL) return FALSE;
    xPL_FreeStr(*theField);
    *theField = NULL;
    return TRUE;
  }
  if (*theField != NULL && xPL_strcmpIgnoreCase(*theField, theValue) == 0) return FALSE;
  if (pointsInto(theValue, *theField)) {
    String theCopy = xPL_StrDup(theValue);
    xPL_FreeStr(*theField);
    *theField = theCopy;
    return TRUE;
  }
  xPL_FreeStr(*theField);
  *theField = xPL_StrDup(theValue);
  return TRUE;
}

void releaseField(String *theField) {
  xPL_FreeStr(*theField);
  *theField = NULL;
}

void releaseTargetGroup(xPL_MessagePtr theMessage) {
  releaseField(&theMessage->groupName);
  theMessage->isGroupMessage = FALSE;
}

void setTargetPart(xPL_MessagePtr theMessage, String *theField, const char *theValue) {
  if (setStringField(theField, theValue) && theValue != NULL && theMessage->isGroupMessage) {
    releaseTargetGroup(theMessage);
  }
}

void ensureBody(xPL_MessagePtr theMessage) {
  if (theMessage->messageBody == NULL) theMessage->messageBody = xPL_newNamedValueList();
}

/* ---- Formatting --------------------------------------------------------- */

Bool refuseTooLong() {
  XPL_DEBUG("Message exceeds MSG_MAX_SIZE (%d) -- not sent!", MSG_MAX_SIZE);
  XPL_DEBUG("** Too Long Message is, to date [%s]", messageBuff);
  return FALSE;
}

/* A message must stay below MSG_MAX_SIZE characters: an xPL datagram
 * carries at most 1500 bytes of text. */
Bool appendText(const char *theText) {
  size_t theLength = strlen(theText);
  if ((size_t)messageBytesWritten + theLength >= (size_t)MSG_MAX_SIZE) return refuseTooLong();
  memcpy(messageBuff + messageBytesWritten, theText, theLength + 1);
  messageBytesWritten += (int)theLength;
  return TRUE;
}

/* Binary items go out as '=' and upper-case hex, so a peer reads them back as text. */
Bool writeBinaryValue(const unsigned char *theBytes, int byteCount) {
  if (theBytes == NULL || byteCount <= 0) return TRUE;
  if ((size_t)messageBytesWritten + 2 * (size_t)byteCount >= (size_t)MSG_MAX_SIZE)
    return refuseTooLong();
  for (int i = 0; i < byteCount; i++) {
    const char *theDigits = xPL_intToHex(theBytes[i]);
    messageBuff[messageBytesWritten++] = theDigits[0];
    messageBuff[messageBytesWritten++] = theDigits[1];
  }
  messageBuff[messageBytesWritten] = '\0';
  return TRUE;
}

Bool appendIdentity(const char *theVendor, const char *theDevice, const char *theInstance) {
  return appendText(theVendor) && appendText("-") && appendText(theDevice) && appendText(".") &&
         appendText(theInstance);
}

Bool missingPart(const char *whatIsMissing) {
  XPL_DEBUG("Unable to format message -- no %s", whatIsMissing);
  return FALSE;
}

/* Every piece a format needs must be present; an absent one fails the format. */
Bool checkFormattable(xPL_MessagePtr theMessage) {
  if (theMessage->sourceVendor == NULL || theMessage->sourceDeviceID == NULL ||
      theMessage->sourceInstanceID == NULL)
    return missingPart("source");
  if (!theMessage->isBroadcastMessage) {
    if (theMessage->isGroupMessage) {
      if (theMessage->groupName == NULL) return missingPart("group name");
    } else if (theMessage->targetVendor == NULL || theMessage->targetDeviceID == NULL ||
               theMessage->targetInstanceID == NULL) {
      return missingPart("target");
    }
  }
  if (theMessage->schemaClass == NULL || theMessage->schemaType == NULL)
    return missingPart("schema");
  xPL_NameValueListPtr theBody = theMessage->messageBody;
  for (int i = 0; i < xPL_getNamedValueCount(theBody); i++) {
    if (theBody->namedValues[i] == NULL || theBody->namedValues[i]->itemName == NULL)
      return missingPart("item name");
  }
  return TRUE;
}

/* ---- Parsing ------------------------------------------------------------ */

/* A stretch of the received text. Headers, names and values are taken from
 * the datagram where they stand and cleaned on their one copy into the store;
 * a stretch known to hold nothing to clean is copied as it is. */
struct Piece {
  const char *text;
  size_t length;
  bool clean = false;
};

/* One item line of a block: its value holds the hex digits when binary. */
struct BlockItem {
  Piece name = {NULL, 0};
  Piece value = {NULL, 0};
  bool isBinary = false;
};

/* Control characters and everything above 'z' (braces, bar, tilde, DEL and
 * every byte of 0x80 or more) arrive as '|', so no stored text can break a line. */
constexpr bool isCleaned(unsigned char theChar) {
  return theChar < 0x20 || theChar > 'z';
}

inline char cleanChar(char theChar) {
  return isCleaned((unsigned char)theChar) ? '|' : theChar;
}

/* Scans a name on from `at` to the "=", "!" or "}" that ends it (or to the
 * terminator of the text), and says whether anything on the way is to be
 * cleaned. */
const char *scanName(const char *at, bool *clean) {
  struct Classes {
    unsigned char of[256];
    constexpr Classes() : of() {
      for (int c = 0; c < 256; c++) {
        of[c] = isCleaned((unsigned char)c) ? 1 : 0;
        if (c == '=' || c == '!' || c == '}' || c == '\0') of[c] |= 2;
      }
    }
  };
  static constexpr Classes classes;
  unsigned char seen = 0, theClass;
  while (((theClass = classes.of[(unsigned char)*at]) & 2) == 0) {
    seen |= theClass;
    at++;
  }
  *clean = seen == 0;
  return at;
}

/* The bytes of a word that are to be cleaned, each marked by its top bit.
 * Only marks above a true one can be false, so the lowest mark is right. */
inline uint64_t cleanedBytes(uint64_t theWord) {
  const uint64_t ones = 0x0101010101010101ULL, tops = ones * 0x80;
  uint64_t below = (theWord - ones * 0x20) & ~theWord & tops;
  uint64_t above = ((theWord + ones * (0x7F - 'z')) | theWord) & tops;
  return below | above;
}

/* Scans a line on from `at` to its line feed (or to theEnd, the terminator
 * of the text), eight bytes at a time, and says whether anything on the way
 * is to be cleaned. */
const char *scanLine(const char *at, const char *theEnd, bool *clean) {
  *clean = true;
  for (;;) {
    while (theEnd - at >= 8) {
      uint64_t theWord;
      memcpy(&theWord, at, sizeof theWord);
      uint64_t marks = cleanedBytes(theWord);
      if (marks != 0) {
        at += __builtin_ctzll(marks) / 8;
        break;
      }
      at += 8;
    }
    while (!isCleaned((unsigned char)*at)) at++;
    if (*at == '\n' || at == theEnd) return at;
    *clean = false;
    at++;
  }
}

inline void cleanCopy(char *theCopy, Piece thePiece) {
  if (thePiece.clean) {
    memcpy(theCopy, thePiece.text, thePiece.length);
    return;
  }
  for (size_t i = 0; i < thePiece.length; i++) theCopy[i] = cleanChar(thePiece.text[i]);
}

/* The cleaned text of a piece in a buffer (cut to fit), for debug lines and numbers. */
const char *cleanInto(char *theBuff, size_t theSize, Piece thePiece) {
  if (thePiece.length >= theSize) thePiece.length = theSize - 1;
  cleanCopy(theBuff, thePiece);
  theBuff[thePiece.length] = '\0';
  return theBuff;
}

/* The one copy of a received piece: a store string of its cleaned text,
 * after a prefix when one is given. */
String storeCopy(Piece thePiece, const char *thePrefix = "", size_t prefixLength = 0) {
  size_t theLength = prefixLength + thePiece.length;
  String theCopy = xPL_StrAlloc((int)theLength);
  memcpy(theCopy, thePrefix, prefixLength);
  cleanCopy(theCopy + prefixLength, thePiece);
  theCopy[theLength] = '\0';
  XPL_DEBUG("STORE:: Duped string [%s] (%d bytes)", theCopy, (int)theLength);
  return theCopy;
}

/* Case-insensitive match of a piece against a word. The words are printable
 * ASCII, so cleaning could not change whether they match. */
template <size_t N>
bool pieceEquals(Piece thePiece, const char (&theWord)[N]) {
  if (thePiece.length != N - 1) return false;
  return memcmp(thePiece.text, theWord, N - 1) == 0 ||
         xPL_compareIgnoreCase(thePiece.text, N - 1, theWord, N - 1) == 0;
}

inline int failAt(int thePosition) {
  return thePosition > 0 ? -thePosition : -1;
}

/* Hex digits to bytes: false on an odd count or any digit that is not 0-9 or
 * A-F. With no byte area it only checks. */
bool decodeHex(Piece theHex, unsigned char *theBytes) {
  if (theHex.length % 2 != 0) return false;
  for (size_t i = 0; i < theHex.length / 2; i++) {
    int theByte;
    if (!xPL_hexToInt(theHex.text + 2 * i, &theByte)) return false;
    if (theBytes != NULL) theBytes[i] = (unsigned char)theByte;
  }
  return true;
}

/* One block: a header line, "{", name=value (or name!HEX) lines, "}", in a
 * text whose terminator is at theEnd. Hands each item to onItem as it
 * completes; onItem refuses a binary value that does not decode by returning
 * false. Returns the characters consumed, 0 when the text holds no block, or
 * minus the position of the fault. */
template <typename OnItem>
int parseBlock(const char *theText, const char *theEnd, Piece *theHeader, OnItem onItem) {
  const char *at = theText;
  auto positionOf = [theText](const char *where) { return (int)(where - theText); };
  auto ranOut = [&]() {
    XPL_DEBUG("Ran out of characters parsing block");
    return failAt(positionOf(theEnd));
  };
  bool clean;

  /* blanks, control characters and bytes of 0x80 or more before a header are skipped */
  while (at < theEnd && (signed char)*at <= 0x20) at++;
  if (at == theEnd) return 0;
  const char *lineEnd = scanLine(at, theEnd, &clean);
  const char *firstOver = at + BLOCK_HEADER_SIZE - 1;
  if (lineEnd > firstOver) {
    XPL_DEBUG("Block header too long at position %d", positionOf(firstOver));
    return failAt(positionOf(firstOver));
  }
  if (lineEnd == theEnd) return ranOut();
  *theHeader = Piece{at, (size_t)(lineEnd - at), clean};
  at = lineEnd + 1;

  if (at == theEnd) return ranOut();
  if (*at != '{') {
    XPL_DEBUG("Got invalid character parsing start of block - %c at position %d (wanted a {)", *at,
              positionOf(at));
    return failAt(positionOf(at));
  }
  if (++at == theEnd) return ranOut();
  if (*at != '\n') {
    XPL_DEBUG("Got invalid character parsing start of block -  %c at position %d (wanted a LF)",
              *at, positionOf(at));
    return failAt(positionOf(at));
  }
  at++;

  for (;;) {
    /* A name runs on over line feeds until "=", "!" or the closing "}". */
    const char *nameStart = at;
    at = scanName(at, &clean);
    if (at - nameStart > BLOCK_NAME_SIZE - 1) {
      XPL_DEBUG("Item name too long at position %d", positionOf(nameStart + BLOCK_NAME_SIZE - 1));
      return failAt(positionOf(nameStart + BLOCK_NAME_SIZE - 1));
    }
    if (at == theEnd) return ranOut();
    if (*at == '}') {
      if (++at == theEnd) return ranOut();
      if (*at != '\n') {
        XPL_DEBUG(
            "Got invalid character parsing end of name/value -  %c at position %d (wanted a LF)",
            *at, positionOf(at));
        return failAt(positionOf(at));
      }
      return positionOf(at) + 1;
    }

    BlockItem theItem;
    theItem.name = Piece{nameStart, (size_t)(at - nameStart), clean};
    theItem.isBinary = *at == '!';
    const char *valueStart = ++at;
    lineEnd = scanLine(at, theEnd, &clean);
    if (lineEnd - valueStart > BLOCK_VALUE_SIZE - 1) {
      XPL_DEBUG("Item value too long at position %d",
                positionOf(valueStart + BLOCK_VALUE_SIZE - 1));
      return failAt(positionOf(valueStart + BLOCK_VALUE_SIZE - 1));
    }
    if (lineEnd == theEnd) return ranOut();
    theItem.value = Piece{valueStart, (size_t)(lineEnd - valueStart), clean};
    if (!onItem(theItem)) {
      char theName[BLOCK_NAME_SIZE];
      XPL_DEBUG("Unable to xlate binary value for name %s",
                cleanInto(theName, sizeof theName, theItem.name));
      return failAt(positionOf(lineEnd));
    }
    at = lineEnd + 1;
  }
}

/* Appends an item to a list: the name and a text value copied once, a
 * binary value decoded into bytes of its own. */
bool appendItem(xPL_NameValueListPtr theList, const BlockItem &theItem) {
  if (theItem.isBinary) {
    size_t byteCount = theItem.value.length / 2;
    unsigned char *theBytes = NULL;
    if (theItem.value.length % 2 != 0) return false;
    if (byteCount > 0) theBytes = (unsigned char *)xPL_checkedAlloc(malloc(byteCount), byteCount);
    if (!decodeHex(theItem.value, theBytes)) {
      free(theBytes);
      return false;
    }
    xPL_NameValuePairPtr thePair = appendPair(theList, storeCopy(theItem.name));
    thePair->itemValue = (String)theBytes;
    thePair->isBinary = TRUE;
    thePair->binaryLength = (int)byteCount;
    return true;
  }
  xPL_NameValuePairPtr thePair = appendPair(theList, storeCopy(theItem.name));
  thePair->itemValue = storeCopy(theItem.value);
  return true;
}

/* The first of each header item a message needs, as the header block is read. */
struct HeaderItems {
  BlockItem hop, source, target;
  bool haveHop = false, haveSource = false, haveTarget = false;

  bool note(const BlockItem &theItem) {
    if (theItem.isBinary && !decodeHex(theItem.value, NULL)) return false;
    noteFirst(theItem, "hop", &hop, &haveHop);
    noteFirst(theItem, "source", &source, &haveSource);
    noteFirst(theItem, "target", &target, &haveTarget);
    return true;
  }

 private:
  template <size_t N>
  static void noteFirst(const BlockItem &theItem, const char (&theName)[N], BlockItem *theFirst,
                        bool *found) {
    if (*found || !pieceEquals(theItem.name, theName)) return;
    *theFirst = theItem;
    *found = true;
  }
};

/* "vendor-device.instance": vendor before the first '-', device up to the
 * first '.' after it, instance the rest (further '-' and '.' included). */
struct Identity {
  Piece vendor, device, instance;
};

Bool splitIdentity(Piece theValue, const char *theItem, Identity *theIdentity) {
  char theText[BLOCK_VALUE_SIZE];
  const char *theDash = (const char *)memchr(theValue.text, '-', theValue.length);
  if (theDash == NULL) {
    XPL_DEBUG("%s Missing Device ID - %s", theItem, cleanInto(theText, sizeof theText, theValue));
    return FALSE;
  }
  const char *valueEnd = theValue.text + theValue.length;
  const char *theDot = (const char *)memchr(theDash + 1, '.', (size_t)(valueEnd - theDash - 1));
  if (theDot == NULL) {
    int vendorLength = (int)(theDash - theValue.text);
    XPL_DEBUG("%s Missing Instance ID - %.*s.%s", theItem, vendorLength,
              cleanInto(theText, sizeof theText, theValue), theText + vendorLength + 1);
    return FALSE;
  }
  theIdentity->vendor = Piece{theValue.text, (size_t)(theDash - theValue.text), theValue.clean};
  theIdentity->device = Piece{theDash + 1, (size_t)(theDot - theDash - 1), theValue.clean};
  theIdentity->instance = Piece{theDot + 1, (size_t)(valueEnd - theDot - 1), theValue.clean};
  return TRUE;
}

/* A header item must be text: a binary one (name!HEX) holds bytes, not a value. */
Bool headerItemText(const BlockItem &theItem, bool found, const char *missingLine,
                    const char *invalidLine) {
  if (!found) {
    XPL_DEBUG("%s", missingLine);
    return FALSE;
  }
  if (theItem.isBinary) {
    XPL_DEBUG("%s", invalidLine);
    return FALSE;
  }
  return TRUE;
}

/* The hop count as xPL_strToInt reads it; plain digits, the usual case, directly. */
Bool readHopCount(Piece theValue, int *hopCount) {
  if (theValue.length == 0 || theValue.length > 9) {
    char theNumber[BLOCK_VALUE_SIZE];
    return xPL_strToInt(cleanInto(theNumber, sizeof theNumber, theValue), hopCount);
  }
  int theCount = 0;
  for (size_t i = 0; i < theValue.length; i++) {
    char theDigit = theValue.text[i];
    if (theDigit < '0' || theDigit > '9') {
      char theNumber[BLOCK_VALUE_SIZE];
      return xPL_strToInt(cleanInto(theNumber, sizeof theNumber, theValue), hopCount);
    }
    theCount = theCount * 10 + (theDigit - '0');
  }
  *hopCount = theCount;
  return TRUE;
}

Bool parseMessageHeader(xPL_MessagePtr theMessage, const HeaderItems &theItems) {
  if (!theItems.haveHop) {
    XPL_DEBUG("Message missing HOP count");
    return FALSE;
  }
  int hopCount = 0;
  if (theItems.hop.isBinary || !readHopCount(theItems.hop.value, &hopCount) || hopCount <= 0) {
    XPL_DEBUG("Message HOP Count invalid");
    return FALSE;
  }
  theMessage->hopCount = hopCount;

  Identity theIdentity;
  if (!headerItemText(theItems.source, theItems.haveSource, "Message missing SOURCE",
                      "Message SOURCE invalid") ||
      !splitIdentity(theItems.source.value, "SOURCE", &theIdentity))
    return FALSE;
  theMessage->sourceVendor = storeCopy(theIdentity.vendor);
  theMessage->sourceDeviceID = storeCopy(theIdentity.device);
  theMessage->sourceInstanceID = storeCopy(theIdentity.instance);

  if (!headerItemText(theItems.target, theItems.haveTarget, "Message missing TARGET",
                      "Message TARGET invalid"))
    return FALSE;
  Piece theTarget = theItems.target.value;
  if (theTarget.length == 1 && theTarget.text[0] == '*') {
    theMessage->isBroadcastMessage = TRUE;
    return TRUE;
  }
  if (!splitIdentity(theTarget, "TARGET", &theIdentity)) return FALSE;
  if (pieceEquals(theIdentity.vendor, "XPL") && pieceEquals(theIdentity.device, "GROUP")) {
    /* received groups keep the upper-case prefix: services compare the whole text */
    Piece theGroup = theIdentity.instance;
    if (theGroup.length > RECEIVED_GROUP_MAX) theGroup.length = RECEIVED_GROUP_MAX;
    theMessage->isGroupMessage = TRUE;
    theMessage->groupName = storeCopy(theGroup, GROUP_PREFIX, GROUP_PREFIX_LEN);
    return TRUE;
  }
  theMessage->targetVendor = storeCopy(theIdentity.vendor);
  theMessage->targetDeviceID = storeCopy(theIdentity.device);
  theMessage->targetInstanceID = storeCopy(theIdentity.instance);
  return TRUE;
}

/* The hub relays our own heartbeat back to our port: its remote-ip and port
 * items then name our listening address and port. */
Bool isHubEcho(xPL_MessagePtr theMessage) {
  const char *theClass = theMessage->schemaClass;
  if (theClass == NULL) return FALSE;
  if (xPL_strcmpIgnoreCase(theClass, "hbeat") != 0 && xPL_strcmpIgnoreCase(theClass, "config") != 0)
    return FALSE;
  const char *remoteIP = xPL_getMessageNamedValue(theMessage, (String) "remote-ip");
  const char *remotePort = xPL_getMessageNamedValue(theMessage, (String) "port");
  if (remoteIP == NULL || remotePort == NULL) return FALSE;
  const char *ourIP = xPL_getListenerIPAddr();
  if (ourIP == NULL || strcmp(remoteIP, ourIP) != 0) return FALSE;
  char ourPort[16];
  snprintf(ourPort, sizeof(ourPort), "%d", xPL_getPort());
  return strcmp(remotePort, ourPort) == 0 ? TRUE : FALSE;
}

}  // namespace

/* ---- Message type words ------------------------------------------------- */

const char *xPL_messageTypeWord(xPL_MessageType theType) {
  for (const auto &entry : messageTypeWords)
    if (entry.type == theType) return entry.word;
  return NULL;
}

xPL_MessageType xPL_messageTypeOfWord(const char *theWord, size_t theLength) {
  if (theWord == NULL || theLength != MESSAGE_TYPE_WORD_LEN) return xPL_MESSAGE_ANY;
  for (const auto &entry : messageTypeWords) {
    /* written in lower case nearly always: the byte comparison settles those */
    if (memcmp(theWord, entry.word, theLength) == 0 ||
        xPL_compareIgnoreCase(theWord, theLength, entry.word, theLength) == 0)
      return entry.type;
  }
  return xPL_MESSAGE_ANY;
}

/* ---- Creation ----------------------------------------------------------- */

xPL_MessagePtr createSendableMessage(xPL_ServicePtr theService, xPL_MessageType messageType) {
  xPL_MessagePtr theMessage = xPL_AllocMessage();
  theMessage->messageType = messageType;
  theMessage->hopCount = 1;
  theMessage->receivedMessage = FALSE;
  /* borrowed from the service, never owned by the message */
  if (theService != NULL) {
    theMessage->sourceVendor = xPL_getServiceVendor(theService);
    theMessage->sourceDeviceID = xPL_getServiceDeviceID(theService);
    theMessage->sourceInstanceID = xPL_getServiceInstanceID(theService);
  }
  return theMessage;
}

xPL_MessagePtr createReceivedMessage(xPL_MessageType messageType) {
  xPL_MessagePtr theMessage = xPL_AllocMessage();
  theMessage->messageType = messageType;
  theMessage->receivedMessage = TRUE;
  ensureBody(theMessage);
  return theMessage;
}

xPL_MessagePtr xPL_createTargetedMessage(xPL_ServicePtr theService, xPL_MessageType messageType,
                                         String theVendor, String theDevice, String theInstance) {
  xPL_MessagePtr theMessage = createSendableMessage(theService, messageType);
  xPL_setTarget(theMessage, theVendor, theDevice, theInstance);
  return theMessage;
}

xPL_MessagePtr xPL_createGroupTargetedMessage(xPL_ServicePtr theService,
                                              xPL_MessageType messageType, String theGroup) {
  xPL_MessagePtr theMessage = createSendableMessage(theService, messageType);
  xPL_setTargetGroup(theMessage, theGroup);
  return theMessage;
}

xPL_MessagePtr xPL_createBroadcastMessage(xPL_ServicePtr theService, xPL_MessageType messageType) {
  xPL_MessagePtr theMessage = createSendableMessage(theService, messageType);
  xPL_setBroadcastMessage(theMessage, TRUE);
  return theMessage;
}

/* ---- Getters ------------------------------------------------------------ */

xPL_MessageType xPL_getMessageType(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? xPL_MESSAGE_ANY : theMessage->messageType;
}
int xPL_getHopCount(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? 0 : theMessage->hopCount;
}
Bool xPL_isReceivedMessage(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? FALSE : theMessage->receivedMessage;
}
Bool xPL_isBroadcastMessage(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? FALSE : theMessage->isBroadcastMessage;
}
Bool xPL_isGroupMessage(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? FALSE : theMessage->isGroupMessage;
}
String xPL_getTargetGroup(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->groupName;
}
String xPL_getTargetVendor(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->targetVendor;
}
String xPL_getTargetDeviceID(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->targetDeviceID;
}
String xPL_getTargetInstanceID(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->targetInstanceID;
}
String xPL_getSourceVendor(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->sourceVendor;
}
String xPL_getSourceDeviceID(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->sourceDeviceID;
}
String xPL_getSourceInstanceID(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->sourceInstanceID;
}
String xPL_getSchemaClass(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->schemaClass;
}
String xPL_getSchemaType(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->schemaType;
}
xPL_NameValueListPtr xPL_getMessageBody(xPL_MessagePtr theMessage) {
  return theMessage == NULL ? NULL : theMessage->messageBody;
}

/* ---- Setters ------------------------------------------------------------ */

void xPL_setMessageType(xPL_MessagePtr theMessage, xPL_MessageType messageType) {
  if (theMessage != NULL) theMessage->messageType = messageType;
}

void xPL_setBroadcastMessage(xPL_MessagePtr theMessage, Bool isBroadcast) {
  if (theMessage != NULL) theMessage->isBroadcastMessage = isBroadcast;
}

void xPL_setTargetGroup(xPL_MessagePtr theMessage, String theGroup) {
  if (theMessage == NULL) return;
  if (theGroup == NULL) {
    releaseTargetGroup(theMessage);
    return;
  }
  if (theMessage->groupName != NULL && xPL_strcmpIgnoreCase(theMessage->groupName, theGroup) == 0)
    return;
  /* the group may be read from one of the strings released below */
  String heldGroup = NULL;
  if (pointsInto(theGroup, theMessage->targetVendor) ||
      pointsInto(theGroup, theMessage->targetDeviceID) ||
      pointsInto(theGroup, theMessage->targetInstanceID) ||
      pointsInto(theGroup, theMessage->groupName))
    heldGroup = xPL_StrDup(theGroup);
  releaseField(&theMessage->targetVendor);
  releaseField(&theMessage->targetDeviceID);
  releaseField(&theMessage->targetInstanceID);
  releaseField(&theMessage->groupName);
  theMessage->isGroupMessage = TRUE;
  theMessage->groupName = heldGroup != NULL ? heldGroup : xPL_StrDup(theGroup);
}

void xPL_setTargetVendor(xPL_MessagePtr theMessage, String theVendor) {
  if (theMessage != NULL) setTargetPart(theMessage, &theMessage->targetVendor, theVendor);
}

void xPL_setTargetDeviceID(xPL_MessagePtr theMessage, String theDeviceID) {
  if (theMessage != NULL) setTargetPart(theMessage, &theMessage->targetDeviceID, theDeviceID);
}

void xPL_setTargetInstanceID(xPL_MessagePtr theMessage, String theInstanceID) {
  if (theMessage != NULL) setTargetPart(theMessage, &theMessage->targetInstanceID, theInstanceID);
}

void xPL_setTarget(xPL_MessagePtr theMessage, String theVendor, String theDeviceID,
                   String theInstanceID) {
  xPL_setTargetVendor(theMessage, theVendor);
  xPL_setTargetDeviceID(theMessage, theDeviceID);
  xPL_setTargetInstanceID(theMessage, theInstanceID);
}

/* The source of an outgoing message belongs to its service; only a received one owns its own. */
void xPL_setSourceVendor(xPL_MessagePtr theMessage, String theVendor) {
  if (theMessage != NULL && theMessage->receivedMessage)
    setStringField(&theMessage->sourceVendor, theVendor);
}

void xPL_setSourceDeviceID(xPL_MessagePtr theMessage, String theDeviceID) {
  if (theMessage != NULL && theMessage->receivedMessage)
    setStringField(&theMessage->sourceDeviceID, theDeviceID);
}

void xPL_setSourceInstanceID(xPL_MessagePtr theMessage, String theInstanceID) {
  if (theMessage != NULL && theMessage->receivedMessage)
    setStringField(&theMessage->sourceInstanceID, theInstanceID);
}

void xPL_setSource(xPL_MessagePtr theMessage, String theVendor, String theDeviceID,
                   String theInstanceID) {
  xPL_setSourceVendor(theMessage, theVendor);
  xPL_setSourceDeviceID(theMessage, theDeviceID);
  xPL_setSourceInstanceID(theMessage, theInstanceID);
}

void xPL_setSchemaClass(xPL_MessagePtr theMessage, String theSchemaClass) {
  if (theMessage != NULL) setStringField(&theMessage->schemaClass, theSchemaClass);
}

void xPL_setSchemaType(xPL_MessagePtr theMessage, String theSchemaType) {
  if (theMessage != NULL) setStringField(&theMessage->schemaType, theSchemaType);
}

void xPL_setSchema(xPL_MessagePtr theMessage, String theSchemaClass, String theSchemaType) {
  xPL_setSchemaClass(theMessage, theSchemaClass);
  xPL_setSchemaType(theMessage, theSchemaType);
}

/* ---- Body --------------------------------------------------------------- */

void xPL_addMessageNamedValue(xPL_MessagePtr theMessage, String theName, String theValue) {
  if (theMessage == NULL) return;
  ensureBody(theMessage);
  xPL_addNamedValue(theMessage->messageBody, theName, theValue);
}

void xPL_setMessageNamedValue(xPL_MessagePtr theMessage, String theName, String theValue) {
  if (theMessage == NULL) return;
  ensureBody(theMessage);
  xPL_setNamedValue(theMessage->messageBody, theName, theValue);
}

void xPL_setMessageNamedValues(xPL_MessagePtr theMessage, ...) {
  va_list theArgs;
  va_start(theArgs, theMessage);
  for (;;) {
    String theName = va_arg(theArgs, String);
    if (theName == NULL) break;
    String theValue = va_arg(theArgs, String);
    xPL_setMessageNamedValue(theMessage, theName, theValue);
  }
  va_end(theArgs);
}

String xPL_getMessageNamedValue(xPL_MessagePtr theMessage, String theName) {
  return theMessage == NULL ? NULL : xPL_getNamedValue(theMessage->messageBody, theName);
}

Bool xPL_doesMessageNamedValueExist(xPL_MessagePtr theMessage, String theName) {
  return theMessage == NULL ? FALSE : xPL_doesNamedValueExist(theMessage->messageBody, theName);
}

void xPL_clearMessageNamedValues(xPL_MessagePtr theMessage) {
  if (theMessage != NULL) xPL_clearAllNamedValues(theMessage->messageBody);
}

/* ---- Release and send --------------------------------------------------- */

void xPL_releaseMessage(xPL_MessagePtr theMessage) {
  if (theMessage == NULL) return;
  XPL_DEBUG("Releasing message, TYPE=%d, RECEIVED=%d", theMessage->messageType,
            theMessage->receivedMessage);
  if (theMessage->receivedMessage) {
    releaseField(&theMessage->sourceVendor);
    releaseField(&theMessage->sourceDeviceID);
    releaseField(&theMessage->sourceInstanceID);
    XPL_DEBUG("Releasing received messages SOURCE parameters");
  } else {
    theMessage->sourceVendor = NULL;
    theMessage->sourceDeviceID = NULL;
    theMessage->sourceInstanceID = NULL;
    XPL_DEBUG("NULLing out transmitted messages SOURCE parameters");
  }
  theMessage->isBroadcastMessage = FALSE;
  releaseField(&theMessage->targetVendor);
  releaseField(&theMessage->targetDeviceID);
  releaseField(&theMessage->targetInstanceID);
  releaseTargetGroup(theMessage);
  releaseField(&theMessage->schemaClass);
  releaseField(&theMessage->schemaType);
  /* the emptied list stays with the record for its next use */
  xPL_clearAllNamedValues(theMessage->messageBody);
  theMessage->messageType = xPL_MESSAGE_ANY;
  theMessage->hopCount = 0;
  theMessage->receivedMessage = FALSE;
  xPL_FreeMessage(theMessage);
}

Bool xPL_sendMessage(xPL_MessagePtr theMessage) {
  String theText = xPL_formatMessage(theMessage);
  if (theText == NULL) return FALSE;
  XPL_DEBUG("About to broadcast %d bytes as [%s]", messageBytesWritten, theText);
  return xPL_sendRawMessage(theText, messageBytesWritten) ? TRUE : FALSE;
}

/* ---- Wire format -------------------------------------------------------- */

String xPL_formatMessage(xPL_MessagePtr theMessage) {
  messageBytesWritten = 0;
  messageBuff[0] = '\0';
  if (theMessage == NULL) return NULL;

  const char *theHeader = xPL_messageTypeWord(theMessage->messageType);
  if (theHeader == NULL) {
    XPL_DEBUG("Unable to format message -- invalid/unknown message type %d",
              theMessage->messageType);
    return NULL;
  }
  if (!checkFormattable(theMessage)) return NULL;

  if (!appendText(theHeader) || !appendText("\n{\nhop=1\nsource=")) return NULL;
  if (!appendIdentity(theMessage->sourceVendor, theMessage->sourceDeviceID,
                      theMessage->sourceInstanceID))
    return NULL;
  if (!appendText("\n")) return NULL;

  if (theMessage->isBroadcastMessage) {
    if (!appendText("target=*")) return NULL;
  } else if (theMessage->isGroupMessage) {
    if (!appendText("target=XPL-GROUP.") || !appendText(theMessage->groupName)) return NULL;
  } else {
    if (!appendText("target=") ||
        !appendIdentity(theMessage->targetVendor, theMessage->targetDeviceID,
                        theMessage->targetInstanceID))
      return NULL;
  }

  if (!appendText("\n}\n") || !appendText(theMessage->schemaClass) || !appendText(".") ||
      !appendText(theMessage->schemaType) || !appendText("\n{\n"))
    return NULL;

  xPL_NameValueListPtr theBody = theMessage->messageBody;
  for (int i = 0; i < xPL_getNamedValueCount(theBody); i++) {
    xPL_NameValuePairPtr thePair = theBody->namedValues[i];
    if (!appendText(thePair->itemName) || !appendText("=")) return NULL;
    if (thePair->isBinary) {
      if (!writeBinaryValue((const unsigned char *)thePair->itemValue, thePair->binaryLength))
        return NULL;
    } else if (thePair->itemValue != NULL) {
      if (!appendText(thePair->itemValue)) return NULL;
    }
    if (!appendText("\n")) return NULL;
  }

  if (!appendText("}\n")) return NULL;
  return messageBuff;
}

xPL_MessagePtr parseMessage(const char *theText) {
  if (theText == NULL) return NULL;
  const size_t textLength = strlen(theText);
  const char *theEnd = theText + textLength;
  xPL_MessagePtr theMessage = createReceivedMessage(xPL_MESSAGE_ANY);
  Piece blockHeader = {NULL, 0};
  char theHeaderText[BLOCK_HEADER_SIZE];

  /* The header items are looked at where they stand; they become body items
   * only when no second block follows. */
  HeaderItems theItems;
  int consumed = parseBlock(theText, theEnd, &blockHeader,
                            [&theItems](const BlockItem &theItem) { return theItems.note(theItem); });
  if (consumed <= 0) {
    XPL_DEBUG("Error parsing message header");
    xPL_releaseMessage(theMessage);
    return NULL;
  }

  theMessage->messageType = xPL_messageTypeOfWord(blockHeader.text, blockHeader.length);
  if (theMessage->messageType == xPL_MESSAGE_ANY) {
    XPL_DEBUG("Unknown message header of %s - bad message",
              cleanInto(theHeaderText, sizeof theHeaderText, blockHeader));
    xPL_releaseMessage(theMessage);
    return NULL;
  }

  if (!parseMessageHeader(theMessage, theItems)) {
    XPL_DEBUG("Unable to parse message header");
    xPL_releaseMessage(theMessage);
    return NULL;
  }

  xPL_NameValueListPtr theBody = theMessage->messageBody;
  auto toBody = [theBody](const BlockItem &theItem) { return appendItem(theBody, theItem); };
  /* header block alone: a message without schema, whose body keeps the header items */
  if ((size_t)consumed >= textLength) {
    parseBlock(theText, theEnd, &blockHeader, toBody);
    return theMessage;
  }

  int bodyConsumed = parseBlock(theText + consumed, theEnd, &blockHeader, toBody);
  if (bodyConsumed < 0) {
    XPL_DEBUG("Error parsing message block");
    xPL_releaseMessage(theMessage);
    return NULL;
  }
  if (bodyConsumed == 0) return theMessage;

  const char *theDot = (const char *)memchr(blockHeader.text, '.', blockHeader.length);
  if (theDot == NULL) {
    XPL_DEBUG("Malformed message block header - %s",
              cleanInto(theHeaderText, sizeof theHeaderText, blockHeader));
    xPL_releaseMessage(theMessage);
    return NULL;
  }
  size_t classLength = (size_t)(theDot - blockHeader.text);
  theMessage->schemaClass = storeCopy(Piece{blockHeader.text, classLength, blockHeader.clean});
  theMessage->schemaType =
      storeCopy(Piece{theDot + 1, blockHeader.length - classLength - 1, blockHeader.clean});
  /* anything after the second block is ignored */
  return theMessage;
}

xPL_MessagePtr xPL_parseMessage(const char *theText) {
  return parseMessage(theText);
}

namespace {

/* Reads up to `wanted` datagrams into the batch; false when none came (the
 * debug line says why, unless there was simply nothing waiting). */
bool readBatch(int wanted) {
  if (wanted > RECEIVE_BATCH) wanted = RECEIVE_BATCH;
  for (int i = 0; i < wanted; i++) {
    struct msghdr *header = &batch.headers[i].msg_hdr;
    if (header->msg_iov == NULL) {
      batch.vectors[i].iov_base = batch.texts[i];
      batch.vectors[i].iov_len = MSG_BUFF_SIZE - 1;
      header->msg_iov = &batch.vectors[i];
      header->msg_iovlen = 1;
      header->msg_control = batch.controls[i].bytes;
    }
    /* the only field a read changes that the next one needs back */
    header->msg_controllen = sizeof batch.controls[i].bytes;
  }
  batch.fd = xPL_getFD();
  int got;
  do {
    got = recvmmsg(batch.fd, batch.headers, (unsigned)wanted, MSG_DONTWAIT, NULL);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      XPL_DEBUG("Error reading xPL message from network - %s (%d)", strerror(errno), errno);
    return false;
  }
  clock_gettime(CLOCK_REALTIME, &batch.readAt);
  batch.count = got;
  batch.next = 0;
  return true;
}

struct timespec arrivalOf(int theIndex) {
  struct msghdr *header = &batch.headers[theIndex].msg_hdr;
  for (struct cmsghdr *c = CMSG_FIRSTHDR(header); c != NULL; c = CMSG_NXTHDR(header, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    struct timespec stamp;
    memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    return stamp;
  }
  return batch.readAt;
}

void handleDatagram(int theIndex) {
  char *theText = batch.texts[theIndex];
  int bytesRead = (int)batch.headers[theIndex].msg_len;
  theText[bytesRead] = '\0';
  XPL_DEBUG("Just read %d bytes as packet [%s]", bytesRead, theText);

  xPL_dispatchRawEvent(theText, bytesRead);

  xPL_MessagePtr theMessage = parseMessage(theText);
  if (theMessage == NULL) {
    XPL_DEBUG("Error parsing network message - ignored");
    return;
  }
  if (!hubConfirmed && isHubEcho(theMessage)) {
    XPL_DEBUG("Hub detected and confirmed existing");
    hubConfirmed = TRUE;
  }
  XPL_DEBUG("Now dispatching valid message");
  Arrival outer = dispatching;
  dispatching = Arrival{theMessage, arrivalOf(theIndex)};
  xPL_dispatchMessageEvent(theMessage);
  dispatching = outer;
  xPL_releaseMessage(theMessage);
}

}  // namespace

void xPL_receiveMessage(int theFD, int thePollInfo, int userValue) {
  (void)theFD;
  (void)thePollInfo;
  (void)userValue;
  int drained = 0;
  for (;;) {
    if (batch.next == batch.count) {
      if (drained >= RECEIVE_DRAIN_MAX || !readBatch(RECEIVE_DRAIN_MAX - drained)) return;
      drained += batch.count;
    }
    handleDatagram(batch.next++);
    /* Shut down or reconnected by a listener: the rest came from a closed socket. */
    if (xPL_getFD() != batch.fd) batch.next = batch.count;
  }
}

Bool xPL_getMessageArrival(xPL_MessagePtr theMessage, struct timespec *arrivedAt) {
  if (theMessage == NULL || theMessage != dispatching.message) return FALSE;
  if (arrivedAt != NULL) *arrivedAt = dispatching.at;
  return TRUE;
}

Bool xPL_isHubConfirmed(void) {
  return hubConfirmed;
}
