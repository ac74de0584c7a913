// The command-line modes of zedrikfu and zedrikfu-sim (check, read,
// restore) and the pieces they share with the update on the dialogs: the
// release files with the cause of a failure; the cause lines on standard
// error are TerminalProgress.h's, the saving of a flash image ImageSave.h's.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ImageSave.h"
#include "Variant.h"

class CFileRead;
class CWorkReport;

ZF_VARIANT_BEGIN

// The program's entry point: parses the arguments, starts the run
// (StartRun in DialogStart.h: in the update mode the dialog layer and, where
// no release is, the firmware file chooser) and runs the mode they ask for.
// `prepare`, when given, runs after the arguments were accepted and before
// any device is looked at (zedrikfu-sim sets up its virtual bus there);
// false ends the program with status 1.
int RunCommandLine(int argc, char** argv, const std::function<bool()>& prepare = {});
// The run of a command line parsed and started already (zedrikfu parses it
// once, starts it, chooses the transport with the release folder it then
// gives, and runs this with the result). The update takes the dialog layer
// of options.dialogLayer.
int RunCommandLine(int argc, char** argv, const CliOptions& options);

// ZEDRIKFU.ini from the release folder; MainFW.kqfw from there or the file
// given. On failure the cause (the file's path and why) goes to standard
// error; the firmware's returns 0 or message 105.
bool OpenSystemInformationFile(CFileRead* file);
int OpenFirmwareFile(CFileRead* file, const std::string& firmware);

// The cause of a run that ended with `message`: the failed command and its
// flash address when a worker recorded one, else what the message means.
std::string CauseOfMessage(int message, const CWorkReport& work);

ZF_VARIANT_END
