// Start-up shared by the POSIX programs.
#pragma once

#include <string>
#include <vector>

#include "Variant.h"

class IDFilter;

// The program's folder: argv[0] up to and including its last '/', or "".
std::string ProgramFolder(const char* argv0);

ZF_VARIANT_BEGIN

// Sets the application directory from argv[0], picks the dialog layer (GTK
// when the program has it and a display can be opened, else the terminal), runs
// the main dialog and returns the exit status: 0 updated, 2 nothing written
// without an error, 1 any other ending.
int RunUpdater(int argc, char** argv);

// The devices of this build's transport that can be opened and pass the
// filter, by name (posix/DeviceProbe.cpp, in the programs of real devices).
// Nothing is sent to them.
std::vector<std::string> AdmittedDevices(IDFilter* filter);

ZF_VARIANT_END
