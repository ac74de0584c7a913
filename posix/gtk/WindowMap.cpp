#include "WindowMap.h"

#include <algorithm>

CWindowMap thisApp;

void CWindowMap::BeginCreateWindow(CDialogControl* dialog) {
  creating_ = std::unique_lock<std::mutex>(mutex_);
  entries_.push_back(Entry{nullptr, dialog});
  pending_ = true;
}

void CWindowMap::EndCreateWindow(WindowRef window) {
  if (pending_ && !entries_.empty() && entries_.back().window == nullptr) {
    entries_.back().window = window;
  }
  pending_ = false;
  if (creating_.owns_lock()) creating_.unlock();
}

void CWindowMap::AbortCreateWindow() {
  if (pending_ && !entries_.empty()) entries_.pop_back();
  pending_ = false;
  if (creating_.owns_lock()) creating_.unlock();
}

CDialogControl* CWindowMap::GetWindowClass(WindowRef window) const {
  if (window == nullptr) return nullptr;
  for (const Entry& entry : entries_) {
    if (entry.window == window) return entry.dialog;
  }
  return nullptr;
}

void CWindowMap::DeleteWindow(CDialogControl* dialog) {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [dialog](const Entry& e) { return e.dialog == dialog; }),
                 entries_.end());
}

void CWindowMap::DeleteWindow(WindowRef window) {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [window](const Entry& e) { return e.window == window; }),
                 entries_.end());
}

int CWindowMap::Count() const {
  int count = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!(pending_ && i + 1 == entries_.size())) ++count;
  }
  return count;
}
