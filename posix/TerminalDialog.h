// The terminal front-end: the dialogs of the updater on standard input and
// output, for machines without a display.
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

  // "OK" for an empty line, "y", "yes" or "ok" in any case; anything else is Cancel.
  static bool IsOkAnswer(const std::string& line);

  // The question is asked where its answer is read. Standard input answers;
  // when it is a terminal and standard output is not (the output goes to a
  // file), `shown` (already printed on standard output) and the prompt go to
  // the controlling terminal, or to standard error when that is a terminal;
  // with neither the question is not asked (kCannotAsk, a line on standard
  // error says to use --yes). Keys typed before the prompt are no answer.
  enum class Answer { kOk, kCancel, kCannotAsk };
  static Answer Ask(const std::string& shown);
  // After a message `shown` on standard output: waits for Enter when
  // standard input is a terminal, with "(Enter to close)" where it is read.
  // No wait once a signal held during the write has arrived; a signal
  // during the wait ends it as Enter does.
  static void WaitForEnter(const std::string& shown);

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
