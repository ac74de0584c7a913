// The update history (History.h): the record as a JSON line, its durable
// append, the bounded reader that skips what holds no record, and --history.
#include "History.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "BuildRules.h"
#include "CommandLine.h"
#include "JsonText.h"
#include "SystemPath.h"
#include "TerminalProgress.h"

namespace {

using Json = nlohmann::ordered_json;

// A record nests three levels (the record, the copies, a copy); a line that
// nests deeper is no record, and is never handed to the parser.
constexpr size_t kMaxNesting = 8;

const char* OperationName(HistoryOperation operation) {
  return operation == HistoryOperation::kRestore ? "restore" : "update";
}

const char* StateName(HistoryCopy::State state) {
  switch (state) {
    case HistoryCopy::State::kGood: return "good";
    case HistoryCopy::State::kBroken: return "broken";
    case HistoryCopy::State::kErased: return "erased";
  }
  return "broken";
}

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

Json DeviceJson(const HistoryDevice& device) {
  return {{"vendor_id", device.usb.vendorId}, {"product_id", device.usb.productId},
          {"bus", device.usb.bus},            {"address", device.usb.address},
          {"name", device.name},              {"chip_id", device.chipId},
          {"variant", TextOrNull(device.variant)}, {"serial", device.serial}};
}

Json CopiesJson(const std::vector<HistoryCopy>& copies) {
  Json array = Json::array();
  for (const HistoryCopy& copy : copies) {
    array.push_back({{"number", copy.number},
                     {"offset", copy.offset},
                     {"state", StateName(copy.state)},
                     {"version", TextOrNull(copy.version)}});
  }
  return array;
}

// Whole milliseconds; anything that is no time (negative, NaN) is 0.
double Duration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return 0;
  return std::round(seconds * 1000) / 1000;
}

Json RecordJson(const HistoryRecord& record) {
  const HistoryResult& result = record.result;
  Json json;
  json["time"] = record.time;
  json["program"] = record.program;
  json["program_version"] = record.programVersion;
  json["operation"] = OperationName(record.operation);
  json["device"] = DeviceJson(record.device);
  json["before"] = CopiesJson(record.before);
  json["version_after"] = TextOrNull(record.versionAfter);
  json["file"] = {{"path", record.filePath}, {"sha256", record.fileSha256}};
  json["result"] = {{"message_id", result.messageId != 0 ? Json(result.messageId) : Json(nullptr)},
                    {"message_text", TextOrNull(result.messageText)},
                    {"exit_status", result.exitStatus}};
  json["duration_seconds"] = Duration(record.durationSeconds);
  json["backup_path"] = TextOrNull(record.backupPath);
  return json;
}

// ---------------------------------------------------------------------------
// Fields of a stored record, each taken only when it has the expected type.

const Json* Field(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found != object.end() ? &*found : nullptr;
}

bool TakeText(const Json& object, const char* key, std::string* out) {
  const Json* field = Field(object, key);
  if (field == nullptr || !field->is_string()) return false;
  *out = field->get_ref<const std::string&>();
  return true;
}

template <typename T>
bool TakeInteger(const Json& object, const char* key, T* out) {
  const Json* field = Field(object, key);
  if (field == nullptr || !field->is_number_integer()) return false;
  if (field->is_number_unsigned()) {
    const uint64_t value = field->get<uint64_t>();
    if (value > static_cast<uint64_t>(std::numeric_limits<T>::max())) return false;
    *out = static_cast<T>(value);
    return true;
  }
  const int64_t value = field->get<int64_t>();
  if (value < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      value > static_cast<int64_t>(std::numeric_limits<T>::max())) {
    return false;
  }
  *out = static_cast<T>(value);
  return true;
}

HistoryCopy CopyFromJson(const Json& stored) {
  HistoryCopy copy;
  TakeInteger(stored, "number", &copy.number);
  TakeInteger(stored, "offset", &copy.offset);
  std::string state;
  TakeText(stored, "state", &state);
  copy.state = state == "good"     ? HistoryCopy::State::kGood
               : state == "erased" ? HistoryCopy::State::kErased
                                   : HistoryCopy::State::kBroken;
  TakeText(stored, "version", &copy.version);
  return copy;
}

