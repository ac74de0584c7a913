// The SROM image: creation, the header's parameter bytes in both directions,
// the bounds-checked accessors, the device identity of the parameter area
// and the UTF-16 conversion with its console lines.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "FlashROM.h"
#include "ImageAuthoring.h"
#include "ImageTestHelpers.h"
#include "TextConversion.h"
#include "VirtualBus.h"
#include "common.h"

namespace {

using namespace imagetest;

const char kNotShown[] = "Flash type not shown when read the flash";

// ---------------------------------------------------------------------------
// Construction and creation

TEST(ImageCreate, NewEngineHasNoImageAndInitialState) {
  CFlashROM rom;
  EXPECT_EQ(rom.Image(), nullptr);
  EXPECT_EQ(rom.ImageSize(), 0u);
  EXPECT_STREQ(rom.GetFlashTypeName(), kNotShown);
  EXPECT_EQ(rom.GetBridgeIC(), BRIDGEIC_UNKNOWN);
  EXPECT_EQ(rom.GetFWAllocate(), FWALLOCATE_NONE);
  EXPECT_EQ(rom.GetParameterChange(), 0u);
  EXPECT_EQ(rom.GetFWCodeChange(), 0u);
  EXPECT_EQ(rom.GetEncryptionChange(), 0u);
  EXPECT_EQ(rom.GetParamSize(), 16u);
  // Accessors without an image: 0, and setters do nothing.
  rom.SetDWORDToSROMImage(0, 0x12345678);
  rom.SetBITToSROMImage(0, 1, 1);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(0), 0u);
  EXPECT_EQ(rom.GetWORDFromSROMImage(0), 0u);
  EXPECT_EQ(rom.GetBYTEFromSROMImage(0), 0u);
  EXPECT_EQ(rom.GetBITFromSROMImage(0, 1), 0u);
}

TEST(ImageCreate, NewImageIsErasedExceptHeaderAndParameterArea) {
  CFlashROM rom;
  ASSERT_TRUE(NewImage(rom, 17, 12, false));
  ASSERT_EQ(rom.ImageSize(), 131072u);
  const unsigned char* image = rom.Image();
  for (uint32_t i = 0; i < 332; ++i) ASSERT_EQ(image[i], 0x00) << i;
  for (uint32_t i = 332; i < 131072; ++i) ASSERT_EQ(image[i], 0xFF) << i;
}

TEST(ImageCreate, SizeExponentLimits) {
  CFlashROM rom;
  rom.GetRomParameter()->RomSizeLog2 = 32;
  rom.SetParameterChange(1);
  EXPECT_EQ(rom.CreateSROMImage(), 0);
  EXPECT_EQ(rom.Image(), nullptr);
  EXPECT_EQ(rom.ImageSize(), 0u);

  // A flash smaller than a new image's zeroed part: all of it zeroed.
  rom.GetRomParameter()->RomSizeLog2 = 8;
  ASSERT_EQ(rom.CreateSROMImage(), 1);
  ASSERT_EQ(rom.ImageSize(), 256u);
  for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(rom.Image()[i], 0) << i;

  // 16 MiB is the largest flash taken on; a damaged header asking for more
  // does not make the engine allocate (and then read) gigabytes.
  rom.GetRomParameter()->RomSizeLog2 = 24;
  ASSERT_EQ(rom.CreateSROMImage(), 1);
  EXPECT_EQ(rom.ImageSize(), 1u << 24);
  rom.GetRomParameter()->RomSizeLog2 = 25;
  EXPECT_EQ(rom.CreateSROMImage(), 0);
  rom.GetRomParameter()->RomSizeLog2 = 31;
  EXPECT_EQ(rom.CreateSROMImage(), 0);

  // A later failure replaces the old image by none.
  rom.GetRomParameter()->RomSizeLog2 = 24;
  ASSERT_EQ(rom.CreateSROMImage(), 1);
  rom.GetRomParameter()->RomSizeLog2 = 40;
  EXPECT_EQ(rom.CreateSROMImage(), 0);
  EXPECT_EQ(rom.Image(), nullptr);
}

TEST(ImageCreate, WithoutDeviceTheHeaderReadFails) {
  CFlashROM rom;
  rom.GetRomParameter()->RomSizeLog2 = 16;
  EXPECT_EQ(rom.CreateSROMImage(), 0);
  EXPECT_EQ(rom.Image(), nullptr);
}

