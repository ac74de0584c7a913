#include "CoreEntry.h"

#include <cstring>
#include <memory>
#include <vector>

#include "FlashOperations.h"
#include "MainDialog.h"
#include "UpdateSession.h"

ZF_VARIANT_BEGIN

namespace {

// The copies as the flash holds them, before the new firmware is placed.
void CollectCopies(CFlashROM* engine, DeviceFacts* facts) {
  facts->copies = CopiesOf(engine->ImageModel());
  const ROM_PARAMETER_IMAGE& r = *engine->GetRomParameter();
  facts->flashSize = r.RomSizeLog2 < 32 ? (uint32_t{1} << r.RomSizeLog2) : 0;
  facts->eraseBlock = engine->GetEraseRomBlockSize();
  facts->serial = SerialOf(engine->ImageModel());
}

class CUnattendedOperations : public CFlashOperations {
 public:
  explicit CUnattendedOperations(const DeviceChoice* choice) { engine_.SetDeviceChoice(choice); }

  const CWorkReport& Work() const override { return engine_.Work(); }

  CheckResult Check(const ReleaseSources& release, const VersionPolicy& policy,
                    ProgressCallback progress) override {
    CheckResult result;
    UpdateSessionHooks hooks;
    hooks.openSystemInformation = release.openSystemInformation;
    hooks.openFirmwareFile = release.openFirmwareFile;
    hooks.progress = progress;
    hooks.policy = policy;
    hooks.flashRead = [&result](CFlashROM* reading) { CollectCopies(reading, &result.device); };
    CUpdateSession session(&engine_, std::move(hooks));
    result.decision = session.Prepare();
    result.device.opened = engine_.GetOpenedDeviceInfo(&result.device.usb);
    if (result.decision.flashRead) result.device.part = IdentifyFlash(&engine_).name;
    if (result.device.opened && result.decision.versionRead) engine_.CloseFlashROM();
    result.failure = engine_.Work().LastFailure();
    return result;
  }

  FlashOperationResult ReadWholeFlash(const FlashOperationHooks& hooks) override {
    FlashOperationResult result = ::ReadWholeFlash(&engine_, hooks);
    result.failure = engine_.Work().LastFailure();
    return result;
  }

  FlashOperationResult Restore(const std::string& imagePath,
                               const FlashOperationHooks& hooks) override {
    FlashOperationResult result = RestoreFlash(&engine_, imagePath, hooks);
    result.failure = engine_.Work().LastFailure();
    return result;
  }

 private:
  CUnattendedFlashROM engine_;
};

// The main dialog of a request: its device choice and files, the backup
// before the first erase, and OK given in advance.
class COperationMainDialog : public CMainDialog {
 public:
  explicit COperationMainDialog(const UpdateRequest& request) : request_(request) {
    SetDeviceChoice(request.choice);
  }

 protected:
  bool OpenSystemInformation(CFileRead* file) override {
    if (!request_.release.openSystemInformation) return CMainDialog::OpenSystemInformation(file);
    return request_.release.openSystemInformation(file);
  }
  int OpenFirmwareFile(CFileRead* file) override {
    if (!request_.release.openFirmwareFile) return CMainDialog::OpenFirmwareFile(file);
    return request_.release.openFirmwareFile(file);
  }
  bool ReadsWholeFlash() const override { return request_.readWholeFlash; }
  VersionPolicy Policy() const override { return request_.policy; }
  void OnFlashRead() override {
    CollectCopies(this, &device_);
    device_.opened = GetOpenedDeviceInfo(&device_.usb);
    if (!request_.beforeWrite || Image() == nullptr) return;
    asRead_.assign(Image(), Image() + ImageSize());
  }
  bool BeforeWrite() override { return !request_.beforeWrite || request_.beforeWrite(asRead_); }
  void OnChecksPassed() override {
    if (request_.checksPassed) request_.checksPassed(Decision());
    if (request_.answerOk) OnOK();
  }

 public:
  // The device as the read found it: its position and copies.
  const DeviceFacts& Device() const { return device_; }

 private:
  const UpdateRequest& request_;
  DeviceFacts device_;
  std::vector<unsigned char> asRead_;
};

std::unique_ptr<CFlashOperations> MakeEngine(const DeviceChoice* choice) {
  return std::make_unique<CUnattendedOperations>(choice);
}

UpdateOutcome RunUpdate(const UpdateRequest& request) {
  COperationMainDialog dialog(request);
  dialog.Create("MainWindow");
  UpdateOutcome outcome;
  outcome.status = dialog.ExitStatus();
  outcome.lastMessage = dialog.LastMessage();
  outcome.failure = dialog.Work().LastFailure();
  outcome.decision = dialog.Decision();
  outcome.device = dialog.Device();
  outcome.erased = dialog.WriteStarted();
  return outcome;
}

}  // namespace

const CoreOperations& ThisCoreOperations() {
  static const CoreOperations operations = {MakeEngine, RunUpdate};
  return operations;
}

ZF_VARIANT_END
