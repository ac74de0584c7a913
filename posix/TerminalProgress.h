// Progress on a terminal: the phase (reading, erasing, writing, verifying),
// the bytes done and an estimate of the time left, drawn in place on a
// terminal and as plain lines otherwise. Used by the terminal dialog layer
// and by the command-line modes.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "WorkProgress.h"

// " (writing, 12 kB of 60 kB, about 3 s left)"; the estimate only once a
// second has passed and some bytes are done.
std::string DescribeWork(const WorkSnapshot& work, double elapsedSeconds);

// --verbose: a line per phase on standard error.
void SetVerboseOutput(bool verbose);
bool VerboseOutput();
// Prints "program: text" on standard error when verbose.
void VerboseLine(const std::string& text);
void SetProgramName(const std::string& name);
const std::string& ProgramName();

// --verbose: a line for every phase entered since `*announced` (a mask of
// PhasesEntered), in the order reading, erasing, writing, verifying.
void AnnouncePhases(uint8_t* announced);

class TerminalProgress {
 public:
  TerminalProgress(FILE* out, bool inPlace) : out_(out), inPlace_(inPlace) {}
  // Draws the bar of `percent` with the engine's current work, when it
  // changed: in place at most every 100 ms, as a plain line at every tenth.
  // `final` ends the drawing (a line break after an in-place bar).
  void Draw(unsigned percent, bool final);
  void Restart();

  // A progress report for the workers (ProgressCallback): draws on the
  // progress installed with Install (one at a time).
  static void Observer(unsigned short percent, bool ok);
  static void Install(TerminalProgress* progress);

 private:
  using Clock = std::chrono::steady_clock;
  FILE* out_;
  bool inPlace_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDrawn_{};
  int lastPercent_ = -1;
  uint8_t announced_ = 0;
  bool open_ = false;  // an in-place bar without its line break
};
