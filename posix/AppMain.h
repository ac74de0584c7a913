// Start-up shared by the POSIX programs.
#pragma once

#include <string>

// The program's folder: argv[0] up to and including its last '/', or "".
std::string ProgramFolder(const char* argv0);

// Sets the application directory from argv[0], picks the dialog layer (GTK
// when the program has it and a display can be opened, else the terminal), runs
// the main dialog and returns the exit status: 0 updated, 2 nothing written
// without an error, 1 any other ending.
int RunUpdater(int argc, char** argv);