void DeviceFromJson(const Json& stored, HistoryEntry* entry) {
  HistoryDevice& device = entry->record.device;
  entry->idsKnown = TakeInteger(stored, "vendor_id", &device.usb.vendorId) &&
                    TakeInteger(stored, "product_id", &device.usb.productId);
  entry->positionKnown = TakeInteger(stored, "bus", &device.usb.bus) &&
                         TakeInteger(stored, "address", &device.usb.address);
  TakeText(stored, "name", &device.name);
  TakeText(stored, "chip_id", &device.chipId);
  TakeText(stored, "variant", &device.variant);
  TakeText(stored, "serial", &device.serial);
}

// ---------------------------------------------------------------------------
// Reading.

// The lines of a file, each at most kHistoryLineLimit bytes: the bytes of a
// longer line beyond the limit are dropped as they are read.
class LineReader {
 public:
  explicit LineReader(std::FILE* file) : file_(file) {}
  // The next line without its line break; *tooLong when it was longer than
  // the limit. False at the end of the file or on a read error.
  bool Next(std::string* line, bool* tooLong) {
    line->clear();
    *tooLong = false;
    bool any = false;
    int c = 0;
    while ((c = std::getc(file_)) != EOF) {
      any = true;
      if (c == '\n') return true;
      if (line->size() < kHistoryLineLimit) {
        line->push_back(static_cast<char>(c));
      } else {
        *tooLong = true;
      }
    }
    return any;
  }
  bool Failed() const { return std::ferror(file_) != 0; }

 private:
  std::FILE* file_;
};

// The deepest nesting of arrays and objects in a JSON text, strings aside.
size_t NestingDepth(const std::string& text) {
  size_t depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

std::string HistoryTime(std::time_t when) {
  std::tm calendar{};
  char text[32] = {};
  if (!UtcCalendarTime(when, &calendar) ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &calendar) == 0) {
    return std::string();
  }
  return text;
}

std::string HistoryLine(const HistoryRecord& record) { return JsonText(RecordJson(record)); }

namespace {

// Makes the missing folders above the file `path` names, from the top down;
// what stands in the place of the last one must be a folder.
bool MakeParentFolders(const std::string& path, std::string* cause) {
  const size_t last = path.find_last_of(kPathSeparators);
  if (last == std::string::npos || last == 0) return true;
  for (size_t slash = path.find_first_of(kPathSeparators, 1);
       slash != std::string::npos && slash <= last;
       slash = path.find_first_of(kPathSeparators, slash + 1)) {
    if (!MakeFolder(path.substr(0, slash), cause)) return false;
  }
  const std::string parent = path.substr(0, last);
  if (KindOfPath(parent) == PathKind::kFolder) return true;
  *cause = "cannot make the folder " + parent + ": something else is in its place";
  return false;
}

}  // namespace

bool AppendHistoryLine(const std::string& path, const std::string& line, std::string* cause) {
  std::string ignored;
  if (cause == nullptr) cause = &ignored;
  if (path.empty()) {
    *cause = "the place of the history file is not known";
    return false;
  }
  if (line.find_first_of("\r\n") != std::string::npos) {
    *cause = "the record holds a line break";
    return false;
  }
  if (line.size() > kHistoryLineLimit) {
    *cause = "the record is longer than " + std::to_string(kHistoryLineLimit) + " bytes";
    return false;
  }
  return MakeParentFolders(path, cause) && AppendToFileDurably(path, line + "\n", cause);
}

