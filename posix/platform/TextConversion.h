// Text conversion of the POSIX builds: the strings of the flash's parameter
// area are UTF-16LE, the system information file is read as UTF-8.
#pragma once

#include <cstdint>

// UTF-16LE to UTF-8 through iconv; prints the cause on standard output when
// it fails (the lines of SlotText.h).
bool localUTF16ToUTF8(const unsigned char* in, uint16_t inBytes, char* out, uint16_t capacity);
