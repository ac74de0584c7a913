#include "CliModes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "AppMain.h"
#include "FilRead.h"
#include "FlashROM.h"
#include "IDFilter.h"
#include "Messages.h"
#include "PosixWriteGuard.h"
#include "SROMData.h"
#include "TerminalDialog.h"
#include "TerminalProgress.h"
#include "TransportChoice.h"
#include "UpdateSession.h"
#include "WriteGuard.h"
#include "common.h"

ZF_VARIANT_BEGIN

namespace {

bool gCausePrinted = false;
std::string gLastCause;

// The release folder as CFileRead puts it in front of the names.
std::string AppPath(const char* name) {
  return std::string(strAppDir != nullptr ? strAppDir : "") + name;
}

// Why a file cannot be opened for reading.
std::string FileProblem(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return "it is a folder";
  if (access(path.c_str(), R_OK) != 0) return std::strerror(errno);
  return "it cannot be read";
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string VersionText(uint16_t version) {
  char text[16];
  std::snprintf(text, sizeof text, "%d%d.%d%d", (version >> 12) & 0xF, (version >> 8) & 0xF,
                (version >> 4) & 0xF, version & 0xF);
  return text;
}

const char* VariantOfSignature(uint32_t signature) {
  if (signature == kSignatureQK9318A) return "QK9318A";
  if (signature == kSignatureQK9318E) return "QK9318E";
  return nullptr;
}

// Sends standard output to standard error while it lives: the JSON report
// is then the only thing on standard output (the path lines of the files
// read and the progress go with the diagnostics).
class StdoutToStderr {
 public:
  StdoutToStderr() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~StdoutToStderr() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_ = -1;
};

// A file descriptor closed when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  int Close() {
    const int result = fd_ >= 0 ? close(fd_) : 0;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// The engine of a command-line mode: the device is closed when it goes
// (after a worker has ended), as the main dialog does.
class ModeEngine : public CFlashROM {
 public:
  ModeEngine() = default;
  ~ModeEngine() {
    WaitWorker();
    CloseDevice();
  }
};

// The progress of the modes: on the given stream, in place on a terminal.
class ScopedProgress {
 public:
  explicit ScopedProgress(FILE* out) : progress_(out, isatty(fileno(out)) != 0) {
    TerminalProgress::Install(&progress_);
  }
  ~ScopedProgress() { TerminalProgress::Install(nullptr); }
  ScopedProgress(const ScopedProgress&) = delete;
  ScopedProgress& operator=(const ScopedProgress&) = delete;

 private:
  TerminalProgress progress_;
};

// Every write of the command-line modes runs through this one function:
// SIGINT, SIGTERM, SIGHUP and SIGQUIT are held and sleep and logout held off
// from the start of `write` until `report` has shown its outcome, as for an
// update on the dialogs.
// How this run reaches the bridge, for the reports.
const char* TransportName() {
  const char* chosen = ChosenTransport();
  return chosen != nullptr ? chosen : "virtual bridge";
}

int RunGuardedWrite(const std::function<int()>& write, const std::function<int(int)>& report) {
  CPosixWriteGuard guard;
  SetWriteGuard(&guard);
  int status;
  {
    CWriteGuardScope scope;
    const int result = write();
    scope.EndWrite();
    status = report(result);
  }
  SetWriteGuard(nullptr);
  return status;
}

void PrintMessage(int message) {
  const char* text = MessageText(message);
  if (text == nullptr) return;
  std::printf("\n[%s]\n%s\n", kProgramName, text);
  std::fflush(stdout);
}

// The part of the flash-part table whose identification probes the flash
// answers, with its programming parameters; "" when none does.
std::string ProbeFlashPart(CFlashROM* engine, ROM_PARAMETER_IMAGE* parameters) {
  for (unsigned i = 0; i < kSerialFlashPartCount; ++i) {
    const char* name = gSerialFlashRomParamTbl[i].Name;
    if (std::strcmp(name, "END") == 0) break;
    if (!engine->CheckSROMType(name, engine)) continue;
    _serialflash_romparamlist list{};
    if (!engine->GetParamList(name, &list)) continue;
    engine->ListToImage(parameters, &list);
    return name;
  }
  return "";
}

// ---------------------------------------------------------------------------
// What a check found.

struct CopyFacts {
  int number = 0;
  CFlashROM::AreaFacts area;
};

struct DeviceFacts {
  bool opened = false;
  UsbDeviceInfo usb;
  bool versionRead = false;
  unsigned char version[kVersionBlockSize] = {};
  std::string part;  // "" unknown
  uint32_t flashSize = 0;
  uint32_t eraseBlock = 0;
  std::vector<CopyFacts> copies;
};

void CollectCopies(CFlashROM* engine, DeviceFacts* facts) {
  facts->copies.clear();
  for (int number = 1; number <= 2; ++number) {
    CopyFacts copy;
    copy.number = number;
    copy.area = engine->DescribeArea(number);
    if (copy.area.present) facts->copies.push_back(copy);
  }
  const ROM_PARAMETER_IMAGE& r = *engine->GetRomParameter();
  facts->flashSize = r.RomSizeLog2 < 32 ? (uint32_t{1} << r.RomSizeLog2) : 0;
  facts->eraseBlock = engine->GetEraseRomBlockSize();
}

std::string ChipId(const unsigned char* version) {
  std::string id;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = version[i];
    id += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return id;
}

const char* VariantOfChipId(const unsigned char* version) {
  if (!IsBridgeChipId(version)) return nullptr;
  return version[3] == 'a' ? "QK9318A" : "QK9318E";
}

std::string UsbIdText(const UsbDeviceInfo& usb) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", usb.vendorId, usb.productId);
  return text;
}

nlohmann::ordered_json VersionJson(uint16_t version) {
  nlohmann::ordered_json v;
  v["text"] = VersionText(version);
  v["value"] = version;
  return v;
}

int CheckExitStatus(const UpdateDecision& decision) {
  if (decision.Ask()) return kExitOk;
  if (decision.message == MSG_ALREADY_LATEST) return kExitNothingToDo;
  return kExitError;
}

std::string CheckCause(const UpdateDecision& decision, const DeviceFacts& facts) {
  if (decision.message == MSG_DEVICE_DIFFERENT && facts.versionRead) {
    const char* variant = VariantOfChipId(facts.version);
    return "the bridge answers with chip id '" + ChipId(facts.version) + "' (" +
           (variant != nullptr ? variant : "no bridge") + ", compatibility " +
           Hex(GetLE16(facts.version + 8), 4) +
           "); ZEDRIKFU.ini or the firmware file is made for another bridge";
  }
  return CauseOfMessage(decision.message);
}

nlohmann::ordered_json CheckJson(const CliOptions& options, const UpdateDecision& decision,
                                 const DeviceFacts& facts, const std::string& firmwarePath,
                                 uint32_t firmwareSize, int status, const std::string& cause) {
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
  report["transport"] = TransportName();

  if (facts.versionRead) {
    nlohmann::ordered_json bridge;
    const char* variant = VariantOfChipId(facts.version);
    bridge["variant"] = variant != nullptr ? nlohmann::ordered_json(variant) : nullptr;
    bridge["chipId"] = ChipId(facts.version);
    bridge["compatibility"] = GetLE16(facts.version + 8);
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
                       {"eraseBlock", facts.eraseBlock}};
    nlohmann::ordered_json copies = nlohmann::ordered_json::array();
    for (const CopyFacts& copy : facts.copies) {
      const char* variant = VariantOfSignature(copy.area.signature);
      copies.push_back({{"number", copy.number},
                        {"offset", copy.area.offset},
                        {"inside", copy.area.inside},
                        {"signature", copy.area.signature},
                        {"variant", variant != nullptr ? nlohmann::ordered_json(variant) : nullptr},
                        {"codeSize", copy.area.codeSize},
                        {"version", VersionJson(copy.area.version)},
                        {"crc", copy.area.crcGood ? "good" : "broken"}});
    }
    report["copies"] = copies;
    report["installedVersion"] = VersionJson(decision.installed);
  } else {
    report["flash"] = nullptr;
    report["copies"] = nullptr;
    report["installedVersion"] = nullptr;
  }
  if (decision.offered != 0 || decision.flashRead) {
    report["file"] = {{"path", firmwarePath}, {"size", firmwareSize},
                      {"version", VersionJson(decision.offered)}};
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
                        {"writeBackRanges", w.writeBackRanges}};
  } else {
    report["update"] = nullptr;
  }
  return report;
}

