// Image authoring: the default header and parameter area, the placement
// table and its general rule, the name slots, the encryption records, and
// complete images and firmware files built by the authoring library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "FlashROM.h"
#include "ImageAuthoring.h"
#include "ImageTestHelpers.h"
#include "common.h"

namespace {

using namespace imagetest;

// ---------------------------------------------------------------------------
// MakeparamHeader

TEST(ParamHeader, DefaultHeaderAndParameterArea) {
  CFlashROM rom;
  ASSERT_TRUE(NewImage(rom, 16, 12, false));
  rom.MakeImageFromSROMParam();  // parameter bytes first, as a new image has them
  const int crc = rom.MakeparamHeader();
  const unsigned char* image = rom.Image();
  EXPECT_EQ(0, std::memcmp(image, "318H", 4));
  EXPECT_EQ(image[6], 0x80);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(32), 48u);
  EXPECT_EQ(rom.GetWORDFromSROMImage(kHeaderCrcOffset), HeaderCrcOf(image));
  EXPECT_EQ(0, std::memcmp(image + 48, "318P", 4));
  EXPECT_EQ(rom.GetDWORDFromSROMImage(52), 268u);
  const unsigned char fixed[8] = {0x00, 0x01, 0, 0, 0x40, 0x00, 0xFF, 0x03};
  EXPECT_EQ(image[56], fixed[0]);
  EXPECT_EQ(image[57], fixed[1]);
  EXPECT_EQ(0, std::memcmp(image + 60, fixed + 4, 4));
  const unsigned char codes[8] = {0x08, 0x06, 0x50, 0x08, 0x06, 0x62, 0x0F, 0x05};
  EXPECT_EQ(0, std::memcmp(image + 88, codes, 8));
  EXPECT_EQ(crc, CalcCRC16(image + 64, 268));
  EXPECT_EQ(rom.GetWORDFromSROMImage(58), crc);
  EXPECT_EQ(rom.GetParamSize(), 284u);
  // Everything else of the first 332 bytes is still 0.
  for (uint32_t i = 96; i < 332; ++i) ASSERT_EQ(image[i], 0) << i;

  // The header parameters taken back from the new header.
  rom.GetRomParameter()->RomSizeLog2 = 0;
  rom.MakeSROMParamFromImage();
  EXPECT_EQ(rom.GetRomParameter()->RomSizeLog2, 16);

  CFlashROM none;
  EXPECT_EQ(none.MakeparamHeader(), 0);
}

// ---------------------------------------------------------------------------
// SetOffset

struct OffsetCase {
  uint8_t romLog2;
  uint8_t eraseLog2;
  SROM_FWALLOCATE copies;
  SROM_BRIDGEIC variant;
  uint32_t z;
  uint32_t o1, o2, e1, e2;
};

class OffsetTable : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(OffsetTable, Placement) {
  const OffsetCase& c = GetParam();
  CFlashROM rom;
  ASSERT_TRUE(NewImage(rom, c.romLog2, c.eraseLog2));
  // Old values are replaced even when the row leaves them 0.
  for (uint32_t at : {36u, 40u, 68u, 72u}) rom.SetDWORDToSROMImage(at, 0xA5A5A5A5u);
  rom.SetBridgeIC(c.variant);
  rom.SetFWAllocate(c.copies);
  _actionparamlist list = {};
  list.FWCodeSize = c.z;
  rom.SetOffset(&list);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(36), c.o1);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(40), c.o2);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(68), c.e1);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(72), c.e2);
}

constexpr auto One = FWALLOCATE_SINGLE;
constexpr auto Two = FWALLOCATE_DUAL;
constexpr auto QE = BRIDGEIC_QK9318E;
constexpr auto QA = BRIDGEIC_QK9318A;

