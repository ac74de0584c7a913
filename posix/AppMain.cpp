#include "AppMain.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CliModes.h"
#include "FilRead.h"
#include "MainDialog.h"
#include "PosixWriteGuard.h"
#include "Messages.h"
#include "TerminalDialog.h"
#include "TerminalProgress.h"
#ifdef ZEDRIKFU_HAVE_GTK
#include "GtkDialog.h"
#endif

ZF_VARIANT_BEGIN

namespace {

// The main dialog with the command line's choices: the firmware file, the
// backup before the first erase, and OK given in advance.
class CCommandLineMainDialog : public CMainDialog {
 public:
  explicit CCommandLineMainDialog(const CliOptions& options) : options_(options) {}

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

// Started from the desktop, the program's folder holds no release. A layer
// with a file chooser then asks for the firmware file, and the release is
// the chosen file's folder. DIALOG_OK: `options` and `appDir` (the backing
// of strAppDir) name the chosen file and its folder; DIALOG_CANCEL: the
// chooser was closed without a file; DIALOG_NOT_CREATED: nothing to ask.
int ChooseRelease(CDialogLayer* layer, CliOptions* options, std::vector<char>* appDir) {
  if (!layer->CanChooseFiles() || !options->dir.empty() || !options->firmware.empty()) {
    return DIALOG_NOT_CREATED;
  }
  const std::string folder = strAppDir != nullptr ? strAppDir : "";
  struct stat st;
  if (stat((folder + "ZEDRIKFU.ini").c_str(), &st) == 0) return DIALOG_NOT_CREATED;
  std::string chosen;
  if (!layer->ChooseFirmwareFile(&chosen)) return DIALOG_CANCEL;
  options->firmware = chosen;
  const size_t slash = chosen.rfind('/');
  const std::string release = slash == std::string::npos ? std::string() : chosen.substr(0, slash + 1);
  appDir->assign(release.begin(), release.end());
  appDir->push_back('\0');
  strAppDir = appDir->data();
  return DIALOG_OK;
}

}  // namespace

int RunUpdater(int argc, char** argv, const CliOptions& options) {
  // GTK windows when a display can be opened, the terminal otherwise.
  std::unique_ptr<CDialogLayer> layer;
#ifdef ZEDRIKFU_HAVE_GTK
  layer = CreateGtkDialogLayer(&argc, &argv);
#else
  (void)argc;
  (void)argv;
#endif
  if (!layer) layer = std::make_unique<CTerminalDialogLayer>();
  SetDialogLayer(layer.get());
  CPosixWriteGuard writeGuard;
  SetWriteGuard(&writeGuard);
  ResetLastMessageId();
  CliOptions chosen = options;
  std::vector<char> appDir;
  char* const givenAppDir = strAppDir;
  int status;
  if (ChooseRelease(layer.get(), &chosen, &appDir) == DIALOG_CANCEL) {
    // No file chosen: message 106 without a window behind it.
    CDialogControl noWindow;
    noWindow.MessageBox(MSG_FW_NOT_SELECTED, MESSAGE_ERROR);
    status = 1;
  } else {
    CCommandLineMainDialog dialog(chosen);
    dialog.Create("MainWindow");
    status = dialog.ExitStatus();
  }
  SetWriteGuard(nullptr);
  SetDialogLayer(nullptr);
  const int last = LastMessageId();
  if (status == 1 && last != 0 && !CausePrinted()) PrintCause(CauseOfMessage(last));
  strAppDir = givenAppDir;
  return status;
}

ZF_VARIANT_END
