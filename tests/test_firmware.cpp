// Firmware areas in the image: variant and layout detection, the choice of
// the copy the device runs, the installed version, and the placement of a
// new firmware file with all its refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "FlashROM.h"
#include "ImageAuthoring.h"
#include "ImageTestHelpers.h"
#include "common.h"

namespace {

using namespace imagetest;

constexpr uint32_t S = 0x100000;  // 1 MiB flash
constexpr uint32_t L = S - 0x1000;  // start of the last 4 KiB erase block
constexpr uint32_t kO1 = 0x1000;
constexpr uint32_t kO2 = 0x11000;
constexpr uint32_t A = kSignatureQK9318A;
constexpr uint32_t E = kSignatureQK9318E;

class FirmwareAreas : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(NewImage(rom_, 20, 12)); }

  // Area with a good CRC, or with its first code byte changed afterwards.
  void Area(uint32_t offset, uint32_t signature, uint16_t version, bool good = true,
            uint32_t codeSize = 256) {
    PutValidArea(rom_, offset, signature, codeSize, version, offset);
    if (!good) {
      rom_.SetBYTEToSROMImage(offset + 16, static_cast<uint8_t>(~rom_.GetBYTEFromSROMImage(offset + 16)));
    }
  }
  // One copy in area 1, then the layout as a read would derive it.
  void Single(uint32_t offset, uint32_t signature, uint16_t version, bool good = true,
              uint32_t codeSize = 256) {
    SetAreas(rom_, offset, 0);
    Area(offset, signature, version, good, codeSize);
    rom_.CreateSideBridge();
  }
  // Both copies, then the layout as a read would derive it.
  void Dual(uint32_t sig1, uint16_t v1, bool good1, uint32_t sig2, uint16_t v2, bool good2) {
    SetAreas(rom_, kO1, kO2);
    Area(kO1, sig1, v1, good1);
    Area(kO2, sig2, v2, good2);
    rom_.CreateSideBridge();
  }

  CFlashROM rom_;
};

// ---------------------------------------------------------------------------
// CreateSideBridge

TEST_F(FirmwareAreas, SideBridgeWithoutImageOrAreas) {
  CFlashROM none;
  none.SetBridgeIC(BRIDGEIC_QK9318A);
  none.SetFWAllocate(FWALLOCATE_SINGLE);
  none.CreateSideBridge();
  EXPECT_EQ(none.GetBridgeIC(), BRIDGEIC_UNKNOWN);
  EXPECT_EQ(none.GetFWAllocate(), FWALLOCATE_NONE);

  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_UNKNOWN);
  EXPECT_EQ(rom_.GetFWAllocate(), FWALLOCATE_NONE);
}

TEST_F(FirmwareAreas, SideBridgeOffsetBeyondTheFlashStops) {
  Area(kO1, A, 0x0100);
  SetAreas(rom_, kO1, S);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_UNKNOWN);
  EXPECT_EQ(rom_.GetFWAllocate(), FWALLOCATE_NONE);
  // Erased flash: offsets of 0xFF bytes.
  SetAreas(rom_, 0xFFFFFFFFu, 0xFFFFFFFFu);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetFWAllocate(), FWALLOCATE_NONE);
}

TEST_F(FirmwareAreas, SideBridgeLayoutsAndVariants) {
  Single(kO1, A, 0x0100);
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_QK9318A);
  EXPECT_EQ(rom_.GetFWAllocate(), FWALLOCATE_SINGLE);

  Dual(E, 0x0100, true, E, 0x0100, true);
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_QK9318E);
  EXPECT_EQ(rom_.GetFWAllocate(), FWALLOCATE_DUAL);

  // Area 1 is preferred whatever the versions.
  Dual(A, 0x0001, true, E, 0x0999, true);
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_QK9318A);
  // Corrupt area 1: the signature comes from area 2.
  Dual(A, 0x0100, false, E, 0x0100, true);
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_QK9318E);
  // Both corrupt: unknown bridge, but the copy count stands.
  Dual(A, 0x0100, false, A, 0x0100, false);
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_UNKNOWN);
  EXPECT_EQ(rom_.GetFWAllocate(), FWALLOCATE_DUAL);
  // A good area of another maker's bridge.
  Dual(0x02043F1D, 0x0100, true, A, 0x0100, true);
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_UNKNOWN);

  // Only area 2 present.
  SetAreas(rom_, 0, kO2);
  Area(kO2, A, 0x0100);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_QK9318A);
  EXPECT_EQ(rom_.GetFWAllocate(), FWALLOCATE_SINGLE);
}

