#include "WriteGuard.h"

#include <atomic>

namespace {
CWriteGuard* gWriteGuard = nullptr;
std::atomic<int> gWritesInProgress{0};
}  // namespace

bool WriteInProgress() { return gWritesInProgress.load() > 0; }

void SetWriteGuard(CWriteGuard* guard) { gWriteGuard = guard; }
CWriteGuard* GetWriteGuard() { return gWriteGuard; }

CWriteGuardScope::CWriteGuardScope() : guard_(gWriteGuard), writing_(true) {
  ++gWritesInProgress;
  if (guard_ != nullptr) guard_->WriteStarts();
}

void CWriteGuardScope::EndWrite() {
  if (!writing_) return;
  writing_ = false;
  --gWritesInProgress;
  if (guard_ != nullptr) guard_->WriteEnded();
}

CWriteGuardScope::~CWriteGuardScope() {
  EndWrite();
  if (guard_ != nullptr) guard_->ReportShown();
}
