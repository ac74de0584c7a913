// The flash-part table, the code tables and the conversions between the
// list form and the record form of a part's programming parameters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "SROMData.h"
#include "SROMTableCheck.h"

namespace {

// The supported parts as published for the bridge, independent of the
// table's source text.
struct ExpectedPart {
  const char* name;
  uint8_t read, erase, eraseCode, romCode, mode, freq, flags;
  std::vector<uint8_t> id1, id2;
};

const ExpectedPart kParts[kSerialFlashPartCount] = {
    {"ATMEL AT25DF021-xxF-x", 0x0B, 0x20, 0, 2, 1, 0, 0xB5, {0x1F, 0x43, 0x00}, {}},
    {"ATMEL AT25DF041A-xxF-x", 0x0B, 0x20, 0, 3, 1, 0, 0xB5, {0x1F, 0x44, 0x01}, {}},
    {"EONSillicon EN25LF10", 0x03, 0x20, 0, 1, 0, 1, 0xB0, {0x1C, 0x31, 0x11}, {0x10}},
    {"EONSillicon EN25LF20", 0x03, 0x20, 0, 2, 0, 1, 0xB0, {0x1C, 0x31, 0x12}, {0x11}},
    {"EONSillicon EN25LF40", 0x03, 0x20, 0, 3, 0, 1, 0xB0, {0x1C, 0x31, 0x13}, {0x12}},
    {"Macronix MX25V512C", 0x0B, 0x20, 0, 0, 0, 0, 0xB1, {0xC2, 0x20, 0x10}, {0x05}},
    {"Macronix MX25V4005C", 0x0B, 0x20, 0, 3, 0, 0, 0xB1, {0xC2, 0x20, 0x13}, {0x12}},
    {"Macronix MX25V8005C", 0x0B, 0x20, 0, 4, 0, 0, 0xB1, {0xC2, 0x20, 0x14}, {0x13}},
    {"Macronix MX25V4035C", 0x0B, 0x20, 0, 3, 1, 0, 0xB5, {0xC2, 0x25, 0x53}, {0x53}},
    {"Macronix MX25V8035C", 0x0B, 0x20, 0, 4, 1, 0, 0xB5, {0xC2, 0x25, 0x54}, {0x54}},
    {"Numonyx M25P05-A(Technology code Y)", 0x0B, 0xD8, 1, 0, 0, 0, 0xB1, {0x20, 0x20, 0x10},
     {0x05}},
    {"Numonyx M25P20", 0x03, 0xD8, 2, 2, 0, 1, 0xB0, {0x20, 0x20, 0x12}, {0x11}},
    {"Numonyx M25P40", 0x0B, 0xD8, 2, 3, 0, 0, 0xB1, {0x20, 0x20, 0x13}, {0x12}},
    {"Sanyo LE25FU106B", 0x03, 0xD7, 0, 1, 0, 1, 0xB0, {0x62, 0x1D}, {0x62, 0x1D}},
    {"Sanyo LE25FU206", 0x03, 0xD7, 0, 2, 0, 1, 0xB0, {0x62, 0x44}, {0x62, 0x44}},
    {"Sanyo LE25FU406B", 0x03, 0xD7, 0, 3, 0, 1, 0xB0, {0x62, 0x1E}, {0x62, 0x1E}},
    {"Winbond W25X20BL", 0x0B, 0x20, 0, 2, 0, 0, 0xB1, {0xEF, 0x30, 0x12}, {0x11}},
    {"Winbond W25X40BL", 0x0B, 0x20, 0, 3, 0, 0, 0xB1, {0xEF, 0x30, 0x13}, {0x12}},
    {"Winbond W25Q40BL", 0x0B, 0x20, 0, 3, 0, 0, 0xB1, {0xEF, 0x40, 0x13}, {0x12}},
    {"Winbond W25Q80BL", 0x0B, 0x20, 0, 4, 0, 0, 0xB1, {0xEF, 0x40, 0x14}, {0x13}},
};

void ExpectProbe(const SerialFlashIdProbe& probe, uint8_t length, uint32_t command,
                 const std::vector<uint8_t>& reply) {
  if (reply.empty()) {
    EXPECT_EQ(probe.CommandLength, 0);
    return;
  }
  EXPECT_EQ(probe.CommandLength, length);
  EXPECT_EQ(probe.Command, command);
  ASSERT_EQ(probe.ReplyLength, reply.size());
  EXPECT_EQ(std::vector<uint8_t>(probe.Reply, probe.Reply + reply.size()), reply);
}

using Bytes = std::vector<uint8_t>;

// The ten codes of the list form, in its field order: read, program, page
// program unit, erase, chip erase, AAI unit, erase size, ROM size, mode and
// frequency. A table row carries them too.
template <typename List>
Bytes CodesOf(const List& l) {
  return {l.ReadCommand,      l.ProgramCommand,     l.PageProgramUnitCode, l.EraseCommand,
          l.ChipEraseCommand, l.AAIProgramUnitCode, l.EraseSizeCode,       l.RomSizeCode,
          l.ModeCode,         l.FrequencyCode};
}

// The opcodes every part shares (EWSR, write enable, write disable, read
// status, write status) and the reserved byte, of a row or a record.
template <typename Record>
Bytes SharedOf(const Record& r) {
  return {r.EWSRCommand,       r.WriteEnableCommand, r.WriteDisableCommand,
          r.ReadStatusCommand, r.WriteStatusCommand, r.Reserved};
}
const Bytes kShared = {0x50, 0x06, 0x04, 0x05, 0x01, 0};

// The four sizes of a record: page program unit, AAI unit, erase size
// (log2) and ROM size (log2).
using Sizes = std::vector<unsigned>;
Sizes SizesOf(const ROM_PARAMETER_IMAGE& r) {
  return {r.PageProgramUnitSize, r.AAIProgramUnitSize, r.EraseSizeLog2, r.RomSizeLog2};
}

TEST(SROMTable, EveryRowAsPublished) {
  for (unsigned i = 0; i < kSerialFlashPartCount; ++i) {
    SCOPED_TRACE(i);
    const SerialFlashRomParam& row = gSerialFlashRomParamTbl[i];
    const ExpectedPart& want = kParts[i];
    EXPECT_STREQ(row.Name, want.name);
    for (size_t k = std::strlen(row.Name); k < sizeof row.Name; ++k) ASSERT_EQ(row.Name[k], 0);
    EXPECT_EQ(CodesOf(row), (Bytes{want.read, 0x02, 3, want.erase, 0xC7, 0, want.eraseCode,
                                   want.romCode, want.mode, want.freq}));
    EXPECT_EQ(SharedOf(row), kShared);
    EXPECT_EQ(row.ControlFlags, want.flags);
    ExpectProbe(row.IdProbe1, 1, 0x9F000000u, want.id1);
    ExpectProbe(row.IdProbe2, 4, 0xAB000000u, want.id2);
    for (unsigned j = 0; j < i; ++j) {
      const SerialFlashIdProbe& other = gSerialFlashRomParamTbl[j].IdProbe1;
      EXPECT_FALSE(other.ReplyLength == row.IdProbe1.ReplyLength &&
                   std::memcmp(other.Reply, row.IdProbe1.Reply, other.ReplyLength) == 0)
          << "same JEDEC reply as row " << j;
    }
  }
  const SerialFlashRomParam& end = gSerialFlashRomParamTbl[kSerialFlashPartCount];
  EXPECT_STREQ(end.Name, "END");
  EXPECT_EQ(SharedOf(end), kShared);
  EXPECT_EQ(end.ControlFlags, 0xF4);
  EXPECT_STREQ(kFlashTypeNotShown, "Flash type not shown when read the flash");
}

// The table's own rules (SROMTableCheck.h): the real table keeps them all,
// and each rule catches a copy of the table broken in one way.
using PartTable = std::vector<SerialFlashRomParam>;

void Rename(SerialFlashRomParam& row, const char* name) {
  std::memset(row.Name, 0, sizeof row.Name);
  for (size_t i = 0; name[i] != '\0' && i + 1 < sizeof row.Name; ++i) row.Name[i] = name[i];
}

TEST(SROMTable, SelfCheckCatchesEachBrokenRule) {
  const PartTable real(gSerialFlashRomParamTbl,
                       gSerialFlashRomParamTbl + kSerialFlashPartCount + 1);
  EXPECT_EQ(SerialFlashTableFault(real.data(), static_cast<unsigned>(real.size())), nullptr);

  struct Broken {
    const char* fault;
    void (*breakIt)(PartTable&);
  };
  const Broken cases[] = {
      {"the table has no rows", [](PartTable& t) { t.clear(); }},
      {"the last row is not named END", [](PartTable& t) { t.pop_back(); }},
      {"a row before the last is named END", [](PartTable& t) { Rename(t[7], "END"); }},
      {"a part name does not end inside its field",
       [](PartTable& t) { std::memset(t[3].Name, 'x', sizeof t[3].Name); }},
      {"a part has no name", [](PartTable& t) { Rename(t[0], ""); }},
      {"two parts have the same name", [](PartTable& t) { Rename(t[19], t[4].Name); }},
      {"a size code lies outside its code table", [](PartTable& t) { t[2].RomSizeCode = 5; }},
      {"a size code lies outside its code table", [](PartTable& t) { t[2].EraseSizeCode = 3; }},
      {"a size code lies outside its code table",
       [](PartTable& t) { t[2].PageProgramUnitCode = 4; }},
      {"a size code lies outside its code table",
       [](PartTable& t) { t[2].AAIProgramUnitCode = 2; }},
      {"a part's probe 1 is not a 0x9F probe",
       [](PartTable& t) { t[9].IdProbe1.CommandLength = 0; }},
      {"a part's probe 1 is not a 0x9F probe",
       [](PartTable& t) { t[9].IdProbe1.Command = 0xAB000000u; }},
      {"a part's probe 1 is not a 0x9F probe",
       [](PartTable& t) { t[9].IdProbe1.ReplyLength = 4; }},
      {"a part's probe 2 is neither unused nor a 0xAB probe",
       [](PartTable& t) { t[9].IdProbe2.CommandLength = 1; }},
      {"a part's probe 2 is neither unused nor a 0xAB probe",
       [](PartTable& t) { t[9].IdProbe2.ReplyLength = 0; }},
      {"two parts' probe 1 replies can be mistaken for each other",
       [](PartTable& t) { t[18].IdProbe1 = t[1].IdProbe1; }},
      // A two-byte reply that is the start of an earlier part's three bytes.
      {"two parts' probe 1 replies can be mistaken for each other",
       [](PartTable& t) {
         t[13].IdProbe1.Reply[0] = 0x1C;
         t[13].IdProbe1.Reply[1] = 0x31;
       }},
      {"the fast-read flag does not match the read opcode",
       [](PartTable& t) { t[0].ReadCommand = 0x03; }},
      {"the fast-read flag does not match the read opcode",
       [](PartTable& t) { t[2].ControlFlags |= 0x01; }},
      {"a frequency or mode code is out of range", [](PartTable& t) { t[6].FrequencyCode = 4; }},
      {"a frequency or mode code is out of range", [](PartTable& t) { t[6].ModeCode = 2; }},
  };
  for (const Broken& c : cases) {
    SCOPED_TRACE(c.fault);
    PartTable table = real;
    c.breakIt(table);
    const char* fault = SerialFlashTableFault(table.empty() ? nullptr : table.data(),
                                              static_cast<unsigned>(table.size()));
    ASSERT_NE(fault, nullptr);
    EXPECT_STREQ(fault, c.fault);
  }
}

TEST(SROMCodes, CodeTablesAndConversions) {
  CSROMData data;
  const unsigned long romSizes[] = {0x10000, 0x20000, 0x40000, 0x80000, 0x100000};
  for (unsigned char c = 0; c < 5; ++c) EXPECT_EQ(data.ListToFlashROMSize(c), romSizes[c]);
  EXPECT_EQ(data.ListToEraseSize(0), 0x1000u);
  EXPECT_EQ(data.ListToEraseSize(1), 0x8000u);
  EXPECT_EQ(data.ListToEraseSize(2), 0x10000u);
  const unsigned short ppUnits[] = {1, 32, 128, 256};
  for (unsigned char c = 0; c < 4; ++c) EXPECT_EQ(data.ListToPPUnitSize(c), ppUnits[c]);
  EXPECT_EQ(data.ListToAAIUnitSize(0), 1);
  EXPECT_EQ(data.ListToAAIUnitSize(1), 2);
  // Codes outside the tables (as ImageToList produces them) read as 0.
  EXPECT_EQ(data.ListToFlashROMSize(5), 0u);
  EXPECT_EQ(data.ListToEraseSize(3), 0u);
  EXPECT_EQ(data.ListToPPUnitSize(4), 0);
  EXPECT_EQ(data.ListToAAIUnitSize(2), 0);
  EXPECT_EQ(data.ListToFlashROMSize(255), 0u);

  EXPECT_STREQ(data.ListToFrequency(0), "37.50");
  EXPECT_STREQ(data.ListToFrequency(1), "18.75");
  EXPECT_STREQ(data.ListToFrequency(2), "12.50");
  EXPECT_STREQ(data.ListToFrequency(3), " 8.38");
  EXPECT_STREQ(data.ListToFrequency(4), "--.--");
  EXPECT_STREQ(data.ListToFrequency(255), "--.--");
}

// GetParamList by index with a size; 'F' fits (2), 'N' does not (1).
int Fit(unsigned index, unsigned size, uint32_t bridge, uint32_t allocate) {
  CSROMData data;
  _serialflash_romparamlist list;
  std::memset(&list, 0xAA, sizeof list);
  const int r = data.GetParamList(index, &list, size, static_cast<SROM_BRIDGEIC>(bridge),
                                  static_cast<SROM_FWALLOCATE>(allocate));
  if (r != 2) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&list);
    for (size_t i = 0; i < sizeof list; ++i)
      EXPECT_EQ(bytes[i], 0xAA) << "list touched, byte " << i;
  }
  return r;
}