TEST_F(FirmwareAreas, SideBridgeCrcRuleAboveTheLimitOrSize) {
  // At exactly L the CRC is computed: a good area counts.
  Single(L, A, 0x0100);
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_QK9318A);

  // Above L the computed CRC counts as 0: a good non-zero CRC fails ...
  const uint32_t high = L + 0x10;
  SetAreas(rom_, high, 0);
  Area(high, A, 0x0100);
  ASSERT_NE(rom_.GetWORDFromSROMImage(high + 10), 0);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_UNKNOWN);
  // ... and a stored CRC of 0 passes, whatever the code.
  rom_.SetWORDToSROMImage(high + 10, 0);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_QK9318A);

  // N = 65536 is computed; N = 65537 counts as 0.
  Single(kO1, E, 0x0100, true, 65536);
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_QK9318E);
  Area(kO1, E, 0x0100, true, 65537);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_UNKNOWN);
  rom_.SetWORDToSROMImage(kO1 + 10, 0);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_QK9318E);
}

TEST_F(FirmwareAreas, SideBridgeAreaRunningPastTheImageIsNotValid) {
  // Above L with a stored CRC of 0 would count, but the code leaves the image.
  const uint32_t high = S - 32;
  SetAreas(rom_, high, 0);
  PutAreaHeader(rom_, high, A, 0x10000, 0x0100, 0);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_UNKNOWN);
  EXPECT_EQ(rom_.GetFWAllocate(), FWALLOCATE_SINGLE);
  // Header itself crossing the end.
  SetAreas(rom_, S - 8, 0);
  rom_.CreateSideBridge();
  EXPECT_EQ(rom_.GetBridgeIC(), BRIDGEIC_UNKNOWN);
}

// ---------------------------------------------------------------------------
// CheckFWCRC

TEST_F(FirmwareAreas, CheckSingleCopy) {
  Single(kO1, A, 0x0100);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_SINGLE), 0);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_NONE), 0);  // any selector other than 2
  // The allocation must be single for the single-copy check.
  rom_.SetFWAllocate(FWALLOCATE_DUAL);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_SINGLE), 2);
  rom_.SetFWAllocate(FWALLOCATE_NONE);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_SINGLE), 2);
  rom_.SetFWAllocate(FWALLOCATE_SINGLE);
  Area(kO1, A, 0x0100, false);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_SINGLE), 2);

  // No size limit for the single copy, only the image's end.
  Area(kO1, A, 0x0100, true, 70000);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_SINGLE), 0);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), 2);  // N > 65536 there
  // Only area 2 present: the single check looks at area 1, which is absent.
  SetAreas(rom_, 0, kO2);
  Area(kO2, A, 0x0100);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_SINGLE), 2);
  SetAreas(rom_, 0, 0);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_SINGLE), 2);
}

struct DualCase {
  bool good1;
  uint16_t v1;
  bool good2;
  uint16_t v2;
  int choice;        // CheckFWCRC(2)
  uint16_t version;  // GetFWVersion: the copy not chosen
};

class DualChoice : public FirmwareAreas, public ::testing::WithParamInterface<DualCase> {};

