// zedrikfu: the updater for bridges plugged into this machine, reached
// through the kernel's SCSI generic interface or with USB control requests
// through libusb (posix/TransportChoice.h). ZEDRIKFU.ini and MainFW.kqfw are
// read from the program's folder (the current folder when it was started by
// name from the PATH).
#include <string>
#include <vector>

#include "TransportChoice.h"

// The updater built against each transport: posix/AppMain.cpp and
// posix/DeviceProbe.cpp compiled in the namespace of that core build (named
// after its target, zedrikfu_core in CMakeLists.txt).
inline namespace zf_core_libusb {
int RunUpdater(int argc, char** argv);
std::vector<std::string> AdmittedDevices(IDFilter* filter);
}  // namespace zf_core_libusb
#ifdef ZEDRIKFU_HAVE_SGIO
inline namespace zf_core_sgio {
int RunUpdater(int argc, char** argv);
std::vector<std::string> AdmittedDevices(IDFilter* filter);
}  // namespace zf_core_sgio
#endif

int main(int argc, char** argv) {
  const TransportEntry usb = {"USB control requests", zf_core_libusb::AdmittedDevices,
                              zf_core_libusb::RunUpdater};
#ifdef ZEDRIKFU_HAVE_SGIO
  const TransportEntry scsi = {"SCSI generic", zf_core_sgio::AdmittedDevices,
                               zf_core_sgio::RunUpdater};
  return RunFromEnvironment(argc, argv, &scsi, usb);
#else
  return RunFromEnvironment(argc, argv, nullptr, usb);
#endif
}
