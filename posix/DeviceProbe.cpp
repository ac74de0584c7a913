// The devices a transport would consider, for the choice of the transport
// and the line that names it. Compiled with each transport of zedrikfu.
#include "TransportChoice.h"
#include "USBCommand.h"

ZF_VARIANT_BEGIN

std::vector<std::string> AdmittedDevices(IDFilter* filter) {
  std::vector<std::string> names;
  CUSBControl transport;
  void* list = transport.GetDeviceList();
  if (list == nullptr) return names;
  void* cursor = list;
  while (transport.OpenNextDevice(list, &cursor) == 0) {
    if (transport.IDCheck(filter)) names.push_back(transport.DeviceName());
    transport.CloseDevice();
  }
  return names;
}

ZF_VARIANT_END
