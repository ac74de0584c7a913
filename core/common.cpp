// CRC-16/UMTS (polynomial 0x8005, initial 0, MSB first, no reflection, no
// final XOR): the checksum of every SROM image field and firmware area.
#include "common.h"

#include <array>

namespace {

constexpr uint16_t kCrcPolynomial = 0x8005;

// Register value after feeding one byte into a zero register: entry `b` is
// the CRC of the single byte b, computed bit by bit at compile time.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned reg = b << 8;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 0x8000u) ? ((reg << 1) ^ kCrcPolynomial) : (reg << 1);
      reg &= 0xFFFFu;
    }
    table[b] = static_cast<uint16_t>(reg);
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

static_assert(kCrcTable[0] == 0x0000, "CRC table entry 0");
static_assert(kCrcTable[1] == kCrcPolynomial, "CRC table entry 1 is the polynomial");

}  // namespace

int CalcCRC16(const unsigned char* data, uint32_t length) {
  if (data == nullptr) return 0;
  uint16_t crc = 0;
  for (uint32_t i = 0; i < length; ++i) {
    // The high byte of the register meets the next input byte; the table
    // gives what eight shifts make of it, the low byte moves up unchanged.
    const unsigned index = ((crc >> 8) ^ data[i]) & 0xFFu;
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[index]);
  }
  return crc;
}

int CalcCRC16Bitwise(const unsigned char* data, uint32_t length) {
  if (data == nullptr) return 0;
  unsigned crc = 0;
  for (uint32_t i = 0; i < length; ++i) {
    crc ^= static_cast<unsigned>(data[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000u) ? ((crc << 1) ^ kCrcPolynomial) : (crc << 1);
      crc &= 0xFFFFu;
    }
  }
  return static_cast<int>(crc);
}
