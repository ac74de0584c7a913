// The restore form of the write planner (PlanRestore): which blocks a
// restore erases, writes and verifies, and in what order, for differences
// at the edges of erase blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <vector>

#include "WritePlan.h"

namespace {

constexpr uint32_t kBlock = 256;
constexpr uint32_t kSize = 8 * kBlock;

// An image with data in every block; the first and last byte of block 3
// are 0xFF (its write starts and ends one byte in), block 6 holds data only
// in its last byte.
std::vector<unsigned char> SavedImage() {
  std::vector<unsigned char> image(kSize);
  for (uint32_t a = 0; a < kSize; ++a) image[a] = static_cast<unsigned char>(a * 7 + 3);
  for (uint32_t a = 0; a < kSize; ++a) {
    if (image[a] == 0xFF) image[a] = 0x11;
  }
  image[3 * kBlock] = 0xFF;
  image[4 * kBlock - 1] = 0xFF;
  std::fill(image.begin() + 6 * kBlock, image.begin() + 7 * kBlock - 1, 0xFF);
  return image;
}

// The restore of `image` over `flash` (null: the flash is not known) on the
// test geometry.
WriteRequest RestoreRequestOf(const std::vector<unsigned char>& image, const unsigned char* flash) {
  WriteRequest request;
  request.image = image.data();
  request.flash = flash;
  request.imageSize = kSize;
  request.eraseBlockSize = kBlock;
  return request;
}

struct RestoreCase {
  const char* name;
  std::vector<uint32_t> changed;  // flash bytes that differ from the image
  std::vector<uint32_t> blocks;   // the blocks restored, in order
  std::vector<uint32_t> erasedInImage;  // blocks of the image made all 0xFF
};

void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.name; }

class RestorePlanTest : public ::testing::TestWithParam<RestoreCase> {};

// The steps of one restored block: its erase, the write from its first to
// its last byte that is not 0xFF (none when every byte is 0xFF) and the
// verify of the whole block.
void AddBlockSteps(const std::vector<unsigned char>& image, uint32_t block,
                   std::vector<WriteStep>* steps) {
  const uint32_t start = block * kBlock;
  steps->push_back({WriteStep::kErase, start, kBlock});
  uint32_t first = kBlock, last = 0;
  for (uint32_t i = 0; i < kBlock; ++i) {
    if (image[start + i] == 0xFF) continue;
    if (first == kBlock) first = i;
    last = i;
  }
  if (first != kBlock) steps->push_back({WriteStep::kWrite, start + first, last - first + 1});
  steps->push_back({WriteStep::kVerify, start, kBlock});
}

