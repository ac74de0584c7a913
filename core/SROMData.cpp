// Identifying the flash part on the device by its ROM-ID replies. The
// conversions of the part table are in SROMConversions.cpp.
#include "SROMData.h"

#include <cstring>

#include "USBCommand.h"

ZF_VARIANT_BEGIN

namespace {

using srom::IsEndRow;
using srom::NameEquals;

enum class ProbeResult { Match, Mismatch, TransferFailed };

// Clocks one identification probe out to the flash and compares the reply.
ProbeResult SendProbe(CUSBCommand* command, const SerialFlashIdProbe& probe) {
  unsigned char reply[sizeof probe.Reply] = {};
  const unsigned char length = probe.ReplyLength <= sizeof reply
                                   ? probe.ReplyLength
                                   : static_cast<unsigned char>(sizeof reply);
  if (!command->USBCom_GETROMID(probe.Command, probe.CommandLength, reply, length)) {
    return ProbeResult::TransferFailed;
  }
  return std::memcmp(reply, probe.Reply, length) == 0 ? ProbeResult::Match : ProbeResult::Mismatch;
}

// Probes one row afresh: probe 1, then probe 2 when probe 1 matched and the
// row uses a second probe. A row without probes matches untried.
ProbeResult ProbeRow(CUSBCommand* command, const SerialFlashRomParam& row) {
  if (row.IdProbe1.CommandLength == 0) return ProbeResult::Match;
  const ProbeResult first = SendProbe(command, row.IdProbe1);
  if (first != ProbeResult::Match) return first;
  if (row.IdProbe2.CommandLength == 0) return ProbeResult::Match;
  return SendProbe(command, row.IdProbe2);
}

}  // namespace

int CSROMData::SearchSROMType(CUSBCommand* command, ROM_PARAMETER_IMAGE* image,
                              const char** name) {
  if (image == nullptr || command == nullptr) return 0;
  for (unsigned i = 0; !IsEndRow(i); ++i) {
    if (ProbeRow(command, gSerialFlashRomParamTbl[i]) != ProbeResult::Match) continue;
    _serialflash_romparamlist list{};
    if (srom::GetParamList(i, &list, 0, BRIDGEIC_QK9318E, FWALLOCATE_ANY) != 2) return 0;
    srom::ListToImage(image, &list);
    if (name != nullptr) *name = gSerialFlashRomParamTbl[i].Name;
    return 1;
  }
  return 0;
}

int CSROMData::CheckSROMType(const char* name, CUSBCommand* command) {
  if (name == nullptr || command == nullptr) return 0;
  for (unsigned i = 0; !IsEndRow(i); ++i) {
    const SerialFlashRomParam& row = gSerialFlashRomParamTbl[i];
    if (!NameEquals(row.Name, name)) continue;
    switch (ProbeRow(command, row)) {
      case ProbeResult::Match:
        return 1;
      case ProbeResult::Mismatch:
        return 0;
      case ProbeResult::TransferFailed:
        break;  // try a later row of the same name
    }
  }
  return 0;
}

ZF_VARIANT_END