TEST(SROMGetParamList, FittingTable) {
  const unsigned kMX512 = 5, kM25P05 = 10, kEN10 = 2, kLE106 = 13, kM25P20 = 11, kAT021 = 0,
                 kM25P40 = 12;
  // Bridge kind 1, single copy.
  EXPECT_EQ(Fit(kMX512, 0xF000, 1, 1), 2);
  EXPECT_EQ(Fit(kMX512, 0xF001, 1, 1), 1);
  EXPECT_EQ(Fit(kM25P05, 0x8000, 1, 1), 2);
  EXPECT_EQ(Fit(kM25P05, 0x8001, 1, 1), 1);
  EXPECT_EQ(Fit(kEN10, 0xFFFFFFFF, 1, 1), 2);
  // Bridge kind 1, two copies (or any other nonzero allocation).
  for (uint32_t alloc : {2u, 3u, 9u}) {
    EXPECT_EQ(Fit(kMX512, 0x7800, 1, alloc), 2);
    EXPECT_EQ(Fit(kMX512, 0x7801, 1, alloc), 1);
    EXPECT_EQ(Fit(kM25P05, 0, 1, alloc), 1);
    EXPECT_EQ(Fit(kEN10, 0xFFFFFFFF, 1, alloc), 2);
    EXPECT_EQ(Fit(kM25P20, 0xFFFFFFFF, 1, alloc), 2);
  }
  // Another bridge kind, single copy.
  for (uint32_t bridge : {2u, 5u}) {
    EXPECT_EQ(Fit(kMX512, 0xD000, bridge, 1), 2);
    EXPECT_EQ(Fit(kMX512, 0xD001, bridge, 1), 1);
    EXPECT_EQ(Fit(kM25P05, 0, bridge, 1), 1);
    EXPECT_EQ(Fit(kLE106, 0xFFFFFFFF, bridge, 1), 2);
    EXPECT_EQ(Fit(kM25P20, 0xFFFFFFFF, bridge, 1), 2);
  }
  // Another bridge kind and another allocation.
  EXPECT_EQ(Fit(kMX512, 0, 2, 2), 1);
  EXPECT_EQ(Fit(kM25P05, 0, 2, 2), 1);
  EXPECT_EQ(Fit(kEN10, 0xE000, 2, 2), 2);
  EXPECT_EQ(Fit(kEN10, 0xE001, 2, 2), 1);
  EXPECT_EQ(Fit(kAT021, 0xFFFFFFFF, 2, 2), 2);
  EXPECT_EQ(Fit(kM25P20, 0, 2, 2), 1);
  EXPECT_EQ(Fit(kM25P40, 0xFFFFFFFF, 2, 3), 2);
  // Bridge kind 0 or allocation 0 switches the test off.
  EXPECT_EQ(Fit(kM25P20, 0xFFFFFFFF, 0, 2), 2);
  EXPECT_EQ(Fit(kMX512, 0xFFFFFFFF, 1, 0), 2);
  // No part row.
  EXPECT_EQ(Fit(20, 0, 0, 0), 0);
  EXPECT_EQ(Fit(21, 0, 0, 0), 0);
  EXPECT_EQ(Fit(0xFFFFFFFF, 0, 1, 1), 0);
}

