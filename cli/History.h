// The update history: every run that erased or wrote the flash (an update or
// a restore, whatever its outcome) appends one record, one compact JSON
// object per line, to a file of the user's (HistoryFilePath). --history
// shows the records, filtered by --device and --usb-id.
//
// A caller fills a HistoryRecord and calls RecordHistory: a history that
// cannot be written costs one warning line on standard error and never
// changes the outcome of the run.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "DeviceChoice.h"

struct CliOptions;

enum class HistoryOperation { kUpdate, kRestore };

// A firmware copy as it was on the flash before the run.
struct HistoryCopy {
  enum class State { kGood, kBroken, kErased };  // its CRC holds / fails; all 0xFF
  int number = 0;       // 1 or 2
  uint32_t offset = 0;  // its place on the flash
  State state = State::kGood;
  std::string version;  // "01.10"; empty for an erased copy
};

struct HistoryDevice {
  UsbDeviceInfo usb;    // ids; bus and address (Windows: bus 0, the disk number)
  std::string name;     // as the transport shows it: "/dev/sg1", "001:005", "disk 2"
  std::string chipId;   // "318a"
  std::string variant;  // "QK9318A", "QK9318E"; empty when not a bridge
  std::string serial;   // the serial string of the parameter area
};

struct HistoryResult {
  int messageId = 0;  // 0: no message
  std::string messageText;
  int exitStatus = 0;
};

struct HistoryRecord {
  std::string time;  // UTC, "2026-12-09T23:47:05Z"; empty: RecordHistory puts in the current time
  std::string program;         // "zedrikfu"
  std::string programVersion;  // "1.0"
  HistoryOperation operation = HistoryOperation::kUpdate;
  HistoryDevice device;
  std::vector<HistoryCopy> before;  // the copies as read before the first erase
  std::string versionAfter;         // the version installed afterwards; empty: unknown
  std::string filePath;  // the firmware file of an update, the image of a restore
  std::string fileSha256;  // its SHA-256 in lower-case hexadecimal (Sha256Hex)
  HistoryResult result;
  double durationSeconds = 0;
  std::string backupPath;  // the backup saved by this run; empty: none
};

// "2026-12-09T23:47:05Z" for `when`.
std::string HistoryTime(std::time_t when);

// The record as one compact JSON object: no line break inside, valid JSON
// whatever bytes its texts hold (JsonText.h).
std::string HistoryLine(const HistoryRecord& record);

// Appends `line` and a line break to the file at `path`, making its missing
// folders first, and flushes it to the disk. Earlier lines are never
// rewritten; a last line left without its line break (an append cut short)
// gets one first, so that it does not swallow the new record. False, with
// the cause, when the line cannot be written.
bool AppendHistoryLine(const std::string& path, const std::string& line, std::string* cause);

// Stamps the time when the record has none, and appends it to the file at
// HistoryFilePath(); on failure prints one warning line on standard error.
void RecordHistory(const HistoryRecord& record);

// ---------------------------------------------------------------------------
// Reading.

// Lines longer than this are skipped without being read whole.
constexpr size_t kHistoryLineLimit = 64 * 1024;

// A record as stored, and what the reader made of it: a field that is
// missing or has another type is left at its default.
struct HistoryEntry {
  nlohmann::ordered_json stored;
  HistoryRecord record;
  bool idsKnown = false;       // device's vendor and product id were read
  bool positionKnown = false;  // device's bus and address were read
};

enum class HistoryReadStatus { kRead, kMissing, kFailed };

struct HistoryReadNotes {
  size_t lines = 0;    // lines seen, the skipped ones included
  size_t skipped = 0;  // lines that hold no record (too long ones included)
  size_t tooLong = 0;  // lines over kHistoryLineLimit bytes
  std::string cause;   // kFailed: why the file could not be read
};

// The records of the history file at `path`, oldest first. Lines that are
// no JSON object, nest deeper than a record does or are too long are
// skipped and counted. kMissing: there is no file (an empty history).
HistoryReadStatus ReadHistory(const std::string& path, std::vector<HistoryEntry>* entries,
                              HistoryReadNotes* notes);

// "skipped 2 of 40 lines of PATH that hold no history record (1 longer than
// 65536 bytes)"; empty when nothing was skipped.
std::string SkippedLinesWarning(const std::string& path, const HistoryReadNotes& notes);

// The record as read from a stored JSON object; fields of another type are
// left at their defaults.
HistoryEntry HistoryEntryFromJson(const nlohmann::ordered_json& stored);

// Whether --device / --usb-id admit the record's device; a record whose
// device lacks the fields chosen by is never admitted.
bool HistoryEntryAdmitted(const HistoryEntry& entry, const DeviceChoice& choice);

// --history: the records of the file, newest last, as a table or with
// --json as a JSON array of the records as stored, filtered by --device and
// --usb-id. 0, or 1 when the file cannot be read or its place not told; a
// missing file is an empty history.
int ShowHistory(const CliOptions& options);

// ---------------------------------------------------------------------------
// What each platform gives (posix/HistoryPlace.cpp, windows/HistoryPlace.cpp).

// Linux: $XDG_STATE_HOME/zedrikfu/history.jsonl, or with XDG_STATE_HOME
// unset, empty or relative $HOME/.local/state/zedrikfu/history.jsonl;
// Windows: %LOCALAPPDATA%\ZEDRIKFU\history.jsonl. Empty when neither can be
// told.
std::string HistoryFilePath();

// The calendar time of `when` in UTC; false when it cannot be told.
bool UtcCalendarTime(std::time_t when, std::tm* out);

// The SHA-256 of the bytes in lower-case hexadecimal (64 digits); empty when
// the platform's hash failed.
std::string Sha256Hex(const unsigned char* data, size_t size);

// Makes the folder `folder` when it is missing (one that is there, or a
// drive or network root, is left as it is); false with the cause otherwise.
bool MakeFolder(const std::string& folder, std::string* cause);

// Appends `bytes` to the file (created when missing) in one write at its
// end, after a line break when the file's last byte is none, and flushes
// the file to the disk.
bool AppendToFileDurably(const std::string& path, const std::string& bytes, std::string* cause);

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens the file at `path` for reading in binary mode when it is a regular
// file, without waiting on a FIFO. Null otherwise: with *missing set when
// nothing is there, else with the cause.
FileHandle OpenRegularFile(const std::string& path, bool* missing, std::string* cause);
