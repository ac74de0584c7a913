// UTF-16LE to UTF-8 with iconv, the slot text conversion of the POSIX builds.
#include "TextConversion.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

#include "SlotText.h"

namespace {

// Closes an iconv descriptor when it goes out of scope.
class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (valid()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

bool localUTF16ToUTF8(const unsigned char* in, uint16_t inBytes, char* out, uint16_t capacity) {
  if (out == nullptr || capacity == 0) return ReportSlotTextFailure(kSlotTextTooLong);
  if (inBytes == 0) {
    out[0] = '\0';
    return true;
  }
  if (in == nullptr) return false;
  // Room for the terminator.
  const size_t room = static_cast<size_t>(capacity) - 1;

  IconvHandle converter("UTF-8", "UTF-16LE");
  if (!converter.valid()) return false;

  // iconv takes a non-const input pointer; the input is copied so that the
  // caller's bytes are never written through.
  std::vector<char> input(in, in + inBytes);
  char* inPtr = input.data();
  size_t inLeft = inBytes;
  char* outPtr = out;
  size_t outLeft = room;

  size_t result = iconv(converter.get(), &inPtr, &inLeft, &outPtr, &outLeft);
  if (result != static_cast<size_t>(-1)) {
    result = iconv(converter.get(), nullptr, nullptr, &outPtr, &outLeft);
  }
  if (result == static_cast<size_t>(-1)) {
    const int error = errno;
    if (error == EILSEQ) return ReportSlotTextFailure(kSlotTextInvalid);
    if (error == EINVAL) return ReportSlotTextFailure(kSlotTextIncomplete);
    if (error == E2BIG) return ReportSlotTextFailure(kSlotTextTooLong);
    return false;
  }
  *outPtr = '\0';
  return true;
}

bool ConvertSlotText(const unsigned char* in, uint16_t inBytes, char* out, uint16_t capacity) {
  return localUTF16ToUTF8(in, inBytes, out, capacity);
}
