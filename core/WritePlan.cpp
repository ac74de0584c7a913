#include "WritePlan.h"

#include <algorithm>

#include "ImageLayout.h"
#include "common.h"

namespace {

struct Range {
  uint64_t start;
  uint64_t end;  // one past the last byte
};

// One region of the plan: the bytes it erases (whole blocks are taken) and
// the ranges it then writes and verifies, in order.
struct Group {
  Range erase;
  std::vector<Range> writes;
  bool firmwareCopy = false;
};

// A run of 0xFF bytes at least this long splits a write-back range in two:
// erased flash already holds 0xFF, so long runs of it need no commands.
constexpr uint32_t kWriteBackGap = 64;

bool Covered(uint64_t address, const std::vector<Range>& ranges) {
  for (const Range& r : ranges) {
    if (address >= r.start && address < r.end) return true;
  }
  return false;
}

// The ranges of block [blockStart, blockEnd) to write back after its erase:
// bytes that no later write covers and that are not 0xFF in the image.
std::vector<Range> WriteBackRanges(const unsigned char* image, uint64_t blockStart,
                                   uint64_t blockEnd, const std::vector<Range>& laterWrites) {
  std::vector<Range> out;
  bool open = false;
  Range current = {0, 0};
  uint64_t lastKept = 0;
  for (uint64_t a = blockStart; a < blockEnd; ++a) {
    if (Covered(a, laterWrites) || image[a] == 0xFF) continue;
    if (open && a - lastKept > kWriteBackGap) {
      current.end = lastKept + 1;
      out.push_back(current);
      open = false;
    }
    if (!open) {
      current.start = a;
      open = true;
    }
    lastKept = a;
  }
  if (open) {
    current.end = lastKept + 1;
    out.push_back(current);
  }
  // A range must not run over a later write: split it where one begins.
  std::vector<Range> split;
  for (const Range& r : out) {
    uint64_t start = r.start;
    for (uint64_t a = r.start; a < r.end; ++a) {
      if (Covered(a, laterWrites)) {
        if (a > start) split.push_back({start, a});
        start = a + 1;
      }
    }
    if (start < r.end) split.push_back({start, r.end});
  }
  return split;
}

bool Overlap(const Range& a, const Range& b) { return a.start < b.end && b.start < a.end; }

// The erase blocks that range `r` touches, as one range.
Range Blocks(const Range& r, uint32_t blockSize) {
  return {BlockStart(r.start, blockSize), BlockStart(r.end - 1, blockSize) + blockSize};
}

uint32_t U32(uint64_t v) { return static_cast<uint32_t>(v); }

}  // namespace

