/* xPL-store.cpp - the recycling store of xPL records and strings.
 *
 * Released records wait on a free list per type, released strings on a free
 * list per exact length (0 to 255 characters), and are handed out again last
 * in, first out; so a daemon that handles the same message shapes over and
 * over stops calling the general allocator. Only LARGE strings (256
 * characters or more) go back to the system.
 */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

constexpr int CACHE_GROW_BY = 16;
constexpr int STRING_CACHE_SLOTS = 256; /* strings of 0 to 255 characters are cached */
/* Characters of a text a debug line may quote: no log line holds more. */
constexpr size_t QUOTED_TEXT_MAX = 512;

struct itemCache {
  void **cachedItems; /* released items, oldest first */
  int cacheAllocCount;
  int cacheCount;
};
typedef itemCache *itemCachePtr;

itemCachePtr NameValueCache = NULL;
itemCachePtr NameValueListCache = NULL;
itemCachePtr MessageCache = NULL;
itemCachePtr ServiceCache = NULL;
itemCachePtr StringCache[STRING_CACHE_SLOTS];

int totalNameValueAlloc = 0;
int totalNameValueListAlloc = 0;
int totalMessageAlloc = 0;
int totalServiceAlloc = 0;

[[noreturn]] void allocationFailed(size_t theSize) {
  xPL_Error("STORE:: Out of memory allocating %zu bytes -- exiting", theSize);
  exit(EXIT_FAILURE);
}

void *zeroedBlock(size_t theSize) {
  void *theBlock = calloc(1, theSize);
  if (theBlock == NULL) allocationFailed(theSize);
  return theBlock;
}

char *rawString(int stringLength) {
  char *theString = (char *)malloc((size_t)stringLength + 1);
  if (theString == NULL) allocationFailed((size_t)stringLength + 1);
  theString[0] = '\0';
  return theString;
}

itemCachePtr allocItemCache() {
  return (itemCachePtr)zeroedBlock(sizeof(itemCache));
}

void releaseItem(itemCachePtr theCache, void *theItem) {
  if (theCache->cacheCount == theCache->cacheAllocCount) {
    int newAlloc = theCache->cacheAllocCount + CACHE_GROW_BY;
    size_t theSize = sizeof(void *) * (size_t)newAlloc;
    theCache->cachedItems =
        (void **)xPL_checkedAlloc(realloc(theCache->cachedItems, theSize), theSize);
    theCache->cacheAllocCount = newAlloc;
  }
  theCache->cachedItems[theCache->cacheCount++] = theItem;
}

void *allocItem(itemCachePtr theCache) {
  if (theCache->cacheCount == 0) return NULL;
  theCache->cacheCount--;
  void *theItem = theCache->cachedItems[theCache->cacheCount];
  theCache->cachedItems[theCache->cacheCount] = NULL;
  return theItem;
}

void initCaches() {
  if (NameValueCache != NULL) return;
  NameValueCache = allocItemCache();
  NameValueListCache = allocItemCache();
  MessageCache = allocItemCache();
  ServiceCache = allocItemCache();
  for (int i = 0; i < STRING_CACHE_SLOTS; i++) StringCache[i] = NULL;
}

}  // namespace

/* Wraps an allocator call: xPL_checkedAlloc(realloc(p, n), n). A null result
 * for a non-empty request ends the process; there is no way to go on. */
void *xPL_checkedAlloc(void *thePointer, size_t theSize) {
  if (thePointer == NULL && theSize > 0) allocationFailed(theSize);
  return thePointer;
}

/* ---- Records ------------------------------------------------------------ */

xPL_NameValuePairPtr xPL_AllocNVPair(void) {
  initCaches();
  xPL_NameValuePairPtr thePair = (xPL_NameValuePairPtr)allocItem(NameValueCache);
  if (thePair == NULL) {
    thePair = (xPL_NameValuePairPtr)zeroedBlock(sizeof(xPL_NameValuePair));
    totalNameValueAlloc++;
    XPL_DEBUG("STORE:: Allocating new xPL_NameValuePair @ %p, now %d pairs allocated",
              (void *)thePair, totalNameValueAlloc);
    return thePair;
  }
  memset(thePair, 0, sizeof(xPL_NameValuePair));
  XPL_DEBUG("STORE:: Reused NameValuePair @ %p from cache", (void *)thePair);
  return thePair;
}

void xPL_FreeNVPair(xPL_NameValuePairPtr thePair) {
  if (thePair == NULL) return;
  initCaches();
  XPL_DEBUG("STORE:: Releasing NameValuePair @ %p back to cache pool", (void *)thePair);
  releaseItem(NameValueCache, thePair);
}

xPL_NameValueListPtr xPL_AllocNVList(void) {
  initCaches();
  xPL_NameValueListPtr theList = (xPL_NameValueListPtr)allocItem(NameValueListCache);
  if (theList == NULL) {
    theList = (xPL_NameValueListPtr)zeroedBlock(sizeof(xPL_NameValueList));
    totalNameValueListAlloc++;
    XPL_DEBUG("STORE:: Allocating new xPL_NameValueList @ %p, now %d lists allocted",
              (void *)theList, totalNameValueListAlloc);
    return theList;
  }
  /* the slot array comes along so a reused list needs no new one */
  theList->namedValueCount = 0;
  XPL_DEBUG("STORE:: Reused NameValueList @ %p from cache", (void *)theList);
  return theList;
}

