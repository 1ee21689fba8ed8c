/* xPL-utils.cpp - named-value lists, the two log channels, the xPL
 * command-line switches and small text helpers of the xPL layer.
 */
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "xPL.h"
#include "xPL_priv.h"

Bool xPL_DebugMode = FALSE;

namespace {

constexpr int LOG_BUFF_SIZE = 512;
constexpr int CONVERT_BUFF_SIZE = 32;
constexpr int NAMED_VALUE_GROW_BY = 8;

char logMessageBuffer[LOG_BUFF_SIZE];
char convertBuffer[CONVERT_BUFF_SIZE];
const xPL_ConnectType xPL_ParsedConnectionType = xcViaHub;

/* Only a-z fold: xPL identifiers are ASCII and other bytes compare as they are. */
inline int foldChar(char theChar) {
  return (theChar >= 'a' && theChar <= 'z') ? theChar - 32 : theChar;
}

char nibbleDigit(int theNibble) {
  if (theNibble >= 0 && theNibble <= 9) return (char)('0' + theNibble);
  if (theNibble >= 10 && theNibble <= 15) return (char)('A' + theNibble - 10);
  return '*';
}

/* Upper-case only: lower-case hex is not valid in binary items. */
int digitValue(char theDigit) {
  if (theDigit >= '0' && theDigit <= '9') return theDigit - '0';
  if (theDigit >= 'A' && theDigit <= 'F') return theDigit - 'A' + 10;
  return -1;
}

/* TRUE when theText starts inside the stored string (its terminator included). */
bool pointsInto(const char *theText, const char *theStored) {
  if (theText == NULL || theStored == NULL) return false;
  uintptr_t at = (uintptr_t)theText, from = (uintptr_t)theStored;
  return at >= from && at <= from + strlen(theStored);
}

void releasePairValue(xPL_NameValuePairPtr thePair) {
  if (thePair->isBinary) {
    free(thePair->itemValue);
    thePair->isBinary = FALSE;
    thePair->binaryLength = 0;
  } else {
    xPL_FreeStr(thePair->itemValue);
  }
  thePair->itemValue = NULL;
}

/* The line is composed whole and written once, and cut to the buffer, never overrun. */
void writeLogLine(const char *thePrefix, const char *theFormat, va_list theArgs) {
  const size_t room = sizeof(logMessageBuffer) - 1; /* keep one byte for the line feed */
  time_t now = time(NULL);
  struct tm local;
  size_t used = 0;
  if (localtime_r(&now, &local) != NULL)
    used = strftime(logMessageBuffer, room, "%y/%m/%d %H:%M:%S ", &local);
  int wrote = snprintf(logMessageBuffer + used, room - used, "%s", thePrefix);
  if (wrote > 0) used += ((size_t)wrote < room - used) ? (size_t)wrote : room - used - 1;
  wrote = vsnprintf(logMessageBuffer + used, room - used, theFormat, theArgs);
  if (wrote > 0) used += ((size_t)wrote < room - used) ? (size_t)wrote : room - used - 1;
  logMessageBuffer[used++] = '\n';
  fwrite(logMessageBuffer, 1, used, stderr);
}

}  // namespace

