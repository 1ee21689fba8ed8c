// broker.cpp - mosquitto as a test broker, and a test subscriber.
#include "broker.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// A port nothing listens on now; the broker binds it next.
int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
    port = ntohs(sa.sin_port);
  close(fd);
  return port;
}

}  // namespace

bool Broker::start(int port, const std::string &user, const std::string &password, ms limit) {
  port_ = port != 0 ? port : freePort();
  std::ofstream conf(dir_.file("mosquitto.conf"));
  conf << "listener " << port_ << " 127.0.0.1\nlog_dest stderr\npersistence false\n";
  // As root mosquitto would switch to its own user, which cannot read ours.
  if (geteuid() == 0) conf << "user root\n";
  if (user.empty()) {
    conf << "allow_anonymous true\n";
  } else {
    conf << "allow_anonymous false\npassword_file " << dir_.file("passwd") << "\n";
    Process pw;
    if (!pw.start({"mosquitto_passwd", "-b", "-c", dir_.file("passwd"), user, password}) ||
        pw.wait(limit) != 0)
      return false;
  }
  conf.close();
  // A restart gets a fresh process record, output included.
  if (p_->pid() > 0) p_ = std::make_unique<Process>();
  return p_->start({"/usr/sbin/mosquitto", "-c", dir_.file("mosquitto.conf")}) &&
         p_->waitForStderr(" running", limit);
}

bool Broker::stop(ms limit) {
  // Killed: no goodbye to its clients (and a SIGTERM right after the start
  // can be lost in mosquitto's own start-up).
  return p_->signal(SIGKILL) && p_->wait(limit) >= 0;
}

MqttSub::~MqttSub() {
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
}

void MqttSub::onMessage(struct mosquitto *, void *self, const struct mosquitto_message *m) {
  static_cast<MqttSub *>(self)->messages_.push_back(
      {m->topic, std::string(static_cast<const char *>(m->payload), m->payloadlen), m->retain});
}

bool MqttSub::connect(int port, const std::string &user, const std::string &password, ms limit) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(nullptr, true, this);
  if (mosq_ == nullptr) return false;
  mosquitto_message_callback_set(mosq_, onMessage);
  if (!user.empty()) mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
  mosquitto_subscribe_callback_set(mosq_,
                                   [](struct mosquitto *, void *self, int, int, const int *) {
                                     static_cast<MqttSub *>(self)->subscribed_ = true;
                                   });
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
      mosquitto_subscribe(mosq_, nullptr, "#", 0) != MOSQ_ERR_SUCCESS)
    return false;
  const auto deadline = Clock::now() + limit;
  while (!subscribed_ && Clock::now() < deadline)
    if (mosquitto_loop(mosq_, 100, 1) != MOSQ_ERR_SUCCESS) return false;
  return subscribed_;
}

const MqttMsg *MqttSub::waitFor(const std::function<bool(const MqttMsg &)> &match, ms limit,
                                size_t from) {
  const auto deadline = Clock::now() + limit;
  for (size_t next = from;;) {
    for (; next < messages_.size(); next++)
      if (match(messages_[next])) return &messages_[next];
    if (Clock::now() >= deadline || mosq_ == nullptr) return nullptr;
    // Messages arrive through onMessage during the wait.
    if (mosquitto_loop(mosq_, 100, 1) != MOSQ_ERR_SUCCESS) return nullptr;
  }
}

const MqttMsg *MqttSub::waitFor(const std::string &topic, const char *payload, ms limit,
                                size_t from) {
  return waitFor(
      [&](const MqttMsg &m) {
        return m.topic == topic && (payload == nullptr || m.payload == payload);
      },
      limit, from);
}

}  // namespace testsupport