// The header read from a virtual bridge: its parameters size the image.
class ImageCreateFromDevice : public ::testing::Test {
 protected:
  // Opens a bridge whose flash starts with `content`, in vendor mode and with
  // flash parameters sent, so that its flash can be read.
  void Open(const std::vector<unsigned char>& content) {
    vbridge::DeviceConfig config;
    std::string error;
    device_ = bus_.AddDevice(config, content, &error);
    ASSERT_NE(device_, nullptr) << error;
    ASSERT_EQ(rom_.Open(nullptr), kSelectOpened);
    ASSERT_EQ(rom_.USBCom_EnableVender(), 1);
    unsigned char parameters[19] = {0x0B, 0x02, 0x20, 0x06, 0x04, 0x05, 0x01, 0xC7, 0x50, 0xB1};
    ASSERT_EQ(rom_.USBCom_SetRomParameters(parameters, 19), 1);
  }
  void TearDown() override { rom_.Close(); }

  vbridge::VirtualBus bus_;
  vbridge::ScopedActiveBus active_{&bus_};
  vbridge::VirtualBridge* device_ = nullptr;
  CFlashROM rom_;
};

TEST_F(ImageCreateFromDevice, GoodHeaderGivesParametersAndImage) {
  CFlashROM source;
  ASSERT_TRUE(NewImage(source, 17, 15));
  source.SetBYTEToSROMImage(7, 0x03);  // read opcode
  FixHeaderCrc(source);
  ASSERT_NO_FATAL_FAILURE(Open(std::vector<unsigned char>(source.Image(), source.Image() + 48)));

  ASSERT_EQ(rom_.CreateSROMImage(), 1);
  EXPECT_EQ(rom_.ImageSize(), 131072u);
  EXPECT_EQ(rom_.GetRomParameter()->ReadCommand, 0x03);
  EXPECT_EQ(rom_.GetRomParameter()->EraseSizeLog2, 15);
  EXPECT_EQ(rom_.GetEraseRomBlockSize(), 32768u);
  // The header read is not kept: the new image is zeroed and erased.
  EXPECT_EQ(rom_.Image()[7], 0);
  EXPECT_EQ(rom_.Image()[332], 0xFF);
}

TEST_F(ImageCreateFromDevice, BadHeaderCrcLeavesNoImage) {
  CFlashROM source;
  ASSERT_TRUE(NewImage(source, 17, 12));
  std::vector<unsigned char> header(source.Image(), source.Image() + 48);
  header[20] ^= 0x01;
  ASSERT_NO_FATAL_FAILURE(Open(header));
  rom_.GetRomParameter()->RomSizeLog2 = 16;
  EXPECT_EQ(rom_.CreateSROMImage(), 0);
  EXPECT_EQ(rom_.Image(), nullptr);
  EXPECT_EQ(rom_.GetRomParameter()->RomSizeLog2, 16);  // untouched
}

TEST_F(ImageCreateFromDevice, ErasedFlashFails) {
  ASSERT_NO_FATAL_FAILURE(Open({}));
  EXPECT_EQ(rom_.CreateSROMImage(), 0);
  EXPECT_EQ(rom_.Image(), nullptr);
}

// ---------------------------------------------------------------------------
// Parameter bytes

// W25Q80BL in the header: bytes 7 to 25 as the record-to-image rules give.
TEST(ImageParameters, RecordToImageBytesOfATablePart) {
  CFlashROM rom;
  _serialflash_romparamlist list = {};
  ASSERT_EQ(rom.GetParamList("Winbond W25Q80BL", &list), 1);
  rom.ListToImage(rom.GetRomParameter(), &list);
  rom.SetParameterChange(1);
  ASSERT_EQ(rom.CreateSROMImage(), 1);
  for (uint32_t i = 7; i <= 25; ++i) rom.SetBYTEToSROMImage(i, 0xEE);
  rom.MakeImageFromSROMParam();
  const unsigned char expected[19] = {0x0B, 0x02, 0x20, 0x06, 0x04, 0x05, 0x01, 0xC7, 0x50, 0xB1,
                                      0x00, 0x00, 0x00, 0x01, 0x01, 0x0C, 0x14, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(rom.Image() + 7, expected, 19));
  // The header CRC is not touched by the conversion.
  EXPECT_EQ(rom.GetWORDFromSROMImage(4), 0);
}