TEST_P(DualChoice, ChoiceAndInstalledVersion) {
  const DualCase& c = GetParam();
  Dual(A, c.v1, c.good1, A, c.v2, c.good2);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), c.choice);
  EXPECT_EQ(rom_.GetFWVersion(), c.version);
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, DualChoice,
    ::testing::Values(DualCase{true, 0x0100, true, 0x0110, 1, 0x0100},
                      DualCase{true, 0x0110, true, 0x0100, 0, 0x0100},
                      DualCase{true, 0x0110, true, 0x0110, 0, 0x0110},  // tie: area 1
                      DualCase{false, 0x0100, true, 0x0110, 1, 0},   // area 1 examined: bad
                      DualCase{false, 0x0100, true, 0x0000, 0, 0},   // v0 beside invalid: area 1
                      DualCase{true, 0x0110, false, 0x0200, 0, 0},   // area 2 examined: bad
                      DualCase{false, 0x0100, false, 0x0110, 2, 0}));

TEST_F(FirmwareAreas, CheckDualLimits) {
  // O1 must be non-zero and below L.
  Dual(A, 0x0100, true, A, 0x0110, true);
  SetAreas(rom_, 0, kO2);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), 2);
  SetAreas(rom_, L, kO2);
  Area(L, A, 0x0100);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), 2);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_SINGLE), 2);  // FWAllocate is 2

  // Area 2 at L is invalid; just below L it counts.
  SetAreas(rom_, kO1, L);
  Area(kO1, A, 0x0100);
  Area(L, A, 0x0900);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), 0);
  EXPECT_EQ(rom_.GetFWVersion(), 0);  // area 2 examined, offset not below L
  SetAreas(rom_, kO1, L - 1);
  Area(L - 1, A, 0x0900);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), 1);
  EXPECT_EQ(rom_.GetFWVersion(), 0x0100);

  // Sizes: 65536 is valid, 65537 is not.
  SetAreas(rom_, kO1, 0x20000);
  Area(kO1, A, 0x0100, true, 65536);
  Area(0x20000, A, 0x0050);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), 0);
  EXPECT_EQ(rom_.GetFWVersion(), 0x0050);
  Area(kO1, A, 0x0100, true, 65537);
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), 1);
  EXPECT_EQ(rom_.GetFWVersion(), 0);
}

// ---------------------------------------------------------------------------
// Queries on the installed firmware

TEST_F(FirmwareAreas, QueriesDescribeTheChosenCopy) {
  SetAreas(rom_, kO1, kO2);
  Area(kO1, A, 0x0100, true, 256);
  Area(kO2, A, 0x0110, true, 512);
  rom_.CreateSideBridge();
  ASSERT_EQ(rom_.CheckFWCRC(rom_.GetFWAllocate()), 1);
  EXPECT_EQ(rom_.GetFWBridgeSignature(), A);
  EXPECT_EQ(rom_.GetFWCodeSize(), 512u + 16);
  EXPECT_EQ(rom_.GetFWVersion(), 0x0100);

  std::vector<unsigned char> code(600, 0xA5);
  rom_.GetFWCode(code.data(), 528);
  EXPECT_EQ(0, std::memcmp(code.data(), rom_.Image() + kO2, 528));
  EXPECT_EQ(code[528], 0xA5);
  // Asking for more than the area copies the area only.
  std::fill(code.begin(), code.end(), 0xA5);
  rom_.GetFWCode(code.data(), 600);
  EXPECT_EQ(0, std::memcmp(code.data(), rom_.Image() + kO2, 528));
  EXPECT_EQ(code[528], 0xA5);
  rom_.GetFWCode(nullptr, 600);

  // No usable copy: zeros and nothing copied.
  Area(kO1, A, 0x0100, false);
  Area(kO2, A, 0x0110, false);
  EXPECT_EQ(rom_.GetFWBridgeSignature(), 0u);
  EXPECT_EQ(rom_.GetFWCodeSize(), 0u);
  std::fill(code.begin(), code.end(), 0xA5);
  rom_.GetFWCode(code.data(), 600);
  EXPECT_EQ(code, std::vector<unsigned char>(600, 0xA5));
}

