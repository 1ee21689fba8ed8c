/* xPL-config.cpp - configurable services: items and values, the config.*
 * protocol (list, current, response), filter text, and the service
 * configuration file that keeps a received configuration across restarts.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

// Longest item name: config.list announces "name[max]" and the file keeps
// the same text on one definition line.
constexpr size_t CONFIG_NAME_MAX = 127;
// Room for "name[max]": the name, brackets and an int's digits.
constexpr size_t CONFIG_DEFINITION_SIZE = CONFIG_NAME_MAX + 16;
// The file is read in pieces of this size; a longer line reads as several.
constexpr size_t CONFIG_LINE_SIZE = 2048;
// config.current carries the interval in minutes as at most 7 characters.
constexpr int INTERVAL_MINUTES_MAX = 9999999;
constexpr int INTERVAL_MINUTES_MIN = -999999;
// An instance ID goes into every heartbeat and reply: 1 to 16 letters,
// digits or hyphens, so that every message we send still fits.
constexpr size_t INSTANCE_ID_MAX = 16;
constexpr int CONFIG_GROW_STEP = 4;
// Symbolic links followed to the file a save writes, as the kernel does.
constexpr int LINK_HOPS_MAX = 40;
constexpr int CONFIG_VALUE_GROW_MAX = 8;

// Lets value changes through on an enabled service while an installation
// runs; installations never nest.
Bool configurationBeingInstalled = FALSE;

String S(const char *text) {
  return const_cast<String>(text);
}

const char *typeKeyword(xPL_ConfigurableType itemType) {
  switch (itemType) {
    case xPL_CONFIG_MANDATORY:
      return "config";
    case xPL_CONFIG_RECONF:
      return "reconf";
    case xPL_CONFIG_OPTIONAL:
    default:
      return "option";
  }
}

void freeString(String *theString) {
  if (*theString != NULL) {
    xPL_FreeStr(*theString);
    *theString = NULL;
  }
}

void freeItemValues(xPL_ServiceConfigurablePtr theItem) {
  for (int i = 0; i < theItem->valueCount; i++) freeString(&theItem->valueList[i]);
  theItem->valueCount = 0;
}

void freeItem(xPL_ServiceConfigurablePtr theItem) {
  freeItemValues(theItem);
  free(theItem->valueList);
  theItem->valueList = NULL;
  theItem->valueAllocCount = 0;
  freeString(&theItem->itemName);
}

Bool valuesLocked(xPL_ServicePtr theService) {
  return theService->serviceEnabled && !configurationBeingInstalled;
}

// Grows a record array by a fixed step, zeroing the new records.
template <typename T>
void growArray(T **theArray, int *allocCount, int step) {
  size_t newCount = (size_t)*allocCount + (size_t)step;
  size_t newSize = newCount * sizeof(T);
  T *grown = (T *)xPL_checkedAlloc(realloc(*theArray, newSize), newSize);
  memset(grown + *allocCount, 0, (size_t)step * sizeof(T));
  *theArray = grown;
  *allocCount = (int)newCount;
}

// Names the file can hold on one line and messages can carry unambiguously:
// not empty, at most CONFIG_NAME_MAX characters, no "=" (it splits file
// lines and items), no "[" (it starts the maximum), no "!" (a receiver takes
// the item for binary and drops the message), no "}" (it ends the block),
// no line breaks.
Bool isUsableItemName(const char *itemName) {
  size_t nameLength = strlen(itemName);
  if (nameLength == 0 || nameLength > CONFIG_NAME_MAX) return FALSE;
  return strpbrk(itemName, "=[!}\r\n") == NULL;
}

Bool isValidInstanceID(const char *instanceID) {
  size_t idLength = strlen(instanceID);
  if (idLength == 0 || idLength > INSTANCE_ID_MAX) return FALSE;
  for (size_t i = 0; i < idLength; i++) {
    unsigned char c = (unsigned char)instanceID[i];
    if (!(c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
      return FALSE;
  }
  return TRUE;
}

Bool hasLineFeed(const char *theText) {
  return theText != NULL && strchr(theText, '\n') != NULL;
}

/* ---- Filter text ------------------------------------------------------- */

// A filter's first field: the type's word, or "*" for any type.
const char *messageTypeText(xPL_MessageType theType) {
  const char *theWord = xPL_messageTypeWord(theType);
  return theWord != NULL ? theWord : "*";
}

String formatFilter(xPL_ServiceFilterPtr theFilter) {
  std::string filterText = messageTypeText(theFilter->matchOnMessageType);
  const char *fields[] = {theFilter->matchOnVendor, theFilter->matchOnDeviceID,
                          theFilter->matchOnInstanceID, theFilter->matchOnSchemaClass,
                          theFilter->matchOnSchemaType};
  for (const char *field : fields) {
    filterText += '.';
    filterText += field == NULL ? "*" : field;
  }
  return xPL_StrDup(filterText.c_str());
}