// Every row at its limit, with Z one above the limit, and a huge Z where
// there is no limit.
INSTANTIATE_TEST_SUITE_P(
    Rows, OffsetTable,
    ::testing::Values(
        OffsetCase{16, 12, One, QE, 0xD000, 0x1000, 0, 0xE000, 0xF000},
        OffsetCase{16, 12, One, QE, 0xD001, 0, 0, 0, 0},
        OffsetCase{16, 12, One, QA, 0xF000, 0x1000, 0, 0, 0},
        OffsetCase{16, 12, One, QA, 0xF001, 0, 0, 0, 0},
        OffsetCase{16, 12, Two, QA, 0x7000, 0x1000, 0x8000, 0, 0},
        OffsetCase{16, 12, Two, QA, 0x7001, 0, 0, 0, 0},
        OffsetCase{16, 15, One, QA, 0x8000, 0x8000, 0, 0, 0},
        OffsetCase{16, 15, One, QA, 0x8001, 0, 0, 0, 0},
        OffsetCase{17, 12, One, QE, 0xFFFFFFFF, 0x1000, 0, 0x11000, 0x12000},
        OffsetCase{17, 12, One, QA, 0xFFFFFFFF, 0x1000, 0, 0, 0},
        OffsetCase{17, 12, Two, QE, 0xE000, 0x1000, 0xF000, 0x1D000, 0x1E000},
        OffsetCase{17, 12, Two, QE, 0xE001, 0, 0, 0, 0},
        OffsetCase{17, 12, Two, QA, 0xF000, 0x1000, 0x10000, 0, 0},
        OffsetCase{17, 12, Two, QA, 0xF001, 0, 0, 0, 0},
        OffsetCase{17, 15, One, QE, 0x8000, 0x8000, 0, 0x10000, 0x18000},
        OffsetCase{17, 15, One, QE, 0x8001, 0, 0, 0, 0},
        OffsetCase{17, 15, One, QA, 0xFFFFFFFF, 0x8000, 0, 0, 0},
        OffsetCase{17, 15, Two, QA, 0x8000, 0x8000, 0x10000, 0, 0},
        OffsetCase{17, 15, Two, QA, 0x8001, 0, 0, 0, 0},
        OffsetCase{17, 16, One, QA, 0xFFFFFFFF, 0x10000, 0, 0, 0},
        OffsetCase{18, 16, One, QE, 0xFFFFFFFF, 0x10000, 0, 0x20000, 0x30000},
        OffsetCase{18, 16, One, QA, 0xFFFFFFFF, 0x10000, 0, 0, 0},
        OffsetCase{18, 16, Two, QA, 0xFFFFFFFF, 0x10000, 0x20000, 0, 0}));

// Combinations without a row in the tabled sizes leave all four at 0.
INSTANTIATE_TEST_SUITE_P(
    Untabled, OffsetTable,
    ::testing::Values(OffsetCase{16, 12, Two, QE, 0, 0, 0, 0, 0},
                      OffsetCase{16, 15, One, QE, 0, 0, 0, 0, 0},
                      OffsetCase{16, 16, One, QA, 0, 0, 0, 0, 0},
                      OffsetCase{17, 15, Two, QE, 0, 0, 0, 0, 0},
                      OffsetCase{17, 16, One, QE, 0, 0, 0, 0, 0},
                      OffsetCase{17, 16, Two, QA, 0, 0, 0, 0, 0},
                      OffsetCase{18, 16, Two, QE, 0, 0, 0, 0, 0},
                      OffsetCase{16, 12, One, BRIDGEIC_UNKNOWN, 0, 0, 0, 0, 0},
                      OffsetCase{17, 12, FWALLOCATE_NONE, QA, 0, 0, 0, 0, 0}));

