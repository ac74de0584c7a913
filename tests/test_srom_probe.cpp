// Identifying the flash part through its ROM-ID replies, against a virtual
// bridge carrying each part of the table in turn; the one identification
// the recovery operations use (IdentifyFlash) among them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FlashOperations.h"
#include "FlashROM.h"
#include "SROMData.h"
#include "USBCommand.h"
#include "VirtualBus.h"

namespace {

// One virtual bridge with the given flash part, opened and in vendor mode,
// its command log cleared.
// A virtual bridge carrying `part`, on a bus made the active one.
class BridgeOnBus {
 public:
  explicit BridgeOnBus(const std::string& part) {
    vbridge::DeviceConfig config;
    config.flashPart = part;
    std::string error;
    device_ = bus_.AddDevice(config, &error);
    if (device_ == nullptr) {
      ADD_FAILURE() << part << ": " << error;
      return;
    }
    active_ = std::make_unique<vbridge::ScopedActiveBus>(&bus_);
  }
  vbridge::VirtualBridge* Device() const { return device_; }

 private:
  vbridge::VirtualBus bus_;
  vbridge::VirtualBridge* device_ = nullptr;
  std::unique_ptr<vbridge::ScopedActiveBus> active_;
};

// The identification commands a device received, as (command word, bytes
// clocked out, reply length, ok).
struct Probe {
  uint32_t command;
  unsigned count;
  uint32_t replyLength;
  bool ok;
};
std::vector<Probe> ProbesOf(const vbridge::VirtualBridge& device) {
  std::vector<Probe> probes;
  for (const vbridge::ReceivedCommand& r : device.Log()) {
    EXPECT_EQ(r.command, CMD_GETROMID) << vbridge::TraceLine(r);
    probes.push_back({r.address, r.request[1] & 0x07u, r.dataLength, r.ok});
  }
  return probes;
}

class ProbeRig {
 public:
  explicit ProbeRig(const std::string& part, bool vendorMode = true) : bridge_(part) {
    device_ = bridge_.Device();
    if (device_ == nullptr) return;
    ready_ = command_.Open(nullptr) == kSelectOpened && (!vendorMode || command_.USBCom_EnableVender() == 1);
    device_->ClearLog();
  }
  ~ProbeRig() { command_.Close(); }

  bool Ready() const { return ready_; }
  CUSBCommand* Command() { return &command_; }
  vbridge::VirtualBridge* Device() { return device_; }

  std::vector<Probe> Probes() const { return ProbesOf(*device_); }