void xPL_FreeNVList(xPL_NameValueListPtr theList) {
  if (theList == NULL) return;
  initCaches();
  XPL_DEBUG("STORE:: Releasing NameValueList @ %p back to cache pool", (void *)theList);
  releaseItem(NameValueListCache, theList);
}

xPL_MessagePtr xPL_AllocMessage(void) {
  initCaches();
  xPL_MessagePtr theMessage = (xPL_MessagePtr)allocItem(MessageCache);
  if (theMessage == NULL) {
    theMessage = (xPL_MessagePtr)zeroedBlock(sizeof(xPL_Message));
    totalMessageAlloc++;
    XPL_DEBUG("STORE:: Allocated new xPL_Message, now %d messages allocated", totalMessageAlloc);
    return theMessage;
  }
  /* handed out as xPL_releaseMessage left it: zeroed but for its emptied body list */
  XPL_DEBUG("STORE:: Reused xPL_Message @ %p from cache", (void *)theMessage);
  return theMessage;
}

void xPL_FreeMessage(xPL_MessagePtr theMessage) {
  if (theMessage == NULL) return;
  initCaches();
  XPL_DEBUG("STORE:: Relesing xPL_Message @ %p back to cache pool", (void *)theMessage);
  releaseItem(MessageCache, theMessage);
}

xPL_ServicePtr xPL_AllocService(void) {
  initCaches();
  xPL_ServicePtr theService = (xPL_ServicePtr)allocItem(ServiceCache);
  if (theService == NULL) {
    theService = (xPL_ServicePtr)zeroedBlock(sizeof(xPL_Service));
    totalServiceAlloc++;
    XPL_DEBUG("STORE:: Allocated new xPL_Service, now %d services allocated", totalServiceAlloc);
    return theService;
  }
  memset(theService, 0, sizeof(xPL_Service));
  XPL_DEBUG("STORE:: Reused xPL_Service @ %p from cache", (void *)theService);
  return theService;
}

void xPL_FreeService(xPL_ServicePtr theService) {
  if (theService == NULL) return;
  initCaches();
  XPL_DEBUG("STORE:: Releasing xPL_Service @ %p back to cache pool", (void *)theService);
  releaseItem(ServiceCache, theService);
}

/* ---- Strings ------------------------------------------------------------ */

String xPL_StrAlloc(int stringLength) {
  initCaches();
  if (stringLength < 0) return NULL;
  String theString;
  if (stringLength >= STRING_CACHE_SLOTS) {
    theString = rawString(stringLength);
    XPL_DEBUG("STORE:: Allocating entirely new LARGE string @ %p (LEN=%d)", (void *)theString,
              stringLength);
    return theString;
  }
  if (StringCache[stringLength] == NULL) {
    theString = rawString(stringLength);
    XPL_DEBUG("STORE:: Cache Empty, Allocating entirely new string @ %p (LEN=%d)",
              (void *)theString, stringLength);
    return theString;
  }
  theString = (String)allocItem(StringCache[stringLength]);
  if (theString == NULL) {
    theString = rawString(stringLength);
    XPL_DEBUG("STORE:: No Cache Entry found, Allocating entirely new string @ %p (LEN=%d)",
              (void *)theString, stringLength);
    return theString;
  }
  theString[0] = '\0';
  XPL_DEBUG("STORE:: Reusing cache entry for String @ %p (LEN=%d)", (void *)theString,
            stringLength);
  return theString;
}

String xPL_StrDup(const char *theString) {
  if (theString == NULL) return NULL;
  size_t theLength = strlen(theString);
  /* lengths travel as int: a longer text would be copied into a short block */
  if (theLength >= (size_t)INT_MAX) allocationFailed(theLength + 1);
  String theCopy = xPL_StrAlloc((int)theLength);
  memcpy(theCopy, theString, theLength + 1);
  XPL_DEBUG("STORE:: Duped string [%s] (%d bytes)", theString, (int)theLength);
  return theCopy;
}

String xPL_StrNDup(const char *theString, int maxChars) {
  if (theString == NULL) return NULL;
  size_t limit = maxChars < 0 ? 0 : (size_t)maxChars;
  size_t theLength = strnlen(theString, limit);
  String theCopy = xPL_StrAlloc((int)theLength);
  memcpy(theCopy, theString, theLength);
  theCopy[theLength] = '\0';
  /* The whole text the copy was taken from, read no further than a log
   * line can show. */
  XPL_DEBUG("STORE:: Duped string [%.*s] (%d bytes copied, %d bytes max)",
            (int)strnlen(theString, QUOTED_TEXT_MAX), theString, (int)theLength, maxChars);
  return theCopy;
}

void xPL_FreeStr(String theString) {
  if (theString == NULL) return;
  initCaches();
  /* the current length, not the room it was given, picks the slot: a reused
   * string for length L then always has room for L characters */
  size_t theLength = strlen(theString);
  if (theLength >= (size_t)STRING_CACHE_SLOTS) {
    XPL_DEBUG("STORE:: Permanently releasing large string @ %p, [%s]", (void *)theString,
              theString);
    free(theString);
    return;
  }
  if (StringCache[theLength] == NULL) {
    XPL_DEBUG("STORE:: Allocating new cache for strings %d characters long", (int)theLength);
    StringCache[theLength] = allocItemCache();
  }
  XPL_DEBUG("STORE:: Releasing string @ %p to cache -- [%s] (LEN=%d, CNT=%d)", (void *)theString,
            theString, (int)theLength, StringCache[theLength]->cacheCount);
  releaseItem(StringCache[theLength], theString);
}
