// The update run of the command-line front-end, and where a run finds its
// release folder and its devices.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Operations.h"

// The program's folder: argv[0] up to and including its last '/', or "".
std::string ProgramFolder(const char* argv0);

// The release folder of a run, where ZEDRIKFU.ini (and MainFW.kqfw unless
// --firmware names another file) is read, ending in '/' or empty for the
// current folder: --dir; else the program's folder; else, with --firmware
// and no ZEDRIKFU.ini in the program's folder, the firmware file's folder.
// The transport choice and the run both take it from here.
std::string ReleaseFolder(const CliOptions& options, const char* argv0);

// The start of a parsed command line on every platform: names the program
// in the lines on standard error and forgets an earlier run's cause; refuses
// a --backup or --read file that cannot be saved; runs `prepare` when given
// (the programs of the virtual bridge set up their bus there). -1: go on;
// otherwise the program ends with that exit status (1).
int StartCommandLine(const CliOptions& options, const std::function<bool()>& prepare);

// The version steps the options let an update take.
inline VersionPolicy PolicyOf(const CliOptions& options) {
  VersionPolicy policy;
  policy.allowOlder = options.allowOlder;
  policy.allowReinstall = options.allowReinstall;
  return policy;
}

// The update on the dialogs, by the core's update operation. The release
// folder (strAppDir) is set by the caller. Runs the main dialog on
// options.dialogLayer (the terminal when it is null) with the options'
// firmware file, --yes and --backup, and returns the exit status: 0
// updated, 2 nothing written without an error, 1 any other ending.
int RunUpdater(const CliOptions& options, const CoreOperations& core);
