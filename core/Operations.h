// The operations on a bridge as every front-end calls them: the check of an
// update, the update itself, the read of the whole flash and the restore of
// a saved image. Each build of the core (one transport) implements them and
// gives them as one table (CoreOperations); what the front-end gets back are
// plain facts, the same for every build, so that the front-end is compiled
// once and a program can hold more than one core.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CommandSet.h"
#include "DeviceChoice.h"
#include "ExitStatus.h"
#include "SROMImage.h"
#include "Types.h"
#include "WorkProgress.h"
#include "WritePlan.h"

class CFileRead;

// ---------------------------------------------------------------------------
// The update: its decision and what a run found.

// Which way the file's version goes from what the flash holds: newer than
// every valid copy, older than one of them, or the same as the copy the
// update compares with (none newer).
enum class VersionStep { kUnknown, kNewer, kOlder, kSame };

// The version steps an update takes besides a newer file: an older file
// only when asked (the vendor advises going back), the same version only
// to repair a copy that differs or is broken.
struct VersionPolicy {
  bool allowOlder = false;
  bool allowReinstall = false;
};

struct UpdateDecision {
  // 0: every check passed and the new image is prepared, ask the user.
  // Otherwise the message that ends the run.
  int message = 0;
  MESSAGE_TYPE kind = MESSAGE_ERROR;
  // The message was shown already (by the read's progress dialog).
  bool messageShown = false;
  uint16_t installed = 0;  // the revision compared with the file's (0: unknown)
  uint16_t offered = 0;    // the file's revision
  uint16_t newest = 0;     // the newest revision of any valid copy for this bridge
  VersionStep step = VersionStep::kUnknown;  // known once the flash was read
  char fromCaption[64] = {};
  char toCaption[64] = {};
  WritePlanSummary write;  // what the write would do (when asking)
  // The bridge's version block, when it answered (chip id, compatibility).
  bool versionRead = false;
  unsigned char version[kVersionBlockSize] = {};
  bool flashRead = false;  // the image holds what the update uses of the flash, as read
  uint64_t bytesRead = 0;  // bytes the read took from the flash

  bool Ask() const { return message == 0 && !messageShown; }
};

// One firmware copy as the flash held it before the write.
struct CopyFacts {
  int number = 0;
  CSROMImage::AreaFacts area;
  bool erased = false;  // its 16-byte area header is all 0xFF: no firmware there
};

// The copies the image's header names, as the image holds them.
std::vector<CopyFacts> CopiesOf(CSROMImage* image);
// The third string of the image's parameter area (the serial number), in the
// host's encoding as the identity check reads it.
std::string SerialOf(CSROMImage* image);
// Four binary-coded decimal digits, "01.20"; a digit beyond 9 shows as a
// hexadecimal one ("FF.FF"), never as two.
std::string VersionText(uint16_t version);

// The device an update or its check found, and its flash as read.
struct DeviceFacts {
  bool opened = false;
  UsbDeviceInfo usb;
  std::string part;  // "" unknown
  uint32_t flashSize = 0;
  uint32_t eraseBlock = 0;
  std::vector<CopyFacts> copies;
  // The third string of the parameter area (the serial number), as the
  // identity check reads it.
  std::string serial;
};

// Where the two files of a release come from.
struct ReleaseSources {
  // True when the system information file is open.
  std::function<bool(CFileRead*)> openSystemInformation;
  // 0 when the firmware file is open, otherwise the message to show.
  std::function<int(CFileRead*)> openFirmwareFile;
};

// The check of an update: the decision the update would reach, and what it
// found on the way. Nothing is written.
struct CheckResult {
  UpdateDecision decision;
  DeviceFacts device;
  WorkFailure failure;  // the read's failed command, if one failed
};

// An update on the dialog layer registered with SetDialogLayer, under the
// write guard registered with SetWriteGuard.
struct UpdateRequest {
  const DeviceChoice* choice = nullptr;  // null: every device ZEDRIKFU.ini admits
  ReleaseSources release;
  // The read takes the whole flash (for a backup of it as it was).
  bool readWholeFlash = false;
  // After OK, before the first erase, with the flash as read; false ends
  // the update as failed (its cause told by the hook).
  std::function<bool(const std::vector<unsigned char>& asRead)> beforeWrite;
  // OK is given in advance: the question is answered once the checks pass.
  bool answerOk = false;
  // Every check passed, before the question is asked or answered.
  std::function<void(const UpdateDecision&)> checksPassed;
  VersionPolicy policy;
};