 private:
  BridgeOnBus bridge_;
  vbridge::VirtualBridge* device_ = nullptr;
  CUSBCommand command_;
  bool ready_ = false;
};

// What the engine keeps for a table part: the record made from its list.
ROM_PARAMETER_IMAGE RecordOf(unsigned row) {
  CSROMData data;
  _serialflash_romparamlist list{};
  EXPECT_EQ(data.GetParamList(row, &list, 0, BRIDGEIC_QK9318E, FWALLOCATE_ANY), 2);
  ROM_PARAMETER_IMAGE image;
  data.ListToImage(&image, &list);
  return image;
}

bool SameRecord(const ROM_PARAMETER_IMAGE& a, const ROM_PARAMETER_IMAGE& b) {
  return a.ReadCommand == b.ReadCommand && a.ProgramCommand == b.ProgramCommand &&
         a.EraseCommand == b.EraseCommand && a.EWSRCommand == b.EWSRCommand &&
         a.WriteEnableCommand == b.WriteEnableCommand &&
         a.WriteDisableCommand == b.WriteDisableCommand &&
         a.ReadStatusCommand == b.ReadStatusCommand &&
         a.WriteStatusCommand == b.WriteStatusCommand && a.ChipEraseCommand == b.ChipEraseCommand &&
         a.ControlFlags == b.ControlFlags && a.FrequencyCode == b.FrequencyCode &&
         a.PageProgramUnitSize == b.PageProgramUnitSize &&
         a.AAIProgramUnitSize == b.AAIProgramUnitSize && a.EraseSizeLog2 == b.EraseSizeLog2 &&
         a.RomSizeLog2 == b.RomSizeLog2 && a.Reserved == b.Reserved && a.ModeCode == b.ModeCode;
}

// Runs `check(k, part)` for every part of the table, the part's name on
// each failure.
template <typename Check>
void ForEachPart(Check check) {
  for (unsigned k = 0; k < kSerialFlashPartCount; ++k) {
    const SerialFlashRomParam& part = gSerialFlashRomParamTbl[k];
    SCOPED_TRACE(part.Name);
    check(k, part);
  }
}

TEST(SROMProbe, CheckConfirmsOnlyThePartOnTheDevice) {
  ForEachPart([](unsigned k, const SerialFlashRomParam& part) {
    ProbeRig rig(part.Name);
    ASSERT_TRUE(rig.Ready());
    CSROMData data;
    EXPECT_EQ(data.CheckSROMType(part.Name, rig.Command()), 1);
    EXPECT_EQ(rig.Probes().size(), part.IdProbe2.CommandLength != 0 ? 2u : 1u);
    for (unsigned other = 0; other < kSerialFlashPartCount; ++other) {
      if (other == k) continue;
      EXPECT_EQ(data.CheckSROMType(gSerialFlashRomParamTbl[other].Name, rig.Command()), 0);
    }
  });
}

TEST(SROMProbe, NamesOutsideTheTableSendNothing) {
  ProbeRig rig("Winbond W25Q80BL");
  ASSERT_TRUE(rig.Ready());
  CSROMData data;
  EXPECT_EQ(data.CheckSROMType(kFlashTypeNotShown, rig.Command()), 0);
  EXPECT_EQ(data.CheckSROMType("END", rig.Command()), 0);
  EXPECT_EQ(data.CheckSROMType("winbond W25Q80BL", rig.Command()), 0);
  EXPECT_EQ(data.CheckSROMType(nullptr, rig.Command()), 0);
  EXPECT_EQ(data.SearchSROMType(rig.Command(), nullptr), 0);
  EXPECT_TRUE(rig.Probes().empty());
  ROM_PARAMETER_IMAGE image{};
  EXPECT_EQ(data.SearchSROMType(nullptr, &image), 0);
  EXPECT_EQ(data.CheckSROMType("Winbond W25Q80BL", nullptr), 0);
}

TEST(SROMProbe, FailedTransfersCountAsNotMatching) {
  CSROMData data;
  ROM_PARAMETER_IMAGE image{};
  {
    // Outside vendor mode every identification command fails: all 20 rows
    // are tried once, none matches.
    ProbeRig rig("Winbond W25Q80BL", /*vendorMode=*/false);
    ASSERT_TRUE(rig.Ready());
    EXPECT_EQ(data.SearchSROMType(rig.Command(), &image), 0);
    const auto probes = rig.Probes();
    ASSERT_EQ(probes.size(), kSerialFlashPartCount);
    for (const auto& p : probes) EXPECT_FALSE(p.ok);
    rig.Device()->ClearLog();
    EXPECT_EQ(data.CheckSROMType("Winbond W25Q80BL", rig.Command()), 0);
    EXPECT_EQ(rig.Probes().size(), 1u);
  }
  {
    // A failure on an earlier row does not stop the search.
    ProbeRig rig("Winbond W25Q80BL");
    ASSERT_TRUE(rig.Ready());
    rig.Device()->SetFailAtCommand(rig.Device()->CommandCount() + 3);
    EXPECT_EQ(data.SearchSROMType(rig.Command(), &image), 1);
    EXPECT_TRUE(SameRecord(image, RecordOf(19)));
  }
  {
    // The matching row's own probe fails: the row counts as not matching.
    ProbeRig rig("Winbond W25Q80BL");
    ASSERT_TRUE(rig.Ready());
    rig.Device()->SetFailAtCommand(rig.Device()->CommandCount() + 20);
    EXPECT_EQ(data.SearchSROMType(rig.Command(), &image), 0);
    EXPECT_EQ(rig.Probes().size(), kSerialFlashPartCount);
    rig.Device()->SetFailAtCommand(rig.Device()->CommandCount() + 2);  // its probe 2
    EXPECT_EQ(data.CheckSROMType("Winbond W25Q80BL", rig.Command()), 0);
  }
  {
    ProbeRig rig("Sanyo LE25FU206");
    ASSERT_TRUE(rig.Ready());
    rig.Device()->Unplug();
    EXPECT_EQ(data.SearchSROMType(rig.Command(), &image), 0);
    EXPECT_EQ(data.CheckSROMType("Sanyo LE25FU206", rig.Command()), 0);
  }
}

// The identification the command line made before IdentifyFlash: each
// name of the table confirmed by CheckSROMType, its parameters taken by
// name. Kept here as the reference the one identification must equal.
std::string ProbeByNames(CFlashROM* engine, ROM_PARAMETER_IMAGE* parameters) {
  for (unsigned i = 0; i < kSerialFlashPartCount; ++i) {
    const char* name = gSerialFlashRomParamTbl[i].Name;
    if (std::strcmp(name, "END") == 0) break;
    if (!engine->CheckSROMType(name, engine)) continue;
    _serialflash_romparamlist list{};
    if (!engine->GetParamList(name, &list)) continue;
    engine->ListToImage(parameters, &list);
    return name;
  }
  return "";
}

// An engine opened on a virtual bridge carrying `part`.
class EngineRig {
 public:
  explicit EngineRig(const std::string& part) : bridge_(part) {
    device_ = bridge_.Device();
    if (device_ != nullptr) ready_ = engine_.OpenFlashROM(nullptr) == 0;
  }
  ~EngineRig() { engine_.CloseFlashROM(); }

