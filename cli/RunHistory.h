// The history records of the runs that write: what an update or a restore
// found, wrote and ended with, as the update history (History.h) keeps it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "History.h"
#include "Operations.h"

// The file a run writes from, as its record names it.
struct WrittenFile {
  std::string path;
  std::string sha256;  // empty until the file was read
};

// The time a run has taken since it was made.
class RunClock {
 public:
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Records an update whose write started (outcome.erased). A write starts
// only after the backup of --backup was saved: the record names it.
void RecordUpdate(const CliOptions& options, const UpdateOutcome& outcome,
                  const WrittenFile& file, double seconds);

// Records a restore whose write ran (result.reported), from the image it
// wrote (result.image), after the backup of --backup was saved.
void RecordRestore(const CliOptions& options, const FlashOperationResult& result,
                   double seconds);
