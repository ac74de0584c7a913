// How zedrikfu reaches the bridge: through the kernel's SCSI generic
// interface (the SCSI encoding, 512 bytes per flash command) or with USB
// control requests (48 bytes per flash command). Each is a build of the
// updater against its transport; the choice is made once at start-up.
#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"

class IDFilter;

enum class TransportMode { Auto, Scsi, Usb };

// "auto", "scsi" or "usb"; null or empty is "auto". False for anything else.
bool ParseTransportMode(const char* text, TransportMode* mode);

// One transport of the program.
struct TransportEntry {
  const char* description;  // "SCSI generic", "USB control requests"
  // The devices that open and pass the filter, by name; nothing is sent.
  std::vector<std::string> (*admittedDevices)(IDFilter* filter);
  // The updater over this transport with the parsed command line (its
  // transportName set to `description`); returns the exit status.
  int (*run)(int argc, char** argv, const CliOptions& options);
};

// Reads the device filter from ZEDRIKFU.ini in `folder` without the path
// line the update flow prints. False when the file cannot be read.
bool ReadDeviceFilter(const std::string& folder, IDFilter* filter);

// Picks the transport: "usb" and "scsi" as asked; "auto" the SCSI path when
// a device that ZEDRIKFU.ini admits shows a SCSI node that can be opened,
// USB control requests otherwise. With `verbose` one line on standard error
// names the path and the devices it will consider. `scsi` may be null (a
// build without it): then "scsi" is refused and "auto" takes USB. Returns
// the exit status of the run, or 1 when the transport cannot be had.
// `folder` is the release folder that holds ZEDRIKFU.ini (ReleaseFolder).
int RunWithTransport(int argc, char** argv, const CliOptions& options, TransportMode mode,
                     bool verbose, const TransportEntry* scsi, const TransportEntry& usb,
                     const std::string& folder);

// The mode a parsed command line asks for: from --transport, else from
// ZEDRIKFU_TRANSPORT. False, with one message on standard error, for a value
// of ZEDRIKFU_TRANSPORT other than auto, scsi or usb.
bool RequestedTransportMode(const CliOptions& options, TransportMode* mode);

// The same for a parsed command line: the mode from --transport, else from
// ZEDRIKFU_TRANSPORT; the line naming the path with --verbose or
// ZEDRIKFU_VERBOSE=1; ZEDRIKFU.ini from the release folder of `options`. A
// value of ZEDRIKFU_TRANSPORT other than auto, scsi or usb gets one message
// on standard error and exit status 1.
int RunChosenTransport(int argc, char** argv, const CliOptions& options,
                       const TransportEntry* scsi, const TransportEntry& usb);

#include "Variant.h"

ZF_VARIANT_BEGIN

// The devices of this build's transport that can be opened and pass the
// filter, by name (posix/DeviceProbe.cpp, compiled with each transport of
// zedrikfu). Nothing is sent to them.
std::vector<std::string> AdmittedDevices(IDFilter* filter);

ZF_VARIANT_END
