// The write guard of the POSIX programs, whatever their dialog layer: the
// four terminating signals are held from the start of the write until its
// report has been shown, and on Linux a logind inhibitor keeps the machine
// from sleeping or shutting down, and a logout waiting, until the write has
// ended. Without a system bus or logind the write goes on; that is said
// once on standard error.
#pragma once

#include "LogindInhibitor.h"
#include "SignalHold.h"
#include "WriteGuard.h"

class CPosixWriteGuard : public CWriteGuard {
 public:
  CPosixWriteGuard() = default;

  void WriteStarts() override;
  void WriteEnded() override;
  void ReportShown() override;

 private:
  CSignalHold signals_;
  CLogindInhibitor inhibitor_;
  bool inhibitorWarned_ = false;
};