void RecordHistory(const HistoryRecord& record) {
  HistoryRecord stamped = record;
  if (stamped.time.empty()) stamped.time = HistoryTime(std::time(nullptr));
  const std::string path = HistoryFilePath();
  std::string cause;
  if (path.empty()) {
    cause = "no folder for it is known (the environment names none)";
  } else if (AppendHistoryLine(path, HistoryLine(stamped), &cause)) {
    return;
  }
  std::fprintf(stderr, "%s: warning: this run was not recorded in the update history%s: %s\n",
               ProgramName().c_str(), path.empty() ? "" : (" " + path).c_str(), cause.c_str());
  std::fflush(stderr);
}

HistoryEntry HistoryEntryFromJson(const Json& stored) {
  HistoryEntry entry;
  entry.stored = stored;
  HistoryRecord& record = entry.record;
  std::string operation;
  TakeText(stored, "time", &record.time);
  TakeText(stored, "program", &record.program);
  TakeText(stored, "program_version", &record.programVersion);
  TakeText(stored, "operation", &operation);
  record.operation =
      operation == "restore" ? HistoryOperation::kRestore : HistoryOperation::kUpdate;
  if (const Json* device = Field(stored, "device")) DeviceFromJson(*device, &entry);
  const Json* before = Field(stored, "before");
  if (before != nullptr && before->is_array()) {
    for (const Json& copy : *before) {
      if (copy.is_object()) record.before.push_back(CopyFromJson(copy));
    }
  }
  TakeText(stored, "version_after", &record.versionAfter);
  if (const Json* file = Field(stored, "file")) {
    TakeText(*file, "path", &record.filePath);
    TakeText(*file, "sha256", &record.fileSha256);
  }
  if (const Json* result = Field(stored, "result")) {
    TakeInteger(*result, "message_id", &record.result.messageId);
    TakeText(*result, "message_text", &record.result.messageText);
    TakeInteger(*result, "exit_status", &record.result.exitStatus);
  }
  const Json* duration = Field(stored, "duration_seconds");
  if (duration != nullptr && duration->is_number()) record.durationSeconds = duration->get<double>();
  TakeText(stored, "backup_path", &record.backupPath);
  return entry;
}

HistoryReadStatus ReadHistory(const std::string& path, std::vector<HistoryEntry>* entries,
                              HistoryReadNotes* notes) {
  entries->clear();
  *notes = HistoryReadNotes{};
  bool missing = false;
  const FileHandle file = OpenRegularFile(path, &missing, &notes->cause);
  if (!file) return missing ? HistoryReadStatus::kMissing : HistoryReadStatus::kFailed;
  LineReader reader(file.get());
  std::string line;
  bool tooLong = false;
  while (reader.Next(&line, &tooLong)) {
    ++notes->lines;
    if (tooLong) {
      ++notes->tooLong;
      ++notes->skipped;
      continue;
    }
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;  // a blank line
    const Json value = NestingDepth(line) <= kMaxNesting ? Json::parse(line, nullptr, false)
                                                         : Json(Json::value_t::discarded);
    if (!value.is_object()) {
      ++notes->skipped;
      continue;
    }
    entries->push_back(HistoryEntryFromJson(value));
  }
  if (reader.Failed()) {
    notes->cause = std::string("a read failed: ") + std::strerror(errno);
    return HistoryReadStatus::kFailed;
  }
  return HistoryReadStatus::kRead;
}

std::string SkippedLinesWarning(const std::string& path, const HistoryReadNotes& notes) {
  if (notes.skipped == 0) return std::string();
  std::string text = "skipped " + std::to_string(notes.skipped) + " of " +
                     std::to_string(notes.lines) + " lines of " + path +
                     " that hold no history record";
  if (notes.tooLong != 0) {
    text += " (" + std::to_string(notes.tooLong) + " longer than " +
            std::to_string(kHistoryLineLimit) + " bytes)";
  }
  return text;
}

bool HistoryEntryAdmitted(const HistoryEntry& entry, const DeviceChoice& choice) {
  if (choice.byPosition && !entry.positionKnown) return false;
  if (choice.byIds && !entry.idsKnown) return false;
  CDeviceSelection selection;
  selection.SetDeviceChoice(&choice);
  return selection.DeviceChoiceAdmits(entry.record.device.usb);
}