// Other sizes, and 256 KiB with smaller blocks: the general rule, no limit.
INSTANTIATE_TEST_SUITE_P(
    GeneralRule, OffsetTable,
    ::testing::Values(OffsetCase{19, 12, One, QE, 0xFFFFFFFF, 0x1000, 0, 0x11000, 0x12000},
                      OffsetCase{19, 12, Two, QE, 0, 0x1000, 0x11000, 0x21000, 0x22000},
                      OffsetCase{19, 12, One, QA, 0, 0x1000, 0, 0, 0},
                      OffsetCase{20, 12, Two, QA, 0xFFFFFFFF, 0x1000, 0x11000, 0, 0},
                      OffsetCase{20, 16, Two, QE, 0, 0x10000, 0x20000, 0x30000, 0x40000},
                      OffsetCase{18, 12, Two, QE, 0, 0x1000, 0x11000, 0x21000, 0x22000},
                      OffsetCase{18, 15, One, QA, 0, 0x8000, 0, 0, 0},
                      // Neither one nor two copies: area 1 only, records after two slots.
                      OffsetCase{20, 12, FWALLOCATE_NONE, QE, 0, 0x1000, 0, 0x21000, 0x22000},
                      OffsetCase{20, 12, Two, BRIDGEIC_UNKNOWN, 0, 0x1000, 0x11000, 0, 0}));

TEST(SetOffsetRule, RecordsGoToFixedOffsetsWhateverP) {
  CFlashROM rom;
  ASSERT_TRUE(NewImage(rom, 19, 12));
  rom.SetDWORDToSROMImage(32, 0x2000);  // P moved: E1 and E2 still at 68 and 72
  rom.SetBridgeIC(BRIDGEIC_QK9318E);
  rom.SetFWAllocate(FWALLOCATE_SINGLE);
  _actionparamlist list = {};
  rom.SetOffset(&list);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(68), 0x11000u);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(0x2000 + 20), 0xFFFFFFFFu);
  rom.SetOffset(nullptr);  // nothing to place by
  EXPECT_EQ(rom.GetDWORDFromSROMImage(68), 0x11000u);
}

// ---------------------------------------------------------------------------
// Encryption records

class Encryption : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NewImage(rom_, 17, 12));
    rom_.SetBridgeIC(BRIDGEIC_QK9318E);
    rom_.SetDWORDToSROMImage(48 + 20, kE1);
    rom_.SetDWORDToSROMImage(48 + 24, kE2);
  }
  void Record(uint32_t at, uint8_t settings, bool good = true) {
    rom_.SetBYTEToSROMImage(at + 2, settings);
    rom_.SetBYTEToSROMImage(at + 3, 0);
    const uint16_t crc = static_cast<uint16_t>(CalcCRC16(rom_.Image() + at + 2, 2));
    rom_.SetWORDToSROMImage(at, good ? crc : static_cast<uint16_t>(crc ^ 0x0100));
  }
  _encryptionlist Get() {
    _encryptionlist list = {9, 9, 9};
    rom_.GetEncryption(&list);
    return list;
  }
  static constexpr uint32_t kE1 = 0x1D000;
  static constexpr uint32_t kE2 = 0x1E000;
  CFlashROM rom_;
};

bool Same(const _encryptionlist& list, uint32_t s0, uint32_t s1, uint32_t s2) {
  return list.Setting0 == s0 && list.Setting1 == s1 && list.Setting2 == s2;
}

TEST_F(Encryption, ReadFirstGoodRecord) {
  Record(kE1, 0x1D);
  Record(kE2, 0x04);
  EXPECT_TRUE(Same(Get(), 1, 1, 1));
  Record(kE1, 0x1D, false);
  Record(kE2, 0x05);
  EXPECT_TRUE(Same(Get(), 1, 0, 0));
  Record(kE2, 0x05, false);
  EXPECT_TRUE(Same(Get(), 0, 0, 0));
  // Bits other than 0, 3 and 4 mean nothing.
  Record(kE1, 0xE6);
  EXPECT_TRUE(Same(Get(), 0, 0, 0));
  Record(kE1, 0x10);
  EXPECT_TRUE(Same(Get(), 0, 0, 1));
}