// A field starting with "*" is a wildcard (null); anything else is copied.
String filterField(const char *fieldStart, size_t fieldLength) {
  if (fieldLength > 0 && fieldStart[0] == '*') return NULL;
  return xPL_StrDup(std::string(fieldStart, fieldLength).c_str());
}

Bool parseFilter(const char *filterText, xPL_ServiceFilterPtr theFilter) {
  const char *dots[5];
  const char *searchFrom = filterText;
  for (int i = 0; i < 5; i++) {
    dots[i] = strchr(searchFrom, '.');
    if (dots[i] == NULL) return FALSE;
    searchFrom = dots[i] + 1;
  }

  // The type is read from the first eight characters, whatever follows them.
  xPL_MessageType matchType = xPL_MESSAGE_ANY;
  if (filterText[0] != '*') {
    matchType = xPL_messageTypeOfWord(filterText, strnlen(filterText, 8));
    if (matchType == xPL_MESSAGE_ANY) return FALSE;
  }

  theFilter->matchOnMessageType = matchType;
  String *fields[] = {&theFilter->matchOnVendor, &theFilter->matchOnDeviceID,
                      &theFilter->matchOnInstanceID, &theFilter->matchOnSchemaClass};
  for (int i = 0; i < 4; i++) {
    const char *fieldStart = dots[i] + 1;
    *fields[i] = filterField(fieldStart, (size_t)(dots[i + 1] - fieldStart));
  }
  // The schema type is the rest of the text; it may hold further dots.
  const char *typeStart = dots[4] + 1;
  theFilter->matchOnSchemaType = filterField(typeStart, strlen(typeStart));
  return TRUE;
}

/* ---- Item definitions -------------------------------------------------- */

// A name that is empty or a leading part of a standard item's name stands
// for that standard item (the file's first four definition lines).
Bool isStandardItemName(const char *itemName) {
  static const char *const standardNames[] = {"newconf", "interval", "filter", "group"};
  size_t nameLength = strlen(itemName);
  for (const char *standardName : standardNames) {
    if (nameLength <= strlen(standardName) &&
        xPL_strncmpIgnoreCase(itemName, standardName, (int)nameLength) == 0)
      return TRUE;
  }
  return FALSE;
}

Bool parseConfigDefinition(xPL_ServicePtr theService, const char *theText,
                           xPL_ConfigurableType itemType) {
  std::string itemName = theText;
  int maxValues = 1;

  const char *openBracket = strchr(theText, '[');
  if (openBracket != NULL) {
    itemName.assign(theText, (size_t)(openBracket - theText));
    char *numberEnd = NULL;
    long maxRead = strtol(openBracket + 1, &numberEnd, 10);
    if (*numberEnd != ']') {
      xPL_Error("CONFIG:: Bad defintion for config=%s[%s -- item ignored", theText,
                openBracket + 1);
      return FALSE;
    }
    if (maxRead > INT_MAX) maxRead = INT_MAX;
    maxValues = maxRead <= 0 ? 1 : (int)maxRead;
  }

  if (isStandardItemName(itemName.c_str())) return TRUE;

  if (!xPL_addServiceConfigurable(theService, S(itemName.c_str()), itemType, maxValues)) {
    xPL_Error("CONFIG:: Unable to define configurable %s -- item ignored", theText);
    return FALSE;
  }
  xPL_Debug("CONFIG:: Added new configurable item %s", theText);
  return TRUE;
}

/* ---- Installing a configuration ---------------------------------------- */

void addFilterText(xPL_ServicePtr theService, const char *filterText) {
  xPL_ServiceFilter parsedFilter;
  memset(&parsedFilter, 0, sizeof(parsedFilter));
  if (!parseFilter(filterText, &parsedFilter)) return;
  if (theService->filterCount == theService->filterAllocCount)
    growArray(&theService->messageFilterList, &theService->filterAllocCount, CONFIG_GROW_STEP);
  theService->messageFilterList[theService->filterCount++] = parsedFilter;
  xPL_Debug("CONFIG:: Added new filter %s to service\n", filterText);
}

void addGroup(xPL_ServicePtr theService, const char *groupName) {
  if (theService->groupCount == theService->groupAllocCount)
    growArray(&theService->groupList, &theService->groupAllocCount, CONFIG_GROW_STEP);
  theService->groupList[theService->groupCount++] = xPL_StrDup(groupName);
  xPL_Debug("CONFIG:: Added new group %s to service\n", groupName);
}

