// xplctl - look at and configure xPL services from the command line.
//
// Joins the host's hub as an ordinary client (kivamet-xplctl.<instance>),
// waits until the hub has echoed its heartbeat, sends its requests and
// waits for each answer within a time limit, asking once more when half of
// it passed in silence (UDP may lose either). Everything runs in the xPL
// library's own loop, in short slices, so every wait is bounded.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fields.h"
#include "settings.h"
#include "xPL.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_ANSWER = 3;
constexpr int EXIT_NOT_TAKEN = 4;
constexpr int EXIT_STATION_SILENT = 5;
constexpr int EXIT_INTERRUPTED = 130;

constexpr double DEFAULT_TIMEOUT_SECONDS = 5.0;
constexpr double MAX_TIMEOUT_SECONDS = 86400.0;
// Services answer a discovery request after a random 0.5 to 2.5 s delay.
constexpr auto DISCOVERY_WINDOW = std::chrono::milliseconds(3000);
// Longest single wait in the library's loop, so the time limit is kept.
constexpr int LOOP_SLICE_MS = 200;

String S(const char *text) {
  return const_cast<String>(text);
}

/* ---- Usage ------------------------------------------------------------- */

const char kMainUsage[] =
    "usage: xplctl [-interface NAME] [-xpldebug] [--timeout SECONDS] <command> [args]\n"
    "\n"
    "Looks at and configures xPL services through the host's xPL hub.\n"
    "\n"
    "commands:\n"
    "  discover                      list the services that answer a discovery request\n"
    "  config-list TARGET            show the configuration items a service offers\n"
    "  config-current TARGET         show a service's current configuration\n"
    "  configure TARGET name=value.. change some configuration items of a service\n"
    "  sensor TARGET DEVICE          ask a service for the current value of a sensor\n"
    "  monitor                       print every xPL message seen on the network\n"
    "  fields                        list the DEVICE names of quorvel-davis (kivamet)\n"
    "\n"
    "A TARGET is vendor-device.instance, or vendor-device for the first such\n"
    "service that answers discovery.\n"
    "\n"
    "options:\n"
    "  -interface NAME     network interface of the xPL network (default: the first\n"
    "                      non-loopback interface that is up)\n"
    "  -xpldebug           show the xPL library's debug lines on stderr\n"
    "  --timeout SECONDS   give up when no answer came in this time (default 5)\n"
    "  -h, --help          show this text; 'xplctl COMMAND --help' shows the usage of\n"
    "                      that command alone\n"
    "\n"
    "exit status:\n"
    "  0 done; 1 the xPL network could not be joined or a message not sent;\n"
    "  2 usage error, settings the service does not offer, or a DEVICE kivamet\n"
    "  does not have; 3 no answer within the time limit; 4 the service did not\n"
    "  take every setting; 5 kivamet took them, but its station does not answer\n";

struct CommandInfo {
  const char *name;
  const char *usage;
};

const CommandInfo kCommands[] = {
    {"discover",
     "usage: xplctl [options] discover\n"
     "\n"
     "Broadcasts a heartbeat request and lists every service that answers within\n"
     "3 seconds (or the time limit, if shorter), one line each:\n"
     "  vendor-device.instance schema-class.type name=value ...\n"
     "Exits with 3 when no service answered.\n"},
    {"config-list",
     "usage: xplctl [options] config-list TARGET\n"
     "\n"
     "Asks TARGET which configuration items it offers and prints its answer, one\n"
     "name=value line per item, in the order sent (for example reconf=newconf,\n"
     "option=group[255]).\n"},
    {"config-current",
     "usage: xplctl [options] config-current TARGET\n"
     "\n"
     "Asks TARGET for its current configuration and prints it, one name=value line\n"
     "per item, in the order sent. An item without a value prints as name=.\n"},
    {"configure",
     "usage: xplctl [options] configure TARGET name=value [name=value ...]\n"
     "\n"
     "Checks the names against the items TARGET offers (refused with status 2:\n"
     "unknown names, more values than an item takes), reads TARGET's current\n"
     "configuration, replaces the items named on the command line and sends the\n"
     "result back, so items not named keep their values. Name an item several\n"
     "times to give it several values (group=a group=b); name= clears it.\n"
     "newconf=NAME renames the instance, interval=MINUTES sets the heartbeat\n"
     "interval. Then reads the configuration back: prints 'configured\n"
     "vendor-device.instance' with the service's identity when it took every\n"
     "setting, else names each one it did not take and exits with 4. A\n"
     "quorvel-davis service (kivamet) is then asked for its station's ID as a\n"
     "check: when none comes, it says so and exits with 5.\n"},
    {"sensor",
     "usage: xplctl [options] sensor TARGET DEVICE [--raw]\n"
     "\n"
     "Sends TARGET a sensor.request for the current value of DEVICE and prints the\n"
     "'current' value of the sensor.basic answer. A DEVICE that a quorvel-davis\n"
     "service (kivamet) does not have is refused at once with status 2\n"
     "('xplctl fields' lists them).\n"
     "  --raw   print every item of the answer as name=value instead\n"},
    {"monitor",
     "usage: xplctl [options] monitor [--count N]\n"
     "\n"
     "Prints one line for every xPL message seen (its own messages left out):\n"
     "  type source target schema-class.type name=value ...\n"
     "Once it has joined the hub it prints 'monitoring <its own identity>'.\n"
     "Runs until interrupted, or until the --timeout given passes (exit 0).\n"
     "  --count N   stop after N messages; exits with 3 when the time limit\n"
     "              passes first\n"},
    {"fields",
     "usage: xplctl fields\n"
     "\n"
     "Lists every DEVICE name a quorvel-davis service (kivamet) answers a\n"
     "sensor.request for, with what it means and the unit of its value. Needs\n"
     "no network.\n"},
};

