// What the engine's worker is doing: the phase, the bytes done of the run's
// total, the first command that failed and how the run ended. The worker
// publishes it; the front-ends read it to draw the progress and to name a
// failure's cause.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

enum class WorkPhase : uint8_t { kNone = 0, kReading, kErasing, kWriting, kVerifying };

struct WorkSnapshot {
  WorkPhase phase = WorkPhase::kNone;
  uint64_t done = 0;   // bytes of the run's steps done so far
  uint64_t total = 0;  // bytes of all the run's steps
};

struct WorkFailure {
  bool failed = false;
  WorkPhase phase = WorkPhase::kNone;
  uint32_t address = 0;  // flash address of the failing command
  uint32_t length = 0;   // bytes it moved (0 for an erase)
  bool mismatch = false; // verify: the bytes read back differ
};

// What one run of the engine's worker reports: the phase, the bytes done of
// the run's total, the phases entered, the first failing command and the
// verdict. The engine owns one and its worker writes it; the front-ends
// (the dialogs' bars, the terminal, the command line's causes) read it.
// Every member is one atomic word: the worker and the reading thread never
// wait for each other.
class CWorkReport {
 public:
  enum class Verdict : uint8_t { kRunning, kCompleted, kFailed };

  // A new run: nothing done, no failure, running.
  void Reset();
  // The worker's reports; cheap (one atomic store or exchange each).
  void Work(WorkPhase phase, uint64_t done, uint64_t total);
  void Failure(WorkPhase phase, uint32_t address, uint32_t length, bool mismatch);
  // The run's final report: completed (the bar reached 100) or failed. The
  // first one counts.
  void End(bool completed);

  WorkSnapshot Current() const;
  // The phases the run has entered so far, bit (1 << phase) each: a front-end
  // that polls still learns of a phase that came and went between two polls.
  uint8_t PhasesEntered() const { return phases_.load(); }
  WorkFailure LastFailure() const;
  Verdict verdict() const { return static_cast<Verdict>(verdict_.load()); }

 private:
  std::atomic<uint64_t> work_{0};
  std::atomic<uint64_t> failure_{0};
  std::atomic<uint8_t> phases_{0};
  std::atomic<uint8_t> verdict_{0};
};

// "reading", "erasing", "writing", "verifying" (empty for none).
const char* WorkPhaseName(WorkPhase phase);

// What the run is doing, in the words every front-end shows with its bar:
// "writing, 12 KiB of 60 KiB, about 3 s left" (the estimate once a second
// has passed since the run started and some bytes are done); empty when no
// run is under way.
std::string WorkText(const WorkSnapshot& work, double elapsedSeconds);
