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

// Records an update whose write started (outcome.erased); `backup` is the
// backup the run saved, or empty.
void RecordUpdate(const CliOptions& options, const UpdateOutcome& outcome,
                  const WrittenFile& file, const std::string& backup, double seconds);

// Records a restore whose write ran (result.reported): `image` is the saved
// image it wrote, as read from its file.
void RecordRestore(const CliOptions& options, const FlashOperationResult& result,
                   const std::vector<unsigned char>& image, const std::string& backup,
                   double seconds);
