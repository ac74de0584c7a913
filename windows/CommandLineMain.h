// The Windows programs with options on their command line: the options of
// zedrikfu with the same meaning, texts, JSON keys and exit statuses, run by
// the shared front-end (cli/). Without options the programs show their
// dialogs as before (RunWindowsUpdater in AppMain.h).
#pragma once

#include <functional>

// Whether the program was given options (anything after its name).
bool HasCommandLineOptions(int argc);

// Runs the program's command line and returns the exit status. The
// arguments are those of the wide command line (GetCommandLineW,
// CommandLineToArgvW) in UTF-8, so that a path outside the ANSI code page
// reaches the options as it was typed; a console shows the output in UTF-8
// (its output code page, restored at the end). `console`: the program is a
// console program (ZEDRIKFU.com), whose standard handles are the console's;
// otherwise (ZEDRIKFU.exe, a windowed program) the output goes to the
// handles it inherited (redirected output) or else to the console of the
// program that started it (AttachConsole). `instance` holds the dialog
// resources of an update; `transportName` names the way to the bridge in the
// reports. `prepare` as in StartCommandLine (UpdaterRun.h).
int RunWindowsCommandLine(void* instance, bool console, const char* transportName,
                          const std::function<bool()>& prepare = {});
