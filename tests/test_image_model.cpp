// The SROM image model on its own (CSROMImage, no transport) against the
// engine that holds it: the same bytes give the same answers, a firmware
// file is placed alike, the header read from a device is taken only with its
// CRC, and the engine forgets the flash as read when it is given an image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "EngineSupport.h"
#include "FlashROM.h"
#include "ImageAuthoring.h"
#include "SROMImage.h"
#include "SROMTables.h"
#include "common.h"

namespace {

using testsupport::BuildImage;

std::vector<unsigned char> Firmware(SROM_BRIDGEIC variant, uint16_t version, uint32_t seed) {
  return zfimage::BuildFirmwareFile(variant, version, 0x0154,
                                    zfimage::PseudoRandomCode(0x1800, seed));
}

// 128 KiB flashes with 4 KiB blocks: a placement row for every layout.
zfimage::FlashImageSpec ImageOf(SROM_BRIDGEIC variant, SROM_FWALLOCATE copies) {
  zfimage::FlashImageSpec imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.partName = "EONSillicon EN25LF10";
  imageSpec.variant = variant;
  imageSpec.copies = copies;
  imageSpec.firmware1 = Firmware(variant, 0x0110, 1);
  imageSpec.firmware2 = Firmware(variant, 0x0100, 2);
  imageSpec.firmwareFileName = "MainFW.kqfw";
  imageSpec.encryption = {1, 0, 1};
  return imageSpec;
}

std::vector<zfimage::FlashImageSpec> Layouts() {
  std::vector<zfimage::FlashImageSpec> layouts = {
      ImageOf(BRIDGEIC_QK9318A, FWALLOCATE_DUAL), ImageOf(BRIDGEIC_QK9318A, FWALLOCATE_SINGLE),
      ImageOf(BRIDGEIC_QK9318E, FWALLOCATE_DUAL), ImageOf(BRIDGEIC_QK9318E, FWALLOCATE_SINGLE)};
  zfimage::FlashImageSpec broken = ImageOf(BRIDGEIC_QK9318A, FWALLOCATE_DUAL);
  broken.corruptCopy = 1;
  layouts.push_back(broken);
  return layouts;
}

void ExpectSameParameters(const ROM_PARAMETER_IMAGE& a, const ROM_PARAMETER_IMAGE& b) {
  _serialflash_romparamlist listA = {}, listB = {};
  srom::ImageToList(&listA, &a);
  srom::ImageToList(&listB, &b);
  EXPECT_EQ(std::memcmp(&listA, &listB, sizeof listA), 0);
  EXPECT_EQ(a.EWSRCommand, b.EWSRCommand);
  EXPECT_EQ(a.ControlFlags, b.ControlFlags);
  EXPECT_EQ(a.RomSizeLog2, b.RomSizeLog2);
  EXPECT_EQ(a.EraseSizeLog2, b.EraseSizeLog2);
}

void ExpectSameIdentity(CSROMImage& model, CFlashROM& engine) {
  _actionparamlist a = {}, b = {};
  model.GetActionParameter(&a);
  engine.GetActionParameter(&b);
  EXPECT_EQ(a.VendorID, b.VendorID);
  EXPECT_EQ(a.ProductID, b.ProductID);
  EXPECT_EQ(a.BcdDevice, b.BcdDevice);
  EXPECT_STREQ(a.ManufacturerString, b.ManufacturerString);
  EXPECT_STREQ(a.ProductString, b.ProductString);
  EXPECT_STREQ(a.FlashParamList.Name, b.FlashParamList.Name);
  EXPECT_EQ(a.FWCodeSize, b.FWCodeSize);
  EXPECT_STREQ(model.GetFlashTypeName(), engine.GetFlashTypeName());
  char nameA[64] = {}, nameB[64] = {};
  model.GetFWFileName(nameA, sizeof nameA - 1);
  engine.GetFWFileName(nameB, sizeof nameB - 1);
  EXPECT_STREQ(nameA, nameB);
  EXPECT_STREQ(nameA, "MainFW.kqfw");
}

void ExpectSameFirmwareAnswers(CSROMImage& model, CFlashROM& engine) {
  EXPECT_EQ(model.GetBridgeIC(), engine.GetBridgeIC());
  EXPECT_EQ(model.GetFWAllocate(), engine.GetFWAllocate());
  EXPECT_EQ(model.CheckFWCRC(FWALLOCATE_SINGLE), engine.CheckFWCRC(FWALLOCATE_SINGLE));
  EXPECT_EQ(model.CheckFWCRC(FWALLOCATE_DUAL), engine.CheckFWCRC(FWALLOCATE_DUAL));
  EXPECT_EQ(model.GetFWVersion(), engine.GetFWVersion());
  EXPECT_EQ(model.GetFWBridgeSignature(), engine.GetFWBridgeSignature());
  EXPECT_EQ(model.GetFWCodeSize(), engine.GetFWCodeSize());
  EXPECT_EQ(model.GetParamSize(), engine.GetParamSize());
  for (int number : {1, 2}) {
    const CSROMImage::AreaFacts a = model.DescribeArea(number);
    const CFlashROM::AreaFacts b = engine.DescribeArea(number);
    EXPECT_EQ(a.present, b.present);
    EXPECT_EQ(a.offset, b.offset);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.crcGood, b.crcGood);
  }
  _encryptionlist a = {9, 9, 9}, b = {9, 9, 9};
  model.GetEncryption(&a);
  engine.GetEncryption(&b);
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST(ImageModel, AnswersLikeTheEngineForEveryLayout) {
  for (const zfimage::FlashImageSpec& imageSpec : Layouts()) {
    SCOPED_TRACE(std::to_string(imageSpec.variant) + "/" + std::to_string(imageSpec.copies) +
                 "/corrupt " + std::to_string(imageSpec.corruptCopy));
    const std::vector<unsigned char> image = BuildImage(imageSpec);
    ASSERT_FALSE(image.empty());
    const uint32_t size = static_cast<uint32_t>(image.size());
    CSROMImage model;
    CFlashROM engine;
    ASSERT_TRUE(model.LoadImage(image.data(), size));
    ASSERT_TRUE(engine.LoadImage(image.data(), size));
    ASSERT_EQ(model.ImageSize(), size);
    EXPECT_EQ(std::memcmp(model.Image(), image.data(), size), 0);
    EXPECT_EQ(model.GetBridgeIC(), imageSpec.variant);
    EXPECT_EQ(model.GetFWAllocate(), imageSpec.copies);
    ExpectSameParameters(*model.GetRomParameter(), *engine.GetRomParameter());
    ExpectSameIdentity(model, engine);
    ExpectSameFirmwareAnswers(model, engine);
  }
}

TEST(ImageModel, PlacesAFirmwareFileLikeTheEngine) {
  for (const zfimage::FlashImageSpec& imageSpec : Layouts()) {
    const std::vector<unsigned char> image = BuildImage(imageSpec);
    const uint32_t size = static_cast<uint32_t>(image.size());
    for (uint16_t version : {0x0100, 0x0110, 0x0120}) {
      SCOPED_TRACE(std::to_string(imageSpec.variant) + "/" + std::to_string(imageSpec.copies) +
                   " version " + std::to_string(version));
      const std::vector<unsigned char> file = Firmware(imageSpec.variant, version, 7);
      const uint32_t length = static_cast<uint32_t>(file.size());
      CSROMImage model;
      CFlashROM engine;
      model.LoadImage(image.data(), size);
      engine.LoadImage(image.data(), size);
      const int placed = model.SetFWCode(file.data(), length, true);
      EXPECT_EQ(placed, engine.SetFWCode(file.data(), length, true));
      EXPECT_EQ(model.GetFWCodeChange(), engine.GetFWCodeChange());
      EXPECT_EQ(std::memcmp(model.Image(), engine.Image(), size), 0);
      // A newer file always goes in.
      if (version == 0x0120) {
        EXPECT_EQ(placed, FLASH_OK);
      }
    }
  }
}

TEST(ImageModel, DeviceHeaderIsTakenOnlyWithItsCrc) {
  const std::vector<unsigned char> image = BuildImage(ImageOf(BRIDGEIC_QK9318A, FWALLOCATE_DUAL));
  CSROMImage loaded;
  ASSERT_TRUE(loaded.LoadImage(image.data(), static_cast<uint32_t>(image.size())));

  CSROMImage model;
  ASSERT_TRUE(model.TakeDeviceHeader(image.data(), kImageHeaderSize));
  EXPECT_EQ(model.Image(), nullptr);  // the header alone makes no image
  ExpectSameParameters(*model.GetRomParameter(), *loaded.GetRomParameter());
  ASSERT_EQ(model.CreateSROMImage(), 1);
  EXPECT_EQ(model.ImageSize(), image.size());

  // A broken CRC, or too few bytes: nothing is taken and no image is left.
  std::vector<unsigned char> header(image.begin(), image.begin() + kImageHeaderSize);
  header[kHeaderRomSizeLog2] ^= 0x01;
  CSROMImage refused;
  refused.GetRomParameter()->RomSizeLog2 = 16;
  EXPECT_FALSE(refused.TakeDeviceHeader(header.data(), kImageHeaderSize));
  EXPECT_FALSE(refused.TakeDeviceHeader(image.data(), kImageHeaderSize - 1));
  EXPECT_FALSE(model.TakeDeviceHeader(nullptr, kImageHeaderSize));
  EXPECT_EQ(model.Image(), nullptr);
  EXPECT_EQ(refused.GetRomParameter()->RomSizeLog2, 16);
}

TEST(ImageModel, HeaderFromParametersWithoutADevice) {
  // Without an image the model makes one from RomParameter as it stands
  // (the engine would read the device's header first).
  _serialflash_romparamlist part = {};
  ASSERT_EQ(srom::GetParamList("Macronix MX25V512C", &part), 1);
  CSROMImage model;
  srom::ListToImage(model.GetRomParameter(), &part);
  ASSERT_EQ(model.GetParameterChange(), 0u);
  model.MakeImageFromSROMParam();
  ASSERT_EQ(model.ImageSize(), 65536u);
  EXPECT_EQ(model.GetBYTEFromSROMImage(kHeaderRomSizeLog2), 16);
  EXPECT_EQ(model.GetBYTEFromSROMImage(kHeaderReadCommand), part.ReadCommand);
  EXPECT_EQ(model.GetBYTEFromSROMImage(0xFFFF), 0xFF);
}

TEST(EngineImage, LoadImageForgetsTheFlashAsRead) {
  const std::vector<unsigned char> image = BuildImage(ImageOf(BRIDGEIC_QK9318A, FWALLOCATE_DUAL));
  const uint32_t size = static_cast<uint32_t>(image.size());
  const std::vector<unsigned char> file = Firmware(BRIDGEIC_QK9318A, 0x0130, 3);
  for (bool load : {false, true}) {
    SCOPED_TRACE(load ? "loaded after the read" : "as read");
    testsupport::OneBridge bridge(image);
    testsupport::ProgressRecorder recorder;
    CFlashROM engine;
    ASSERT_EQ(engine.OpenFlashROM(nullptr), FLASH_OK);
    ASSERT_EQ(engine.ReadFlashROM(testsupport::ProgressRecorder::Callback), FLASH_OK);
    engine.WaitWorker();
    // The same bytes, but no longer known to be what the flash holds.
    if (load) {
      ASSERT_TRUE(engine.LoadImage(image.data(), size));
    }
    ASSERT_EQ(engine.SetFWCode(file.data(), static_cast<uint32_t>(file.size()), true), FLASH_OK);
    const int written = engine.WriteFlashROM(testsupport::ProgressRecorder::Callback);
    engine.WaitWorker();
    EXPECT_EQ(written, load ? FLASH_IMAGE_ERROR : FLASH_OK);
    engine.CloseFlashROM();
  }
}

}  // namespace
