// The map from windows to the dialogs that own them, through which window
// events find their dialog. One instance, thisApp, serves the program.
//
// A window is registered in two steps around its creation:
// BeginCreateWindow(dialog) takes the map's lock and adds a pending entry,
// EndCreateWindow(window) gives it the window and releases the lock, or
// AbortCreateWindow() drops it when the window cannot be created. Lookups do
// not take the lock; like every change they come from the interface thread.
#pragma once

#include <mutex>
#include <vector>

class CDialogControl;

class CWindowMap {
 public:
  using WindowRef = const void*;

  CWindowMap() = default;
  CWindowMap(const CWindowMap&) = delete;
  CWindowMap& operator=(const CWindowMap&) = delete;

  void BeginCreateWindow(CDialogControl* dialog);
  // Completes the pending entry (when there is one without a window yet) and
  // releases the lock.
  void EndCreateWindow(WindowRef window);
  // Drops the pending entry and releases the lock.
  void AbortCreateWindow();

  // The dialog of the first entry with this window, or null.
  CDialogControl* GetWindowClass(WindowRef window) const;
  // Remove every entry of the dialog / of the window.
  void DeleteWindow(CDialogControl* dialog);
  void DeleteWindow(WindowRef window);

  // Number of registered (completed) entries.
  int Count() const;

 private:
  struct Entry {
    WindowRef window;
    CDialogControl* dialog;
  };
  std::mutex mutex_;
  std::unique_lock<std::mutex> creating_;  // held from Begin to End or Abort
  std::vector<Entry> entries_;
  bool pending_ = false;  // the last entry waits for its window
};

extern CWindowMap thisApp;
