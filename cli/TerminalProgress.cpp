#include "TerminalProgress.h"

#include "Console.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int kBarWidth = 40;
constexpr int kNarrowestBar = 10;     // a bar narrower than this says too little: none then
constexpr int kUnknownColumns = 80;
constexpr int kMostColumns = 1000;    // wider terminals get the full line anyway
bool gVerbose = false;
std::string gProgramName = "zedrikfu";
bool gCausePrinted = false;
std::string gLastCause;
std::atomic<TerminalProgress*> gInstalled{nullptr};

}  // namespace

void SetVerboseOutput(bool verbose) { gVerbose = verbose; }
bool VerboseOutput() { return gVerbose; }
void SetProgramName(const std::string& name) { gProgramName = name; }
const std::string& ProgramName() { return gProgramName; }

void PrintCause(const std::string& text) {
  gCausePrinted = true;
  gLastCause = text;
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", gProgramName.c_str(), text.c_str());
  std::fflush(stderr);
}

bool CausePrinted() { return gCausePrinted; }
const std::string& LastCause() { return gLastCause; }

void ForgetCause() {
  gCausePrinted = false;
  gLastCause.clear();
}

void VerboseLine(const std::string& text) {
  if (!gVerbose) return;
  std::fprintf(stderr, "%s: %s\n", gProgramName.c_str(), text.c_str());
  std::fflush(stderr);
}

std::string DescribeWork(const WorkSnapshot& work, double elapsedSeconds) {
  const std::string words = WorkText(work, elapsedSeconds);
  return words.empty() ? words : " (" + words + ")";
}

std::string FitProgressLine(int width, unsigned percent, const std::string& words) {
  if (width < 1) width = kUnknownColumns;
  if (width > kMostColumns) width = kMostColumns;
  if (percent > 100) percent = 100;
  // The last column stays free: text that reaches it makes some terminals
  // wrap at the next character, the carriage return included.
  const int room = width > 1 ? width - 1 : 1;
  char number[8];
  std::snprintf(number, sizeof number, "%3u%%", percent);
  const std::string text = number + words;
  const int decoration = 3;  // "[", "] " around the bar
  int bar = kBarWidth;
  if (decoration + bar + static_cast<int>(text.size()) > room) {
    bar = room - decoration - static_cast<int>(text.size());
  }
  if (bar >= kNarrowestBar) {
    const int filled = static_cast<int>(percent) * bar / 100;
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(bar - filled), ' ') + "] " + text;
  }
  return text.substr(0, static_cast<size_t>(room));
}

std::string ComposeProgressLine(int width, unsigned percent, const WorkSnapshot& work,
                                double elapsedSeconds) {
  return FitProgressLine(width, percent, DescribeWork(work, elapsedSeconds));
}

std::string InPlaceProgress(int fd, unsigned percent, const WorkSnapshot& work,
                            double elapsedSeconds) {
  return "\r" + ComposeProgressLine(TerminalColumns(fd), percent, work, elapsedSeconds) +
         "\x1b[K";
}

void AnnouncePhases(const CWorkReport* work, uint8_t* announced) {
  if (work == nullptr) return;
  const uint8_t entered = work->PhasesEntered();
  for (WorkPhase phase : {WorkPhase::kReading, WorkPhase::kErasing, WorkPhase::kWriting,
                          WorkPhase::kVerifying}) {
    const uint8_t bit = static_cast<uint8_t>(1u << static_cast<unsigned>(phase));
    if ((entered & bit) == 0 || (*announced & bit) != 0) continue;
    *announced = static_cast<uint8_t>(*announced | bit);
    VerboseLine(std::string(WorkPhaseName(phase)) + " the flash");
  }
}

void TerminalProgress::Restart() {
  start_ = Clock::now();
  lastDrawn_ = {};
  lastPercent_ = -1;
  announced_ = 0;
  open_ = false;
}

void TerminalProgress::Draw(unsigned percent, bool final) {
  if (percent > 100) percent = 100;
  const WorkSnapshot work = work_ != nullptr ? work_->Current() : WorkSnapshot{};
  const Clock::time_point now = Clock::now();
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  if (gVerbose && work_ != nullptr && (work_->PhasesEntered() & ~announced_) != 0) {
    if (open_) std::fputc('\n', out_);
    open_ = false;
    std::fflush(out_);
    AnnouncePhases(work_, &announced_);
  }
  const int shown = static_cast<int>(percent);
  if (inPlace_) {
    const bool due = now - lastDrawn_ >= std::chrono::milliseconds(100);
    if (shown != lastPercent_ || due || final) {
      lastPercent_ = shown;
      lastDrawn_ = now;
      // Erased to the end of the line: the description can get shorter.
      const std::string line = InPlaceProgress(fileno(out_), percent, work, elapsed);
      std::fputs(line.c_str(), out_);
      std::fflush(out_);
      open_ = true;
    }
    if (final && open_) {
      std::fputc('\n', out_);
      std::fflush(out_);
      open_ = false;
    }
  } else if (shown != lastPercent_ && (shown / 10 != lastPercent_ / 10 || lastPercent_ < 0 || final)) {
    lastPercent_ = shown;
    std::fprintf(out_, "Progress: %d%%%s\n", shown, DescribeWork(work, elapsed).c_str());
    std::fflush(out_);
  }
}

void TerminalProgress::Install(TerminalProgress* progress) {
  if (progress != nullptr) progress->Restart();
  gInstalled.store(progress);
}

void TerminalProgress::Observer(unsigned short percent, bool ok) {
  TerminalProgress* progress = gInstalled.load();
  if (progress == nullptr) return;
  progress->Draw(ok ? percent : 0, !ok || percent > 99);
}