TEST(ImageParameters, RoundTripForEveryTablePart) {
  for (unsigned i = 0; i < kSerialFlashPartCount; ++i) {
    CFlashROM rom;
    _serialflash_romparamlist list = {};
    ASSERT_EQ(rom.GetParamList(i, &list, 0, BRIDGEIC_QK9318E, FWALLOCATE_ANY), 2);
    ROM_PARAMETER_IMAGE original = {};
    rom.ListToImage(&original, &list);
    *rom.GetRomParameter() = original;
    rom.SetParameterChange(1);
    ASSERT_EQ(rom.CreateSROMImage(), 1) << list.Name;
    rom.MakeImageFromSROMParam();
    FixHeaderCrc(rom);

    std::memset(rom.GetRomParameter(), 0x5A, sizeof(ROM_PARAMETER_IMAGE));
    rom.MakeSROMParamFromImage();
    const ROM_PARAMETER_IMAGE& back = *rom.GetRomParameter();
    EXPECT_EQ(back.ReadCommand, original.ReadCommand) << list.Name;
    EXPECT_EQ(back.ProgramCommand, original.ProgramCommand) << list.Name;
    EXPECT_EQ(back.EraseCommand, original.EraseCommand) << list.Name;
    EXPECT_EQ(back.EWSRCommand, original.EWSRCommand) << list.Name;
    EXPECT_EQ(back.WriteEnableCommand, original.WriteEnableCommand) << list.Name;
    EXPECT_EQ(back.WriteDisableCommand, original.WriteDisableCommand) << list.Name;
    EXPECT_EQ(back.ReadStatusCommand, original.ReadStatusCommand) << list.Name;
    EXPECT_EQ(back.WriteStatusCommand, original.WriteStatusCommand) << list.Name;
    EXPECT_EQ(back.ChipEraseCommand, original.ChipEraseCommand) << list.Name;
    EXPECT_EQ(back.ControlFlags, original.ControlFlags) << list.Name;
    EXPECT_EQ(back.FrequencyCode, original.FrequencyCode) << list.Name;
    EXPECT_EQ(back.PageProgramUnitSize, original.PageProgramUnitSize) << list.Name;
    EXPECT_EQ(back.AAIProgramUnitSize, original.AAIProgramUnitSize) << list.Name;
    EXPECT_EQ(back.EraseSizeLog2, original.EraseSizeLog2) << list.Name;
    EXPECT_EQ(back.RomSizeLog2, original.RomSizeLog2) << list.Name;
    EXPECT_EQ(back.Reserved, original.Reserved) << list.Name;
    EXPECT_EQ(back.ModeCode, original.ModeCode) << list.Name;
    EXPECT_EQ(rom.ImageSize(), 1u << original.RomSizeLog2) << list.Name;
  }
}

class ImageHeaderBytes : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(NewImage(rom_, 16, 12)); }
  void Decode() {
    FixHeaderCrc(rom_);
    rom_.MakeSROMParamFromImage();
  }
  CFlashROM rom_;
};

TEST_F(ImageHeaderBytes, ModeFlagMeansModeTwoBothWays) {
  rom_.SetBYTEToSROMImage(17, 0x01);
  rom_.SetBYTEToSROMImage(25, 0x00);
  Decode();
  EXPECT_EQ(rom_.GetRomParameter()->ModeCode, 2);
  rom_.SetBYTEToSROMImage(17, 0);
  rom_.SetBYTEToSROMImage(25, 0);
  rom_.MakeImageFromSROMParam();
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(25), 1);
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(17), 1);

  // Only bit 0 of byte 17 counts; other bits leave byte 25 in charge.
  rom_.SetBYTEToSROMImage(17, 0xFE);
  rom_.SetBYTEToSROMImage(25, 0x01);
  Decode();
  EXPECT_EQ(rom_.GetRomParameter()->ModeCode, 1);
  rom_.MakeImageFromSROMParam();
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(25), 1);
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(17), 0);  // written as 0, no other bit
}

TEST_F(ImageHeaderBytes, FrequencyTakesLowNibbleInButWholeByteOut) {
  rom_.SetBYTEToSROMImage(18, 0xA3);
  Decode();
  EXPECT_EQ(rom_.GetRomParameter()->FrequencyCode, 3);
  rom_.MakeImageFromSROMParam();
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(18), 0x03);
  rom_.GetRomParameter()->FrequencyCode = 0xA3;
  rom_.MakeImageFromSROMParam();
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(18), 0xA3);
}

TEST_F(ImageHeaderBytes, PageProgramUnitIsLittleEndian) {
  rom_.SetBYTEToSROMImage(19, 0x00);
  rom_.SetBYTEToSROMImage(20, 0x01);
  Decode();
  EXPECT_EQ(rom_.GetRomParameter()->PageProgramUnitSize, 256);
  rom_.GetRomParameter()->PageProgramUnitSize = 0x1234;
  rom_.MakeImageFromSROMParam();
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(19), 0x34);
  EXPECT_EQ(rom_.GetBYTEFromSROMImage(20), 0x12);
}

