// peer.cpp - scripted station, test lines and trace capture.
#include "peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace stationtest {
namespace {

// The link prints its trace with stdio; line buffering lets a test wait
// for a trace line while the call that prints it is still running.
const int stdoutLineBuffered = setvbuf(stdout, nullptr, _IOLBF, 0);

constexpr int PEER_WAIT_MS = 5000;

void writeAll(int fd, const Bytes &b) {
  size_t done = 0;
  while (done < b.size()) {
    ssize_t n = write(fd, b.data() + done, b.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Bit by bit, independent of the table the link uses.
uint16_t crcBitwise(const Bytes &data) {
  uint16_t crc = 0;
  for (uint8_t b : data) {
    crc ^= static_cast<uint16_t>(b << 8);
    for (int i = 0; i < 8; i++)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

}  // namespace

Bytes bytes(const std::string &s) {
  return Bytes(s.begin(), s.end());
}

Bytes withCrc(Bytes data) {
  const uint16_t crc = crcBitwise(data);
  data.push_back(static_cast<uint8_t>(crc >> 8));
  data.push_back(static_cast<uint8_t>(crc & 0xFF));
  return data;
}

ScriptedPeer::ScriptedPeer(int fd, std::vector<Step> steps) : fd_(fd), steps_(std::move(steps)) {
  (void)stdoutLineBuffered;
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) abort();
  thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
  finish();
}

void ScriptedPeer::run() {
  uint8_t buf[512];
  // Returns the bytes read, 0 on stop, end of stream or a silent link.
  auto readSome = [&](size_t most, int waitMs) -> ssize_t {
    struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, waitMs) <= 0) return 0;
    // Whatever the link sent before finish() is still taken in.
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return 0;
    ssize_t n = read(fd_, buf, std::min(most, sizeof buf));
    if (n > 0) {
      std::lock_guard<std::mutex> lock(mu_);
      all_.insert(all_.end(), buf, buf + n);
    }
    return n > 0 ? n : 0;
  };
  for (const Step &s : steps_) {
    Bytes cmd;
    while (cmd.size() < s.expect) {
      ssize_t n = readSome(s.expect - cmd.size(), PEER_WAIT_MS);
      if (n == 0) return;
      cmd.insert(cmd.end(), buf, buf + n);
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      commands_.push_back(cmd);
    }
    if (s.gap.count() == 0) {
      writeAll(fd_, s.reply);
      continue;
    }
    for (uint8_t b : s.reply) {
      struct pollfd stop = {stopPipe_[0], POLLIN, 0};
      if (poll(&stop, 1, static_cast<int>(s.gap.count())) != 0) return;
      writeAll(fd_, {b});
    }
  }
  // Anything more the link sends is kept, until finish().
  while (readSome(sizeof buf, -1) > 0) {
  }
}

Bytes ScriptedPeer::finish() {
  if (!finished_) {
    finished_ = true;
    const char stop = 's';
    if (write(stopPipe_[1], &stop, 1) != 1) abort();
    thread_.join();
    close(stopPipe_[0]);
    close(stopPipe_[1]);
  }
  std::lock_guard<std::mutex> lock(mu_);
  return all_;
}

std::vector<Bytes> ScriptedPeer::commands() {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}

std::vector<std::string> linesWith(const std::string &text, const std::string &needle) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    if (line.find(needle) != std::string::npos) out.push_back(line);
    pos = nl + 1;
  }
  return out;
}

void Device::reset() {
  if (d == nullptr) return;
  close(d->fd);
  free(d);
  d = nullptr;
}

Line Line::socketPair() {
  Line l;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  l.link = sv[0];
  l.peer = sv[1];
  return l;
}

Line Line::pty() {
  Line l;
  l.peer = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (l.peer < 0 || grantpt(l.peer) != 0 || unlockpt(l.peer) != 0) abort();
  l.path = ptsname(l.peer);
  l.link = open(l.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (l.link < 0) abort();
  struct termios tio;
  tcgetattr(l.link, &tio);
  cfmakeraw(&tio);
  tcsetattr(l.link, TCSANOW, &tio);
  return l;
}

Line::Line(Line &&o) noexcept : link(o.link), peer(o.peer), path(std::move(o.path)) {
  o.link = o.peer = -1;
}

Line::~Line() {
  if (link >= 0) close(link);
  if (peer >= 0) close(peer);
}

CaptureStdout::CaptureStdout() {
  fflush(stdout);
  if (pipe2(pipe_, O_CLOEXEC) != 0) abort();
  saved_ = dup(STDOUT_FILENO);
  dup2(pipe_[1], STDOUT_FILENO);
  reader_ = std::thread([this] {
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_[0], buf, sizeof buf)) > 0) {
      std::lock_guard<std::mutex> lock(mu_);
      text_.append(buf, static_cast<size_t>(n));
      cv_.notify_all();
    }
  });
}

CaptureStdout::~CaptureStdout() {
  stop();
}

void CaptureStdout::stop() {
  if (stopped_) return;
  stopped_ = true;
  fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
  close(pipe_[1]);
  reader_.join();
  close(pipe_[0]);
}

bool CaptureStdout::waitFor(const std::string &text, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return text_.find(text) != std::string::npos; });
}

std::string CaptureStdout::text() {
  stop();
  return text_;
}

}  // namespace stationtest