const CommandInfo *findCommand(const std::string &name) {
  for (const CommandInfo &command : kCommands)
    if (name == command.name) return &command;
  return nullptr;
}

// A command's own usage is short enough to repeat; the general one is not.
int usageError(const char *usage, const std::string &problem) {
  if (usage == kMainUsage)
    fprintf(stderr, "xplctl: %s\nTry 'xplctl --help' for more.\n", problem.c_str());
  else
    fprintf(stderr, "xplctl: %s\n\n%s", problem.c_str(), usage);
  return EXIT_USAGE;
}

/* ---- Identities and message text ---------------------------------------- */

struct Identity {
  std::string vendor;
  std::string device;
  std::string instance;  // empty: the first service of vendor-device found
  std::string text() const { return vendor + "-" + device + "." + instance; }
};

// Vendor and device names hold no "-" or "."; an instance may hold "-".
bool isIdentifier(const std::string &part, bool dashAllowed) {
  if (part.empty()) return false;
  for (char c : part) {
    if (c == '-' && dashAllowed) continue;
    if (c <= ' ' || c == '.' || c == '-' || c == '=' || c == '*' || (unsigned char)c >= 0x7f)
      return false;
  }
  return true;
}

bool parseTarget(const std::string &text, Identity *target) {
  size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  target->vendor = text.substr(0, dash);
  std::string rest = text.substr(dash + 1);
  size_t dot = rest.find('.');
  target->device = rest.substr(0, dot);
  target->instance = dot == std::string::npos ? "" : rest.substr(dot + 1);
  if (dot != std::string::npos && !isIdentifier(target->instance, true)) return false;
  return isIdentifier(target->vendor, false) && isIdentifier(target->device, false);
}

bool sameName(const char *a, const std::string &b) {
  return a != nullptr && xPL_strcmpIgnoreCase(a, b.c_str()) == 0;
}

// kivamet's service, whose sensor names xplctl knows.
bool isKivamet(const Identity &who) {
  return sameName(KIVAMET_XPL_VENDOR, who.vendor) && sameName(KIVAMET_XPL_DEVICE, who.device);
}

bool isFrom(xPL_MessagePtr message, const Identity &who) {
  return sameName(xPL_getSourceVendor(message), who.vendor) &&
         sameName(xPL_getSourceDeviceID(message), who.device) &&
         (who.instance.empty() || sameName(xPL_getSourceInstanceID(message), who.instance));
}

bool hasSchema(xPL_MessagePtr message, xPL_MessageType type, const char *schemaClass,
               const char *schemaType) {
  return xPL_getMessageType(message) == type &&
         sameName(xPL_getSchemaClass(message), schemaClass) &&
         sameName(xPL_getSchemaType(message), schemaType);
}

std::string textOr(const char *text, const char *absent) {
  return text ? text : absent;
}

std::string sourceText(xPL_MessagePtr message) {
  return textOr(xPL_getSourceVendor(message), "?") + "-" +
         textOr(xPL_getSourceDeviceID(message), "?") + "." +
         textOr(xPL_getSourceInstanceID(message), "?");
}

std::string itemText(xPL_NameValuePairPtr pair) {
  std::string text = textOr(pair->itemName, "");
  if (pair->isBinary) {
    text += '!';
    for (int i = 0; i < pair->binaryLength; i++)
      text += xPL_intToHex((unsigned char)pair->itemValue[i]);
  } else {
    text += '=';
    text += textOr(pair->itemValue, "");
  }
  return text;
}

