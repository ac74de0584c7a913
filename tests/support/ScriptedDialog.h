// A dialog layer for tests: answers the main window with scripted OK or
// Cancel, records every message, caption, title and dialog outcome, and runs
// the timers of a modal loop as a real layer would.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "DialogControl.h"

class ScriptedDialogLayer : public CDialogLayer {
 public:
  struct Message {
    int id;
    MESSAGE_TYPE kind;
  };
  struct Ended {
    std::string window;
    int outcome;
  };

  // Answers for successive main windows: true = OK, false = Cancel. With no
  // answer left the main window is cancelled.
  std::deque<bool> answers;
  // Windows that fail to be created, by name.
  std::vector<std::string> refuseWindows;
  // Send the OK and Cancel commands to every progress dialog (Return and
  // Escape pressed while it runs).
  bool pressKeysInProgress = false;

  std::vector<Message> messages;
  std::map<int, std::string> captions;
  std::vector<std::string> created;  // window names in creation order
  std::vector<Ended> ended;          // outcomes in the order the dialogs ended
  std::string title;
  std::vector<unsigned> progressSeen;  // distinct bar positions seen by the poll

  std::vector<int> MessageIds() const;

  bool CreateWindow(CDialogControl* dialog, const char* windowName) override;
  void ShowWindow(CDialogControl* /*dialog*/) override {}
  void RunModal(CDialogControl* dialog) override;
  void EndModal(CDialogControl* /*dialog*/) override {}
  void DestroyWindow(CDialogControl* dialog) override;
  void MessageBox(CDialogControl* dialog, int id, MESSAGE_TYPE kind) override;
  void SetControlCaption(CDialogControl* dialog, int controlId, const char* text) override;
  void SetWindowTitle(CDialogControl* /*dialog*/, const char* text) override { title = text; }
  void ProgressBound(CProgress* bar) override { bar_ = bar; }

 private:
  CProgress* bar_ = nullptr;
};

// Installs a layer for the lifetime of the object.
class ScopedDialogLayer {
 public:
  explicit ScopedDialogLayer(CDialogLayer* layer) { SetDialogLayer(layer); }
  ~ScopedDialogLayer() { SetDialogLayer(nullptr); }
};

// Creates the main window once with `layer` installed, over the bus the
// caller made active, and returns the window's exit status.
int RunMainWindow(ScriptedDialogLayer* layer);
