#include "WritePlan.h"

#include <algorithm>
#include <cstring>

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
  bool unchanged = false;  // the flash holds its bytes already: no step
  // A restored block is verified whole after its write (the bytes left
  // 0xFF too); otherwise each write is verified over what it wrote.
  bool verifyErased = false;
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
// bytes that no later write covers, that are not stale and that are not
// 0xFF in the image. A range never runs over a later write or a stale byte.
std::vector<Range> WriteBackRanges(const unsigned char* image, uint64_t blockStart,
                                   uint64_t blockEnd, const std::vector<Range>& laterWrites,
                                   const std::vector<Range>& stale) {
  std::vector<Range> out;
  bool open = false;
  Range current = {0, 0};
  uint64_t lastKept = 0;
  auto close = [&]() {
    current.end = lastKept + 1;
    out.push_back(current);
    open = false;
  };
  for (uint64_t a = blockStart; a < blockEnd; ++a) {
    if (Covered(a, laterWrites) || Covered(a, stale)) {
      if (open) close();
      continue;
    }
    if (image[a] == 0xFF) continue;
    if (open && a - lastKept > kWriteBackGap) close();
    if (!open) {
      current.start = a;
      open = true;
    }
    lastKept = a;
  }
  if (open) close();
  return out;
}

bool Overlap(const Range& a, const Range& b) { return a.start < b.end && b.start < a.end; }

// The erase blocks that range `r` touches, as one range.
Range Blocks(const Range& r, uint32_t blockSize) {
  return {BlockStart(r.start, blockSize), BlockStart(r.end - 1, blockSize) + blockSize};
}

uint32_t U32(uint64_t v) { return static_cast<uint32_t>(v); }

uint32_t FieldAt(const unsigned char* bytes, uint32_t size, uint64_t at) {
  return RangeInside(at, 4, size) ? GetLE32(bytes + at) : 0;
}

// The extent of the firmware copy at `at` in `bytes` when it is one the
// bridge could run: header and code inside, code CRC holding.
bool ValidCopyExtent(const unsigned char* bytes, uint32_t size, uint32_t at, Range* extent) {
  if (bytes == nullptr || at == 0 || !RangeInside(at, kFirmwareAreaHeaderSize, size)) return false;
  const uint32_t code = GetLE32(bytes + at + kAreaCodeSize);
  const uint64_t codeAt = static_cast<uint64_t>(at) + kFirmwareAreaHeaderSize;
  if (code > 0xFFFF || !RangeInside(codeAt, code, size)) return false;
  const uint16_t crc = static_cast<uint16_t>(bytes[at + kAreaCodeCrc] |
                                             (bytes[at + kAreaCodeCrc + 1] << 8));
  if (static_cast<uint16_t>(CalcCRC16(bytes + codeAt, code)) != crc) return false;
  *extent = {at, codeAt + code};
  return true;
}

// The regions a request asks for, in the order they are written, before
// any check between them.
struct Collected {
  std::vector<Group> groups;
  bool inside = true;
  bool badSelection = false;
};

Collected CollectGroups(const WriteRequest& request) {
  Collected c;
  const unsigned char* image = request.image;
  const uint32_t size = request.imageSize;
  auto region = [&](uint64_t start, uint64_t length, bool copy) {
    if (length == 0) return;
    if (!RangeInside(start, length, size)) {
      c.inside = false;
      return;
    }
    const Range r = {start, start + length};
    c.groups.push_back({r, {r}, copy});
  };
  // 1. Header and parameter area.
  if (request.parameterChange) {
    const uint64_t paramSize = request.paramSize;
    const uint32_t p = FieldAt(image, size, kParamAreaOffsetField);
    if (!RangeInside(0, paramSize + kImageHeaderSize, size) ||
        (p != 0 && !RangeInside(p, paramSize, size))) {
      c.inside = false;
    } else {
      Group header;
      header.erase = {0, paramSize + kImageHeaderSize};
      header.writes.push_back({0, kImageHeaderSize});
      if (p != 0 && paramSize != 0) header.writes.push_back({p, p + paramSize});
      c.groups.push_back(header);
    }
  }
  // 2. Firmware copies: the selected copy first, then the other one.
  if (request.fwCodeChange != 0) {
    if (request.fwCodeChange != 1 && request.fwCodeChange != 2) {
      c.badSelection = true;
      return c;
    }
    const bool firstIsArea1 = request.fwCodeChange == 1;
    const uint32_t f = FieldAt(image, size, firstIsArea1 ? kArea1OffsetField : kArea2OffsetField);
    const uint32_t g = FieldAt(image, size, firstIsArea1 ? kArea2OffsetField : kArea1OffsetField);
    for (uint32_t at : {f, g}) {
      if (f == 0 || at == 0) continue;  // without a first copy nothing is written
      if (!RangeInside(at, kFirmwareAreaHeaderSize, size)) {
        c.inside = false;
        continue;
      }
      region(at, static_cast<uint64_t>(GetLE32(image + at + kAreaCodeSize)) +
                     kFirmwareAreaHeaderSize, true);
    }
  }
  // 3. Encryption records.
  if (request.encryptionChange) {
    const uint64_t p = FieldAt(image, size, kParamAreaOffsetField);
    for (uint32_t recordField : {kEncryptionRecord1Field, kEncryptionRecord2Field}) {
      const uint32_t record = FieldAt(image, size, p + recordField);
      if (record != 0) region(record, 4, false);
    }
  }
  return c;
}