std::vector<std::string> bodyItems(xPL_MessagePtr message) {
  std::vector<std::string> items;
  xPL_NameValueListPtr body = xPL_getMessageBody(message);
  for (int i = 0; i < xPL_getNamedValueCount(body); i++)
    items.push_back(itemText(xPL_getNamedValuePairAt(body, i)));
  return items;
}

void printBodyLines(xPL_MessagePtr message) {
  for (const std::string &item : bodyItems(message)) printf("%s\n", item.c_str());
}

std::string joinedItems(xPL_MessagePtr message) {
  std::string line;
  for (const std::string &item : bodyItems(message)) line += " " + item;
  return line;
}

const char *typeWord(xPL_MessageType type) {
  const char *word = xPL_messageTypeWord(type);
  return word != nullptr ? word : "xpl-????";
}

std::string summaryLine(xPL_MessagePtr message) {
  std::string target;
  if (xPL_isBroadcastMessage(message)) {
    target = "*";
  } else if (xPL_isGroupMessage(message)) {
    target = textOr(xPL_getTargetGroup(message), "XPL-GROUP.?");
  } else {
    target = textOr(xPL_getTargetVendor(message), "?") + "-" +
             textOr(xPL_getTargetDeviceID(message), "?") + "." +
             textOr(xPL_getTargetInstanceID(message), "?");
  }
  std::string schema =
      xPL_getSchemaClass(message) == nullptr
          ? "-"
          : textOr(xPL_getSchemaClass(message), "") + "." + textOr(xPL_getSchemaType(message), "");
  return std::string(typeWord(xPL_getMessageType(message))) + " " + sourceText(message) + " " +
         target + " " + schema + joinedItems(message);
}

/* ---- The session --------------------------------------------------------- */

enum class Command { Discover, ConfigList, ConfigCurrent, Configure, Sensor, Monitor, Fields };

enum class Phase {
  Joining,      // waiting for the hub to echo our heartbeat
  Resolving,    // looking for the first vendor-device service
  Discovering,  // collecting answers to discovery
  Waiting,      // request sent, waiting for its answer
  Monitoring,
  Done
};

// The requests of configure, in order; Station only for kivamet.
enum class ConfigureStep { Offer, Current, ReadBack, Station };

struct Session {
  Command command = Command::Discover;
  Identity target;
  std::string sensorDevice;
  bool rawOutput = false;
  long monitorCount = -1;  // -1: no count
  bool timeoutGiven = false;
  std::vector<std::pair<std::string, std::string>> settings;  // configure's name=value

  xPL_ServicePtr service = nullptr;
  Phase phase = Phase::Joining;
  Phase stoppedIn = Phase::Joining;
  Clock::duration timeLimit{};
  Clock::time_point deadline;  // of joining, discovery and monitoring; of the request waited for
  Clock::time_point askAgainAt;
  bool askedAgain = false;
  Clock::time_point discoveryEnd;
  ConfigureStep configureStep = ConfigureStep::Offer;
  Identity formerTarget;              // before a newconf; read back from either identity
  int staleAnswers = 0;               // answers still owed to a request asked again
  std::vector<std::string> notTaken;  // of the last read-back that did not match
  std::string readBackFrom;  // the source of the last read-back: the identity after a newconf
  std::set<std::string> discovered;
  long monitored = 0;
  int exitStatus = EXIT_NO_ANSWER;
  std::string failure;
};

Session session;
int signalPipe[2] = {-1, -1};

void finish(int exitStatus) {
  if (session.phase == Phase::Done) return;
  session.stoppedIn = session.phase;
  session.phase = Phase::Done;
  session.exitStatus = exitStatus;
  fflush(stdout);
  // Ends the library's loop at once, even inside a listener on a busy
  // network; the service says goodbye on the way out.
  xPL_shutdown();
}

void failSend(const char *what) {
  session.failure = std::string("could not send the ") + what;
  finish(EXIT_FAILED);
}

bool isOwnMessage(xPL_MessagePtr message) {
  const char *vendor = xPL_getSourceVendor(message);
  const char *device = xPL_getSourceDeviceID(message);
  const char *instance = xPL_getSourceInstanceID(message);
  xPL_ServicePtr service = session.service;
  return vendor && device && instance && strcmp(vendor, xPL_getServiceVendor(service)) == 0 &&
         strcmp(device, xPL_getServiceDeviceID(service)) == 0 &&
         strcmp(instance, xPL_getServiceInstanceID(service)) == 0;
}

