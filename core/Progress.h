// The progress bar wrapper and the one value shared with the worker thread.
#pragma once

#include <atomic>
#include <cstdint>

class CDialogControl;
class CWorkReport;

class CProgress {
 public:
  // Binds the wrapper to the bar with `controlId` in the dialog's window.
  void SetControleHandle(CDialogControl* dialog, int controlId);
  void SetRange(int low, int high);
  // Thread-safe: the worker thread moves the bar through this. The position
  // is clamped to the range.
  void SetPos(uint16_t position);
  uint16_t GetPos() const;
  CDialogControl* Dialog() const { return dialog_; }
  int ControlId() const { return controlId_; }
  // The report of the run the bar follows (phase, bytes, time left for the
  // bar's text), or null. Set before the bar is bound to its control.
  void SetWork(const CWorkReport* work) { work_ = work; }
  const CWorkReport* Work() const { return work_; }

 private:
  CDialogControl* dialog_ = nullptr;
  int controlId_ = 0;
  int low_ = 0;
  int high_ = 100;
  std::atomic<uint16_t> pos_{0};
  const CWorkReport* work_ = nullptr;
};

// The running progress dialog's bar while its worker runs; cleared by the
// worker's final report.
extern std::atomic<CProgress*> gProgress;
