// The virtual bridge: decoding of both wire encodings and the ten commands.
#include "VirtualBridge.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "CommandSet.h"
#include "SystemPath.h"
#include "common.h"

namespace vbridge {

namespace {

// USB setup packet, wire order: bmRequestType, bRequest, wValue, wIndex,
// wLength (16-bit fields little-endian).
constexpr uint8_t kUsbVendorOut = 0x40;
constexpr uint8_t kUsbVendorIn = 0xC0;
constexpr uint16_t kUsbSignatureValue = 0x3133;  // "31" on the wire
constexpr uint16_t kUsbSignatureIndex = 0x5838;  // "8X" on the wire

constexpr uint8_t kUsbGetVersion = 0xFF;
constexpr uint8_t kUsbEnableVender = 0xFE;
constexpr uint8_t kUsbDisableVender = 0xFD;
constexpr uint8_t kUsbGetRomIdBase = 0xE0;  // ORed with the command byte count
constexpr uint8_t kUsbBlockErase = 0xE5;
constexpr uint8_t kUsbChipErase = 0xE6;
constexpr uint8_t kUsbRom = 0xE7;            // read (in) / write (out)
constexpr uint8_t kUsbRomParameters = 0xE8;  // get (in) / set (out)

// SCSI command blocks: signature form (12 bytes) and addressed form (10).
constexpr uint8_t kScsiSignatureOpcode = 0xFF;
constexpr uint8_t kScsiReadOpcode = 0xFD;   // reading, and commands without data
constexpr uint8_t kScsiWriteOpcode = 0xFE;  // writing
constexpr uint8_t kScsiSubGetVersion = 0x00;
constexpr uint8_t kScsiSubEnableVender = 0x01;
constexpr uint8_t kScsiSubDisableVender = 0x02;
constexpr uint8_t kScsiSubBlockErase = 0xA4;
constexpr uint8_t kScsiSubChipErase = 0xF1;
constexpr uint8_t kScsiSubReadRom = 0x84;
constexpr uint8_t kScsiSubWriteRom = 0x94;
constexpr uint8_t kScsiSubRomParameters = 0x08;

constexpr unsigned kVersionSize = 14;
constexpr unsigned kParameterSize = 19;
constexpr unsigned kMaxIdReply = 16;

const char kHex[] = "0123456789ABCDEF";

void AppendHex(std::string* s, uint8_t b) {
  s->push_back(kHex[b >> 4]);
  s->push_back(kHex[b & 0x0F]);
}

}  // namespace

std::string TraceLine(const ReceivedCommand& received) {
  std::string line = received.encoding == Encoding::Usb ? "USB" : "SCSI";
  for (unsigned i = 0; i < received.requestLength && i < sizeof(received.request); ++i) {
    line.push_back(' ');
    AppendHex(&line, received.request[i]);
  }
  switch (received.phase) {
    case DataPhase::None:
      line += " none";
      break;
    case DataPhase::In:
      line += " in " + std::to_string(received.dataLength);
      break;
    case DataPhase::Out:
      line += " out " + std::to_string(received.dataLength);
      break;
  }
  line += received.ok ? " ok" : " fail";
  return line;
}

VirtualBridge::VirtualBridge(const DeviceConfig& config) : config_(config) {}

bool VirtualBridge::Init(std::string* error) {
  Guard lock(modelLock_);
  std::string why;
  if (!flash_.Init(config_.flashPart, &why)) {
    if (error) *error = "FlashPart: " + why;
    return false;
  }
  if (!config_.flashImage.empty() && !flash_.AttachImage(config_.flashImage, &why)) {
    if (error) *error = "FlashImage: " + why;
    return false;
  }
  if (!config_.trace.empty()) {
    trace_.reset(OpenPathFile(config_.trace, "ab"));
    if (!trace_) {
      if (error) *error = "Trace: cannot open \"" + config_.trace + "\" for appending";
      return false;
    }
  }
  return true;
}

bool VirtualBridge::Present() const {
  Guard lock(modelLock_);
  return !unplugged_;
}

bool VirtualBridge::CanOpen() const {
  Guard lock(modelLock_);
  return !unplugged_ && !config_.busy;
}

void VirtualBridge::VersionBlock(uint8_t* out) const {
  std::memset(out, 0, kVersionSize);
  for (size_t i = 0; i < 4 && i < config_.chipId.size(); ++i) {
    out[i] = static_cast<uint8_t>(config_.chipId[i]);
  }
  out[4] = 0x01;
  out[5] = 0x00;
  out[6] = 0x18;
  out[7] = 0x93;
  PutLE16(&out[8], config_.compat);
}

// ---- decoders -------------------------------------------------------------

bool VirtualBridge::DecodeUsb(const uint8_t* setup, Decoded* out) {
  const uint8_t requestType = setup[0];
  const uint8_t request = setup[1];
  const uint16_t value = GetLE16(&setup[2]);
  const uint16_t index = GetLE16(&setup[4]);
  const uint16_t length = GetLE16(&setup[6]);
  if (requestType != kUsbVendorIn && requestType != kUsbVendorOut) return false;
  const bool in = requestType == kUsbVendorIn;
  const bool signature = value == kUsbSignatureValue && index == kUsbSignatureIndex;

  Decoded d;
  d.address = static_cast<uint32_t>(value) | (static_cast<uint32_t>(index) << 16);
  d.length = length;
  switch (request) {
    case kUsbGetVersion:
      if (!in || !signature) return false;
      d.command = CMD_GETVERSION;
      d.address = 0;
      break;
    case kUsbEnableVender:
    case kUsbDisableVender:
      if (in || !signature || length != 0) return false;
      d.command = request == kUsbEnableVender ? CMD_ENABLEVENDER : CMD_DISABLEVENDER;
      d.address = 0;
      break;
    case kUsbGetRomIdBase | 1:
    case kUsbGetRomIdBase | 2:
    case kUsbGetRomIdBase | 3:
    case kUsbGetRomIdBase | 4:
      if (!in) return false;
      d.command = CMD_GETROMID;
      d.count = static_cast<uint8_t>(request & 0x07);
      break;
    case kUsbBlockErase:
      if (in || length != 0) return false;
      d.command = CMD_BLOCKERASEROM;
      break;
    case kUsbChipErase:
      if (in || length != 0) return false;
      d.command = CMD_CHIPERASEROM;
      break;
    case kUsbRom:
      d.command = in ? CMD_READROM : CMD_WRITEROM;
      break;
    case kUsbRomParameters:
      d.command = in ? CMD_GETROMPARAMETERS : CMD_SETROMPARAMETERS;
      break;
    default:
      return false;
  }
  *out = d;
  return true;
}

bool VirtualBridge::DecodeScsi(const uint8_t* cdb, size_t cdbLength, bool dataIn,
                               uint32_t dataLength, Decoded* out) {
  Decoded d;
  bool wantIn = false;
  if (cdbLength == 12) {
    // FF "318X" 00 00 00 00 subcode length 00
    if (cdb[0] != kScsiSignatureOpcode || std::memcmp(&cdb[1], "318X", 4) != 0) return false;
    if (cdb[5] != 0 || cdb[6] != 0 || cdb[7] != 0 || cdb[8] != 0 || cdb[11] != 0) return false;
    d.length = cdb[10];
    switch (cdb[9]) {
      case kScsiSubGetVersion:
        d.command = CMD_GETVERSION;
        wantIn = true;
        break;
      case kScsiSubEnableVender:
        d.command = CMD_ENABLEVENDER;
        break;
      case kScsiSubDisableVender:
        d.command = CMD_DISABLEVENDER;
        break;
      default:
        return false;
    }
  } else if (cdbLength == 10) {
    // opcode subcode address(4, MSB first) 00 length(2, MSB first) 00
    if (cdb[6] != 0 || cdb[9] != 0) return false;
    d.address = GetBE32(&cdb[2]);
    d.length = GetBE16(&cdb[7]);
    const uint8_t sub = cdb[1];
    if (cdb[0] == kScsiReadOpcode) {
      if (sub >= 1 && sub <= 4) {
        d.command = CMD_GETROMID;
        d.count = sub;
        wantIn = true;
      } else if (sub == kScsiSubBlockErase) {
        d.command = CMD_BLOCKERASEROM;
      } else if (sub == kScsiSubChipErase) {
        d.command = CMD_CHIPERASEROM;
      } else if (sub == kScsiSubReadRom) {
        d.command = CMD_READROM;
        wantIn = true;
      } else if (sub == kScsiSubRomParameters) {
        d.command = CMD_GETROMPARAMETERS;
        wantIn = true;
      } else {
        return false;
      }
    } else if (cdb[0] == kScsiWriteOpcode) {
      if (sub == kScsiSubWriteRom) {
        d.command = CMD_WRITEROM;
      } else if (sub == kScsiSubRomParameters) {
        d.command = CMD_SETROMPARAMETERS;
      } else {
        return false;
      }
    } else {
      return false;
    }
  } else {
    return false;
  }
  const bool noData = d.command == CMD_ENABLEVENDER || d.command == CMD_DISABLEVENDER ||
                      d.command == CMD_BLOCKERASEROM || d.command == CMD_CHIPERASEROM;
  if (noData && d.length != 0) return false;
  // The pass-through fields must agree with the command block.
  if (dataLength != d.length) return false;
  if (dataLength != 0 && dataIn != wantIn) return false;
  *out = d;
  return true;
}

// ---- commands -------------------------------------------------------------

bool VirtualBridge::Execute(const Decoded& d, uint8_t* data, size_t capacity,
                            uint32_t* transferred) {
  *transferred = 0;
  if (d.length > capacity) return false;
  if (d.length != 0 && data == nullptr) return false;

  switch (d.command) {
    case CMD_GETVERSION: {
      uint8_t block[kVersionSize];
      VersionBlock(block);
      const uint32_t n = std::min<uint32_t>(d.length, kVersionSize);
      if (n != 0) std::memcpy(data, block, n);  // data may be null when nothing is asked for
      *transferred = n;
      return true;
    }
    case CMD_ENABLEVENDER:
      vendorMode_ = true;
      return true;
    case CMD_DISABLEVENDER:
      vendorMode_ = false;
      return true;
    default:
      break;
  }

  if (!vendorMode_) return false;

  switch (d.command) {
    case CMD_GETROMID: {
      if (d.count < 1 || d.count > 4 || d.length > kMaxIdReply) return false;
      uint8_t command[4];
      PutBE32(command, d.address);
      flash_.Identify(command, d.count, data, d.length);
      *transferred = d.length;
      return true;
    }
    case CMD_SETROMPARAMETERS:
      if (d.length != kParameterSize) return false;
      std::memcpy(romParameters_, data, kParameterSize);
      romParametersSet_ = true;
      return true;
    case CMD_GETROMPARAMETERS: {
      if (!romParametersSet_) return false;
      const uint32_t n = std::min<uint32_t>(d.length, kParameterSize);
      if (n != 0) std::memcpy(data, romParameters_, n);
      *transferred = n;
      return true;
    }
    default:
      break;
  }

  // Reading works with the bridge's power-on read settings (that is how the
  // updater fetches the header that holds the parameters); programming and
  // erasing need the flash programming parameters.
  if (!romParametersSet_ && d.command != CMD_READROM) return false;
  switch (d.command) {
    case CMD_READROM:
      if (d.length > kBridgeTransferMax) return false;
      if (!flash_.Read(d.address, data, d.length)) return false;
      if (config_.flipReadBitAt >= 0) {
        const uint64_t at = static_cast<uint64_t>(config_.flipReadBitAt);
        if (at >= d.address && at - d.address < d.length) data[at - d.address] ^= 0x01;
      }
      *transferred = d.length;
      return true;
    case CMD_WRITEROM:
      if (d.length > kBridgeTransferMax) return false;
      return flash_.Program(d.address, data, d.length);
    case CMD_BLOCKERASEROM:
      return flash_.EraseBlock(d.address);
    case CMD_CHIPERASEROM:
      return flash_.EraseChip();
    default:
      return false;
  }
}

bool VirtualBridge::Receive(ReceivedCommand* received, const Decoded* decoded, uint8_t* data,
                            size_t capacity, uint32_t* transferred) {
  uint32_t moved = 0;
  ++commandCount_;
  bool ok = false;
  if (config_.unplugAtCommand != 0 && commandCount_ >= config_.unplugAtCommand) {
    unplugged_ = true;
  } else if (config_.failAtCommand != 0 && commandCount_ == config_.failAtCommand) {
    ok = false;
  } else if (decoded != nullptr) {
    ok = Execute(*decoded, data, capacity, &moved);
  }
  if (decoded != nullptr) {
    received->command = decoded->command;
    received->address = decoded->address;
  }
  received->ok = ok;
  log_.push_back(*received);
  if (trace_) {
    const std::string line = TraceLine(*received) + "\n";
    std::fputs(line.c_str(), trace_.get());
    std::fflush(trace_.get());
  }
  if (transferred != nullptr) *transferred = ok ? moved : 0;
  return ok;
}

bool VirtualBridge::HandleUsb(const uint8_t* setup, uint8_t* data, size_t capacity,
                              uint32_t* transferred) {
  if (transferred != nullptr) *transferred = 0;
  if (setup == nullptr) return false;
  Guard lock(modelLock_);
  if (unplugged_) return false;

  ReceivedCommand received;
  received.encoding = Encoding::Usb;
  std::memcpy(received.request, setup, 8);
  received.requestLength = 8;
  received.dataLength = GetLE16(&setup[6]);
  received.phase = received.dataLength == 0 ? DataPhase::None
                   : (setup[0] & 0x80) != 0 ? DataPhase::In
                                            : DataPhase::Out;
  Decoded d;
  const bool known = DecodeUsb(setup, &d) && d.length <= capacity;
  const bool ok = Receive(&received, known ? &d : nullptr, data, capacity, transferred);
  lock.Release();
  TakeLatency();
  return ok;
}

bool VirtualBridge::HandleScsi(const uint8_t* cdb, size_t cdbLength, bool dataIn, uint8_t* data,
                               uint32_t dataLength, uint32_t* transferred) {
  if (transferred != nullptr) *transferred = 0;
  if (cdb == nullptr || cdbLength > sizeof(ReceivedCommand::request)) return false;
  Guard lock(modelLock_);
  if (unplugged_) return false;

  ReceivedCommand received;
  received.encoding = Encoding::Scsi;
  std::memcpy(received.request, cdb, cdbLength);
  received.requestLength = static_cast<uint8_t>(cdbLength);
  received.dataLength = dataLength;
  received.phase = dataLength == 0 ? DataPhase::None : dataIn ? DataPhase::In : DataPhase::Out;
  Decoded d;
  const bool known = DecodeScsi(cdb, cdbLength, dataIn, dataLength, &d);
  const bool ok = Receive(&received, known ? &d : nullptr, data, dataLength, transferred);
  lock.Release();
  TakeLatency();
  return ok;
}

void VirtualBridge::TakeLatency() const {
  // Outside the model lock: a slow device does not stall the test hooks.
  if (config_.latencyUs != 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(config_.latencyUs));
  }
}

