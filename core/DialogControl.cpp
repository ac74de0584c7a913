#include "DialogControl.h"

namespace {
CDialogLayer* gLayer = nullptr;
}  // namespace

void SetDialogLayer(CDialogLayer* layer) { gLayer = layer; }
CDialogLayer* GetDialogLayer() { return gLayer; }


int CDialogControl::Create(const char* windowName) {
  CDialogLayer* layer = gLayer;
  if (layer == nullptr || windowName == nullptr) return DIALOG_NOT_CREATED;
  windowName_ = windowName;
  outcome_ = DIALOG_NOT_CREATED;
  timerCount_ = 0;
  if (!layer->CreateWindow(this, windowName)) return DIALOG_NOT_CREATED;
  OnInitialize();
  // A dialog that ended itself while initialising is not waited for.
  if (!Ended()) {
    layer->ShowWindow(this);
    layer->RunModal(this);
  }
  timerCount_ = 0;
  layer->DestroyWindow(this);
  return outcome_;
}

bool CDialogControl::OnCommand(int commandId) {
  if (commandId == COMMAND_OK) {
    OnOK();
    return true;
  }
  if (commandId == COMMAND_CANCEL) {
    OnCancel();
    return true;
  }
  return false;
}

void CDialogControl::OnOK() {
  outcome_ = DIALOG_OK;
  if (gLayer != nullptr) gLayer->EndModal(this);
}

void CDialogControl::OnCancel() {
  outcome_ = DIALOG_CANCEL;
  if (gLayer != nullptr) gLayer->EndModal(this);
}

void CDialogControl::MessageBox(int id, MESSAGE_TYPE kind) {
  lastMessage_ = id;
  if (gLayer != nullptr) gLayer->MessageBox(this, id, kind);
}

void CDialogControl::SetControlCaption(int controlId, const char* text) {
  if (gLayer != nullptr && text != nullptr) gLayer->SetControlCaption(this, controlId, text);
}

void CDialogControl::AllocTimer(int timerId, unsigned periodMs) {
  if (timerCount_ >= kMaxTimers) return;  // an eleventh timer is ignored
  TimerRecord& record = timers_[timerCount_++];
  record.id = timerId;
  record.period = std::chrono::milliseconds(periodMs);
  // The first call comes at once, later ones every period.
  record.due = Clock::now();
  if (gLayer != nullptr) gLayer->TimersChanged(this);
}

void CDialogControl::DeleteTimer(int timerId) {
  for (int i = 0; i < timerCount_; ++i) {
    if (timers_[i].id != timerId) continue;
    for (int j = i + 1; j < timerCount_; ++j) timers_[j - 1] = timers_[j];
    --timerCount_;
    if (gLayer != nullptr) gLayer->TimersChanged(this);
    return;
  }
}

CDialogControl::Clock::time_point CDialogControl::NextTimerDue() const {
  Clock::time_point next = Clock::time_point::max();
  for (int i = 0; i < timerCount_; ++i) {
    if (timers_[i].due < next) next = timers_[i].due;
  }
  return next;
}

CDialogControl::Clock::time_point CDialogControl::RunDueTimers(Clock::time_point now) {
  // OnTimerEvent may delete timers or end the dialog: take the due ids first.
  int due[kMaxTimers];
  int dueCount = 0;
  for (int i = 0; i < timerCount_; ++i) {
    if (timers_[i].due <= now) {
      due[dueCount++] = timers_[i].id;
      timers_[i].due = now + timers_[i].period;
    }
  }
  for (int i = 0; i < dueCount && !Ended(); ++i) OnTimerEvent(due[i]);
  return NextTimerDue();
}
