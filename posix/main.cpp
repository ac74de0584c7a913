// zedrikfu: the updater for bridges plugged into this machine, reached
// through libusb. ZEDRIKFU.ini and MainFW.kqfw are read from the program's
// folder (the current folder when it was started by name from the PATH), or
// from the folder given with --dir; `zedrikfu --help` lists the options.
#include "CliModes.h"

int main(int argc, char** argv) { return RunCommandLine(argc, argv); }