void PrintCheckText(const UpdateDecision& decision, const DeviceFacts& facts,
                    const std::string& firmwarePath, uint32_t firmwareSize, int status) {
  std::printf("transport: %s\n", TransportName());
  if (facts.versionRead) {
    const char* variant = VariantOfChipId(facts.version);
    std::printf("bridge: %s (chip id %s, compatibility %s), USB %s at bus %d address %d\n",
                variant != nullptr ? variant : "not a bridge", ChipId(facts.version).c_str(),
                Hex(GetLE16(facts.version + 8), 4).c_str(), UsbIdText(facts.usb).c_str(),
                facts.usb.bus, facts.usb.address);
  }
  if (decision.flashRead) {
    std::printf("flash: %s, %u bytes, erase block %u bytes\n",
                facts.part.empty() ? "unknown part" : facts.part.c_str(), facts.flashSize,
                facts.eraseBlock);
    if (facts.copies.empty()) std::printf("copies: none\n");
    for (const CopyFacts& copy : facts.copies) {
      const char* variant = VariantOfSignature(copy.area.signature);
      std::printf("copy %d: offset %s, version %s, signature %s (%s), %u code bytes, CRC %s\n",
                  copy.number, Hex(copy.area.offset, 6).c_str(),
                  VersionText(copy.area.version).c_str(), Hex(copy.area.signature, 8).c_str(),
                  variant != nullptr ? variant : "unknown bridge", copy.area.codeSize,
                  copy.area.crcGood ? "good" : "broken");
    }
    std::printf("installed version: %s\n",
                decision.installed != 0 ? VersionText(decision.installed).c_str() : "unknown");
  }
  if (decision.offered != 0 || decision.flashRead) {
    std::printf("file: %s, %u bytes, version %s\n", firmwarePath.c_str(), firmwareSize,
                VersionText(decision.offered).c_str());
  }
  if (status == kExitOk) {
    const WritePlanSummary& w = decision.write;
    std::printf("update: would write %u cop%s (%u region%s), %llu bytes; erase %u block%s; "
                "commands: %u erase, %u write, %u verify\n",
                w.copies, w.copies == 1 ? "y" : "ies", w.regions, w.regions == 1 ? "" : "s",
                static_cast<unsigned long long>(w.bytesWritten), w.eraseBlocks,
                w.eraseBlocks == 1 ? "" : "s", w.eraseCommands, w.writeCommands,
                w.verifyCommands);
  } else {
    const char* text = MessageText(decision.message);
    std::printf("update: %s%s\n", status == kExitNothingToDo ? "nothing to do: " : "refused: ",
                text != nullptr ? text : "");
  }
  std::fflush(stdout);
}

