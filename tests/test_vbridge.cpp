// The virtual bridge: flash model, command decoding and checks, faults,
// trace lines, virtual-devices.ini and the write-through image file.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "CommandSet.h"
#include "DefaultDevices.h"
#include "VirtualBus.h"
#include "VirtualDevices.h"
#include "VirtualFlash.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using vbridge::DeviceConfig;
using vbridge::VirtualBridge;
using vbridge::VirtualBus;
using vbridge::VirtualFlash;

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("zf_vbridge_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary) << text;
    return File(name);
  }

 private:
  fs::path path_;
};

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Raw requests as they reach the bridge.
bool Usb(VirtualBridge* d, const Bytes& setup, uint8_t* data = nullptr, size_t capacity = 0,
         uint32_t* moved = nullptr) {
  return d->HandleUsb(setup.data(), data, capacity, moved);
}
bool Scsi(VirtualBridge* d, const Bytes& cdb, bool in, uint8_t* data = nullptr,
          uint32_t length = 0, uint32_t* moved = nullptr) {
  return d->HandleScsi(cdb.data(), cdb.size(), in, data, length, moved);
}

const Bytes kUsbEnable = {0x40, 0xFE, 0x33, 0x31, 0x38, 0x58, 0x00, 0x00};
const Bytes kUsbDisable = {0x40, 0xFD, 0x33, 0x31, 0x38, 0x58, 0x00, 0x00};
const Bytes kUsbSetParams = {0x40, 0xE8, 0, 0, 0, 0, 0x13, 0x00};

// Enables vendor mode and sends 19 parameter bytes.
void Prepare(VirtualBridge* d) {
  uint8_t params[19] = {};
  ASSERT_TRUE(Usb(d, kUsbEnable));
  ASSERT_TRUE(Usb(d, kUsbSetParams, params, sizeof(params)));
}

Bytes UsbRead(uint32_t address, uint16_t length) {
  return Bytes{0xC0,
               0xE7,
               static_cast<uint8_t>(address),
               static_cast<uint8_t>(address >> 8),
               static_cast<uint8_t>(address >> 16),
               static_cast<uint8_t>(address >> 24),
               static_cast<uint8_t>(length),
               static_cast<uint8_t>(length >> 8)};
}

// ---- flash model --------------------------------------------------------------

TEST(VirtualFlash, SizeAndEraseBlockComeFromThePartTable) {
  VirtualFlash f;
  std::string error;
  ASSERT_TRUE(f.Init("Winbond W25Q80BL", &error)) << error;
  EXPECT_EQ(f.Size(), 1u << 20);
  EXPECT_EQ(f.EraseBlockSize(), 4096u);
  ASSERT_TRUE(f.Init("Numonyx M25P20", &error)) << error;
  EXPECT_EQ(f.Size(), 256u * 1024);
  EXPECT_EQ(f.EraseBlockSize(), 65536u);
  ASSERT_TRUE(f.Init("Numonyx M25P05-A(Technology code Y)", &error)) << error;
  EXPECT_EQ(f.Size(), 64u * 1024);
  EXPECT_EQ(f.EraseBlockSize(), 32768u);
  for (uint8_t b : f.Bytes()) ASSERT_EQ(b, 0xFF);

  EXPECT_FALSE(f.Init("Winbond W25Q80", &error));
  EXPECT_NE(error.find("W25Q80"), std::string::npos);
  EXPECT_FALSE(f.Init("END", &error));
  EXPECT_EQ(VirtualFlash::FindPart("winbond w25q80bl"), -1);
  EXPECT_EQ(VirtualFlash::FindPart("ATMEL AT25DF021-xxF-x"), 0);
  EXPECT_EQ(VirtualFlash::FindPart("Winbond W25Q80BL"), 19);
}

TEST(VirtualFlash, IdentificationRepliesFollowTheProbes) {
  VirtualFlash f;
  std::string error;
  uint8_t reply[4];
  const uint8_t jedec[1] = {0x9F};
  const uint8_t signature[4] = {0xAB, 0, 0, 0};

  ASSERT_TRUE(f.Init("Winbond W25Q80BL", &error));
  f.Identify(jedec, 1, reply, 3);
  EXPECT_EQ(Bytes(reply, reply + 3), (Bytes{0xEF, 0x40, 0x14}));
  f.Identify(signature, 4, reply, 1);
  EXPECT_EQ(reply[0], 0x13);
  // Bytes past the reply and unknown opcodes read as a floating bus.
  f.Identify(jedec, 1, reply, 4);
  EXPECT_EQ(reply[3], 0xFF);
  const uint8_t other[1] = {0x90};
  f.Identify(other, 1, reply, 3);
  EXPECT_EQ(Bytes(reply, reply + 3), (Bytes{0xFF, 0xFF, 0xFF}));

  // Sanyo parts give the same two bytes to both probes.
  ASSERT_TRUE(f.Init("Sanyo LE25FU106B", &error));
  f.Identify(jedec, 1, reply, 2);
  EXPECT_EQ(Bytes(reply, reply + 2), (Bytes{0x62, 0x1D}));
  f.Identify(signature, 4, reply, 2);
  EXPECT_EQ(Bytes(reply, reply + 2), (Bytes{0x62, 0x1D}));

  // Atmel parts have no signature probe.
  ASSERT_TRUE(f.Init("ATMEL AT25DF041A-xxF-x", &error));
  f.Identify(jedec, 1, reply, 3);
  EXPECT_EQ(Bytes(reply, reply + 3), (Bytes{0x1F, 0x44, 0x01}));
  f.Identify(signature, 4, reply, 1);
  EXPECT_EQ(reply[0], 0xFF);
}

