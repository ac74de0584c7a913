// The progress dialog: runs the engine's read or write worker, shows its
// progress and turns its outcome into a message.
#pragma once

#include "DialogControl.h"
#include "Progress.h"
#include "Variant.h"

enum : int { PROGRESS_MODE_WRITE = 0, PROGRESS_MODE_READ = 1, PROGRESS_MODE_NONE = 2 };

ZF_VARIANT_BEGIN

class CFlashROM;

class CProgressDialog : public CDialogControl {
 public:
  CProgressDialog(CFlashROM* engine, int mode) : engine_(engine), mode_(mode) {}
  ~CProgressDialog() override;

  void OnInitialize() override;
  void OnTimerEvent(int timerId) override;
  // Return and Escape must not end the dialog: only the flow ends it.
  void OnOK() override {}
  void OnCancel() override {}

  int Mode() const { return mode_; }

 private:
  void Finish(bool ok);
  CProgress bar_;
  CFlashROM* engine_;
  int mode_;
};

// The progress report handed to the engine; runs on the worker thread.
void callback(unsigned short percent, bool ok);

ZF_VARIANT_END