int RunCheck(const CliOptions& options) {
  std::unique_ptr<StdoutToStderr> redirect;
  if (options.json) redirect = std::make_unique<StdoutToStderr>();
  ModeEngine engine;
  DeviceFacts facts;
  std::string firmwarePath =
      options.firmware.empty() ? AppPath("MainFW.kqfw") : options.firmware;
  uint32_t firmwareSize = 0;

  UpdateSessionHooks hooks;
  hooks.openSystemInformation = [](CFileRead* file) { return OpenSystemInformationFile(file); };
  hooks.openFirmwareFile = [&options, &firmwareSize](CFileRead* file) {
    const int message = OpenFirmwareFile(file, options.firmware);
    if (message == 0) firmwareSize = file->GetFileSize();
    return message;
  };
  hooks.readFlash = [&facts](CFlashROM* reading) {
    ScopedProgress progress(stderr);
    VerboseLine("reading the flash");
    const int message = ReadWithoutDialog(reading, &TerminalProgress::Observer);
    // The copies as read, before the new firmware is placed into the image.
    if (message == 0) CollectCopies(reading, &facts);
    return message;
  };
  CUpdateSession session(&engine, std::move(hooks));
  const UpdateDecision decision = session.Prepare();
  facts.versionRead = decision.versionRead;
  std::memcpy(facts.version, decision.version, sizeof facts.version);
  facts.opened = engine.GetOpenedDeviceInfo(&facts.usb);
  if (decision.flashRead) {
    ROM_PARAMETER_IMAGE probed{};
    facts.part = ProbeFlashPart(&engine, &probed);
  }
  if (facts.opened && decision.versionRead) engine.CloseFlashROM();

  const int status = CheckExitStatus(decision);
  if (status == kExitError && !CausePrinted()) PrintCause(CheckCause(decision, facts));
  const std::string cause = status == kExitError ? gLastCause : std::string();
  if (options.json) {
    redirect.reset();
    const nlohmann::ordered_json report =
        CheckJson(options, decision, facts, firmwarePath, firmwareSize, status, cause);
    std::printf("%s\n", report.dump(2).c_str());
    std::fflush(stdout);
  } else {
    if (decision.message != 0 && !decision.messageShown) PrintMessage(decision.message);
    PrintCheckText(decision, facts, firmwarePath, firmwareSize, status);
  }
  return status;
}

