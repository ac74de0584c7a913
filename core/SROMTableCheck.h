// The rules every flash-part table keeps. SROMTables.cpp checks its table
// with them when it is compiled; the unit tests check that each rule catches
// a table broken on purpose.
#pragma once

#include <cstddef>
#include <iterator>

#include "SROMData.h"

namespace srom_check {

constexpr size_t kNameWidth = sizeof(SerialFlashRomParam::Name);

constexpr bool Terminated(const char (&name)[kNameWidth]) {
  for (size_t i = 0; i < kNameWidth; ++i) {
    if (name[i] == '\0') return true;
  }
  return false;
}

// Names are compared over the whole field, as the searches compare them.
constexpr bool SameName(const char (&a)[kNameWidth], const char* b) {
  for (size_t i = 0; i < kNameWidth; ++i) {
    if (a[i] != b[i]) return false;
    if (a[i] == '\0') return true;
  }
  return true;
}

constexpr bool PowerOfTwo(unsigned long value) { return value != 0 && (value & (value - 1)) == 0; }

// The code tables give sizes that are powers of two, and no erase block is
// larger than the smallest flash: then every row whose codes lie inside the
// tables has such sizes and erase blocks that tile its flash.
constexpr bool CodeTablesHold() {
  for (uint16_t unit : gPageProgUnitSizeTable) {
    if (!PowerOfTwo(unit)) return false;
  }
  for (uint8_t unit : gAAIProgUnitSizeTable) {
    if (!PowerOfTwo(unit)) return false;
  }
  for (uint8_t eraseLog2 : gEraseSizeTable) {
    for (uint8_t romLog2 : gFlashRomSizeTable) {
      if (romLog2 >= 32 || eraseLog2 > romLog2) return false;
    }
  }
  return true;
}
static_assert(CodeTablesHold(), "code tables of powers of two, erase blocks within every flash");

// A device answering one probe would also match the other: the shorter
// reply is the start of the longer one (searches compare ReplyLength bytes).
constexpr bool Ambiguous(const SerialFlashIdProbe& a, const SerialFlashIdProbe& b) {
  const uint8_t shorter = a.ReplyLength < b.ReplyLength ? a.ReplyLength : b.ReplyLength;
  for (uint8_t i = 0; i < shorter; ++i) {
    if (a.Reply[i] != b.Reply[i]) return false;
  }
  return true;
}

constexpr bool ProbeUsable(const SerialFlashIdProbe& probe, uint8_t commandLength,
                           uint32_t command) {
  return probe.CommandLength == commandLength && probe.Command == command &&
         probe.ReplyLength >= 1 && probe.ReplyLength <= sizeof(probe.Reply);
}

}  // namespace srom_check

// The first rule that the `count` rows of a part table break, or null when
// they keep every rule:
// - the last row, and only the last, is named "END";
// - every part has a name that ends inside its field, and no two parts have
//   the same name;
// - every size code lies inside its code table (whose sizes are powers of
//   two, erase blocks no larger than any flash: CodeTablesHold);
// - every part answers probe 1 (opcode 0x9F, 1 byte out) with 1 to 3 bytes,
//   and no two parts' probe 1 replies can be mistaken for each other;
//   probe 2 is unused or opcode 0xAB with 4 bytes out and 1 to 3 bytes in;
// - the fast-read bit of ControlFlags is set exactly for read opcode 0x0B,
//   the frequency code is 0 to 3 and the mode code 0 or 1.
constexpr const char* SerialFlashTableFault(const SerialFlashRomParam* rows, unsigned count) {
  using namespace srom_check;
  if (rows == nullptr || count == 0) return "the table has no rows";
  if (!SameName(rows[count - 1].Name, "END")) return "the last row is not named END";
  for (unsigned i = 0; i + 1 < count; ++i) {
    const SerialFlashRomParam& row = rows[i];
    if (!Terminated(row.Name)) return "a part name does not end inside its field";
    if (row.Name[0] == '\0') return "a part has no name";
    if (SameName(row.Name, "END")) return "a row before the last is named END";
    for (unsigned j = 0; j < i; ++j) {
      if (SameName(rows[j].Name, row.Name)) return "two parts have the same name";
    }

    if (row.PageProgramUnitCode >= std::size(gPageProgUnitSizeTable) ||
        row.AAIProgramUnitCode >= std::size(gAAIProgUnitSizeTable) ||
        row.EraseSizeCode >= std::size(gEraseSizeTable) ||
        row.RomSizeCode >= std::size(gFlashRomSizeTable)) {
      return "a size code lies outside its code table";
    }

    if (!ProbeUsable(row.IdProbe1, 1, 0x9F000000u)) return "a part's probe 1 is not a 0x9F probe";
    if (row.IdProbe2.CommandLength != 0 && !ProbeUsable(row.IdProbe2, 4, 0xAB000000u)) {
      return "a part's probe 2 is neither unused nor a 0xAB probe";
    }
    for (unsigned j = 0; j < i; ++j) {
      if (Ambiguous(rows[j].IdProbe1, row.IdProbe1)) {
        return "two parts' probe 1 replies can be mistaken for each other";
      }
    }

    if (((row.ControlFlags & 0x01) != 0) != (row.ReadCommand == 0x0B)) {
      return "the fast-read flag does not match the read opcode";
    }
    if (row.FrequencyCode > 3 || row.ModeCode > 1) {
      return "a frequency or mode code is out of range";
    }
  }
  return nullptr;
}