xPL_MessagePtr newRequest(const char *schemaClass, const char *schemaType,
                          const Identity &t = session.target) {
  xPL_MessagePtr message =
      xPL_createTargetedMessage(session.service, xPL_MESSAGE_COMMAND, S(t.vendor.c_str()),
                                S(t.device.c_str()), S(t.instance.c_str()));
  xPL_setSchema(message, S(schemaClass), S(schemaType));
  return message;
}

bool sendAndRelease(xPL_MessagePtr message) {
  Bool sent = xPL_sendMessage(message);
  xPL_releaseMessage(message);
  return sent;
}

void sendDiscovery() {
  xPL_MessagePtr message = xPL_createBroadcastMessage(session.service, xPL_MESSAGE_COMMAND);
  xPL_setSchema(message, S("hbeat"), S("request"));
  xPL_addMessageNamedValue(message, S("command"), S("request"));
  if (!sendAndRelease(message)) failSend("discovery request");
}

xPL_MessagePtr configRequest(const char *schemaType, const Identity &to = session.target) {
  xPL_MessagePtr message = newRequest("config", schemaType, to);
  xPL_addMessageNamedValue(message, S("command"), S("request"));
  return message;
}

xPL_MessagePtr stationRequest(const std::string &device) {
  xPL_MessagePtr message = newRequest("sensor", "request");
  xPL_addMessageNamedValue(message, S("request"), S("current"));
  xPL_addMessageNamedValue(message, S("device"), S(device.c_str()));
  return message;
}

// Sends the request the session waits for an answer to, again when asked.
void issueRequest() {
  xPL_MessagePtr message;
  switch (session.command) {
    case Command::ConfigList:
      message = configRequest("list");
      break;
    case Command::ConfigCurrent:
      message = configRequest("current");
      break;
    case Command::Configure:
      if (session.configureStep == ConfigureStep::Station) {
        message = stationRequest("ID");
        break;
      }
      message = configRequest(session.configureStep == ConfigureStep::Offer ? "list" : "current");
      if (session.configureStep == ConfigureStep::ReadBack &&
          session.formerTarget.text() != session.target.text()) {
        // A newconf the service refused leaves it under its former name.
        if (!sendAndRelease(configRequest("current", session.formerTarget))) {
          xPL_releaseMessage(message);
          failSend("request");
          return;
        }
      }
      break;
    case Command::Sensor:
      message = stationRequest(session.sensorDevice);
      break;
    default:
      return;
  }
  if (!sendAndRelease(message)) failSend("request");
}

// Starts the wait for an answer: the time limit anew, asked again once
// half of it passed without one.
void startWaiting(Phase phase) {
  session.phase = phase;
  Clock::time_point now = Clock::now();
  session.deadline = now + session.timeLimit;
  session.askAgainAt = now + session.timeLimit / 2;
  session.askedAgain = false;
}

// Sends the command's request to a target whose instance is known.
void sendRequest() {
  startWaiting(Phase::Waiting);
  issueRequest();
}

// The request was answered: an answer to its second sending may follow.
void noteAnswered() {
  session.staleAnswers = session.askedAgain ? 1 : 0;
}

// The current configuration with the items named on the command line
// replaced: each named item's values go where its first current entry was,
// items the service did not report go last. Current entries without a value
// are left out, so they stay without one.
void sendConfiguration(xPL_MessagePtr current) {
  auto upperName = [](const char *name) {
    std::string upper = name;
    for (char &c : upper)
      if (c >= 'a' && c <= 'z') c = (char)(c - 32);
    return upper;
  };
  std::set<std::string> named;
  for (const auto &setting : session.settings) named.insert(upperName(setting.first.c_str()));

  xPL_MessagePtr response = newRequest("config", "response");
  std::set<std::string> placed;
  auto placeNamed = [&](const std::string &upper) {
    if (!placed.insert(upper).second) return;
    for (const auto &setting : session.settings)
      if (upperName(setting.first.c_str()) == upper)
        xPL_addMessageNamedValue(response, S(setting.first.c_str()), S(setting.second.c_str()));
  };

  xPL_NameValueListPtr body = xPL_getMessageBody(current);
  for (int i = 0; i < xPL_getNamedValueCount(body); i++) {
    xPL_NameValuePairPtr pair = xPL_getNamedValuePairAt(body, i);
    if (pair->itemName == nullptr || pair->isBinary) continue;
    std::string upper = upperName(pair->itemName);
    if (named.count(upper)) {
      placeNamed(upper);
    } else if (pair->itemValue != nullptr && pair->itemValue[0] != '\0') {
      xPL_addMessageNamedValue(response, pair->itemName, pair->itemValue);
    }
  }
  for (const auto &setting : session.settings) placeNamed(upperName(setting.first.c_str()));

  if (!sendAndRelease(response)) {
    failSend("configuration (is it too long for one message?)");
    return;
  }
  session.formerTarget = session.target;
  for (const auto &setting : session.settings)
    if (upperName(setting.first.c_str()) == "NEWCONF") session.target.instance = setting.second;
  session.configureStep = ConfigureStep::ReadBack;
  sendRequest();
}