void installNewConfig(xPL_ServicePtr theService, xPL_NameValueListPtr configList,
                      Bool allowDefinitions) {
  Bool wasEnabled = theService->serviceEnabled;
  Bool wasWaiting = theService->configurableService && !theService->serviceConfigured;
  Bool hasNewInterval = FALSE;
  int newInterval = 0;
  Bool restart = FALSE;
  const char *newInstanceID = NULL;
  Bool filterSeen = FALSE;
  Bool groupSeen = FALSE;

  configurationBeingInstalled = TRUE;
  xPL_clearAllServiceConfigValues(theService);

  int pairCount = xPL_getNamedValueCount(configList);
  for (int pairIndex = 0; pairIndex < pairCount; pairIndex++) {
    xPL_NameValuePairPtr thePair = xPL_getNamedValuePairAt(configList, pairIndex);
    if (thePair == NULL || thePair->itemName == NULL) continue;
    const char *itemName = thePair->itemName;
    // A binary item carries bytes, not text; it is no usable setting.
    if (thePair->isBinary) {
      xPL_Debug("CONFIG::    UNABLE to add/set that configuration value!\n");
      continue;
    }
    const char *valueText = thePair->itemValue == NULL ? "" : thePair->itemValue;

    if (xPL_strcmpIgnoreCase(itemName, "config") == 0) {
      if (allowDefinitions) parseConfigDefinition(theService, valueText, xPL_CONFIG_MANDATORY);
    } else if (xPL_strcmpIgnoreCase(itemName, "reconf") == 0) {
      if (allowDefinitions) parseConfigDefinition(theService, valueText, xPL_CONFIG_RECONF);
    } else if (xPL_strcmpIgnoreCase(itemName, "option") == 0) {
      if (allowDefinitions) parseConfigDefinition(theService, valueText, xPL_CONFIG_OPTIONAL);
    } else if (xPL_strcmpIgnoreCase(itemName, "newconf") == 0) {
      if (!isValidInstanceID(valueText)) {
        xPL_Error(
            "CONFIG:: Instance ID [%.40s] is not 1 to %d letters, digits or hyphens -- ignored",
            valueText, (int)INSTANCE_ID_MAX);
        continue;
      }
      // Instance IDs compare case-sensitively here: a case-only change is a
      // new identity on the wire and restarts the service.
      if (theService->serviceInstanceID == NULL ||
          strcmp(valueText, theService->serviceInstanceID) != 0) {
        newInstanceID = valueText;
        xPL_Debug("CONFIG:: Got new instanceID %s for service -- will restart service\n",
                  valueText);
        restart = TRUE;
      }
    } else if (xPL_strcmpIgnoreCase(itemName, "interval") == 0) {
      int intervalMinutes;
      if (!xPL_strToInt(valueText, &intervalMinutes)) continue;
      if (intervalMinutes > INTERVAL_MINUTES_MAX || intervalMinutes < INTERVAL_MINUTES_MIN) {
        xPL_Debug("CONFIG::    UNABLE to add/set that configuration value!\n");
        continue;
      }
      int intervalSeconds = intervalMinutes * 60;
      if (intervalSeconds == theService->heartbeatInterval) {
        hasNewInterval = FALSE;
      } else {
        hasNewInterval = TRUE;
        newInterval = intervalSeconds;
        xPL_Debug("CONFIG:: Got new interval of %d for service -- will restart service\n",
                  intervalSeconds);
        restart = TRUE;
      }
    } else if (xPL_strcmpIgnoreCase(itemName, "filter") == 0) {
      if (!filterSeen) {
        xPL_clearServiceFilters(theService);
        filterSeen = TRUE;
      }
      if (valueText[0] != '\0') addFilterText(theService, valueText);
    } else if (xPL_strcmpIgnoreCase(itemName, "group") == 0) {
      if (!groupSeen) {
        xPL_clearServiceGroups(theService);
        groupSeen = TRUE;
      }
      if (valueText[0] != '\0') addGroup(theService, valueText);
    } else {
      xPL_Debug("CONFIG:: About to update configurable %s with value %s\n", itemName, valueText);
      if (!xPL_addServiceConfigValue(theService, S(itemName), S(valueText)))
        xPL_Debug("CONFIG::    UNABLE to add/set that configuration value!\n");
    }
  }

  configurationBeingInstalled = FALSE;

  Bool restartNow = wasEnabled && restart;
  if (restartNow) {
    xPL_Debug("CONFIG:: Stopping service to restart later for new instance/interval change\n");
    xPL_setServiceEnabled(theService, FALSE);
  }
  if (newInstanceID != NULL) {
    String oldInstanceID = theService->serviceInstanceID;
    theService->serviceInstanceID = xPL_StrDup(newInstanceID);
    if (oldInstanceID != NULL) xPL_FreeStr(oldInstanceID);
  }
  if (hasNewInterval) theService->heartbeatInterval = newInterval;
  theService->serviceConfigured = TRUE;

  if (!allowDefinitions) xPL_saveServiceConfig(theService);
  if (restartNow) {
    xPL_setServiceEnabled(theService, TRUE);
  } else if (wasEnabled && wasWaiting) {
    // The cached config.app heartbeat would go on announcing one minute at
    // the configured interval, and hubs drop us between two of them.
    renewHeartbeat(theService);
  }
  xPL_Debug("CONFIG:: Restarted service with new parameters");
  if (wasEnabled && !allowDefinitions) xPL_dispatchServiceConfigChangedEvent(theService);
}

