// Progress on a terminal: the phase (reading, erasing, writing, verifying),
// the bytes done and an estimate of the time left, drawn in place on a
// terminal and as plain lines otherwise. Used by the terminal dialog layer
// and by the command-line modes; what it asks of the console is Console.h's.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "Console.h"
#include "WorkProgress.h"

// " (writing, 12 KiB of 60 KiB, about 3 s left)": WorkText in parentheses,
// empty when no run is under way.
std::string DescribeWork(const WorkSnapshot& work, double elapsedSeconds);

// The progress line drawn in place on a terminal `width` columns wide: the
// bar, the percentage and DescribeWork's words, e.g.
// "[################                        ]  40% (writing, 24 KiB of 60 KiB)".
// It never reaches the last column (where the terminal would wrap it, and
// each redraw would leave a line behind): when it is too long the bar
// shrinks, then goes, and then the words are cut. A width below 1 counts as
// 80 columns. Neither the carriage return nor the erase to the end of the
// line is part of it.
std::string ComposeProgressLine(int width, unsigned percent, const WorkSnapshot& work,
                                double elapsedSeconds);
std::string FitProgressLine(int width, unsigned percent, const std::string& words);

// One in-place redraw for the terminal on `fd`: a carriage return, the line
// fitted to its width, and an erase to the end of the line.
std::string InPlaceProgress(int fd, unsigned percent, const WorkSnapshot& work,
                            double elapsedSeconds);

// --verbose: a line per phase on standard error.
void SetVerboseOutput(bool verbose);
bool VerboseOutput();
// Prints "program: text" on standard error when verbose.
void VerboseLine(const std::string& text);
void SetProgramName(const std::string& name);
const std::string& ProgramName();

// "program: text" on standard error, the one line naming a failure's cause.
// The last one is kept for the JSON report of --check.
void PrintCause(const std::string& text);
bool CausePrinted();
const std::string& LastCause();
// A new run: no cause printed yet.
void ForgetCause();

// --verbose: a line for every phase `work` has entered since `*announced`
// (a mask of PhasesEntered), in the order reading, erasing, writing,
// verifying. Nothing when `work` is null.
void AnnouncePhases(const CWorkReport* work, uint8_t* announced);

class TerminalProgress {
 public:
  // `inPlace` is overruled on a terminal with TERM=dumb (DrawsInPlace).
  // `work`: the report of the run drawn (the engine's), or null.
  TerminalProgress(FILE* out, bool inPlace, const CWorkReport* work)
      : out_(out), inPlace_(inPlace && DrawsInPlace(out)), work_(work) {}
  // Draws the bar of `percent` with the run's current work, when it
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
  const CWorkReport* work_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDrawn_{};
  int lastPercent_ = -1;
  uint8_t announced_ = 0;
  bool open_ = false;  // an in-place bar without its line break
};