xplctl::Items bodyPairs(xPL_MessagePtr message) {
  xplctl::Items items;
  xPL_NameValueListPtr body = xPL_getMessageBody(message);
  for (int i = 0; i < xPL_getNamedValueCount(body); i++) {
    xPL_NameValuePairPtr pair = xPL_getNamedValuePairAt(body, i);
    if (pair->itemName != nullptr && !pair->isBinary)
      items.emplace_back(pair->itemName, textOr(pair->itemValue, ""));
  }
  return items;
}

// The items the service offers: refuse what it cannot take, before sending.
void checkOffer(xPL_MessagePtr list) {
  noteAnswered();
  std::vector<std::string> problems = xplctl::checkAgainstOffer(session.settings, bodyPairs(list));
  if (problems.empty()) {
    session.configureStep = ConfigureStep::Current;
    sendRequest();
    return;
  }
  for (const std::string &problem : problems)
    session.failure +=
        (session.failure.empty() ? "" : "\nxplctl: ") + session.target.text() + ": " + problem;
  session.failure += "\nxplctl: nothing was sent";
  finish(EXIT_USAGE);
}

// The configuration after the change. An answer still owed to an earlier
// request may come first and show the configuration before it.
void checkReadBack(xPL_MessagePtr current) {
  session.notTaken = xplctl::settingsNotTaken(session.settings, bodyPairs(current));
  session.readBackFrom = sourceText(current);
  if (!session.notTaken.empty() && session.staleAnswers > 0) {
    session.staleAnswers--;
    return;
  }
  if (!session.notTaken.empty()) {
    finish(EXIT_NOT_TAKEN);
    return;
  }
  if (!isKivamet(session.target)) {
    printf("configured %s\n", session.readBackFrom.c_str());
    finish(EXIT_OK);
    return;
  }
  // As a user would check it: ask the station its model. A station that
  // cannot be opened leaves ID unanswered; one that never answered reads
  // "unknown".
  session.target = {textOr(xPL_getSourceVendor(current), ""),
                    textOr(xPL_getSourceDeviceID(current), ""),
                    textOr(xPL_getSourceInstanceID(current), "")};
  session.configureStep = ConfigureStep::Station;
  sendRequest();
}

bool isSensorAnswer(xPL_MessagePtr message, const std::string &device) {
  if (!hasSchema(message, xPL_MESSAGE_STATUS, "sensor", "basic")) return false;
  const char *named = xPL_getMessageNamedValue(message, S("device"));
  // Without a device item it can only be ours.
  return named == nullptr || xPL_strcmpIgnoreCase(named, device.c_str()) == 0;
}

bool isHeartbeat(xPL_MessagePtr message) {
  if (xPL_getMessageType(message) != xPL_MESSAGE_STATUS) return false;
  const char *schemaClass = xPL_getSchemaClass(message);
  const char *schemaType = xPL_getSchemaType(message);
  return (sameName(schemaClass, "hbeat") || sameName(schemaClass, "config")) &&
         (sameName(schemaType, "app") || sameName(schemaType, "basic"));
}

void startCommand() {
  switch (session.command) {
    case Command::Monitor:
      session.phase = Phase::Monitoring;
      printf("monitoring %s-%s.%s\n", xPL_getServiceVendor(session.service),
             xPL_getServiceDeviceID(session.service), xPL_getServiceInstanceID(session.service));
      fflush(stdout);
      break;
    case Command::Discover:
      session.phase = Phase::Discovering;
      session.discoveryEnd = Clock::now() + DISCOVERY_WINDOW;
      sendDiscovery();
      break;
    default:
      if (session.target.instance.empty()) {
        startWaiting(Phase::Resolving);
        sendDiscovery();
      } else {
        sendRequest();
      }
  }
}

