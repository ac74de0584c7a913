// The (vendor id, product id) pairs admitted to device selection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ID_FILTER {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
};

class IDFilter {
 public:
  void SetID(uint16_t vendorId, uint16_t productId);
  bool CheckID(uint16_t vendorId, uint16_t productId) const;
  int Count() const { return static_cast<int>(records_.size()); }
  const ID_FILTER& Record(int i) const { return records_[static_cast<size_t>(i)]; }

 private:
  std::vector<ID_FILTER> records_;
};