TEST_F(ImageHeaderBytes, BadCrcChangesNothing) {
  rom_.GetRomParameter()->ReadCommand = 0x77;
  // Make FlashTypeName differ from the reset text first.
  for (uint32_t i = 0; i < 50; ++i) rom_.SetBYTEToSROMImage(48 + 1024 + i, i == 0 ? 'X' : 0);
  _actionparamlist list = {};
  rom_.GetActionParameter(&list);
  ASSERT_STREQ(rom_.GetFlashTypeName(), "X");

  rom_.SetBYTEToSROMImage(7, 0x03);  // CRC no longer matches
  rom_.MakeSROMParamFromImage();
  EXPECT_EQ(rom_.GetRomParameter()->ReadCommand, 0x77);
  EXPECT_STREQ(rom_.GetFlashTypeName(), "X");
  // With the CRC fixed the name is reset and the parameters are read.
  Decode();
  EXPECT_EQ(rom_.GetRomParameter()->ReadCommand, 0x03);
  EXPECT_STREQ(rom_.GetFlashTypeName(), kNotShown);
}

TEST(ImageParameters, MakeImageFromSROMParamCreatesMissingImage) {
  CFlashROM rom;
  rom.GetRomParameter()->RomSizeLog2 = 16;
  rom.GetRomParameter()->ReadCommand = 0x0B;
  rom.SetParameterChange(1);
  rom.MakeImageFromSROMParam();
  ASSERT_NE(rom.Image(), nullptr);
  EXPECT_EQ(rom.ImageSize(), 65536u);
  EXPECT_EQ(rom.GetBYTEFromSROMImage(7), 0x0B);

  CFlashROM failing;
  failing.GetRomParameter()->RomSizeLog2 = 33;
  failing.SetParameterChange(1);
  failing.MakeImageFromSROMParam();
  EXPECT_EQ(failing.Image(), nullptr);
}

TEST(ImageParameters, ParamSize) {
  CFlashROM rom;
  EXPECT_EQ(rom.GetParamSize(), 16u);
  ASSERT_TRUE(NewImage(rom, 16, 12));
  EXPECT_EQ(rom.GetParamSize(), 284u);
  rom.SetDWORDToSROMImage(52, 100);
  EXPECT_EQ(rom.GetParamSize(), 116u);
  // An area that runs past the image counts as the bare area header.
  rom.SetDWORDToSROMImage(52, 0xFFFFFFF0u);
  EXPECT_EQ(rom.GetParamSize(), 16u);
  rom.SetDWORDToSROMImage(52, 65536 - 48 - 16);
  EXPECT_EQ(rom.GetParamSize(), 65536u - 48);
  rom.SetDWORDToSROMImage(52, 65536 - 48 - 15);
  EXPECT_EQ(rom.GetParamSize(), 16u);
  rom.SetDWORDToSROMImage(32, 0xFFFFFFFFu);
  EXPECT_EQ(rom.GetParamSize(), 16u);
}

// ---------------------------------------------------------------------------
// Accessors

TEST(ImageAccessors, LittleEndianAndBits) {
  CFlashROM rom;
  ASSERT_TRUE(NewImage(rom, 16, 12, false));
  rom.SetDWORDToSROMImage(0x100, 0x11223344);
  EXPECT_EQ(rom.Image()[0x100], 0x44);
  EXPECT_EQ(rom.Image()[0x103], 0x11);
  EXPECT_EQ(rom.GetDWORDFromSROMImage(0x100), 0x11223344u);
  EXPECT_EQ(rom.GetWORDFromSROMImage(0x101), 0x2233);
  rom.SetWORDToSROMImage(0x200, 0xBEEF);
  EXPECT_EQ(rom.Image()[0x200], 0xEF);
  EXPECT_EQ(rom.Image()[0x201], 0xBE);

  rom.SetBYTEToSROMImage(0x300, 0xA5);
  EXPECT_EQ(rom.GetBITFromSROMImage(0x300, 0), 1);
  EXPECT_EQ(rom.GetBITFromSROMImage(0x300, 1), 0);
  EXPECT_EQ(rom.GetBITFromSROMImage(0x300, 7), 1);
  rom.SetBITToSROMImage(0x300, 1, 0x80);  // any non-zero value sets
  EXPECT_EQ(rom.GetBYTEFromSROMImage(0x300), 0xA7);
  rom.SetBITToSROMImage(0x300, 7, 0);
  EXPECT_EQ(rom.GetBYTEFromSROMImage(0x300), 0x27);
}

