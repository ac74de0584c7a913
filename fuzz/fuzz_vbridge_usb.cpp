// Fuzzes the virtual bridge's decoding of the USB encoding: arbitrary setup
// packets with data stages of any size, mixed with commands the core sends
// through the USB-encoded virtual transport (see VBridgeFuzz.h).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "VBridgeFuzz.h"

namespace {

// One raw vendor request: 8 setup bytes, the data stage's capacity and,
// for the host-to-device direction, its bytes.
void RawStep(vbfuzz::Rig* rig, vbfuzz::Input* in) {
  vbridge::VirtualBridge* device = rig->Device();
  uint8_t setup[8];
  in->Fill(setup, sizeof setup);
  const uint16_t capacity = static_cast<uint16_t>(in->Word() % 1100);
  std::vector<uint8_t> data(capacity);
  in->Fill(data.data(), capacity);
  uint32_t transferred = 0xFFFFFFFFu;
  const bool ok = rig->Checked([&] {
    return device->HandleUsb(setup, capacity == 0 ? nullptr : data.data(), capacity,
                             &transferred);
  });
  if (transferred > capacity) vbfuzz::Fail();
  if (!ok && transferred != 0) vbfuzz::Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vbfuzz::RunSteps(data, size, RawStep);
}