TEST_F(FirmwareAreas, SingleCopyVersionWithoutCrcCheck) {
  Single(kO1, A, 0x0123, false);
  EXPECT_EQ(rom_.GetFWAllocate(), FWALLOCATE_SINGLE);
  EXPECT_EQ(rom_.GetFWVersion(), 0x0123);
  EXPECT_EQ(rom_.GetFWBridgeSignature(), 0u);  // but no usable copy
  // Unknown allocation also reads area 1's version field.
  rom_.SetFWAllocate(FWALLOCATE_NONE);
  EXPECT_EQ(rom_.GetFWVersion(), 0x0123);
  SetAreas(rom_, 0, kO2);
  EXPECT_EQ(rom_.GetFWVersion(), 0);
  SetAreas(rom_, S - 9, 0);  // version field crossing the end
  EXPECT_EQ(rom_.GetFWVersion(), 0);
  SetAreas(rom_, S - 10, 0);
  rom_.SetWORDToSROMImage(S - 2, 0x4321);
  EXPECT_EQ(rom_.GetFWVersion(), 0x4321);
  CFlashROM none;
  EXPECT_EQ(none.GetFWVersion(), 0);
  EXPECT_EQ(none.CheckFWCRC(2), 2);
}

// ---------------------------------------------------------------------------
// SetFWCode

class Placement : public FirmwareAreas {
 protected:
  int Place(const std::vector<unsigned char>& file, bool versionKnown) {
    return rom_.SetFWCode(file.data(), static_cast<uint32_t>(file.size()), versionKnown);
  }
  // A refusal changes nothing in the image.
  void ExpectRefused(const std::vector<unsigned char>& file, bool versionKnown = false) {
    const std::vector<unsigned char> before = Snapshot(rom_);
    const uint16_t change = rom_.GetFWCodeChange();
    EXPECT_EQ(Place(file, versionKnown), 7);
    EXPECT_TRUE(Snapshot(rom_) == before) << "image changed by a refusal";
    EXPECT_EQ(rom_.GetFWCodeChange(), change);
  }
  bool AreaHolds(uint32_t offset, const std::vector<unsigned char>& file) {
    return std::memcmp(rom_.Image() + offset, file.data(), file.size()) == 0;
  }
};

struct TargetCase {
  bool good1;
  uint16_t v1;
  bool good2;
  uint16_t v2;
  uint16_t target;
};

class DualTarget : public Placement, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(DualTarget, OlderOrBrokenCopyIsTheTargetAndBothAreWritten) {
  const TargetCase& c = GetParam();
  Dual(A, c.v1, c.good1, A, c.v2, c.good2);
  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  const std::vector<unsigned char> file = Firmware(BRIDGEIC_QK9318A, 0x0300, 1000);
  const std::vector<unsigned char> before = Snapshot(rom_);
  ASSERT_EQ(Place(file, true), 0);
  EXPECT_EQ(rom_.GetFWCodeChange(), c.target);
  EXPECT_TRUE(AreaHolds(kO1, file));
  EXPECT_TRUE(AreaHolds(kO2, file));
  // Nothing else changed.
  std::vector<unsigned char> after = Snapshot(rom_);
  std::memcpy(&after[kO1], &before[kO1], file.size());
  std::memcpy(&after[kO2], &before[kO2], file.size());
  EXPECT_TRUE(after == before);
  // The image now holds two equal good copies of the new version.
  EXPECT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), 0);
  EXPECT_EQ(rom_.GetFWVersion(), 0x0300);
}