// Marks the groups whose every written byte the flash holds already.
void MarkUnchanged(const WriteRequest& request, std::vector<Group>* groups) {
  if (request.flash == nullptr) return;
  for (Group& group : *groups) {
    group.unchanged = std::all_of(group.writes.begin(), group.writes.end(), [&](const Range& w) {
      return std::memcmp(request.image + w.start, request.flash + w.start, w.end - w.start) == 0;
    });
  }
}

// True when erasing a firmware copy's blocks would touch another copy as
// it stands on the flash at that moment: its new extent once it has been
// written (or when the flash holds it already), its installed extent while
// it is still to be written and is a copy the bridge could run (without
// the flash, its new extent).
bool CopiesShareBlocks(const WriteRequest& request, const std::vector<Group>& groups) {
  for (size_t i = 0; i < groups.size(); ++i) {
    if (!groups[i].firmwareCopy || groups[i].unchanged) continue;
    const Range erased = Blocks(groups[i].erase, request.eraseBlockSize);
    for (size_t j = 0; j < groups.size(); ++j) {
      if (j == i || !groups[j].firmwareCopy) continue;
      const Range& written = groups[j].erase;
      if (j < i || groups[j].unchanged || request.flash == nullptr) {
        if (Overlap(erased, written)) return true;
        continue;
      }
      Range installed;
      if (ValidCopyExtent(request.flash, request.imageSize, U32(written.start), &installed) &&
          Overlap(erased, installed)) {
        return true;
      }
      // A later copy's new extent in a block erased now is refused from its
      // own side (its blocks then hold this copy's bytes too).
      if (Overlap(erased, written)) return true;
    }
  }
  return false;
}

// The stale tails: bytes an installed copy held behind the end of the
// shorter new copy written in its place. They are not written back after
// an erase; bytes of the header, the parameter area, the encryption
// records or the other copy are never among them.
std::vector<Range> StaleTails(const WriteRequest& request, const std::vector<Group>& groups) {
  std::vector<Range> stale;
  if (request.flash == nullptr) return stale;
  const uint32_t size = request.imageSize;
  std::vector<Range> structures = {{0, kImageHeaderSize}};
  const uint32_t p = FieldAt(request.image, size, kParamAreaOffsetField);
  if (p != 0) {
    structures.push_back({p, uint64_t{p} + std::max<uint32_t>(request.paramSize, 1)});
    for (uint32_t recordField : {kEncryptionRecord1Field, kEncryptionRecord2Field}) {
      const uint32_t record = FieldAt(request.image, size, uint64_t{p} + recordField);
      if (record != 0) structures.push_back({record, uint64_t{record} + 4});
    }
  }
  for (size_t i = 0; i < groups.size(); ++i) {
    const Group& group = groups[i];
    Range installed;
    if (!group.firmwareCopy || group.unchanged ||
        !ValidCopyExtent(request.flash, size, U32(group.erase.start), &installed) ||
        installed.end <= group.erase.end) {
      continue;
    }
    std::vector<Range> kept = structures;
    for (size_t j = 0; j < groups.size(); ++j) {
      if (j == i || !groups[j].firmwareCopy) continue;
      kept.push_back(groups[j].erase);
      Range other;
      if (ValidCopyExtent(request.flash, size, U32(groups[j].erase.start), &other)) {
        kept.push_back(other);
      }
    }
    uint64_t from = group.erase.end;
    for (uint64_t a = from; a <= installed.end; ++a) {
      if (a < installed.end && !Covered(a, kept)) continue;
      if (a > from) stale.push_back({from, a});
      from = a + 1;
    }
  }
  return stale;
}

// The erase, write-back and write steps of one group.
void AddGroupSteps(const WriteRequest& request, const Group& group,
                   const std::vector<Range>& laterWrites, const std::vector<Range>& stale,
                   WritePlan* plan) {
  const uint32_t block = request.eraseBlockSize;
  // Erase block by block; blocks without anything to keep are erased in one
  // step, as one run of the region.
  const Range blocks = Blocks(group.erase, block);
  uint64_t pending = blocks.start;  // first block not yet in an erase step
  for (uint64_t b = blocks.start; b < blocks.end; b += block) {
    const std::vector<Range> keep =
        WriteBackRanges(request.image, b, b + block, laterWrites, stale);
    const bool last = b + block >= blocks.end;
    if (keep.empty() && !last) continue;
    const uint64_t from = std::max(pending, group.erase.start);
    const uint64_t to = std::min(b + block, group.erase.end);
    plan->steps.push_back({WriteStep::kErase, U32(from), U32(to - from)});
    pending = b + block;
    for (const Range& r : keep) {
      plan->steps.push_back({WriteStep::kWrite, U32(r.start), U32(r.end - r.start), true});
      plan->steps.push_back({WriteStep::kVerify, U32(r.start), U32(r.end - r.start), true});
    }
  }
  for (const Range& w : group.writes) {
    plan->steps.push_back({WriteStep::kWrite, U32(w.start), U32(w.end - w.start)});
    if (!group.verifyErased) {
      plan->steps.push_back({WriteStep::kVerify, U32(w.start), U32(w.end - w.start)});
    }
  }
  if (group.verifyErased) {
    plan->steps.push_back(
        {WriteStep::kVerify, U32(group.erase.start), U32(group.erase.end - group.erase.start)});
  }
}

