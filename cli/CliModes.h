// The command-line modes of every program (zedrikfu, zedrikfu-sim, the
// Windows programs): check, read, restore, and the pieces they share with
// the update on the dialogs: the release files with the cause of a failure.
// The cause lines on standard error are TerminalProgress.h's, the saving of
// a flash image ImageSave.h's.
#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"
#include "ImageSave.h"
#include "Operations.h"

class CFileRead;

// The run of a command line parsed and started already (the platform's
// start parses it once, opens the update's dialog layer, chooses the
// transport with the release folder it then gives, and runs this with the
// result) on the operations of the core that the chosen transport's build
// gives (CoreEntry.h). The update takes the dialog layer of
// options.dialogLayer.
int RunCommandLine(int argc, char** argv, const CliOptions& options, const CoreOperations& core);

// ZEDRIKFU.ini from the release folder; MainFW.kqfw from there or the file
// given. On failure the cause (the file's path and why) goes to standard
// error; the firmware's returns 0 or message 105.
bool OpenSystemInformationFile(CFileRead* file);
int OpenFirmwareFile(CFileRead* file, const std::string& firmware);
// The firmware file's path as the reports name it: --firmware, else
// MainFW.kqfw in the release folder.
std::string FirmwarePath(const CliOptions& options);

// The cause of a run that ended with `message`: the failed command and its
// flash address when a worker recorded one, else what the message means.
std::string CauseOfMessage(int message, const WorkFailure& failure);