TEST_F(Encryption, NoFirstRecordMeansAllOff) {
  Record(kE2, 0x1D);
  rom_.SetDWORDToSROMImage(48 + 20, 0);
  EXPECT_TRUE(Same(Get(), 0, 0, 0));
  // Second record absent while the first is bad.
  rom_.SetDWORDToSROMImage(48 + 20, kE1);
  Record(kE1, 0x1D, false);
  rom_.SetDWORDToSROMImage(48 + 24, 0);
  EXPECT_TRUE(Same(Get(), 0, 0, 0));
}

TEST_F(Encryption, OnlyForQK9318EImages) {
  Record(kE1, 0x1D);
  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  EXPECT_TRUE(Same(Get(), 9, 9, 9));
  const std::vector<unsigned char> before = Snapshot(rom_);
  const _encryptionlist on = {1, 1, 1};
  rom_.SetEncryption(&on);
  EXPECT_TRUE(Snapshot(rom_) == before);
  EXPECT_EQ(rom_.GetEncryptionChange(), 0u);
  CFlashROM none;
  none.SetBridgeIC(BRIDGEIC_QK9318E);
  _encryptionlist list = {9, 9, 9};
  none.GetEncryption(&list);
  EXPECT_TRUE(Same(list, 9, 9, 9));
  none.SetEncryption(&on);
  EXPECT_EQ(none.GetEncryptionChange(), 0u);
}

TEST_F(Encryption, WriteBothRecords) {
  const _encryptionlist settings = {1, 0, 1};
  rom_.SetEncryption(&settings);
  EXPECT_EQ(rom_.GetEncryptionChange(), 1u);
  for (uint32_t at : {kE1, kE2}) {
    EXPECT_EQ(rom_.GetBYTEFromSROMImage(at + 2), 0x15);
    EXPECT_EQ(rom_.GetBYTEFromSROMImage(at + 3), 0x00);
    const unsigned char bytes[2] = {0x15, 0x00};
    EXPECT_EQ(rom_.GetWORDFromSROMImage(at), CalcCRC16(bytes, 2));
  }
  EXPECT_TRUE(Same(Get(), 1, 0, 1));
  const _encryptionlist off = {0, 0, 0};
  rom_.SetEncryption(&off);
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(kE1 + 2), 0x04);  // bit 2 always set
  EXPECT_TRUE(Same(Get(), 0, 0, 0));
}

TEST_F(Encryption, RecordsOutsideTheImageAreAbsent) {
  rom_.SetDWORDToSROMImage(48 + 20, 0);
  rom_.SetDWORDToSROMImage(48 + 24, 0);
  const _encryptionlist on = {1, 1, 1};
  rom_.SetEncryption(&on);
  EXPECT_EQ(rom_.GetEncryptionChange(), 0u);  // no record at all

  const uint32_t end = rom_.ImageSize();
  for (uint32_t at : {end - 3, end - 1, end, 0xFFFFFFFFu}) {
    rom_.SetDWORDToSROMImage(48 + 20, at);
    rom_.SetDWORDToSROMImage(48 + 24, at);
    const std::vector<unsigned char> before = Snapshot(rom_);
    rom_.SetEncryption(&on);
    EXPECT_TRUE(Snapshot(rom_) == before) << at;
    EXPECT_TRUE(Same(Get(), 0, 0, 0)) << at;
  }
  // A record that ends exactly at the image's end is used.
  rom_.SetDWORDToSROMImage(48 + 20, end - 4);
  rom_.SetEncryption(&on);
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(end - 2), 0x1D);
  EXPECT_TRUE(Same(Get(), 1, 1, 1));
  // P beyond the image: no records.
  rom_.SetDWORDToSROMImage(32, 0xFFFFFFFFu);
  EXPECT_TRUE(Same(Get(), 0, 0, 0));
}

// ---------------------------------------------------------------------------
// Firmware file name slot

