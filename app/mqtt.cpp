// mqtt.cpp - the broker connection inside the xPL event loop, and the Home
// Assistant discovery configs.
#include "mqtt.h"

#include <errno.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

#include <nlohmann/json.hpp>

#include "helpers.h"
#include "version.h"
#include "xPL.h"

namespace {

using json = nlohmann::ordered_json;

constexpr int DEFAULT_PORT = 1883;
constexpr int DEFAULT_TLS_PORT = 8883;
// A broker that stays silent this long is given up: mosquitto's own keep-
// alive check ends a connection that got no answer, and a TLS handshake
// that hangs is ended by ours a little later.
constexpr int KEEPALIVE_SECONDS = 30;
constexpr int HANDSHAKE_LIMIT_SECONDS = KEEPALIVE_SECONDS + 5;
constexpr int FIRST_RETRY_SECONDS = 1;
constexpr int LONGEST_RETRY_SECONDS = 60;
// A broker that accepts and then hangs up must not bring the delay back to
// a second: only a connection that lasted this long does.
constexpr int STEADY_SECONDS = 60;
constexpr int HOUSEKEEPING_SECONDS = 1;
// Connect return codes of a refused login in MQTT 3.1.1.
constexpr int CONNACK_BAD_CREDENTIALS = 4;
constexpr int CONNACK_NOT_AUTHORISED = 5;
constexpr int WILL_QOS = 1;
// MQTT 5 lets a client say how many QoS 1 and 2 messages it takes at once;
// the library drops a broker that sends more. We take none, and 0 is no
// value the protocol allows.
constexpr int RECEIVE_MAXIMUM = 1;
// Packet types, as the high nibble of a packet's first byte.
constexpr int PACKET_CONNACK = CMD_CONNACK >> 4;
constexpr int PACKET_PUBLISH = CMD_PUBLISH >> 4;
constexpr int PACKET_PINGRESP = CMD_PINGRESP >> 4;
constexpr int PACKET_DISCONNECT = CMD_DISCONNECT >> 4;

enum class Link { IDLE, CONNECTING, CONNECTED, WAITING };

struct Client {
  mqtt_settings s;
  struct mosquitto *mosq = nullptr;
  Link link = Link::IDLE;
  time_t attemptAt = 0;
  time_t nextAttemptAt = 0;
  time_t connectedAt = 0;
  int delay = FIRST_RETRY_SECONDS;  // after the next failure
  bool refused = false;             // credentials refused: retry at the longest delay
  bool announce = false;            // connected; status and configs not yet out
  bool stopping = false;            // shutting down: no more retries
  bool retiring = false;            // leaving the broker to come back under a new id
  int fd = -1;                      // the socket registered with the loop
  bool watchingWrite = false;
  bool stalled = false;  // the next packet is not all here: unwatched until the next second
  bool watchingRead = true;
  std::string misdeed;  // what the broker sent that it must not; dropped after the read
  std::string id;       // the id in this connection's topics
  std::string model = "unknown";
};

Client c;

std::string topicOf(const std::string &id, const char *subtopic) {
  return c.s.prefix + "/" + id + "/" + subtopic;
}

std::string configTopic(const std::string &id, const quantity &q) {
  return c.s.haPrefix + "/sensor/kivamet_" + id + "/" + q.key + "/config";
}

void publishTopic(const std::string &topic, const std::string &payload) {
  const int rc = mosquitto_publish(c.mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), 0, true);
  if (rc != MOSQ_ERR_SUCCESS)
    dbg("MQTT publish to %s failed: %s\n", topic.c_str(), mosquitto_strerror(rc));
}

void ioHandler(int theFD, int events, int);

// Keeps the loop's device in step with the client: the socket changes with
// every connection attempt and disappears when one fails, and write
// readiness is asked for only while output waits (else the loop would spin).
void syncSocket() {
  const int fd = c.mosq != nullptr ? mosquitto_socket(c.mosq) : -1;
  const bool wantWrite = fd >= 0 && mosquitto_want_write(c.mosq);
  const bool wantRead = !c.stalled;
  if (fd == c.fd && wantWrite == c.watchingWrite && wantRead == c.watchingRead) return;
  if (c.fd >= 0) xPL_removeIODevice(c.fd);
  c.fd = fd;
  c.watchingWrite = wantWrite;
  c.watchingRead = wantRead;
  if (fd >= 0)
    xPL_addIODevice(ioHandler, 0, fd, wantRead ? TRUE : FALSE, wantWrite ? TRUE : FALSE, TRUE);
}