/* ---- The config.* protocol --------------------------------------------- */

void sendServiceConfigList(xPL_ServicePtr theService) {
  xPL_MessagePtr theMessage = xPL_createBroadcastMessage(theService, xPL_MESSAGE_STATUS);
  if (theMessage == NULL) return;
  xPL_setSchema(theMessage, S("config"), S("list"));
  xPL_addMessageNamedValue(theMessage, S("reconf"), S("newconf"));
  xPL_addMessageNamedValue(theMessage, S("reconf"), S("interval"));
  xPL_addMessageNamedValue(theMessage, S("option"), S("group[255]"));
  xPL_addMessageNamedValue(theMessage, S("option"), S("filter[255]"));
  for (int i = 0; i < theService->configCount; i++) {
    xPL_ServiceConfigurablePtr theItem = &theService->configList[i];
    if (theItem->maxValueCount > 1) {
      char definition[CONFIG_DEFINITION_SIZE];
      snprintf(definition, sizeof(definition), "%s[%d]", theItem->itemName, theItem->maxValueCount);
      xPL_addMessageNamedValue(theMessage, S(typeKeyword(theItem->itemType)), definition);
    } else {
      xPL_addMessageNamedValue(theMessage, S(typeKeyword(theItem->itemType)), theItem->itemName);
    }
  }
  xPL_sendMessage(theMessage);
  xPL_releaseMessage(theMessage);
}

void sendServiceCurrentConfig(xPL_ServicePtr theService) {
  xPL_MessagePtr theMessage = xPL_createBroadcastMessage(theService, xPL_MESSAGE_STATUS);
  if (theMessage == NULL) return;
  xPL_setSchema(theMessage, S("config"), S("current"));
  xPL_addMessageNamedValue(theMessage, S("newconf"), theService->serviceInstanceID);
  xPL_addMessageNamedValue(theMessage, S("interval"),
                           xPL_intToStr(theService->heartbeatInterval / 60));

  if (theService->groupCount == 0) xPL_addMessageNamedValue(theMessage, S("group"), NULL);
  for (int i = 0; i < theService->groupCount; i++)
    xPL_addMessageNamedValue(theMessage, S("group"), theService->groupList[i]);

  if (theService->filterCount == 0) xPL_addMessageNamedValue(theMessage, S("filter"), NULL);
  for (int i = 0; i < theService->filterCount; i++) {
    String filterText = formatFilter(&theService->messageFilterList[i]);
    xPL_addMessageNamedValue(theMessage, S("filter"), filterText);
    xPL_FreeStr(filterText);
  }

  for (int i = 0; i < theService->configCount; i++) {
    xPL_ServiceConfigurablePtr theItem = &theService->configList[i];
    Bool anyValue = FALSE;
    for (int v = 0; v < theItem->valueCount; v++) {
      if (theItem->valueList[v] == NULL) continue;
      xPL_addMessageNamedValue(theMessage, theItem->itemName, theItem->valueList[v]);
      anyValue = TRUE;
    }
    if (!anyValue) xPL_addMessageNamedValue(theMessage, theItem->itemName, NULL);
  }
  xPL_sendMessage(theMessage);
  xPL_releaseMessage(theMessage);
}

void configHandler(xPL_ServicePtr theService, xPL_MessagePtr theMessage, xPL_ObjectPtr) {
  if (xPL_getMessageType(theMessage) != xPL_MESSAGE_COMMAND) return;
  const char *schemaType = xPL_getSchemaType(theMessage);
  if (schemaType == NULL) return;
  const char *commandText = xPL_getMessageNamedValue(theMessage, S("command"));
  Bool isRequest = commandText != NULL && xPL_strcmpIgnoreCase(commandText, "request") == 0;

  if (xPL_strcmpIgnoreCase(schemaType, "list") == 0) {
    if (isRequest) sendServiceConfigList(theService);
  } else if (xPL_strcmpIgnoreCase(schemaType, "current") == 0) {
    if (isRequest) sendServiceCurrentConfig(theService);
  } else if (xPL_strcmpIgnoreCase(schemaType, "response") == 0) {
    if (theService->configLocked) {
      xPL_Debug("CONFIG:: Configuration locked -- response ignored");
      return;
    }
    installNewConfig(theService, xPL_getMessageBody(theMessage), FALSE);
  }
}

/* ---- The configuration file -------------------------------------------- */

struct FileCloser {
  void operator()(FILE *theFile) const {
    if (theFile != NULL) fclose(theFile);
  }
};

// Writes "name=value\n"; a text holding a line feed would split into lines
// that read back as other entries, so it is left out.
Bool writeConfigLine(FILE *theFile, const char *itemName, const char *itemValue) {
  if (hasLineFeed(itemName) || hasLineFeed(itemValue)) {
    xPL_Debug("CONFIG:: Value of %s holds a line feed -- not saved", itemName);
    return TRUE;
  }
  return fprintf(theFile, "%s=%s\n", itemName, itemValue == NULL ? "" : itemValue) >= 0;
}