// ---------------------------------------------------------------------------
// Read and restore: the device found without the system information file
// and identified without its header.

struct Identity {
  std::string part;
  ROM_PARAMETER_IMAGE parameters{};
  const char* variant = nullptr;
  UsbDeviceInfo usb;
};

// Opens the chosen bridge, identifies its flash part by the probe replies
// and reads the whole flash into the engine's image. 0 or the message.
int OpenAndReadWhole(CFlashROM* engine, Identity* identity) {
  IDFilter filter;  // empty: every device the device choice admits
  if (engine->OpenFlashROM(&filter) == 2) return MSG_ONLY_ONE;
  unsigned char version[kVersionBlockSize] = {};
  if (!engine->USBCom_GetVersion(version, sizeof version) || !IsBridgeChipId(version)) {
    PrintCause("no connected device of the chosen ids or position answered as a QK9318 bridge");
    return MSG_NOT_FOUND;
  }
  identity->variant = VariantOfChipId(version);
  engine->GetOpenedDeviceInfo(&identity->usb);
  identity->part = ProbeFlashPart(engine, &identity->parameters);
  VerboseLine(std::string("bridge ") + identity->variant + " (USB " + UsbIdText(identity->usb) +
              " at bus " + std::to_string(identity->usb.bus) + " address " +
              std::to_string(identity->usb.address) + "), flash " +
              (identity->part.empty() ? "not identified by its probes" : identity->part));
  int message;
  {
    ScopedProgress progress(stdout);
    if (!identity->part.empty()) {
      message = ReadAsWithoutDialog(engine, identity->parameters, &TerminalProgress::Observer);
    } else {
      // No part of the table answered: the header's parameters, if it holds.
      message = ReadWithoutDialog(engine, &TerminalProgress::Observer);
      if (message == 0) identity->parameters = *engine->GetRomParameter();
    }
  }
  if (message != 0 && identity->part.empty() && !LastWorkFailure().failed) {
    PrintCause("the flash answers none of the known parts' identification probes and its "
               "header cannot be read");
  }
  return message;
}

bool HeaderHolds(const std::vector<unsigned char>& image) {
  if (image.size() < kImageHeaderSize) return false;
  return HeaderCrcOf(image.data()) == GetLE16(image.data() + kHeaderCrcOffset);
}

bool LoadImageFile(const std::string& path, std::vector<unsigned char>* bytes, std::string* error) {
  CFileRead file;
  if (!file.OpenPath(path.c_str())) {
    *error = FileProblem(path);
    return false;
  }
  const uint32_t size = file.GetFileSize();
  if (size == 0 || size > (uint32_t{1} << kMaxRomSizeLog2)) {
    *error = "its size (" + std::to_string(size) + " bytes) is no flash size";
    return false;
  }
  const unsigned char* data = file.ReadTextFile();
  if (data == nullptr) {
    *error = "it cannot be read";
    return false;
  }
  bytes->assign(data, data + size);
  return true;
}

// Shows `message`, names its cause on standard error unless a cause line
// was printed already, and gives the exit status of a failed run.
int EndWithMessage(int message) {
  PrintMessage(message);
  if (!CausePrinted()) PrintCause(CauseOfMessage(message));
  return kExitError;
}

