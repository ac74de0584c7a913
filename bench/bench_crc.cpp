// CalcCRC16 throughput: the table-driven form the core uses and the bitwise
// reference form, over a firmware-sized buffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "ImageAuthoring.h"
#include "common.h"

namespace {

const std::vector<unsigned char>& Buffer() {
  static const std::vector<unsigned char> bytes = zfimage::PseudoRandomCode(65536, 5);
  return bytes;
}

void BM_CRC16_Table(benchmark::State& state) {
  const std::vector<unsigned char>& data = Buffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(CalcCRC16(data.data(), static_cast<uint32_t>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_CRC16_Table);

void BM_CRC16_Bitwise(benchmark::State& state) {
  const std::vector<unsigned char>& data = Buffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(CalcCRC16Bitwise(data.data(), static_cast<uint32_t>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_CRC16_Bitwise);

}  // namespace
