// The command-line modes of zedrikfu and zedrikfu-sim (check, read,
// restore) and the pieces they share with the update on the dialogs: the
// release files with the cause of a failure, the cause lines on standard
// error; the saving of a flash image is ImageSave.h's.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ImageSave.h"
#include "Variant.h"

class CFileRead;

ZF_VARIANT_BEGIN

// The program's entry point: parses the arguments and runs the mode they
// ask for. `prepare`, when given, runs after the arguments were accepted and
// before any device is looked at (zedrikfu-sim sets up its virtual bus
// there); false ends the program with status 1.
int RunCommandLine(int argc, char** argv, const std::function<bool()>& prepare = {});
// The same for a command line parsed already (zedrikfu parses it once to
// choose the transport, then runs this with the result).
int RunCommandLine(int argc, char** argv, const CliOptions& options,
                   const std::function<bool()>& prepare = {});

// ZEDRIKFU.ini from the release folder; MainFW.kqfw from there or the file
// given. On failure the cause (the file's path and why) goes to standard
// error; the firmware's returns 0 or message 105.
bool OpenSystemInformationFile(CFileRead* file);
int OpenFirmwareFile(CFileRead* file, const std::string& firmware);

// "program: text" on standard error, the one line naming a failure's cause.
void PrintCause(const std::string& text);
bool CausePrinted();
// The cause of a run that ended with `message`: the failed command and its
// flash address when a worker recorded one, else what the message means.
std::string CauseOfMessage(int message);

ZF_VARIANT_END
