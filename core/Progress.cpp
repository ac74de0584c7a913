#include "Progress.h"

#include "DialogControl.h"

std::atomic<CProgress*> gProgress{nullptr};

void CProgress::SetControleHandle(CDialogControl* dialog, int controlId) {
  dialog_ = dialog;
  controlId_ = controlId;
  if (CDialogLayer* layer = GetDialogLayer()) layer->ProgressBound(this);
}

void CProgress::SetRange(int low, int high) {
  low_ = low;
  high_ = high;
}

void CProgress::SetPos(uint16_t position) {
  int value = position;
  if (value > high_) value = high_;
  if (value < low_) value = low_;
  pos_.store(static_cast<uint16_t>(value));
  if (CDialogLayer* layer = GetDialogLayer()) layer->ProgressChanged(this);
}

uint16_t CProgress::GetPos() const { return pos_.load(); }