void ExpectListIsRow(const _serialflash_romparamlist& list, unsigned i) {
  const SerialFlashRomParam& row = gSerialFlashRomParamTbl[i];
  EXPECT_EQ(0, std::memcmp(list.Name, row.Name, sizeof list.Name));  // zero-padded alike
  EXPECT_EQ(CodesOf(list), CodesOf(row));
}

TEST(SROMGetParamList, ByNameIsExact) {
  CSROMData data;
  for (unsigned i = 0; i < kSerialFlashPartCount; ++i) {
    _serialflash_romparamlist list;
    std::memset(&list, 0xAA, sizeof list);
    ASSERT_EQ(data.GetParamList(kParts[i].name, &list), 1) << kParts[i].name;
    ExpectListIsRow(list, i);
  }
  _serialflash_romparamlist list{};
  for (const char* name : {"winbond W25Q80BL", "Winbond W25Q80B", "Winbond W25Q80BLX", "END", "",
                           kFlashTypeNotShown}) {
    EXPECT_EQ(data.GetParamList(name, &list), 0) << name;
  }
  EXPECT_EQ(data.GetParamList(nullptr, &list), 0);
  EXPECT_EQ(data.GetParamList("Numonyx M25P20", nullptr), 0);
}

// A record with the given sizes: read, program and erase opcodes 0x0B, 0xAD,
// 0x20; the five shared opcodes unset; chip erase 0x60, flags 0x09,
// frequency byte 0xF2; the four sizes; reserved 0, mode 2.
ROM_PARAMETER_IMAGE Record(uint16_t pp, uint8_t aai, uint8_t erase, uint8_t rom) {
  return {0x0B, 0xAD, 0x20, 0, 0, 0, 0, 0, 0x60, 0x09, 0xF2, pp, aai, erase, rom, 0, 2};
}

