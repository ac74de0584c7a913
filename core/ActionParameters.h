// The fields of the action parameter list that only some builds carry
// (kActionListHasOptionFields of BuildRules.h: the Windows builds), read from
// the parameter area at image offset `p`. CFlashROM::GetActionParameter calls
// them where the build's list carries the fields; the tests call them
// directly. Nothing outside the image is read; a field that does not lie
// inside it is left as it was.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ImageLayout.h"
#include "Types.h"
#include "common.h"

namespace action_detail {

inline uint8_t Bit(uint8_t byte, unsigned bit) { return static_cast<uint8_t>((byte >> bit) & 1u); }

// `count` bytes of a space-padded text into a field, trailing blanks removed.
template <size_t N>
void CopyPadded(const unsigned char* from, size_t count, char (&field)[N]) {
  if (count > N - 1) count = N - 1;
  while (count > 0 && from[count - 1] == ' ') --count;
  for (size_t i = 0; i < N; ++i) field[i] = i < count ? static_cast<char>(from[i]) : '\0';
}

}  // namespace action_detail

// The nine option flags (P+16 bit 2, P+16 bit 4, P+17 bits 0 to 3, P+18
// bit 5, P+18 bit 4 inverted, P+19 bit 0 inverted), the bytes at P+38 and
// P+39, and the identification texts: 8 bytes from P+256, the first 8 of the
// 16 bytes at P+264 and 4 bytes from P+280.
inline void FillActionOptionFields(const unsigned char* image, uint32_t size, uint64_t p,
                                    _actionparamlist* list) {
  using action_detail::Bit;
  if (image == nullptr || list == nullptr) return;
  if (RangeInside(p + kOptionBitsField, 4, size)) {
    const unsigned char* o = image + p + kOptionBitsField;
    const uint8_t flags[9] = {Bit(o[0], 2), Bit(o[0], 4), Bit(o[1], 0),
                              Bit(o[1], 1), Bit(o[1], 2), Bit(o[1], 3),
                              Bit(o[2], 5), static_cast<uint8_t>(Bit(o[2], 4) ^ 1u),
                              static_cast<uint8_t>(Bit(o[3], 0) ^ 1u)};
    for (size_t i = 0; i < 9; ++i) list->OptionFlags[i] = flags[i];
  }
  if (RangeInside(p + kOption38Field, 2, size)) {
    list->Option38 = image[p + kOption38Field];
    list->Option39 = image[p + kOption38Field + 1];
  }
  if (RangeInside(p + kIdentVendorField, 28, size)) {
    action_detail::CopyPadded(image + p + kIdentVendorField, 8, list->IdentVendor);
    action_detail::CopyPadded(image + p + kIdentProductField, 8, list->IdentProduct);
    action_detail::CopyPadded(image + p + kIdentRevisionField, 4, list->IdentRevision);
  }
}

// The values beside the flash type name slot: the u16 at P+1072 when a name
// is present, and the optional value at P+1074 (present when that byte is
// 1; u32 at P+1075, flag byte at P+1079).
inline void FillActionNameSlotFields(const unsigned char* image, uint32_t size, uint64_t p,
                                      bool namePresent, _actionparamlist* list) {
  if (image == nullptr || list == nullptr) return;
  if (namePresent && RangeInside(p + kNameSlotWordField, 2, size)) {
    list->NameSlotWord = GetLE16(image + p + kNameSlotWordField);
  }
  if (RangeInside(p + kOptionalValueField, 6, size)) {
    const unsigned char* v = image + p + kOptionalValueField;
    list->OptionalValuePresent = v[0] == 1 ? 1 : 0;
    list->OptionalValue = GetLE32(v + 1);
    list->OptionalValueFlag = v[5];
  }
}

