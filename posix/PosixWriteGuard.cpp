#include "PosixWriteGuard.h"

#include <cstdio>
#include <string>

#include "Messages.h"

void CPosixWriteGuard::WriteStarts() {
  // Signals first: the worker thread that the progress dialog starts next
  // inherits the mask, and so does any thread the bus connection starts.
  signals_.Hold();
  std::string error;
  if (!inhibitor_.Take(kProgramName, "Writing the firmware of a USB storage bridge", &error) &&
      !inhibitorWarned_) {
    inhibitorWarned_ = true;
    std::fprintf(stderr, "%s: sleep, shutdown and logout are not held off during the write (%s)\n",
                 kProgramName, error.c_str());
    std::fflush(stderr);
  }
}

void CPosixWriteGuard::WriteEnded() { inhibitor_.Release(); }

void CPosixWriteGuard::ReportShown() {
  inhibitor_.Release();
  // A signal that came meanwhile has been told about; the run ends next.
  signals_.Release();
}
