// Fuzzes the reading side of the SROM image model: arbitrary bytes taken as
// the whole flash, then every query the updater and the image tool make on
// it. Each input runs twice: as it is, and with its header CRC made valid so
// that the header's parameters (flash size, erase block) are taken too. The
// model is linked alone, without a transport; fuzz_image_read puts the same
// bytes on a virtual bridge and reads them the way the updater does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "ImageQueries.h"
#include "SROMImage.h"
#include "common.h"

namespace {

void Exercise(const uint8_t* data, uint32_t size) {
  CSROMImage rom;
  rom.LoadImage(data, size);
  ImageQueries(rom);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QuietStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExerciseImageBytes(data, size, true, Exercise);
  return 0;
}
