// CRC-16/UMTS: catalogue check values and the table-driven form against the
// bit-at-a-time reference.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "common.h"

namespace {

int Crc(const char* s) {
  return CalcCRC16(reinterpret_cast<const unsigned char*>(s),
                   static_cast<uint32_t>(std::strlen(s)));
}

TEST(Crc16, CatalogueCheckValues) {
  EXPECT_EQ(Crc("123456789"), 0xFEE8);
  EXPECT_EQ(Crc("abc"), 0xCADB);
  EXPECT_EQ(Crc(""), 0x0000);
  const unsigned char one = 0x01;
  EXPECT_EQ(CalcCRC16(&one, 1), 0x8005);  // a single low bit yields the polynomial
  EXPECT_EQ(CalcCRC16(nullptr, 16), 0);
  EXPECT_EQ(CalcCRC16Bitwise(nullptr, 16), 0);
}

TEST(Crc16, TableFormEqualsBitwiseFormOnRandomData) {
  std::mt19937 rng(0x5EED);
  std::vector<unsigned char> data(4096);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (uint32_t offset = 0; offset < 7; ++offset) {
    for (uint32_t length : {0u, 1u, 2u, 3u, 15u, 16u, 17u, 255u, 256u, 1000u, 4089u}) {
      const int table = CalcCRC16(data.data() + offset, length);
      EXPECT_EQ(table, CalcCRC16Bitwise(data.data() + offset, length)) << offset << "+" << length;
      EXPECT_GE(table, 0);
      EXPECT_LE(table, 0xFFFF);
    }
  }
  // Every byte value through the table.
  for (unsigned v = 0; v < 256; ++v) {
    const unsigned char pair[2] = {static_cast<unsigned char>(v),
                                   static_cast<unsigned char>(255 - v)};
    ASSERT_EQ(CalcCRC16(pair, 2), CalcCRC16Bitwise(pair, 2)) << v;
  }
}

TEST(Crc16, DataFollowedByItsCrcMostSignificantByteFirstLeavesZero) {
  // Property of an unreflected CRC without final XOR; catches a swapped
  // table index or a register that is not kept to 16 bits.
  std::mt19937 rng(42);
  for (int round = 0; round < 50; ++round) {
    std::vector<unsigned char> data(1 + rng() % 300);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    const int crc = CalcCRC16(data.data(), static_cast<uint32_t>(data.size()));
    data.push_back(static_cast<unsigned char>(crc >> 8));
    data.push_back(static_cast<unsigned char>(crc & 0xFF));
    EXPECT_EQ(CalcCRC16(data.data(), static_cast<uint32_t>(data.size())), 0);
  }
}

}  // namespace
