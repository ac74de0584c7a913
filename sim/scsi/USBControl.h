// Transport of the Windows build with virtual bridge: the virtual devices of
// the active virtual bus, spoken to in the SCSI encoding.
#pragma once

#include "VirtualTransport.h"

class CUSBControl : public CVirtualTransport {
 public:
  static constexpr unsigned short kRomTransferMax = 512;
  static constexpr bool kScsiCommandSet = true;
  CUSBControl() : CVirtualTransport(vbridge::Encoding::Scsi) {}
};