TEST(SROMConversions, ImageToListFindsCodesOrOutOfTableValues) {
  CSROMData data;
  _serialflash_romparamlist list;
  std::memset(&list, 0xAA, sizeof list);
  ROM_PARAMETER_IMAGE in = Record(128, 2, 15, 19);
  data.ImageToList(&list, &in);
  EXPECT_EQ(std::string(list.Name), "");
  // The frequency code keeps the low four bits only.
  EXPECT_EQ(CodesOf(list), (Bytes{0x0B, 0xAD, 2, 0x20, 0x60, 1, 1, 3, 2, 2}));

  in = Record(64, 3, 13, 21);
  data.ImageToList(&list, &in);
  EXPECT_EQ(list.PageProgramUnitCode, 4);
  EXPECT_EQ(list.AAIProgramUnitCode, 2);
  EXPECT_EQ(list.EraseSizeCode, 3);
  EXPECT_EQ(list.RomSizeCode, 5);

  const _serialflash_romparamlist before = list;
  data.ImageToList(&list, nullptr);
  data.ImageToList(nullptr, &in);
  EXPECT_EQ(0, std::memcmp(&before, &list, sizeof list));
}

TEST(SROMConversions, ListToImageTakesRowFlagsOrDerivesThem) {
  CSROMData data;
  _serialflash_romparamlist list{};
  std::strcpy(list.Name, "Not a listed part");
  list.ReadCommand = 0x0B;
  list.ProgramCommand = 0xAD;
  ROM_PARAMETER_IMAGE image;
  std::memset(&image, 0x55, sizeof image);
  data.ListToImage(&image, &list);
  EXPECT_EQ(image.ControlFlags, 0xFD);
  EXPECT_EQ(SharedOf(image), kShared);
  list.ProgramCommand = 0xAF;
  list.ReadCommand = 0x03;
  data.ListToImage(&image, &list);
  EXPECT_EQ(image.ControlFlags, 0xFC);
  list.ProgramCommand = 0x02;
  data.ListToImage(&image, &list);
  EXPECT_EQ(image.ControlFlags, 0xF4);

  // A listed part keeps its row's flags whatever the opcodes say; a name
  // filling the whole field without terminator is still compared in bounds.
  std::strcpy(list.Name, "Winbond W25Q80BL");
  list.ProgramCommand = 0xAD;
  data.ListToImage(&image, &list);
  EXPECT_EQ(image.ControlFlags, 0xB1);
  std::memset(list.Name, 'W', sizeof list.Name);
  data.ListToImage(&image, &list);
  EXPECT_EQ(image.ControlFlags, 0xF4 | 0x08);

  // Codes outside their tables give zero sizes.
  list.PageProgramUnitCode = 4;
  list.AAIProgramUnitCode = 2;
  list.EraseSizeCode = 3;
  list.RomSizeCode = 5;
  data.ListToImage(&image, &list);
  EXPECT_EQ(SizesOf(image), (Sizes{0, 0, 0, 0}));
}

