// The main dialog: shows the update decision of OnInitialize, writes in OnOK.
// It is itself the flash engine of the run.
#pragma once

#include <cstdint>

#include "BuildRules.h"  // control ids of the two captions and the progress bar
#include "DialogControl.h"
#include "FlashROM.h"
#include "Variant.h"

class CFileRead;

#include "UpdateSession.h"

ZF_VARIANT_BEGIN

class CMainDialog : public CDialogControl, public CFlashROM {
 public:
  CMainDialog() = default;
  ~CMainDialog() override;

  void OnInitialize() override;
  void OnOK() override;

  // Exit status of the run: 0 updated, 2 nothing written and no error
  // (Cancel, or already the latest), 1 any other ending.
  int ExitStatus() const;
  // What the checks decided (empty until OnInitialize ran them), and
  // whether the write started.
  const UpdateDecision& Decision() const { return decision_; }
  bool WriteStarted() const { return writeStarted_; }
  // The device as the read found it: its position and its copies.
  const DeviceFacts& Device() const { return device_; }
  // The run's outcome, for the reports and the update history.
  UpdateOutcome RunOutcome() const;

 protected:
  // Seams for the builds that differ. Defaults: the system information file
  // and MainFW.kqfw from the program's folder.
  virtual bool OpenSystemInformation(CFileRead* file);
  // 0 when the firmware file is open, otherwise the message id to show.
  virtual int OpenFirmwareFile(CFileRead* file);
  // Every check has passed and the new image is prepared.
  virtual void OnChecksPassed() {}
  // The flash has just been read into the image (before the new firmware
  // is placed into it): the whole flash when ReadsWholeFlash().
  virtual void OnFlashRead() {}
  // True when the whole flash is read, not only what the update uses (a
  // front-end that saves a backup of the flash before the write).
  virtual bool ReadsWholeFlash() const { return false; }
  // Called after OK, before the write starts; false: nothing is written and
  // the run ends with message 202.
  virtual bool BeforeWrite() { return true; }
  // The version steps besides a newer file that the run may take.
  virtual VersionPolicy Policy() const { return {}; }

 private:
  void Fail(int messageId, MESSAGE_TYPE kind);
  bool failed_ = false;
  bool wrote_ = false;
  bool writeStarted_ = false;
  UpdateDecision decision_;
  DeviceFacts device_;
};

ZF_VARIANT_END