int RunRead(const CliOptions& options) {
  ModeEngine engine;
  Identity identity;
  const int message = OpenAndReadWhole(&engine, &identity);
  if (message != 0) {
    return EndWithMessage(message);
  }
  const std::vector<unsigned char> bytes(engine.Image(), engine.Image() + engine.ImageSize());
  engine.CloseFlashROM();
  std::string error;
  if (!SaveImageFile(options.readFile, bytes, &error)) {
    PrintCause("cannot save the flash to " + options.readFile + ": " + error);
    return kExitError;
  }
  std::printf("Saved the flash (%zu bytes) to %s\n", bytes.size(), options.readFile.c_str());
  return kExitOk;
}

// The steps that make the flash equal to `image`: for every erase block that
// differs, its erase, the write of its bytes that are not 0xFF and the
// verify of the whole block. The first block (the header) comes last, so
// that the header is the last thing changed.
std::vector<WriteStep> RestoreSteps(const unsigned char* device, const unsigned char* image,
                                    uint32_t size, uint32_t blockSize) {
  std::vector<WriteStep> steps;
  std::vector<uint32_t> blocks;
  for (uint32_t block = 0; block < size; block += blockSize) {
    if (std::memcmp(device + block, image + block, blockSize) != 0) blocks.push_back(block);
  }
  if (!blocks.empty() && blocks.front() == 0) {
    blocks.erase(blocks.begin());
    blocks.push_back(0);
  }
  for (uint32_t block : blocks) {
    steps.push_back({WriteStep::kErase, block, blockSize});
    uint32_t first = blockSize, last = 0;
    for (uint32_t i = 0; i < blockSize; ++i) {
      if (image[block + i] == 0xFF) continue;
      if (first == blockSize) first = i;
      last = i;
    }
    if (first != blockSize) steps.push_back({WriteStep::kWrite, block + first, last - first + 1});
    steps.push_back({WriteStep::kVerify, block, blockSize});
  }
  return steps;
}

bool AskToWrite(const CliOptions& options) {
  if (options.yes) {
    std::printf("OK (--yes)\n");
    return true;
  }
  const bool terminal = isatty(STDIN_FILENO) != 0;
  // Keys typed while the flash was read are no answer.
  if (terminal) tcflush(STDIN_FILENO, TCIFLUSH);
  std::printf("[OK/Cancel] (Enter = OK): ");
  std::fflush(stdout);
  std::string line;
  const bool ok = static_cast<bool>(std::getline(std::cin, line)) &&
                  CTerminalDialogLayer::IsOkAnswer(line);
  if (!terminal) std::printf(ok ? "OK\n" : "Cancel\n");
  return ok;
}

