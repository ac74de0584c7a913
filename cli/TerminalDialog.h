// The terminal front-end: the dialogs of the updater on standard input and
// output, for machines without a display and for the command line's update
// on a console. The same on every platform; the question and the wait are
// the console's (Console.h).
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "DialogControl.h"
#include "WorkProgress.h"

class CTerminalDialogLayer : public CDialogLayer {
 public:
  CTerminalDialogLayer();

  bool CreateWindow(CDialogControl* dialog, const char* windowName) override;
  void ShowWindow(CDialogControl* dialog) override;
  void RunModal(CDialogControl* dialog) override;
  void EndModal(CDialogControl* /*dialog*/) override {}
  void DestroyWindow(CDialogControl* dialog) override;
  void MessageBox(CDialogControl* dialog, int id, MESSAGE_TYPE kind) override;
  void SetControlCaption(CDialogControl* dialog, int controlId, const char* text) override;
  void SetWindowTitle(CDialogControl* dialog, const char* title) override;
  void ProgressBound(CProgress* bar) override;

  // The question of the main window and the wait after a message are the
  // console's (AskOnConsole and WaitForEnterOnConsole in Console.h).

 private:
  struct Window {
    std::string name;
    std::string title;
    std::map<int, std::string> captions;
    CProgress* bar = nullptr;
    int drawn = -1;  // last percentage drawn
    std::chrono::steady_clock::time_point started;  // when the bar was bound
    uint8_t announced = 0;  // phases announced (--verbose)
  };
  void RunMainWindow(CDialogControl* dialog, Window& window);
  static std::string MainWindowText(const Window& window);
  void RunProgress(CDialogControl* dialog, Window& window);
  void DrawProgress(Window& window, bool final);

  std::map<CDialogControl*, Window> windows_;
  bool outputIsTerminal_;
};