Bool writeConfigBody(FILE *theFile, xPL_ServicePtr theService) {
  Bool ok =
      fprintf(theFile, "[%s-%s]\n", theService->serviceVendor, theService->serviceDeviceID) >= 0;
  ok = ok && fputs("reconf=newconf\nreconf=interval\noption=group[255]\noption=filter[255]\n",
                   theFile) >= 0;

  for (int i = 0; ok && i < theService->configCount; i++) {
    xPL_ServiceConfigurablePtr theItem = &theService->configList[i];
    std::string definition = typeKeyword(theItem->itemType);
    definition += '=';
    definition += theItem->itemName;
    if (theItem->maxValueCount > 1)
      definition += "[" + std::to_string(theItem->maxValueCount) + "]";
    definition += '\n';
    ok = fputs(definition.c_str(), theFile) >= 0;
  }

  ok = ok && writeConfigLine(theFile, "newconf", theService->serviceInstanceID);
  ok = ok && fprintf(theFile, "interval=%d\n", theService->heartbeatInterval / 60) >= 0;

  if (ok && theService->filterCount == 0) ok = fputs("filter=\n", theFile) >= 0;
  for (int i = 0; ok && i < theService->filterCount; i++) {
    String filterText = formatFilter(&theService->messageFilterList[i]);
    ok = writeConfigLine(theFile, "filter", filterText);
    xPL_FreeStr(filterText);
  }

  if (ok && theService->groupCount == 0) ok = fputs("group=\n", theFile) >= 0;
  for (int i = 0; ok && i < theService->groupCount; i++)
    ok = writeConfigLine(theFile, "group", theService->groupList[i]);

  for (int i = 0; ok && i < theService->configCount; i++) {
    xPL_ServiceConfigurablePtr theItem = &theService->configList[i];
    for (int v = 0; ok && v < theItem->valueCount; v++) {
      if (theItem->valueList[v] == NULL) continue;
      ok = writeConfigLine(theFile, theItem->itemName, theItem->valueList[v]);
    }
  }
  return ok;
}

const char TEMP_INFIX[] = ".new-"; /* the new file: <name>.new-<pid>-<counter> */

// The directory part of a path, with its slash, or "" for a bare name.
std::string directoryOf(const std::string &fileName) {
  size_t slash = fileName.rfind('/');
  return slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
}

// The writer of a new file of ours, from its name; 0 when the name is not
// exactly <base>.new-<pid>-<counter>.
pid_t tempFileWriter(const char *entryName, const std::string &prefix) {
  if (strncmp(entryName, prefix.c_str(), prefix.size()) != 0) return 0;
  const char *at = entryName + prefix.size();
  char *end = NULL;
  errno = 0;
  long pid = strtol(at, &end, 10);
  if (errno != 0 || end == at || *end != '-' || pid <= 0 || pid > INT_MAX || at[0] < '0' ||
      at[0] > '9')
    return 0;
  const char *counter = end + 1;
  if (*counter == '\0' || strspn(counter, "0123456789") != strlen(counter)) return 0;
  return (pid_t)pid;
}

// A save that was killed midway leaves its new file behind; they would
// pile up for good. Removes those whose writer no longer exists, and never
// the file of a process that may still be writing it.
void removeStaleTempFiles(const std::string &fileName) {
  if (fileName.empty()) return;
  const std::string dirName = directoryOf(fileName);
  const std::string prefix = fileName.substr(dirName.size()) + TEMP_INFIX;
  DIR *dir = opendir(dirName.empty() ? "." : dirName.c_str());
  if (dir == NULL) return;
  while (struct dirent *entry = readdir(dir)) {
    pid_t writer = tempFileWriter(entry->d_name, prefix);
    if (writer == 0 || kill(writer, 0) == 0 || errno != ESRCH) continue;
    const std::string stale = dirName + entry->d_name;
    if (unlink(stale.c_str()) == 0)
      xPL_Debug("CONFIG:: Removed %s, left by a save that did not finish", stale.c_str());
  }
  closedir(dir);
}

