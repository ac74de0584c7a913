// The start of a run of zedrikfu and zedrikfu-sim, the same for every build
// of the updater: what is checked before any device is looked at, the
// dialog layer of an update and, started where no release is, the firmware
// file chooser. It runs before zedrikfu chooses its transport, so that the
// release folder (ReleaseFolder) is known by then whichever way it was given:
// --dir, the program's folder, --firmware or the chooser.
#pragma once

#include <functional>
#include <memory>

#include "CommandLine.h"
#include "DialogControl.h"

// The dialog layer of an update: GTK when the program has it and a display
// can be opened (GTK takes its own options out of argc/argv), else the
// terminal. Never null.
std::unique_ptr<CDialogLayer> OpenDialogLayer(int* argc, char*** argv);

// Started from the desktop, the release folder holds no release: when
// `layer` can choose files, neither --dir nor --firmware was given and the
// release folder of `options` (for the program `argv0`) holds no
// ZEDRIKFU.ini, the chooser asks for the firmware file, and the chosen file
// becomes options->firmware, whose folder is then the release folder.
// -1: go on (a file was chosen, or nothing was asked). 1: the chooser was
// closed without a file; message 106 was shown on `layer` and its cause
// line printed on standard error.
int ChooseReleaseFile(CDialogLayer* layer, const char* argv0, CliOptions* options);

// The start of a parsed command line: names the program in the lines on
// standard error and forgets an earlier run's cause; refuses a --backup or
// --read file that cannot be saved; runs `prepare` when given (zedrikfu-sim
// sets up its virtual bus there). In the update mode it then opens the
// dialog layer into *layer, points options->dialogLayer at it and runs
// ChooseReleaseFile. -1: go on with the run of `options` while *layer
// lives; otherwise the program ends with that exit status (1).
int StartRun(int* argc, char*** argv, CliOptions* options, const std::function<bool()>& prepare,
             std::unique_ptr<CDialogLayer>* layer);

#include "Variant.h"

ZF_VARIANT_BEGIN

// The whole run of a program of one core variant (zedrikfu-sim, the tests):
// parses the arguments, starts the run as above and runs the mode they ask
// for with RunCommandLine (CliModes.h). `prepare`, when given, runs after
// the arguments were accepted and before any device is looked at (zedrikfu-
// sim sets up its virtual bus there); false ends the program with status 1.
int RunCommandLine(int argc, char** argv, const std::function<bool()>& prepare = {});

ZF_VARIANT_END
