// Shared driver of the virtual bridge fuzzers: one fresh bridge with a small
// flash per input, and the input read as a sequence of steps. A step is
// either raw request bytes for the bridge's decoder of one encoding, or a
// command the core's CUSBCommand sends with fuzzed arguments through the
// virtual transport (the core is the one of the fuzzer's encoding).
//
// Checked for every step: the bridge writes no answer past the data buffer
// (the buffer has exactly the announced size, so the address sanitizer
// sees any overrun), a refused request changes no flash byte, the flash
// keeps its size, and a command sent by the core is decoded by the bridge
// as that same command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CommandSet.h"
#include "USBCommand.h"
#include "VirtualBus.h"

namespace vbfuzz {

// The input, consumed from the front; reads past the end give zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t Long() { return static_cast<uint32_t>(Word()) | (static_cast<uint32_t>(Word()) << 16); }
  void Fill(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = Byte();
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] inline void Fail() { std::abort(); }

// A bridge on its own bus, active while the object lives. A 64 KiB part
// keeps each input cheap; a few addresses beyond it are reachable.
class Rig {
 public:
  Rig() {
    vbridge::DeviceConfig config;
    config.flashPart = "Macronix MX25V512C";
    device_ = bus_.AddDevice(config, nullptr);
    if (device_ == nullptr) Fail();
    flash_ = device_->FlashBytes();
    active_ = std::make_unique<vbridge::ScopedActiveBus>(&bus_);
  }
  vbridge::VirtualBridge* Device() { return device_; }

  // Runs `send` and checks what the bridge did with it: a refused request
  // leaves the flash as it was, and the flash keeps its size. Returns the
  // bridge's answer.
  template <typename Send>
  bool Checked(Send send) {
    const bool ok = send();
    std::vector<uint8_t> after = device_->FlashBytes();
    if (after.size() != flash_.size()) Fail();
    if (!ok && after != flash_) Fail();
    flash_.swap(after);
    return ok;
  }

 private:
  vbridge::VirtualBus bus_;
  vbridge::VirtualBridge* device_ = nullptr;
  std::vector<uint8_t> flash_;  // the flash after the previous step
  std::unique_ptr<vbridge::ScopedActiveBus> active_;
};

// One command through the core, chosen and parametrised by the input, the
// way the core's callers use them (GETROMID with 1 to 4 command bytes, the
// version block asked for whole). When it reaches the bridge, the bridge
// must have decoded it as the command it is.
inline void CoreStep(CUSBCommand* core, Rig* rig, Input* in) {
  vbridge::VirtualBridge* device = rig->Device();
  const uint8_t which = static_cast<uint8_t>(in->Byte() % CMD_COUNT);
  const uint32_t address = in->Long();
  uint16_t length = static_cast<uint16_t>(in->Word() % 600);
  // The parameter block is sent from a buffer of at least its 19 bytes.
  if (which == CMD_SETROMPARAMETERS && length < kRomParameterSize) length = kRomParameterSize;
  std::vector<unsigned char> buffer(length == 0 ? 1 : length);
  in->Fill(buffer.data(), length);
  const size_t logged = device->Log().size();
  const int expected = static_cast<int>(which);
  rig->Checked([&] {
    switch (which) {
      case CMD_GETROMID: {
        const unsigned char count = static_cast<unsigned char>(1 + address % 4);
        const unsigned char reply = static_cast<unsigned char>(length % 17);
        return core->USBCom_GETROMID(address, count, buffer.data(), reply) != 0;
      }
      case CMD_BLOCKERASEROM:
        return core->USBCom_BlockEraseRom(address % 0x12000) != 0;
      case CMD_CHIPERASEROM:
        return core->USBCom_ChipEraseRom() != 0;
      case CMD_READROM:
        return core->USBCom_ReadRom(address % 0x10100, buffer.data(), length) != 0;
      case CMD_WRITEROM:
        return core->USBCom_WriteRom(address % 0x10100, buffer.data(), length) != 0;
      case CMD_GETROMPARAMETERS:
        return core->USBCom_GetRomParameters(buffer.data(), length) != 0;
      case CMD_SETROMPARAMETERS:
        return core->USBCom_SetRomParameters(buffer.data(), length) != 0;
      case CMD_GETVERSION: {
        std::vector<unsigned char> block(kVersionBlockSize + length % 8);
        return core->USBCom_GetVersion(block.data(),
                                       static_cast<unsigned char>(block.size())) != 0;
      }
      case CMD_ENABLEVENDER:
        return core->USBCom_EnableVender() != 0;
      default:
        return core->USBCom_DisableVender() != 0;
    }
  });
  const std::vector<vbridge::ReceivedCommand> log = device->Log();
  if (log.size() > logged + 1) Fail();
  if (log.size() == logged + 1 && log.back().command != expected) Fail();
}

// The body of a bridge fuzzer: up to 32 steps, each either a command sent
// by the core through the transport or a raw request made by `rawStep`.
template <typename RawStep>
int RunSteps(const uint8_t* data, size_t size, RawStep rawStep) {
  Rig rig;
  CUSBCommand core;
  core.Open(nullptr);
  Input in(data, size);
  for (int step = 0; step < 32 && !in.Empty(); ++step) {
    if (in.Byte() & 1) {
      CoreStep(&core, &rig, &in);
    } else {
      rawStep(&rig, &in);
    }
  }
  core.Close();
  return 0;
}

}  // namespace vbfuzz