TEST(ImageAccessors, NothingOutsideTheImage) {
  CFlashROM rom;
  ASSERT_TRUE(NewImage(rom, 16, 12, false));
  const uint32_t end = rom.ImageSize();
  rom.SetBYTEToSROMImage(end - 1, 0x12);
  EXPECT_EQ(rom.GetBYTEFromSROMImage(end - 1), 0x12);
  const std::vector<unsigned char> before = Snapshot(rom);
  for (uint32_t offset : {end - 3, end - 1, end, end + 1, 0xFFFFFFFDu, 0xFFFFFFFFu}) {
    rom.SetDWORDToSROMImage(offset, 0xDEADBEEF);
    EXPECT_EQ(rom.GetDWORDFromSROMImage(offset), 0u) << offset;
  }
  for (uint32_t offset : {end - 1, end, 0xFFFFFFFFu}) {
    rom.SetWORDToSROMImage(offset, 0xBEEF);
    EXPECT_EQ(rom.GetWORDFromSROMImage(offset), 0u) << offset;
  }
  for (uint32_t offset : {end, 0xFFFFFFFFu}) {
    rom.SetBYTEToSROMImage(offset, 1);
    rom.SetBITToSROMImage(offset, 0, 1);
    EXPECT_EQ(rom.GetBYTEFromSROMImage(offset), 0u);
    EXPECT_EQ(rom.GetBITFromSROMImage(offset, 0), 0u);
  }
  EXPECT_EQ(Snapshot(rom), before);
}

TEST(ImageAccessors, EraseBlockSizeAndClearFlag) {
  CFlashROM rom;
  rom.GetRomParameter()->EraseSizeLog2 = 16;
  EXPECT_EQ(rom.GetEraseRomBlockSize(), 65536u);
  rom.GetRomParameter()->EraseSizeLog2 = 12;
  EXPECT_EQ(rom.GetEraseRomBlockSize(), 4096u);

  // Set every flag through the operations that set them, then clear.
  CFlashROM e;
  zfimage::FlashImageSpec imageSpec;
  imageSpec.variant = BRIDGEIC_QK9318E;
  imageSpec.copies = FWALLOCATE_SINGLE;
  imageSpec.firmware1 = Firmware(BRIDGEIC_QK9318E, 0x0100);
  std::vector<unsigned char> image;
  std::string error;
  ASSERT_TRUE(zfimage::BuildFlashImage(imageSpec, &image, &error)) << error;
  ASSERT_TRUE(e.LoadImage(image.data(), static_cast<uint32_t>(image.size())));
  ASSERT_EQ(e.SetFWCode(imageSpec.firmware1.data(), static_cast<uint32_t>(imageSpec.firmware1.size()), false),
            0);
  _encryptionlist settings = {1, 0, 0};
  e.SetEncryption(&settings);
  e.SetParameterChange(1);
  EXPECT_EQ(e.GetFWCodeChange(), 1u);
  EXPECT_EQ(e.GetEncryptionChange(), 1u);
  e.ClearFlag();
  EXPECT_EQ(e.GetFWCodeChange(), 0u);
  EXPECT_EQ(e.GetEncryptionChange(), 0u);
  EXPECT_EQ(e.GetParameterChange(), 0u);
}

// ---------------------------------------------------------------------------
// The device identity

class ActionParameters : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(zfimage::BuildDefaultFlashImage(&image_, &error)) << error;
    Load();
    std::memset(&list_, 0x7E, sizeof list_);
    list_.ProductString[31] = '\0';
    list_.ThirdString[31] = '\0';
  }
  void Load() {
    ASSERT_TRUE(rom_.LoadImage(image_.data(), static_cast<uint32_t>(image_.size())));
  }
  // Writes string slot text bytes at P + slot (length byte first).
  void PutSlot(uint32_t slot, const std::vector<unsigned char>& bytes, int length = -1) {
    image_[48 + slot] = static_cast<unsigned char>(length < 0 ? bytes.size() : length);
    if (!bytes.empty()) std::memcpy(&image_[48 + slot + 2], bytes.data(), bytes.size());
  }

  std::vector<unsigned char> image_;
  CFlashROM rom_;
  _actionparamlist list_;
};

TEST_F(ActionParameters, DefaultImageIdentity) {
  rom_.GetActionParameter(&list_);
  EXPECT_EQ(list_.VendorID, 0x3F1C);
  EXPECT_EQ(list_.ProductID, 0x0001);
  EXPECT_EQ(list_.BcdDevice, 0x0100);
  EXPECT_STREQ(list_.ManufacturerString, "ZEDRIK");
  EXPECT_STREQ(list_.ProductString, "QK9318 Storage");
  EXPECT_STREQ(list_.ThirdString, "");
  EXPECT_STREQ(list_.FlashParamList.Name, "Winbond W25Q80BL");
  EXPECT_STREQ(rom_.GetFlashTypeName(), "Winbond W25Q80BL");
  EXPECT_EQ(list_.FlashParamList.RomSizeCode, 4);
  EXPECT_EQ(list_.FlashParamList.EraseSizeCode, 0);
  EXPECT_EQ(list_.FlashParamList.ReadCommand, 0x0B);
  EXPECT_EQ(list_.FWCodeSize, 0x4000u + 16);
  EXPECT_EQ(list_.FWAllocate, static_cast<uint32_t>(FWALLOCATE_DUAL));
  EXPECT_EQ(list_.BridgeIC, static_cast<uint32_t>(BRIDGEIC_QK9318A));
  // Fields only the Windows build fills stay as they were.
  EXPECT_EQ(list_.OptionFlags[0], 0x7E);
  EXPECT_EQ(list_.Option38, 0x7E);
  EXPECT_EQ(list_.IdentVendor[0], 0x7E);
}

