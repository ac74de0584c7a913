// The engine over the zero-latency virtual bridge: reading the whole 1 MiB
// flash, the same reads sent by the transport alone (the cost of the
// virtual transport and bridge, to be subtracted from the engine's), and a
// full update of the default flash.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "BenchReport.h"
#include "BenchSupport.h"
#include "CommandSet.h"

namespace {

using zfbench::kUnit;

void BM_EngineRead1MiB(benchmark::State& state) {
  zfbench::Rig rig(zfbench::DefaultFlash());
  uint32_t commands = 0;
  for (auto _ : state) {
    state.PauseTiming();
    rig.device->ClearLog();
    const uint32_t before = rig.device->CommandCount();
    state.ResumeTiming();
    if (!zfbench::ReadWholeFlash(&rig)) {
      state.SkipWithError("the read failed");
      break;
    }
    commands = rig.device->CommandCount() - before;
  }
  state.counters["commands"] = commands;
  state.counters["commands_per_s"] = benchmark::Counter(
      static_cast<double>(commands), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_EngineRead1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The reads of BM_EngineRead1MiB sent straight through the transport
// primitive, without the engine: what the virtual transport and the bridge
// model cost per command.
void BM_TransportRead1MiB(benchmark::State& state) {
  zfbench::Rig rig(zfbench::DefaultFlash());
  vbridge::ScopedActiveBus active(&rig.bus);
  CUSBControl transport;
  void* list = transport.GetDeviceList();
  void* cursor = list;
  if (transport.OpenNextDevice(list, &cursor) != kSelectOpened) {
    state.SkipWithError("no device");
    return;
  }
  _tag_UsbCommand enable = MakeCommandRecord(CMD_ENABLEVENDER);
  transport.USBCom_Send(&enable);
  const uint32_t size = static_cast<uint32_t>(zfbench::DefaultFlash().size());
  std::vector<unsigned char> image(size);
  uint32_t commands = 0;
  for (auto _ : state) {
    state.PauseTiming();
    rig.device->ClearLog();
    state.ResumeTiming();
    commands = 0;
    for (uint32_t at = 0; at < size; at += kUnit) {
      _tag_UsbCommand cmd = MakeCommandRecord(CMD_READROM);
      cmd.address = at;
      cmd.length = static_cast<uint16_t>(size - at < kUnit ? size - at : kUnit);
      cmd.data = image.data() + at;
      if (!transport.USBCom_Send(&cmd)) {
        state.SkipWithError("a read failed");
        return;
      }
      ++commands;
    }
    benchmark::ClobberMemory();
  }
  transport.CloseDevice();
  state.counters["commands"] = commands;
  state.counters["commands_per_s"] = benchmark::Counter(
      static_cast<double>(commands), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_TransportRead1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// Open, read 1 MiB, place 30000 bytes of firmware, erase, write and verify
// both copies, close; a fresh device each time (set up outside the timing).
void BM_FullUpdate1MiB(benchmark::State& state) {
  const std::vector<unsigned char> file = zfbench::NewFirmware(zfbench::kUpdateCodeSize);
  uint32_t commands = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto rig = std::make_unique<zfbench::Rig>(zfbench::DefaultFlash());
    state.ResumeTiming();
    if (!zfbench::FullUpdate(rig.get(), file)) {
      state.SkipWithError("the update failed");
      break;
    }
    state.PauseTiming();
    commands = rig->device->CommandCount();
    rig.reset();
    state.ResumeTiming();
  }
  state.counters["commands"] = commands;
  state.counters["commands_per_s"] = benchmark::Counter(
      static_cast<double>(commands), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FullUpdate1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