TEST(FileNameSlot, SetAndGet) {
  CFlashROM rom;
  ASSERT_TRUE(NewImage(rom, 16, 12));
  char name[32];
  std::memset(name, '#', sizeof name);
  rom.GetFWFileName(name, sizeof name);  // erased: nothing copied
  EXPECT_EQ(name[0], '#');

  rom.SetFWFileName("MainFW.kqfw");
  EXPECT_EQ(rom.GetBYTEFromSROMImage(48 + 1080 + 11), 0);
  EXPECT_EQ(rom.GetBYTEFromSROMImage(48 + 1080 + 12), 0xFF);  // only length + 1 zeroed
  rom.GetFWFileName(name, sizeof name);
  EXPECT_STREQ(name, "MainFW.kqfw");
  EXPECT_EQ(name[12], '#');

  // At most `capacity` bytes: a short buffer gets the first bytes only.
  std::memset(name, '#', sizeof name);
  rom.GetFWFileName(name, 4);
  EXPECT_EQ(std::string(name, 5), "Main#");

  // A shorter name over a longer one keeps the longer one's tail beyond it.
  rom.SetFWFileName("ab");
  rom.GetFWFileName(name, sizeof name);
  EXPECT_STREQ(name, "ab");
  EXPECT_EQ(rom.GetBYTEFromSROMImage(48 + 1080 + 3), 'n');
}

TEST(FileNameSlot, EndOfImage) {
  CFlashROM rom;
  ASSERT_TRUE(NewImage(rom, 11, 8));  // 2 KiB: the slot is 1128 bytes in
  const uint32_t room = rom.ImageSize() - (48 + 1080);
  std::string fits(room - 1, 'f');
  rom.SetFWFileName(fits.c_str());
  std::vector<char> out(room + 8, '#');
  rom.GetFWFileName(out.data(), static_cast<uint32_t>(out.size()));
  EXPECT_EQ(std::string(out.data()), fits);
  // One more character does not fit with its terminator: nothing written.
  const std::vector<unsigned char> before = Snapshot(rom);
  rom.SetFWFileName((fits + "g").c_str());
  EXPECT_TRUE(Snapshot(rom) == before);
  // A name without a terminator ends at the image's end.
  std::memset(rom.MutableImage() + 48 + 1080, 'x', room);
  std::fill(out.begin(), out.end(), '#');
  rom.GetFWFileName(out.data(), static_cast<uint32_t>(out.size()));
  EXPECT_EQ(std::string(out.data()), std::string(room, 'x'));
  // P so far out that the slot is beyond the image.
  rom.SetDWORDToSROMImage(32, 0xFFFFFFFFu);
  std::fill(out.begin(), out.end(), '#');
  rom.GetFWFileName(out.data(), static_cast<uint32_t>(out.size()));
  rom.SetFWFileName("x");
  EXPECT_EQ(out[0], '#');
}

// ---------------------------------------------------------------------------
// Firmware files

