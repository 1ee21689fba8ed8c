/* mqtt.h - the MQTT side of live publishing: one broker connection run
 * inside the xPL event loop, and the Home Assistant discovery configs.
 *
 * The connection never holds the loop: it is made asynchronously, its
 * socket is a managed device of the loop (watched for writing only while
 * output waits), and a timeout handler keeps it alive and reconnects with a
 * delay that doubles up to a minute, and starts again from a second only
 * once a connection has lasted a minute. Every topic is retained; the status
 * topic carries "offline" as the last will.
 *
 * The broker is not trusted with the daemon's memory or its loop: each
 * readiness hands the library one packet at most, and a broker that sends
 * anything but the few packets a publishing client expects, or a packet
 * over MQTT_PACKET_MAX bytes, is dropped before the library reads it.
 */
#ifndef KIVAMET_MQTT_H
#define KIVAMET_MQTT_H

#include <stddef.h>

#include <string>

#include "quantities.h"

/* Longest prefix taken for the topics. */
#define MQTT_PREFIX_MAX 128

struct mqtt_url {
  bool tls = false;
  std::string user; /* empty: none */
  std::string host;
  int port = 0;
};

/* mqtt://[user@]host[:port] or mqtts://...; the port defaults to 1883
 * (8883 with TLS). Returns 0, or -1 for anything else: another scheme, a
 * password in the URL, a path, an empty part, a port outside 1..65535. */
int mqttParseUrl(const char *text, mqtt_url *url);

/* Whether a text may lead the topics: 1 to MQTT_PREFIX_MAX characters, no
 * wildcard, no empty level, not a broker topic ("$..."). */
bool mqttPrefixFits(const char *prefix);

struct mqtt_settings {
  mqtt_url url;
  bool hasPassword = false;
  std::string password;
  std::string prefix;   /* <prefix>/<id>/<key> */
  std::string haPrefix; /* <haPrefix>/sensor/kivamet_<id>/<key>/config */
  unit_system units = UNITS_US;
  std::string version; /* software version in the device block */
  /* The id the topics carry, or null while there is none yet (an
   * unconfigured service): nothing is published until there is one. */
  const char *(*identity)(void) = nullptr;
  /* Called once status and discovery configs are out after each connect:
   * the caller publishes the station state and the values. */
  void (*connected)(void) = nullptr;
};

/* What a broker may send this client, which publishes at QoS 0 and
 * subscribes to nothing: a CONNACK, a PINGRESP or a DISCONNECT, of at most
 * MQTT_PACKET_MAX bytes in all. */
#define MQTT_PACKET_MAX 4096

/* Reads the fixed header at the start of `n` received bytes: the packet
 * type (the high nibble of the first byte) and the packet's whole size.
 * Returns 1 when the header is complete, 0 when more bytes are needed, -1
 * when its length field runs past four bytes (no packet has one). */
int mqttPacketHead(const unsigned char *bytes, size_t n, int *type, size_t *total);

/* The discovery config of one quantity, as JSON text. */
std::string mqttDiscoveryConfig(const quantity *q, unit_system units, const std::string &prefix,
                                const std::string &id, const std::string &model,
                                const std::string &version);

/* Starts the client (the first connection attempt follows from the loop).
 * Returns 0, or -1 with a line on stderr when the library cannot be set up. */
int mqttStart(const mqtt_settings &settings);
/* Says "offline" on the status topic and leaves the broker. */
void mqttStop(void);
/* The station model for the device block; the configs go out again when
 * it changes. */
void mqttSetModel(const char *model);
bool mqttConnected(void);
/* Publishes, retained, at <prefix>/<id>/<subtopic>; nothing while not
 * connected (the caller republishes from `connected`). */
void mqttPublish(const char *subtopic, const std::string &payload);

#endif /* KIVAMET_MQTT_H */
