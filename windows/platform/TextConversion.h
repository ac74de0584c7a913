// Text conversion of the Windows build: the UTF-16LE strings of the flash's
// parameter area become 8-bit text of the thread's code page, the encoding in
// which the system information file is read and compared.
#pragma once

#include <cstdint>

namespace zfwin {

// Converts `inBytes` bytes of UTF-16LE text into `out` (at most capacity-1
// bytes and a terminator). On failure prints the cause as one line on
// standard output ("input multibyte invalid" for a cut sequence, "output
// buffer is small" when the text does not fit, "invlaid multibyte string"
// when the system cannot convert it) and returns false.
bool UTF16ToThreadCodePage(const unsigned char* in, uint16_t inBytes, char* out, uint16_t capacity);

}  // namespace zfwin
