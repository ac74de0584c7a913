// zedrikfu: the updater for bridges plugged into this machine, reached
// through the kernel's SCSI generic interface or with USB control requests
// through libusb (posix/TransportChoice.h). ZEDRIKFU.ini and MainFW.kqfw are
// read from the program's folder (the current folder when it was started by
// name from the PATH), or from the folder given with --dir; `zedrikfu --help`
// lists the options.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "AppMain.h"
#include "TransportChoice.h"

// The updater built against each transport: its command line, start-up and
// device probe compiled in the namespace of that core build (named after its
// target, zedrikfu_core in CMakeLists.txt).
inline namespace zf_core_libusb {
int RunCommandLine(int argc, char** argv, const std::function<bool()>& prepare);
std::vector<std::string> AdmittedDevices(IDFilter* filter);
}  // namespace zf_core_libusb
#ifdef ZEDRIKFU_HAVE_SGIO
inline namespace zf_core_sgio {
int RunCommandLine(int argc, char** argv, const std::function<bool()>& prepare);
std::vector<std::string> AdmittedDevices(IDFilter* filter);
}  // namespace zf_core_sgio
#endif

namespace {

// The options the transport is chosen by, read before the command line is
// parsed in full: --transport sets ZEDRIKFU_TRANSPORT, --verbose
// ZEDRIKFU_VERBOSE, and --dir names the folder whose ZEDRIKFU.ini admits
// the devices. A malformed command line is left to the full parser.
std::string ChoiceOptions(int argc, char** argv) {
  std::string folder = ProgramFolder(argc > 0 ? argv[0] : nullptr);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name, std::string* out) {
      const std::string prefix = std::string(name) + "=";
      if (arg.compare(0, prefix.size(), prefix) == 0) {
        *out = arg.substr(prefix.size());
        return true;
      }
      if (arg == name && i + 1 < argc) {
        *out = argv[++i];
        return true;
      }
      return false;
    };
    std::string text;
    if (arg == "--") break;
    if (value("--transport", &text)) {
      setenv("ZEDRIKFU_TRANSPORT", text.c_str(), 1);
    } else if (value("--dir", &text)) {
      folder = text.empty() || text.back() == '/' ? text : text + "/";
    } else if (arg == "--verbose" || arg == "-v") {
      setenv("ZEDRIKFU_VERBOSE", "1", 1);
    }
  }
  return folder;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away early (`zedrikfu -y | head -1`) must not end
  // the run in the middle of a write: output to it fails and is let go.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string folder = ChoiceOptions(argc, argv);
  const TransportEntry usb = {
      "USB control requests", zf_core_libusb::AdmittedDevices,
      [](int c, char** v) { return zf_core_libusb::RunCommandLine(c, v, {}); }};
#ifdef ZEDRIKFU_HAVE_SGIO
  const TransportEntry scsi = {
      "SCSI generic", zf_core_sgio::AdmittedDevices,
      [](int c, char** v) { return zf_core_sgio::RunCommandLine(c, v, {}); }};
  return RunFromEnvironment(argc, argv, &scsi, usb, folder);
#else
  return RunFromEnvironment(argc, argv, nullptr, usb, folder);
#endif
}
