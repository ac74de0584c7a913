// The start of a command-line run that every platform makes, and where a
// run finds its release: the same rules everywhere, with the platform's path
// separators (BuildRules.h).
#include "BuildRules.h"
#include "ImageSave.h"
#include "SystemPath.h"
#include "TerminalProgress.h"
#include "UpdaterRun.h"

namespace {

// The files a run would save are looked at before any device is: an existing
// backup or a path that cannot take an image ends the run with nothing read
// or written, rather than after the flash was read (or a file was chosen).
bool SaveTargetsFree(const CliOptions& options) {
  std::string error;
  if (!options.backup.empty() && !CheckSaveTarget(options.backup, SaveMode::kNewFile, &error)) {
    PrintCause("refused: cannot save the backup " + options.backup + ": " + error);
    return false;
  }
  if (options.mode == CliMode::kRead &&
      !CheckSaveTarget(options.readFile, SaveMode::kReplace, &error)) {
    PrintCause("refused: cannot save the flash to " + options.readFile + ": " + error);
    return false;
  }
  return true;
}

}  // namespace

int StartCommandLine(const CliOptions& options, const std::function<bool()>& prepare) {
  ForgetCause();
  SetProgramName(options.program);
  if (!SaveTargetsFree(options)) return kExitError;
  if (prepare && !prepare()) return kExitError;
  return -1;
}

std::string ProgramFolder(const char* argv0) {
  std::string path = argv0 != nullptr ? argv0 : "";
  const size_t slash = path.find_last_of(kPathSeparators);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ReleaseFolder(const CliOptions& options, const char* argv0) {
  std::string folder = options.dir.empty() ? ProgramFolder(argv0) : options.dir;
  if (!folder.empty() && std::string(kPathSeparators).find(folder.back()) == std::string::npos) {
    folder += kPathSeparators[0];
  }
  // A firmware file opened from a release folder (a file manager starts
  // "zedrikfu --firmware FILE"): its folder holds the release's ZEDRIKFU.ini.
  if (options.dir.empty() && !options.firmware.empty() && !PathExists(folder + "ZEDRIKFU.ini")) {
    const size_t slash = options.firmware.find_last_of(kPathSeparators);
    folder = slash == std::string::npos ? std::string() : options.firmware.substr(0, slash + 1);
  }
  return folder;
}
