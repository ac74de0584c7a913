// What a build holds off while the flash is being written: interrupts that
// would end the process between an erase and its write, sleep, shutdown and
// logout. The hooks of the build are installed once at start-up, like the
// dialog layer; without hooks the write runs unguarded (tests).
#pragma once

class CWriteGuard {
 public:
  virtual ~CWriteGuard() = default;
  // On the interface thread, before the write's progress dialog is created
  // and so before the write's worker thread is started: from here on the
  // write must run to its end.
  virtual void WriteStarts() = 0;
  // The write's worker has ended and the device is closed; the final report
  // is about to be shown. What only guarded the device can be released.
  virtual void WriteEnded() = 0;
  // The final report has been shown and closed; the run ends next.
  virtual void ReportShown() = 0;
};

void SetWriteGuard(CWriteGuard* guard);
CWriteGuard* GetWriteGuard();

// True from the start of a write (a CWriteGuardScope) until its EndWrite,
// with or without hooks installed: the dialog layers show the write's
// caution only then.
bool WriteInProgress();

// The write as one scope: WriteStarts when constructed, WriteEnded through
// EndWrite (or at the latest when destroyed), ReportShown when destroyed.
class CWriteGuardScope {
 public:
  CWriteGuardScope();
  ~CWriteGuardScope();
  CWriteGuardScope(const CWriteGuardScope&) = delete;
  CWriteGuardScope& operator=(const CWriteGuardScope&) = delete;

  void EndWrite();

 private:
  CWriteGuard* guard_;
  bool writing_;
};
