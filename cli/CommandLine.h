// The command line of zedrikfu and zedrikfu-sim: the options, their parser
// and the exit statuses it gives for --help, --version and bad input.
#pragma once

#include <string>

#include "DeviceChoice.h"
#include "ExitStatus.h"

class CDialogLayer;
class CWriteGuard;

enum class CliMode { kUpdate, kCheck, kRead, kRestore, kHistory };

struct CliOptions {
  std::string program = "zedrikfu";  // the name the help and the messages use
  CliMode mode = CliMode::kUpdate;
  std::string dir;       // folder of ZEDRIKFU.ini and MainFW.kqfw ("": the program's)
  std::string firmware;  // another firmware file ("": MainFW.kqfw in dir)
  bool yes = false;
  bool json = false;
  bool verbose = false;
  // The update and --check: write a firmware file older than the installed
  // version / equal to it where a copy differs or is broken.
  bool allowOlder = false;
  bool allowReinstall = false;
  std::string backup;    // save the flash as read before the first erase
  std::string readFile;  // --read: save the flash and end
  std::string restore;   // --restore: write this saved image back
  bool haveChoice = false;
  DeviceChoice choice;   // --device / --usb-id
  std::string transport;  // auto, scsi or usb ("": not given)
  // How this run reaches the bridge, for the reports ("SCSI generic", "USB
  // control requests"), set when the transport has been chosen; the
  // programs of the virtual bridge leave it.
  std::string transportName = "virtual bridge";
  // The dialog layer of an update, opened at the start of the run before the
  // transport is chosen (StartRun in DialogStart.h), which owns it; not owned
  // here. Null: the update runs on the terminal.
  CDialogLayer* dialogLayer = nullptr;
  // The write guard that goes with that layer (the Windows windows hold off
  // shutdown through it), not owned here. Null: the platform's own
  // (MakeWriteGuard in Console.h).
  CWriteGuard* writeGuard = nullptr;
};

// Exit statuses of the program: kExitOk, kExitError, kExitNothingToDo.

// Parses the arguments. -1: run with `options`; otherwise the program ends
// with that status: 0 after --help or --version (printed on standard
// output), 1 after a bad option or argument (an error and a usage line on
// standard error).
int ParseCommandLine(int argc, char** argv, CliOptions* options);

// "BUS:ADDR" (decimal, as lsusb shows them) and "VID:PID" (hexadecimal,
// with or without 0x). False for anything else or out of range.
bool ParseBusPosition(const std::string& text, int* bus, int* address);
// --device: BUS:ADDR, or with `diskNumbers` also a disk number (decimal,
// 0-999: bus 0, the number as the address), as the Windows builds take it.
bool ParseDevicePosition(const std::string& text, bool diskNumbers, int* bus, int* address);
bool ParseUsbIds(const std::string& text, uint16_t* vendorId, uint16_t* productId);

// The version of the program, from the build.
const char* ProgramVersion();
