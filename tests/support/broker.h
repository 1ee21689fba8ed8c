// broker.h - a real MQTT broker (Debian's mosquitto) as a child process on
// 127.0.0.1, a subscriber that keeps every message it gets, and a hostile
// broker. Waits are bounded and end on a broker line or a message, never on
// a sleep.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "files.h"

struct mosquitto;
struct mosquitto_message;

namespace testsupport {

class Broker {
 public:
  using ms = std::chrono::milliseconds;
  // Starts on the port given (0: a free one), anonymous unless a user is
  // given, with that user's password then; no persistence, so retained
  // messages live as long as this run of the broker.
  bool start(int port = 0, const std::string &user = "", const std::string &password = "",
             ms limit = std::chrono::seconds(10));
  bool stop(ms limit = std::chrono::seconds(10));
  int port() const { return port_; }
  std::string url(const std::string &user = "") const {
    return "mqtt://" + (user.empty() ? "" : user + "@") + "127.0.0.1:" + std::to_string(port_);
  }
  Process &proc() { return *p_; }

 private:
  std::unique_ptr<Process> p_ = std::make_unique<Process>();
  int port_ = 0;
  ScratchDir dir_{"broker"};
};

struct MqttMsg {
  std::string topic, payload;
  bool retained;
};

// Subscribes to every topic ("#") of a broker on 127.0.0.1.
class MqttSub {
 public:
  using ms = std::chrono::milliseconds;
  ~MqttSub();
  bool connect(int port, const std::string &user = "", const std::string &password = "",
               ms limit = std::chrono::seconds(10));
  size_t mark() const { return messages_.size(); }
  // The first message at or after `from` that matches; null on timeout.
  const MqttMsg *waitFor(const std::function<bool(const MqttMsg &)> &match, ms limit,
                         size_t from = 0);
  // The first one on the topic (with the payload, unless it is null).
  const MqttMsg *waitFor(const std::string &topic, const char *payload, ms limit, size_t from = 0);
  const std::vector<MqttMsg> &messages() const { return messages_; }

 private:
  static void onMessage(struct mosquitto *, void *self, const struct mosquitto_message *m);
  struct mosquitto *mosq_ = nullptr;
  bool subscribed_ = false;
  std::vector<MqttMsg> messages_;
};

// A broker that misbehaves, in a thread of the test on 127.0.0.1: it takes
// one connection at a time, answers its CONNECT with a CONNACK and then does
// its misdeed until the client hangs up; stopped by stop() or its time limit.
class HostileBroker {
 public:
  using ms = std::chrono::milliseconds;
  enum Misdeed {
    QOS2_FLOOD,   // unasked-for QoS 2 PUBLISHes, as fast as they go
    HUGE_PACKET,  // a PUBLISH announced at 256 MB, then its bytes
    HANG_UP,      // nothing: closes the connection at once
  };
  ~HostileBroker() { stop(); }
  bool start(Misdeed misdeed, ms limit);
  void stop();
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
  int connections() const { return connections_; }

 private:
  void serve(int fd);
  Misdeed misdeed_ = HANG_UP;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::chrono::steady_clock::time_point until_;
};

}  // namespace testsupport
