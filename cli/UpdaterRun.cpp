#include "UpdaterRun.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CliModes.h"
#include "Console.h"
#include "DialogControl.h"
#include "FilRead.h"
#include "History.h"
#include "RunHistory.h"
#include "TerminalDialog.h"
#include "TerminalProgress.h"
#include "WriteGuard.h"

namespace {

// Saves the flash as read before the first erase of an update with --backup.
bool SaveBackup(const std::string& path, const std::vector<unsigned char>& asRead) {
  std::string error;
  if (asRead.empty() || !SaveImageFile(path, asRead, &error, SaveMode::kNewFile)) {
    PrintCause("cannot save the backup " + path + ": " +
               (asRead.empty() ? std::string("the flash was not read") : error));
    return false;
  }
  std::printf("Saved the flash as read (%zu bytes) to %s\n", asRead.size(), path.c_str());
  std::fflush(stdout);
  return true;
}

// The update the command line asks for: its device choice and firmware
// file, the backup before the first erase, and OK given with --yes. The
// firmware file's digest goes to `file`.
UpdateRequest RequestOf(const CliOptions& options, WrittenFile* file) {
  UpdateRequest request;
  request.choice = options.haveChoice ? &options.choice : nullptr;
  request.release.openSystemInformation = [](CFileRead* opened) {
    return OpenSystemInformationFile(opened);
  };
  request.release.openFirmwareFile = [&options, file](CFileRead* opened) {
    const int message = OpenFirmwareFile(opened, options.firmware);
    if (message == 0) file->sha256 = Sha256Hex(opened->ReadTextFile(), opened->GetFileSize());
    return message;
  };
  // A backup holds the whole flash as it was; without one the update reads
  // only what it uses.
  request.readWholeFlash = !options.backup.empty();
  if (request.readWholeFlash) {
    request.beforeWrite = [&options](const std::vector<unsigned char>& asRead) {
      return SaveBackup(options.backup, asRead);
    };
  }
  request.answerOk = options.yes;
  if (options.yes) {
    // The question is not shown: a step back or a reinstall is still said
    // before the write.
    request.checksPassed = [](const UpdateDecision& decision) {
      if (decision.step == VersionStep::kOlder || decision.step == VersionStep::kSame) {
        std::printf("%s %s\n", decision.fromCaption, decision.toCaption);
        std::fflush(stdout);
      }
      VerboseLine("--yes: answering OK");
    };
  }
  request.policy = PolicyOf(options);
  return request;
}

}  // namespace

int RunUpdater(const CliOptions& options, const CoreOperations& core) {
  const RunClock clock;
  WrittenFile file{FirmwarePath(options), std::string()};
  // The layer the start of the run opened; the terminal when none was.
  std::unique_ptr<CDialogLayer> terminal;
  CDialogLayer* layer = options.dialogLayer;
  if (layer == nullptr) {
    terminal = std::make_unique<CTerminalDialogLayer>();
    layer = terminal.get();
  }
  SetDialogLayer(layer);
  std::unique_ptr<CWriteGuard> ownGuard;
  CWriteGuard* writeGuard = options.writeGuard;
  if (writeGuard == nullptr) {
    ownGuard = MakeWriteGuard();
    writeGuard = ownGuard.get();
  }
  SetWriteGuard(writeGuard);
  const UpdateOutcome outcome = core.update(RequestOf(options, &file));
  SetWriteGuard(nullptr);
  SetDialogLayer(nullptr);
  if (outcome.status == kExitError && outcome.lastMessage != 0 && !CausePrinted()) {
    PrintCause(CauseOfMessage(outcome.lastMessage, outcome.failure));
  }
  // Every run that erased keeps its record, whatever its outcome.
  if (outcome.erased) RecordUpdate(options, outcome, file, clock.Seconds());
  return outcome.status;
}