  bool Ready() const { return ready_; }
  CFlashROM* Engine() { return &engine_; }
  vbridge::VirtualBridge* Device() { return device_; }

 private:
  BridgeOnBus bridge_;
  vbridge::VirtualBridge* device_ = nullptr;
  CFlashROM engine_;
  bool ready_ = false;
};

// The search probes each row afresh; IdentifyFlash names the part found
// with the parameters of its row, and so does the probe by names.
TEST(SROMProbe, SearchAndIdentificationNameEveryPartProbingEachRowAfresh) {
  ForEachPart([](unsigned k, const SerialFlashRomParam& part) {
    EngineRig rig(part.Name);
    ASSERT_TRUE(rig.Ready());
    rig.Device()->ClearLog();
    ROM_PARAMETER_IMAGE image;
    std::memset(&image, 0x5A, sizeof image);
    ASSERT_EQ(rig.Engine()->SearchSROMType(rig.Engine(), &image), 1);
    EXPECT_TRUE(SameRecord(image, RecordOf(k)));

    // Probe 1 of rows 0..k, then probe 2 of row k when it has one.
    const std::vector<Probe> probes = ProbesOf(*rig.Device());
    const size_t expected = k + 1 + (part.IdProbe2.CommandLength != 0 ? 1 : 0);
    ASSERT_EQ(probes.size(), expected);
    for (unsigned i = 0; i <= k; ++i) {
      EXPECT_EQ(probes[i].command, 0x9F000000u);
      EXPECT_EQ(probes[i].count, 1u);
      EXPECT_EQ(probes[i].replyLength, gSerialFlashRomParamTbl[i].IdProbe1.ReplyLength);
      EXPECT_TRUE(probes[i].ok);
    }
    if (expected == k + 2) {
      EXPECT_EQ(probes[k + 1].command, 0xAB000000u);
      EXPECT_EQ(probes[k + 1].count, 4u);
      EXPECT_EQ(probes[k + 1].replyLength, part.IdProbe2.ReplyLength);
    }

    const ProbedFlash found = IdentifyFlash(rig.Engine());
    EXPECT_EQ(found.name, part.Name);
    EXPECT_TRUE(SameRecord(found.parameters, RecordOf(k)));
    ROM_PARAMETER_IMAGE byNames{};
    EXPECT_EQ(ProbeByNames(rig.Engine(), &byNames), part.Name);
    EXPECT_TRUE(SameRecord(found.parameters, byNames));
  });
}

TEST(SROMProbe, IdentifyFlashWithoutAnAnswerNamesNothing) {
  EngineRig rig("Winbond W25Q80BL");
  ASSERT_TRUE(rig.Ready());
  rig.Device()->Unplug();
  const ProbedFlash found = IdentifyFlash(rig.Engine());
  EXPECT_TRUE(found.name.empty());
  EXPECT_TRUE(SameRecord(found.parameters, ROM_PARAMETER_IMAGE{}));
  ROM_PARAMETER_IMAGE byNames{};
  EXPECT_EQ(ProbeByNames(rig.Engine(), &byNames), "");
}

}  // namespace
