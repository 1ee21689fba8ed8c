// framer.cpp - command frames out of a byte stream.
#include "framer.h"

#include <cstring>

namespace stationsim {
namespace {

constexpr uint8_t CR = 0x0D;

// Frame length from what is known so far, or 0 while a byte it depends on
// has not arrived.
using LengthFn = size_t (*)(const std::deque<uint8_t> &);

template <size_t N>
size_t fixed(const std::deque<uint8_t> &) {
  return N;
}

// Station write: the nibble count is the high half of the fourth byte.
size_t wwrLength(const std::deque<uint8_t> &b) {
  return b.size() < 4 ? 0 : 6 + ((b[3] >> 4) + 1) / 2;
}

// Link write: the count less one is the low half of the fourth byte.
size_t rwrLength(const std::deque<uint8_t> &b) {
  return b.size() < 4 ? 0 : 6 + ((b[3] & 0x0F) + 2) / 2;
}

struct CommandShape {
  const char *word;
  Cmd cmd;
  LengthFn length;
};

const CommandShape COMMANDS[] = {
    {"WRD", Cmd::WRD, fixed<6>},     {"WWR", Cmd::WWR, wwrLength}, {"RRD", Cmd::RRD, fixed<7>},
    {"RWR", Cmd::RWR, rwrLength},    {"SRD", Cmd::SRD, fixed<8>},  {"SWR", Cmd::SWR, fixed<8>},
    {"LOOP", Cmd::LOOP, fixed<7>},   {"DMP", Cmd::DMP, fixed<4>},  {"MDMP", Cmd::MDMP, fixed<5>},
    {"SAP", Cmd::SAP, fixed<5>},     {"SSP", Cmd::SSP, fixed<5>},  {"STOP", Cmd::STOP, fixed<5>},
    {"START", Cmd::START, fixed<6>}, {"ARC", Cmd::ARC, fixed<4>},  {"IMG", Cmd::IMG, fixed<4>},
    {"DBT", Cmd::DBT, fixed<4>},     {"EBT", Cmd::EBT, fixed<4>},
};

}  // namespace

constexpr std::chrono::milliseconds Framer::STALE;

void Framer::push(const uint8_t *data, size_t len, Clock::time_point now) {
  if (len == 0) return;
  buf_.insert(buf_.end(), data, data + len);
  while (buf_.size() > MAX_BUFFER) buf_.pop_front();
  lastByte_ = now;
}

std::optional<Frame> Framer::next(Clock::time_point now) {
  while (!buf_.empty()) {
    bool waiting = false;
    for (const CommandShape &s : COMMANDS) {
      const size_t wordLen = strlen(s.word);
      const size_t have = buf_.size();
      bool prefix = true;
      for (size_t i = 0; i < wordLen && i < have && prefix; i++)
        prefix = buf_[i] == static_cast<uint8_t>(s.word[i]);
      if (!prefix) continue;
      const size_t need = have < wordLen ? 0 : s.length(buf_);
      if (need == 0 || have < need) {
        waiting = true;
        continue;
      }
      if (buf_[need - 1] != CR) continue;
      Frame f{s.cmd, std::vector<uint8_t>(buf_.begin(), buf_.begin() + static_cast<long>(need))};
      buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(need));
      return f;
    }
    if (waiting && now - lastByte_ < STALE) return std::nullopt;
    buf_.pop_front();
  }
  return std::nullopt;
}

std::optional<Framer::Clock::time_point> Framer::staleAt() const {
  if (buf_.empty()) return std::nullopt;
  return lastByte_ + STALE;
}

}  // namespace stationsim
