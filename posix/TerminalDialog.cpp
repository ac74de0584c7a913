#include "TerminalDialog.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "BuildRules.h"
#include "Messages.h"
#include "Progress.h"
#include "SignalHold.h"
#include "TerminalProgress.h"
#include "WriteGuard.h"

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

const char kPrompt[] = "[OK/Cancel] (Enter = OK): ";
const char kEnterToClose[] = "(Enter to close)";

// Where a question whose answer comes from the terminal on standard input is
// shown: standard output when that is a terminal too, else the controlling
// terminal, else standard error when that is a terminal. Closed when it goes.
class QuestionOutput {
 public:
  QuestionOutput() {
    if (isatty(STDOUT_FILENO) != 0) {
      fd_ = STDOUT_FILENO;
      return;
    }
    owned_ = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (owned_ >= 0) {
      fd_ = owned_;
    } else if (isatty(STDERR_FILENO) != 0) {
      fd_ = STDERR_FILENO;
    }
  }
  ~QuestionOutput() {
    if (owned_ >= 0) close(owned_);
  }
  QuestionOutput(const QuestionOutput&) = delete;
  QuestionOutput& operator=(const QuestionOutput&) = delete;

  bool Usable() const { return fd_ >= 0; }
  bool IsStdout() const { return fd_ == STDOUT_FILENO; }
  void Write(const std::string& text) const {
    if (fd_ == STDOUT_FILENO) {
      Print(text);
      return;
    }
    std::fflush(stdout);
    size_t done = 0;
    while (fd_ >= 0 && done < text.size()) {
      const ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

 private:
  int fd_ = -1;
  int owned_ = -1;
};

bool ReadAnswerLine() {
  std::string line;
  return static_cast<bool>(std::getline(std::cin, line)) &&
         CTerminalDialogLayer::IsOkAnswer(line);
}

}  // namespace

CTerminalDialogLayer::CTerminalDialogLayer()
    : outputIsTerminal_(DrawsInPlace(stdout)) {}

bool CTerminalDialogLayer::IsOkAnswer(const std::string& line) {
  std::string word;
  for (char c : line) {
    if (c == '\r' || c == '\n') continue;
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return word.empty() || word == "y" || word == "yes" || word == "ok";
}

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

CTerminalDialogLayer::Answer CTerminalDialogLayer::Ask(const std::string& shown) {
  if (isatty(STDIN_FILENO) == 0) {
    // A scripted answer: the prompt and the answer go with the output.
    Print(kPrompt);
    const bool ok = ReadAnswerLine();
    Print(ok ? "OK\n" : "Cancel\n");
    return ok ? Answer::kOk : Answer::kCancel;
  }
  // Keys pressed while the flash was read were not an answer to a question
  // not yet shown: an Enter among them would start the write unasked.
  tcflush(STDIN_FILENO, TCIFLUSH);
  const QuestionOutput out;
  if (!out.Usable()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: the question cannot be shown on the terminal that would answer it "
                         "(standard output is no terminal and no terminal can be opened); "
                         "nothing is written: use --yes to answer OK in advance\n",
                 ProgramName().c_str());
    std::fflush(stderr);
    return Answer::kCannotAsk;
  }
  if (!out.IsStdout()) out.Write(shown);
  out.Write(kPrompt);
  const bool ok = ReadAnswerLine();
  // The output (a file) keeps the answer.
  if (!out.IsStdout()) Print(ok ? "OK\n" : "Cancel\n");
  return ok ? Answer::kOk : Answer::kCancel;
}

namespace {

// Waits for a line on standard input (a terminal) until a held signal has
// arrived; the line is read and dropped.
void ReadLineUnlessSignalled() {
  for (;;) {
    if (CSignalHold::Arrived() != 0) return;
    if (std::cin.rdbuf()->in_avail() <= 0) {
      struct pollfd input = {STDIN_FILENO, POLLIN, 0};
      const int ready = poll(&input, 1, 50);
      if (ready < 0 && errno != EINTR) return;
      if (ready <= 0) continue;
    }
    std::string line;
    std::getline(std::cin, line);
    return;
  }
}

}  // namespace

void CTerminalDialogLayer::WaitForEnter(const std::string& shown) {
  if (isatty(STDIN_FILENO) == 0) return;
  // A signal held during the write has asked the program to end: the report
  // is shown and the run ends with its status, without a wait.
  if (CSignalHold::Arrived() != 0) return;
  const QuestionOutput out;
  if (!out.Usable()) return;  // no one would see what is waited for
  if (!out.IsStdout()) out.Write(shown);
  // A signal while waiting closes the message like Enter: the run ends with
  // the message's status, not by the signal's default action. Outside a
  // write the signals are held for the wait alone, without a notice. The
  // hold starts before the prompt is shown, so a signal sent as soon as
  // the prompt appears is held too.
  CSignalHold waitHold;
  if (!CSignalHold::AnyHolding()) waitHold.Hold("");
  out.Write(kEnterToClose);
  ReadLineUnlessSignalled();
  if (CSignalHold::Arrived() != 0) out.Write("\n");
}

void CTerminalDialogLayer::RunMainWindow(CDialogControl* dialog, Window& window) {
  while (!dialog->Ended()) {
    const Answer answer = Ask(MainWindowText(window));
    dialog->OnCommand(answer == Answer::kOk ? COMMAND_OK : COMMAND_CANCEL);
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
      Print(InPlaceProgress(STDOUT_FILENO, static_cast<unsigned>(percent), work, elapsed));
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
  WaitForEnter(shown);
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
