// zedrikfu: the updater for bridges plugged into this machine, reached
// through the kernel's SCSI generic interface or with USB control requests
// through libusb (posix/TransportChoice.h). ZEDRIKFU.ini and MainFW.kqfw are
// read from the release folder (ReleaseFolder in UpdaterRun.h): --dir, the
// program's folder (the current folder when it was started by name from the
// PATH), the folder of the file given with --firmware, or that of the file
// chosen in the firmware file chooser; `zedrikfu --help` lists the options.
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "CliModes.h"
#include "CommandLine.h"
#include "DialogStart.h"
#include "History.h"
#include "Operations.h"
#include "TransportChoice.h"

// Each transport's build of the core gives its operations and its device
// probe, in the namespace of that build (named after its target,
// zedrikfu_core in CMakeLists.txt); the front-end is the same for both.
inline namespace zf_core_libusb {
const CoreOperations& ThisCoreOperations();
std::vector<std::string> AdmittedDevices(IDFilter* filter);
}  // namespace zf_core_libusb
#ifdef ZEDRIKFU_HAVE_SGIO
inline namespace zf_core_sgio {
const CoreOperations& ThisCoreOperations();
std::vector<std::string> AdmittedDevices(IDFilter* filter);
}  // namespace zf_core_sgio
#endif

int main(int argc, char** argv) {
  // A reader that goes away early (`zedrikfu -y | head -1`) must not end
  // the run in the middle of a write: output to it fails and is let go.
  std::signal(SIGPIPE, SIG_IGN);
  // The command line is parsed once, here: a bad option, or a bad
  // ZEDRIKFU_TRANSPORT, ends the run before any window or device.
  CliOptions options;
  const int parsed = ParseCommandLine(argc, argv, &options);
  if (parsed >= 0) return parsed;
  // The history is a file of the user's: no window, release or device.
  if (options.mode == CliMode::kHistory) return ShowHistory(options);
  TransportMode mode = TransportMode::Auto;
  if (!RequestedTransportMode(options, &mode)) return kExitError;
  // The start of the run opens the update's dialog layer and, started where
  // no release is, asks for the firmware file: only then is the release
  // folder known, and the transport is chosen with its ZEDRIKFU.ini.
  std::unique_ptr<CDialogLayer> layer;
  const int started = StartRun(&argc, &argv, &options, {}, &layer);
  if (started >= 0) return started;
  const TransportEntry usb = {"USB control requests", zf_core_libusb::AdmittedDevices,
                              [](int c, char** v, const CliOptions& o) {
                                return RunCommandLine(c, v, o, zf_core_libusb::ThisCoreOperations());
                              }};
#ifdef ZEDRIKFU_HAVE_SGIO
  const TransportEntry scsi = {"SCSI generic", zf_core_sgio::AdmittedDevices,
                               [](int c, char** v, const CliOptions& o) {
                                 return RunCommandLine(c, v, o, zf_core_sgio::ThisCoreOperations());
                               }};
  return RunChosenTransport(argc, argv, options, &scsi, usb);
#else
  return RunChosenTransport(argc, argv, options, nullptr, usb);
#endif
}