TEST_F(ActionParameters, ErasedNameSlotMeansNotShown) {
  std::memset(&image_[48 + 1024], 0xFF, 4);
  Load();
  rom_.GetActionParameter(&list_);
  EXPECT_STREQ(rom_.GetFlashTypeName(), kNotShown);
  EXPECT_STREQ(list_.FlashParamList.Name, kNotShown);
}

TEST_F(ActionParameters, NameSlotIsCutToFortyNineCharacters) {
  std::memset(&image_[48 + 1024], 'N', 60);
  Load();
  rom_.GetActionParameter(&list_);
  EXPECT_EQ(std::string(rom_.GetFlashTypeName()), std::string(49, 'N'));
  EXPECT_EQ(std::string(list_.FlashParamList.Name), std::string(49, 'N'));
}

TEST_F(ActionParameters, EmptyAndNonAsciiStrings) {
  PutSlot(64, {}, 0);
  PutSlot(128, Utf16("Bär \xF0\x9F\x98\x80"));  // two- and four-byte UTF-8
  Load();
  rom_.GetActionParameter(&list_);
  EXPECT_STREQ(list_.ManufacturerString, "");
  EXPECT_STREQ(list_.ProductString, "Bär \xF0\x9F\x98\x80");
}

TEST_F(ActionParameters, FailedSlotStopsAndLeavesLaterFields) {
  PutSlot(128, {0x00, 0xDC, 0x41, 0x00});  // lone low surrogate
  Load();
  testing::internal::CaptureStdout();
  rom_.GetActionParameter(&list_);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "invlaid multibyte string\n");
  EXPECT_STREQ(list_.ManufacturerString, "ZEDRIK");
  EXPECT_EQ(list_.ProductString[0], 0x7E);  // the failed field keeps its value
  EXPECT_EQ(list_.ThirdString[0], 0x7E);
  EXPECT_EQ(list_.VendorID, 0x7E7E);
  EXPECT_EQ(list_.FWCodeSize, 0x7E7E7E7Eu);
}

TEST_F(ActionParameters, ThirdSlotFailureStillSetsBothStrings) {
  // 31 characters convert; 32 do not fit the field with its terminator.
  const std::vector<unsigned char> text = Utf16(std::string(31, 'a'));
  PutSlot(192, text);
  image_[48 + 192] = 64;  // 32 UTF-16 units, running into the next bytes
  image_[48 + 192 + 2 + 62] = 'b';
  image_[48 + 192 + 2 + 63] = 0;
  Load();
  testing::internal::CaptureStdout();
  rom_.GetActionParameter(&list_);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "output buffer is small\n");
  EXPECT_STREQ(list_.ManufacturerString, "ZEDRIK");
  EXPECT_STREQ(list_.ProductString, "QK9318 Storage");
  EXPECT_EQ(list_.VendorID, 0x7E7E);

  image_[48 + 192] = 62;
  Load();
  rom_.GetActionParameter(&list_);
  EXPECT_EQ(std::string(list_.ThirdString), std::string(31, 'a'));
  EXPECT_EQ(list_.VendorID, 0x3F1C);
}

TEST_F(ActionParameters, NoImageLeavesListUntouched) {
  CFlashROM empty;
  const _actionparamlist before = list_;
  empty.GetActionParameter(&list_);
  EXPECT_EQ(0, std::memcmp(&before, &list_, sizeof list_));
  empty.GetActionParameter(nullptr);
}