INSTANTIATE_TEST_SUITE_P(Matrix, DualTarget,
                         ::testing::Values(TargetCase{true, 0x0100, true, 0x0110, 1},
                                           TargetCase{true, 0x0110, true, 0x0100, 2},
                                           TargetCase{true, 0x0110, true, 0x0110, 1},
                                           TargetCase{false, 0x0100, true, 0x0050, 1},
                                           TargetCase{true, 0x0050, false, 0x0100, 2},
                                           TargetCase{false, 0x0100, false, 0x0100, 1}));

TEST_F(Placement, DualVersionRefusal) {
  Dual(A, 0x0110, true, A, 0x0100, true);  // target: area 2 (0x0100)
  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  const std::vector<unsigned char> same = Firmware(BRIDGEIC_QK9318A, 0x0100);
  const std::vector<unsigned char> before = Snapshot(rom_);
  EXPECT_EQ(Place(same, true), 7);
  EXPECT_EQ(rom_.GetFWCodeChange(), 0);
  EXPECT_TRUE(Snapshot(rom_) == before);
  // Newer than the target, though older than area 1: placed.
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0101), true), 0);
  EXPECT_EQ(rom_.GetFWCodeChange(), 2);

  // Without a known version the same file is placed.
  Dual(A, 0x0110, true, A, 0x0100, true);
  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  EXPECT_EQ(Place(same, false), 0);
  EXPECT_EQ(rom_.GetFWCodeChange(), 2);

  // A broken target has no version to compare with.
  Dual(A, 0x0900, false, A, 0x0900, true);
  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0001), true), 0);
  EXPECT_EQ(rom_.GetFWCodeChange(), 1);
}

TEST_F(Placement, PlacementCountsSixtyFiveKiBCodeAsBadCrc) {
  // Area 1 good with N = 65536 and a newer version: CheckFWCRC accepts it,
  // placement does not, so area 1 is the target.
  SetAreas(rom_, kO1, 0x20000);
  Area(kO1, A, 0x0200, true, 65536);
  Area(0x20000, A, 0x0100);
  rom_.CreateSideBridge();
  ASSERT_EQ(rom_.CheckFWCRC(FWALLOCATE_DUAL), 0);
  ASSERT_EQ(rom_.GetFWAllocate(), FWALLOCATE_DUAL);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0150), true), 0);
  EXPECT_EQ(rom_.GetFWCodeChange(), 1);

  // With N = 65535 the CRC is computed and area 2 (older) is the target.
  Area(kO1, A, 0x0200, true, 65535);
  Area(0x20000, A, 0x0100);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0150), true), 0);
  EXPECT_EQ(rom_.GetFWCodeChange(), 2);

  // One copy: N1 = 65536 means no version to compare, so an older file goes in.
  Single(kO1, A, 0x0200, true, 65536);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0100), true), 0);
  EXPECT_EQ(rom_.GetFWCodeChange(), 1);
}

TEST_F(Placement, SingleCopyVersionRule) {
  Single(kO1, A, 0x0110);
  const std::vector<unsigned char> same = Firmware(BRIDGEIC_QK9318A, 0x0110);
  EXPECT_EQ(Place(same, true), 7);
  EXPECT_EQ(rom_.GetFWCodeChange(), 0);
  EXPECT_EQ(Place(same, false), 0);
  EXPECT_EQ(rom_.GetFWCodeChange(), 1);
  EXPECT_TRUE(AreaHolds(kO1, same));
  // Area 1 corrupt: any version goes in.
  Area(kO1, A, 0x0900, false);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0001), true), 0);
}