void scheduleRetry(const char *why, int rc = MOSQ_ERR_SUCCESS) {
  const bool wasConnected = c.link == Link::CONNECTED;
  c.link = Link::WAITING;
  c.announce = false;
  const int wait = c.refused ? LONGEST_RETRY_SECONDS : c.delay;
  c.nextAttemptAt = time(nullptr) + wait;
  if (!c.refused)
    c.delay = c.delay * 2 < LONGEST_RETRY_SECONDS ? c.delay * 2 : LONGEST_RETRY_SECONDS;
  if (c.refused) {
    dbg("MQTT broker %s:%d: next attempt in %d s\n", c.s.url.host.c_str(), c.s.url.port, wait);
  } else if (rc == MOSQ_ERR_TLS) {
    // Most likely a certificate the system does not trust: worth a line
    // without -d, as refused credentials are.
    fprintf(stderr, "MQTT broker %s:%d: TLS failed (%s); next attempt in %d s\n",
            c.s.url.host.c_str(), c.s.url.port, why, wait);
  } else if (wasConnected) {
    dbg("MQTT connection to %s:%d lost (%s); reconnecting in %d s\n", c.s.url.host.c_str(),
        c.s.url.port, why, wait);
  } else {
    dbg("MQTT broker %s:%d not reached (%s); next attempt in %d s\n", c.s.url.host.c_str(),
        c.s.url.port, why, wait);
  }
}

void onConnect(struct mosquitto *, void *, int rc) {
  if (rc == 0) {
    c.link = Link::CONNECTED;
    c.connectedAt = time(nullptr);
    c.refused = false;
    c.announce = true;
    dbg("MQTT connected to %s:%d as %s\n", c.s.url.host.c_str(), c.s.url.port, c.id.c_str());
    return;
  }
  // A refused login reads as users know it from MQTT 3.1.1 brokers.
  if (rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD) rc = CONNACK_BAD_CREDENTIALS;
  if (rc == MQTT_RC_NOT_AUTHORIZED) rc = CONNACK_NOT_AUTHORISED;
  // The broker hangs up next; the retry is planned then.
  c.refused = rc == CONNACK_BAD_CREDENTIALS || rc == CONNACK_NOT_AUTHORISED;
  fprintf(stderr, "MQTT broker %s:%d refused the connection (%s)%s\n", c.s.url.host.c_str(),
          c.s.url.port, rc < 128 ? mosquitto_connack_string(rc) : mosquitto_reason_string(rc),
          c.refused ? "; retrying once a minute" : "");
}

void onDisconnect(struct mosquitto *, void *, int rc) {
  if (c.stopping) return;
  // The library has no text for its own keep-alive verdict.
  scheduleRetry(rc == 0                    ? "disconnected"
                : rc == MOSQ_ERR_KEEPALIVE ? "no answer in time"
                                           : mosquitto_strerror(rc),
                rc);
}

// Reached only over TLS, where the bytes cannot be looked at before the
// library reads them: QoS 0 and 1 messages arrive here, QoS 2 ones are
// bounded by the receive maximum.
void onMessage(struct mosquitto *, void *, const struct mosquitto_message *) {
  c.misdeed = "a PUBLISH";
}

// The client as set up after mosquitto_new or mosquitto_reinitialise.
bool configure() {
  mosquitto_connect_callback_set(c.mosq, onConnect);
  mosquitto_disconnect_callback_set(c.mosq, onDisconnect);
  mosquitto_message_callback_set(c.mosq, onMessage);
  if (mosquitto_int_option(c.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5) !=
          MOSQ_ERR_SUCCESS ||
      mosquitto_int_option(c.mosq, MOSQ_OPT_RECEIVE_MAXIMUM, RECEIVE_MAXIMUM) != MOSQ_ERR_SUCCESS)
    return false;
  if (!c.s.url.user.empty() &&
      mosquitto_username_pw_set(c.mosq, c.s.url.user.c_str(),
                                c.s.hasPassword ? c.s.password.c_str() : nullptr) !=
          MOSQ_ERR_SUCCESS)
    return false;
  // The system's certificate store, as OpenSSL finds it.
  if (c.s.url.tls && mosquitto_int_option(c.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1) != MOSQ_ERR_SUCCESS)
    return false;
  return true;
}

