#include "UpdaterRun.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CliModes.h"
#include "FilRead.h"
#include "MainDialog.h"
#include "Console.h"
#include "TerminalDialog.h"
#include "WriteGuard.h"
#include "TerminalProgress.h"

ZF_VARIANT_BEGIN

namespace {

// The main dialog with the command line's choices: the firmware file, the
// backup before the first erase, and OK given in advance.
class CCommandLineMainDialog : public CMainDialog {
 public:
  explicit CCommandLineMainDialog(const CliOptions& options) : options_(options) {
    SetDeviceChoice(options.haveChoice ? &options.choice : nullptr);
  }

 protected:
  bool OpenSystemInformation(CFileRead* file) override { return OpenSystemInformationFile(file); }
  int OpenFirmwareFile(CFileRead* file) override {
    return ::OpenFirmwareFile(file, options_.firmware);
  }
  // A backup holds the whole flash as it was; without one the update reads
  // only what it uses.
  bool ReadsWholeFlash() const override { return !options_.backup.empty(); }
  void OnFlashRead() override {
    if (options_.backup.empty() || Image() == nullptr) return;
    asRead_.assign(Image(), Image() + ImageSize());
  }
  bool BeforeWrite() override {
    if (options_.backup.empty()) return true;
    std::string error;
    if (asRead_.empty() || !SaveImageFile(options_.backup, asRead_, &error, SaveMode::kNewFile)) {
      PrintCause("cannot save the backup " + options_.backup + ": " +
                 (asRead_.empty() ? std::string("the flash was not read") : error));
      return false;
    }
    std::printf("Saved the flash as read (%zu bytes) to %s\n", asRead_.size(),
                options_.backup.c_str());
    std::fflush(stdout);
    return true;
  }
  void OnChecksPassed() override {
    if (!options_.yes) return;
    VerboseLine("--yes: answering OK");
    OnOK();
  }

 private:
  const CliOptions& options_;
  std::vector<unsigned char> asRead_;
};

}  // namespace

int RunUpdater(const CliOptions& options) {
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
  CCommandLineMainDialog dialog(options);
  dialog.Create("MainWindow");
  const int status = dialog.ExitStatus();
  SetWriteGuard(nullptr);
  SetDialogLayer(nullptr);
  const int last = dialog.LastMessage();
  if (status == 1 && last != 0 && !CausePrinted()) PrintCause(CauseOfMessage(last, dialog.Work()));
  return status;
}

ZF_VARIANT_END