// Creates the new file beside the old one under an unused name. The kernel
// applies the process's umask to it, as to a file written in place; an
// existing file's permissions are carried over.
int createFileBeside(const std::string &fileName, std::string *tempName) {
  static unsigned tempCounter = 0;
  int tempFD = -1;
  for (int attempt = 0; attempt < 100 && tempFD < 0; attempt++) {
    *tempName =
        fileName + TEMP_INFIX + std::to_string(getpid()) + "-" + std::to_string(tempCounter++);
    tempFD = open(tempName->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (tempFD < 0 && errno != EEXIST) break;
  }
  if (tempFD < 0) return -1;
  struct stat oldFile;
  if (stat(fileName.c_str(), &oldFile) == 0) fchmod(tempFD, oldFile.st_mode & 07777);
  return tempFD;
}

// The file a save replaces. A symbolic link is written through, as an
// in-place rewrite would: the file it names is replaced, or created when
// the link dangles, and the user's link stays. Empty, with errno ELOOP,
// for links that never end in a file name.
std::string fileWrittenFor(const char *configFileName) {
  std::string path = configFileName;
  for (int hop = 0; hop < LINK_HOPS_MAX; hop++) {
    struct stat linkInfo;
    if (lstat(path.c_str(), &linkInfo) != 0 || !S_ISLNK(linkInfo.st_mode)) return path;
    char target[PATH_MAX];
    ssize_t targetLength = readlink(path.c_str(), target, sizeof(target) - 1);
    if (targetLength <= 0) return path;
    target[targetLength] = '\0';
    // A relative target is relative to the directory that holds the link.
    path = target[0] == '/' ? std::string(target) : directoryOf(path) + target;
  }
  errno = ELOOP;
  return std::string();
}

// Makes the rename itself durable; the configuration is already complete
// in either name, so a failure here loses nothing but the ordering.
void syncDirectoryOf(const std::string &fileName) {
  const std::string dirName = directoryOf(fileName);
  int dirFD = open(dirName.empty() ? "." : dirName.c_str(), O_RDONLY | O_DIRECTORY);
  if (dirFD < 0) return;
  fsync(dirFD);
  close(dirFD);
}

}  // namespace

/* ---- Creating a configurable service ----------------------------------- */

xPL_ServicePtr xPL_createConfigurableService(String vendorName, String deviceID,
                                             String localConfigFile) {
  xPL_ServicePtr theService = xPL_createService(vendorName, deviceID, NULL);
  if (theService == NULL) return NULL;
  theService->configurableService = TRUE;
  theService->serviceConfigured = FALSE;
  if (localConfigFile != NULL) xPL_setServiceConfigFile(theService, localConfigFile);
  xPL_addServiceListener(theService, configHandler, xPL_MESSAGE_ANY, S("config"), NULL, NULL);
  if (theService->configFileName != NULL) xPL_loadServiceConfig(theService);
  return theService;
}

Bool xPL_isConfigurableService(xPL_ServicePtr theService) {
  return theService->configurableService;
}

Bool xPL_isServiceConfigured(xPL_ServicePtr theService) {
  return theService->serviceConfigured;
}

void xPL_setServiceConfigLocked(xPL_ServicePtr theService, Bool locked) {
  if (theService != NULL) theService->configLocked = locked;
}

/* ---- Items ------------------------------------------------------------- */

xPL_ServiceConfigurablePtr xPL_findServiceConfigurable(xPL_ServicePtr theService, String itemName) {
  if (theService == NULL || itemName == NULL) return NULL;
  for (int i = 0; i < theService->configCount; i++) {
    if (xPL_strcmpIgnoreCase(theService->configList[i].itemName, itemName) == 0)
      return &theService->configList[i];
  }
  return NULL;
}

Bool xPL_addServiceConfigurable(xPL_ServicePtr theService, String itemName,
                                xPL_ConfigurableType itemType, int maxValues) {
  if (itemName == NULL || theService->serviceEnabled) return FALSE;
  if (xPL_findServiceConfigurable(theService, itemName) != NULL) return FALSE;
  if (!isUsableItemName(itemName)) {
    xPL_Error(
        "CONFIG:: Configurable name [%.40s] is empty, longer than %d characters or holds "
        "=, [, !, } or a line break -- refused",
        itemName, (int)CONFIG_NAME_MAX);
    return FALSE;
  }

  if (theService->configCount == theService->configAllocCount)
    growArray(&theService->configList, &theService->configAllocCount, CONFIG_GROW_STEP);
  xPL_ServiceConfigurablePtr theItem = &theService->configList[theService->configCount++];
  memset(theItem, 0, sizeof(*theItem));
  theItem->itemName = xPL_StrDup(itemName);
  theItem->itemType = itemType;
  theItem->maxValueCount = maxValues <= 0 ? 1 : maxValues;
  xPL_Debug("CONFIG:: Added configurable [%s] (%s), TYPE=%d, MAX_VALUES=%d", theItem->itemName,
            itemName, (int)itemType, theItem->maxValueCount);
  return TRUE;
}

Bool xPL_removeServiceConfigurable(xPL_ServicePtr theService, String itemName) {
  if (theService->serviceEnabled) return FALSE;
  xPL_ServiceConfigurablePtr theItem = xPL_findServiceConfigurable(theService, itemName);
  if (theItem == NULL) return FALSE;
  freeItem(theItem);
  int itemIndex = (int)(theItem - theService->configList);
  int laterCount = theService->configCount - itemIndex - 1;
  if (laterCount > 0)
    memmove(theItem, theItem + 1, (size_t)laterCount * sizeof(xPL_ServiceConfigurable));
  theService->configCount--;
  memset(&theService->configList[theService->configCount], 0, sizeof(xPL_ServiceConfigurable));
  return TRUE;
}

