// The (vendor id, product id) pairs that device selection considers.
#include "IDFilter.h"

#include <new>

void IDFilter::SetID(uint16_t vendorId, uint16_t productId) {
  ID_FILTER record;
  record.VendorID = vendorId;
  record.ProductID = productId;
  try {
    records_.push_back(record);
  } catch (const std::bad_alloc&) {
    // Out of memory: the pair is not admitted.
  }
}

bool IDFilter::CheckID(uint16_t vendorId, uint16_t productId) const {
  // No pairs configured: every device is a candidate.
  if (records_.empty()) return true;
  for (const ID_FILTER& record : records_) {
    // A 0 stands for an id the system information file left open; such a
    // record admits no device here.
    if (record.VendorID != 0 && record.VendorID == vendorId && record.ProductID != 0 &&
        record.ProductID == productId) {
      return true;
    }
  }
  return false;
}
