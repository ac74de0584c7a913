// The Windows main dialog's file, settings and caption handling.
#include "WinMainDialog.h"

#include <cstring>

#include "FilRead.h"
#include "Messages.h"
#include "Settings.h"
#include "Win32Dialog.h"

#include "WindowsApi.h"
#include <commdlg.h>

int CWinMainDialog::GetCaption(char* buf, int size) {
  return zfwin::ReadSetting(zfwin::kCaptionKey, zfwin::kCaptionDefault, buf, size);
}

int CWinMainDialog::GetFirmwareFileName(char* buf, int size) {
  return zfwin::ReadSetting(zfwin::kFirmwareKey, zfwin::kFirmwareDefault, buf, size);
}

bool CWinMainDialog::SelectFirmwareFile(char* path) {
  if (path == nullptr) return false;
  char caption[zfwin::kSettingBufferSize];
  GetCaption(caption, sizeof caption);
  const std::string filter = zfwin::OpenFileFilter(zfwin::kFirmwareFilter);
  char chosen[zfwin::kSettingBufferSize] = {};  // no initial file name

  HWND owner = nullptr;
  if (auto* layer = dynamic_cast<CWin32DialogLayer*>(GetDialogLayer())) {
    owner = static_cast<HWND>(layer->WindowOf(this));
  }
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = chosen;
  ofn.nMaxFile = sizeof chosen;
  ofn.lpstrTitle = caption;
  ofn.lpstrDefExt = zfwin::DialogDefaultExtension(zfwin::kFirmwareDefaultExtension);
  ofn.Flags = OFN_OVERWRITEPROMPT | OFN_FILEMUSTEXIST | OFN_EXPLORER;
  if (!GetOpenFileNameA(&ofn)) return false;
  chosen[sizeof chosen - 1] = '\0';
  std::memcpy(path, chosen, sizeof chosen);
  return true;
}

bool CWinMainDialog::OpenSystemInformation(CFileRead* file) {
  return file->OpenPath(zfwin::kSettingsFileName);
}

int CWinMainDialog::OpenFirmwareFile(CFileRead* file) {
  char name[zfwin::kSettingBufferSize];
  GetFirmwareFileName(name, sizeof name);
  if (file->OpenPath(name)) return 0;
  char chosen[zfwin::kSettingBufferSize] = {};
  if (!SelectFirmwareFile(chosen)) return MSG_FW_NOT_SELECTED;
  return file->OpenPath(chosen) ? 0 : MSG_NO_FW_FILE;
}

void CWinMainDialog::OnChecksPassed() {
  char caption[zfwin::kSettingBufferSize];
  GetCaption(caption, sizeof caption);
  if (CDialogLayer* layer = GetDialogLayer()) layer->SetWindowTitle(this, caption);
}
