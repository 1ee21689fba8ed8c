/* xPL-message.cpp - the xPL message record and its wire text.
 *
 * One message is two blocks of LF-ended lines: the type word ("xpl-cmnd",
 * "xpl-stat", "xpl-trig") with the hop, source and target items, then the
 * schema ("class.type") with the body items. One 2048-byte buffer serves
 * both directions: outgoing text is formatted into it and datagrams are
 * read into it.
 */
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

char messageBuff[MSG_BUFF_SIZE];
int messageBytesWritten = 0;

char blockHeaderBuff[BLOCK_HEADER_SIZE];
char blockNameBuff[BLOCK_NAME_SIZE];
char blockValueBuff[BLOCK_VALUE_SIZE];

Bool hubConfirmed = FALSE;

/* Datagrams read per readiness of the socket. The loop gets its turn after
 * each batch, so a flood cannot hold off timers, heartbeats or a stop
 * request; what is left is read on the next turn. */
constexpr int RECEIVE_DRAIN_MAX = 256;

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
  xPL_Debug("Message exceeds MSG_MAX_SIZE (%d) -- not sent!", MSG_MAX_SIZE);
  xPL_Debug("** Too Long Message is, to date [%s]", messageBuff);
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
  xPL_Debug("Unable to format message -- no %s", whatIsMissing);
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

enum BlockState { IN_HEADER, OPEN_BRACE, LF_AFTER_BRACE, IN_NAME, IN_VALUE, CLOSING_LF };

/* Control characters and everything above 'z' (braces, bar, tilde, DEL and
 * every byte of 0x80 or more) arrive as '|', so no stored text can break a line. */
inline char cleanChar(char theChar) {
  signed char c = (signed char)theChar;
  return (c < 0x20 || c > 'z') ? '|' : theChar;
}

/* Appends a cleaned character; FALSE when the buffer (with its terminator) is full. */
inline Bool collectChar(char *theBuff, size_t theSize, size_t *theLength, char theChar) {
  if (*theLength + 1 >= theSize) return FALSE;
  theBuff[(*theLength)++] = cleanChar(theChar);
  return TRUE;
}

inline int failAt(int thePosition) {
  return thePosition > 0 ? -thePosition : -1;
}

/* Hex text to bytes; null on odd length or any digit that is not 0-9 or A-F. */
Bool textToBinary(xPL_NameValuePairPtr thePair, const char *theHex, size_t hexLength) {
  if (hexLength % 2 != 0) return FALSE;
  size_t byteCount = hexLength / 2;
  unsigned char *theBytes = NULL;
  if (byteCount > 0) {
    theBytes = (unsigned char *)xPL_checkedAlloc(malloc(byteCount), byteCount);
    for (size_t i = 0; i < byteCount; i++) {
      int theByte;
      if (!xPL_hexToInt(theHex + 2 * i, &theByte)) {
        free(theBytes);
        return FALSE;
      }
      theBytes[i] = (unsigned char)theByte;
    }
  }
  thePair->itemValue = (String)theBytes;
  thePair->isBinary = TRUE;
  thePair->binaryLength = (int)byteCount;
  return TRUE;
}

/* One block: a header line, "{", name=value (or name!HEX) lines, "}".
 * Returns the characters consumed, 0 when the text holds no block, or minus
 * the position of the fault. */
