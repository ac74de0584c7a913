#include "CoreEntry.h"

#include <memory>
#include <vector>

#include "FlashOperations.h"
#include "MainDialog.h"
#include "UpdateSession.h"

ZF_VARIANT_BEGIN

namespace {

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
    hooks.flashRead = [&result](CFlashROM* reading) {
      CollectDeviceFacts(reading, &result.device);
    };
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
    if (!request_.beforeWrite || Image() == nullptr) return;
    asRead_.assign(Image(), Image() + ImageSize());
  }
  bool BeforeWrite() override { return !request_.beforeWrite || request_.beforeWrite(asRead_); }
  void OnChecksPassed() override {
    if (request_.checksPassed) request_.checksPassed(Decision());
    if (request_.answerOk) OnOK();
  }

 private:
  const UpdateRequest& request_;
  std::vector<unsigned char> asRead_;
};

std::unique_ptr<CFlashOperations> MakeEngine(const DeviceChoice* choice) {
  return std::make_unique<CUnattendedOperations>(choice);
}

UpdateOutcome RunUpdate(const UpdateRequest& request) {
  COperationMainDialog dialog(request);
  dialog.Create("MainWindow");
  return dialog.RunOutcome();
}

}  // namespace

const CoreOperations& ThisCoreOperations() {
  static const CoreOperations operations = {MakeEngine, RunUpdate};
  return operations;
}

ZF_VARIANT_END
