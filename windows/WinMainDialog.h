// The main dialog of the Windows build: the update flow of the core with
// the Windows ways of finding its files and its caption.
#pragma once

#include <string>

#include "MainDialog.h"
#include "RunHistory.h"

class CWinMainDialog : public CMainDialog {
 public:
  CWinMainDialog() = default;

  // The setting "Caption" (default "ZEDRIK") or "Firmware" (default
  // "MainFW.kqfw") of the settings file beside the program, in UTF-8.
  std::string GetCaption();
  std::string GetFirmwareFileName();
  // Runs the open-file dialog for a firmware file. True with the chosen full
  // path in `path` (UTF-8) when the user confirms.
  bool SelectFirmwareFile(std::string* path);
  // The firmware file the run opened, for the update history.
  const WrittenFile& Firmware() const { return firmware_; }

 protected:
  // The system information file by its bare name, in the current directory.
  bool OpenSystemInformation(CFileRead* file) override;
  // The file named by the settings, else the one the user chooses: 106 when
  // the user chooses none, 105 when the chosen file cannot be opened.
  int OpenFirmwareFile(CFileRead* file) override;
  // Every check has passed: the main dialog's title becomes the caption.
  void OnChecksPassed() override;

 private:
  WrittenFile firmware_;
};
