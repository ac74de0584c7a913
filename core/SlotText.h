// The text of the parameter area's string slots (UTF-16LE in the flash) as
// the update flow compares it with the system information file.
#pragma once

#include <cstdint>
#include <cstdio>

// Converts `inBytes` bytes of UTF-16LE text into `out` (at most capacity-1
// bytes and a terminator), in the 8-bit text in which this build reads the
// system information file. On failure prints one of the lines below on
// standard output and returns false. Each platform defines it, in its
// platform/TextConversion.cpp: UTF-8 on POSIX, the thread's code page on
// Windows.
bool ConvertSlotText(const unsigned char* in, uint16_t inBytes, char* out, uint16_t capacity);

// The console lines of a failed conversion: an invalid sequence, a sequence
// cut off at the end of the input, an output that does not fit.
constexpr char kSlotTextInvalid[] = "invlaid multibyte string";
constexpr char kSlotTextIncomplete[] = "input multibyte invalid";
constexpr char kSlotTextTooLong[] = "output buffer is small";

// Where those lines go: standard output, unless a program takes them (the
// POSIX programs name them in the cause of the run on standard error, so
// that they do not mix with the messages on standard output).
using SlotTextFailureSink = void (*)(const char* line);
inline SlotTextFailureSink& SlotTextFailureRoute() {
  static SlotTextFailureSink sink = nullptr;
  return sink;
}

// Reports one of those lines; returns false for the caller to pass on.
inline bool ReportSlotTextFailure(const char* line) {
  if (SlotTextFailureRoute() != nullptr) {
    SlotTextFailureRoute()(line);
    return false;
  }
  std::printf("%s\n", line);
  std::fflush(stdout);
  return false;
}