TEST_P(RestorePlanTest, RestoresTheBlocksThatDifferWithTheHeaderLast) {
  const RestoreCase& c = GetParam();
  std::vector<unsigned char> image = SavedImage();
  std::vector<unsigned char> flash = image;
  for (uint32_t block : c.erasedInImage) {
    std::fill(image.begin() + block * kBlock, image.begin() + (block + 1) * kBlock, 0xFF);
  }
  for (uint32_t a : c.changed) flash[a] ^= 0x5A;

  const WriteRequest request = RestoreRequestOf(image, flash.data());
  const WritePlan plan = PlanRestore(request);
  ASSERT_TRUE(plan.ok());
  std::vector<WriteStep> expected;
  for (uint32_t block : c.blocks) AddBlockSteps(image, block, &expected);
  EXPECT_EQ(plan.steps, expected);
  EXPECT_EQ(plan.regions, c.blocks.size());
  EXPECT_EQ(plan.copies, 0u);

  // Run on a flash model: the flash ends equal to the image, every verify
  // holds, and the header block is not touched before the last block.
  std::vector<unsigned char> sim = flash;
  const bool headerRestored = std::find(c.blocks.begin(), c.blocks.end(), 0u) != c.blocks.end();
  size_t erasesSeen = 0;
  for (const WriteStep& step : plan.steps) {
    if (step.kind == WriteStep::kErase) {
      ++erasesSeen;
      if (step.start < kBlock) {
        EXPECT_TRUE(headerRestored);
        EXPECT_EQ(erasesSeen, c.blocks.size()) << "the header block is erased before the last";
      }
      std::fill(sim.begin() + step.start, sim.begin() + step.start + step.length, 0xFF);
    } else if (step.kind == WriteStep::kWrite) {
      EXPECT_FALSE(step.writeBack);
      for (uint32_t a = step.start; a < step.start + step.length; ++a) sim[a] &= image[a];
    } else {
      EXPECT_TRUE(std::equal(sim.begin() + step.start, sim.begin() + step.start + step.length,
                             image.begin() + step.start))
          << "verify at " << step.start;
    }
  }
  EXPECT_EQ(sim, image);

  const WritePlanSummary summary = SummarizePlan(plan, request, 64);
  EXPECT_EQ(summary.eraseBlocks, c.blocks.size());
  uint64_t bytes = 0;
  for (const WriteStep& step : expected) bytes += step.kind == WriteStep::kWrite ? step.length : 0;
  EXPECT_EQ(summary.bytesWritten, bytes);
  EXPECT_EQ(summary.writeBackRanges, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, RestorePlanTest,
    ::testing::Values(
        RestoreCase{"FirstByteOfABlock", {2 * kBlock}, {2}, {}},
        RestoreCase{"LastByteOfABlock", {3 * kBlock - 1}, {2}, {}},
        RestoreCase{"LastByteOfTheFlash", {kSize - 1}, {7}, {}},
        RestoreCase{"FirstByteOfTheFlash", {0}, {0}, {}},
        RestoreCase{"LastByteOfTheHeaderBlock", {kBlock - 1}, {0}, {}},
        RestoreCase{"TwoAdjacentBlocks", {3 * kBlock - 1, 3 * kBlock}, {2, 3}, {}},
        RestoreCase{"HeaderBlockLast", {0, 5 * kBlock + 9}, {5, 0}, {}},
        RestoreCase{"HeaderBlockLastOfThree", {kBlock, kBlock - 1, kSize - 1}, {1, 7, 0}, {}},
        // Block 3's write starts one byte in and ends one byte before the end.
        RestoreCase{"WriteInsideItsBlock", {3 * kBlock + 100}, {3}, {}},
        // Block 6 holds only its last byte: a write of one byte.
        RestoreCase{"OneByteAtTheBlockEnd", {6 * kBlock}, {6}, {}},
        // An all-0xFF block of the image: erased and verified, nothing written.
        RestoreCase{"AllErasedBlock", {}, {4}, {4}},
        RestoreCase{"AllErasedHeaderBlock", {5 * kBlock}, {5, 0}, {0}}));

TEST(RestorePlan, AnImageEqualToTheFlashPlansNothing) {
  const std::vector<unsigned char> image = SavedImage();
  const WritePlan plan = PlanRestore(RestoreRequestOf(image, image.data()));
  EXPECT_EQ(plan.refusal, PlanRefusal::kNothingToWrite);
  EXPECT_TRUE(plan.steps.empty());
  EXPECT_EQ(plan.regions, 0u);
}

TEST(RestorePlan, WithoutTheFlashEveryBlockIsRestoredHeaderLast) {
  const std::vector<unsigned char> image = SavedImage();
  const WritePlan plan = PlanRestore(RestoreRequestOf(image, nullptr));
  ASSERT_TRUE(plan.ok());
  std::vector<WriteStep> expected;
  for (uint32_t block : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 0u}) AddBlockSteps(image, block, &expected);
  EXPECT_EQ(plan.steps, expected);
}

// The operation flags of an update's request do not change a restore.
TEST(RestorePlan, TheUpdateFlagsAreNotLookedAt) {
  std::vector<unsigned char> image = SavedImage();
  std::vector<unsigned char> flash = image;
  flash[4 * kBlock + 1] ^= 1;
  WriteRequest request;
  request.image = image.data();
  request.flash = flash.data();
  request.imageSize = kSize;
  request.eraseBlockSize = kBlock;
  const WritePlan plain = PlanRestore(request);
  request.parameterChange = true;
  request.fwCodeChange = 3;  // a selection an update refuses
  request.encryptionChange = true;
  request.paramSize = kSize;
  const WritePlan flagged = PlanRestore(request);
  ASSERT_TRUE(flagged.ok());
  EXPECT_EQ(flagged.steps, plain.steps);
}

TEST(RestorePlan, RefusesBlocksThatDoNotTileTheFlash) {
  std::vector<unsigned char> image(4 * 512, 0x00);
  WriteRequest request;
  request.image = image.data();
  request.imageSize = static_cast<uint32_t>(image.size());
  struct Geometry {
    uint32_t size;
    uint32_t block;
    bool ok;
  };
  // The size need not be a power of two (the operation checks it against
  // the flash), but the blocks must tile it.
  for (const Geometry& g : {Geometry{1536, 512, true}, Geometry{1792, 512, false},
                            Geometry{1536 + 1, 512, false}, Geometry{1536 - 1, 512, false},
                            Geometry{1024, 1024, true}, Geometry{1024, 2048, false},
                            Geometry{1024, 1, false}, Geometry{1024, 2, true},
                            Geometry{1024, 0, false}, Geometry{1024, 384, false},
                            Geometry{32, 16, false}, Geometry{48, 16, true}}) {
    request.imageSize = g.size;
    request.eraseBlockSize = g.block;
    const WritePlan plan = PlanRestore(request);
    EXPECT_EQ(plan.ok(), g.ok) << g.size << "/" << g.block;
    if (!g.ok) {
      EXPECT_EQ(plan.refusal, PlanRefusal::kOutsideImage) << g.size << "/" << g.block;
      EXPECT_TRUE(plan.steps.empty());
    }
  }
  request.image = nullptr;
  request.imageSize = 1024;
  request.eraseBlockSize = 256;
  EXPECT_EQ(PlanRestore(request).refusal, PlanRefusal::kOutsideImage);
}

}  // namespace
