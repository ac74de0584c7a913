#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Operations.h"

std::vector<CopyFacts> CopiesOf(CSROMImage* image) {
  std::vector<CopyFacts> copies;
  for (int number = 1; number <= 2; ++number) {
    CopyFacts copy;
    copy.number = number;
    copy.area = image->DescribeArea(number);
    if (!copy.area.present) continue;
    const uint32_t offset = copy.area.offset;
    const unsigned char* bytes = image->Image();
    if (bytes != nullptr && offset <= image->ImageSize() &&
        image->ImageSize() - offset >= kFirmwareAreaHeaderSize) {
      copy.erased = std::all_of(bytes + offset, bytes + offset + kFirmwareAreaHeaderSize,
                                [](unsigned char b) { return b == 0xFF; });
    }
    copies.push_back(copy);
  }
  return copies;
}

std::string SerialOf(CSROMImage* image) {
  _actionparamlist params = {};
  image->GetActionParameter(&params);
  return std::string(params.ThirdString, strnlen(params.ThirdString, sizeof params.ThirdString));
}

std::string VersionText(uint16_t version) {
  char text[16];
  std::snprintf(text, sizeof text, "%X%X.%X%X", (version >> 12) & 0xF, (version >> 8) & 0xF,
                (version >> 4) & 0xF, version & 0xF);
  return text;
}
