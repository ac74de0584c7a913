#include "DialogStart.h"

#include <sys/stat.h>

#include <string>

#include "UpdaterRun.h"
#include "ImageSave.h"
#include "Messages.h"
#include "TerminalDialog.h"
#include "TerminalProgress.h"
#ifdef ZEDRIKFU_HAVE_GTK
#include "GtkDialog.h"
#endif

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

std::unique_ptr<CDialogLayer> OpenDialogLayer(int* argc, char*** argv) {
  std::unique_ptr<CDialogLayer> layer;
#ifdef ZEDRIKFU_HAVE_GTK
  layer = CreateGtkDialogLayer(argc, argv);
#else
  (void)argc;
  (void)argv;
#endif
  if (!layer) layer = std::make_unique<CTerminalDialogLayer>();
  return layer;
}

int ChooseReleaseFile(CDialogLayer* layer, const char* argv0, CliOptions* options) {
  if (!layer->CanChooseFiles() || !options->dir.empty() || !options->firmware.empty()) return -1;
  struct stat st;
  if (stat((ReleaseFolder(*options, argv0) + "ZEDRIKFU.ini").c_str(), &st) == 0) return -1;
  std::string chosen;
  if (layer->ChooseFirmwareFile(&chosen)) {
    options->firmware = chosen;
    return -1;
  }
  // No file chosen: message 106 without a window behind it.
  CDialogLayer* const shown = GetDialogLayer();
  SetDialogLayer(layer);
  CDialogControl noWindow;
  noWindow.MessageBox(MSG_FW_NOT_SELECTED, MESSAGE_ERROR);
  SetDialogLayer(shown);
  PrintCause("no firmware file was chosen");
  return kExitError;
}

int StartRun(int* argc, char*** argv, CliOptions* options, const std::function<bool()>& prepare,
             std::unique_ptr<CDialogLayer>* layer) {
  ForgetCause();
  SetProgramName(options->program);
  if (!SaveTargetsFree(*options)) return kExitError;
  if (prepare && !prepare()) return kExitError;
  if (options->mode != CliMode::kUpdate) return -1;
  *layer = OpenDialogLayer(argc, argv);
  options->dialogLayer = layer->get();
  return ChooseReleaseFile(layer->get(), *argc > 0 ? (*argv)[0] : nullptr, options);
}