struct UpdateOutcome {
  int status = kExitError;  // 0 updated, 2 nothing written without an error, 1 otherwise
  int lastMessage = 0;      // the last message the run showed
  WorkFailure failure;      // the worker's failed command, if one failed
  UpdateDecision decision;  // what the checks decided
  DeviceFacts device;       // the device and its copies before the write
  bool erased = false;      // the write started: the flash may have changed
};

// ---------------------------------------------------------------------------
// Read and restore: a bridge found without the system information file.

// The bridge a recovery operation opened and what it found of its flash.
struct BridgeIdentity {
  std::string part;  // "" when no part of the table answered the probes
  ROM_PARAMETER_IMAGE parameters{};  // the part's, or the header's without one
  const char* variant = nullptr;     // "QK9318A" or "QK9318E"
  UsbDeviceInfo usb;
  unsigned char version[kVersionBlockSize] = {};  // the bridge's version block
};

// The outcome of a recovery operation and the facts its report shows.
struct FlashOperationResult {
  // The message that ends the run (the front-end shows it with its cause),
  // 0 when none does.
  int message = 0;
  int status = kExitError;
  BridgeIdentity identity;
  uint32_t flashSize = 0;   // bytes of the flash as read
  uint32_t eraseBlock = 0;  // bytes per erase block
  std::vector<unsigned char> flash;  // the whole flash as read
  std::vector<unsigned char> image;  // a restore that wrote: the image it wrote
  // More than one bridge admitted: a restore writes one. Their positions.
  std::vector<UsbDeviceInfo> bridges;
  WritePlan plan;              // a restore's steps
  WritePlanSummary summary;    // what they do
  bool nothingToWrite = false;  // the flash holds the image already
  bool writeFailed = false;     // the restore failed before or while writing
  bool reported = false;        // the write ran and the report hook showed it
  WorkFailure failure;          // the worker's failed command, if one failed
};

enum class FlashPhase { kReadStarts, kReadEnded, kWriteStarts };

// What the front-end does for an operation. Every hook may be left empty.
struct FlashOperationHooks {
  // The one line naming why the operation is refused or failed.
  std::function<void(const std::string&)> cause;
  // Every progress report of the read and the write (on the worker thread).
  ProgressCallback progress = nullptr;
  // The operation enters a phase; the result holds what is known so far.
  std::function<void(FlashPhase, const FlashOperationResult&)> phase;
  // Shows what the restore will do and asks: true for OK, false for Cancel.
  std::function<bool(const FlashOperationResult&)> ask;
  // After OK, before anything is erased (the backup of the flash as read);
  // false ends the restore as failed, its cause told by the hook.
  std::function<bool(const FlashOperationResult&)> beforeWrite;
  // Inside the write guard, once the write has ended and the device is
  // closed: shows the outcome (message and status are set).
  std::function<void(const FlashOperationResult&)> written;
};

// ---------------------------------------------------------------------------
// One build's operations.

// An engine for operations run without a dialog, on the device choice it
// was made with. Its work report shows the phase, the bytes done and the
// time left while an operation runs; when it goes, its worker has ended
// and the device is closed.
class CFlashOperations {
 public:
  virtual ~CFlashOperations() = default;
  virtual const CWorkReport& Work() const = 0;
  // The update's checks, its read (reporting to `progress`) and the
  // placement of the new firmware: everything but the write.
  virtual CheckResult Check(const ReleaseSources& release, const VersionPolicy& policy,
                            ProgressCallback progress) = 0;
  // The whole flash of the one bridge the choice admits, identified by the
  // probes of the flash-part table (FlashOperations.h).
  virtual FlashOperationResult ReadWholeFlash(const FlashOperationHooks& hooks) = 0;
  // The saved image at `imagePath` written back (FlashOperations.h).
  virtual FlashOperationResult Restore(const std::string& imagePath,
                                       const FlashOperationHooks& hooks) = 0;
};

// The table each build of the core gives (ThisCoreOperations in the build's
// namespace, CoreEntry.h).
struct CoreOperations {
  // An engine for the device choice (null: every device of the run).
  std::unique_ptr<CFlashOperations> (*engine)(const DeviceChoice* choice);
  // The update on the registered dialog layer, from the checks to the end.
  UpdateOutcome (*update)(const UpdateRequest& request);
};