TEST_F(Placement, SpaceAndLengthLimits) {
  // Two copies: the space is O2 - O1.
  SetAreas(rom_, kO1, kO1 + 0x200);
  Area(kO1, A, 0x0100, false);
  Area(kO1 + 0x200, A, 0x0100, false);
  rom_.CreateSideBridge();
  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0200, 0x200 - 16), false), 0);
  ExpectRefused(Firmware(BRIDGEIC_QK9318A, 0x0200, 0x200 - 15));

  // One copy of QK9318A: the space is S - O1, the file at most 65536.
  SetAreas(rom_, S - 65536, 0);
  rom_.SetFWAllocate(FWALLOCATE_SINGLE);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0200, 65536 - 16), false), 0);
  SetAreas(rom_, S - 65535, 0);
  ExpectRefused(Firmware(BRIDGEIC_QK9318A, 0x0200, 65536 - 16));
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0200, 65535 - 16), false), 0);

  // Files of 65535 and 65536 bytes go in where they fit; 65537 never does.
  SetAreas(rom_, kO1, 0);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0200, 65535 - 16), false), 0);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318A, 0x0200, 65536 - 16), false), 0);
  std::vector<unsigned char> big = Firmware(BRIDGEIC_QK9318A, 0x0200, 65536 - 16);
  big.push_back(0);
  PutLE16(&big[4], static_cast<uint16_t>(big.size() - 16));
  ExpectRefused(big);

  // Length must equal the 16-bit size field plus 16.
  std::vector<unsigned char> file = Firmware(BRIDGEIC_QK9318A, 0x0200, 300);
  std::vector<unsigned char> longer = file;
  longer.push_back(0);
  ExpectRefused(longer);
  std::vector<unsigned char> shorter(file.begin(), file.end() - 1);
  ExpectRefused(shorter);
  // The placed area keeps the whole 32-bit size: upper bytes that are not
  // zero would make it another area than the one whose length was checked.
  for (int at : {6, 7}) {
    std::vector<unsigned char> highSize = file;
    highSize[at] = 0x01;
    ExpectRefused(highSize);
  }
}

// A copy may start on the byte after the header, the parameter area, an
// encryption record or the other copy, never on their last byte; and may
// end on the byte before a record, never on it.
TEST_F(Placement, CopiesKeepClearOfEveryStructureByOneByte) {
  constexpr uint32_t kLength = 64;  // copy length
  const uint32_t p = rom_.GetDWORDFromSROMImage(kParamAreaOffsetField);
  const uint32_t paramEnd = p + rom_.GetParamSize();
  ASSERT_NE(p, 0u);
  const uint32_t record = paramEnd + 0x400;
  rom_.SetDWORDToSROMImage(p + kEncryptionRecord1Field, record);
  struct Edge {
    const char* what;
    uint32_t o1;
    uint32_t o2;
    bool overlaps;
  };
  const uint32_t free1 = record + 0x100, free2 = record + 0x200;
  for (const Edge& e : {
           Edge{"last byte of the parameter area", paramEnd - 1, free2, true},
           Edge{"byte after the parameter area", paramEnd, free2, false},
           Edge{"last byte of the record", record + 3, free2, true},
           Edge{"byte after the record", record + 4, free2, false},
           Edge{"ending on the record", record - kLength + 1, free2, true},
           Edge{"ending before the record", record - kLength, free2, false},
           Edge{"copy 2 on copy 1's last byte", free1, free1 + kLength - 1, true},
           Edge{"copy 2 after copy 1", free1, free1 + kLength, false},
           Edge{"copy 1 on copy 2's last byte", free1 + kLength - 1, free1, true},
           Edge{"copy 1 after copy 2", free1 + kLength, free1, false},
       }) {
    EXPECT_EQ(rom_.PlacementOverlaps(e.o1, e.o2, kLength), e.overlaps) << e.what;
  }
  // The header: with the parameter area elsewhere, a copy may start at 48.
  rom_.SetDWORDToSROMImage(kParamAreaOffsetField, 0x4000);
  EXPECT_TRUE(rom_.PlacementOverlaps(kImageHeaderSize - 1, 0, kLength));
  EXPECT_FALSE(rom_.PlacementOverlaps(kImageHeaderSize, 0, kLength));
}

