// Model of one QK9318 bridge with its SPI flash, as one USB device of the
// virtual bus. The bridge decodes both wire encodings of the vendor commands
// itself (from the byte tables of the command set, independently of the
// encoders in core/CommandSet.cpp, so that each checks the other), answers
// the ten commands and keeps a log of every command it received.
//
// Behaviour chosen for the model:
// - The version block is the chip id text (bytes 0-3, zero-padded), the fixed
//   bytes 01 00 18 93 (bytes 4-7), the compatibility word little-endian
//   (bytes 8-9) and four zero bytes (10-13). A request for fewer than 14
//   bytes gets the first bytes of the block, for more it gets 14 bytes.
// - Every command except GetVersion, EnableVender and DisableVender fails
//   until EnableVender was received; DisableVender leaves vendor mode.
// - SetRomParameters takes exactly 19 bytes. Writing and erasing the flash
//   and GetRomParameters fail until it was received; reading works before
//   (the bridge reads with its power-on settings, which is how the header
//   holding the parameters is fetched).
// - Reads and writes move at most kBridgeTransferMax bytes and must lie
//   inside the flash. BlockEraseRom erases the block that holds the address
//   (the address is aligned down to the erase block, as SPI flash parts
//   do); an address beyond the flash fails.
// - GETROMID passes 1 to 4 command bytes (from the address, most
//   significant byte first) to the flash and returns its answer.
// - Faults: FailAtCommand N fails the Nth command received (counting from
//   1, whatever it is) without acting on it; UnplugAtCommand N makes the
//   device disappear at its Nth command, which fails, and the device no longer
//   receives commands or opens; FlipReadBitAt A inverts bit 0 of flash byte A
//   in every read that covers it; Busy keeps the device from being opened.
#pragma once

#include <cstdint>
#include <cstdio>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "VirtualFlash.h"

namespace vbridge {

// Wire encoding of the vendor commands.
enum class Encoding { Usb, Scsi };

// Largest data phase of a flash read or write the bridge accepts.
constexpr uint32_t kBridgeTransferMax = 512;

// Description of one virtual device (one section of virtual-devices.ini).
// Each field but the name is set by one key of the file; a new description
// has every key's default (DeviceKeys() of VirtualDevices.h): a QK9318A
// bridge with ids 0x3F1C/0x0001 and a 1 MiB Winbond W25Q80BL in memory, no
// faults.
struct DeviceConfig {
  DeviceConfig();
  std::string name = "bridge";  // section name, used in messages
  uint16_t vendorId{};            // VendorID
  uint16_t productId{};           // ProductID
  std::string chipId;           // ChipID, at most 4 characters
  uint16_t compat{};              // Compat
  std::string flashPart;        // FlashPart
  std::string flashImage;       // FlashImage; empty: contents kept in memory only
  bool busy{};                    // Busy
  uint32_t failAtCommand{};       // FailAtCommand; 0: never
  uint32_t unplugAtCommand{};     // UnplugAtCommand; 0: never
  int64_t flipReadBitAt{};        // FlipReadBitAt; < 0: never
  std::string trace;            // Trace; empty: no trace file
  uint32_t latencyUs{};           // Latency: time each command takes, in microseconds
  bool scsi{};                    // Scsi: vbridge-usb also shows it as a SCSI disk
};

// Data phase of a request as the bus saw it.
enum class DataPhase { None, In, Out };

// One command as the bridge received it.
struct ReceivedCommand {
  Encoding encoding = Encoding::Usb;
  uint8_t request[16] = {};   // setup packet (8 bytes) or command block (10/12)
  uint8_t requestLength = 0;
  DataPhase phase = DataPhase::None;
  uint32_t dataLength = 0;
  int command = -1;           // UsbCommandNumber the bridge decoded, -1 unknown
  uint32_t address = 0;       // address field of an addressed-form command
  bool ok = false;
};

// The trace line of a received command, e.g.
// "USB C0 E7 45 23 01 00 30 00 in 48 ok".
std::string TraceLine(const ReceivedCommand& received);

class VirtualBridge {
 public:
  explicit VirtualBridge(const DeviceConfig& config);
  VirtualBridge(const VirtualBridge&) = delete;
  VirtualBridge& operator=(const VirtualBridge&) = delete;

