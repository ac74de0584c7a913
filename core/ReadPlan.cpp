#include "ReadPlan.h"

#include <algorithm>

#include "ImageLayout.h"
#include "WritePlan.h"
#include "common.h"

void ByteRanges::Add(uint64_t start, uint64_t end) {
  if (start >= end) return;
  std::vector<Range> merged;
  merged.reserve(ranges_.size() + 1);
  Range added = {start, end};
  bool placed = false;
  for (const Range& r : ranges_) {
    if (r.end < added.start) {
      merged.push_back(r);
    } else if (added.end < r.start) {
      if (!placed) merged.push_back(added);
      placed = true;
      merged.push_back(r);
    } else {  // touching or overlapping: one range
      added.start = std::min(added.start, r.start);
      added.end = std::max(added.end, r.end);
    }
  }
  if (!placed) merged.push_back(added);
  ranges_ = std::move(merged);
}

bool ByteRanges::Contains(uint64_t start, uint64_t end) const {
  if (start >= end) return true;
  for (const Range& r : ranges_) {
    if (r.start <= start && end <= r.end) return true;
  }
  return false;
}

uint64_t ByteRanges::Bytes() const {
  uint64_t total = 0;
  for (const Range& r : ranges_) total += r.end - r.start;
  return total;
}

std::vector<ByteRanges::Range> ByteRanges::Missing(const ByteRanges& wanted) const {
  std::vector<Range> out;
  for (const Range& w : wanted.ranges_) {
    uint64_t from = w.start;
    for (const Range& r : ranges_) {
      if (r.end <= from || r.start >= w.end) continue;
      if (r.start > from) out.push_back({from, r.start});
      from = std::max(from, r.end);
    }
    if (from < w.end) out.push_back({from, w.end});
  }
  return out;
}

namespace {

// Adds [start, start + length) when it lies inside the image; true when it
// was added and has been read whole.
bool Need(ByteRanges* needed, const ByteRanges& read, uint64_t start, uint64_t length,
          uint32_t size) {
  if (length == 0 || !RangeInside(start, length, size)) return false;
  needed->Add(start, start + length);
  return read.Contains(start, start + length);
}

uint32_t Field(const unsigned char* image, uint64_t at) { return GetLE32(image + at); }

void NeedParameterArea(const unsigned char* image, uint32_t size, const ByteRanges& read,
                       ByteRanges* needed) {
  const uint32_t p = Field(image, kParamAreaOffsetField);
  if (p == 0 || !Need(needed, read, p, kFirmwareAreaHeaderSize, size)) return;
  const uint64_t length = uint64_t{kFirmwareAreaHeaderSize} + Field(image, p + kParamDataSizeField);
  if (!Need(needed, read, p, length, size)) return;
  for (uint32_t recordField : {kEncryptionRecord1Field, kEncryptionRecord2Field}) {
    if (!RangeInside(uint64_t{p} + recordField, 4, size)) continue;
    const uint32_t record = Field(image, uint64_t{p} + recordField);
    if (record != 0) Need(needed, read, record, 4, size);
  }
}

void NeedCopy(const unsigned char* image, uint32_t size, const ByteRanges& read, uint32_t at,
              uint32_t eraseBlock, uint32_t firmwareLength, ByteRanges* needed) {
  if (at == 0) return;
  if (firmwareLength != 0 && eraseBlock != 0 && RangeInside(at, firmwareLength, size)) {
    const uint64_t first = BlockStart(at, eraseBlock);
    const uint64_t end =
        std::min<uint64_t>(BlockStart(uint64_t{at} + firmwareLength - 1, eraseBlock) + eraseBlock, size);
    needed->Add(first, end);
  }
  if (!Need(needed, read, at, kFirmwareAreaHeaderSize, size)) return;
  const uint32_t code = Field(image, uint64_t{at} + kAreaCodeSize);
  // A size no area holds marks a broken copy: its code is never looked at.
  if (code <= 0xFFFF) Need(needed, read, uint64_t{at} + kFirmwareAreaHeaderSize, code, size);
}

}  // namespace

ByteRanges NeededForUpdate(const unsigned char* image, uint32_t size, const ByteRanges& read,
                           uint32_t eraseBlock, uint32_t firmwareLength) {
  ByteRanges needed;
  if (image == nullptr || !Need(&needed, read, 0, kImageHeaderSize, size)) return needed;
  NeedParameterArea(image, size, read, &needed);
  for (uint32_t field : {kArea1OffsetField, kArea2OffsetField}) {
    NeedCopy(image, size, read, Field(image, field), eraseBlock, firmwareLength, &needed);
  }
  return needed;
}

uint64_t ExpectedReadBytes(const unsigned char* image, uint32_t size, const ByteRanges& read,
                           uint32_t eraseBlock, uint32_t firmwareLength) {
  const uint64_t copyGuess = uint64_t{kFirmwareAreaHeaderSize} + firmwareLength;
  if (image == nullptr || !read.Contains(0, kImageHeaderSize)) {
    return kImageHeaderSize + 2 * copyGuess;
  }
  ByteRanges expected = NeededForUpdate(image, size, read, eraseBlock, firmwareLength);
  for (uint32_t field : {kArea1OffsetField, kArea2OffsetField}) {
    const uint32_t at = Field(image, field);
    if (at == 0 || at >= size || read.Contains(at, uint64_t{at} + kFirmwareAreaHeaderSize)) continue;
    expected.Add(at, std::min<uint64_t>(size, at + copyGuess));
  }
  return expected.Bytes();
}