TEST_F(ActionParameters, ParameterAreaOutsideTheImage) {
  // P beyond the image: the first slot is absent and the list keeps its values.
  PutLE32(&image_[32], 0xFFFFFFF0u);
  PutLE16(&image_[4], static_cast<uint16_t>(CalcCRC16(&image_[6], 42)));
  Load();
  const _actionparamlist before = list_;
  rom_.GetActionParameter(&list_);
  EXPECT_EQ(0, std::memcmp(&before, &list_, sizeof list_));

  // P so close to the end that the strings fit but the name slot does not.
  const uint32_t p = static_cast<uint32_t>(image_.size()) - 300;
  std::vector<unsigned char> area(image_.begin() + 48, image_.begin() + 48 + 284);
  std::memcpy(&image_[p], area.data(), area.size());
  PutLE32(&image_[32], p);
  PutLE16(&image_[4], static_cast<uint16_t>(CalcCRC16(&image_[6], 42)));
  Load();
  rom_.GetActionParameter(&list_);
  EXPECT_STREQ(list_.ManufacturerString, "ZEDRIK");
  EXPECT_EQ(list_.VendorID, 0x3F1C);
  EXPECT_STREQ(rom_.GetFlashTypeName(), kNotShown);

  // A slot whose text would run past the end counts as not converting.
  const uint32_t q = static_cast<uint32_t>(image_.size()) - 64 - 20;
  PutLE32(&image_[32], q);
  PutLE16(&image_[4], static_cast<uint16_t>(CalcCRC16(&image_[6], 42)));
  image_[q + 64] = 200;
  Load();
  std::memset(list_.ManufacturerString, 0x41, sizeof list_.ManufacturerString);
  list_.ManufacturerString[31] = '\0';
  rom_.GetActionParameter(&list_);
  EXPECT_EQ(std::string(list_.ManufacturerString), std::string(31, 'A'));
}

// ---------------------------------------------------------------------------
// Text conversion

std::string Convert(const std::vector<unsigned char>& in, uint16_t capacity, bool* ok,
                    std::string* console) {
  std::vector<char> out(capacity + 1u, '#');
  testing::internal::CaptureStdout();
  *ok = localUTF16ToUTF8(in.data(), static_cast<uint16_t>(in.size()), out.data(), capacity);
  *console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out[capacity], '#') << "wrote past the capacity";
  return *ok ? std::string(out.data()) : std::string();
}

TEST(Utf16Conversion, SuccessAndTheThreeFailures) {
  bool ok = false;
  std::string console;
  EXPECT_EQ(Convert(Utf16("abc"), 32, &ok, &console), "abc");
  EXPECT_TRUE(ok);
  EXPECT_EQ(console, "");
  EXPECT_EQ(Convert({}, 32, &ok, &console), "");
  EXPECT_TRUE(ok);

  Convert({0x00, 0xDC, 0x41, 0x00}, 32, &ok, &console);
  EXPECT_FALSE(ok);
  EXPECT_EQ(console, "invlaid multibyte string\n");
  Convert({0x3D, 0xD8, 0x41, 0x00}, 32, &ok, &console);  // high surrogate, then a letter
  EXPECT_FALSE(ok);
  EXPECT_EQ(console, "invlaid multibyte string\n");

  Convert({0x41, 0x00, 0x42}, 32, &ok, &console);  // odd byte count
  EXPECT_FALSE(ok);
  EXPECT_EQ(console, "input multibyte invalid\n");
  Convert({0x41, 0x00, 0x3D, 0xD8}, 32, &ok, &console);  // cut surrogate pair
  EXPECT_FALSE(ok);
  EXPECT_EQ(console, "input multibyte invalid\n");

  Convert(Utf16(std::string(32, 'x')), 32, &ok, &console);
  EXPECT_FALSE(ok);
  EXPECT_EQ(console, "output buffer is small\n");
}

TEST(Utf16Conversion, CapacityCountsTheTerminator) {
  bool ok = false;
  std::string console;
  EXPECT_EQ(Convert(Utf16(std::string(31, 'x')), 32, &ok, &console), std::string(31, 'x'));
  EXPECT_TRUE(ok);
  // The limit is on UTF-8 bytes: a two-byte character and 29 letters fit,
  // 16 two-byte characters do not.
  EXPECT_EQ(Convert(Utf16("\xC3\xA4" + std::string(29, 'z')), 32, &ok, &console),
            "\xC3\xA4" + std::string(29, 'z'));
  std::string umlauts;
  for (int i = 0; i < 16; ++i) umlauts += "\xC3\xA4";
  Convert(Utf16(umlauts), 32, &ok, &console);
  EXPECT_FALSE(ok);
  EXPECT_EQ(console, "output buffer is small\n");
  EXPECT_EQ(Convert(Utf16("ab"), 3, &ok, &console), "ab");
  Convert(Utf16("abc"), 3, &ok, &console);
  EXPECT_FALSE(ok);
}

// ---------------------------------------------------------------------------
// Crafted images: nothing is read or written outside the image (run under
// AddressSanitizer to see it).