TEST(VirtualFlash, ProgramClearsBitsOnlyAndEraseSetsTheWholeBlock) {
  VirtualFlash f;
  std::string error;
  ASSERT_TRUE(f.Init("Winbond W25Q80BL", &error));
  const uint8_t a[2] = {0xF0, 0x3C};
  const uint8_t b[2] = {0x0F, 0xFF};
  ASSERT_TRUE(f.Program(0x1FFF, a, 2));
  ASSERT_TRUE(f.Program(0x1FFF, b, 2));
  EXPECT_EQ(f.Bytes()[0x1FFF], 0x00);
  EXPECT_EQ(f.Bytes()[0x2000], 0x3C);

  // An address inside a block erases that whole block and nothing else.
  ASSERT_TRUE(f.EraseBlock(0x2123));
  EXPECT_EQ(f.Bytes()[0x2000], 0xFF);
  EXPECT_EQ(f.Bytes()[0x1FFF], 0x00);
  ASSERT_TRUE(f.EraseBlock(0x1000));
  EXPECT_EQ(f.Bytes()[0x1FFF], 0xFF);
}

TEST(VirtualFlash, AccessBeyondTheFlashFailsAndChangesNothing) {
  VirtualFlash f;
  std::string error;
  ASSERT_TRUE(f.Init("Macronix MX25V512C", &error));  // 64 KiB
  uint8_t buf[4] = {0, 0, 0, 0};
  EXPECT_TRUE(f.Read(0xFFFC, buf, 4));
  EXPECT_FALSE(f.Read(0xFFFD, buf, 4));
  EXPECT_FALSE(f.Read(0xFFFFFFFF, buf, 2));
  EXPECT_FALSE(f.Program(0xFFFE, buf, 4));
  EXPECT_EQ(f.Bytes()[0xFFFE], 0xFF);
  EXPECT_FALSE(f.EraseBlock(0x10000));
  EXPECT_FALSE(f.Store(0x10000, buf, 1));
}

// ---- bridge: decoding and command checks -------------------------------------------

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceConfig cfg;
    cfg.chipId = "318e";
    cfg.compat = 0xBEEF;
    dev_ = bus_.AddDevice(cfg);
    ASSERT_NE(dev_, nullptr);
  }
  VirtualBus bus_;
  VirtualBridge* dev_ = nullptr;
};

TEST_F(Bridge, VersionBlockCarriesChipIdAndCompatibilityWord) {
  uint8_t block[20];
  std::fill(block, block + 20, 0xAA);
  uint32_t moved = 0;
  ASSERT_TRUE(Usb(dev_, {0xC0, 0xFF, 0x33, 0x31, 0x38, 0x58, 0x14, 0x00}, block, 20, &moved));
  EXPECT_EQ(moved, 14u);
  EXPECT_EQ(Bytes(block, block + 4), (Bytes{'3', '1', '8', 'e'}));
  EXPECT_EQ(block[8], 0xEF);
  EXPECT_EQ(block[9], 0xBE);
  EXPECT_EQ(block[14], 0xAA);  // a short answer leaves the rest alone

  uint8_t scsi[14] = {};
  ASSERT_TRUE(Scsi(dev_, {0xFF, 0x33, 0x31, 0x38, 0x58, 0, 0, 0, 0, 0x00, 0x0E, 0x00}, true, scsi,
                   14, &moved));
  EXPECT_EQ(Bytes(scsi, scsi + 14), Bytes(block, block + 14));
  // Works without vendor mode; the signature must be there.
  EXPECT_FALSE(Usb(dev_, {0xC0, 0xFF, 0x33, 0x31, 0x38, 0x59, 0x0E, 0x00}, block, 20));
  EXPECT_FALSE(Scsi(dev_, {0xFF, 0x33, 0x31, 0x38, 0x57, 0, 0, 0, 0, 0x00, 0x0E, 0x00}, true,
                    scsi, 14));
}

