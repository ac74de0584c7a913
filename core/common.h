// Helpers shared by every part of the core: the CRC and byte-wise
// little-endian access.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/UMTS: polynomial 0x8005, initial 0, no reflection, no final XOR.
int CalcCRC16(const unsigned char* data, uint32_t length);

// The bit-at-a-time form of the same CRC; kept as the reference the
// table-driven form is checked and benchmarked against.
int CalcCRC16Bitwise(const unsigned char* data, uint32_t length);

inline uint16_t GetLE16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetLE32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutLE16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void PutLE32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
  p[2] = static_cast<unsigned char>((v >> 16) & 0xFF);
  p[3] = static_cast<unsigned char>(v >> 24);
}
inline uint16_t GetBE16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t GetBE32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline void PutBE16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v & 0xFF);
}
inline void PutBE32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>((v >> 16) & 0xFF);
  p[2] = static_cast<unsigned char>((v >> 8) & 0xFF);
  p[3] = static_cast<unsigned char>(v & 0xFF);
}

// True when [offset, offset + length) lies inside a buffer of `size` bytes,
// computed without overflow.
inline bool RangeInside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}
