// Transport of the POSIX build with virtual bridge: the virtual devices of
// the active virtual bus, spoken to in the USB encoding.
#pragma once

#include "VirtualTransport.h"

class CUSBControl : public CVirtualTransport {
 public:
  static constexpr unsigned short kRomTransferMax = 48;
  static constexpr bool kScsiCommandSet = false;
  CUSBControl() : CVirtualTransport(vbridge::Encoding::Usb) {}
};
