// Fuzzes localUTF16ToUTF8: the first input byte picks the output capacity,
// the rest is the UTF-16LE text. The output buffer is exactly the capacity,
// so any write past it is caught, and a success must leave a terminated
// string inside it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "TextConversion.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Failures print their cause on standard output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 0x10000) return 0;
  const uint16_t capacity = data[0];
  const uint16_t inBytes = static_cast<uint16_t>(size - 1);
  std::vector<char> out(capacity == 0 ? 1 : capacity, '#');
  const bool ok = localUTF16ToUTF8(data + 1, inBytes, capacity == 0 ? nullptr : out.data(),
                                   capacity);
  if (ok) {
    // Terminated inside the buffer; an even-length ASCII-only input keeps
    // its length.
    if (std::memchr(out.data(), '\0', out.size()) == nullptr) std::abort();
    bool ascii = inBytes % 2 == 0;
    for (uint16_t i = 0; ascii && i < inBytes; i += 2) {
      ascii = data[1 + i] != 0 && data[1 + i] < 0x80 && data[2 + i] == 0;
    }
    if (ascii && std::strlen(out.data()) != inBytes / 2u) std::abort();
  }
  return 0;
}