// ---- access for tests and tools --------------------------------------------

std::vector<uint8_t> VirtualBridge::FlashBytes() const {
  Guard lock(modelLock_);
  return flash_.Bytes();
}

uint32_t VirtualBridge::FlashSize() const {
  Guard lock(modelLock_);
  return flash_.Size();
}

uint32_t VirtualBridge::EraseBlockSize() const {
  Guard lock(modelLock_);
  return flash_.EraseBlockSize();
}

bool VirtualBridge::ReloadFlash() {
  Guard lock(modelLock_);
  return flash_.Reload();
}

bool VirtualBridge::StoreFlash(uint32_t address, const std::vector<uint8_t>& data) {
  Guard lock(modelLock_);
  return flash_.Store(address, data.data(), static_cast<uint32_t>(data.size()));
}

std::vector<ReceivedCommand> VirtualBridge::Log() const {
  Guard lock(modelLock_);
  return log_;
}

void VirtualBridge::ClearLog() {
  Guard lock(modelLock_);
  log_.clear();
}

uint32_t VirtualBridge::CommandCount() const {
  Guard lock(modelLock_);
  return commandCount_;
}

bool VirtualBridge::VendorMode() const {
  Guard lock(modelLock_);
  return vendorMode_;
}

bool VirtualBridge::RomParametersSet() const {
  Guard lock(modelLock_);
  return romParametersSet_;
}

std::vector<uint8_t> VirtualBridge::RomParameters() const {
  Guard lock(modelLock_);
  return std::vector<uint8_t>(romParameters_, romParameters_ + kParameterSize);
}

void VirtualBridge::SetBusy(bool busy) { SetLocked(&config_.busy, busy); }

void VirtualBridge::SetFailAtCommand(uint32_t n) { SetLocked(&config_.failAtCommand, n); }

void VirtualBridge::SetUnplugAtCommand(uint32_t n) { SetLocked(&config_.unplugAtCommand, n); }

void VirtualBridge::SetFlipReadBitAt(int64_t address) {
  SetLocked(&config_.flipReadBitAt, address);
}

void VirtualBridge::Unplug() { SetLocked(&unplugged_, true); }

}  // namespace vbridge
