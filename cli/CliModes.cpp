#include "CliModes.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "CommandSet.h"
#include "Console.h"
#include "FilRead.h"
#include "History.h"
#include "IDFilter.h"
#include "JsonText.h"
#include "RunHistory.h"
#include "Messages.h"
#include "Operations.h"
#include "SlotText.h"
#include "TerminalProgress.h"
#include "UpdaterRun.h"
#include "WriteGuard.h"
#include "common.h"

namespace {

// The line after message 202 when a restore failed: the message is the
// update's, this says what failed.
const char kRestoreFailed[] = "The restore of the flash failed.";

// The failed conversions of the parameter area's text in this run (a
// half-written area after an interrupted update), for the cause line.
std::string gSlotTextFailures;

void NoteSlotTextFailure(const char* line) {
  if (gSlotTextFailures.find(line) != std::string::npos) return;
  gSlotTextFailures += (gSlotTextFailures.empty() ? "" : ", ") + std::string(line);
}

// The conversion's lines go into the cause while a run lives.
class SlotTextFailuresToCause {
 public:
  SlotTextFailuresToCause() {
    gSlotTextFailures.clear();
    SlotTextFailureRoute() = NoteSlotTextFailure;
  }
  ~SlotTextFailuresToCause() { SlotTextFailureRoute() = nullptr; }
  SlotTextFailuresToCause(const SlotTextFailuresToCause&) = delete;
  SlotTextFailuresToCause& operator=(const SlotTextFailuresToCause&) = delete;
};

// The release folder as CFileRead puts it in front of the names.
std::string AppPath(const char* name) {
  return std::string(strAppDir != nullptr ? strAppDir : "") + name;
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

const char* VariantOfSignature(uint32_t signature) {
  if (signature == kSignatureQK9318A) return "QK9318A";
  if (signature == kSignatureQK9318E) return "QK9318E";
  return nullptr;
}

// The engine of a command-line mode takes the run's device choice
// (--device, --usb-id; any bridge of the chip maker for --read and
// --restore); the device is closed when it goes, as the main dialog does.
std::unique_ptr<CFlashOperations> ModeEngine(const CliOptions& options,
                                             const CoreOperations& core) {
  return core.engine(options.haveChoice ? &options.choice : nullptr);
}

// The progress of the modes: on the given stream, in place on a terminal.
class ScopedProgress {
 public:
  ScopedProgress(FILE* out, const CWorkReport& work)
      : progress_(out, DrawsInPlace(out), &work) {
    TerminalProgress::Install(&progress_);
  }
  ~ScopedProgress() { TerminalProgress::Install(nullptr); }
  ScopedProgress(const ScopedProgress&) = delete;
  ScopedProgress& operator=(const ScopedProgress&) = delete;

 private:
  TerminalProgress progress_;
};

// "USB 3f1c:0001 at bus 1 address 2"; on Windows, whose transport tells
// the disk number instead (bus 0), "USB 3f1c:0001, disk 2".
std::string DeviceText(const UsbDeviceInfo& usb) {
  const std::string text = "USB " + UsbIdText(usb);
  const std::string position = UsbPositionText(usb);
  if (position.empty()) return text;
  return text + (usb.bus == 0 ? ", " : " at ") + position;
}

void PrintMessage(int message) {
  const char* text = MessageText(message);
  if (text == nullptr) return;
  std::printf("\n[%s]\n%s\n", kProgramName, text);
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// What a check found.

nlohmann::ordered_json VersionJson(uint16_t version) {
  nlohmann::ordered_json v;
  v["text"] = VersionText(version);
  v["value"] = version;
  return v;
}

const char* StepName(VersionStep step) {
  switch (step) {
    case VersionStep::kNewer: return "newer";
    case VersionStep::kOlder: return "older";
    case VersionStep::kSame: return "same";
    case VersionStep::kUnknown: break;
  }
  return nullptr;
}

// A line on a file that is not newer than the flash's firmware: where the
// step goes, and the option that takes it (or that it was taken).
std::string StepLine(const CliOptions& options, const UpdateDecision& decision) {
  if (decision.step == VersionStep::kOlder) {
    const uint16_t from = std::max(decision.installed, decision.newest);
    return "version: the file goes back from " + VersionText(from) + " to the OLDER version " +
           VersionText(decision.offered) +
           (options.allowOlder ? " (--allow-older)" : "; --allow-older writes it");
  }
  if (decision.step == VersionStep::kSame) {
    return "version: the file equals the installed version " + VersionText(decision.offered) +
           (options.allowReinstall ? "; a copy that differs or is broken is repaired"
                                   : "; --allow-reinstall repairs a copy that differs or is "
                                     "broken");
  }
  return std::string();
}

int CheckExitStatus(const UpdateDecision& decision) {
  if (decision.Ask()) return kExitOk;
  if (decision.message == MSG_ALREADY_LATEST) return kExitNothingToDo;
  return kExitError;
}

std::string CheckCause(const CheckResult& check) {
  const UpdateDecision& decision = check.decision;
  if (decision.message == MSG_DEVICE_DIFFERENT && decision.versionRead) {
    const char* variant = VariantOfChipId(decision.version);
    return "the bridge answers with chip id '" + ChipIdText(decision.version) + "' (" +
           (variant != nullptr ? variant : "no bridge") + ", compatibility " +
           Hex(CompatibilityWordOf(decision.version), 4) +
           "); ZEDRIKFU.ini or the firmware file is made for another bridge";
  }
  return CauseOfMessage(decision.message, check.failure);
}

// One firmware copy; an erased one has no signature, size, version or CRC.
nlohmann::ordered_json CopyJson(const CopyFacts& copy) {
  const nlohmann::ordered_json none(nullptr);
  const char* variant = VariantOfSignature(copy.area.signature);
  return {{"number", copy.number},
          {"offset", copy.area.offset},
          {"inside", copy.area.inside},
          {"erased", copy.erased},
          {"signature", copy.erased ? none : nlohmann::ordered_json(copy.area.signature)},
          {"variant", variant != nullptr ? nlohmann::ordered_json(variant) : none},
          {"codeSize", copy.erased ? none : nlohmann::ordered_json(copy.area.codeSize)},
          {"version", copy.erased ? none : VersionJson(copy.area.version)},
          {"crc", copy.erased ? "erased" : copy.area.crcGood ? "good" : "broken"}};
}

nlohmann::ordered_json CheckJson(const CliOptions& options, const CheckResult& check,
                                 const std::string& firmwarePath, uint32_t firmwareSize,
                                 int status, const std::string& cause) {
  const UpdateDecision& decision = check.decision;
  const DeviceFacts& facts = check.device;
  nlohmann::ordered_json report;
  report["program"] = options.program;
  report["programVersion"] = ProgramVersion();
  report["result"] = status == kExitOk ? "update" : status == kExitNothingToDo ? "up-to-date"
                                                                                : "refused";
  report["exitStatus"] = status;
  if (decision.message != 0) {
    const char* text = MessageText(decision.message);
    report["message"] = {{"id", decision.message}, {"text", text != nullptr ? text : ""}};
  } else {
    report["message"] = nullptr;
  }
  report["cause"] = cause.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(cause);
  report["transport"] = options.transportName;

  if (decision.versionRead) {
    nlohmann::ordered_json bridge;
    const char* variant = VariantOfChipId(decision.version);
    bridge["variant"] = variant != nullptr ? nlohmann::ordered_json(variant) : nullptr;
    bridge["chipId"] = ChipIdText(decision.version);
    bridge["compatibility"] = CompatibilityWordOf(decision.version);
    bridge["vendorId"] = facts.usb.vendorId;
    bridge["productId"] = facts.usb.productId;
    bridge["usbId"] = UsbIdText(facts.usb);
    bridge["bus"] = facts.usb.bus;
    bridge["address"] = facts.usb.address;
    report["bridge"] = bridge;
  } else {
    report["bridge"] = nullptr;
  }
  if (decision.flashRead) {
    report["flash"] = {{"part", facts.part.empty() ? nlohmann::ordered_json(nullptr)
                                                   : nlohmann::ordered_json(facts.part)},
                       {"size", facts.flashSize},
                       {"eraseBlock", facts.eraseBlock},
                       {"bytesRead", decision.bytesRead}};
    nlohmann::ordered_json copies = nlohmann::ordered_json::array();
    for (const CopyFacts& copy : facts.copies) copies.push_back(CopyJson(copy));
    report["copies"] = copies;
    report["installedVersion"] =
        decision.installed != 0 ? VersionJson(decision.installed) : nlohmann::ordered_json(nullptr);
  } else {
    report["flash"] = nullptr;
    report["copies"] = nullptr;
    report["installedVersion"] = nullptr;
  }
  if (decision.offered != 0 || decision.flashRead) {
    const char* step = StepName(decision.step);
    report["file"] = {{"path", firmwarePath}, {"size", firmwareSize},
                      {"version", VersionJson(decision.offered)},
                      {"step", step != nullptr ? nlohmann::ordered_json(step) : nullptr}};
  } else {
    report["file"] = nullptr;
  }
  if (decision.Ask()) {
    const WritePlanSummary& w = decision.write;
    report["update"] = {{"copies", w.copies},
                        {"regions", w.regions},
                        {"bytes", w.bytesWritten},
                        {"eraseBlocks", w.eraseBlocks},
                        {"commands",
                         {{"erase", w.eraseCommands},
                          {"write", w.writeCommands},
                          {"verify", w.verifyCommands}}},
                        {"writeBackRanges", w.writeBackRanges},
                        {"unchangedRegions", w.unchangedRegions}};
  } else {
    report["update"] = nullptr;
  }
  return report;
}

// A line for each firmware copy: "none" where the header names no copy,
// "erased" where the copy's area header is all 0xFF.
void PrintCopies(const DeviceFacts& facts) {
  for (int number = 1; number <= 2; ++number) {
    const auto copy = std::find_if(facts.copies.begin(), facts.copies.end(),
                                   [number](const CopyFacts& c) { return c.number == number; });
    if (copy == facts.copies.end()) {
      std::printf("copy %d: none\n", number);
    } else if (copy->erased) {
      std::printf("copy %d: offset %s, erased\n", number, Hex(copy->area.offset, 6).c_str());
    } else {
      const char* variant = VariantOfSignature(copy->area.signature);
      std::printf("copy %d: offset %s, version %s, signature %s (%s), %u code bytes, CRC %s\n",
                  number, Hex(copy->area.offset, 6).c_str(),
                  VersionText(copy->area.version).c_str(), Hex(copy->area.signature, 8).c_str(),
                  variant != nullptr ? variant : "unknown bridge", copy->area.codeSize,
                  copy->area.crcGood ? "good" : "broken");
    }
  }
}

void PrintCheckText(const CliOptions& options, const CheckResult& check,
                    const std::string& firmwarePath, uint32_t firmwareSize, int status) {
  const UpdateDecision& decision = check.decision;
  const DeviceFacts& facts = check.device;
  std::printf("transport: %s\n", options.transportName.c_str());
  if (decision.versionRead) {
    const char* variant = VariantOfChipId(decision.version);
    std::printf("bridge: %s (chip id %s, compatibility %s), %s\n",
                variant != nullptr ? variant : "not a bridge", ChipIdText(decision.version).c_str(),
                Hex(CompatibilityWordOf(decision.version), 4).c_str(),
                DeviceText(facts.usb).c_str());
  }
  if (decision.flashRead) {
    std::printf("flash: %s, %u bytes, erase block %u bytes; %llu bytes read\n",
                facts.part.empty() ? "unknown part" : facts.part.c_str(), facts.flashSize,
                facts.eraseBlock, static_cast<unsigned long long>(decision.bytesRead));
    PrintCopies(facts);
    std::printf("installed version: %s\n",
                decision.installed != 0 ? VersionText(decision.installed).c_str() : "unknown");
  }
  if (decision.offered != 0 || decision.flashRead) {
    std::printf("file: %s, %u bytes, version %s\n", firmwarePath.c_str(), firmwareSize,
                VersionText(decision.offered).c_str());
    const std::string step = StepLine(options, decision);
    if (!step.empty()) std::printf("%s\n", step.c_str());
  }
  if (status == kExitOk) {
    const WritePlanSummary& w = decision.write;
    std::printf("update: would write %u cop%s (%u region%s), %llu bytes; erase %u block%s; "
                "commands: %u erase, %u write, %u verify\n",
                w.copies, w.copies == 1 ? "y" : "ies", w.regions, w.regions == 1 ? "" : "s",
                static_cast<unsigned long long>(w.bytesWritten), w.eraseBlocks,
                w.eraseBlocks == 1 ? "" : "s", w.eraseCommands, w.writeCommands,
                w.verifyCommands);
    if (w.unchangedRegions != 0) {
      std::printf("update: %u region%s already hold%s the file and stay%s as %s\n",
                  w.unchangedRegions, w.unchangedRegions == 1 ? "" : "s",
                  w.unchangedRegions == 1 ? "s" : "", w.unchangedRegions == 1 ? "s" : "",
                  w.unchangedRegions == 1 ? "it is" : "they are");
    }
  } else {
    const char* text = MessageText(decision.message);
    std::printf("update: %s%s\n", status == kExitNothingToDo ? "nothing to do: " : "refused: ",
                text != nullptr ? text : "");
  }
  std::fflush(stdout);
}

int RunCheck(const CliOptions& options, const CoreOperations& core) {
  std::unique_ptr<StdoutToStderr> redirect;
  if (options.json) redirect = std::make_unique<StdoutToStderr>();
  const std::unique_ptr<CFlashOperations> engine = ModeEngine(options, core);
  const std::string firmwarePath = FirmwarePath(options);
  uint32_t firmwareSize = 0;

  ReleaseSources release;
  release.openSystemInformation = [](CFileRead* file) { return OpenSystemInformationFile(file); };
  release.openFirmwareFile = [&options, &firmwareSize](CFileRead* file) {
    const int message = OpenFirmwareFile(file, options.firmware);
    if (message == 0) firmwareSize = file->GetFileSize();
    return message;
  };
  CheckResult check;
  {
    // The read's progress on standard error (the report goes to standard
    // output); only the read reports progress.
    ScopedProgress progress(stderr, engine->Work());
    check = engine->Check(release, PolicyOf(options), &TerminalProgress::Observer);
  }
  const UpdateDecision& decision = check.decision;
  const int status = CheckExitStatus(decision);
  if (status == kExitError && !CausePrinted()) PrintCause(CheckCause(check));
  const std::string cause = status == kExitError ? LastCause() : std::string();
  if (options.json) {
    redirect.reset();
    const nlohmann::ordered_json report =
        CheckJson(options, check, firmwarePath, firmwareSize, status, cause);
    // Paths are bytes, not always UTF-8: a byte that is no part of valid
    // UTF-8 becomes U+FFFD, so that the report stays valid JSON.
    std::printf("%s\n", JsonText(report, 2).c_str());
    std::fflush(stdout);
  } else {
    if (decision.message != 0 && !decision.messageShown) PrintMessage(decision.message);
    PrintCheckText(options, check, firmwarePath, firmwareSize, status);
  }
  return status;
}

// ---------------------------------------------------------------------------
// Read and restore: the device found without the system information file
// and identified without its header.

// ---------------------------------------------------------------------------
// Read and restore: the core's operations (FlashOperations.h), with the
// texts, the question, the progress and the saved files of the terminal.

// Shows `message`, names its cause on standard error unless a cause line
// was printed already, and gives the exit status of a failed run.
int EndWithMessage(int message, const WorkFailure& failure) {
  PrintMessage(message);
  if (!CausePrinted()) PrintCause(CauseOfMessage(message, failure));
  return kExitError;
}

// The hooks both operations share: the cause line, the verbose line of the
// bridge found and the read's progress on standard output.
FlashOperationHooks TerminalHooks(const CFlashOperations& engine,
                                  std::unique_ptr<ScopedProgress>* progress) {
  FlashOperationHooks hooks;
  hooks.cause = [](const std::string& text) { PrintCause(text); };
  hooks.progress = &TerminalProgress::Observer;
  hooks.phase = [&engine, progress](FlashPhase phase, const FlashOperationResult& result) {
    if (phase == FlashPhase::kReadStarts) {
      const BridgeIdentity& identity = result.identity;
      VerboseLine(std::string("bridge ") + identity.variant + " (" + DeviceText(identity.usb) +
                  "), flash " +
                  (identity.part.empty() ? "not identified by its probes" : identity.part));
      *progress = std::make_unique<ScopedProgress>(stdout, engine.Work());
    } else if (phase == FlashPhase::kReadEnded) {
      progress->reset();
    }
  };
  return hooks;
}

int RunRead(const CliOptions& options, const CoreOperations& core) {
  const std::unique_ptr<CFlashOperations> engine = ModeEngine(options, core);
  std::unique_ptr<ScopedProgress> progress;
  const FlashOperationResult result = engine->ReadWholeFlash(TerminalHooks(*engine, &progress));
  if (result.message != 0) return EndWithMessage(result.message, result.failure);
  std::string error;
  if (!SaveImageFile(options.readFile, result.flash, &error)) {
    PrintCause("cannot save the flash to " + options.readFile + ": " + error);
    return kExitError;
  }
  std::printf("Saved the flash (%zu bytes) to %s\n", result.flash.size(),
              options.readFile.c_str());
  return kExitOk;
}

// Asks OK or Cancel after `shown` was printed on standard output; the
// question appears where the answer is read.
bool AskToWrite(const CliOptions& options, const std::string& shown) {
  if (options.yes) {
    std::printf("OK (--yes)\n");
    return true;
  }
  return AskOnConsole(shown) == ConsoleAnswer::kOk;
}

// The first eight block ranges a restore erases, "0x000000-0x000FFF, ...".
std::string ErasedRanges(const std::vector<WriteStep>& steps) {
  std::string ranges;
  uint32_t blocks = 0;
  for (const WriteStep& step : steps) {
    if (step.kind != WriteStep::kErase) continue;
    if (++blocks <= 8) {
      ranges += (ranges.empty() ? "" : ", ") + Hex(step.start, 6) + "-" +
                Hex(step.start + step.length - 1, 6);
    } else if (blocks == 9) {
      ranges += ", ...";
    }
  }
  return ranges;
}

// What the restore will do and its question, as shown before the answer.
std::string RestoreQuestion(const std::string& name, const FlashOperationResult& result) {
  const BridgeIdentity& identity = result.identity;
  const uint32_t size = result.flashSize;
  const std::string part = identity.part.empty() ? "as its header describes" : identity.part;
  return std::string("\n[") + kProgramName + "]\nThe flash will be restored from " + name +
         ".\nbridge " + identity.variant + ", flash " + part + " (" + std::to_string(size) +
         " bytes, erase block " + std::to_string(result.eraseBlock) + " bytes)\n" +
         std::to_string(result.summary.eraseBlocks) + " of " +
         std::to_string(size / result.eraseBlock) + " erase blocks differ (" +
         ErasedRanges(result.plan.steps) + "): each is erased, " +
         std::to_string(result.summary.bytesWritten) +
         " bytes are written, and each block is verified\nDo you want to restore the flash?\n";
}

// The restore's own hooks: the question, the backup, the caution and the
// write's progress, and the outcome shown inside the write guard.
void AddRestoreHooks(const CliOptions& options, const CFlashOperations& engine,
                     std::unique_ptr<ScopedProgress>* progress, FlashOperationHooks* hooks) {
  hooks->ask = [&options](const FlashOperationResult& result) {
    const std::string shown = RestoreQuestion(options.restore, result);
    std::fputs(shown.c_str(), stdout);
    std::fflush(stdout);
    return AskToWrite(options, shown);
  };
  hooks->beforeWrite = [&options](const FlashOperationResult& result) {
    if (options.backup.empty()) return true;
    std::string error;
    if (!SaveImageFile(options.backup, result.flash, &error, SaveMode::kNewFile)) {
      PrintCause("cannot save the backup " + options.backup + ": " + error);
      return false;
    }
    std::printf("Saved the flash as read (%u bytes) to %s\n", result.flashSize,
                options.backup.c_str());
    return true;
  };
  const decltype(hooks->phase) readPhases = hooks->phase;
  hooks->phase = [&engine, progress, readPhases](FlashPhase phase,
                                                 const FlashOperationResult& result) {
    if (phase != FlashPhase::kWriteStarts) return readPhases(phase, result);
    std::printf("\n[%s]\nCAUTION!!\nPlease do NOT plug out nor turn off your device until "
                "completed!!\n",
                kProgramName);
    std::fflush(stdout);
    *progress = std::make_unique<ScopedProgress>(stdout, engine.Work());
  };
  hooks->written = [progress](const FlashOperationResult& result) {
    progress->reset();
    if (result.status == kExitOk) {
      std::printf("\n[%s]\nThe flash was restored: %u blocks written and verified.\nYou need "
                  "to turn off and on your device so that it can work with the restored "
                  "firmware.\n",
                  kProgramName, result.summary.eraseBlocks);
      std::fflush(stdout);
      return;
    }
    EndWithMessage(result.message, result.failure);
    std::printf("%s\n", kRestoreFailed);
    std::fflush(stdout);
  };
}

// The write guard of the platform, installed while a restore runs: on
// POSIX it holds SIGINT, SIGTERM, SIGHUP and SIGQUIT and keeps sleep and
// logout off from the start of the write until its outcome has been shown.
class InstalledWriteGuard {
 public:
  InstalledWriteGuard() : guard_(MakeWriteGuard()) { SetWriteGuard(guard_.get()); }
  ~InstalledWriteGuard() { SetWriteGuard(nullptr); }
  InstalledWriteGuard(const InstalledWriteGuard&) = delete;
  InstalledWriteGuard& operator=(const InstalledWriteGuard&) = delete;

 private:
  std::unique_ptr<CWriteGuard> guard_;
};

int RunRestore(const CliOptions& options, const CoreOperations& core) {
  const std::unique_ptr<CFlashOperations> engine = ModeEngine(options, core);
  std::unique_ptr<ScopedProgress> progress;
  FlashOperationHooks hooks = TerminalHooks(*engine, &progress);
  AddRestoreHooks(options, *engine, &progress, &hooks);
  const RunClock clock;
  FlashOperationResult result;
  {
    const InstalledWriteGuard guard;
    result = engine->Restore(options.restore, hooks);
  }
  if (result.reported) {
    // The write ran: its record, whatever its outcome. The backup was saved
    // before it.
    RecordRestore(options, result, clock.Seconds());
    return result.status;
  }
  if (result.bridges.size() > 1) {
    for (const UsbDeviceInfo& bridge : result.bridges) {
      std::fprintf(stderr, "  %s\n", DeviceText(bridge).c_str());
    }
  } else if (result.nothingToWrite) {
    std::printf("The flash already holds the image %s: nothing to write.\n",
                options.restore.c_str());
  } else if (result.message != 0) {
    EndWithMessage(result.message, result.failure);
    if (result.writeFailed) std::printf("%s\n", kRestoreFailed);
  }
  return result.status;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string CauseOfMessage(int message, const WorkFailure& failure) {
  if (failure.failed && (message == MSG_UPDATE_FAILED || message == MSG_READ_ABORTED)) {
    const std::string at = "flash address " + Hex(failure.address, 6);
    const std::string the = " (the bridge did not answer or refused the command)";
    switch (failure.phase) {
      case WorkPhase::kErasing:
        return "the erase of the block at " + at + " failed" + the;
      case WorkPhase::kWriting:
        return "the write of " + std::to_string(failure.length) + " bytes at " + at + " failed" +
               the;
      case WorkPhase::kVerifying:
        if (failure.mismatch) {
          return "verify: the " + std::to_string(failure.length) + " bytes read back at " + at +
                 " differ from those written";
        }
        return "verify: the read of " + std::to_string(failure.length) + " bytes at " + at +
               " failed" + the;
      case WorkPhase::kReading:
        return "the read of " + std::to_string(failure.length) + " bytes at " + at + " failed" +
               the;
      case WorkPhase::kNone:
        break;
    }
  }
  switch (message) {
    case MSG_NO_SYSINFO:
      return "cannot open the system information file " + AppPath("ZEDRIKFU.ini");
    case MSG_NO_FW_FILE:
      return "cannot open the firmware file";
    case MSG_READ_ABORTED:
      return "the read of the flash did not complete";
    case MSG_UPDATE_FAILED:
      return "the new firmware cannot be placed safely on this flash, or the bridge refused "
             "the flash parameters or its header cannot be read (its CRC does not hold: see "
             "--restore)";
    case MSG_NOT_FOUND:
      return "no connected device admitted by ZEDRIKFU.ini (and --device/--usb-id) answered "
             "as a QK9318 bridge";
    case MSG_DEVICE_DIFFERENT:
      return "the bridge variant or its compatibility word differs from what ZEDRIKFU.ini and "
             "the firmware file are made for";
    case MSG_SYSINFO_DIFFERENT:
      return "the USB identity stored in the flash matches no identity of ZEDRIKFU.ini" +
             (gSlotTextFailures.empty()
                  ? std::string()
                  : " (its text does not convert: " + gSlotTextFailures +
                        "; after an interrupted update, restore the backup)");
    case MSG_ONLY_ONE:
      return "the device is held by another program";
    default:
      return "the run ended with message " + std::to_string(message);
  }
}

std::string FirmwarePath(const CliOptions& options) {
  return options.firmware.empty() ? AppPath("MainFW.kqfw") : options.firmware;
}

bool OpenSystemInformationFile(CFileRead* file) {
  VerboseLine("reading the system information file");
  file->SetSizeLimit(kDefaultFileSizeLimit);
  if (file->Open("ZEDRIKFU.ini")) return true;
  const std::string path = AppPath("ZEDRIKFU.ini");
  PrintCause("cannot open the system information file " + path + ": " + file->OpenProblem());
  return false;
}

int OpenFirmwareFile(CFileRead* file, const std::string& firmware) {
  VerboseLine("reading the firmware file");
  std::string path;
  file->SetSizeLimit(kFirmwareFileSizeLimit);
  if (firmware.empty()) {
    if (file->Open("MainFW.kqfw")) return 0;
    path = AppPath("MainFW.kqfw");
  } else {
    std::printf("%s\n", firmware.c_str());
    std::fflush(stdout);
    if (file->OpenPath(firmware.c_str())) return 0;
    path = firmware;
  }
  PrintCause("cannot open the firmware file " + path + ": " + file->OpenProblem() +
             (file->OpenError() == FileOpenError::kTooLarge ? " bytes, the most a firmware file holds"
                                                            : ""));
  return MSG_NO_FW_FILE;
}

namespace {

int RunMode(const CliOptions& options, const CoreOperations& core) {
  switch (options.mode) {
    case CliMode::kUpdate: return RunUpdater(options, core);
    case CliMode::kCheck: return RunCheck(options, core);
    case CliMode::kRead: return RunRead(options, core);
    case CliMode::kRestore: return RunRestore(options, core);
    case CliMode::kHistory: return ShowHistory(options);
  }
  return kExitError;
}

}  // namespace

int RunCommandLine(int argc, char** argv, const CliOptions& options, const CoreOperations& core) {
  SetVerboseOutput(options.verbose);

  const SlotTextFailuresToCause slotTextFailures;
  const std::string folder = ReleaseFolder(options, argc > 0 ? argv[0] : nullptr);
  std::vector<char> appDir(folder.begin(), folder.end());
  appDir.push_back('\0');
  strAppDir = appDir.data();

  const int status = RunMode(options, core);
  strAppDir = nullptr;
  return status;
}

