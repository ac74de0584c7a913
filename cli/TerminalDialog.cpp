#include "TerminalDialog.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>

#include "BuildRules.h"
#include "Console.h"
#include "Messages.h"
#include "Progress.h"
#include "TerminalProgress.h"
#include "WriteGuard.h"

const char kAnswerPrompt[] = "[OK/Cancel] (Enter = OK): ";
const char kEnterToClose[] = "(Enter to close)";

namespace {

// Fixed texts of the two windows, as the dialog templates hold them.
const char kMainHeadline[] = "The firmware will be updated.";
const char kMainQuestion[] = "Do you want to update the firmware?";
const char kMainFromDefault[] = "from version xxxx";
const char kMainToDefault[] = "to     version yyyy";
const char kProgressCaution[] =
    "CAUTION!!\nPlease do NOT plug out nor turn off your device until completed!!";

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}


}  // namespace

CTerminalDialogLayer::CTerminalDialogLayer()
    : outputIsTerminal_(DrawsInPlace(stdout)) {}

bool CTerminalDialogLayer::CreateWindow(CDialogControl* dialog, const char* windowName) {
  std::string name = windowName;
  if (name != "MainWindow" && name != "ProgressDialog") return false;
  Window window;
  window.name = name;
  window.title = kProgramName;
  if (name == "MainWindow") {
    window.captions[kCaptionFromControl] = kMainFromDefault;
    window.captions[kCaptionToControl] = kMainToDefault;
  }
  windows_[dialog] = window;
  return true;
}

void CTerminalDialogLayer::ShowWindow(CDialogControl* dialog) {
  auto it = windows_.find(dialog);
  if (it == windows_.end()) return;
  Window& window = it->second;
  if (window.name == "MainWindow") {
    Print(MainWindowText(window));
  } else if (WriteInProgress()) {
    // The caution is the write's; the read before the question shows only
    // its bar.
    Print("\n[" + window.title + "]\n" + kProgressCaution + "\n");
  } else {
    Print("\n[" + window.title + "]\n");
  }
}

void CTerminalDialogLayer::RunModal(CDialogControl* dialog) {
  auto it = windows_.find(dialog);
  if (it == windows_.end()) return;
  if (it->second.name == "MainWindow") {
    RunMainWindow(dialog, it->second);
  } else {
    RunProgress(dialog, it->second);
  }
}

void CTerminalDialogLayer::RunMainWindow(CDialogControl* dialog, Window& window) {
  while (!dialog->Ended()) {
    const ConsoleAnswer answer = AskOnConsole(MainWindowText(window));
    dialog->OnCommand(answer == ConsoleAnswer::kOk ? COMMAND_OK : COMMAND_CANCEL);
  }
}

void CTerminalDialogLayer::RunProgress(CDialogControl* dialog, Window& window) {
  using Clock = CDialogControl::Clock;
  while (!dialog->Ended()) {
    Clock::time_point next = dialog->RunDueTimers(Clock::now());
    DrawProgress(window, dialog->Ended());
    if (dialog->Ended()) break;
    Clock::time_point wake = Clock::now() + std::chrono::milliseconds(50);
    if (next < wake) wake = next;
    std::this_thread::sleep_until(wake);
  }
}

void CTerminalDialogLayer::DrawProgress(Window& window, bool final) {
  if (window.bar == nullptr) return;
  int percent = window.bar->GetPos();
  const CWorkReport* report = window.bar->Work();
  const WorkSnapshot work = report != nullptr ? report->Current() : WorkSnapshot{};
  AnnouncePhases(report, &window.announced);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - window.started).count();
  if (percent != window.drawn) {
    window.drawn = percent;
    if (outputIsTerminal_) {
      Print(InPlaceProgress(fileno(stdout), static_cast<unsigned>(percent), work, elapsed));
    } else {
      char line[32];
      std::snprintf(line, sizeof line, "Progress: %d%%", percent);
      Print(line + DescribeWork(work, elapsed) + "\n");
    }
  }
  if (final && outputIsTerminal_) Print("\n");
}

void CTerminalDialogLayer::DestroyWindow(CDialogControl* dialog) { windows_.erase(dialog); }

void CTerminalDialogLayer::MessageBox(CDialogControl* /*dialog*/, int id, MESSAGE_TYPE /*kind*/) {
  const char* text = MessageText(id);
  const std::string shown =
      std::string("\n[") + kProgramName + "]\n" + (text != nullptr ? text : "") + "\n";
  Print(shown);
  WaitForEnterOnConsole(shown);
}

std::string CTerminalDialogLayer::MainWindowText(const Window& window) {
  std::string text = "\n[" + window.title + "]\n" + kMainHeadline + "\n";
  for (const auto& caption : window.captions) text += caption.second + "\n";
  return text + kMainQuestion + "\n";
}

void CTerminalDialogLayer::SetControlCaption(CDialogControl* dialog, int controlId,
                                             const char* text) {
  auto it = windows_.find(dialog);
  if (it != windows_.end()) it->second.captions[controlId] = text;
}

void CTerminalDialogLayer::SetWindowTitle(CDialogControl* dialog, const char* title) {
  auto it = windows_.find(dialog);
  if (it != windows_.end()) it->second.title = title;
}

void CTerminalDialogLayer::ProgressBound(CProgress* bar) {
  auto it = windows_.find(bar->Dialog());
  if (it == windows_.end()) return;
  it->second.bar = bar;
  it->second.started = std::chrono::steady_clock::now();
}

bool IsOkAnswer(const std::string& line) {
  std::string word;
  for (char c : line) {
    if (c == '\r' || c == '\n') continue;
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return word.empty() || word == "y" || word == "yes" || word == "ok";
}
