// memory.h - a station memory addressed in nibbles, as the logger sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace stationsim {

// Nibble a lives in byte a/2: the low half for an even a, the high half for
// an odd one. Addresses wrap at the memory's size, as a bank counter would.
class NibbleMemory {
 public:
  explicit NibbleMemory(unsigned nibbles) : nibbles_(nibbles), bytes_((nibbles + 1) / 2, 0) {}

  unsigned size() const { return nibbles_; }

  unsigned nibble(unsigned addr) const {
    addr %= nibbles_;
    uint8_t b = bytes_[addr / 2];
    return (addr & 1) ? b >> 4 : b & 0x0F;
  }

  void setNibble(unsigned addr, unsigned v) {
    addr %= nibbles_;
    uint8_t &b = bytes_[addr / 2];
    b = (addr & 1) ? static_cast<uint8_t>((b & 0x0F) | ((v & 0x0F) << 4))
                   : static_cast<uint8_t>((b & 0xF0) | (v & 0x0F));
  }

  // n nibbles from addr, two a byte, first nibble in the low half. An odd
  // count leaves the last high half 0, so a one-nibble cell reads as a
  // plain byte (the model code at 0x4D relies on that).
  std::vector<uint8_t> read(unsigned addr, unsigned n) const {
    std::vector<uint8_t> out((n + 1) / 2, 0);
    for (unsigned k = 0; k < n; k++)
      out[k / 2] |= static_cast<uint8_t>(nibble(addr + k) << ((k & 1) * 4));
    return out;
  }

  // Stores n nibbles packed as read() delivers them.
  void write(unsigned addr, const uint8_t *bytes, unsigned n) {
    for (unsigned k = 0; k < n; k++) setNibble(addr + k, bytes[k / 2] >> ((k & 1) * 4));
  }

  // Little-endian values of 2 or 4 nibbles, the widths the map uses.
  int get8(unsigned addr) const { return read(addr, 2)[0]; }
  int get16(unsigned addr) const {
    std::vector<uint8_t> b = read(addr, 4);
    return static_cast<int16_t>(b[0] | (b[1] << 8));
  }
  void set8(unsigned addr, int v) {
    const uint8_t b = static_cast<uint8_t>(v);
    write(addr, &b, 2);
  }
  void set16(unsigned addr, int v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>((v >> 8) & 0xFF)};
    write(addr, b, 4);
  }

 private:
  unsigned nibbles_;
  std::vector<uint8_t> bytes_;
};

}  // namespace stationsim
