// What the engine's worker is doing: the phase, the bytes done of the run's
// total and the first command that failed. The worker publishes it; the
// front-ends read it to draw the progress and to name a failure's cause.
#pragma once

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

// Called by the worker thread; cheap (one atomic store each).
void ReportWork(WorkPhase phase, uint64_t done, uint64_t total);
void ReportWorkFailure(WorkPhase phase, uint32_t address, uint32_t length, bool mismatch);
// Forgets the last run (called when a worker starts).
void ResetWork();

WorkSnapshot CurrentWork();
// The phases the run has entered so far, bit (1 << phase) each: a front-end
// that polls still learns of a phase that came and went between two polls.
uint8_t PhasesEntered();
WorkFailure LastWorkFailure();

// "reading", "erasing", "writing", "verifying" (empty for none).
const char* WorkPhaseName(WorkPhase phase);

// What the run is doing, in the words every front-end shows with its bar:
// "writing, 12 KiB of 60 KiB, about 3 s left" (the estimate once a second
// has passed since the run started and some bytes are done); empty when no
// run is under way.
std::string WorkText(const WorkSnapshot& work, double elapsedSeconds);