TEST(FirmwareFile, HeaderFieldsAndCompatibilityValue) {
  const std::vector<unsigned char> code = zfimage::PseudoRandomCode(1000, 9);
  const std::vector<unsigned char> file =
      zfimage::BuildFirmwareFile(BRIDGEIC_QK9318E, 0x0123, 0x0154, code);
  ASSERT_EQ(file.size(), 1016u);
  EXPECT_EQ(GetLE32(file.data()), kSignatureQK9318E);
  EXPECT_EQ(GetLE32(file.data() + 4), 1000u);
  EXPECT_EQ(GetLE16(file.data() + 8), 0x0123);
  EXPECT_EQ(GetLE16(file.data() + 10), CalcCRC16(file.data() + 16, 1000));
  EXPECT_EQ(GetLE32(file.data() + 12), 0u);
  EXPECT_EQ(file[1014], 0x54);
  EXPECT_EQ(file[1015], 0x01);
  EXPECT_EQ(0, std::memcmp(file.data() + 16, code.data(), 998));

  EXPECT_EQ(zfimage::BuildFirmwareFile(BRIDGEIC_QK9318A, 1, 1, {}).size(), 0u);
  EXPECT_EQ(zfimage::BuildFirmwareFile(BRIDGEIC_QK9318A, 1, 1, {0}).size(), 0u);
  EXPECT_EQ(zfimage::BuildFirmwareFile(BRIDGEIC_QK9318A, 1, 1, {0, 0}).size(), 18u);
  EXPECT_EQ(zfimage::BuildFirmwareFile(BRIDGEIC_UNKNOWN, 1, 1, {0, 0}).size(), 0u);
  EXPECT_EQ(zfimage::BuildFirmwareFile(BRIDGEIC_QK9318A, 1, 1,
                                       std::vector<unsigned char>(65520)).size(),
            65536u);
  EXPECT_EQ(zfimage::BuildFirmwareFile(BRIDGEIC_QK9318A, 1, 1,
                                       std::vector<unsigned char>(65521)).size(),
            0u);
  // The same seed gives the same code, another seed other code.
  EXPECT_EQ(zfimage::PseudoRandomCode(64, 1), zfimage::PseudoRandomCode(64, 1));
  EXPECT_NE(zfimage::PseudoRandomCode(64, 1), zfimage::PseudoRandomCode(64, 2));
}

TEST(FirmwareFile, Utf16Encoding) {
  std::vector<unsigned char> out;
  ASSERT_TRUE(zfimage::Utf8ToUtf16LE("A\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", &out));
  const std::vector<unsigned char> expected = {0x41, 0x00, 0xE4, 0x00, 0xAC, 0x20,
                                               0x3D, 0xD8, 0x00, 0xDE};
  EXPECT_EQ(out, expected);
  EXPECT_FALSE(zfimage::Utf8ToUtf16LE("\xC3", &out));          // cut short
  EXPECT_FALSE(zfimage::Utf8ToUtf16LE("\xC0\x80", &out));      // overlong
  EXPECT_FALSE(zfimage::Utf8ToUtf16LE("\xED\xA0\x80", &out));  // surrogate
  EXPECT_FALSE(zfimage::Utf8ToUtf16LE("\xFF", &out));
}

// ---------------------------------------------------------------------------
// Complete images

TEST(BuildImage, DefaultVirtualBridgeFlash) {
  std::vector<unsigned char> image;
  std::string error;
  ASSERT_TRUE(zfimage::BuildDefaultFlashImage(&image, &error)) << error;
  ASSERT_EQ(image.size(), 0x100000u);
  CFlashROM rom;
  ASSERT_TRUE(rom.LoadImage(image.data(), static_cast<uint32_t>(image.size())));
  EXPECT_EQ(rom.GetBridgeIC(), BRIDGEIC_QK9318A);
  EXPECT_EQ(rom.GetFWAllocate(), FWALLOCATE_DUAL);
  EXPECT_EQ(rom.CheckFWCRC(FWALLOCATE_DUAL), 0);
  EXPECT_EQ(rom.GetFWVersion(), 0x0110);
  EXPECT_EQ(rom.GetFWBridgeSignature(), kSignatureQK9318A);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(36), 0x1000u);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(40), 0x11000u);
  // Compatibility value in the last two code bytes of area 1.
  const uint32_t n = rom.GetDWORDFromSROMImage(0x1000 + 4);
  EXPECT_EQ(rom.GetWORDFromSROMImage(0x1000 + 14 + n), 0x0154);
  // Both CRCs cover the final contents.
  EXPECT_EQ(GetLE16(&image[kHeaderCrcOffset]), HeaderCrcOf(image.data()));
  EXPECT_EQ(GetLE16(&image[48 + 10]), CalcCRC16(&image[64], 268));
  EXPECT_EQ(rom.GetRomParameter()->ReadCommand, 0x0B);
  // The same bytes every time.
  std::vector<unsigned char> again;
  ASSERT_TRUE(zfimage::BuildDefaultFlashImage(&again, &error));
  EXPECT_TRUE(again == image);
}

