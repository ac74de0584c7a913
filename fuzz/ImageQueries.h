// Every query the updater and the image tool make on a SROM image, shared by
// the image fuzzers: the image model alone (fuzz_image) and the engine after
// a read from a virtual bridge (fuzz_image_read) answer the same calls.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

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
