#include "DialogStart.h"

#include <sys/stat.h>

#include <string>

#include "UpdaterRun.h"
#include "Messages.h"
#include "TerminalDialog.h"
#include "TerminalProgress.h"
#ifdef ZEDRIKFU_HAVE_GTK
#include "GtkDialog.h"
#endif

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
  const int started = StartCommandLine(*options, prepare);
  if (started >= 0) return started;
  if (options->mode != CliMode::kUpdate) return -1;
  *layer = OpenDialogLayer(argc, argv);
  options->dialogLayer = layer->get();
  return ChooseReleaseFile(layer->get(), *argc > 0 ? (*argv)[0] : nullptr, options);
}