void xPL_removeAllServiceConfigurables(xPL_ServicePtr theService) {
  if (theService->serviceEnabled) return;
  for (int i = 0; i < theService->configCount; i++) freeItem(&theService->configList[i]);
  theService->configCount = 0;
}

void xPL_releaseServiceConfigurables(xPL_ServicePtr theService) {
  if (theService == NULL || theService->serviceEnabled) return;
  xPL_removeAllServiceConfigurables(theService);
  free(theService->configList);
  theService->configList = NULL;
  theService->configCount = 0;
  theService->configAllocCount = 0;
  freeString(&theService->configFileName);
  free(theService->changedListenerList);
  theService->changedListenerList = NULL;
  theService->configChangedCount = 0;
  theService->configChangedAllocCount = 0;
}

/* ---- Values ------------------------------------------------------------ */

void xPL_clearServiceConfigValues(xPL_ServicePtr theService, String itemName) {
  xPL_ServiceConfigurablePtr theItem = xPL_findServiceConfigurable(theService, itemName);
  if (theItem == NULL || valuesLocked(theService)) return;
  freeItemValues(theItem);
}

void xPL_clearAllServiceConfigValues(xPL_ServicePtr theService) {
  if (valuesLocked(theService)) return;
  for (int i = 0; i < theService->configCount; i++) freeItemValues(&theService->configList[i]);
}

Bool xPL_addServiceConfigValue(xPL_ServicePtr theService, String itemName, String itemValue) {
  xPL_ServiceConfigurablePtr theItem = xPL_findServiceConfigurable(theService, itemName);
  if (theItem == NULL || valuesLocked(theService)) return FALSE;
  if (theItem->valueCount >= theItem->maxValueCount) return FALSE;

  if (theItem->valueCount == theItem->valueAllocCount) {
    int growBy = theItem->maxValueCount == 1 ? 1 : theItem->maxValueCount / 2;
    if (growBy > CONFIG_VALUE_GROW_MAX) growBy = CONFIG_VALUE_GROW_MAX;
    growArray(&theItem->valueList, &theItem->valueAllocCount, growBy);
  }
  theItem->valueList[theItem->valueCount++] = itemValue == NULL ? NULL : xPL_StrDup(itemValue);
  return TRUE;
}

void xPL_setServiceConfigValueAt(xPL_ServicePtr theService, String itemName, int valueIndex,
                                 String itemValue) {
  xPL_ServiceConfigurablePtr theItem = xPL_findServiceConfigurable(theService, itemName);
  if (theItem == NULL || theService->serviceEnabled || valueIndex < 0) return;
  if (valueIndex < theItem->valueCount) {
    freeString(&theItem->valueList[valueIndex]);
    theItem->valueList[valueIndex] = itemValue == NULL ? NULL : xPL_StrDup(itemValue);
    return;
  }
  xPL_addServiceConfigValue(theService, itemName, itemValue);
}

void xPL_setServiceConfigValue(xPL_ServicePtr theService, String itemName, String itemValue) {
  xPL_setServiceConfigValueAt(theService, itemName, 0, itemValue);
}

int xPL_getServiceConfigValueCount(xPL_ServicePtr theService, String itemName) {
  xPL_ServiceConfigurablePtr theItem = xPL_findServiceConfigurable(theService, itemName);
  return theItem == NULL ? 0 : theItem->valueCount;
}

String xPL_getServiceConfigValueAt(xPL_ServicePtr theService, String itemName, int valueIndex) {
  xPL_ServiceConfigurablePtr theItem = xPL_findServiceConfigurable(theService, itemName);
  if (theItem == NULL || valueIndex < 0 || valueIndex >= theItem->valueCount) return NULL;
  return theItem->valueList[valueIndex];
}

String xPL_getServiceConfigValue(xPL_ServicePtr theService, String itemName) {
  return xPL_getServiceConfigValueAt(theService, itemName, 0);
}

/* ---- The configuration file -------------------------------------------- */

void xPL_setServiceConfigFile(xPL_ServicePtr theService, String localConfigFile) {
  if (theService->serviceEnabled) return;
  if (theService->configFileName != NULL && localConfigFile != NULL &&
      strcmp(theService->configFileName, localConfigFile) == 0)
    return;
  freeString(&theService->configFileName);
  if (localConfigFile != NULL) theService->configFileName = xPL_StrDup(localConfigFile);
}

String xPL_getServiceConfigFile(xPL_ServicePtr theService) {
  return theService->configFileName;
}

