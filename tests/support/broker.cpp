// broker.cpp - mosquitto as a test broker, and a test subscriber.
#include "broker.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
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

// Waits up to 100 ms for the socket to take more, then sends what it takes
// of bytes from *at on; false once the peer is gone.
bool sendSome(int fd, const std::string &bytes, size_t *at) {
  struct pollfd p = {fd, POLLOUT, 0};
  if (poll(&p, 1, 100) <= 0) return !(p.revents & (POLLERR | POLLHUP));
  const ssize_t n = send(fd, bytes.data() + *at, bytes.size() - *at, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  *at += static_cast<size_t>(n);
  return true;
}

// Appends n bytes from the socket; false on a hang-up or at the deadline.
bool receive(int fd, size_t n, std::string *into, Clock::time_point deadline) {
  for (const size_t want = into->size() + n; into->size() < want;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (Clock::now() >= deadline || poll(&p, 1, 100) < 0) return false;
    char c;
    if (p.revents == 0) continue;
    if (recv(fd, &c, 1, 0) != 1) return false;
    *into += c;
  }
  return true;
}

// The client's first packet, whole: its fixed header, the length field
// (seven bits a byte while the top bit is set) and what it counts.
bool readPacket(int fd, std::string *packet) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  if (!receive(fd, 1, packet, deadline)) return false;
  size_t length = 0;
  for (int shift = 0; shift <= 21; shift += 7) {
    if (!receive(fd, 1, packet, deadline)) return false;
    const auto b = static_cast<unsigned char>(packet->back());
    length |= static_cast<size_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return receive(fd, length, packet, deadline);
  }
  return false;
}

}  // namespace

bool HostileBroker::start(Misdeed misdeed, ms limit) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  port_ = ntohs(sa.sin_port);
  misdeed_ = misdeed;
  until_ = Clock::now() + limit;
  stop_ = false;
  thread_ = std::thread([this, fd] {
    while (!stop_ && Clock::now() < until_) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      connections_++;
      serve(client);
      close(client);
    }
    close(fd);
  });
  return true;
}

void HostileBroker::serve(int fd) {
  std::string connect;
  if (!readPacket(fd, &connect)) return;
  // Protocol level 5, after the protocol name, wants a CONNACK with (empty)
  // properties.
  const size_t name = connect.find(std::string("\x00\x04MQTT", 6));
  const bool v5 = name != std::string::npos && name + 6 < connect.size() && connect[name + 6] == 5;
  const std::string connack =
      v5 ? std::string("\x20\x03\x00\x00\x00", 5) : std::string("\x20\x02\x00\x00", 4);
  size_t at = 0;
  while (at < connack.size())
    if (!sendSome(fd, connack, &at) || stop_) return;
  if (misdeed_ == HANG_UP) return;
  std::string stream;
  if (misdeed_ == QOS2_FLOOD) {
    // A round of PUBLISHes to "x" with packet ids 1 to 100, 32 bytes each.
    for (int id = 1; id <= 100; id++) {
      std::string body = std::string("\x00\x01x", 3) + char(id >> 8) + char(id & 0xFF);
      if (v5) body += '\0';
      body.resize(30, 'w');
      stream += std::string("\x34") + char(body.size()) + body;
    }
  } else {
    // 256 MB less one, the largest length four bytes hold; then zeros.
    const std::string head("\x30\xFF\xFF\xFF\x7F", 5);
    for (at = 0; at < head.size();)
      if (!sendSome(fd, head, &at) || stop_) return;
    stream.assign(65536, '\0');
  }
  for (at = 0; !stop_ && Clock::now() < until_; at %= stream.size())
    if (!sendSome(fd, stream, &at)) return;
}

void HostileBroker::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

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