// Moves the session on; called after every message and every loop slice.
void step() {
  if (session.phase == Phase::Done) return;
  if (session.phase == Phase::Joining && xPL_isHubConfirmed()) startCommand();
  if (session.phase == Phase::Done) return;

  Clock::time_point now = Clock::now();
  bool requestPending = session.phase == Phase::Resolving || session.phase == Phase::Waiting;
  if (session.phase == Phase::Discovering && now >= session.discoveryEnd) {
    finish(session.discovered.empty() ? EXIT_NO_ANSWER : EXIT_OK);
  } else if (session.phase == Phase::Monitoring && !session.timeoutGiven &&
             session.monitorCount < 0) {
    return;  // runs until interrupted
  } else if (now >= session.deadline) {
    if (session.phase == Phase::Monitoring && session.monitorCount < 0) {
      finish(EXIT_OK);
    } else if (session.phase == Phase::Discovering) {
      finish(session.discovered.empty() ? EXIT_NO_ANSWER : EXIT_OK);
    } else if (!session.notTaken.empty()) {
      finish(EXIT_NOT_TAKEN);  // no later read-back corrected the one we have
    } else if (session.command == Command::Configure &&
               session.configureStep == ConfigureStep::Station) {
      finish(EXIT_STATION_SILENT);
    } else {
      finish(EXIT_NO_ANSWER);
    }
  } else if (requestPending && !session.askedAgain && now >= session.askAgainAt) {
    session.askedAgain = true;
    if (session.phase == Phase::Resolving)
      sendDiscovery();
    else
      issueRequest();
  }
}

// When step() has something to do next, at the latest.
Clock::time_point nextStep() {
  bool requestPending = session.phase == Phase::Resolving || session.phase == Phase::Waiting;
  if (requestPending && !session.askedAgain) return std::min(session.deadline, session.askAgainAt);
  return session.deadline;
}

void handleConfigureAnswer(xPL_MessagePtr message) {
  const bool fromTarget = isFrom(message, session.target);
  switch (session.configureStep) {
    case ConfigureStep::Offer:
      if (fromTarget && hasSchema(message, xPL_MESSAGE_STATUS, "config", "list"))
        checkOffer(message);
      break;
    case ConfigureStep::Current:
      if (fromTarget && hasSchema(message, xPL_MESSAGE_STATUS, "config", "current")) {
        noteAnswered();
        sendConfiguration(message);
      }
      break;
    case ConfigureStep::ReadBack:
      if ((fromTarget || isFrom(message, session.formerTarget)) &&
          hasSchema(message, xPL_MESSAGE_STATUS, "config", "current"))
        checkReadBack(message);
      break;
    case ConfigureStep::Station:
      if (fromTarget && isSensorAnswer(message, "ID")) {
        // A station that never answered the model probe reads "unknown".
        const char *model = xPL_getMessageNamedValue(message, S("current"));
        if (model == nullptr || xPL_strcmpIgnoreCase(model, "unknown") == 0) {
          finish(EXIT_STATION_SILENT);
          break;
        }
        printf("configured %s\n", session.readBackFrom.c_str());
        finish(EXIT_OK);
      }
      break;
  }
}

void handleMessage(xPL_MessagePtr message) {
  switch (session.phase) {
    case Phase::Monitoring:
      printf("%s\n", summaryLine(message).c_str());
      fflush(stdout);
      if (session.monitorCount >= 0 && ++session.monitored >= session.monitorCount) finish(EXIT_OK);
      break;
    case Phase::Discovering:
      if (isHeartbeat(message)) {
        std::string who = sourceText(message);
        if (session.discovered.insert(who).second) {
          printf("%s %s.%s%s\n", who.c_str(), xPL_getSchemaClass(message),
                 xPL_getSchemaType(message), joinedItems(message).c_str());
          fflush(stdout);
        }
      }
      break;
    case Phase::Resolving:
      if (isHeartbeat(message) && isFrom(message, session.target)) {
        session.target.vendor = xPL_getSourceVendor(message);
        session.target.device = xPL_getSourceDeviceID(message);
        session.target.instance = xPL_getSourceInstanceID(message);
        sendRequest();
      }
      break;
    case Phase::Waiting:
      if (session.command == Command::Configure) {
        handleConfigureAnswer(message);
        break;
      }
      if (!isFrom(message, session.target)) break;
      if (session.command == Command::ConfigList &&
          hasSchema(message, xPL_MESSAGE_STATUS, "config", "list")) {
        printBodyLines(message);
        finish(EXIT_OK);
      } else if (session.command == Command::ConfigCurrent &&
                 hasSchema(message, xPL_MESSAGE_STATUS, "config", "current")) {
        printBodyLines(message);
        finish(EXIT_OK);
      } else if (session.command == Command::Sensor &&
                 isSensorAnswer(message, session.sensorDevice)) {
        if (session.rawOutput) {
          printBodyLines(message);
        } else {
          const char *value = xPL_getMessageNamedValue(message, S("current"));
          if (value == nullptr) break;
          printf("%s\n", value);
        }
        finish(EXIT_OK);
      }
      break;
    default:
      break;
  }
}

