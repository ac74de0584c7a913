// --history (History.h): the records of the history file as a table, newest
// last, or as the JSON array of the records as stored; filtered by --device
// and --usb-id.
#include <algorithm>
#include <cstdio>

#include "CommandLine.h"
#include "History.h"
#include "JsonText.h"
#include "TerminalProgress.h"

namespace {

// A cell of the table: bytes below 0x20 and DEL become '?', so that a
// record's texts cannot move the cursor or recolour the terminal.
std::string Printable(const std::string& text) {
  std::string cell = text;
  for (char& c : cell) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return cell;
}

// "3f1c:0001 at bus 1 address 2", on Windows "3f1c:0001, disk 2"; "?" for
// what the record does not tell.
std::string DeviceCell(const HistoryEntry& entry) {
  const UsbDeviceInfo& usb = entry.record.device.usb;
  const std::string ids = entry.idsKnown ? UsbIdText(usb) : std::string("?");
  const std::string position = entry.positionKnown ? UsbPositionText(usb) : std::string();
  if (position.empty()) return ids;
  return ids + (usb.bus == 0 ? ", " : " at ") + position;
}

// "01.10,broken -> 01.20": the copies before, the version after ("?" when
// the run did not tell it).
std::string VersionsCell(const HistoryRecord& record) {
  std::string before;
  for (const HistoryCopy& copy : record.before) {
    if (!before.empty()) before += ",";
    if (copy.state == HistoryCopy::State::kErased) {
      before += "erased";
    } else if (copy.state == HistoryCopy::State::kBroken) {
      before += "broken";
    } else {
      before += copy.version.empty() ? "?" : copy.version;
    }
  }
  return (before.empty() ? "none" : before) + " -> " +
         (record.versionAfter.empty() ? "?" : record.versionAfter);
}

// "exit 0, message 100: The update was completed successfully." (the
// message's first sentence).
std::string ResultCell(const HistoryResult& result) {
  std::string cell = "exit " + std::to_string(result.exitStatus);
  if (result.messageId == 0) return cell;
  cell += ", message " + std::to_string(result.messageId);
  if (result.messageText.empty()) return cell;
  const size_t end = result.messageText.find_first_of(".!");
  return cell + ": " + result.messageText.substr(0, end == std::string::npos ? end : end + 1);
}

using Row = std::vector<std::string>;

void PrintTable(const std::vector<Row>& rows) {
  std::vector<size_t> widths;
  for (const Row& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const Row& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
}

void PrintHistoryTable(const std::vector<const HistoryEntry*>& shown) {
  std::vector<Row> rows = {{"TIME", "DEVICE", "OPERATION", "VERSIONS", "RESULT"}};
  for (const HistoryEntry* entry : shown) {
    const HistoryRecord& record = entry->record;
    rows.push_back({Printable(record.time.empty() ? "?" : record.time),
                    Printable(DeviceCell(*entry)),
                    record.operation == HistoryOperation::kRestore ? "restore" : "update",
                    Printable(VersionsCell(record)), Printable(ResultCell(record.result))});
  }
  PrintTable(rows);
}

void Warn(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", ProgramName().c_str(), text.c_str());
}

}  // namespace

int ShowHistory(const CliOptions& options) {
  const std::string path = HistoryFilePath();
  if (path.empty()) {
    Warn("cannot tell where the update history is kept: the environment names no folder for it");
    return kExitError;
  }
  std::vector<HistoryEntry> entries;
  HistoryReadNotes notes;
  const HistoryReadStatus status = ReadHistory(path, &entries, &notes);
  if (status == HistoryReadStatus::kFailed) {
    Warn("cannot read the update history " + path + ": " + notes.cause);
    return kExitError;
  }
  const std::string skipped = SkippedLinesWarning(path, notes);
  if (!skipped.empty()) Warn("warning: " + skipped);

  std::vector<const HistoryEntry*> shown;
  for (const HistoryEntry& entry : entries) {
    if (!options.haveChoice || HistoryEntryAdmitted(entry, options.choice)) shown.push_back(&entry);
  }
  if (options.json) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const HistoryEntry* entry : shown) array.push_back(entry->stored);
    std::printf("%s\n", JsonText(array, 2).c_str());
  } else if (entries.empty()) {
    std::printf("No update history yet (%s).\n", path.c_str());
  } else if (shown.empty()) {
    std::printf("No record of %s is for the device chosen (--device, --usb-id).\n", path.c_str());
  } else {
    PrintHistoryTable(shown);
  }
  if (options.json && entries.empty()) Warn("no update history yet (" + path + ")");
  std::fflush(stdout);
  return kExitOk;
}