void ExerciseEverything(CFlashROM& rom) {
  _actionparamlist list = {};
  rom.GetActionParameter(&list);
  rom.CheckFWCRC(1);
  rom.CheckFWCRC(2);
  rom.GetFWVersion();
  rom.GetFWBridgeSignature();
  std::vector<unsigned char> code(rom.GetFWCodeSize() + 1u);
  rom.GetFWCode(code.data(), static_cast<uint32_t>(code.size()));
  rom.GetParamSize();
  _encryptionlist settings = {};
  rom.SetBridgeIC(BRIDGEIC_QK9318E);
  rom.GetEncryption(&settings);
  settings = {1, 1, 1};
  rom.SetEncryption(&settings);
  char name[64];
  rom.GetFWFileName(name, sizeof name);
  rom.SetFWFileName("MainFW.kqfw");
  for (SROM_BRIDGEIC bridge : {BRIDGEIC_QK9318E, BRIDGEIC_QK9318A}) {
    for (SROM_FWALLOCATE allocate : {FWALLOCATE_SINGLE, FWALLOCATE_DUAL}) {
      rom.SetBridgeIC(bridge);
      rom.SetFWAllocate(allocate);
      const std::vector<unsigned char> fw = Firmware(bridge, 0x0999, 64);
      rom.SetFWCode(fw.data(), static_cast<uint32_t>(fw.size()), true);
    }
  }
}

TEST(ImageCrafted, OffsetsAtAndBeyondTheEnd) {
  const uint32_t size = 4096;
  const uint32_t hostile[] = {0xFFFFFFFFu, 0xFFFFFFF0u, size, size - 1, size - 2, size - 4,
                              size - 8,    size - 15,   size - 16, size - 17, 1, 47};
  for (uint32_t value : hostile) {
    std::vector<unsigned char> image(size, 0xFF);
    CFlashROM maker;
    ASSERT_TRUE(NewImage(maker, 12, 8));
    std::memcpy(image.data(), maker.Image(), 332);
    // Every offset field points at the hostile value, every size is huge.
    PutLE32(&image[32], value);
    PutLE32(&image[36], value);
    PutLE32(&image[40], value);
    PutLE32(&image[48 + 4], 0xFFFFFFFFu);
    PutLE32(&image[48 + 20], value);
    PutLE32(&image[48 + 24], value);
    SealHeaderCrc(image.data());
    CFlashROM rom;
    EXPECT_TRUE(rom.LoadImage(image.data(), size));
    ExerciseEverything(rom);
  }
}

TEST(ImageCrafted, RandomImagesNeverReachOutside) {
  std::mt19937 rng(20240607);
  for (int round = 0; round < 300; ++round) {
    const uint32_t size = 48 + rng() % 2048;
    std::vector<unsigned char> image(size);
    for (auto& b : image) b = static_cast<unsigned char>(rng());
    // Offsets near the end of the image and code sizes near it too.
    auto nearEnd = [&]() { return static_cast<uint32_t>(size - rng() % 64); };
    PutLE32(&image[32], rng() % 3 == 0 ? 16 : nearEnd());
    PutLE32(&image[36], rng() % 2 ? 48 : nearEnd());
    PutLE32(&image[40], rng() % 2 ? 0 : nearEnd());
    image[22] = static_cast<unsigned char>(rng() % 14);
    image[23] = static_cast<unsigned char>(rng() % 14);
    if (size >= 64) PutLE32(&image[52], rng() % 2 ? size - 60 : rng());
    SealHeaderCrc(image.data());
    CFlashROM rom;
    rom.LoadImage(image.data(), size);
    ExerciseEverything(rom);
  }
}

TEST(ImageLoad, LoadImageDerivesLayoutAndReportsHeader) {
  std::vector<unsigned char> image;
  std::string error;
  ASSERT_TRUE(zfimage::BuildDefaultFlashImage(&image, &error)) << error;
  CFlashROM rom;
  ASSERT_TRUE(rom.LoadImage(image.data(), static_cast<uint32_t>(image.size())));
  EXPECT_EQ(rom.ImageSize(), image.size());
  EXPECT_EQ(rom.GetRomParameter()->RomSizeLog2, 20);
  EXPECT_EQ(rom.GetBridgeIC(), BRIDGEIC_QK9318A);
  EXPECT_EQ(rom.GetFWAllocate(), FWALLOCATE_DUAL);

  image[10] ^= 1;  // header CRC broken: the bytes are taken, the parameters are not
  CFlashROM bad;
  bad.GetRomParameter()->RomSizeLog2 = 7;
  EXPECT_FALSE(bad.LoadImage(image.data(), static_cast<uint32_t>(image.size())));
  EXPECT_EQ(bad.ImageSize(), image.size());
  EXPECT_EQ(bad.GetRomParameter()->RomSizeLog2, 7);
  EXPECT_FALSE(bad.LoadImage(nullptr, 10));
  EXPECT_EQ(bad.Image(), nullptr);
  EXPECT_FALSE(bad.LoadImage(image.data(), 0));
  EXPECT_FALSE(bad.LoadImage(image.data(), 20));  // shorter than a header
  EXPECT_EQ(bad.ImageSize(), 20u);
}

}  // namespace
