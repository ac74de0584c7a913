// The update decision: every check of a run, the read of the flash and the
// placement of the new firmware, ending in one outcome: a message to show,
// or the question to ask with the two captions and what the write would do.
//
// The dialogs show the outcome and start the write after OK; the tests, the
// benchmarks and the command line run the same session without windows.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FlashROM.h"
#include "Operations.h"
#include "Messages.h"
#include "Types.h"
#include "Variant.h"
#include "WritePlan.h"

class CFileRead;

ZF_VARIANT_BEGIN

// What differs between the front-ends: where the two files come from and
// how the flash is read (with a progress dialog, or without).
struct UpdateSessionHooks {
  // True when the system information file is open.
  std::function<bool(CFileRead*)> openSystemInformation;
  // 0 when the firmware file is open, otherwise the message to show.
  std::function<int(CFileRead*)> openFirmwareFile;
  // Reads the flash; 0 when the read completed, otherwise the message that
  // ends the run, or -1 when it has been shown already. Unset: the session
  // reads without a dialog, reporting to `progress`.
  std::function<int(CFlashROM*)> readFlash;
  // Without readFlash: every progress report of the read and of Write (on
  // the worker thread), or null.
  ProgressCallback progress = nullptr;
  // The flash has been read (before the file is placed into the image).
  std::function<void(CFlashROM*)> flashRead;
  // The read takes the whole flash instead of only what the update uses
  // (ReadPlan.h): for a backup of the flash as it was before the write.
  bool readWholeFlash = false;
  // What the bytes an update does not read hold in the image (they are never
  // used: the tests vary it to show that).
  uint8_t unreadFill = 0xFF;
  // The version steps besides a newer file that the run may take.
  VersionPolicy policy;
};

class CUpdateSession {
 public:
  CUpdateSession(CFlashROM* engine, UpdateSessionHooks hooks)
      : engine_(engine), hooks_(std::move(hooks)) {}

  // The checks, the read and the placement, in the order of a run. The
  // device stays open in every case; the caller closes it.
  UpdateDecision Prepare();
  // The write Prepare planned, without a dialog, to its end: 201 or 202
  // (WriteWithoutDialog), the device closed after it.
  int Write(bool* finalReport = nullptr);

 private:
  CFlashROM* engine_;
  UpdateSessionHooks hooks_;
};

// The engine of an operation run without a dialog (the command line, the
// sweeps, the benchmarks): when it goes, its worker has ended and the
// device is closed, without a command, as the main dialog's destructor does.
class CUnattendedFlashROM : public CFlashROM {
 public:
  CUnattendedFlashROM() = default;
  ~CUnattendedFlashROM() {
    WaitWorker();
    CloseDevice();
  }
  CUnattendedFlashROM(const CUnattendedFlashROM&) = delete;
  CUnattendedFlashROM& operator=(const CUnattendedFlashROM&) = delete;
};

// The device the engine has open and its flash as read: position, copies,
// flash size and erase block, the serial string.
void CollectDeviceFacts(CFlashROM* engine, DeviceFacts* facts);

// The message a failed start of a read or write worker ends the run with.
int WorkerStartMessage(int result, bool writing);

// Runs the read or the write worker to its end without a dialog. `observer`,
// when given, also receives every progress report (on the worker thread).
// Read: 0 when the flash was read, otherwise the message. Write: the final
// message of the run, 201 or 202 (the device is closed as after a write);
// `finalReport` tells whether a started worker gave its final report (a
// dialog would otherwise wait for it).
int ReadWithoutDialog(CFlashROM* engine, ProgressCallback observer = nullptr);
int WriteWithoutDialog(CFlashROM* engine, ProgressCallback observer = nullptr,
                       bool* finalReport = nullptr);
// Recovery: the read with the given programming parameters, and the write of
// the image by the given steps (CFlashROM::ReadFlashROMAs and
// WriteFlashROMSteps), each to its end; the same results as above.
int ReadAsWithoutDialog(CFlashROM* engine, const ROM_PARAMETER_IMAGE& parameters,
                        ProgressCallback observer = nullptr);
int WriteStepsWithoutDialog(CFlashROM* engine, const std::vector<WriteStep>& steps,
                            ProgressCallback observer = nullptr);

// A release held in memory (the sweeps and benchmarks): the contents of the
// two files as the session's sources. Both must outlive the session.
void OpenReleaseFrom(const std::string* systemInformation,
                     const std::vector<unsigned char>* firmware, UpdateSessionHooks* hooks);

// The default sources of the two files: the program's folder.
bool OpenDefaultSystemInformation(CFileRead* file);
int OpenDefaultFirmwareFile(CFileRead* file);

// "from version 01.23" / "from version Unknown" and "to     version 01.23".
void FormatFromCaption(uint16_t revision, char* out, unsigned size);
void FormatToCaption(uint16_t revision, char* out, unsigned size);
// The two captions of a step: a newer file as above; an older one "from
// version <newest installed>" and "to the OLDER version 01.10"; the same
// one "to the SAME version 01.20 (repair)".
void FormatCaptions(VersionStep step, uint16_t current, uint16_t newest, uint16_t next,
                    UpdateDecision* decision);

// The step from the flash's revisions (`current`, the copy compared, 0 when
// unknown; `newest`, of any valid copy for this bridge) to the file's.
VersionStep StepOf(uint16_t current, uint16_t newest, uint16_t next);
// Whether the policy lets an update take the step (a newer file always).
bool PolicyAdmits(const VersionPolicy& policy, VersionStep step);

ZF_VARIANT_END
