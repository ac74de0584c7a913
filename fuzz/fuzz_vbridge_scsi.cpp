// Fuzzes the virtual bridge's decoding of the SCSI encoding: arbitrary
// command blocks of any length with either data direction and data phases of
// any size, mixed with commands the core sends through the SCSI-encoded
// virtual transport (see VBridgeFuzz.h).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "VBridgeFuzz.h"

namespace {

// One raw command: its block (0 to 17 bytes, in a buffer of exactly that
// size), the data direction, the data phase's length and, for data out, its
// bytes.
void RawStep(vbfuzz::Rig* rig, vbfuzz::Input* in) {
  vbridge::VirtualBridge* device = rig->Device();
  const uint8_t cdbLength = static_cast<uint8_t>(in->Byte() % 18);
  std::vector<uint8_t> cdb(cdbLength);
  in->Fill(cdb.data(), cdbLength);
  const bool dataIn = (in->Byte() & 1) != 0;
  const uint16_t dataLength = static_cast<uint16_t>(in->Word() % 1100);
  std::vector<uint8_t> data(dataLength);
  if (!dataIn) in->Fill(data.data(), dataLength);
  uint32_t transferred = 0xFFFFFFFFu;
  const bool ok = rig->Checked([&] {
    return device->HandleScsi(cdbLength == 0 ? nullptr : cdb.data(), cdbLength, dataIn,
                              dataLength == 0 ? nullptr : data.data(), dataLength, &transferred);
  });
  if (transferred > dataLength) vbfuzz::Fail();
  if (!ok && transferred != 0) vbfuzz::Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vbfuzz::RunSteps(data, size, RawStep);
}
