#include "AppMain.h"

#include <memory>
#include <vector>

#include "FilRead.h"
#include "MainDialog.h"
#include "PosixWriteGuard.h"
#include "TerminalDialog.h"
#ifdef ZEDRIKFU_HAVE_GTK
#include "GtkDialog.h"
#endif

ZF_VARIANT_BEGIN

int RunUpdater(int argc, char** argv) {
  std::string folder = ProgramFolder(argc > 0 ? argv[0] : nullptr);
  std::vector<char> appDir(folder.begin(), folder.end());
  appDir.push_back('\0');
  strAppDir = appDir.data();

  // GTK windows when a display can be opened, the terminal otherwise.
  std::unique_ptr<CDialogLayer> layer;
#ifdef ZEDRIKFU_HAVE_GTK
  layer = CreateGtkDialogLayer(&argc, &argv);
#endif
  if (!layer) layer = std::make_unique<CTerminalDialogLayer>();
  SetDialogLayer(layer.get());
  CPosixWriteGuard writeGuard;
  SetWriteGuard(&writeGuard);
  ResetLastMessageId();
  int status;
  {
    CMainDialog dialog;
    dialog.Create("MainWindow");
    status = dialog.ExitStatus();
  }
  SetWriteGuard(nullptr);
  SetDialogLayer(nullptr);
  strAppDir = nullptr;
  return status;
}

ZF_VARIANT_END
