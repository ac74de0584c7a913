// The Windows main dialog's file, settings and caption handling.
#include "WinMainDialog.h"

#include <vector>

#include "FilRead.h"
#include "Messages.h"
#include "Settings.h"
#include "Win32Dialog.h"

#include "WideText.h"
#include "WindowsApi.h"
#include <commdlg.h>

namespace {

// The room the open-file dialog has for the chosen path, in characters: the
// longest path the wide calls take.
constexpr DWORD kChosenPathUnits = 32768;

}  // namespace

std::string CWinMainDialog::GetCaption() {
  return zfwin::ReadSetting(zfwin::kCaptionKey, zfwin::kCaptionDefault);
}

std::string CWinMainDialog::GetFirmwareFileName() {
  return zfwin::ReadSetting(zfwin::kFirmwareKey, zfwin::kFirmwareDefault);
}

bool CWinMainDialog::SelectFirmwareFile(std::string* path) {
  if (path == nullptr) return false;
  const std::wstring caption = zfwin::ShownText(GetCaption());
  const std::wstring filter = zfwin::ShownText(zfwin::OpenFileFilter(zfwin::kFirmwareFilter));
  const std::wstring extension =
      zfwin::ShownText(zfwin::DialogDefaultExtension(zfwin::kFirmwareDefaultExtension));
  std::vector<wchar_t> chosen(kChosenPathUnits, L'\0');  // no initial file name

  HWND owner = nullptr;
  if (auto* layer = dynamic_cast<CWin32DialogLayer*>(GetDialogLayer())) {
    owner = static_cast<HWND>(layer->WindowOf(this));
  }
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = chosen.data();
  ofn.nMaxFile = kChosenPathUnits;
  ofn.lpstrTitle = caption.c_str();
  ofn.lpstrDefExt = extension.c_str();
  ofn.Flags = OFN_OVERWRITEPROMPT | OFN_FILEMUSTEXIST | OFN_EXPLORER;
  if (!GetOpenFileNameW(&ofn)) return false;
  chosen.back() = L'\0';
  *path = zfwin::Utf8Of(chosen.data());
  return !path->empty();
}

bool CWinMainDialog::OpenSystemInformation(CFileRead* file) {
  return file->OpenPath(zfwin::kSettingsFileName);
}

int CWinMainDialog::OpenFirmwareFile(CFileRead* file) {
  std::string path = GetFirmwareFileName();
  if (!file->OpenPath(path.c_str())) {
    if (!SelectFirmwareFile(&path)) return MSG_FW_NOT_SELECTED;
    if (!file->OpenPath(path.c_str())) return MSG_NO_FW_FILE;
  }
  firmware_.path = path;
  firmware_.sha256 = Sha256Hex(file->ReadTextFile(), file->GetFileSize());
  return 0;
}

void CWinMainDialog::OnChecksPassed() {
  if (CDialogLayer* layer = GetDialogLayer()) layer->SetWindowTitle(this, GetCaption().c_str());
}
