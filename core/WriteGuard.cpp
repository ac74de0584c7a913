#include "WriteGuard.h"

namespace {
CWriteGuard* gWriteGuard = nullptr;
}  // namespace

void SetWriteGuard(CWriteGuard* guard) { gWriteGuard = guard; }
CWriteGuard* GetWriteGuard() { return gWriteGuard; }

CWriteGuardScope::CWriteGuardScope() : guard_(gWriteGuard), writing_(true) {
  if (guard_ != nullptr) guard_->WriteStarts();
}

void CWriteGuardScope::EndWrite() {
  if (!writing_) return;
  writing_ = false;
  if (guard_ != nullptr) guard_->WriteEnded();
}

CWriteGuardScope::~CWriteGuardScope() {
  EndWrite();
  if (guard_ != nullptr) guard_->ReportShown();
}
