// The supported SPI flash parts, row by row as the bridge's part list
// publishes them. The columns that every part shares are stated once, in
// Part(); each row names only the columns in which the parts differ.
#include "SROMData.h"
#include "SROMTableCheck.h"

const char kFlashTypeNotShown[] = "Flash type not shown when read the flash";

namespace {

// Codes of the list form, by the size or speed they stand for: indexes into
// gEraseSizeTable and gFlashRomSizeTable, and the frequency codes.
enum EraseSize : uint8_t { k4KB = 0, k32KB = 1, k64KB = 2 };
enum RomSize : uint8_t { k64KiB = 0, k128KiB = 1, k256KiB = 2, k512KiB = 3, k1MiB = 4 };
enum Frequency : uint8_t { k37_50MHz = 0, k18_75MHz = 1 };

// The expected reply of an identification probe, first byte first.
struct Reply {
  uint8_t length;
  uint8_t bytes[3];
};
constexpr Reply Id(uint8_t a) { return {1, {a, 0, 0}}; }
constexpr Reply Id(uint8_t a, uint8_t b) { return {2, {a, b, 0}}; }
constexpr Reply Id(uint8_t a, uint8_t b, uint8_t c) { return {3, {a, b, c}}; }
constexpr Reply kNotUsed = {0, {0, 0, 0}};

// The columns in which the parts differ, named as in the published list.
struct PartColumns {
  const char* name;
  uint8_t read;        // ReadCommand: 0x03 read, 0x0B fast read
  uint8_t erase;       // EraseCommand
  EraseSize eraseSize;
  RomSize romSize;
  uint8_t mode;        // ModeCode
  Frequency frequency;
  uint8_t flags;       // ControlFlags
  Reply jedec;         // IdProbe1: JEDEC identification, opcode 0x9F
  Reply signature;     // IdProbe2: electronic signature, opcode 0xAB and three dummy bytes
};

// Opcodes and codes that are the same for every part and for the END row.
constexpr uint8_t kEWSR = 0x50;
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kWriteDisable = 0x04;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kWriteStatus = 0x01;
// The same for every part.
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kChipErase = 0xC7;
constexpr uint8_t kPageUnit256 = 3;  // gPageProgUnitSizeTable
constexpr uint8_t kAAIUnit1 = 0;     // gAAIProgUnitSizeTable
constexpr SerialFlashIdProbe kNoProbe = {0, 0, 0, {0, 0, 0}};

constexpr SerialFlashIdProbe Probe(uint8_t commandLength, uint8_t opcode, const Reply& reply) {
  if (reply.length == 0) return kNoProbe;
  return {commandLength, static_cast<uint32_t>(opcode) << 24, reply.length,
          {reply.bytes[0], reply.bytes[1], reply.bytes[2]}};
}

// A row with the shared opcodes; the name zero-filled to the field's end.
constexpr SerialFlashRomParam SharedColumns(const char* name, uint8_t controlFlags) {
  SerialFlashRomParam row{};
  for (size_t i = 0; name[i] != '\0' && i + 1 < sizeof row.Name; ++i) row.Name[i] = name[i];
  row.EWSRCommand = kEWSR;
  row.WriteEnableCommand = kWriteEnable;
  row.WriteDisableCommand = kWriteDisable;
  row.ReadStatusCommand = kReadStatus;
  row.WriteStatusCommand = kWriteStatus;
  row.ControlFlags = controlFlags;
  row.Reserved = 0;
  return row;
}

constexpr SerialFlashRomParam Part(const PartColumns& part) {
  SerialFlashRomParam row = SharedColumns(part.name, part.flags);
  row.ReadCommand = part.read;
  row.ProgramCommand = kPageProgram;
  row.PageProgramUnitCode = kPageUnit256;
  row.EraseCommand = part.erase;
  row.ChipEraseCommand = kChipErase;
  row.AAIProgramUnitCode = kAAIUnit1;
  row.EraseSizeCode = part.eraseSize;
  row.RomSizeCode = part.romSize;
  row.ModeCode = part.mode;
  row.FrequencyCode = part.frequency;
  row.IdProbe1 = Probe(1, 0x9F, part.jedec);
  row.IdProbe2 = Probe(4, 0xAB, part.signature);
  return row;
}

// The terminator: ends every search; its opcodes and flags are the defaults
// ListToImage gives a part that is not in the table. Its other columns are
// not read.
constexpr SerialFlashRomParam End() { return SharedColumns("END", 0xF4); }

}  // namespace

