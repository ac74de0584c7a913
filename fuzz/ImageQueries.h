// Every query the updater and the image tool make on a SROM image, shared by
// the image fuzzers: the image model alone (fuzz_image) and the engine after
// a read from a virtual bridge (fuzz_image_read) answer the same calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ImageLayout.h"
#include "Types.h"

template <typename Image>
void ImageQueries(Image& rom) {
  rom.CreateSideBridge();
  rom.CheckFWCRC(1);
  rom.CheckFWCRC(2);
  rom.GetFWVersion();
  rom.GetFWBridgeSignature();
  rom.GetParamSize();

  _actionparamlist list;
  std::memset(&list, 0, sizeof list);
  rom.GetActionParameter(&list);

  // The encryption records are read for QK9318E images only.
  const SROM_BRIDGEIC derived = rom.GetBridgeIC();
  rom.SetBridgeIC(BRIDGEIC_QK9318E);
  _encryptionlist settings = {};
  rom.GetEncryption(&settings);
  rom.SetBridgeIC(derived);

  char name[128];
  rom.GetFWFileName(name, sizeof name);

  // The code of the chosen copy, into a buffer of exactly its size.
  const uint32_t codeSize = rom.GetFWCodeSize();
  if (codeSize > 0) {
    std::vector<unsigned char> code(codeSize);
    rom.GetFWCode(code.data(), codeSize);
  }
  rom.MakeSROMParamFromImage();
}

// The string conversion reports failures on standard output: the fuzzers
// send it to /dev/null.
inline void QuietStandardOutput() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return;
}

// Runs `exercise` on the input as flash bytes: `raw` as it is (when asked),
// and with its header CRC made valid, so that the header's parameters (flash
// size, erase block) are taken too. Inputs above 4 MiB are skipped.
template <typename Exercise>
void ExerciseImageBytes(const uint8_t* data, size_t size, bool raw, Exercise exercise) {
  if (size > (4u << 20)) return;
  const uint32_t n = static_cast<uint32_t>(size);
  if (raw) exercise(data, n);
  if (n < kImageHeaderSize) return;
  std::vector<uint8_t> fixed(data, data + n);
  SealHeaderCrc(fixed.data());
  exercise(fixed.data(), n);
}
