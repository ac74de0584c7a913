// The dialog base class of the flow and the contract a front-end fulfils.
//
// The update flow talks only to CDialogControl. What a dialog looks like and
// how its modal loop runs belongs to a CDialogLayer (terminal, GTK, Win32 or
// the scripted layer of the tests), chosen once at start-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "Types.h"

class CDialogControl;
class CProgress;

// Dialog outcomes.
enum : int { DIALOG_OK = 0, DIALOG_CANCEL = 1, DIALOG_NOT_CREATED = 2 };

// Command ids handed to CDialogControl::OnCommand.
enum : int { COMMAND_OK = 1, COMMAND_CANCEL = 2 };

class CDialogLayer {
 public:
  virtual ~CDialogLayer() = default;
  // Creates the window named `windowName` ("MainWindow", "ProgressDialog");
  // false when it cannot be created.
  virtual bool CreateWindow(CDialogControl* dialog, const char* windowName) = 0;
  virtual void ShowWindow(CDialogControl* dialog) = 0;
  // Runs the modal loop until the dialog has ended (dialog->Ended()): it
  // delivers commands through OnCommand and timers through RunDueTimers.
  virtual void RunModal(CDialogControl* dialog) = 0;
  // Called by OnOK/OnCancel of the base class to leave the modal loop.
  virtual void EndModal(CDialogControl* dialog) = 0;
  virtual void DestroyWindow(CDialogControl* dialog) = 0;
  // Shows message `id` of the message table and returns once it is closed.
  virtual void MessageBox(CDialogControl* dialog, int id, MESSAGE_TYPE kind) = 0;
  virtual void SetControlCaption(CDialogControl* dialog, int controlId, const char* text) = 0;
  virtual void SetWindowTitle(CDialogControl* /*dialog*/, const char* /*title*/) {}
  // A progress bar was bound / its position changed. ProgressChanged may be
  // called on the worker thread and must only carry the value over.
  virtual void ProgressBound(CProgress* /*bar*/) {}
  virtual void ProgressChanged(CProgress* /*bar*/) {}
  // Timer slots changed (allocated or deleted): a layer with its own event
  // loop re-arms its wake-up. The terminal and scripted loops poll instead.
  virtual void TimersChanged(CDialogControl* /*dialog*/) {}
  // A layer that can ask for the firmware file with a file chooser (the
  // GTK layer; the terminal has none). ChooseFirmwareFile runs the chooser
  // modally: true with the chosen file's path, false when it was closed
  // without a file.
  virtual bool CanChooseFiles() const { return false; }
  virtual bool ChooseFirmwareFile(std::string* /*path*/) { return false; }
};

void SetDialogLayer(CDialogLayer* layer);
CDialogLayer* GetDialogLayer();

class CDialogControl {
 public:
  static constexpr int kMaxTimers = 10;
  using Clock = std::chrono::steady_clock;

  CDialogControl() = default;
  virtual ~CDialogControl() = default;
  CDialogControl(const CDialogControl&) = delete;
  CDialogControl& operator=(const CDialogControl&) = delete;

  // Runs the dialog modally and returns 0 (OnOK), 1 (OnCancel) or 2 (the
  // window cannot be created).
  int Create(const char* windowName);

  virtual bool OnCommand(int commandId);
  virtual void OnOK();
  virtual void OnCancel();
  virtual void OnInitialize() {}
  virtual void OnTimerEvent(int /*timerId*/) {}

  void MessageBox(int id, MESSAGE_TYPE kind);
  void AllocTimer(int timerId, unsigned periodMs);
  void DeleteTimer(int timerId);
  void SetControlCaption(int controlId, const char* text);

  int Outcome() const { return outcome_; }
  bool Ended() const { return outcome_ != DIALOG_NOT_CREATED; }
  // The id of the last message box this dialog, or a dialog it ran, showed
  // (0 when none); the program's exit status is derived from it.
  int LastMessage() const { return lastMessage_; }
  // A dialog this one ran has ended: a message it showed is the latest one
  // of this dialog's run too.
  void TakeMessagesOf(const CDialogControl& child) {
    if (child.lastMessage_ != 0) lastMessage_ = child.lastMessage_;
  }
  const char* WindowName() const { return windowName_; }

  // Timer machinery shared by the layers: calls OnTimerEvent for every timer
  // that is due at `now`; returns the time the next one is due (or
  // Clock::time_point::max() when none is allocated).
  Clock::time_point RunDueTimers(Clock::time_point now);
  Clock::time_point NextTimerDue() const;
  int TimerCount() const { return timerCount_; }

  // Layer-private data (a window pointer, say).
  void* layerData = nullptr;

 private:
  struct TimerRecord {
    int id;
    Clock::duration period;
    Clock::time_point due;
  };
  int outcome_ = DIALOG_NOT_CREATED;
  int lastMessage_ = 0;
  const char* windowName_ = "";
  TimerRecord timers_[kMaxTimers] = {};
  int timerCount_ = 0;
};

