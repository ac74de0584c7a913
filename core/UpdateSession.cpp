#include "UpdateSession.h"

#include <cstdio>
#include <cstring>

#include "FilRead.h"
#include "IDFilter.h"
#include "SystemInformation.h"

ZF_VARIANT_BEGIN

namespace {

void FormatRevision(const char* prefix, uint16_t revision, char* out, unsigned size) {
  std::snprintf(out, size, "%s%d%d.%d%d", prefix, (revision >> 12) & 0xF, (revision >> 8) & 0xF,
                (revision >> 4) & 0xF, revision & 0xF);
}

UpdateDecision Ending(int message, MESSAGE_TYPE kind) {
  UpdateDecision decision;
  decision.message = message;
  decision.kind = kind;
  return decision;
}

// Starts a worker through `start` with `observer` as its callback, waits
// for its end and returns the start's result, or with `*completed` whether
// the run reached 100 (the engine's report of the run says so).
template <typename Start>
int RunToEnd(CFlashROM* engine, ProgressCallback observer, Start start, bool* completed,
             bool* reported) {
  const int result = start(observer);
  if (result == FLASH_OK) engine->WaitWorker();
  const CWorkReport::Verdict verdict = engine->Work().verdict();
  *completed = result == FLASH_OK && verdict == CWorkReport::Verdict::kCompleted;
  if (reported != nullptr) {
    *reported = result != FLASH_OK || verdict != CWorkReport::Verdict::kRunning;
  }
  return result;
}

// Reads the system information file into `information` and opens the
// device it admits: 0, or the message that ends the run.
int OpenRelease(CFlashROM* engine, const UpdateSessionHooks& hooks,
                CSystemInformation* information) {
  CFileRead systemFile;
  if (!hooks.openSystemInformation(&systemFile)) return MSG_NO_SYSINFO;
  information->SetInformationFile(reinterpret_cast<const char*>(systemFile.ReadTextFile()));
  systemFile.Close();
  IDFilter filter;
  information->AddFilter(&filter);
  return engine->OpenBridge(&filter).HeldElsewhere() ? MSG_ONLY_ONE : 0;
}

// Opens the firmware file and checks that it is built for the configured
// variant: 0, or the message that ends the run. No firmware file is larger
// than one area: a larger one is refused before it is read, whichever
// front-end opens it.
int OpenFirmware(const UpdateSessionHooks& hooks, const CSystemInformation& information,
                 CFileRead* file) {
  file->SetSizeLimit(kFirmwareFileSizeLimit);
  const int message = hooks.openFirmwareFile(file);
  if (message != 0) return message;
  return information.CheckFWTargetType(file->ReadTextFile(), file->GetFileSize())
             ? 0
             : MSG_DEVICE_DIFFERENT;
}

// The revision compared with the file's (0 when the firmware is not this
// bridge's, which then becomes the image's bridge) and the newest revision
// of any valid copy for this bridge.
void InstalledRevisions(CFlashROM* engine, int32_t target, uint16_t* current, uint16_t* newest) {
  *current = engine->GetFWVersion();
  *newest = 0;
  if (target != BRIDGEIC_QK9318E && target != BRIDGEIC_QK9318A) return;
  const uint32_t expected = target == BRIDGEIC_QK9318E ? kSignatureQK9318E : kSignatureQK9318A;
  if (engine->GetFWBridgeSignature() != expected) {
    *current = 0;
    engine->SetBridgeIC(static_cast<SROM_BRIDGEIC>(target));
  }
  *newest = engine->GetNewestFWVersion(expected);
}

// Places the file into the image and makes every check the write makes
// before its first erase: the placement, the compatibility word the new
// firmware needs of the bridge (from the version block the decision
// holds) and the plan. Leaves the message that ends the run in the
// decision, or 0 with the summary of the write.
void PlaceAndPlan(CFlashROM* engine, const unsigned char* firmware, uint32_t size,
                  bool versionKnown, UpdateDecision* decision) {
  auto end = [decision](int message, MESSAGE_TYPE kind) {
    decision->message = message;
    decision->kind = kind;
  };
  uint16_t required = 0;
  if (engine->SetFWCode(firmware, size, versionKnown) != 0 ||
      !engine->RequiredCompatibility(&required)) {
    return end(MSG_UPDATE_FAILED, MESSAGE_WARNING);
  }
  if (!CompatibilityAccepts(CompatibilityWordOf(decision->version), required)) {
    return end(MSG_DEVICE_DIFFERENT, MESSAGE_ERROR);
  }
  const WriteRequest request = engine->MakeWriteRequest();
  const WritePlan plan = PlanWrite(request);
  // Every region the file would change holds its bytes already.
  if (plan.refusal == PlanRefusal::kNothingToWrite) return end(MSG_ALREADY_LATEST, MESSAGE_WARNING);
  if (!plan.ok()) return end(MSG_UPDATE_FAILED, MESSAGE_WARNING);
  decision->write = SummarizePlan(plan, request, static_cast<uint32_t>(CFlashROM::kTransferUnit));
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

void FormatCaptions(VersionStep step, uint16_t current, uint16_t newest, uint16_t next,
                    UpdateDecision* decision) {
  char* to = decision->toCaption;
  const unsigned size = sizeof decision->toCaption;
  switch (step) {
    case VersionStep::kOlder:
      // Going back from the newest firmware the flash holds.
      FormatFromCaption(current > newest ? current : newest, decision->fromCaption,
                        sizeof decision->fromCaption);
      FormatRevision("to the OLDER version ", next, to, size);
      return;
    case VersionStep::kSame:
      FormatFromCaption(current, decision->fromCaption, sizeof decision->fromCaption);
      FormatRevision("to the SAME version ", next, to, size);
      std::snprintf(to + std::strlen(to), size - std::strlen(to), " (repair)");
      return;
    default:
      FormatFromCaption(current, decision->fromCaption, sizeof decision->fromCaption);
      FormatToCaption(next, to, size);
  }
}

VersionStep StepOf(uint16_t current, uint16_t newest, uint16_t next) {
  if (current < next && newest <= next) return VersionStep::kNewer;
  if (current > next || newest > next) return VersionStep::kOlder;
  return VersionStep::kSame;
}

namespace {

// The step from the flash's revisions to the file's (decision->offered),
// and whether the policy takes it; false with message 200 when not.
bool TakeStep(const VersionPolicy& policy, uint16_t current, uint16_t newest,
              UpdateDecision* decision) {
  decision->newest = newest;
  decision->step = StepOf(current, newest, decision->offered);
  if (PolicyAdmits(policy, decision->step)) return true;
  decision->message = MSG_ALREADY_LATEST;
  decision->kind = MESSAGE_WARNING;
  return false;
}

}  // namespace

bool PolicyAdmits(const VersionPolicy& policy, VersionStep step) {
  switch (step) {
    case VersionStep::kNewer: return true;
    case VersionStep::kOlder: return policy.allowOlder;
    case VersionStep::kSame: return policy.allowReinstall;
    case VersionStep::kUnknown: break;
  }
  return false;
}

bool OpenDefaultSystemInformation(CFileRead* file) { return file->Open("ZEDRIKFU.ini"); }

int OpenDefaultFirmwareFile(CFileRead* file) {
  return file->Open("MainFW.kqfw") ? 0 : MSG_NO_FW_FILE;
}

void CollectDeviceFacts(CFlashROM* engine, DeviceFacts* facts) {
  facts->opened = engine->GetOpenedDeviceInfo(&facts->usb);
  facts->copies = CopiesOf(engine->ImageModel());
  const ROM_PARAMETER_IMAGE& r = *engine->GetRomParameter();
  facts->flashSize = r.RomSizeLog2 < 32 ? (uint32_t{1} << r.RomSizeLog2) : 0;
  facts->eraseBlock = engine->GetEraseRomBlockSize();
  facts->serial = SerialOf(engine->ImageModel());
}

int WorkerStartMessage(int result, bool writing) {
  switch (result) {
    case FLASH_NOT_BRIDGE:
      return MSG_DEVICE_DIFFERENT;
    case FLASH_TRANSFER_FAILED:
      return writing ? MSG_UPDATE_FAILED : MSG_DEVICE_DIFFERENT;
    case FLASH_IMAGE_ERROR:
      return MSG_UPDATE_FAILED;
    default:
      // Any other start result (8: the flash part differs) still ends the
      // run: the nearest failure message of the mode.
      return writing ? MSG_UPDATE_FAILED : MSG_READ_ABORTED;
  }
}

namespace {

// A read run to its end: 0, or the message that ends the run.
template <typename Start>
int ReadToEnd(CFlashROM* engine, ProgressCallback observer, Start start) {
  bool completed = false;
  const int result = RunToEnd(engine, observer, start, &completed, nullptr);
  if (result != FLASH_OK) return WorkerStartMessage(result, false);
  return completed ? 0 : MSG_READ_ABORTED;
}

// A write run to its end, the device closed after it: MSG_UPDATED or the
// message that ends the run.
template <typename Start>
int WriteToEnd(CFlashROM* engine, ProgressCallback observer, Start start, bool* finalReport) {
  bool completed = false;
  const int result = RunToEnd(engine, observer, start, &completed, finalReport);
  engine->CloseFlashROM();
  if (result != FLASH_OK) return WorkerStartMessage(result, true);
  return completed ? MSG_UPDATED : MSG_UPDATE_FAILED;
}

}  // namespace

int ReadWithoutDialog(CFlashROM* engine, ProgressCallback observer) {
  return ReadToEnd(engine, observer,
                   [engine](ProgressCallback cb) { return engine->ReadFlashROM(cb); });
}

int WriteWithoutDialog(CFlashROM* engine, ProgressCallback observer, bool* finalReport) {
  return WriteToEnd(engine, observer,
                    [engine](ProgressCallback cb) { return engine->WriteFlashROM(cb); },
                    finalReport);
}

int ReadAsWithoutDialog(CFlashROM* engine, const ROM_PARAMETER_IMAGE& parameters,
                        ProgressCallback observer) {
  return ReadToEnd(engine, observer, [engine, &parameters](ProgressCallback cb) {
    return engine->ReadFlashROMAs(parameters, cb);
  });
}

int WriteStepsWithoutDialog(CFlashROM* engine, const std::vector<WriteStep>& steps,
                            ProgressCallback observer) {
  return WriteToEnd(engine, observer,
                    [engine, &steps](ProgressCallback cb) {
                      return engine->WriteFlashROMSteps(steps, cb);
                    },
                    nullptr);
}

void OpenReleaseFrom(const std::string* systemInformation,
                     const std::vector<unsigned char>* firmware, UpdateSessionHooks* hooks) {
  hooks->openSystemInformation = [systemInformation](CFileRead* file) {
    return file->SetContent(systemInformation->data(),
                            static_cast<uint32_t>(systemInformation->size()));
  };
  hooks->openFirmwareFile = [firmware](CFileRead* file) {
    return file->SetContent(firmware->data(), static_cast<uint32_t>(firmware->size()))
               ? 0
               : static_cast<int>(MSG_NO_FW_FILE);
  };
}

int CUpdateSession::Write(bool* finalReport) {
  return WriteWithoutDialog(engine_, hooks_.progress, finalReport);
}

UpdateDecision CUpdateSession::Prepare() {
  CFlashROM& engine = *engine_;

  // 1, 2. The system information file and the device it admits.
  CSystemInformation systemInformation;
  const int opened = OpenRelease(&engine, hooks_, &systemInformation);
  if (opened != 0) return Ending(opened, MESSAGE_ERROR);

  // 3, 4. The bridge answers and is the configured variant.
  unsigned char version[kVersionBlockSize] = {};
  if (!engine.USBCom_GetVersion(version, sizeof version)) {
    return Ending(MSG_NOT_FOUND, MESSAGE_ERROR);
  }
  // Every ending from here on reports the version block too.
  auto ending = [&version](int message, MESSAGE_TYPE kind) {
    UpdateDecision decision = Ending(message, kind);
    decision.versionRead = true;
    std::memcpy(decision.version, version, sizeof version);
    return decision;
  };
  if (!systemInformation.CheckTargetType(version)) {
    return ending(MSG_DEVICE_DIFFERENT, MESSAGE_ERROR);
  }

  // 5 to 7. The firmware file, built for that variant.
  CFileRead firmwareFile;
  const int firmwareMessage = OpenFirmware(hooks_, systemInformation, &firmwareFile);
  if (firmwareMessage != 0) return ending(firmwareMessage, MESSAGE_ERROR);
  const unsigned char* firmware = firmwareFile.ReadTextFile();
  const uint32_t firmwareSize = firmwareFile.GetFileSize();

  // 8. Read the flash: what the decision and the write of this file use.
  hooks_.readWholeFlash ? engine.ReadWholeFlash()
                        : engine.ReadOnlyForUpdate(firmwareSize, hooks_.unreadFill);
  const int readMessage =
      hooks_.readFlash ? hooks_.readFlash(&engine) : ReadWithoutDialog(&engine, hooks_.progress);
  if (readMessage == 0 && hooks_.flashRead) hooks_.flashRead(&engine);
  if (readMessage != 0) {
    UpdateDecision decision = ending(readMessage < 0 ? 0 : readMessage, MESSAGE_ERROR);
    decision.messageShown = readMessage < 0;
    return decision;
  }

  // 9. What the flash holds: the identity stored in the device, the
  //    installed revision (firmware of another bridge counts as none) and
  //    the newest valid copy's. A report names them whatever the outcome.
  _actionparamlist params = {};
  engine.GetActionParameter(&params);
  uint16_t current = 0, newest = 0;
  InstalledRevisions(&engine, systemInformation.TargetType(), &current, &newest);
  const uint16_t next = systemInformation.GetFWRevision(firmware, firmwareSize);
  UpdateDecision decision = ending(0, MESSAGE_ERROR);
  decision.flashRead = true;
  decision.bytesRead = engine.BytesRead().Bytes();
  decision.installed = current;
  decision.offered = next;
  if (!systemInformation.CheckSystemInformation(&params)) {
    decision.message = MSG_SYSINFO_DIFFERENT;
    return decision;
  }

  // 10. Never an older or the same revision unless the policy asks for it:
  //     not older than the copy that is compared, nor than any valid copy
  //     for this bridge (with two copies the one compared is the one written
  //     first, which may be the older of the two).
  if (!TakeStep(hooks_.policy, current, newest, &decision)) return decision;

  // 11. The two captions; a step back or a reinstall says so in the second.
  FormatCaptions(decision.step, current, newest, next, &decision);

  // 12, 13. The new image, and a write the bridge and the flash can take.
  // The placement's own version check holds for a newer file only.
  const bool versionKnown = current != 0 && decision.step == VersionStep::kNewer;
  PlaceAndPlan(&engine, firmware, firmwareSize, versionKnown, &decision);
  return decision;
}

ZF_VARIANT_END