// Throws away a connection the library does not end by itself (a TLS
// handshake that failed or hangs, a broker that broke the rules) with
// everything the library kept of it, and plans the next attempt.
void reset(const char *why) {
  mosquitto_reinitialise(c.mosq, nullptr, true, nullptr);
  configure();
  c.stalled = false;
  c.misdeed.clear();
  syncSocket();
  scheduleRetry(why);
}

// A broker that sends what no publishing client asked for is dropped: worth
// a line without -d, since it is the broker that needs mending.
void drop() {
  fprintf(stderr, "MQTT broker %s:%d sent %s; dropped\n", c.s.url.host.c_str(), c.s.url.port,
          c.misdeed.c_str());
  reset("dropped");
}

enum class Next { READ, WAIT, DROP };

// Looks at the next packet before the library reads it (which would take
// any size the header announces, in one go while the bytes keep coming):
// READ when it is whole and one a publishing client expects, WAIT for the
// rest of it, DROP with what was wrong in c.misdeed (where onMessage puts
// it over TLS). The library reads one packet a call, so the socket's next
// byte is always a packet's first.
Next inspect(int fd) {
  unsigned char head[5];
  const ssize_t n = recv(fd, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
  if (n <= 0) return Next::READ;  // the end, or an error: the library's to see
  int type = 0;
  size_t total = 0;
  const int complete = mqttPacketHead(head, static_cast<size_t>(n), &type, &total);
  if (complete == 0) return Next::WAIT;
  char text[64];
  if (complete < 0) {
    c.misdeed = "a packet length over four bytes";
    return Next::DROP;
  }
  if (total > MQTT_PACKET_MAX) {
    snprintf(text, sizeof text, "a packet of %zu bytes", total);
    c.misdeed = text;
    return Next::DROP;
  }
  if (type != PACKET_CONNACK && type != PACKET_PINGRESP && type != PACKET_DISCONNECT) {
    snprintf(text, sizeof text, type == PACKET_PUBLISH ? "a PUBLISH" : "a packet of type %d", type);
    c.misdeed = text;
    return Next::DROP;
  }
  int queued = 0;
  if (ioctl(fd, FIONREAD, &queued) == 0 && static_cast<size_t>(queued) < total) return Next::WAIT;
  return Next::READ;
}

void attempt(const char *id) {
  // A failed TLS handshake leaves state behind that refuses the next
  // connect: each TLS attempt starts from a clean client.
  if (c.s.url.tls && c.link == Link::WAITING) {
    mosquitto_reinitialise(c.mosq, nullptr, true, nullptr);
    configure();
  }
  c.id = id;
  c.retiring = false;
  const std::string status = topicOf(c.id, "status");
  mosquitto_will_set(c.mosq, status.c_str(), 7, "offline", WILL_QOS, true);
  c.attemptAt = time(nullptr);
  c.link = Link::CONNECTING;
  const int rc =
      mosquitto_connect_async(c.mosq, c.s.url.host.c_str(), c.s.url.port, KEEPALIVE_SECONDS);
  if (rc != MOSQ_ERR_SUCCESS)
    scheduleRetry(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc), rc);
}

void publishConfigs() {
  for (const quantity &q : QUANTITIES)
    publishTopic(configTopic(c.id, q),
                 mqttDiscoveryConfig(&q, c.s.units, c.s.prefix, c.id, c.model, c.s.version));
}

void announce() {
  c.announce = false;
  publishTopic(topicOf(c.id, "status"), "online");
  publishConfigs();
  if (c.s.connected != nullptr) c.s.connected();
}

// The service took another id: everything published under the old one is
// cleared (an empty retained message removes a topic, and with it the Home
// Assistant entity), then the client reconnects with the new will.
void retire() {
  for (const quantity &q : QUANTITIES) {
    publishTopic(configTopic(c.id, q), "");
    publishTopic(topicOf(c.id, q.key), "");
  }
  for (const char *sub : {"state", "station", "status"}) publishTopic(topicOf(c.id, sub), "");
  dbg("MQTT topics of %s cleared for the new id\n", c.id.c_str());
  c.delay = FIRST_RETRY_SECONDS;
  c.retiring = true;
  mosquitto_disconnect(c.mosq);
}