Bool xPL_loadServiceConfig(xPL_ServicePtr theService) {
  if (theService->serviceEnabled || theService->configFileName == NULL ||
      theService->serviceConfigured)
    return FALSE;

  const char *fileName = theService->configFileName;
  removeStaleTempFiles(fileWrittenFor(fileName));
  std::unique_ptr<FILE, FileCloser> configFile(fopen(fileName, "r"));
  if (!configFile) {
    xPL_Debug("CONFIG:: File %s does not exist -- no config loaded", fileName);
    return TRUE;
  }

  char lineBuffer[CONFIG_LINE_SIZE];
  if (fgets(lineBuffer, sizeof(lineBuffer), configFile.get()) == NULL) {
    xPL_Error("CONFIG:: Error reading config file %s -- config not loaded", fileName);
    return FALSE;
  }

  // Whatever ends the header goes, line feed or not: a header cut short of
  // its line feed loses its "]" and is refused below.
  size_t headerLength = strlen(lineBuffer);
  if (headerLength > 0) lineBuffer[--headerLength] = '\0';
  if (headerLength < 5) {
    xPL_Error("CONFIG:: Config file header too short -- config not loaded");
    return FALSE;
  }
  xPL_Debug("CONFIG:: Read header %s from config file, about to parse", lineBuffer);

  // The first character is taken as the "[" without looking at it.
  char *vendorStart = lineBuffer + 1;
  char *dash = strchr(vendorStart, '-');
  if (dash == NULL) {
    xPL_Error(
        "CONFIG:: Unable to parse configuration file header (missing dash) for %s -- config not "
        "loaded",
        fileName);
    return FALSE;
  }
  *dash = '\0';
  char *deviceStart = dash + 1;
  size_t deviceLength = strlen(deviceStart);
  if (deviceLength == 0 || deviceStart[deviceLength - 1] != ']') {
    xPL_Error(
        "CONFIG:: Unable to parse configuration file header (missing end bracket) for %s -- "
        "config not loaded",
        fileName);
    return FALSE;
  }
  deviceStart[deviceLength - 1] = '\0';

  if (xPL_strcmpIgnoreCase(vendorStart, theService->serviceVendor) != 0 ||
      xPL_strcmpIgnoreCase(deviceStart, theService->serviceDeviceID) != 0) {
    xPL_Error("CONFIG:: Config file header does not match this device -- config not loaded");
    return FALSE;
  }

  xPL_NameValueListPtr configList = xPL_newNamedValueList();
  while (fgets(lineBuffer, sizeof(lineBuffer), configFile.get()) != NULL) {
    size_t lineLength = strlen(lineBuffer);
    if (lineLength > 0 && lineBuffer[lineLength - 1] == '\n') lineBuffer[lineLength - 1] = '\0';
    char *equals = strchr(lineBuffer, '=');
    if (equals == NULL) continue;
    *equals = '\0';
    xPL_addNamedValue(configList, lineBuffer, equals + 1);
  }
  configFile.reset();

  if (xPL_getNamedValueCount(configList) > 0) installNewConfig(theService, configList, TRUE);
  xPL_freeNamedValueList(configList);
  xPL_Debug("CONFIG:: Config file successfully read and installed");
  return TRUE;
}

Bool xPL_saveServiceConfig(xPL_ServicePtr theService) {
  if (theService->configFileName == NULL) return FALSE;
  const char *configName = theService->configFileName;
  const std::string fileName = fileWrittenFor(configName);
  if (fileName.empty()) {
    xPL_Error("CONFIG:: File %s could not be opened/created -- %s (%d)", configName,
              strerror(ELOOP), ELOOP);
    return FALSE;
  }

  // The configuration goes to a new file beside the old one and replaces it
  // by rename, so a crash mid-write leaves the old file whole. Failures are
  // errors: the configuration then lives in memory only and is lost at the
  // next start.
  removeStaleTempFiles(fileName);
  std::string tempName;
  int tempFD = createFileBeside(fileName, &tempName);
  if (tempFD < 0) {
    int savedErrno = errno;
    xPL_Error("CONFIG:: File %s could not be opened/created -- %s (%d)", configName,
              strerror(savedErrno), savedErrno);
    return FALSE;
  }

  FILE *tempFile = fdopen(tempFD, "w");
  if (tempFile == NULL) {
    int savedErrno = errno;
    close(tempFD);
    unlink(tempName.c_str());
    xPL_Error("CONFIG:: File %s could not be opened/created -- %s (%d)", configName,
              strerror(savedErrno), savedErrno);
    return FALSE;
  }

  errno = 0;
  Bool written = writeConfigBody(tempFile, theService);
  written = written && fflush(tempFile) == 0;
  written = written && fsync(fileno(tempFile)) == 0;
  int writeErrno = errno;
  if (fclose(tempFile) != 0 && written) {
    written = FALSE;
    writeErrno = errno;
  }
  if (written && rename(tempName.c_str(), fileName.c_str()) != 0) {
    written = FALSE;
    writeErrno = errno;
  }
  if (!written) {
    unlink(tempName.c_str());
    xPL_Error("CONFIG:: Unable to write config file %s -- %s (%d); old file kept", configName,
              strerror(writeErrno), writeErrno);
    return FALSE;
  }
  syncDirectoryOf(fileName);
  return TRUE;
}