TEST(SROMConversions, EveryPartRoundTripsThroughTheRecord) {
  CSROMData data;
  for (unsigned i = 0; i < kSerialFlashPartCount; ++i) {
    SCOPED_TRACE(kParts[i].name);
    _serialflash_romparamlist list{};
    ASSERT_EQ(data.GetParamList(i, &list, 0, BRIDGEIC_QK9318E, FWALLOCATE_ANY), 2);
    ROM_PARAMETER_IMAGE image;
    data.ListToImage(&image, &list);
    const ExpectedPart& want = kParts[i];
    // Read, program, erase, chip erase; flags, frequency, mode.
    EXPECT_EQ((Bytes{image.ReadCommand, image.ProgramCommand, image.EraseCommand,
                     image.ChipEraseCommand}),
              (Bytes{want.read, 0x02, want.erase, 0xC7}));
    EXPECT_EQ((Bytes{image.ControlFlags, image.FrequencyCode, image.ModeCode}),
              (Bytes{want.flags, want.freq, want.mode}));
    EXPECT_EQ(SharedOf(image), kShared);
    const unsigned eraseLog2[] = {12, 15, 16};
    EXPECT_EQ(SizesOf(image), (Sizes{256, 1, eraseLog2[want.eraseCode], 16u + want.romCode}));

    _serialflash_romparamlist back;
    data.ImageToList(&back, &image);
    std::memset(list.Name, 0, sizeof list.Name);
    EXPECT_EQ(0, std::memcmp(&back, &list, sizeof list));
  }
}

}  // namespace