extern constexpr SerialFlashRomParam gSerialFlashRomParamTbl[kSerialFlashPartCount + 1] = {
    Part({.name = "ATMEL AT25DF021-xxF-x", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k256KiB, .mode = 1, .frequency = k37_50MHz, .flags = 0xB5,
          .jedec = Id(0x1F, 0x43, 0x00), .signature = kNotUsed}),
    Part({.name = "ATMEL AT25DF041A-xxF-x", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k512KiB, .mode = 1, .frequency = k37_50MHz, .flags = 0xB5,
          .jedec = Id(0x1F, 0x44, 0x01), .signature = kNotUsed}),
    Part({.name = "EONSillicon EN25LF10", .read = 0x03, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k128KiB, .mode = 0, .frequency = k18_75MHz, .flags = 0xB0,
          .jedec = Id(0x1C, 0x31, 0x11), .signature = Id(0x10)}),
    Part({.name = "EONSillicon EN25LF20", .read = 0x03, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k256KiB, .mode = 0, .frequency = k18_75MHz, .flags = 0xB0,
          .jedec = Id(0x1C, 0x31, 0x12), .signature = Id(0x11)}),
    Part({.name = "EONSillicon EN25LF40", .read = 0x03, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k512KiB, .mode = 0, .frequency = k18_75MHz, .flags = 0xB0,
          .jedec = Id(0x1C, 0x31, 0x13), .signature = Id(0x12)}),
    Part({.name = "Macronix MX25V512C", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k64KiB, .mode = 0, .frequency = k37_50MHz, .flags = 0xB1,
          .jedec = Id(0xC2, 0x20, 0x10), .signature = Id(0x05)}),
    Part({.name = "Macronix MX25V4005C", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k512KiB, .mode = 0, .frequency = k37_50MHz, .flags = 0xB1,
          .jedec = Id(0xC2, 0x20, 0x13), .signature = Id(0x12)}),
    Part({.name = "Macronix MX25V8005C", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k1MiB, .mode = 0, .frequency = k37_50MHz, .flags = 0xB1,
          .jedec = Id(0xC2, 0x20, 0x14), .signature = Id(0x13)}),
    Part({.name = "Macronix MX25V4035C", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k512KiB, .mode = 1, .frequency = k37_50MHz, .flags = 0xB5,
          .jedec = Id(0xC2, 0x25, 0x53), .signature = Id(0x53)}),
    Part({.name = "Macronix MX25V8035C", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k1MiB, .mode = 1, .frequency = k37_50MHz, .flags = 0xB5,
          .jedec = Id(0xC2, 0x25, 0x54), .signature = Id(0x54)}),
    Part({.name = "Numonyx M25P05-A(Technology code Y)", .read = 0x0B, .erase = 0xD8,
          .eraseSize = k32KB, .romSize = k64KiB, .mode = 0, .frequency = k37_50MHz, .flags = 0xB1,
          .jedec = Id(0x20, 0x20, 0x10), .signature = Id(0x05)}),
    Part({.name = "Numonyx M25P20", .read = 0x03, .erase = 0xD8, .eraseSize = k64KB,
          .romSize = k256KiB, .mode = 0, .frequency = k18_75MHz, .flags = 0xB0,
          .jedec = Id(0x20, 0x20, 0x12), .signature = Id(0x11)}),
    Part({.name = "Numonyx M25P40", .read = 0x0B, .erase = 0xD8, .eraseSize = k64KB,
          .romSize = k512KiB, .mode = 0, .frequency = k37_50MHz, .flags = 0xB1,
          .jedec = Id(0x20, 0x20, 0x13), .signature = Id(0x12)}),
    Part({.name = "Sanyo LE25FU106B", .read = 0x03, .erase = 0xD7, .eraseSize = k4KB,
          .romSize = k128KiB, .mode = 0, .frequency = k18_75MHz, .flags = 0xB0,
          .jedec = Id(0x62, 0x1D), .signature = Id(0x62, 0x1D)}),
    Part({.name = "Sanyo LE25FU206", .read = 0x03, .erase = 0xD7, .eraseSize = k4KB,
          .romSize = k256KiB, .mode = 0, .frequency = k18_75MHz, .flags = 0xB0,
          .jedec = Id(0x62, 0x44), .signature = Id(0x62, 0x44)}),
    Part({.name = "Sanyo LE25FU406B", .read = 0x03, .erase = 0xD7, .eraseSize = k4KB,
          .romSize = k512KiB, .mode = 0, .frequency = k18_75MHz, .flags = 0xB0,
          .jedec = Id(0x62, 0x1E), .signature = Id(0x62, 0x1E)}),
    Part({.name = "Winbond W25X20BL", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k256KiB, .mode = 0, .frequency = k37_50MHz, .flags = 0xB1,
          .jedec = Id(0xEF, 0x30, 0x12), .signature = Id(0x11)}),
    Part({.name = "Winbond W25X40BL", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k512KiB, .mode = 0, .frequency = k37_50MHz, .flags = 0xB1,
          .jedec = Id(0xEF, 0x30, 0x13), .signature = Id(0x12)}),
    Part({.name = "Winbond W25Q40BL", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k512KiB, .mode = 0, .frequency = k37_50MHz, .flags = 0xB1,
          .jedec = Id(0xEF, 0x40, 0x13), .signature = Id(0x12)}),
    Part({.name = "Winbond W25Q80BL", .read = 0x0B, .erase = 0x20, .eraseSize = k4KB,
          .romSize = k1MiB, .mode = 0, .frequency = k37_50MHz, .flags = 0xB1,
          .jedec = Id(0xEF, 0x40, 0x14), .signature = Id(0x13)}),
    End(),
};

static_assert(SerialFlashTableFault(gSerialFlashRomParamTbl, kSerialFlashPartCount + 1) == nullptr,
              "the flash-part table breaks one of the rules of SROMTableCheck.h");
