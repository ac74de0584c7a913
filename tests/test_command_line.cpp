// The command line of the POSIX programs: the parser's answers to good and
// bad arguments, the device choice, the saving of flash images, and a
// restore over a header that was erased through the virtual bridge.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "CliModes.h"
#include "CoreEntry.h"
#include "DialogStart.h"
#include "CommandLine.h"
#include "DefaultDevices.h"
#include "FlashROM.h"
#include "IDFilter.h"
#include "ScriptedDialog.h"
#include "TerminalProgress.h"
#include "TestSupport.h"
#include "UpdateSession.h"
#include "VirtualBus.h"

namespace {

using testsupport::ScratchDir;

int Parse(std::vector<std::string> args, CliOptions* options) {
  args.insert(args.begin(), "/usr/bin/zedrikfu");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = ParseCommandLine(static_cast<int>(args.size()), argv.data(), options);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return status;
}

TEST(CommandLine, ParserAnswers) {
  struct Case {
    std::vector<std::string> args;
    int status;  // -1: run
    CliMode mode;
  };
  const std::vector<Case> cases = {
      {{}, -1, CliMode::kUpdate},
      {{"--help"}, 0, CliMode::kUpdate},
      {{"--version"}, 0, CliMode::kUpdate},
      {{"--check"}, -1, CliMode::kCheck},
      {{"--check", "--json"}, -1, CliMode::kCheck},
      {{"--read", "x.bin"}, -1, CliMode::kRead},
      {{"--restore", "/etc/hostname", "--yes", "--backup", "b.bin"}, -1, CliMode::kRestore},
      {{"--yes", "--backup", "b.bin", "--device", "3:17", "--usb-id", "0x3F1C:0x0002"}, -1,
       CliMode::kUpdate},
      {{"--transport", "scsi", "-v"}, -1, CliMode::kUpdate},
      {{"--json"}, 1, CliMode::kUpdate},
      {{"--check", "--read", "x"}, 1, CliMode::kUpdate},
      {{"--read", "x", "--restore", "/etc/hostname"}, 1, CliMode::kUpdate},
      {{"--check", "--backup", "b"}, 1, CliMode::kUpdate},
      {{"--read"}, 1, CliMode::kUpdate},
      {{"--read", ""}, 1, CliMode::kUpdate},
      {{"--firmware", ""}, -1, CliMode::kUpdate},
      {{"--firmware"}, -1, CliMode::kUpdate},
      {{"--restore", "/no/such/image"}, 1, CliMode::kUpdate},
      {{"--dir", "/no/such/folder"}, 1, CliMode::kUpdate},
      {{"--transport", "carrier-pigeon"}, 1, CliMode::kUpdate},
      {{"--device", "1"}, 1, CliMode::kUpdate},
      {{"--usb-id", "nope"}, 1, CliMode::kUpdate},
      {{"stray"}, 1, CliMode::kUpdate},
      {{"--bogus"}, 1, CliMode::kUpdate},
      {{"--history"}, -1, CliMode::kHistory},
      {{"--history", "--json", "--device", "1:2", "--usb-id", "3f1c:0001"}, -1,
       CliMode::kHistory},
      {{"--history", "--yes"}, 1, CliMode::kUpdate},
      {{"--history", "--check"}, 1, CliMode::kUpdate},
      {{"--history", "--read", "x"}, 1, CliMode::kUpdate},
      {{"--history", "--restore", "/etc/hostname"}, 1, CliMode::kUpdate},
      {{"--history", "--backup", "b"}, 1, CliMode::kUpdate},
      {{"--allow-older", "--allow-reinstall", "--yes"}, -1, CliMode::kUpdate},
      {{"--check", "--allow-older"}, -1, CliMode::kCheck},
      {{"--allow-older", "--read", "x"}, 1, CliMode::kUpdate},
      {{"--allow-reinstall", "--restore", "/etc/hostname"}, 1, CliMode::kUpdate},
      {{"--allow-older", "--history"}, 1, CliMode::kUpdate},
      {{"--allow-reinstall", "--history"}, 1, CliMode::kUpdate},
  };
  for (const Case& c : cases) {
    CliOptions options;
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    const int status = Parse(c.args, &options);
    EXPECT_EQ(status, c.status) << joined;
    if (status == -1) {
      EXPECT_EQ(options.mode, c.mode) << joined;
    }
  }
  CliOptions options;
  ASSERT_EQ(Parse({"--yes", "--backup", "b.bin", "--device", "3:17", "--usb-id", "0x3F1C:0x0002",
                   "--firmware", "f.kqfw", "--dir", "/tmp", "--transport", "usb"},
                  &options),
            -1);
  EXPECT_TRUE(options.yes);
  EXPECT_EQ(options.program, "zedrikfu");
  EXPECT_EQ(options.backup, "b.bin");
  EXPECT_EQ(options.firmware, "f.kqfw");
  EXPECT_EQ(options.dir, "/tmp");
  EXPECT_EQ(options.transport, "usb");
  EXPECT_TRUE(options.haveChoice);
  EXPECT_TRUE(options.choice.byPosition && options.choice.byIds);
  EXPECT_EQ(options.choice.bus, 3);
  EXPECT_EQ(options.choice.address, 17);
  EXPECT_EQ(options.choice.vendorId, 0x3F1C);
  EXPECT_EQ(options.choice.productId, 0x0002);
  EXPECT_FALSE(options.allowOlder || options.allowReinstall);
  for (const char* allow : {"--allow-older", "--allow-reinstall"}) {
    CliOptions allowed;
    ASSERT_EQ(Parse({allow}, &allowed), -1);
    EXPECT_EQ(allowed.allowOlder, std::string(allow) == "--allow-older") << allow;
    EXPECT_EQ(allowed.allowReinstall, std::string(allow) == "--allow-reinstall") << allow;
  }
}

TEST(CommandLine, PositionsAndIds) {
  struct Position {
    const char* text;
    bool ok;
    int bus, address;
  };
  for (const Position& p : std::vector<Position>{{"1:2", true, 1, 2},
                                                 {"001:004", true, 1, 4},
                                                 {"255:127", true, 255, 127},
                                                 {"256:1", false, 0, 0},
                                                 {"1:128", false, 0, 0},
                                                 {"0:1", false, 0, 0},
                                                 {"1:0", false, 0, 0},
                                                 {"1:", false, 0, 0},
                                                 {":1", false, 0, 0},
                                                 {"1:2:3", false, 0, 0},
                                                 {"-1:2", false, 0, 0},
                                                 {"0x1:2", false, 0, 0}}) {
    int bus = 0, address = 0;
    EXPECT_EQ(ParseBusPosition(p.text, &bus, &address), p.ok) << p.text;
    if (p.ok) {
      EXPECT_EQ(bus * 1000 + address, p.bus * 1000 + p.address) << p.text;
    }
    // With disk numbers a position reads the same.
    bus = address = 0;
    EXPECT_EQ(ParseDevicePosition(p.text, true, &bus, &address), p.ok) << p.text;
    if (p.ok) {
      EXPECT_EQ(bus * 1000 + address, p.bus * 1000 + p.address) << p.text;
    }
  }
  // A disk number (Windows): 0 to 999, decimal; never without disk numbers.
  for (const Position& p : std::vector<Position>{{"0", true, 0, 0},
                                                 {"2", true, 0, 2},
                                                 {"999", true, 0, 999},
                                                 {"1000", false, 0, 0},
                                                 {"-1", false, 0, 0},
                                                 {"0x2", false, 0, 0},
                                                 {"", false, 0, 0}}) {
    int bus = 7, address = 7;
    EXPECT_EQ(ParseDevicePosition(p.text, true, &bus, &address), p.ok) << p.text;
    if (p.ok) {
      EXPECT_EQ(bus * 1000 + address, p.bus * 1000 + p.address) << p.text;
    }
    EXPECT_FALSE(ParseDevicePosition(p.text, false, &bus, &address)) << p.text;
  }
  struct Ids {
    const char* text;
    bool ok;
    uint16_t vendorId, productId;
  };
  for (const Ids& i : std::vector<Ids>{{"3f1c:0001", true, 0x3F1C, 0x0001},
                                       {"0x3F1C:0xABCD", true, 0x3F1C, 0xABCD},
                                       {"1:2", true, 1, 2},
                                       {"ffff:ffff", true, 0xFFFF, 0xFFFF},
                                       {"10000:1", false, 0, 0},
                                       {"3f1c", false, 0, 0},
                                       {"3f1c:", false, 0, 0},
                                       {"3g1c:0001", false, 0, 0},
                                       {"0x:1", false, 0, 0}}) {
    uint16_t vendorId = 0, productId = 0;
    EXPECT_EQ(ParseUsbIds(i.text, &vendorId, &productId), i.ok) << i.text;
    if (i.ok) {
      EXPECT_EQ((vendorId << 16) | productId, (i.vendorId << 16) | i.productId) << i.text;
    }
  }
}

TEST(CommandLine, DeviceChoiceFiltersTheVirtualBus) {
  vbridge::VirtualBus bus;
  vbridge::DeviceConfig first;
  vbridge::DeviceConfig second;
  second.productId = 0x0002;
  ASSERT_NE(bus.AddDevice(first), nullptr);
  ASSERT_NE(bus.AddDevice(second), nullptr);
  vbridge::ScopedActiveBus active(&bus);
  struct Case {
    DeviceChoice choice;
    int address;  // 0: none opened
  };
  DeviceChoice second_at{true, 1, 3};
  DeviceChoice nowhere{true, 2, 3};
  DeviceChoice byIds{false, 0, 0, true, 0x3F1C, 0x0002};
  DeviceChoice anyProduct{false, 0, 0, true, 0x3F1C, 0, true};
  DeviceChoice otherVendor{false, 0, 0, true, 0x1234, 0, true};
  DeviceChoice both{true, 1, 2, true, 0x3F1C, 0x0002};
  for (const Case& c : std::vector<Case>{{second_at, 3}, {nowhere, 0}, {byIds, 3},
                                         {anyProduct, 2}, {otherVendor, 0}, {both, 0}}) {
    CFlashROM engine;
    engine.SetDeviceChoice(&c.choice);
    IDFilter filter;
    const int opened = engine.Open(&filter);
    UsbDeviceInfo info;
    if (c.address == 0) {
      EXPECT_NE(opened, 0);
    } else {
      ASSERT_EQ(opened, 0);
      ASSERT_TRUE(engine.GetOpenedDeviceInfo(&info));
      EXPECT_EQ(info.bus, 1);
      EXPECT_EQ(info.address, c.address);
    }
    engine.CloseDevice();
  }
}

TEST(CommandLine, SaveImageFileReplacesWholeOrNothing) {
  ScratchDir dir;
  const std::string path = dir.File("flash.bin");
  std::string error;
  const std::vector<unsigned char> first(70000, 0xA5), second(4096, 0x3C);
  ASSERT_TRUE(SaveImageFile(path, first, &error)) << error;
  EXPECT_EQ(testsupport::ReadFile(path), first);
  ASSERT_TRUE(SaveImageFile(path, second, &error)) << error;
  EXPECT_EQ(testsupport::ReadFile(path), second);
  // A folder that does not exist: refused with the reason, nothing left.
  EXPECT_FALSE(SaveImageFile(dir.File("missing/flash.bin"), first, &error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  // A read-only folder (not for root, who may write anyway).
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    EXPECT_FALSE(SaveImageFile(path, first, &error));
    chmod(dir.Path().c_str(), 0755);
    EXPECT_EQ(testsupport::ReadFile(path), second);
  }
}

// The names in a folder, to see that no temporary file stayed behind.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// --read follows links to their target and replaces only a regular file
// there; a backup takes only a name that holds nothing, not even a link.
TEST(CommandLine, SaveImageFileFollowsLinksAndNeverReplacesOtherFiles) {
  ScratchDir dir;
  std::string error;
  const std::vector<unsigned char> old(100, 0x11), image(5000, 0x5A);
  ASSERT_TRUE(testsupport::WriteFile(dir.File("target.bin"), old));
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("../target.bin", dir.File("sub/link.bin").c_str()), 0);
  ASSERT_EQ(symlink("sub/link.bin", dir.File("chain.bin").c_str()), 0);
  ASSERT_TRUE(SaveImageFile(dir.File("chain.bin"), image, &error)) << error;
  EXPECT_EQ(testsupport::ReadFile(dir.File("target.bin")), image);
  struct stat st;
  ASSERT_EQ(lstat(dir.File("chain.bin").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(lstat(dir.File("sub/link.bin").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // A link to nothing yet: its target is created.
  ASSERT_EQ(symlink("made.bin", dir.File("dangling.bin").c_str()), 0);
  ASSERT_TRUE(SaveImageFile(dir.File("dangling.bin"), image, &error)) << error;
  EXPECT_EQ(testsupport::ReadFile(dir.File("made.bin")), image);
  // A FIFO, directly or behind a link, and a folder: refused, left alone.
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("fifo", dir.File("to-fifo.bin").c_str()), 0);
  EXPECT_FALSE(SaveImageFile(dir.File("fifo"), image, &error));
  EXPECT_EQ(error, "it is a FIFO, not a regular file; an image is only saved to a regular file");
  EXPECT_FALSE(SaveImageFile(dir.File("to-fifo.bin"), image, &error));
  EXPECT_NE(error.find("fifo is a FIFO"), std::string::npos) << error;
  EXPECT_FALSE(SaveImageFile(dir.File("sub"), image, &error));
  EXPECT_NE(error.find("a folder"), std::string::npos) << error;
  ASSERT_EQ(lstat(dir.File("fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // A loop of links ends with a message.
  ASSERT_EQ(symlink("loop2", dir.File("loop1").c_str()), 0);
  ASSERT_EQ(symlink("loop1", dir.File("loop2").c_str()), 0);
  EXPECT_FALSE(SaveImageFile(dir.File("loop1"), image, &error));
  EXPECT_EQ(error, "too many levels of symbolic links");

  // Backups: a new name is written; an existing file, link or FIFO is not.
  ASSERT_TRUE(SaveImageFile(dir.File("backup.bin"), image, &error, SaveMode::kNewFile)) << error;
  EXPECT_EQ(testsupport::ReadFile(dir.File("backup.bin")), image);
  EXPECT_FALSE(SaveImageFile(dir.File("backup.bin"), old, &error, SaveMode::kNewFile));
  EXPECT_NE(error.find("a backup never replaces anything"), std::string::npos) << error;
  EXPECT_EQ(testsupport::ReadFile(dir.File("backup.bin")), image);
  for (const char* taken : {"dangling.bin", "fifo", "sub"}) {
    EXPECT_FALSE(CheckSaveTarget(dir.File(taken), SaveMode::kNewFile, &error)) << taken;
    EXPECT_FALSE(SaveImageFile(dir.File(taken), old, &error, SaveMode::kNewFile)) << taken;
  }
  EXPECT_EQ(testsupport::ReadFile(dir.File("made.bin")), image);
  EXPECT_EQ(Names(dir.Path()),
            (std::vector<std::string>{"backup.bin", "chain.bin", "dangling.bin", "fifo", "loop1",
                                      "loop2", "made.bin", "sub", "target.bin", "to-fifo.bin"}));
  EXPECT_EQ(Names(dir.File("sub")), std::vector<std::string>{"link.bin"});
}

TEST(CommandLine, ProgressDescribesPhaseBytesAndTimeLeft) {
  EXPECT_EQ(DescribeWork({WorkPhase::kNone, 0, 0}, 5), "");
  EXPECT_EQ(DescribeWork({WorkPhase::kWriting, 0, 0}, 5), "");
  // The units change at ten of the larger one, and the estimate needs a
  // second of work: at 0.99 s there is none, from 1 s on there is.
  EXPECT_EQ(WorkText({WorkPhase::kReading, 10 * 1024 - 1, 20 * 1024}, 0.99),
            "reading, 10239 bytes of 20 KiB");
  EXPECT_EQ(WorkText({WorkPhase::kReading, 10 * 1024, 20 * 1024}, 1.0),
            "reading, 10 KiB of 20 KiB, about 1 s left");
  EXPECT_EQ(WorkText({WorkPhase::kWriting, 1, (10 << 20) - 1}, 1.0).substr(0, 36),
            "writing, 1 bytes of 10239 KiB, about");
  // Minutes from 120 s left on.
  EXPECT_EQ(WorkText({WorkPhase::kWriting, 1, 120}, 1.0), "writing, 1 bytes of 120 bytes, about 119 s left");
  EXPECT_EQ(WorkText({WorkPhase::kWriting, 1, 121}, 1.0), "writing, 1 bytes of 121 bytes, about 2 min left");
  EXPECT_EQ(DescribeWork({WorkPhase::kReading, 480, 1048576}, 0.5),
            " (reading, 480 bytes of 1024 KiB)");
  EXPECT_EQ(DescribeWork({WorkPhase::kWriting, 20480, 40960}, 2.0),
            " (writing, 20 KiB of 40 KiB, about 2 s left)");
  EXPECT_EQ(DescribeWork({WorkPhase::kVerifying, 1 << 20, 16 << 20}, 60.0),
            " (verifying, 1024 KiB of 16 MiB, about 15 min left)");
  EXPECT_EQ(DescribeWork({WorkPhase::kErasing, 4096, 4096}, 3.0), " (erasing, 4096 bytes of 4096 bytes)");
}

// The update runs on the dialog layer the start of the run opened, handed
// down in the options, and leaves no layer installed after it.
TEST(CommandLine, TheUpdateRunsOnTheLayerOfTheOptions) {
  ScratchDir dir;
  ScriptedDialogLayer layer;
  layer.refuseWindows = {"MainWindow"};  // nothing behind it is run
  CliOptions options;
  options.dir = dir.File("");
  options.dialogLayer = &layer;
  std::string program = dir.File("zedrikfu-sim");
  char* argv[] = {&program[0], nullptr};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunCommandLine(1, argv, options, ThisCoreOperations()), 1);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(layer.created, std::vector<std::string>{"MainWindow"});
  EXPECT_EQ(GetDialogLayer(), nullptr);
}

// The recovery the guide describes: the header of a bridge is erased through
// the bridge's own commands; --restore with a saved image brings it back.
TEST(CommandLine, RestoreBringsBackAHeaderErasedThroughTheBridge) {
  ScratchDir dir;
  vbridge::VirtualBus bus;
  std::string error;
  ASSERT_TRUE(vbridge::LoadOrCreateVirtualDevices(dir.File("virtual-devices.ini"), &bus, &error))
      << error;
  vbridge::ScopedActiveBus active(&bus);
  vbridge::VirtualBridge* bridge = bus.Device(0);
  ASSERT_NE(bridge, nullptr);
  const std::vector<uint8_t> good = bridge->FlashBytes();
  ASSERT_TRUE(testsupport::WriteFile(dir.File("good.bin"),
                                     std::vector<unsigned char>(good.begin(), good.end())));
  {
    CFlashROM engine;
    ASSERT_EQ(engine.OpenFlashROM(nullptr), 0);
    ASSERT_EQ(ReadWithoutDialog(&engine), 0);  // also gives the bridge its parameters
    ASSERT_TRUE(engine.USBCom_BlockEraseRom(0));
    engine.CloseFlashROM();
  }
  std::vector<uint8_t> broken = bridge->FlashBytes();
  ASSERT_EQ(broken[0], 0xFF);
  ASSERT_EQ(broken[47], 0xFF);

  auto run = [&dir](std::vector<std::string> args) {
    args.insert(args.begin(), dir.File("zedrikfu-sim"));
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = RunCommandLine(static_cast<int>(args.size()), argv.data());
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    return std::make_pair(status, out + err);
  };
  // A read of the broken flash still works: the part is found by its probes.
  auto result = run({"--read", dir.File("broken.bin")});
  ASSERT_EQ(result.first, 0) << result.second;
  EXPECT_EQ(testsupport::ReadFile(dir.File("broken.bin")),
            std::vector<unsigned char>(broken.begin(), broken.end()));
  // The broken image is refused as a source: its header CRC does not hold.
  result = run({"--restore", dir.File("broken.bin"), "--yes"});
  EXPECT_EQ(result.first, 1);
  EXPECT_NE(result.second.find("header CRC"), std::string::npos) << result.second;

  const size_t before = bridge->Log().size();
  result = run({"--restore", dir.File("good.bin"), "--yes"});
  ASSERT_EQ(result.first, 0) << result.second;
  EXPECT_EQ(bridge->FlashBytes(), good);
  // Only block 0 was erased; every program command lies inside it.
  size_t erases = 0, programs = 0;
  const std::vector<vbridge::ReceivedCommand> log = bridge->Log();
  for (size_t i = before; i < log.size(); ++i) {
    const vbridge::ReceivedCommand& command = log[i];
    if (command.command == CMD_BLOCKERASEROM) {
      ++erases;
      EXPECT_EQ(command.address, 0u);
    }
    if (command.command == CMD_WRITEROM) {
      ++programs;
      EXPECT_LT(command.address, 4096u);
    }
  }
  EXPECT_EQ(erases, 1u);
  EXPECT_GT(programs, 0u);
}

}  // namespace