void ioHandler(int theFD, int events, int) {
  if (c.mosq == nullptr) return;
  if (events & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) {
    const Next next = c.s.url.tls ? Next::READ : inspect(theFD);
    // Left unwatched, or the loop would call again at once until the rest
    // comes; a broker that never sends it fails its keep-alive.
    if (next == Next::WAIT) c.stalled = true;
    if (next == Next::READ) mosquitto_loop_read(c.mosq, 1);
    if (!c.misdeed.empty()) return drop();
  }
  if ((events & POLLOUT) && mosquitto_socket(c.mosq) == theFD) mosquitto_loop_write(c.mosq, 1);
  if (c.announce) announce();
  // An error the library did not end the connection for would make the
  // loop call us again at once, for ever.
  if ((events & (POLLERR | POLLHUP | POLLNVAL)) && mosquitto_socket(c.mosq) == theFD) {
    reset("connection failed");
    return;
  }
  syncSocket();
}

void housekeeping(int, xPL_ObjectPtr) {
  if (c.mosq == nullptr) return;
  const char *id = c.s.identity != nullptr ? c.s.identity() : nullptr;
  const time_t now = time(nullptr);
  c.stalled = false;
  switch (c.link) {
    case Link::CONNECTED:
      if (id != nullptr && c.id != id) {
        if (!c.retiring) retire();
        break;
      }
      if (now - c.connectedAt >= STEADY_SECONDS) c.delay = FIRST_RETRY_SECONDS;
      mosquitto_loop_misc(c.mosq);
      break;
    case Link::CONNECTING:
      mosquitto_loop_misc(c.mosq);
      if (c.link == Link::CONNECTING && now - c.attemptAt > HANDSHAKE_LIMIT_SECONDS) {
        reset("no answer");
        return;
      }
      break;
    case Link::IDLE:
    case Link::WAITING:
      if (id != nullptr && now >= c.nextAttemptAt) attempt(id);
      break;
  }
  // A connection whose socket the library closed without telling.
  if ((c.link == Link::CONNECTING || c.link == Link::CONNECTED) && mosquitto_socket(c.mosq) < 0)
    scheduleRetry("connection closed");
  syncSocket();
}

bool hostFits(const std::string &host, bool bracketed) {
  if (host.empty() || host.size() > 253) return false;
  for (char ch : host) {
    const bool fits = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                      (ch >= '0' && ch <= '9') || ch == '.' || ch == '-' || ch == '_' ||
                      (bracketed && ch == ':');
    if (!fits) return false;
  }
  return true;
}

bool portFits(const std::string &text, int *port) {
  if (text.empty() || text.size() > 5) return false;
  int v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  if (v < 1 || v > 65535) return false;
  *port = v;
  return true;
}

}  // namespace

int mqttParseUrl(const char *text, mqtt_url *url) {
  if (text == nullptr) return -1;
  const std::string t(text);
  mqtt_url u;
  std::string rest;
  if (t.compare(0, 7, "mqtt://") == 0) {
    rest = t.substr(7);
  } else if (t.compare(0, 8, "mqtts://") == 0) {
    u.tls = true;
    rest = t.substr(8);
  } else {
    return -1;
  }
  if (rest.find_first_of("/?# ") != std::string::npos) return -1;
  // A user name may hold '@' itself (a mail address); the host never does.
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    u.user = rest.substr(0, at);
    rest = rest.substr(at + 1);
    // A password in the URL would show in ps; it comes from the environment.
    if (u.user.empty() || u.user.find(':') != std::string::npos) return -1;
    for (char ch : u.user)
      if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) return -1;
  }
  std::string portText;
  bool hasPort = false;
  bool bracketed = false;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return -1;
    bracketed = true;
    u.host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return -1;
      hasPort = true;
      portText = rest.substr(1);
    }
  } else {
    const size_t colon = rest.find(':');
    u.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      hasPort = true;
      portText = rest.substr(colon + 1);
    }
  }
  if (!hostFits(u.host, bracketed)) return -1;
  u.port = u.tls ? DEFAULT_TLS_PORT : DEFAULT_PORT;
  if (hasPort && !portFits(portText, &u.port)) return -1;
  *url = u;
  return 0;
}