// Every table part with each variant and copy count: built exactly where
// SetOffset has a placement, and then usable by the updater's operations.
class BuildEveryPart
    : public ::testing::TestWithParam<std::tuple<unsigned, SROM_BRIDGEIC, SROM_FWALLOCATE>> {};

TEST_P(BuildEveryPart, ImageIsConsistent) {
  const unsigned index = std::get<0>(GetParam());
  const SROM_BRIDGEIC variant = std::get<1>(GetParam());
  const SROM_FWALLOCATE copies = std::get<2>(GetParam());
  const SerialFlashRomParam& row = gSerialFlashRomParamTbl[index];

  zfimage::FlashImageSpec imageSpec;
  imageSpec.partName = row.Name;
  imageSpec.variant = variant;
  imageSpec.copies = copies;
  imageSpec.firmware1 = Firmware(variant, 0x0100, 0x1000 - 16, 1);
  imageSpec.firmware2 = Firmware(variant, 0x0105, 0x800, 2);
  imageSpec.product = "Q";
  imageSpec.firmwareFileName = "MainFW.kqfw";
  imageSpec.encryption = {1, 0, 1};
  std::vector<unsigned char> image;
  std::string error;
  const bool built = zfimage::BuildFlashImage(imageSpec, &image, &error);

  // Expected: whether SetOffset places the areas for this geometry.
  CFlashROM probe;
  ASSERT_TRUE(NewImage(probe, gFlashRomSizeTable[row.RomSizeCode],
                       gEraseSizeTable[row.EraseSizeCode]));
  probe.SetBridgeIC(variant);
  probe.SetFWAllocate(copies);
  _actionparamlist list = {};
  list.FWCodeSize = 0x1000;
  probe.SetOffset(&list);
  const bool placeable = probe.GetDWORDFromSROMImage(36) != 0;
  ASSERT_EQ(built, placeable) << row.Name << ": " << error;
  if (!built) {
    EXPECT_FALSE(error.empty());
    return;
  }

  ASSERT_EQ(image.size(), 1u << gFlashRomSizeTable[row.RomSizeCode]);
  CFlashROM rom;
  ASSERT_TRUE(rom.LoadImage(image.data(), static_cast<uint32_t>(image.size()))) << row.Name;
  EXPECT_EQ(rom.GetBridgeIC(), variant) << row.Name;
  EXPECT_EQ(rom.GetFWAllocate(), copies) << row.Name;
  _actionparamlist identity = {};
  rom.GetActionParameter(&identity);
  EXPECT_EQ(identity.VendorID, 0x3F1C);
  EXPECT_STREQ(identity.ProductString, "Q");
  EXPECT_STREQ(identity.FlashParamList.Name, row.Name);
  EXPECT_EQ(identity.FlashParamList.RomSizeCode, row.RomSizeCode);
  char name[32] = {};
  rom.GetFWFileName(name, sizeof name - 1);
  EXPECT_STREQ(name, "MainFW.kqfw");
  if (variant == BRIDGEIC_QK9318E) {
    _encryptionlist settings = {};
    rom.GetEncryption(&settings);
    EXPECT_EQ(settings.Setting0, 1u);
    EXPECT_EQ(settings.Setting1, 0u);
    EXPECT_EQ(settings.Setting2, 1u);
  }
  // The device runs the newer copy; the updater then places a newer file.
  const int choice = rom.CheckFWCRC(rom.GetFWAllocate());
  EXPECT_EQ(choice, copies == FWALLOCATE_DUAL ? 1 : 0);
  if (copies == FWALLOCATE_DUAL) {
    EXPECT_EQ(rom.GetFWVersion(), 0x0100);
  }
  const std::vector<unsigned char> update = Firmware(variant, 0x0200, 0x1000 - 16, 3);
  EXPECT_EQ(rom.SetFWCode(update.data(), static_cast<uint32_t>(update.size()), true), 0)
      << row.Name;
  EXPECT_EQ(rom.GetFWCodeChange(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Parts, BuildEveryPart,
    ::testing::Combine(::testing::Range(0u, kSerialFlashPartCount),
                       ::testing::Values(BRIDGEIC_QK9318A, BRIDGEIC_QK9318E),
                       ::testing::Values(FWALLOCATE_SINGLE, FWALLOCATE_DUAL)));

TEST(BuildImage, BrokenImagesForTests) {
  zfimage::FlashImageSpec imageSpec = zfimage::DefaultFlashImageSpec();
  std::vector<unsigned char> image;
  std::string error;

  imageSpec.corruptCopy = 1;
  ASSERT_TRUE(zfimage::BuildFlashImage(imageSpec, &image, &error)) << error;
  CFlashROM one;
  ASSERT_TRUE(one.LoadImage(image.data(), static_cast<uint32_t>(image.size())));
  EXPECT_EQ(one.CheckFWCRC(FWALLOCATE_DUAL), 1);
  EXPECT_EQ(one.GetBridgeIC(), BRIDGEIC_QK9318A);  // from area 2

  imageSpec.corruptCopy = 2;
  ASSERT_TRUE(zfimage::BuildFlashImage(imageSpec, &image, &error)) << error;
  CFlashROM two;
  ASSERT_TRUE(two.LoadImage(image.data(), static_cast<uint32_t>(image.size())));
  EXPECT_EQ(two.CheckFWCRC(FWALLOCATE_DUAL), 0);
  EXPECT_EQ(two.GetFWVersion(), 0);  // the copy not chosen is broken

  imageSpec.corruptCopy = 0;
  imageSpec.blank = true;
  ASSERT_TRUE(zfimage::BuildFlashImage(imageSpec, &image, &error)) << error;
  EXPECT_EQ(image, std::vector<unsigned char>(0x100000, 0xFF));
  CFlashROM blank;
  EXPECT_FALSE(blank.LoadImage(image.data(), static_cast<uint32_t>(image.size())));
  EXPECT_EQ(blank.GetFWAllocate(), FWALLOCATE_NONE);
}

TEST(BuildImage, RefusedSpecs) {
  std::vector<unsigned char> image;
  std::string error;
  zfimage::FlashImageSpec imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.partName = "Winbond W25Q80";
  EXPECT_FALSE(zfimage::BuildFlashImage(imageSpec, &image, &error));
  EXPECT_NE(error.find("unknown flash part"), std::string::npos);

  imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.manufacturer = std::string(32, 'm');
  EXPECT_FALSE(zfimage::BuildFlashImage(imageSpec, &image, &error));
  imageSpec.manufacturer = "\xC3";
  EXPECT_FALSE(zfimage::BuildFlashImage(imageSpec, &image, &error));

  imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.firmware2 = Firmware(BRIDGEIC_QK9318E, 0x0100);  // other variant
  EXPECT_FALSE(zfimage::BuildFlashImage(imageSpec, &image, &error));
  imageSpec.firmware2.clear();
  imageSpec.firmware1.pop_back();  // length no longer matches
  EXPECT_FALSE(zfimage::BuildFlashImage(imageSpec, &image, &error));

  // A firmware too large for a 64 KiB flash with two copies.
  imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.partName = "Macronix MX25V512C";
  imageSpec.firmware1 = Firmware(BRIDGEIC_QK9318A, 0x0100, 0x7000 - 15);
  EXPECT_FALSE(zfimage::BuildFlashImage(imageSpec, &image, &error));
  imageSpec.firmware1 = Firmware(BRIDGEIC_QK9318A, 0x0100, 0x7000 - 16);
  EXPECT_TRUE(zfimage::BuildFlashImage(imageSpec, &image, &error)) << error;
  EXPECT_EQ(image.size(), 0x10000u);
}

}  // namespace