TEST_F(Placement, QK9318ESpaceEndsAtTheEncryptionRecord) {
  SetAreas(rom_, kO1, 0);
  Area(kO1, E, 0x0100, false);
  rom_.SetDWORDToSROMImage(48 + 20, kO1 + 0x400);  // E1
  rom_.CreateSideBridge();
  rom_.SetBridgeIC(BRIDGEIC_QK9318E);
  EXPECT_EQ(Place(Firmware(BRIDGEIC_QK9318E, 0x0100, 0x400 - 16), false), 0);
  ExpectRefused(Firmware(BRIDGEIC_QK9318E, 0x0100, 0x400 - 15));
  // No encryption record: refused.
  rom_.SetDWORDToSROMImage(48 + 20, 0);
  ExpectRefused(Firmware(BRIDGEIC_QK9318E, 0x0100, 16));
  // E1 read through P: P outside the image means no record.
  rom_.SetDWORDToSROMImage(48 + 20, kO1 + 0x400);
  rom_.SetDWORDToSROMImage(32, 0xFFFFFFF0u);
  ExpectRefused(Firmware(BRIDGEIC_QK9318E, 0x0100, 16));
}

TEST_F(Placement, WrongBridgeOrLayoutIsRefused) {
  Dual(A, 0x0100, true, A, 0x0100, true);
  const std::vector<unsigned char> a = Firmware(BRIDGEIC_QK9318A, 0x0900);
  const std::vector<unsigned char> e = Firmware(BRIDGEIC_QK9318E, 0x0900);
  rom_.SetDWORDToSROMImage(48 + 20, 0x80000);  // an encryption record for E

  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  ExpectRefused(e);
  rom_.SetBridgeIC(BRIDGEIC_QK9318E);
  ExpectRefused(a);
  rom_.SetBridgeIC(BRIDGEIC_UNKNOWN);
  ExpectRefused(a);
  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  rom_.SetFWAllocate(FWALLOCATE_NONE);
  ExpectRefused(a);
  rom_.SetFWAllocate(FWALLOCATE_ANY);
  ExpectRefused(a);

  // Two copies claimed but area 2 absent: nothing is written over the header.
  rom_.SetFWAllocate(FWALLOCATE_DUAL);
  SetAreas(rom_, kO1, 0);
  ExpectRefused(a);
  // Area 2 too close to the end for the file.
  SetAreas(rom_, kO1, S - 100);
  ExpectRefused(a);
  // No area 1.
  SetAreas(rom_, 0, kO2);
  ExpectRefused(a);
  SetAreas(rom_, 0, 0);
  ExpectRefused(a);

  CFlashROM none;
  none.SetBridgeIC(BRIDGEIC_QK9318A);
  none.SetFWAllocate(FWALLOCATE_SINGLE);
  EXPECT_EQ(none.SetFWCode(a.data(), static_cast<uint32_t>(a.size()), false), 7);
}

TEST_F(Placement, MalformedFilesAreRefused) {
  Dual(A, 0x0100, false, A, 0x0100, false);
  rom_.SetBridgeIC(BRIDGEIC_QK9318A);
  std::vector<unsigned char> file = Firmware(BRIDGEIC_QK9318A, 0x0900, 300);

  // The file's stored code CRC must match its code.
  std::vector<unsigned char> badCrc = file;
  badCrc[10] ^= 0x01;
  ExpectRefused(badCrc);
  std::vector<unsigned char> badCode = file;
  badCode[100] ^= 0x80;
  ExpectRefused(badCode);

  // Too short for an area header, or no bytes at all.
  ExpectRefused(std::vector<unsigned char>(file.begin(), file.begin() + 15));
  EXPECT_EQ(rom_.SetFWCode(nullptr, 316, false), 7);
  EXPECT_EQ(rom_.SetFWCode(file.data(), 0, false), 7);

  // An empty code section is a whole file (16 bytes, CRC 0).
  std::vector<unsigned char> empty(16, 0);
  PutLE32(empty.data(), A);
  PutLE16(&empty[8], 0x0900);
  EXPECT_EQ(Place(empty, false), 0);
}

}  // namespace