int mqttPacketHead(const unsigned char *bytes, size_t n, int *type, size_t *total) {
  if (n < 2) return 0;
  // The remaining length: seven bits a byte, least significant first, the
  // top bit set on every byte but the last.
  size_t length = 0;
  for (size_t i = 1; i <= 4; i++) {
    if (i >= n) return 0;
    length |= static_cast<size_t>(bytes[i] & 0x7F) << (7 * (i - 1));
    if ((bytes[i] & 0x80) == 0) {
      *type = bytes[0] >> 4;
      *total = 1 + i + length;
      return 1;
    }
  }
  return -1;
}

bool mqttPrefixFits(const char *prefix) {
  if (prefix == nullptr) return false;
  const size_t n = strlen(prefix);
  if (n == 0 || n > MQTT_PREFIX_MAX || prefix[0] == '$' || prefix[0] == '/' ||
      prefix[n - 1] == '/' || strstr(prefix, "//") != nullptr)
    return false;
  for (size_t i = 0; i < n; i++)
    if (static_cast<unsigned char>(prefix[i]) < 0x20) return false;
  return mosquitto_validate_utf8(prefix, static_cast<int>(n)) == MOSQ_ERR_SUCCESS &&
         mosquitto_pub_topic_check(prefix) == MOSQ_ERR_SUCCESS;
}

std::string mqttDiscoveryConfig(const quantity *q, unit_system units, const std::string &prefix,
                                const std::string &id, const std::string &model,
                                const std::string &version) {
  const std::string base = prefix + "/" + id;
  const unit_form *form = quantityForm(q, units);
  json j;
  j["name"] = q->name;
  j["unique_id"] = "kivamet_" + id + "_" + q->key;
  j["state_topic"] = base + "/" + q->key;
  j["unit_of_measurement"] = form->unit;
  j["device_class"] = q->haClass;
  j["state_class"] = q->haStateClass;
  j["suggested_display_precision"] = form->decimals;
  // Live only while both kivamet and the station are up.
  j["availability"] = json::array({{{"topic", base + "/status"}}, {{"topic", base + "/station"}}});
  j["availability_mode"] = "all";
  json device;
  device["identifiers"] = json::array({"kivamet_" + id});
  device["name"] = "kivamet " + id;
  device["manufacturer"] = "Davis";
  device["model"] = model;
  device["sw_version"] = version;
  j["device"] = device;
  // Who made the config, for Home Assistant's log and its users.
  j["origin"] = {
      {"name", "kivamet"}, {"sw_version", KIVAMET_VERSION}, {"support_url", KIVAMET_HOMEPAGE}};
  return j.dump();
}

int mqttStart(const mqtt_settings &settings) {
  c = Client();
  c.s = settings;
  mosquitto_lib_init();
  c.mosq = mosquitto_new(nullptr, true, nullptr);
  if (c.mosq == nullptr || !configure()) {
    fprintf(stderr, "cannot set up the MQTT client: %s\n", strerror(errno));
    return -1;
  }
  xPL_addTimeoutHandler(housekeeping, HOUSEKEEPING_SECONDS, nullptr);
  return 0;
}

void mqttStop(void) {
  if (c.mosq == nullptr) return;
  xPL_removeTimeoutHandler(housekeeping);
  c.stopping = true;
  if (c.link == Link::CONNECTED) {
    // A clean goodbye sends no will: say it ourselves.
    publishTopic(topicOf(c.id, "status"), "offline");
    mosquitto_disconnect(c.mosq);
  }
  mosquitto_destroy(c.mosq);
  c.mosq = nullptr;
  syncSocket();
  mosquitto_lib_cleanup();
}

void mqttSetModel(const char *model) {
  if (model == nullptr || c.model == model) return;
  c.model = model;
  if (mqttConnected()) {
    publishConfigs();
    syncSocket();
  }
}

bool mqttConnected(void) {
  return c.mosq != nullptr && c.link == Link::CONNECTED && !c.announce && !c.retiring;
}

void mqttPublish(const char *subtopic, const std::string &payload) {
  if (!mqttConnected()) return;
  publishTopic(topicOf(c.id, subtopic), payload);
  syncSocket();
}