int parseBlock(const char *theText, String *theHeader, xPL_NameValueListPtr theList,
               Bool forceUpperCase) {
  BlockState theState = IN_HEADER;
  size_t headerLength = 0, nameLength = 0, valueLength = 0;
  Bool isBinary = FALSE;
  int thePosition = 0;

  for (; theText[thePosition] != '\0'; thePosition++) {
    char theChar = theText[thePosition];
    if (forceUpperCase && theChar >= 'a' && theChar <= 'z') theChar = (char)(theChar - 32);

    switch (theState) {
      case IN_HEADER:
        if (headerLength == 0 && (signed char)theChar <= 0x20) break;
        if (theChar == '\n') {
          theState = OPEN_BRACE;
          break;
        }
        if (!collectChar(blockHeaderBuff, sizeof(blockHeaderBuff), &headerLength, theChar)) {
          xPL_Debug("Block header too long at position %d", thePosition);
          return failAt(thePosition);
        }
        break;

      case OPEN_BRACE:
        if (theChar != '{') {
          xPL_Debug("Got invalid character parsing start of block - %c at position %d (wanted a {)",
                    theChar, thePosition);
          return failAt(thePosition);
        }
        theState = LF_AFTER_BRACE;
        break;

      case LF_AFTER_BRACE:
        if (theChar != '\n') {
          xPL_Debug(
              "Got invalid character parsing start of block -  %c at position %d (wanted a LF)",
              theChar, thePosition);
          return failAt(thePosition);
        }
        nameLength = 0;
        theState = IN_NAME;
        break;

      case IN_NAME:
        if (theChar == '=' || theChar == '!') {
          isBinary = (theChar == '!');
          valueLength = 0;
          theState = IN_VALUE;
        } else if (theChar == '}') {
          nameLength = 0;
          theState = CLOSING_LF;
        } else if (!collectChar(blockNameBuff, sizeof(blockNameBuff), &nameLength, theChar)) {
          xPL_Debug("Item name too long at position %d", thePosition);
          return failAt(thePosition);
        }
        break;

      case IN_VALUE:
        if (theChar == '\n') {
          blockNameBuff[nameLength] = '\0';
          blockValueBuff[valueLength] = '\0';
          if (isBinary) {
            xPL_NameValuePair decoded = {NULL, NULL, FALSE, 0};
            if (!textToBinary(&decoded, blockValueBuff, valueLength)) {
              xPL_Debug("Unable to xlate binary value for name %s", blockNameBuff);
              return failAt(thePosition);
            }
            xPL_NameValuePairPtr thePair = xPL_newNamedValuePair(theList, blockNameBuff);
            thePair->itemValue = decoded.itemValue;
            thePair->isBinary = TRUE;
            thePair->binaryLength = decoded.binaryLength;
          } else {
            xPL_NameValuePairPtr thePair = xPL_newNamedValuePair(theList, blockNameBuff);
            thePair->itemValue = xPL_StrDup(blockValueBuff);
          }
          nameLength = 0;
          theState = IN_NAME;
        } else if (!collectChar(blockValueBuff, sizeof(blockValueBuff), &valueLength, theChar)) {
          xPL_Debug("Item value too long at position %d", thePosition);
          return failAt(thePosition);
        }
        break;

      case CLOSING_LF:
        if (theChar != '\n') {
          xPL_Debug(
              "Got invalid character parsing end of name/value -  %c at position %d (wanted a LF)",
              theChar, thePosition);
          return failAt(thePosition);
        }
        blockHeaderBuff[headerLength] = '\0';
        *theHeader = xPL_StrDup(blockHeaderBuff);
        return thePosition + 1;
    }
  }

  if (theState == IN_HEADER && headerLength == 0) return 0;
  xPL_Debug("Ran out of characters parsing block");
  return failAt(thePosition);
}

/* Case-insensitive match of a piece of text (not terminated) against a word. */
Bool pieceEquals(const char *thePiece, size_t pieceLength, const char *theWord) {
  if (strlen(theWord) != pieceLength) return FALSE;
  return xPL_strncmpIgnoreCase(thePiece, theWord, (int)pieceLength) == 0 ? TRUE : FALSE;
}

/* A header item must be text: a binary one (name!HEX) holds bytes, not a terminated value. */
const char *headerText(xPL_NameValuePairPtr thePair) {
  if (thePair == NULL || thePair->isBinary) return NULL;
  return thePair->itemValue;
}

/* Splits "vendor-device.instance": vendor before the first '-', device up to
 * the first '.' after it, instance the rest (further '-' and '.' included). */
Bool splitIdentity(const char *theValue, const char *theItem, size_t *vendorLength,
                   const char **theDevice, size_t *deviceLength, const char **theInstance) {
  const char *theDash = strchr(theValue, '-');
  if (theDash == NULL) {
    xPL_Debug("%s Missing Device ID - %s", theItem, theValue);
    return FALSE;
  }
  const char *theDot = strchr(theDash + 1, '.');
  if (theDot == NULL) {
    xPL_Debug("%s Missing Instance ID - %.*s.%s", theItem, (int)(theDash - theValue), theValue,
              theDash + 1);
    return FALSE;
  }
  *vendorLength = (size_t)(theDash - theValue);
  *theDevice = theDash + 1;
  *deviceLength = (size_t)(theDot - (theDash + 1));
  *theInstance = theDot + 1;
  return TRUE;
}