  // Sets up the flash (part, image file) and opens the trace file.
  bool Init(std::string* error);

  const DeviceConfig& Config() const { return config_; }
  uint16_t VendorId() const { return config_.vendorId; }
  uint16_t ProductId() const { return config_.productId; }

  // Whether the device is on the bus and whether it can be opened now.
  bool Present() const;
  bool CanOpen() const;

  // One USB vendor control request: the 8 setup bytes in wire order and
  // the data stage buffer of `capacity` bytes (at least wLength). For a
  // request from the device, the answer is written to `data` and its length
  // to `*transferred` (may be null).
  bool HandleUsb(const uint8_t* setup, uint8_t* data, size_t capacity, uint32_t* transferred);

  // One SCSI command: command block, direction and length of the data
  // phase, data buffer of `dataLength` bytes. For data in, the bridge writes
  // `*transferred` bytes (may be fewer than asked for).
  bool HandleScsi(const uint8_t* cdb, size_t cdbLength, bool dataIn, uint8_t* data,
                  uint32_t dataLength, uint32_t* transferred);

  // ---- for tests and tools ----
  std::vector<uint8_t> FlashBytes() const;
  uint32_t FlashSize() const;
  uint32_t EraseBlockSize() const;
  // Reads the flash contents back from the image file (VirtualFlash::Reload).
  bool ReloadFlash();
  // Replaces flash bytes as they are (written through to the image file).
  bool StoreFlash(uint32_t address, const std::vector<uint8_t>& data);
  std::vector<ReceivedCommand> Log() const;
  void ClearLog();
  uint32_t CommandCount() const;
  bool VendorMode() const;
  bool RomParametersSet() const;
  std::vector<uint8_t> RomParameters() const;
  void SetBusy(bool busy);
  void SetFailAtCommand(uint32_t n);
  void SetUnplugAtCommand(uint32_t n);
  void SetFlipReadBitAt(int64_t address);
  void Unplug();

 private:
  struct Decoded {
    int command = -1;
    uint32_t address = 0;
    uint32_t length = 0;
    uint8_t count = 0;  // GETROMID: command bytes to pass to the flash
  };
  struct FileCloser {
    void operator()(std::FILE* f) const {
      if (f != nullptr) std::fclose(f);
    }
  };

  static bool DecodeUsb(const uint8_t* setup, Decoded* out);
  static bool DecodeScsi(const uint8_t* cdb, size_t cdbLength, bool dataIn, uint32_t dataLength,
                         Decoded* out);
  // Runs a decoded command against the model. `data` holds `capacity`
  // bytes; for data in, `*transferred` receives the answer's length.
  bool Execute(const Decoded& d, uint8_t* data, size_t capacity, uint32_t* transferred);
  bool Receive(ReceivedCommand* received, const Decoded* decoded, uint8_t* data, size_t capacity,
               uint32_t* transferred);
  void VersionBlock(uint8_t* out) const;
  // Waits the configured time a command takes (Latency).
  void TakeLatency() const;

  // Guards the model: the worker thread of the engine and the test thread
  // take turns. A spin lock, because the MinGW toolchain in its win32
  // threading flavour has no std::mutex; the lock is never contended for long.
  class SpinLock {
   public:
    void lock() {
      while (flag_.test_and_set(std::memory_order_acquire)) {
      }
    }
    void unlock() { flag_.clear(std::memory_order_release); }

   private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
  };
  class Guard {
   public:
    explicit Guard(SpinLock& l) : lock_(&l) { l.lock(); }
    ~Guard() { Release(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    void Release() {
      if (lock_ != nullptr) lock_->unlock();
      lock_ = nullptr;
    }

   private:
    SpinLock* lock_;
  };

  // Sets one field of the model under its lock (the test thread's setters).
  template <typename T>
  void SetLocked(T* field, T value) {
    Guard lock(modelLock_);
    *field = value;
  }

  mutable SpinLock modelLock_;
  DeviceConfig config_;
  VirtualFlash flash_;
  std::unique_ptr<std::FILE, FileCloser> trace_;
  std::vector<ReceivedCommand> log_;
  uint32_t commandCount_ = 0;
  bool unplugged_ = false;
  bool vendorMode_ = false;
  bool romParametersSet_ = false;
  uint8_t romParameters_[19] = {};
};

}  // namespace vbridge
