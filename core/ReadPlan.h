// What an update reads of the flash: only the bytes the decision and the
// write plan use. The header names the parameter area and the firmware
// copies; their own headers name their lengths; the new firmware's length
// names the erase blocks the write will take (read whole, so that their
// other bytes can be written back). The read follows these pointers in
// ascending address order, each byte once.
#pragma once

#include <cstdint>
#include <vector>

// A set of byte ranges [start, end), kept sorted and disjoint.
class ByteRanges {
 public:
  struct Range {
    uint64_t start;
    uint64_t end;  // one past the last byte
  };

  void Add(uint64_t start, uint64_t end);
  void Clear() { ranges_.clear(); }
  bool Contains(uint64_t start, uint64_t end) const;  // every byte of [start, end)
  uint64_t Bytes() const;
  const std::vector<Range>& Ranges() const { return ranges_; }
  // The parts of `wanted` not in this set, sorted.
  std::vector<Range> Missing(const ByteRanges& wanted) const;

 private:
  std::vector<Range> ranges_;
};

// The ranges the update needs, as far as the bytes read so far (`read`, in
// `image` of `size` bytes) tell: the header; the parameter area and the
// encryption records it points to; each firmware copy's header and code;
// and, when `firmwareLength` is not 0, the erase blocks of `eraseBlock`
// bytes that a copy of that length at each firmware area takes.
ByteRanges NeededForUpdate(const unsigned char* image, uint32_t size, const ByteRanges& read,
                           uint32_t eraseBlock, uint32_t firmwareLength);

// What the read will come to in all, as far as the bytes read so far tell:
// the ranges needed now and, for each copy whose header is not read yet, a
// code as long as the new file (an installed copy is most often about as
// long). Before the header is read: the header and two such copies. Only
// for the progress shown: the total grows less as the pointers are found.
uint64_t ExpectedReadBytes(const unsigned char* image, uint32_t size, const ByteRanges& read,
                           uint32_t eraseBlock, uint32_t firmwareLength);