/* Received identity parts are stored directly: the record is fresh, so this
 * equals the setters without copying each part twice. */
void storePiece(String *theField, const char *thePiece, size_t pieceLength) {
  xPL_FreeStr(*theField);
  *theField = xPL_StrNDup(thePiece, (int)pieceLength);
}

Bool parseMessageHeader(xPL_MessagePtr theMessage, xPL_NameValueListPtr theList) {
  xPL_NameValuePairPtr thePair = xPL_getNamedValuePair(theList, (String) "hop");
  if (thePair == NULL) {
    xPL_Debug("Message missing HOP count");
    return FALSE;
  }
  int hopCount = 0;
  const char *theText = headerText(thePair);
  if (theText == NULL || !xPL_strToInt(theText, &hopCount) || hopCount <= 0) {
    xPL_Debug("Message HOP Count invalid");
    return FALSE;
  }
  theMessage->hopCount = hopCount;

  size_t vendorLength, deviceLength;
  const char *theDevice, *theInstance;

  thePair = xPL_getNamedValuePair(theList, (String) "source");
  if (thePair == NULL) {
    xPL_Debug("Message missing SOURCE");
    return FALSE;
  }
  theText = headerText(thePair);
  if (theText == NULL) {
    xPL_Debug("Message SOURCE invalid");
    return FALSE;
  }
  if (!splitIdentity(theText, "SOURCE", &vendorLength, &theDevice, &deviceLength, &theInstance))
    return FALSE;
  storePiece(&theMessage->sourceVendor, theText, vendorLength);
  storePiece(&theMessage->sourceDeviceID, theDevice, deviceLength);
  storePiece(&theMessage->sourceInstanceID, theInstance, strlen(theInstance));

  thePair = xPL_getNamedValuePair(theList, (String) "target");
  if (thePair == NULL) {
    xPL_Debug("Message missing TARGET");
    return FALSE;
  }
  theText = headerText(thePair);
  if (theText == NULL) {
    xPL_Debug("Message TARGET invalid");
    return FALSE;
  }
  if (strcmp(theText, "*") == 0) {
    theMessage->isBroadcastMessage = TRUE;
    return TRUE;
  }
  if (!splitIdentity(theText, "TARGET", &vendorLength, &theDevice, &deviceLength, &theInstance))
    return FALSE;
  if (pieceEquals(theText, vendorLength, "XPL") && pieceEquals(theDevice, deviceLength, "GROUP")) {
    /* received groups keep the upper-case prefix: services compare the whole text */
    char theGroup[GROUP_PREFIX_LEN + RECEIVED_GROUP_MAX + 1];
    snprintf(theGroup, sizeof(theGroup), "%s%.*s", GROUP_PREFIX, RECEIVED_GROUP_MAX, theInstance);
    xPL_setTargetGroup(theMessage, theGroup);
    return TRUE;
  }
  storePiece(&theMessage->targetVendor, theText, vendorLength);
  storePiece(&theMessage->targetDeviceID, theDevice, deviceLength);
  storePiece(&theMessage->targetInstanceID, theInstance, strlen(theInstance));
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
  xPL_Debug("Releasing message, TYPE=%d, RECEIVED=%d", theMessage->messageType,
            theMessage->receivedMessage);
  if (theMessage->receivedMessage) {
    releaseField(&theMessage->sourceVendor);
    releaseField(&theMessage->sourceDeviceID);
    releaseField(&theMessage->sourceInstanceID);
    xPL_Debug("Releasing received messages SOURCE parameters");
  } else {
    theMessage->sourceVendor = NULL;
    theMessage->sourceDeviceID = NULL;
    theMessage->sourceInstanceID = NULL;
    xPL_Debug("NULLing out transmitted messages SOURCE parameters");
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
  xPL_Debug("About to broadcast %d bytes as [%s]", messageBytesWritten, theText);
  return xPL_sendRawMessage(theText, messageBytesWritten) ? TRUE : FALSE;
}

/* ---- Wire format -------------------------------------------------------- */

String xPL_formatMessage(xPL_MessagePtr theMessage) {
  messageBytesWritten = 0;
  messageBuff[0] = '\0';
  if (theMessage == NULL) return NULL;

  const char *theHeader;
  switch (theMessage->messageType) {
    case xPL_MESSAGE_STATUS:
      theHeader = "xpl-stat\n{\nhop=1\nsource=";
      break;
    case xPL_MESSAGE_TRIGGER:
      theHeader = "xpl-trig\n{\nhop=1\nsource=";
      break;
    case xPL_MESSAGE_COMMAND:
      theHeader = "xpl-cmnd\n{\nhop=1\nsource=";
      break;
    default:
      xPL_Debug("Unable to format message -- invalid/unknown message type %d",
                theMessage->messageType);
      return NULL;
  }
  if (!checkFormattable(theMessage)) return NULL;

  if (!appendText(theHeader)) return NULL;
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
  const int textLength = (int)strlen(theText);
  xPL_MessagePtr theMessage = createReceivedMessage(xPL_MESSAGE_ANY);
  String blockHeader = NULL;

  int consumed = parseBlock(theText, &blockHeader, theMessage->messageBody, FALSE);
  if (consumed <= 0) {
    xPL_Debug("Error parsing message header");
    xPL_releaseMessage(theMessage);
    return NULL;
  }

  if (xPL_strcmpIgnoreCase(blockHeader, "XPL-CMND") == 0) {
    theMessage->messageType = xPL_MESSAGE_COMMAND;
  } else if (xPL_strcmpIgnoreCase(blockHeader, "XPL-STAT") == 0) {
    theMessage->messageType = xPL_MESSAGE_STATUS;
  } else if (xPL_strcmpIgnoreCase(blockHeader, "XPL-TRIG") == 0) {
    theMessage->messageType = xPL_MESSAGE_TRIGGER;
  } else {
    xPL_Debug("Unknown message header of %s - bad message", blockHeader);
    xPL_FreeStr(blockHeader);
    xPL_releaseMessage(theMessage);
    return NULL;
  }
  xPL_FreeStr(blockHeader);
  blockHeader = NULL;

  if (!parseMessageHeader(theMessage, theMessage->messageBody)) {
    xPL_Debug("Unable to parse message header");
    xPL_releaseMessage(theMessage);
    return NULL;
  }

  /* header block alone: a message without schema, whose body keeps the header items */
  if (consumed >= textLength) return theMessage;

  xPL_clearAllNamedValues(theMessage->messageBody);
  int bodyConsumed = parseBlock(theText + consumed, &blockHeader, theMessage->messageBody, FALSE);
  if (bodyConsumed < 0) {
    xPL_Debug("Error parsing message block");
    xPL_releaseMessage(theMessage);
    return NULL;
  }
  if (bodyConsumed == 0) return theMessage;

  const char *theDot = strchr(blockHeader, '.');
  if (theDot == NULL) {
    xPL_Debug("Malformed message block header - %s", blockHeader);
    xPL_FreeStr(blockHeader);
    xPL_releaseMessage(theMessage);
    return NULL;
  }
  theMessage->schemaClass = xPL_StrNDup(blockHeader, (int)(theDot - blockHeader));
  theMessage->schemaType = xPL_StrDup(theDot + 1);
  xPL_FreeStr(blockHeader);
  /* anything after the second block is ignored */
  return theMessage;
}

void xPL_receiveMessage(int theFD, int thePollInfo, int userValue) {
  (void)theFD;
  (void)thePollInfo;
  (void)userValue;
  for (int drained = 0; drained < RECEIVE_DRAIN_MAX; drained++) {
    ssize_t bytesRead = recvfrom(xPL_getFD(), messageBuff, MSG_BUFF_SIZE - 1, 0, NULL, NULL);
    if (bytesRead < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        xPL_Debug("Error reading xPL message from network - %s (%d)", strerror(errno), errno);
      }
      return;
    }
    messageBuff[bytesRead] = '\0';
    xPL_Debug("Just read %d bytes as packet [%s]", (int)bytesRead, messageBuff);

    xPL_dispatchRawEvent(messageBuff, (int)bytesRead);

    xPL_MessagePtr theMessage = parseMessage(messageBuff);
    if (theMessage == NULL) {
      xPL_Debug("Error parsing network message - ignored");
      continue;
    }
    if (!hubConfirmed && isHubEcho(theMessage)) {
      xPL_Debug("Hub detected and confirmed existing");
      hubConfirmed = TRUE;
    }
    xPL_Debug("Now dispatching valid message");
    xPL_dispatchMessageEvent(theMessage);
    xPL_releaseMessage(theMessage);
  }
}

Bool xPL_isHubConfirmed(void) {
  return hubConfirmed;
}