void messageListener(xPL_MessagePtr message, xPL_ObjectPtr) {
  if (session.phase != Phase::Done && !isOwnMessage(message)) handleMessage(message);
  step();
}

void onSignal(int) {
  int savedErrno = errno;
  if (write(signalPipe[1], "x", 1) < 0) {
  }
  errno = savedErrno;
}

void signalReadable(int fd, int, int) {
  char drained[16];
  while (read(fd, drained, sizeof(drained)) > 0) {
  }
  finish(session.phase == Phase::Monitoring && session.monitorCount < 0 ? EXIT_OK
                                                                        : EXIT_INTERRUPTED);
}

/* ---- Command line -------------------------------------------------------- */

bool parseTimeout(const char *text, double *seconds) {
  char *end = nullptr;
  errno = 0;
  double value = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value)) return false;
  if (value <= 0 || value > MAX_TIMEOUT_SECONDS) return false;
  *seconds = value;
  return true;
}

bool parseCount(const char *text, long *count) {
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value <= 0) return false;
  *count = value;
  return true;
}

bool isHelp(const std::string &arg) {
  return arg == "--help" || arg == "-h";
}

// Parses everything after the xPL library's own switches. Returns -1 to go
// on, or the exit status.
int parseCommandLine(int argc, char **argv, double *timeoutSeconds) {
  int index = 1;
  for (; index < argc && argv[index][0] == '-'; index++) {
    std::string arg = argv[index];
    if (isHelp(arg)) {
      fputs(kMainUsage, stdout);
      return EXIT_OK;
    }
    if (arg == "--timeout" || arg.rfind("--timeout=", 0) == 0) {
      const char *value = nullptr;
      if (arg == "--timeout") {
        if (index + 1 >= argc) return usageError(kMainUsage, "--timeout needs a number of seconds");
        value = argv[++index];
      } else {
        value = argv[index] + strlen("--timeout=");
      }
      if (!parseTimeout(value, timeoutSeconds))
        return usageError(kMainUsage, std::string("bad time limit '") + value +
                                          "' (seconds, more than 0, at most 86400)");
      session.timeoutGiven = true;
      continue;
    }
    return usageError(kMainUsage, "unknown option " + arg);
  }
  if (index >= argc) return usageError(kMainUsage, "no command given");

  std::string commandName = argv[index++];
  const CommandInfo *info = findCommand(commandName);
  if (info == nullptr) return usageError(kMainUsage, "unknown command '" + commandName + "'");

  std::vector<std::string> args;
  for (; index < argc; index++) {
    std::string arg = argv[index];
    if (isHelp(arg)) {
      fputs(info->usage, stdout);
      return EXIT_OK;
    }
    if (commandName == "sensor" && arg == "--raw") {
      session.rawOutput = true;
    } else if (commandName == "monitor" && (arg == "--count" || arg.rfind("--count=", 0) == 0)) {
      const char *value = nullptr;
      if (arg == "--count") {
        if (index + 1 >= argc) return usageError(info->usage, "--count needs a number");
        value = argv[++index];
      } else {
        value = argv[index] + strlen("--count=");
      }
      if (!parseCount(value, &session.monitorCount))
        return usageError(info->usage, std::string("bad count '") + value + "'");
    } else if (arg.size() > 1 && arg[0] == '-' && commandName != "configure") {
      return usageError(info->usage, "unknown option " + arg);
    } else {
      args.push_back(arg);
    }
  }

  size_t wantArgs = 0;
  if (commandName == "discover") {
    session.command = Command::Discover;
  } else if (commandName == "config-list") {
    session.command = Command::ConfigList;
    wantArgs = 1;
  } else if (commandName == "config-current") {
    session.command = Command::ConfigCurrent;
    wantArgs = 1;
  } else if (commandName == "configure") {
    session.command = Command::Configure;
    if (args.size() < 2) return usageError(info->usage, "configure needs a TARGET and name=value");
    wantArgs = args.size();
  } else if (commandName == "sensor") {
    session.command = Command::Sensor;
    wantArgs = 2;
  } else if (commandName == "fields") {
    session.command = Command::Fields;
  } else {
    session.command = Command::Monitor;
  }
  if (args.size() != wantArgs)
    return usageError(info->usage,
                      args.size() < wantArgs ? "missing arguments" : "too many arguments");

  if (wantArgs > 0 && !parseTarget(args[0], &session.target))
    return usageError(
        info->usage, "bad TARGET '" + args[0] + "' (want vendor-device.instance or vendor-device)");
  if (session.command == Command::Sensor) {
    session.sensorDevice = args[1];
    // kivamet never answers a name it lacks: waiting out the time limit as
    // for a dead station would only hide the typing error.
    if (isKivamet(session.target) && stationFieldFind(args[1].c_str()) == nullptr)
      return usageError(info->usage, session.target.vendor + "-" + session.target.device +
                                         " has no DEVICE '" + args[1] +
                                         "' ('xplctl fields' lists them)");
  }
  if (session.command == Command::Configure) {
    for (size_t i = 1; i < args.size(); i++) {
      size_t equals = args[i].find('=');
      if (equals == std::string::npos || equals == 0)
        return usageError(info->usage, "bad setting '" + args[i] + "' (want name=value)");
      std::string name = args[i].substr(0, equals);
      std::string value = args[i].substr(equals + 1);
      if (value.find('\n') != std::string::npos || name.find('\n') != std::string::npos)
        return usageError(info->usage, "a setting cannot hold a line break");
      if (xPL_strcmpIgnoreCase(name.c_str(), "newconf") == 0 && !isIdentifier(value, true))
        return usageError(info->usage, "bad instance name '" + value + "' for newconf");
      session.settings.emplace_back(name, value);
    }
  }
  return -1;
}

