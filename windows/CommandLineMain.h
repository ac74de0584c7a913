// The Windows programs with options on their command line: the options of
// zedrikfu with the same meaning, texts, JSON keys and exit statuses, run by
// the shared front-end (cli/). Without options the programs show their
// dialogs as before (RunWindowsUpdater in AppMain.h).
#pragma once

#include <functional>

// Whether the program was given options (anything after its name).
bool HasCommandLineOptions(int argc);

// Runs the command line `argc`/`argv` (the C runtime's, in the ANSI code
// page) and returns the exit status. `console`: the program is a console
// program (ZEDRIKFU.com), whose standard handles are the console's;
// otherwise (ZEDRIKFU.exe, a windowed program) the output goes to the
// handles it inherited (redirected output) or else to the console of the
// program that started it (AttachConsole). `instance` holds the dialog
// resources of an update; `transportName` names the way to the bridge in the
// reports. `prepare` as in StartCommandLine (UpdaterRun.h).
int RunWindowsCommandLine(void* instance, int argc, char** argv, bool console,
                          const char* transportName, const std::function<bool()>& prepare = {});
