#include "MainDialog.h"

#include <cstdio>

#include "FilRead.h"
#include "IDFilter.h"
#include "Messages.h"
#include "ProgressDialog.h"
#include "SystemInformation.h"

namespace {

void FormatRevision(const char* prefix, uint16_t revision, char* out, unsigned size) {
  std::snprintf(out, size, "%s%d%d.%d%d", prefix, (revision >> 12) & 0xF, (revision >> 8) & 0xF,
                (revision >> 4) & 0xF, revision & 0xF);
}

}  // namespace

void FormatFromCaption(uint16_t revision, char* out, unsigned size) {
  if (revision == 0) {
    std::snprintf(out, size, "from version Unknown");
  } else {
    FormatRevision("from version ", revision, out, size);
  }
}

void FormatToCaption(uint16_t revision, char* out, unsigned size) {
  FormatRevision("to     version ", revision, out, size);
}

CMainDialog::~CMainDialog() {
  // Paths that end during the checks leave the device open: close it here,
  // without telling the bridge to leave vendor mode.
  WaitWorker();
  CloseDevice();
}

bool CMainDialog::OpenSystemInformation(CFileRead* file) { return file->Open("ZEDRIKFU.ini"); }

int CMainDialog::OpenFirmwareFile(CFileRead* file) {
  return file->Open("MainFW.kqfw") ? 0 : MSG_NO_FW_FILE;
}

void CMainDialog::Fail(int messageId, MESSAGE_TYPE kind) {
  failed_ = true;
  if (messageId != 0) MessageBox(messageId, kind);
  CDialogControl::OnCancel();
}

void CMainDialog::OnInitialize() {
  // 1. The system information file.
  CFileRead systemFile;
  if (!OpenSystemInformation(&systemFile)) {
    Fail(MSG_NO_SYSINFO, MESSAGE_ERROR);
    return;
  }
  CSystemInformation systemInformation;
  systemInformation.SetInformationFile(reinterpret_cast<const char*>(systemFile.ReadTextFile()));
  systemFile.Close();

  // 2. The device.
  IDFilter filter;
  systemInformation.AddFilter(&filter);
  if (OpenFlashROM(&filter) == kSelectAlreadyOpen) {
    Fail(MSG_ONLY_ONE, MESSAGE_ERROR);
    return;
  }

  // 3, 4. The bridge answers and is the configured variant.
  unsigned char version[kVersionBlockSize] = {};
  if (!USBCom_GetVersion(version, sizeof version)) {
    Fail(MSG_NOT_FOUND, MESSAGE_ERROR);
    return;
  }
  if (!systemInformation.CheckTargetType(version)) {
    Fail(MSG_DEVICE_DIFFERENT, MESSAGE_ERROR);
    return;
  }

  // 5 to 7. The firmware file, built for that variant.
  CFileRead firmwareFile;
  int firmwareMessage = OpenFirmwareFile(&firmwareFile);
  if (firmwareMessage != 0) {
    Fail(firmwareMessage, MESSAGE_ERROR);
    return;
  }
  const unsigned char* firmware = firmwareFile.ReadTextFile();
  const uint32_t firmwareSize = firmwareFile.GetFileSize();
  if (!systemInformation.CheckFWTargetType(firmware, firmwareSize)) {
    Fail(MSG_DEVICE_DIFFERENT, MESSAGE_ERROR);
    return;
  }

  // 8. Read the whole flash; the progress dialog reports its own failures.
  {
    CProgressDialog reading(this, PROGRESS_MODE_READ);
    if (reading.Create("ProgressDialog") != DIALOG_OK) {
      Fail(0, MESSAGE_ERROR);
      return;
    }
  }

  // 9. The identity stored in the device.
  _actionparamlist params = {};
  GetActionParameter(&params);
  if (!systemInformation.CheckSystemInformation(&params)) {
    Fail(MSG_SYSINFO_DIFFERENT, MESSAGE_ERROR);
    return;
  }

  // 10. The installed revision; firmware of another bridge counts as none.
  uint16_t current = GetFWVersion();
  const int32_t target = systemInformation.TargetType();
  if (target == BRIDGEIC_QK9318E || target == BRIDGEIC_QK9318A) {
    const uint32_t expected = target == BRIDGEIC_QK9318E ? kSignatureQK9318E : kSignatureQK9318A;
    if (GetFWBridgeSignature() != expected) {
      current = 0;
      SetBridgeIC(static_cast<SROM_BRIDGEIC>(target));
    }
  }

  // 11. Never an older or the same revision.
  const uint16_t next = systemInformation.GetFWRevision(firmware, firmwareSize);
  if (current >= next) {
    MessageBox(MSG_ALREADY_LATEST, MESSAGE_WARNING);
    CDialogControl::OnCancel();
    return;
  }

  // 12. The two captions.
  char caption[64];
  FormatFromCaption(current, caption, sizeof caption);
  SetControlCaption(kCaptionFromControl, caption);
  FormatToCaption(next, caption, sizeof caption);
  SetControlCaption(kCaptionToControl, caption);

  // 13. The new image.
  if (SetFWCode(firmware, firmwareSize, current != 0) != 0) {
    Fail(MSG_UPDATE_FAILED, MESSAGE_WARNING);
    return;
  }
  OnChecksPassed();
  // 14. The window is shown and waits for OK or Cancel.
}

void CMainDialog::OnOK() {
  int outcome;
  {
    CProgressDialog writing(this, PROGRESS_MODE_WRITE);
    outcome = writing.Create("ProgressDialog");
  }
  CloseFlashROM();
  if (outcome == DIALOG_OK) {
    wrote_ = true;
    MessageBox(MSG_UPDATED, MESSAGE_INFORMATION);
  } else {
    failed_ = true;
  }
  CDialogControl::OnOK();
}

int CMainDialog::ExitStatus() const {
  const int last = LastMessageId();
  if (wrote_ && last == MSG_UPDATED) return 0;
  if (last == MSG_ALREADY_LATEST) return 2;
  if (last == 0 && !failed_ && Outcome() == DIALOG_CANCEL) return 2;
  return 1;
}