/* Length decides before any character: xPL identifiers of different length never match. */
int xPL_compareIgnoreCase(const char *textA, size_t lenA, const char *textB, size_t lenB) {
  if (lenA < lenB) return -1;
  if (lenA > lenB) return 1;
  for (size_t i = 0; i < lenA; i++) {
    if (textA[i] == textB[i]) continue;
    /* signed 8-bit on purpose: bytes of 0x80 and up sort before ASCII */
    signed char a = (signed char)foldChar(textA[i]);
    signed char b = (signed char)foldChar(textB[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

/* ---- Lists -------------------------------------------------------------- */

xPL_NameValueListPtr xPL_newNamedValueList(void) {
  return xPL_AllocNVList();
}

void xPL_freeNamedValueList(xPL_NameValueListPtr theList) {
  if (theList == NULL) return;
  if (theList->namedValues != NULL) xPL_clearAllNamedValues(theList);
  xPL_FreeNVList(theList);
}

xPL_NameValuePairPtr appendPair(xPL_NameValueListPtr theList, String theName) {
  if (theList->namedValues == NULL || theList->namedValueCount >= theList->namedValueAlloc) {
    int newAlloc = theList->namedValueAlloc + NAMED_VALUE_GROW_BY;
    size_t theSize = sizeof(xPL_NameValuePairPtr) * (size_t)newAlloc;
    theList->namedValues =
        (xPL_NameValuePairPtr *)xPL_checkedAlloc(realloc(theList->namedValues, theSize), theSize);
    theList->namedValueAlloc = newAlloc;
  }
  xPL_NameValuePairPtr thePair = xPL_AllocNVPair();
  thePair->itemName = theName;
  theList->namedValues[theList->namedValueCount++] = thePair;
  return thePair;
}

xPL_NameValuePairPtr xPL_newNamedValuePair(xPL_NameValueListPtr theList, String theName) {
  if (theList == NULL || theName == NULL) return NULL;
  return appendPair(theList, xPL_StrDup(theName));
}

void xPL_addNamedValue(xPL_NameValueListPtr theList, String theName, String theValue) {
  xPL_NameValuePairPtr thePair = xPL_newNamedValuePair(theList, theName);
  if (thePair != NULL && theValue != NULL) thePair->itemValue = xPL_StrDup(theValue);
}

void xPL_setNamedValue(xPL_NameValueListPtr theList, String theName, String theValue) {
  xPL_NameValuePairPtr thePair = xPL_getNamedValuePair(theList, theName);
  if (thePair == NULL) {
    xPL_addNamedValue(theList, theName, theValue);
    return;
  }
  /* A value read from the text it replaces is copied first: once released,
   * the store may hand that very string out for the copy. */
  if (!thePair->isBinary && pointsInto(theValue, thePair->itemValue)) {
    String theCopy = xPL_StrDup(theValue);
    releasePairValue(thePair);
    thePair->itemValue = theCopy;
    return;
  }
  releasePairValue(thePair);
  if (theValue != NULL) thePair->itemValue = xPL_StrDup(theValue);
}

void xPL_setNamedValues(xPL_NameValueListPtr theList, ...) {
  va_list theArgs;
  va_start(theArgs, theList);
  for (;;) {
    String theName = va_arg(theArgs, String);
    if (theName == NULL) break;
    String theValue = va_arg(theArgs, String);
    xPL_setNamedValue(theList, theName, theValue);
  }
  va_end(theArgs);
}

int xPL_getNamedValueIndex(xPL_NameValueListPtr theList, String theName) {
  if (theList == NULL || theName == NULL) return -1;
  for (int i = 0; i < theList->namedValueCount; i++) {
    if (xPL_strcmpIgnoreCase(theList->namedValues[i]->itemName, theName) == 0) return i;
  }
  return -1;
}

xPL_NameValuePairPtr xPL_getNamedValuePair(xPL_NameValueListPtr theList, String theName) {
  int theIndex = xPL_getNamedValueIndex(theList, theName);
  return theIndex < 0 ? NULL : theList->namedValues[theIndex];
}

String xPL_getNamedValue(xPL_NameValueListPtr theList, String theName) {
  xPL_NameValuePairPtr thePair = xPL_getNamedValuePair(theList, theName);
  if (thePair == NULL || thePair->isBinary) return NULL;
  return thePair->itemValue;
}

Bool xPL_doesNamedValueExist(xPL_NameValueListPtr theList, String theName) {
  return xPL_getNamedValueIndex(theList, theName) >= 0 ? TRUE : FALSE;
}

int xPL_getNamedValueCount(xPL_NameValueListPtr theList) {
  return theList == NULL ? 0 : theList->namedValueCount;
}

xPL_NameValuePairPtr xPL_getNamedValuePairAt(xPL_NameValueListPtr theList, int listIndex) {
  if (theList == NULL || listIndex < 0 || listIndex >= theList->namedValueCount) return NULL;
  return theList->namedValues[listIndex];
}

void xPL_clearNamedValueAt(xPL_NameValueListPtr theList, int listIndex) {
  if (theList == NULL || theList->namedValues == NULL) return;
  if (listIndex < 0 || listIndex >= theList->namedValueCount) return;
  xPL_freeNamedValuePair(theList->namedValues[listIndex]);
  int following = theList->namedValueCount - listIndex - 1;
  if (following > 0) {
    memmove(&theList->namedValues[listIndex], &theList->namedValues[listIndex + 1],
            sizeof(xPL_NameValuePairPtr) * (size_t)following);
  }
  theList->namedValueCount--;
  theList->namedValues[theList->namedValueCount] = NULL;
}

void xPL_clearNamedValue(xPL_NameValueListPtr theList, String theName) {
  int theIndex;
  while ((theIndex = xPL_getNamedValueIndex(theList, theName)) >= 0) {
    xPL_clearNamedValueAt(theList, theIndex);
  }
}

void xPL_clearAllNamedValues(xPL_NameValueListPtr theList) {
  if (theList == NULL || theList->namedValueCount == 0) return;
  for (int i = 0; i < theList->namedValueCount; i++) {
    xPL_freeNamedValuePair(theList->namedValues[i]);
    theList->namedValues[i] = NULL;
  }
  theList->namedValueCount = 0;
}

void xPL_freeNamedValuePair(xPL_NameValuePairPtr thePair) {
  if (thePair == NULL) return;
  xPL_FreeStr(thePair->itemName);
  thePair->itemName = NULL;
  releasePairValue(thePair);
  xPL_FreeNVPair(thePair);
}

/* ---- Text and numbers --------------------------------------------------- */

void xPL_Upcase(String theText) {
  if (theText == NULL) return;
  for (; *theText != '\0'; theText++) *theText = (char)foldChar(*theText);
}

int xPL_strcmpIgnoreCase(const char *textA, const char *textB) {
  if (textA == NULL || textB == NULL) return (textA == textB) ? 0 : (textA == NULL ? -1 : 1);
  /* Texts that are the same byte for byte, the usual case, settled at once. */
  if (strcmp(textA, textB) == 0) return 0;
  return xPL_compareIgnoreCase(textA, strlen(textA), textB, strlen(textB));
}

int xPL_strncmpIgnoreCase(const char *textA, const char *textB, int maxChars) {
  if (textA == NULL || textB == NULL) return (textA == textB) ? 0 : (textA == NULL ? -1 : 1);
  size_t limit = maxChars < 0 ? 0 : (size_t)maxChars;
  return xPL_compareIgnoreCase(textA, strnlen(textA, limit), textB, strnlen(textB, limit));
}

String xPL_intToHex(int theValue) {
  convertBuffer[0] = nibbleDigit((theValue / 16) % 16);
  convertBuffer[1] = nibbleDigit(theValue % 16);
  convertBuffer[2] = '\0';
  return convertBuffer;
}

Bool xPL_hexToInt(const char *theHexValue, int *theValue) {
  if (theHexValue == NULL) return FALSE;
  int high = digitValue(theHexValue[0]);
  if (high < 0) return FALSE; /* also stops at a terminator before the second digit */
  int low = digitValue(theHexValue[1]);
  if (low < 0) return FALSE;
  if (theValue != NULL) *theValue = high * 16 + low;
  return TRUE;
}

Bool xPL_strToInt(const char *theText, int *theValue) {
  if (theText == NULL) return FALSE;
  char *theEnd = NULL;
  long parsed = strtol(theText, &theEnd, 10);
  if (theEnd == NULL || *theEnd != '\0') return FALSE;
  if (parsed > INT_MAX) parsed = INT_MAX;
  if (parsed < INT_MIN) parsed = INT_MIN;
  if (theValue != NULL) *theValue = (int)parsed;
  return TRUE;
}

String xPL_intToStr(int theValue) {
  snprintf(convertBuffer, sizeof(convertBuffer), "%d", theValue);
  return convertBuffer;
}

/* ---- Logging and switches ----------------------------------------------- */

void xPL_Debug(const char *theFormat, ...) {
  if (!xPL_DebugMode) return;
  va_list theArgs;
  va_start(theArgs, theFormat);
  writeLogLine("xPL_DEBUG: ", theFormat, theArgs);
  va_end(theArgs);
}

void xPL_Error(const char *theFormat, ...) {
  va_list theArgs;
  va_start(theArgs, theFormat);
  writeLogLine("ERROR: ", theFormat, theArgs);
  va_end(theArgs);
}

Bool xPL_isDebugging(void) {
  return xPL_DebugMode;
}

void xPL_setDebugging(Bool isDebugging) {
  xPL_DebugMode = isDebugging;
}

Bool xPL_parseCommonArgs(int *argc, String argv[], Bool silentErrors) {
  if (argc == NULL || argv == NULL || *argc <= 0) return TRUE;
  const int oldCount = *argc;
  int keptCount = 1; /* the program name never moves */
  Bool named = TRUE;
  for (int i = 1; i < oldCount; i++) {
    String theArg = argv[i];
    if (theArg != NULL && strcmp(theArg, "-interface") == 0) {
      /* A trailing or empty name names nothing: rather than quietly pick the
       * default interface, the caller gets FALSE and says so. */
      if (i + 1 < oldCount && argv[i + 1] != NULL && argv[i + 1][0] != '\0')
        xPL_setBroadcastInterface(argv[i + 1]);
      else
        named = FALSE;
      i++;
      continue;
    }
    if (theArg != NULL && strcmp(theArg, "-xpldebug") == 0) {
      xPL_setDebugging(TRUE);
      if (!silentErrors) xPL_Debug("xPL library debugging enabled");
      continue;
    }
    argv[keptCount++] = theArg;
  }
  if (keptCount < oldCount) argv[keptCount] = NULL;
  *argc = keptCount;
  return named;
}

xPL_ConnectType xPL_getParsedConnectionType(void) {
  return xPL_ParsedConnectionType;
}
