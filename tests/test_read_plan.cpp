// What an update reads: the ranges the header, the parameter area and the
// firmware copies point to, discovered as they are read.
#include <gtest/gtest.h>

#include <vector>

#include "ImageAuthoring.h"
#include "ImageLayout.h"
#include "ReadPlan.h"
#include "EngineSupport.h"
#include "common.h"

namespace {

using Range = ByteRanges::Range;

std::vector<std::pair<uint64_t, uint64_t>> Pairs(const std::vector<Range>& ranges) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const Range& r : ranges) out.emplace_back(r.start, r.end);
  return out;
}

TEST(ByteRanges, MergesTouchingAndOverlappingRangesAndFindsWhatIsMissing) {
  ByteRanges set;
  set.Add(10, 20);
  set.Add(30, 40);
  set.Add(20, 21);  // touches the first at its end
  set.Add(29, 30);  // touches the second at its start
  set.Add(5, 5);    // empty
  EXPECT_EQ(Pairs(set.Ranges()), (std::vector<std::pair<uint64_t, uint64_t>>{{10, 21}, {29, 40}}));
  EXPECT_EQ(set.Bytes(), 22u);
  EXPECT_TRUE(set.Contains(10, 21));
  EXPECT_FALSE(set.Contains(9, 21));
  EXPECT_FALSE(set.Contains(10, 22));
  EXPECT_FALSE(set.Contains(20, 30));  // the gap [21, 29)
  set.Add(0, 100);
  EXPECT_EQ(Pairs(set.Ranges()), (std::vector<std::pair<uint64_t, uint64_t>>{{0, 100}}));

  ByteRanges read;
  read.Add(10, 20);
  read.Add(25, 26);
  ByteRanges wanted;
  wanted.Add(0, 12);
  wanted.Add(19, 30);
  EXPECT_EQ(Pairs(read.Missing(wanted)),
            (std::vector<std::pair<uint64_t, uint64_t>>{{0, 10}, {20, 25}, {26, 30}}));
}

// Reads what is needed step by step, the lowest missing range first, and
// records the order: every byte once, each range above the one before.
struct Walk {
  ByteRanges read;
  std::vector<Range> order;
};

Walk ReadAsTheUpdateDoes(const std::vector<unsigned char>& image, uint32_t block,
                         uint32_t firmwareLength) {
  Walk walk;
  const uint32_t size = static_cast<uint32_t>(image.size());
  for (int step = 0; step < 100; ++step) {
    const std::vector<Range> missing =
        walk.read.Missing(NeededForUpdate(image.data(), size, walk.read, block, firmwareLength));
    if (missing.empty()) break;
    walk.order.push_back(missing.front());
    walk.read.Add(missing.front().start, missing.front().end);
  }
  return walk;
}

TEST(NeededForUpdate, FollowsTheHeaderTheAreasAndTheNewCopiesBlocks) {
  std::vector<unsigned char> image = testsupport::BuildImage(zfimage::DefaultFlashImageSpec());
  const uint32_t size = static_cast<uint32_t>(image.size());
  const uint32_t p = GetLE32(&image[kParamAreaOffsetField]);
  const uint32_t o1 = GetLE32(&image[kArea1OffsetField]);
  const uint32_t o2 = GetLE32(&image[kArea2OffsetField]);
  const uint32_t installed = GetLE32(&image[o1 + kAreaCodeSize]) + kFirmwareAreaHeaderSize;
  const uint32_t block = 4096;

  // Nothing read: the header alone.
  const ByteRanges first = NeededForUpdate(image.data(), size, ByteRanges(), block, 0);
  EXPECT_EQ(Pairs(first.Ranges()), (std::vector<std::pair<uint64_t, uint64_t>>{{0, 48}}));

  // Without a file length: header, parameter area and both copies, nothing more.
  const Walk plain = ReadAsTheUpdateDoes(image, block, 0);
  ByteRanges expected;
  expected.Add(0, 48);
  expected.Add(p, p + kFirmwareAreaHeaderSize + GetLE32(&image[p + kParamDataSizeField]));
  expected.Add(o1, o1 + installed);
  expected.Add(o2, o2 + installed);
  EXPECT_EQ(Pairs(plain.read.Ranges()), Pairs(expected.Ranges()));
  for (size_t i = 1; i < plain.order.size(); ++i) {
    EXPECT_GE(plain.order[i].start, plain.order[i - 1].end) << "read out of order at step " << i;
  }

  // A longer file: the blocks its copies take, whole, up to the block that
  // holds its last byte (a copy ending one byte into a block takes it).
  const uint32_t longer = (o1 + installed) / block * block + block + 1 - o1;
  const Walk update = ReadAsTheUpdateDoes(image, block, longer);
  EXPECT_TRUE(update.read.Contains(o1 / block * block, (o1 + longer - 1) / block * block + block));
  EXPECT_TRUE(update.read.Contains(o2 / block * block, (o2 + longer - 1) / block * block + block));
  EXPECT_FALSE(update.read.Contains(0, size));
  const Walk exact = ReadAsTheUpdateDoes(image, block, longer - 1);
  EXPECT_LT(exact.read.Bytes(), update.read.Bytes());

  // The total the progress shows: from the first step on within a quarter
  // of what the read comes to when the file is as long as the installed
  // copies, never above it, and exact once the last range is in.
  const uint32_t same = installed - kFirmwareAreaHeaderSize;
  const Walk walk = ReadAsTheUpdateDoes(image, block, same);
  const uint64_t final = walk.read.Bytes();
  ByteRanges sofar;
  EXPECT_EQ(ExpectedReadBytes(image.data(), size, sofar, block, same), 48 + 2 * uint64_t{installed});
  for (const Range& step : walk.order) {
    const uint64_t guess = ExpectedReadBytes(image.data(), size, sofar, block, same);
    EXPECT_GE(guess * 4, final * 3) << "before " << step.start;
    EXPECT_LE(guess, final) << "before " << step.start;
    sofar.Add(step.start, step.end);
  }
  EXPECT_EQ(ExpectedReadBytes(image.data(), size, sofar, block, same), final);
}

TEST(NeededForUpdate, PointersOutsideTheImageOrToNoCodeAddNothing) {
  std::vector<unsigned char> image = testsupport::BuildImage(zfimage::DefaultFlashImageSpec());
  const uint32_t size = static_cast<uint32_t>(image.size());
  const uint32_t o1 = GetLE32(&image[kArea1OffsetField]);
  // Copy 1's size field says more than an area holds: its header only.
  PutLE32(&image[o1 + kAreaCodeSize], 0x10000);
  // Copy 2 starts 15 bytes before the end: its header does not fit.
  PutLE32(&image[kArea2OffsetField], size - 15);
  // The parameter area's size reaches past the end.
  const uint32_t p = GetLE32(&image[kParamAreaOffsetField]);
  PutLE32(&image[p + kParamDataSizeField], size);
  const Walk walk = ReadAsTheUpdateDoes(image, 4096, 0);
  ByteRanges expected;
  expected.Add(0, 48);
  expected.Add(p, p + kFirmwareAreaHeaderSize);
  expected.Add(o1, o1 + kFirmwareAreaHeaderSize);
  EXPECT_EQ(Pairs(walk.read.Ranges()), Pairs(expected.Ranges()));
}

}  // namespace
