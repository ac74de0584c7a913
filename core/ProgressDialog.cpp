#include "ProgressDialog.h"

#include "FlashROM.h"
#include "MainDialog.h"
#include "Messages.h"
#include "UpdateSession.h"

ZF_VARIANT_BEGIN

namespace {
constexpr int kPollTimer = 0;
constexpr unsigned kPollPeriodMs = 100;
}  // namespace

void callback(unsigned short percent, bool ok) {
  CProgress* bar = gProgress.load();
  if (bar == nullptr) return;
  if (ok) {
    bar->SetPos(percent > 100 ? 100 : percent);
    if (percent > 99) gProgress.store(nullptr);
  } else {
    bar->SetPos(0);
    gProgress.store(nullptr);
  }
}

CProgressDialog::~CProgressDialog() {
  // The bar dies with the dialog: it must not stay published.
  CProgress* expected = &bar_;
  gProgress.compare_exchange_strong(expected, nullptr);
  if (engine_ != nullptr) engine_->WaitWorker();
}

void CProgressDialog::OnInitialize() {
  if (engine_ != nullptr) bar_.SetWork(&engine_->Work());
  bar_.SetControleHandle(this, kProgressBarControl);
  bar_.SetRange(0, 100);
  bar_.SetPos(0);
  gProgress.store(&bar_);

  int result;
  if (engine_ == nullptr) {
    result = -1;
  } else if (mode_ == PROGRESS_MODE_WRITE) {
    result = engine_->WriteFlashROM(callback);
  } else if (mode_ == PROGRESS_MODE_READ) {
    result = engine_->ReadFlashROM(callback);
  } else {
    gProgress.store(nullptr);
    MessageBox(MSG_UPDATE_FAILED, MESSAGE_ERROR);
    CDialogControl::OnCancel();
    return;
  }

  if (result == FLASH_OK) {
    AllocTimer(kPollTimer, kPollPeriodMs);
    return;
  }
  gProgress.store(nullptr);
  const int message = WorkerStartMessage(result, mode_ == PROGRESS_MODE_WRITE);
  MessageBox(message, MESSAGE_ERROR);
  CDialogControl::OnCancel();
}

void CProgressDialog::OnTimerEvent(int timerId) {
  // The run has ended when the worker's final report came (callback then
  // also takes the bar out of gProgress); its verdict is the engine's report
  // of the run, the one the command line reads too.
  if (timerId != kPollTimer || engine_->Work().verdict() == CWorkReport::Verdict::kRunning) {
    return;
  }
  DeleteTimer(kPollTimer);
  // The final report can come before the worker's last steps: let it end
  // before the flow uses the image or the device again.
  engine_->WaitWorker();
  if (engine_->Work().verdict() == CWorkReport::Verdict::kCompleted) {
    CDialogControl::OnOK();
  } else {
    MessageBox(mode_ == PROGRESS_MODE_READ ? MSG_READ_ABORTED : MSG_UPDATE_FAILED,
               MESSAGE_ERROR);
    CDialogControl::OnCancel();
  }
}

ZF_VARIANT_END
