#include "TerminalProgress.h"

#include <atomic>

namespace {

constexpr int kBarWidth = 40;
bool gVerbose = false;
std::string gProgramName = "zedrikfu";
std::atomic<TerminalProgress*> gInstalled{nullptr};

std::string Bytes(uint64_t bytes) {
  char text[32];
  if (bytes >= 10 * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes >> 20));
  } else if (bytes >= 10 * 1024) {
    std::snprintf(text, sizeof text, "%llu KiB", static_cast<unsigned long long>(bytes >> 10));
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return text;
}

}  // namespace

void SetVerboseOutput(bool verbose) { gVerbose = verbose; }
bool VerboseOutput() { return gVerbose; }
void SetProgramName(const std::string& name) { gProgramName = name; }
const std::string& ProgramName() { return gProgramName; }

void VerboseLine(const std::string& text) {
  if (!gVerbose) return;
  std::fprintf(stderr, "%s: %s\n", gProgramName.c_str(), text.c_str());
  std::fflush(stderr);
}

std::string DescribeWork(const WorkSnapshot& work, double elapsedSeconds) {
  if (work.phase == WorkPhase::kNone || work.total == 0) return "";
  std::string text = std::string(" (") + WorkPhaseName(work.phase) + ", " + Bytes(work.done) +
                     " of " + Bytes(work.total);
  if (elapsedSeconds >= 1.0 && work.done > 0 && work.done < work.total) {
    const double left =
        elapsedSeconds * static_cast<double>(work.total - work.done) / static_cast<double>(work.done);
    char estimate[48];
    if (left >= 120) {
      std::snprintf(estimate, sizeof estimate, ", about %d min left", static_cast<int>(left / 60 + 0.5));
    } else {
      std::snprintf(estimate, sizeof estimate, ", about %d s left", static_cast<int>(left + 0.5));
    }
    text += estimate;
  }
  return text + ")";
}

void AnnouncePhases(uint8_t* announced) {
  const uint8_t entered = PhasesEntered();
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
  const WorkSnapshot work = CurrentWork();
  const Clock::time_point now = Clock::now();
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  if (gVerbose && (PhasesEntered() & ~announced_) != 0) {
    if (open_) std::fputc('\n', out_);
    open_ = false;
    std::fflush(out_);
    AnnouncePhases(&announced_);
  }
  const int shown = static_cast<int>(percent);
  if (inPlace_) {
    const bool due = now - lastDrawn_ >= std::chrono::milliseconds(100);
    if (shown != lastPercent_ || due || final) {
      lastPercent_ = shown;
      lastDrawn_ = now;
      const int filled = shown * kBarWidth / 100;
      char number[8];
      std::snprintf(number, sizeof number, "%3d%%", shown);
      // Clear to the end of the line: the description can get shorter.
      std::string line = "\r[" + std::string(static_cast<size_t>(filled), '#') +
                         std::string(static_cast<size_t>(kBarWidth - filled), ' ') + "] " +
                         number + DescribeWork(work, elapsed) + "\x1b[K";
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
