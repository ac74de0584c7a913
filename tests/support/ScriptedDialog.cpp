#include "ScriptedDialog.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "MainDialog.h"
#include "Progress.h"

std::vector<int> ScriptedDialogLayer::MessageIds() const {
  std::vector<int> ids;
  for (const Message& m : messages) ids.push_back(m.id);
  return ids;
}

bool ScriptedDialogLayer::CreateWindow(CDialogControl* /*dialog*/, const char* windowName) {
  created.push_back(windowName);
  return std::find(refuseWindows.begin(), refuseWindows.end(), windowName) == refuseWindows.end();
}

void ScriptedDialogLayer::RunModal(CDialogControl* dialog) {
  using Clock = CDialogControl::Clock;
  if (std::string(dialog->WindowName()) == "MainWindow") {
    while (!dialog->Ended()) {
      bool ok = false;
      if (!answers.empty()) {
        ok = answers.front();
        answers.pop_front();
      }
      dialog->OnCommand(ok ? COMMAND_OK : COMMAND_CANCEL);
    }
    return;
  }
  if (pressKeysInProgress) {
    dialog->OnCommand(COMMAND_OK);
    dialog->OnCommand(COMMAND_CANCEL);
  }
  // A progress dialog that never ends would hang the test: give up after a
  // generous minute and fail through the outcome.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
  while (!dialog->Ended() && Clock::now() < deadline) {
    Clock::time_point next = dialog->RunDueTimers(Clock::now());
    if (bar_ != nullptr) {
      unsigned pos = bar_->GetPos();
      if (progressSeen.empty() || progressSeen.back() != pos) progressSeen.push_back(pos);
    }
    if (dialog->Ended()) break;
    Clock::time_point wake = Clock::now() + std::chrono::milliseconds(2);
    std::this_thread::sleep_until(std::min(next, wake));
  }
}

void ScriptedDialogLayer::DestroyWindow(CDialogControl* dialog) {
  ended.push_back({dialog->WindowName(), dialog->Outcome()});
}

void ScriptedDialogLayer::MessageBox(CDialogControl* /*dialog*/, int id, MESSAGE_TYPE kind) {
  messages.push_back({id, kind});
}

void ScriptedDialogLayer::SetControlCaption(CDialogControl* /*dialog*/, int controlId,
                                            const char* text) {
  captions[controlId] = text;
}

int RunMainWindow(ScriptedDialogLayer* layer) {
  ScopedDialogLayer scopedLayer(layer);
  CMainDialog dialog;
  dialog.Create("MainWindow");
  return dialog.ExitStatus();
}