// The steps of every group that is not unchanged, in order, with the
// counts of the plan.
void AddPlanSteps(const WriteRequest& request, const std::vector<Group>& groups,
                  const std::vector<Range>& stale, WritePlan* plan) {
  for (size_t i = 0; i < groups.size(); ++i) {
    const Group& group = groups[i];
    if (group.unchanged) {
      ++plan->unchanged;
      continue;
    }
    ++plan->regions;
    plan->copies += group.firmwareCopy ? 1 : 0;
    std::vector<Range> laterWrites;
    for (size_t j = i; j < groups.size(); ++j) {
      if (groups[j].unchanged) continue;
      laterWrites.insert(laterWrites.end(), groups[j].writes.begin(), groups[j].writes.end());
    }
    AddGroupSteps(request, group, laterWrites, stale, plan);
  }
}

// The image holds a header, and its erase blocks are powers of two no
// larger than the flash.
bool UsableGeometry(const WriteRequest& request) {
  const uint32_t block = request.eraseBlockSize;
  if (request.image == nullptr || request.imageSize < kImageHeaderSize) return false;
  return block >= 2 && (block & (block - 1)) == 0 && block <= request.imageSize;
}

// A restore's groups: one for each erase block whose image bytes differ
// from the flash as read (every block when the flash is not known), with
// the one write from its first to its last byte that is not 0xFF (none
// for a block of 0xFF bytes); the first block, which holds the header,
// comes last.
std::vector<Group> RestoreGroups(const WriteRequest& request) {
  const uint32_t block = request.eraseBlockSize;
  const unsigned char* image = request.image;
  std::vector<Group> groups;
  for (uint64_t b = 0; b + block <= request.imageSize; b += block) {
    if (request.flash != nullptr && std::memcmp(image + b, request.flash + b, block) == 0) {
      continue;
    }
    Group group;
    group.erase = {b, b + block};
    group.verifyErased = true;
    uint64_t first = b + block, last = b;
    for (uint64_t a = b; a < b + block; ++a) {
      if (image[a] == 0xFF) continue;
      first = std::min(first, a);
      last = a;
    }
    if (first < b + block) group.writes.push_back({first, last + 1});
    groups.push_back(group);
  }
  if (!groups.empty() && groups.front().erase.start == 0) {
    std::rotate(groups.begin(), groups.begin() + 1, groups.end());
  }
  return groups;
}

}  // namespace

WritePlan PlanWrite(const WriteRequest& request) {
  WritePlan plan;
  auto refuse = [&plan](PlanRefusal why) {
    plan.steps.clear();
    plan.regions = plan.copies = plan.unchanged = 0;
    plan.refusal = why;
    return plan;
  };
  if (!UsableGeometry(request)) return refuse(PlanRefusal::kOutsideImage);
  Collected collected = CollectGroups(request);
  if (collected.badSelection) return refuse(PlanRefusal::kBadSelection);
  if (!collected.inside) return refuse(PlanRefusal::kOutsideImage);
  std::vector<Group>& groups = collected.groups;
  MarkUnchanged(request, &groups);
  if (CopiesShareBlocks(request, groups)) return refuse(PlanRefusal::kCopiesShareBlocks);
  const std::vector<Range> stale = StaleTails(request, groups);

  AddPlanSteps(request, groups, stale, &plan);
  if (plan.regions == 0) return refuse(PlanRefusal::kNothingToWrite);
  return plan;
}

WritePlan PlanRestore(const WriteRequest& request) {
  WritePlan plan;
  if (!UsableGeometry(request) || request.imageSize % request.eraseBlockSize != 0) {
    plan.refusal = PlanRefusal::kOutsideImage;
    return plan;
  }
  AddPlanSteps(request, RestoreGroups(request), {}, &plan);
  if (plan.regions == 0) plan.refusal = PlanRefusal::kNothingToWrite;
  return plan;
}

WritePlanSummary SummarizePlan(const WritePlan& plan, const WriteRequest& request,
                               uint32_t unit) {
  WritePlanSummary summary;
  if (!plan.ok() || unit == 0) return summary;
  const uint32_t block = request.eraseBlockSize;
  summary.copies = plan.copies;
  summary.regions = plan.regions;
  summary.unchangedRegions = plan.unchanged;
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
