#include "TransportChoice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "UpdaterRun.h"
#include "FilRead.h"
#include "IDFilter.h"
#include "SystemInformation.h"

bool ParseTransportMode(const char* text, TransportMode* mode) {
  if (mode == nullptr) return false;
  if (text == nullptr || *text == '\0' || std::strcmp(text, "auto") == 0) {
    *mode = TransportMode::Auto;
  } else if (std::strcmp(text, "scsi") == 0) {
    *mode = TransportMode::Scsi;
  } else if (std::strcmp(text, "usb") == 0) {
    *mode = TransportMode::Usb;
  } else {
    return false;
  }
  return true;
}

bool ReadDeviceFilter(const std::string& folder, IDFilter* filter) {
  CFileRead file;
  const std::string path = folder + "ZEDRIKFU.ini";
  if (!file.OpenPath(path.c_str())) return false;
  const unsigned char* text = file.ReadTextFile();
  if (text == nullptr) return false;
  CSystemInformation information;
  information.SetInformationFile(reinterpret_cast<const char*>(text));
  information.AddFilter(filter);
  return true;
}

int RunWithTransport(int argc, char** argv, const CliOptions& options, TransportMode mode,
                     bool verbose, const TransportEntry* scsi, const TransportEntry& usb,
                     const std::string& folder) {
  if (mode == TransportMode::Scsi && scsi == nullptr) {
    std::fprintf(stderr, "zedrikfu: this build has no SCSI generic transport\n");
    return 1;
  }
  IDFilter filter;
  const bool filtered =
      mode != TransportMode::Usb || verbose ? ReadDeviceFilter(folder, &filter) : false;
  // Without the system information file no device is admitted; the flow
  // then reports the missing file, on either path.
  std::vector<std::string> devices;
  const TransportEntry* chosen = &usb;
  if (mode != TransportMode::Usb && scsi != nullptr) {
    if (filtered) devices = scsi->admittedDevices(&filter);
    if (mode == TransportMode::Scsi || !devices.empty()) chosen = scsi;
  }
  if (verbose) {
    if (chosen == &usb) devices = filtered ? usb.admittedDevices(&filter) : std::vector<std::string>();
    std::string line = std::string("zedrikfu: transport: ") + chosen->description;
    if (devices.empty()) line += " (no device)";
    for (size_t i = 0; i < devices.size(); ++i) line += (i == 0 ? " " : ", ") + devices[i];
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  CliOptions run = options;
  run.transportName = chosen->description;
  return chosen->run(argc, argv, run);
}

bool RequestedTransportMode(const CliOptions& options, TransportMode* mode) {
  *mode = TransportMode::Auto;
  if (!options.transport.empty()) {
    // Checked by the parser: one of the three.
    ParseTransportMode(options.transport.c_str(), mode);
    return true;
  }
  const char* requested = std::getenv("ZEDRIKFU_TRANSPORT");
  if (ParseTransportMode(requested, mode)) return true;
  std::fprintf(stderr, "zedrikfu: ZEDRIKFU_TRANSPORT must be auto, scsi or usb, not \"%s\"\n",
               requested);
  return false;
}

int RunChosenTransport(int argc, char** argv, const CliOptions& options,
                       const TransportEntry* scsi, const TransportEntry& usb) {
  TransportMode mode = TransportMode::Auto;
  if (!RequestedTransportMode(options, &mode)) return 1;
  const char* verbose = std::getenv("ZEDRIKFU_VERBOSE");
  const bool named = options.verbose || (verbose != nullptr && std::strcmp(verbose, "1") == 0);
  return RunWithTransport(argc, argv, options, mode, named, scsi, usb,
                          ReleaseFolder(options, argc > 0 ? argv[0] : nullptr));
}