int listFields() {
  char line[256];
  for (const station_field &f : STATION_FIELDS) {
    stationFieldLine(line, sizeof line, &f);
    printf("%s\n", line);
  }
  return EXIT_OK;
}

const char *waitingFor() {
  switch (session.stoppedIn) {
    case Phase::Joining:
      return "the hub's echo of our heartbeat (is an xPL hub running on this interface?)";
    case Phase::Resolving:
      return "a service to answer discovery";
    case Phase::Discovering:
      return "services to answer discovery";
    case Phase::Monitoring:
      return "the messages to count";
    default:
      if (session.command == Command::Configure && session.configureStep == ConfigureStep::ReadBack)
        return "the configuration to read back (the change was sent)";
      return "an answer";
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (!xPL_parseCommonArgs(&argc, argv, TRUE))
    return usageError(kMainUsage, "-interface needs the name of a network interface");
  double timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
  int parsed = parseCommandLine(argc, argv, &timeoutSeconds);
  if (parsed >= 0) return parsed;
  if (session.command == Command::Fields) return listFields();

  session.timeLimit = std::chrono::duration_cast<Clock::duration>(
      std::chrono::microseconds((long long)std::llround(timeoutSeconds * 1e6)));
  session.deadline = Clock::now() + session.timeLimit;

  if (!xPL_initialize(xcViaHub)) {
    const char *interface = xPL_getBroadcastInterface();
    if (interface == nullptr || interface[0] == '\0')
      fprintf(stderr, "xplctl: cannot join the xPL network: no network interface is up\n");
    else
      fprintf(stderr, "xplctl: cannot join the xPL network on interface '%s'\n", interface);
    return EXIT_FAILED;
  }
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    xPL_addIODevice(signalReadable, 0, signalPipe[0], TRUE, FALSE, FALSE);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
  }

  session.service = xPL_createService(S("kivamet"), S("xplctl"), NULL);
  xPL_addMessageListener(messageListener, NULL);
  xPL_setServiceEnabled(session.service, TRUE);

  while (session.phase != Phase::Done) {
    int slice = LOOP_SLICE_MS;
    if (session.phase != Phase::Monitoring || session.timeoutGiven || session.monitorCount >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextStep() - Clock::now());
      if (left.count() < slice) slice = left.count() < 1 ? 1 : (int)left.count();
    }
    xPL_processMessages(slice);
    step();
  }

  if (session.exitStatus == EXIT_NO_ANSWER)
    fprintf(stderr, "xplctl: no answer within the time limit (%g s) -- waited for %s\n",
            timeoutSeconds, waitingFor());
  if (session.exitStatus == EXIT_STATION_SILENT)
    fprintf(stderr, "xplctl: configured, but the station does not answer (see the daemon's log)\n");
  for (const std::string &item : session.notTaken)
    fprintf(stderr, "xplctl: %s did not take %s\n", session.readBackFrom.c_str(), item.c_str());
  if (!session.failure.empty()) fprintf(stderr, "xplctl: %s\n", session.failure.c_str());

  xPL_shutdown();
  xPL_releaseService(session.service);
  return session.exitStatus;
}
