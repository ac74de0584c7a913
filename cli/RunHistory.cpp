#include "RunHistory.h"

#include <filesystem>
#include <system_error>

#include "CommandSet.h"
#include "Messages.h"
#include "SROMImage.h"

namespace {

// The path as the record keeps it: absolute, so that it still names the
// file when the history is read from another folder; as given when the
// system cannot tell the current folder.
std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  std::error_code error;
  const std::filesystem::path absolute =
      std::filesystem::absolute(std::filesystem::u8path(path), error);
  return error ? path : absolute.lexically_normal().u8string();
}

std::vector<HistoryCopy> HistoryCopies(const std::vector<CopyFacts>& copies) {
  std::vector<HistoryCopy> listed;
  for (const CopyFacts& copy : copies) {
    HistoryCopy entry;
    entry.number = copy.number;
    entry.offset = copy.area.offset;
    entry.state = copy.erased         ? HistoryCopy::State::kErased
                  : copy.area.crcGood ? HistoryCopy::State::kGood
                                      : HistoryCopy::State::kBroken;
    if (!copy.erased) entry.version = VersionText(copy.area.version);
    listed.push_back(entry);
  }
  return listed;
}

HistoryDevice DeviceOf(const UsbDeviceInfo& usb, const unsigned char* version,
                       const std::string& serial) {
  HistoryDevice device;
  device.usb = usb;
  device.name = UsbPositionText(usb);
  device.chipId = ChipIdText(version);
  const char* variant = VariantOfChipId(version);
  device.variant = variant != nullptr ? variant : "";
  device.serial = serial;
  return device;
}

HistoryRecord RecordOf(const CliOptions& options, HistoryOperation operation, int message,
                       int status, double seconds) {
  HistoryRecord record;
  record.program = options.program;
  record.programVersion = ProgramVersion();
  record.operation = operation;
  const char* text = MessageText(message);
  record.result.messageId = message;
  record.result.messageText = text != nullptr ? text : "";
  record.result.exitStatus = status;
  record.durationSeconds = seconds;
  return record;
}

// The newest version among the image's copies whose code CRC holds.
std::string NewestGoodVersion(const std::vector<unsigned char>& image) {
  CSROMImage model;
  model.LoadImage(image.data(), static_cast<uint32_t>(image.size()));
  uint16_t newest = 0;
  bool any = false;
  for (const CopyFacts& copy : CopiesOf(&model)) {
    if (copy.erased || !copy.area.crcGood) continue;
    any = true;
    if (copy.area.version > newest) newest = copy.area.version;
  }
  return any ? VersionText(newest) : std::string();
}

}  // namespace

void RecordUpdate(const CliOptions& options, const UpdateOutcome& outcome,
                  const WrittenFile& file, double seconds) {
  HistoryRecord record =
      RecordOf(options, HistoryOperation::kUpdate, outcome.lastMessage, outcome.status, seconds);
  record.device = DeviceOf(outcome.device.usb, outcome.decision.version, outcome.device.serial);
  record.before = HistoryCopies(outcome.device.copies);
  if (outcome.status == kExitOk) record.versionAfter = VersionText(outcome.decision.offered);
  record.filePath = AbsolutePath(file.path);
  record.fileSha256 = file.sha256;
  record.backupPath = AbsolutePath(options.backup);
  RecordHistory(record);
}

void RecordRestore(const CliOptions& options, const FlashOperationResult& result,
                   double seconds) {
  HistoryRecord record =
      RecordOf(options, HistoryOperation::kRestore, result.message, result.status, seconds);
  CSROMImage before;
  before.LoadImage(result.flash.data(), static_cast<uint32_t>(result.flash.size()));
  record.device = DeviceOf(result.identity.usb, result.identity.version, SerialOf(&before));
  record.before = HistoryCopies(CopiesOf(&before));
  if (result.status == kExitOk) record.versionAfter = NewestGoodVersion(result.image);
  record.filePath = AbsolutePath(options.restore);
  record.fileSha256 = Sha256Hex(result.image.data(), result.image.size());
  record.backupPath = AbsolutePath(options.backup);
  RecordHistory(record);
}