int RunRestore(const CliOptions& options) {
  std::vector<unsigned char> image;
  std::string error;
  if (!LoadImageFile(options.restore, &image, &error)) {
    PrintCause("cannot use the image " + options.restore + ": " + error);
    return kExitError;
  }
  if (!HeaderHolds(image)) {
    PrintCause("refused: the header CRC of the image " + options.restore +
               " does not hold (not a saved flash image, or a damaged one)");
    return kExitError;
  }

  ModeEngine engine;
  Identity identity;
  const int message = OpenAndReadWhole(&engine, &identity);
  if (message != 0) {
    return EndWithMessage(message);
  }
  const uint32_t size = engine.ImageSize();
  const uint8_t sizeLog2 = image[kHeaderRomSizeLog2];
  if (image.size() != size || sizeLog2 >= 32 || (uint32_t{1} << sizeLog2) != size) {
    PrintCause("refused: the image holds " + std::to_string(image.size()) +
               " bytes for a flash of " +
               (sizeLog2 < 32 ? std::to_string(uint64_t{1} << sizeLog2) : std::string("?")) +
               " bytes; the device's flash holds " + std::to_string(size) + " bytes");
    return kExitError;
  }
  CFlashROM saved;
  saved.LoadImage(image.data(), static_cast<uint32_t>(image.size()));
  const SROM_BRIDGEIC imageBridge = saved.GetBridgeIC();
  const char* imageVariant = imageBridge == BRIDGEIC_QK9318A   ? "QK9318A"
                             : imageBridge == BRIDGEIC_QK9318E ? "QK9318E"
                                                               : nullptr;
  if (imageVariant == nullptr || std::strcmp(imageVariant, identity.variant) != 0) {
    PrintCause(std::string("refused: the image holds ") +
               (imageVariant != nullptr ? std::string("firmware for ") + imageVariant
                                        : std::string("no valid firmware")) +
               "; the bridge is a " + identity.variant);
    return kExitError;
  }

  const uint32_t blockSize = engine.GetEraseRomBlockSize();
  if (blockSize == 0 || blockSize > size || size % blockSize != 0) {
    PrintCause("refused: the flash's erase block size is unusable");
    return kExitError;
  }
  const std::vector<unsigned char> asRead(engine.Image(), engine.Image() + size);
  const std::vector<WriteStep> steps = RestoreSteps(asRead.data(), image.data(), size, blockSize);
  uint32_t blocks = 0;
  uint64_t bytes = 0;
  std::string ranges;
  for (const WriteStep& step : steps) {
    if (step.kind == WriteStep::kWrite) bytes += step.length;
    if (step.kind != WriteStep::kErase) continue;
    if (++blocks <= 8) {
      ranges += (ranges.empty() ? "" : ", ") + Hex(step.start, 6) + "-" +
                Hex(step.start + step.length - 1, 6);
    } else if (blocks == 9) {
      ranges += ", ...";
    }
  }
  if (steps.empty()) {
    engine.CloseFlashROM();
    std::printf("The flash already holds the image %s: nothing to write.\n",
                options.restore.c_str());
    return kExitNothingToDo;
  }
  std::printf("\n[%s]\nThe flash will be restored from %s.\n", kProgramName,
              options.restore.c_str());
  std::printf("bridge %s, flash %s (%u bytes, erase block %u bytes)\n", identity.variant,
              identity.part.empty() ? "as its header describes" : identity.part.c_str(), size,
              blockSize);
  std::printf("%u of %u erase blocks differ (%s): each is erased, %llu bytes are written, "
              "and each block is verified\n",
              blocks, size / blockSize, ranges.c_str(), static_cast<unsigned long long>(bytes));
  std::printf("Do you want to restore the flash?\n");
  if (!AskToWrite(options)) {
    engine.CloseFlashROM();
    return kExitNothingToDo;
  }
  if (!options.backup.empty()) {
    if (!SaveImageFile(options.backup, asRead, &error)) {
      PrintCause("cannot save the backup " + options.backup + ": " + error);
      engine.CloseFlashROM();
      PrintMessage(MSG_UPDATE_FAILED);
      return kExitError;
    }
    std::printf("Saved the flash as read (%u bytes) to %s\n", size, options.backup.c_str());
  }

  // The saved image becomes the engine's image; the bridge is driven with
  // the parameters of the part that answered the probes.
  engine.LoadImage(image.data(), size);
  *engine.GetRomParameter() = identity.parameters;
  std::printf("\n[%s]\nCAUTION!!\nPlease do NOT plug out nor turn off your device until "
              "completed!!\n",
              kProgramName);
  std::fflush(stdout);
  std::unique_ptr<ScopedProgress> progress = std::make_unique<ScopedProgress>(stdout);
  return RunGuardedWrite(
      [&engine, &steps] {
        return WriteStepsWithoutDialog(&engine, steps, &TerminalProgress::Observer);
      },
      [&progress, blocks](int result) -> int {
        progress.reset();
        if (result == MSG_UPDATED) {
          std::printf("\n[%s]\nThe flash was restored: %u blocks written and verified.\nYou need "
                      "to turn off and on your device so that it can work with the restored "
                      "firmware.\n",
                      kProgramName, blocks);
          std::fflush(stdout);
          return kExitOk;
        }
        return EndWithMessage(result);
      });
}

}  // namespace

// ---------------------------------------------------------------------------

void PrintCause(const std::string& text) {
  gCausePrinted = true;
  gLastCause = text;
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", ProgramName().c_str(), text.c_str());
  std::fflush(stderr);
}

bool CausePrinted() { return gCausePrinted; }

std::string CauseOfMessage(int message) {
  const WorkFailure failure = LastWorkFailure();
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
    case MSG_FW_NOT_SELECTED:
      return "no firmware file was chosen";
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
      return "the USB identity stored in the flash matches no identity of ZEDRIKFU.ini";
    case MSG_ONLY_ONE:
      return "the device is held by another program";
    default:
      return "the run ended with message " + std::to_string(message);
  }
}

