// The write plan: which erase, write and verify steps a write of the flash
// image takes, worked out from the image alone, before any command is sent.
//
// The plan keeps every byte it does not mean to change: an erase takes whole
// blocks, so after each erased block the bytes of that block that no later
// step writes and that are not 0xFF in the image are written back and
// verified at once (the header and parameter area when a firmware copy lies
// in the first block, other data sharing a block with a region). A layout in
// which erasing one firmware copy would touch the other copy as it stands on
// the flash at that moment is refused: no order of steps keeps a valid copy
// on the device at every moment then. A region whose flash bytes already
// equal what would be written is neither erased nor written.
#pragma once

#include <cstdint>
#include <vector>

struct WriteStep {
  enum Kind : uint8_t { kErase, kWrite, kVerify };
  Kind kind;
  uint32_t start;
  uint32_t length;
  bool writeBack = false;  // write or verify of bytes kept across an erase
  // Erase: the length is the part of the region inside the erased blocks
  // (it counts for the progress); every block that range touches is erased.
  bool operator==(const WriteStep& other) const {
    return kind == other.kind && start == other.start && length == other.length &&
           writeBack == other.writeBack;
  }
};

// What the image asks to be written: the operation flags of the image and
// its geometry.
struct WriteRequest {
  const unsigned char* image = nullptr;
  // The flash as read before the write (imageSize bytes), or null when it is
  // not known. With it the plan leaves alone every region the flash already
  // holds, judges the other firmware copy by the extent it has on the flash
  // while a copy is written, and does not write back the stale tail that an
  // installed copy leaves behind a shorter new one.
  const unsigned char* flash = nullptr;
  uint32_t imageSize = 0;
  uint32_t eraseBlockSize = 0;  // bytes per erase block (a power of two)
  bool parameterChange = false;
  uint16_t fwCodeChange = 0;    // 0 none, 1 area 1 first, 2 area 2 first
  bool encryptionChange = false;
  uint32_t paramSize = 0;       // bytes of the parameter area (with its header)
};

// Why a plan was refused.
enum class PlanRefusal {
  kNone,
  kOutsideImage,   // a region reaches outside the image
  kBadSelection,   // the copy to write first is neither 1 nor 2
  kCopiesShareBlocks,  // erasing one firmware copy touches the other copy
  kNothingToWrite,  // nothing selected, or the flash holds every region already
};

struct WritePlan {
  PlanRefusal refusal = PlanRefusal::kNone;
  std::vector<WriteStep> steps;
  uint32_t regions = 0;  // regions written (not counting write-backs)
  uint32_t copies = 0;   // firmware copies among them
  uint32_t unchanged = 0;  // regions left as they are: the flash holds them already
  bool ok() const { return refusal == PlanRefusal::kNone; }
};

WritePlan PlanWrite(const WriteRequest& request);

// The plan of a restore: the flash made equal to the whole image. Of the
// request it takes the image, the flash as read (null: every block is taken
// as differing), the image size and the erase block size; the operation
// flags are not looked at. Every erase block where the image differs from
// the flash is erased, the range from its first to its last byte that is
// not 0xFF written (nothing for a block of 0xFF bytes) and the whole block
// verified. The first block, which holds the header, comes last, so that
// the header is the last thing changed. `regions` counts the blocks; an
// image equal to the flash gives kNothingToWrite, and a flash that its
// erase blocks do not tile kOutsideImage.
WritePlan PlanRestore(const WriteRequest& request);

// What a plan does, counted for reports: the firmware copies and regions it
// writes, the bytes it writes, the blocks it erases and the commands its
// steps take with a transfer unit of `unit` bytes.
struct WritePlanSummary {
  uint32_t copies = 0;
  uint32_t regions = 0;
  uint32_t unchangedRegions = 0;
  uint64_t bytesWritten = 0;
  uint32_t eraseBlocks = 0;
  uint32_t eraseCommands = 0;
  uint32_t writeCommands = 0;
  uint32_t verifyCommands = 0;
  uint32_t writeBackRanges = 0;  // ranges kept by writing them back
};

WritePlanSummary SummarizePlan(const WritePlan& plan, const WriteRequest& request,
                               uint32_t unit);

// First block-aligned address of the erase block holding `address`.
inline uint64_t BlockStart(uint64_t address, uint32_t blockSize) {
  return blockSize > 1 ? address & ~static_cast<uint64_t>(blockSize - 1) : address;
}
