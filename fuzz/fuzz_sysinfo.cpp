// libFuzzer target: the system information file parser and the checks made
// with what it read, fed with arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "IDFilter.h"
#include "SystemInformation.h"

namespace {

// Bytes of the input taken cyclically, to fill device-side records.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Next() { return size_ == 0 ? 0 : data_[pos_++ % size_]; }
  uint16_t Next16() { return static_cast<uint16_t>(Next() | (Next() << 8)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The entries SetInformationFile made must be what the plain token lookup
// reads for their keys.
void CheckAgainstTokenLookup(const CSystemInformation& info, const char* text) {
  const int32_t count = info.EntryCount() < 4 ? info.EntryCount() : 4;
  for (int32_t i = 0; i < count; ++i) {
    const CSyngleInformation& e = info.Entry(i);
    char key[32];
    char value[32];
    std::snprintf(key, sizeof key, "VenderID%d", static_cast<int>(i));
    if (e.VenderID != GetInformationInt(text, "SysInfo", key, false)) __builtin_trap();
    std::snprintf(key, sizeof key, "ProductID%d", static_cast<int>(i));
    if (e.ProductID != GetInformationInt(text, "SysInfo", key, false)) __builtin_trap();
    std::snprintf(key, sizeof key, "bcdDevice%d", static_cast<int>(i));
    if (e.bcdDevice != GetInformationInt(text, "SysInfo", key, false)) __builtin_trap();
    std::snprintf(key, sizeof key, "Manufacture%d", static_cast<int>(i));
    GetInformationToken(text, "SysInfo", key, value, sizeof value);
    if (std::strcmp(value, e.Manufacture) != 0) __builtin_trap();
    std::snprintf(key, sizeof key, "Product%d", static_cast<int>(i));
    GetInformationToken(text, "SysInfo", key, value, sizeof value);
    if (std::strcmp(value, e.Product) != 0) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');

  CSystemInformation info;
  info.SetInformationFile(text.data());
  CheckAgainstTokenLookup(info, text.data());

  IDFilter filter;
  info.AddFilter(&filter);
  Bytes bytes(data, size);
  filter.CheckID(bytes.Next16(), bytes.Next16());

  // A device identity with strings that need not be terminated.
  _actionparamlist params{};
  params.VendorID = bytes.Next16();
  params.ProductID = bytes.Next16();
  params.BcdDevice = bytes.Next16();
  for (char& c : params.ManufacturerString) c = static_cast<char>(bytes.Next());
  for (char& c : params.ProductString) c = static_cast<char>(bytes.Next());
  info.CheckSystemInformation(&params);

  unsigned char version[14];
  for (unsigned char& b : version) b = bytes.Next();
  info.CheckTargetType(version);

  // The raw input as a firmware file of exactly its size.
  const uint32_t length = static_cast<uint32_t>(size);
  info.CheckFWTargetType(size == 0 ? nullptr : data, length);
  info.GetFWRevision(size == 0 ? nullptr : data, length);
  return 0;
}
