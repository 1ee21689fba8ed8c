// framer.h - cuts the logger's command frames out of a raw byte stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace stationsim {

enum class Cmd {
  WRD,
  WWR,
  RRD,
  RWR,
  SRD,
  SWR,
  LOOP,
  DMP,
  MDMP,
  SAP,
  SSP,
  STOP,
  START,
  ARC,
  IMG,
  DBT,
  EBT
};

struct Frame {
  Cmd cmd;
  std::vector<uint8_t> bytes;  // the whole frame, letters to carriage return
};

// A frame is a known command word followed by exactly the bytes its layout
// gives and a carriage return in the last place. Anything else is skipped a
// byte at a time, so garbage and the 0x00 after the fixed commands cost
// nothing. A frame left incomplete for a moment is a lost one: its first
// byte is dropped so that a command behind it is not held up.
class Framer {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds STALE{200};
  static constexpr size_t MAX_BUFFER = 4096;

  void push(const uint8_t *data, size_t len, Clock::time_point now);
  std::optional<Frame> next(Clock::time_point now);
  // When an incomplete frame will be given up, if one is waiting.
  std::optional<Clock::time_point> staleAt() const;
  void clear() { buf_.clear(); }

 private:
  std::deque<uint8_t> buf_;
  Clock::time_point lastByte_{};
};

}  // namespace stationsim
