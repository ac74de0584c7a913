#include "MainDialog.h"

#include <utility>

#include "FilRead.h"
#include "Messages.h"
#include "ProgressDialog.h"
#include "UpdateSession.h"
#include "WriteGuard.h"

ZF_VARIANT_BEGIN

CMainDialog::~CMainDialog() {
  // Paths that end during the checks leave the device open: close it here,
  // without telling the bridge to leave vendor mode.
  WaitWorker();
  CloseDevice();
}

bool CMainDialog::OpenSystemInformation(CFileRead* file) {
  return OpenDefaultSystemInformation(file);
}

int CMainDialog::OpenFirmwareFile(CFileRead* file) { return OpenDefaultFirmwareFile(file); }

void CMainDialog::Fail(int messageId, MESSAGE_TYPE kind) {
  failed_ = true;
  if (messageId != 0) MessageBox(messageId, kind);
  CDialogControl::OnCancel();
}

void CMainDialog::OnInitialize() {
  UpdateSessionHooks hooks;
  hooks.openSystemInformation = [this](CFileRead* file) { return OpenSystemInformation(file); };
  hooks.openFirmwareFile = [this](CFileRead* file) { return OpenFirmwareFile(file); };
  // The read runs under a progress dialog, which shows its own failures.
  hooks.readFlash = [this](CFlashROM*) {
    CProgressDialog reading(this, PROGRESS_MODE_READ);
    const int outcome = reading.Create("ProgressDialog");
    TakeMessagesOf(reading);
    if (outcome != DIALOG_OK) return -1;
    CollectDeviceFacts(this, &device_);
    OnFlashRead();
    return 0;
  };
  hooks.readWholeFlash = ReadsWholeFlash();
  hooks.policy = Policy();
  CUpdateSession session(this, std::move(hooks));
  decision_ = session.Prepare();
  const UpdateDecision& decision = decision_;

  if (decision.message == MSG_ALREADY_LATEST) {
    MessageBox(MSG_ALREADY_LATEST, MESSAGE_WARNING);
    CDialogControl::OnCancel();
    return;
  }
  if (!decision.Ask()) {
    Fail(decision.messageShown ? 0 : decision.message, decision.kind);
    return;
  }
  SetControlCaption(kCaptionFromControl, decision.fromCaption);
  SetControlCaption(kCaptionToControl, decision.toCaption);
  OnChecksPassed();
  // The window is shown and waits for OK or Cancel.
}

void CMainDialog::OnOK() {
  if (!BeforeWrite()) {
    CloseFlashROM();
    failed_ = true;
    MessageBox(MSG_UPDATE_FAILED, MESSAGE_ERROR);
    CDialogControl::OnOK();
    return;
  }
  int outcome;
  {
    // Interrupts, sleep and logout wait from here until the report is shown.
    CWriteGuardScope guard;
    writeStarted_ = true;
    {
      CProgressDialog writing(this, PROGRESS_MODE_WRITE);
      outcome = writing.Create("ProgressDialog");
      TakeMessagesOf(writing);
    }
    CloseFlashROM();
    guard.EndWrite();
    if (outcome == DIALOG_OK) {
      wrote_ = true;
      MessageBox(MSG_UPDATED, MESSAGE_INFORMATION);
    } else {
      failed_ = true;
    }
  }
  CDialogControl::OnOK();
}

UpdateOutcome CMainDialog::RunOutcome() const {
  UpdateOutcome outcome;
  outcome.status = ExitStatus();
  outcome.lastMessage = LastMessage();
  outcome.failure = Work().LastFailure();
  outcome.decision = decision_;
  outcome.device = device_;
  outcome.erased = writeStarted_;
  return outcome;
}

int CMainDialog::ExitStatus() const {
  const int last = LastMessage();
  if (wrote_ && last == MSG_UPDATED) return 0;
  if (last == MSG_ALREADY_LATEST) return 2;
  if (last == 0 && !failed_ && Outcome() == DIALOG_CANCEL) return 2;
  return 1;
}

ZF_VARIANT_END
