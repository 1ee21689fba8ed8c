// peer.h - the far end of a station line for tests: a scripted station on a
// socketpair or pty master, a pty pair, and a capture of the link's trace.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "davis.h"

namespace stationtest {

using Bytes = std::vector<uint8_t>;

Bytes bytes(const std::string &s);  // the characters of s as bytes
Bytes withCrc(Bytes data);          // data followed by its CRC, high byte first

// One exchange: read exactly `expect` bytes of command, then send `reply`,
// a byte every `gap` when one is given (an adaptor that trickles).
struct Step {
  size_t expect;
  Bytes reply;
  std::chrono::milliseconds gap{0};
};

// Plays the station on one descriptor in a thread of its own. Every wait
// is bounded; finish() stops it and returns everything it received.
class ScriptedPeer {
 public:
  ScriptedPeer(int fd, std::vector<Step> steps);
  ~ScriptedPeer();
  Bytes finish();
  // The commands read by each step, in order.
  std::vector<Bytes> commands();

 private:
  void run();
  int fd_;
  int stopPipe_[2];
  std::vector<Step> steps_;
  std::mutex mu_;
  std::vector<Bytes> commands_;
  Bytes all_;
  std::thread thread_;
  bool finished_ = false;
};

// The lines of `text` that contain `needle` ("" for every line).
std::vector<std::string> linesWith(const std::string &text, const std::string &needle);

// Owns a record from davis_open or davis_tcp_open: closes and frees it.
struct Device {
  davis_device *d = nullptr;
  Device() = default;
  explicit Device(davis_device *dev) : d(dev) {}
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;
  ~Device() { reset(); }
  void reset();
};

// A connected pair for the link: `link` is what davis_device uses.
struct Line {
  int link = -1;
  int peer = -1;
  std::string path;  // pty slave path, empty for a socketpair
  static Line socketPair();
  static Line pty();  // slave raw, both ends open
  ~Line();
  Line() = default;
  Line(Line &&o) noexcept;
  Line &operator=(Line &&) = delete;
};

// Sends fd 1 into a pipe for as long as it lives; the link's trace goes
// to standard output.
class CaptureStdout {
 public:
  CaptureStdout();
  ~CaptureStdout();
  bool waitFor(const std::string &text, std::chrono::milliseconds limit);
  std::string text();  // stops the capture first

 private:
  void stop();
  int saved_ = -1;
  int pipe_[2] = {-1, -1};
  std::mutex mu_;
  std::condition_variable cv_;
  std::string text_;
  std::thread reader_;
  bool stopped_ = false;
};

}  // namespace stationtest