bool OpenSystemInformationFile(CFileRead* file) {
  VerboseLine("reading the system information file");
  if (file->Open("ZEDRIKFU.ini")) return true;
  const std::string path = AppPath("ZEDRIKFU.ini");
  PrintCause("cannot open the system information file " + path + ": " + FileProblem(path));
  return false;
}

int OpenFirmwareFile(CFileRead* file, const std::string& firmware) {
  VerboseLine("reading the firmware file");
  std::string path;
  if (firmware.empty()) {
    if (file->Open("MainFW.kqfw")) return 0;
    path = AppPath("MainFW.kqfw");
  } else {
    std::printf("%s\n", firmware.c_str());
    std::fflush(stdout);
    if (file->OpenPath(firmware.c_str())) return 0;
    path = firmware;
  }
  PrintCause("cannot open the firmware file " + path + ": " + FileProblem(path));
  return MSG_NO_FW_FILE;
}

bool SaveImageFile(const std::string& path, const std::vector<unsigned char>& bytes,
                   std::string* error) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string temporary = path + ".XXXXXX";
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  FileDescriptor fd(mkstemp(name.data()));
  if (fd.get() < 0) {
    *error = std::string("cannot create a file in ") + folder + ": " + std::strerror(errno);
    return false;
  }
  temporary = name.data();
  auto fail = [&](const char* what) {
    *error = std::string(what) + ": " + std::strerror(errno);
    fd.Close();
    unlink(temporary.c_str());
    return false;
  };
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot write");
    written += static_cast<size_t>(n);
  }
  if (fchmod(fd.get(), 0644) != 0) return fail("cannot set its permissions");
  if (fsync(fd.get()) != 0) return fail("cannot flush it to the disk");
  if (fd.Close() != 0) return fail("cannot close it");
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    *error = std::string("cannot rename it to ") + path + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk with its folder.
  FileDescriptor dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir.get() >= 0) fsync(dir.get());
  return true;
}

int RunCommandLine(int argc, char** argv, const std::function<bool()>& prepare) {
  CliOptions options;
  const int parsed = ParseCommandLine(argc, argv, &options);
  if (parsed >= 0) return parsed;
  gCausePrinted = false;
  gLastCause.clear();
  SetProgramName(options.program);
  SetVerboseOutput(options.verbose);

  // The transport and its diagnostics are chosen through the environment,
  // before any device is opened.
  if (!options.transport.empty()) setenv("ZEDRIKFU_TRANSPORT", options.transport.c_str(), 1);
  if (options.verbose) setenv("ZEDRIKFU_VERBOSE", "1", 1);

  // Reading and restoring do without ZEDRIKFU.ini: unless told otherwise
  // they take any device of the chip maker's vendor id.
  DeviceChoice choice = options.choice;
  const bool recovery = options.mode == CliMode::kRead || options.mode == CliMode::kRestore;
  if (recovery && !options.haveChoice) {
    choice.byIds = true;
    choice.vendorId = static_cast<uint16_t>(kChipVendorId);
    choice.anyProduct = true;
  }
  SetDeviceChoice(options.haveChoice || recovery ? &choice : nullptr);

  if (prepare && !prepare()) return kExitError;

  std::string folder = options.dir.empty() ? ProgramFolder(argc > 0 ? argv[0] : nullptr)
                                           : options.dir;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  // A firmware file opened from a release folder (a file manager starts
  // "zedrikfu --firmware FILE"): its folder holds the release's ZEDRIKFU.ini.
  struct stat st;
  if (options.dir.empty() && !options.firmware.empty() &&
      stat((folder + "ZEDRIKFU.ini").c_str(), &st) != 0) {
    const size_t slash = options.firmware.rfind('/');
    folder = slash == std::string::npos ? std::string() : options.firmware.substr(0, slash + 1);
  }
  std::vector<char> appDir(folder.begin(), folder.end());
  appDir.push_back('\0');
  strAppDir = appDir.data();

  int status = kExitError;
  switch (options.mode) {
    case CliMode::kUpdate:
      status = RunUpdater(argc, argv, options);
      break;
    case CliMode::kCheck:
      status = RunCheck(options);
      break;
    case CliMode::kRead:
      status = RunRead(options);
      break;
    case CliMode::kRestore:
      status = RunRestore(options);
      break;
  }
  strAppDir = nullptr;
  SetDeviceChoice(nullptr);
  return status;
}

ZF_VARIANT_END