WritePlan PlanWrite(const WriteRequest& request) {
  WritePlan plan;
  const unsigned char* image = request.image;
  const uint32_t size = request.imageSize;
  const uint32_t block = request.eraseBlockSize;
  auto refuse = [&plan](PlanRefusal why) {
    plan.steps.clear();
    plan.regions = plan.copies = 0;
    plan.refusal = why;
    return plan;
  };
  if (image == nullptr || size < kImageHeaderSize) return refuse(PlanRefusal::kOutsideImage);
  // Erase blocks are powers of two no larger than the flash.
  if (block < 2 || (block & (block - 1)) != 0 || block > size) {
    return refuse(PlanRefusal::kOutsideImage);
  }
  auto field = [&](uint64_t at) -> uint32_t {
    return RangeInside(at, 4, size) ? GetLE32(image + at) : 0;
  };

  std::vector<Group> groups;
  bool inside = true;
  auto region = [&](uint64_t start, uint64_t length, bool copy) {
    if (length == 0) return;
    if (!RangeInside(start, length, size)) {
      inside = false;
      return;
    }
    Range r = {start, start + length};
    groups.push_back({r, {r}, copy});
  };

  // 1. Header and parameter area.
  if (request.parameterChange) {
    const uint64_t paramSize = request.paramSize;
    const uint32_t p = field(kParamAreaOffsetField);
    if (!RangeInside(0, paramSize + kImageHeaderSize, size) ||
        (p != 0 && !RangeInside(p, paramSize, size))) {
      inside = false;
    } else {
      Group header;
      header.erase = {0, paramSize + kImageHeaderSize};
      header.writes.push_back({0, kImageHeaderSize});
      if (p != 0 && paramSize != 0) header.writes.push_back({p, p + paramSize});
      groups.push_back(header);
    }
  }

  // 2. Firmware copies: the selected copy first, then the other one.
  if (request.fwCodeChange != 0) {
    if (request.fwCodeChange != 1 && request.fwCodeChange != 2) {
      return refuse(PlanRefusal::kBadSelection);
    }
    const bool firstIsArea1 = request.fwCodeChange == 1;
    const uint32_t f = field(firstIsArea1 ? kArea1OffsetField : kArea2OffsetField);
    const uint32_t g = field(firstIsArea1 ? kArea2OffsetField : kArea1OffsetField);
    auto copyLength = [&](uint32_t at) -> uint64_t {
      if (!RangeInside(at, kFirmwareAreaHeaderSize, size)) {
        inside = false;
        return 0;
      }
      return static_cast<uint64_t>(GetLE32(image + at + kAreaCodeSize)) + kFirmwareAreaHeaderSize;
    };
    if (f != 0) {
      const uint64_t lf = copyLength(f);
      const uint64_t lg = g != 0 ? copyLength(g) : 0;
      region(f, lf, true);
      region(g, lg, true);
      if (inside && g != 0) {
        const Range copyF = {f, f + lf};
        const Range copyG = {g, g + lg};
        if (Overlap(Blocks(copyF, block), copyG) || Overlap(Blocks(copyG, block), copyF)) {
          return refuse(PlanRefusal::kCopiesShareBlocks);
        }
      }
    }
  }

  // 3. Encryption records.
  if (request.encryptionChange) {
    const uint64_t p = field(kParamAreaOffsetField);
    for (uint32_t recordField : {kEncryptionRecord1Field, kEncryptionRecord2Field}) {
      const uint32_t record = field(p + recordField);
      if (record != 0) region(record, 4, false);
    }
  }

  if (!inside) return refuse(PlanRefusal::kOutsideImage);
  if (groups.empty()) return refuse(PlanRefusal::kNothingToWrite);
  plan.regions = static_cast<uint32_t>(groups.size());
  for (const Group& group : groups) plan.copies += group.firmwareCopy ? 1 : 0;

  for (size_t i = 0; i < groups.size(); ++i) {
    const Group& group = groups[i];
    std::vector<Range> laterWrites;
    for (size_t j = i; j < groups.size(); ++j) {
      laterWrites.insert(laterWrites.end(), groups[j].writes.begin(), groups[j].writes.end());
    }
    // Erase block by block; blocks without anything to keep are erased in
    // one step, as one run of the region.
    const Range blocks = Blocks(group.erase, block);
    uint64_t pending = blocks.start;  // first block not yet in an erase step
    for (uint64_t b = blocks.start; b < blocks.end; b += block) {
      const std::vector<Range> keep = WriteBackRanges(image, b, b + block, laterWrites);
      const bool last = b + block >= blocks.end;
      if (keep.empty() && !last) continue;
      const uint64_t from = std::max(pending, group.erase.start);
      const uint64_t to = std::min(b + block, group.erase.end);
      plan.steps.push_back({WriteStep::kErase, U32(from), U32(to - from)});
      pending = b + block;
      for (const Range& r : keep) {
        plan.steps.push_back({WriteStep::kWrite, U32(r.start), U32(r.end - r.start), true});
        plan.steps.push_back({WriteStep::kVerify, U32(r.start), U32(r.end - r.start), true});
      }
    }
    for (const Range& w : group.writes) {
      plan.steps.push_back({WriteStep::kWrite, U32(w.start), U32(w.end - w.start)});
      plan.steps.push_back({WriteStep::kVerify, U32(w.start), U32(w.end - w.start)});
    }
  }
  return plan;
}

WritePlanSummary SummarizePlan(const WritePlan& plan, const WriteRequest& request,
                               uint32_t unit) {
  WritePlanSummary summary;
  if (!plan.ok() || unit == 0) return summary;
  const uint32_t block = request.eraseBlockSize;
  summary.copies = plan.copies;
  summary.regions = plan.regions;
  for (const WriteStep& step : plan.steps) {
    const uint32_t chunks = (step.length + unit - 1) / unit;
    switch (step.kind) {
      case WriteStep::kErase: {
        const uint64_t first = BlockStart(step.start, block);
        const uint64_t last = BlockStart(static_cast<uint64_t>(step.start) + step.length - 1, block);
        const uint32_t count = U32((last - first) / block + 1);
        summary.eraseBlocks += count;
        summary.eraseCommands += count;
        break;
      }
      case WriteStep::kWrite:
        if (step.writeBack) ++summary.writeBackRanges;
        summary.bytesWritten += step.length;
        summary.writeCommands += chunks;
        break;
      case WriteStep::kVerify:
        summary.verifyCommands += chunks;
        break;
    }
  }
  return summary;
}