TEST_F(Bridge, FlashCommandsNeedVendorModeWritesAlsoParameters) {
  uint8_t buf[48];
  uint8_t params[19];
  for (int i = 0; i < 19; ++i) params[i] = static_cast<uint8_t>(0x40 + i);
  const Bytes getParams = {0xC0, 0xE8, 0, 0, 0, 0, 0x13, 0x00};

  EXPECT_FALSE(Usb(dev_, UsbRead(0, 16), buf, 48));
  EXPECT_FALSE(Usb(dev_, kUsbSetParams, params, 19));
  EXPECT_FALSE(Usb(dev_, {0xC0, 0xE1, 0, 0, 0, 0x9F, 0x03, 0x00}, buf, 3));
  ASSERT_TRUE(Usb(dev_, kUsbEnable));
  EXPECT_TRUE(Usb(dev_, {0xC0, 0xE1, 0, 0, 0, 0x9F, 0x03, 0x00}, buf, 3));
  // Reading needs no parameters (they are read from the flash first);
  // programming and erasing do.
  EXPECT_TRUE(Usb(dev_, UsbRead(0, 16), buf, 48));
  EXPECT_FALSE(Usb(dev_, {0x40, 0xE5, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(Usb(dev_, {0x40, 0xE6, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(Usb(dev_, {0x40, 0xE7, 0, 0, 0, 0, 0x01, 0x00}, params, 1));
  EXPECT_FALSE(Usb(dev_, getParams, buf, 19));
  // Exactly 19 parameter bytes.
  EXPECT_FALSE(Usb(dev_, {0x40, 0xE8, 0, 0, 0, 0, 0x12, 0x00}, params, 18));
  EXPECT_FALSE(dev_->RomParametersSet());
  ASSERT_TRUE(Usb(dev_, kUsbSetParams, params, 19));
  EXPECT_TRUE(Usb(dev_, {0x40, 0xE5, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(Usb(dev_, getParams, buf, 19));
  EXPECT_EQ(Bytes(buf, buf + 19), Bytes(params, params + 19));

  // Vendor mode ends with DisableVender; parameters stay.
  ASSERT_TRUE(Usb(dev_, kUsbDisable));
  EXPECT_FALSE(Usb(dev_, UsbRead(0, 16), buf, 48));
  EXPECT_FALSE(Usb(dev_, {0x40, 0xE5, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(Usb(dev_, kUsbEnable));
  EXPECT_TRUE(Usb(dev_, UsbRead(0, 16), buf, 48));
  EXPECT_TRUE(Usb(dev_, {0x40, 0xE5, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Bridge, RequestsThatDoNotFitTheTablesFail) {
  Prepare(dev_);
  uint8_t buf[600] = {};
  // Wrong direction for erase, data stage on a command without data.
  EXPECT_FALSE(Usb(dev_, {0xC0, 0xE5, 0, 0, 0, 0, 0, 0}, buf, 0));
  EXPECT_FALSE(Usb(dev_, {0x40, 0xFE, 0x33, 0x31, 0x38, 0x58, 0x01, 0x00}, buf, 1));
  // Not a vendor request, unknown request, GETROMID count 0.
  EXPECT_FALSE(Usb(dev_, {0x80, 0x06, 0, 1, 0, 0, 0x12, 0}, buf, 18));
  EXPECT_FALSE(Usb(dev_, {0xC0, 0xE9, 0, 0, 0, 0, 0, 0}, buf, 0));
  EXPECT_FALSE(Usb(dev_, {0xC0, 0xE0, 0, 0, 0, 0x9F, 0x03, 0}, buf, 3));
  // More data than the buffer the bus hands over.
  EXPECT_FALSE(Usb(dev_, UsbRead(0, 48), buf, 47));
  // More than the bridge moves per command.
  EXPECT_TRUE(Usb(dev_, UsbRead(0, 512), buf, 600));
  EXPECT_FALSE(Usb(dev_, UsbRead(0, 513), buf, 600));
  // Beyond the end of the 1 MiB flash.
  EXPECT_TRUE(Usb(dev_, UsbRead(0xFFFD0, 48), buf, 48));
  EXPECT_FALSE(Usb(dev_, UsbRead(0xFFFD1, 48), buf, 48));
  EXPECT_FALSE(Usb(dev_, {0x40, 0xE5, 0x00, 0x00, 0x10, 0x00, 0, 0}));

  // SCSI: the pass-through fields must agree with the block.
  EXPECT_TRUE(Scsi(dev_, {0xFD, 0x84, 0, 0, 0, 0, 0, 0, 0x30, 0}, true, buf, 48));
  EXPECT_FALSE(Scsi(dev_, {0xFD, 0x84, 0, 0, 0, 0, 0, 0, 0x30, 0}, true, buf, 47));
  EXPECT_FALSE(Scsi(dev_, {0xFD, 0x84, 0, 0, 0, 0, 0, 0, 0x30, 0}, false, buf, 48));
  EXPECT_FALSE(Scsi(dev_, {0xFD, 0x84, 0, 0, 0, 0, 1, 0, 0x30, 0}, true, buf, 48));
  EXPECT_FALSE(Scsi(dev_, {0xFE, 0x84, 0, 0, 0, 0, 0, 0, 0x30, 0}, false, buf, 48));
  EXPECT_FALSE(Scsi(dev_, {0xFD, 0x84, 0, 0, 0, 0, 0, 0, 0x30}, true, buf, 48));
  EXPECT_FALSE(Scsi(dev_, {0xFD, 0x00, 0, 0, 0, 0, 0, 0, 0x03, 0}, true, buf, 3));
}

TEST_F(Bridge, ScsiCommandsActOnTheFlash) {
  uint8_t params[19] = {};
  ASSERT_TRUE(Scsi(dev_, {0xFF, 0x33, 0x31, 0x38, 0x58, 0, 0, 0, 0, 0x01, 0x00, 0x00}, false));
  ASSERT_TRUE(Scsi(dev_, {0xFE, 0x08, 0, 0, 0, 0, 0, 0, 0x13, 0}, false, params, 19));
  uint8_t data[4] = {0x12, 0x34, 0x56, 0x78};
  ASSERT_TRUE(Scsi(dev_, {0xFE, 0x94, 0x00, 0x01, 0x23, 0x45, 0, 0x00, 0x04, 0}, false, data, 4));
  uint8_t back[4] = {};
  ASSERT_TRUE(Scsi(dev_, {0xFD, 0x84, 0x00, 0x01, 0x23, 0x45, 0, 0x00, 0x04, 0}, true, back, 4));
  EXPECT_EQ(Bytes(back, back + 4), Bytes(data, data + 4));
  ASSERT_TRUE(Scsi(dev_, {0xFD, 0xA4, 0x00, 0x01, 0x20, 0x00, 0, 0, 0, 0}, false));
  EXPECT_EQ(dev_->FlashBytes()[0x12345], 0xFF);
  uint8_t id[3] = {};
  ASSERT_TRUE(Scsi(dev_, {0xFD, 0x01, 0x9F, 0, 0, 0, 0, 0x00, 0x03, 0}, true, id, 3));
  EXPECT_EQ(Bytes(id, id + 3), (Bytes{0xEF, 0x40, 0x14}));
  ASSERT_TRUE(Scsi(dev_, {0xFD, 0x04, 0xAB, 0, 0, 0, 0, 0x00, 0x01, 0}, true, id, 1));
  EXPECT_EQ(id[0], 0x13);
  ASSERT_TRUE(Scsi(dev_, {0xFF, 0x33, 0x31, 0x38, 0x58, 0, 0, 0, 0, 0x02, 0x00, 0x00}, false));
  EXPECT_FALSE(dev_->VendorMode());
}

// ---- faults ------------------------------------------------------------------------

// A bus and the description of the device each test adds to it.
class BridgeFaults : public ::testing::Test {
 protected:
  VirtualBus bus_;
  DeviceConfig cfg_;
};

TEST_F(BridgeFaults, FailAtCommandFailsOnlyThatCommand) {
  cfg_.failAtCommand = 2;
  VirtualBridge* d = bus_.AddDevice(cfg_);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(Usb(d, kUsbEnable));
  EXPECT_FALSE(Usb(d, kUsbDisable));
  EXPECT_TRUE(d->VendorMode());  // the failed command had no effect
  EXPECT_TRUE(Usb(d, kUsbDisable));
  EXPECT_FALSE(d->VendorMode());
  EXPECT_EQ(d->CommandCount(), 3u);
}

TEST_F(BridgeFaults, UnplugAtCommandRemovesTheDevice) {
  cfg_.unplugAtCommand = 2;
  VirtualBridge* d = bus_.AddDevice(cfg_);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->CanOpen());
  EXPECT_TRUE(Usb(d, kUsbEnable));
  EXPECT_FALSE(Usb(d, kUsbDisable));
  EXPECT_FALSE(d->Present());
  EXPECT_FALSE(d->CanOpen());
  EXPECT_FALSE(Usb(d, kUsbDisable));
  // The gone device receives nothing more.
  EXPECT_EQ(d->CommandCount(), 2u);
  EXPECT_EQ(d->Log().size(), 2u);
}

TEST_F(BridgeFaults, BusyDeviceCannotBeOpened) {
  cfg_.busy = true;
  VirtualBridge* d = bus_.AddDevice(cfg_);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->Present());
  EXPECT_FALSE(d->CanOpen());
  d->SetBusy(false);
  EXPECT_TRUE(d->CanOpen());
}

TEST_F(BridgeFaults, FlipReadBitAtInvertsBitZeroInEveryReadThatCoversIt) {
  cfg_.flipReadBitAt = 0x101;
  VirtualBridge* d = bus_.AddDevice(cfg_, Bytes(0x200, 0x5A));
  ASSERT_NE(d, nullptr);
  Prepare(d);
  uint8_t buf[48];
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_TRUE(Usb(d, UsbRead(0x100, 4), buf, 48));
    EXPECT_EQ(buf[0], 0x5A);
    EXPECT_EQ(buf[1], 0x5B);
    EXPECT_EQ(buf[2], 0x5A);
  }
  ASSERT_TRUE(Usb(d, UsbRead(0x102, 4), buf, 48));
  EXPECT_EQ(buf[0], 0x5A);
  EXPECT_EQ(d->FlashBytes()[0x101], 0x5A);  // the flash itself is intact
}

// ---- trace ---------------------------------------------------------------------------

TEST(BridgeTrace, LinesShowEncodingRequestPhaseAndOutcome) {
  TempDir dir;
  VirtualBus bus;
  DeviceConfig cfg;
  cfg.trace = dir.File("trace.txt");
  VirtualBridge* d = bus.AddDevice(cfg);
  ASSERT_NE(d, nullptr);
  uint8_t buf[48] = {};
  uint8_t params[19] = {};
  Usb(d, UsbRead(0x12345, 48), buf, 48);  // fails: no vendor mode
  Usb(d, kUsbEnable);
  Usb(d, kUsbSetParams, params, 19);
  Usb(d, UsbRead(0x12345, 48), buf, 48);
  Scsi(d, {0xFD, 0x84, 0x00, 0x01, 0x23, 0x45, 0x00, 0x00, 0x30, 0x00}, true, buf, 48);

  const std::vector<std::string> lines = ReadLines(cfg.trace);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "USB C0 E7 45 23 01 00 30 00 in 48 fail");
  EXPECT_EQ(lines[1], "USB 40 FE 33 31 38 58 00 00 none ok");
  EXPECT_EQ(lines[2], "USB 40 E8 00 00 00 00 13 00 out 19 ok");
  EXPECT_EQ(lines[3], "USB C0 E7 45 23 01 00 30 00 in 48 ok");
  EXPECT_EQ(lines[4], "SCSI FD 84 00 01 23 45 00 00 30 00 in 48 ok");
  EXPECT_EQ(vbridge::TraceLine(d->Log()[4]), lines[4]);
}

TEST(BridgeTrace, ExistingTraceIsAppendedTo) {
  TempDir dir;
  const std::string trace = dir.Write("t.log", "earlier line\n");
  VirtualBus bus;
  DeviceConfig cfg;
  cfg.trace = trace;
  VirtualBridge* d = bus.AddDevice(cfg);
  ASSERT_NE(d, nullptr);
  Scsi(d, {0xFF, 0x33, 0x31, 0x38, 0x58, 0, 0, 0, 0, 0x01, 0x00, 0x00}, false);
  EXPECT_EQ(ReadLines(trace),
            (std::vector<std::string>{"earlier line",
                                      "SCSI FF 33 31 38 58 00 00 00 00 01 00 00 none ok"}));
}

// ---- flash image file ---------------------------------------------------------------

// A scratch folder, a bus and the description of a 64 KiB part that the
// tests give an image file.
class FlashImageFile : public ::testing::Test {
 protected:
  FlashImageFile() { cfg_.flashPart = "Macronix MX25V512C"; }

  TempDir dir_;
  VirtualBus bus_;
  DeviceConfig cfg_;
};

TEST_F(FlashImageFile, MissingFileIsCreatedErased) {
  cfg_.flashImage = dir_.File("new.bin");
  ASSERT_NE(bus_.AddDevice(cfg_), nullptr);
  EXPECT_EQ(ReadFile(cfg_.flashImage), Bytes(65536, 0xFF));
}

TEST_F(FlashImageFile, ExistingFileIsLoadedShortOneExtendedLongOneRefused) {
  cfg_.flashImage = dir_.Write("short.bin", std::string("\x01\x02\x03", 3));
  VirtualBridge* d = bus_.AddDevice(cfg_);
  ASSERT_NE(d, nullptr);
  Bytes expected(65536, 0xFF);
  expected[0] = 1;
  expected[1] = 2;
  expected[2] = 3;
  EXPECT_EQ(d->FlashBytes(), expected);
  EXPECT_EQ(ReadFile(cfg_.flashImage), expected);

  cfg_.flashImage = dir_.Write("long.bin", std::string(65537, '\0'));
  std::string error;
  EXPECT_EQ(bus_.AddDevice(cfg_, &error), nullptr);
  EXPECT_NE(error.find("long.bin"), std::string::npos) << error;
  EXPECT_NE(error.find("larger"), std::string::npos) << error;
}

TEST_F(FlashImageFile, EraseAndProgramAreWrittenThroughAtOnce) {
  cfg_.flashImage = dir_.File("img.bin");
  VirtualBridge* d = bus_.AddDevice(cfg_, Bytes(0x3000, 0x00));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(ReadFile(cfg_.flashImage)[0x2FFF], 0x00);

  // Someone else changes a byte of the file outside the ranges the bridge
  // changes: only changed bytes are written, so it survives.
  {
    std::FILE* f = std::fopen(cfg_.flashImage.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 0x8000, SEEK_SET);
    std::fputc(0x42, f);
    std::fclose(f);
  }

  Prepare(d);
  ASSERT_TRUE(Usb(d, {0x40, 0xE5, 0x00, 0x10, 0x00, 0x00, 0, 0}));  // erase 0x1000-0x1FFF
  uint8_t data[3] = {0xF0, 0x0F, 0x55};
  ASSERT_TRUE(Usb(d, {0x40, 0xE7, 0x00, 0x40, 0x00, 0x00, 0x03, 0x00}, data, 3));
  const Bytes file = ReadFile(cfg_.flashImage);
  ASSERT_EQ(file.size(), 65536u);
  EXPECT_EQ(file[0x0FFF], 0x00);
  EXPECT_EQ(file[0x1000], 0xFF);
  EXPECT_EQ(file[0x1FFF], 0xFF);
  EXPECT_EQ(file[0x2000], 0x00);
  EXPECT_EQ(file[0x4000], 0xF0);
  EXPECT_EQ(file[0x4001], 0x0F);
  EXPECT_EQ(file[0x4002], 0x55);
  EXPECT_EQ(file[0x8000], 0x42);
  Bytes flash = d->FlashBytes();
  flash[0x8000] = 0x42;  // the outside change
  EXPECT_EQ(file, flash);

  // A second bridge on the same file sees the contents.
  VirtualBus again;
  VirtualBridge* d2 = again.AddDevice(cfg_);
  ASSERT_NE(d2, nullptr);
  EXPECT_EQ(d2->FlashBytes(), file);
}

TEST_F(FlashImageFile, WriteFlashImageFilePadsToThePartSize) {
  std::string error;
  const std::string path = dir_.File("init.bin");
  ASSERT_TRUE(vbridge::WriteFlashImageFile(path, "Numonyx M25P20", Bytes{1, 2}, &error)) << error;
  const Bytes file = ReadFile(path);
  ASSERT_EQ(file.size(), 256u * 1024);
  EXPECT_EQ(file[0], 1);
  EXPECT_EQ(file[1], 2);
  EXPECT_EQ(file[2], 0xFF);
  EXPECT_FALSE(vbridge::WriteFlashImageFile(path, "Numonyx M25P20", Bytes(256 * 1024 + 1, 0),
                                            &error));
  EXPECT_FALSE(vbridge::WriteFlashImageFile(path, "No Such Part", Bytes{}, &error));
}

// ---- virtual-devices.ini --------------------------------------------------------------

// What a device description holds but its name and its SCSI side, in the
// order of DeviceConfig; an empty image or trace for none.
struct Described {
  uint16_t vendorId, productId;
  std::string chipId;
  uint16_t compat;
  std::string flashPart, flashImage;
  bool busy;
  uint32_t failAtCommand, unplugAtCommand;
  int64_t flipReadBitAt;
  std::string trace;
  uint32_t latencyUs;
};

// Every field of `got` but the name and the SCSI side; files as paths.
void ExpectDescribed(const DeviceConfig& got, const Described& want) {
  EXPECT_EQ(got.vendorId, want.vendorId);
  EXPECT_EQ(got.productId, want.productId);
  EXPECT_EQ(got.chipId, want.chipId);
  EXPECT_EQ(got.compat, want.compat);
  EXPECT_EQ(got.flashPart, want.flashPart);
  EXPECT_EQ(fs::path(got.flashImage), fs::path(want.flashImage));
  EXPECT_EQ(got.busy, want.busy);
  EXPECT_EQ(got.failAtCommand, want.failAtCommand);
  EXPECT_EQ(got.unplugAtCommand, want.unplugAtCommand);
  EXPECT_EQ(got.flipReadBitAt, want.flipReadBitAt);
  EXPECT_EQ(fs::path(got.trace), fs::path(want.trace));
  EXPECT_EQ(got.latencyUs, want.latencyUs);
}

TEST(VirtualDevicesIni, EveryKeyIsRead) {
  TempDir dir;
  const std::string ini = dir.Write("virtual-devices.ini",
                                    "; two devices\n"
                                    "[first]\n"
                                    "VendorID=0x1234           ; USB ids\n"
                                    "ProductID=4660\n"
                                    "ChipID=318e\n"
                                    "Compat=0x0160\n"
                                    "FlashPart=Sanyo LE25FU206  ; a part\n"
                                    "FlashImage=img/first.bin\n"
                                    "Busy=1\n"
                                    "FailAtCommand=7\n"
                                    "UnplugAtCommand=0x10\n"
                                    "FlipReadBitAt=4096\n"
                                    "Trace=first.log\n"
                                    "Latency=250\n"
                                    "Scsi=0\n"
                                    "\n"
                                    "[second]\n"
                                    "ChipID=ABCD\n");
  vbridge::VirtualDevices devices;
  std::string error;
  ASSERT_TRUE(devices.Load(ini, &error)) << error;
  ASSERT_EQ(devices.Devices().size(), 2u);
  const DeviceConfig& a = devices.Devices()[0];
  EXPECT_EQ(a.name, "first");
  ExpectDescribed(a, {0x1234, 4660, "318e", 0x0160, "Sanyo LE25FU206", dir.File("img/first.bin"),
                      true, 7, 16, 4096, dir.File("first.log"), 250});
  EXPECT_FALSE(a.scsi);

  const DeviceConfig& b = devices.Devices()[1];
  const DeviceConfig defaults;
  EXPECT_EQ(b.name, "second");
  ExpectDescribed(b, {defaults.vendorId, defaults.productId, "ABCD", defaults.compat,
                      defaults.flashPart, "", false, 0, 0, -1, "", 0});
  EXPECT_TRUE(b.scsi);
}

TEST(VirtualDevicesIni, BusOrderFollowsTheFileAndImagesAreCreated) {
  TempDir dir;
  const std::string ini = dir.Write("virtual-devices.ini",
                                    "[a]\nVendorID=0x0001\nFlashImage=a.bin\n"
                                    "[b]\nVendorID=0x0002\nFlashImage=b.bin\n"
                                    "FlashPart=Macronix MX25V512C\n");
  VirtualBus bus;
  std::string error;
  ASSERT_TRUE(bus.LoadFile(ini, &error)) << error;
  ASSERT_EQ(bus.Count(), 2u);
  EXPECT_EQ(bus.Device(0)->VendorId(), 1);
  EXPECT_EQ(bus.Device(1)->VendorId(), 2);
  EXPECT_EQ(ReadFile(dir.File("a.bin")).size(), 1u << 20);
  EXPECT_EQ(ReadFile(dir.File("b.bin")).size(), 1u << 16);
}

struct Malformed {
  const char* text;
  int line;
  const char* mentions;  // the key, or the offending text
};

TEST(VirtualDevicesIni, MalformedFilesGiveOneMessageWithFileLineAndKey) {
  const Malformed cases[] = {
      {"[a]\nVendorID=0x3F1C\nVendorId=2\n", 3, "VendorId"},              // repeated key
      {"[a]\nSpeed=12\n", 2, "Speed"},                                    // unknown key
      {"[a]\nCompat=0x1G\n", 2, "Compat"},                                // bad number
      {"[a]\nProductID=65536\n", 2, "ProductID"},                         // out of range
      {"[a]\nBusy=2\n", 2, "Busy"},                                       //
      {"[a]\nFlipReadBitAt=-2\n", 2, "FlipReadBitAt"},                    //
      {"[a]\nLatency=1000001\n", 2, "Latency"},                          //
      {"[a]\nScsi=yes\n", 2, "Scsi"},                                    //
      {"[a]\nFailAtCommand=\n", 2, "FailAtCommand"},                      // empty number
      {"[a]\nUnplugAtCommand=010x\n", 2, "UnplugAtCommand"},              //
      {"[a]\n\nFlashPart=Winbond W25Q80\n", 3, "FlashPart"},              // unknown part
      {"[a]\nChipID=318a1\n", 2, "ChipID"},                               // too long
      {"VendorID=1\n[a]\n", 1, "VendorID"},                               // before a section
      {"[a]\nVendorID=1\nthis is not a key\n", 3, "this is not a key"},   // syntax
      {"[a\nVendorID=1\n", 1, "[a"},                                      // syntax
      {"[a]\nCompat=1\n  2\n", 3, "Compat"},                              // continuation
      {"[a]\nCompat=zz\nBusy=7\n", 2, "Compat"},                          // first one wins
      {"[a]\nbad\nBusy=7\n", 2, "bad"},                                   // first one wins
  };
  TempDir dir;
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string ini = dir.Write("bad.ini", c.text);
    vbridge::VirtualDevices devices;
    std::string error;
    EXPECT_FALSE(devices.Load(ini, &error));
    EXPECT_EQ(error.find(ini + ":" + std::to_string(c.line) + ":"), 0u) << error;
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(VirtualDevicesIni, MissingFileAndUnusableImageAreReported) {
  TempDir dir;
  vbridge::VirtualDevices devices;
  std::string error;
  EXPECT_FALSE(devices.Load(dir.File("none.ini"), &error));
  EXPECT_NE(error.find("none.ini"), std::string::npos);

  const std::string ini = dir.Write("v.ini", "[dev]\nFlashImage=no/such/folder/x.bin\n");
  VirtualBus bus;
  EXPECT_FALSE(bus.LoadFile(ini, &error));
  EXPECT_NE(error.find("v.ini"), std::string::npos) << error;
  EXPECT_NE(error.find("[dev]"), std::string::npos) << error;
  EXPECT_NE(error.find("FlashImage"), std::string::npos) << error;
}

// Every key of the table, whatever its kind: its default and its limits are
// accepted, a value past them gets the message naming the key and the limit,
// and the key is found in any case.
TEST(VirtualDevicesIni, EveryKeyOfTheTableChecksItsValues) {
  TempDir dir;
  ASSERT_FALSE(vbridge::DeviceKeys().empty());
  for (const vbridge::DeviceKey& key : vbridge::DeviceKeys()) {
    SCOPED_TRACE(key.name);
    auto load = [&](const std::string& line, std::string* error) {
      const std::string ini = dir.Write("keys.ini", "[a]\n" + line + "\n");
      vbridge::VirtualDevices devices;
      return devices.Load(ini, error);
    };
    std::string error;
    EXPECT_TRUE(load(std::string(key.name) + "=" + key.defaultValue, &error)) << error;
    std::string lower = key.name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(load(lower + "=" + key.defaultValue, &error)) << error;

    std::string tooFar;
    std::string expected;
    switch (key.kind) {
      case vbridge::KeyKind::Number:
        EXPECT_TRUE(load(std::string(key.name) + "=" + std::to_string(key.low), &error)) << error;
        EXPECT_TRUE(load(std::string(key.name) + "=" + std::to_string(key.high), &error)) << error;
        tooFar = std::to_string(key.high + 1);
        expected = key.high + 1 > 0xFFFFFFFF ? "\"" + tooFar + "\" is not a number"
                                             : "\"" + tooFar + "\" is out of range (" +
                                                   std::to_string(key.low) + " to " +
                                                   std::to_string(key.high) + ")";
        break;
      case vbridge::KeyKind::Text:
        tooFar = std::string(static_cast<size_t>(key.high) + 1, 'x');
        expected = "\"" + tooFar + "\" is longer than " + std::to_string(key.high) + " characters";
        break;
      case vbridge::KeyKind::PartName:
        tooFar = "No Such Part";
        expected = "\"No Such Part\" is not a part of the flash-part table";
        break;
      case vbridge::KeyKind::File:
        continue;  // every name is taken; it is checked when the file is used
    }
    EXPECT_FALSE(load(std::string(key.name) + "=" + tooFar, &error));
    EXPECT_NE(error.find(":2: key \"" + std::string(key.name) + "\": " + expected),
              std::string::npos)
        << error;
  }
}

TEST(VirtualDevicesIni, DefaultFileDescribesOneQK9318ABridge) {
  TempDir dir;
  const std::string ini = dir.File("virtual-devices.ini");
  std::string error;
  ASSERT_TRUE(vbridge::WriteDefaultVirtualDevices(ini, &error)) << error;
  vbridge::VirtualDevices devices;
  ASSERT_TRUE(devices.Load(ini, &error)) << error;
  ASSERT_EQ(devices.Devices().size(), 1u);
  ExpectDescribed(devices.Devices()[0], {0x3F1C, 0x0001, "318a", 0x0154, "Winbond W25Q80BL",
                                         dir.File("bridge.bin"), false, 0, 0, -1, "", 0});

  // Every key once, below its comment, in the table's order.
  std::ifstream in(ini);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = 0;
  for (const vbridge::DeviceKey& key : vbridge::DeviceKeys()) {
    const std::string comment = std::string(key.comment);
    const std::string firstLine = comment.substr(0, comment.find('\n'));
    const size_t commentAt = text.find("\n; " + firstLine + "\n", at);
    const size_t keyAt = text.find("\n" + std::string(key.name) + "=", at);
    ASSERT_NE(keyAt, std::string::npos) << key.name;
    EXPECT_LT(commentAt, keyAt) << key.name;
    EXPECT_EQ(text.find("\n" + std::string(key.name) + "=", keyAt + 1), std::string::npos)
        << key.name;
    at = keyAt + 1;
  }

  // A description made in code has the same values, except that its flash
  // lives in memory.
  ExpectDescribed(DeviceConfig(),
                  {0x3F1C, 0x0001, "318a", 0x0154, "Winbond W25Q80BL", "", false, 0, 0, -1, "", 0});
}

// The text ZEDRIKFU-sim.exe shows in its message box when its devices cannot
// be set up: the fault as LoadOrCreateVirtualDevices gives it, and advice.
TEST(VirtualDevicesFailure, TextNamesTheFileAndTheFault) {
  TempDir dir;
  VirtualBus bus;
  std::string error;
  const std::string iniPath = dir.File("missing-folder/virtual-devices.ini");
  ASSERT_FALSE(vbridge::LoadOrCreateVirtualDevices(iniPath, &bus, &error));
  const std::string text = vbridge::VirtualDevicesFailureText(error);
  EXPECT_EQ(text.rfind("The virtual devices cannot be set up:\n", 0), 0u) << text;
  EXPECT_NE(text.find("cannot create " + iniPath), std::string::npos) << text;
  EXPECT_NE(text.find("Correct or remove virtual-devices.ini"), std::string::npos) << text;
  // A fault without words still says which file it is about.
  EXPECT_NE(vbridge::VirtualDevicesFailureText("").find("virtual-devices.ini cannot be read"),
            std::string::npos);
}

}  // namespace
