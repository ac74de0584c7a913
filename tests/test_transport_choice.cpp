// The choice of zedrikfu's transport: the mode asked for, the devices each
// transport finds with the filter of ZEDRIKFU.ini, the line that names the
// path, and the run that follows; the firmware file chooser of the start,
// whose file gives the release folder the choice reads. The transports are
// stand-ins that record how they were used.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "UpdaterRun.h"
#include "DialogStart.h"
#include "IDFilter.h"
#include "Messages.h"
#include "ScriptedDialog.h"
#include "TerminalProgress.h"
#include "TestSupport.h"
#include "TransportChoice.h"

namespace {

constexpr int kScsiRun = 10;  // exit statuses that tell the runs apart
constexpr int kUsbRun = 20;

// What the stand-in transports find, and how they were used.
struct Stand {
  std::vector<std::string> scsiDevices;
  std::vector<std::string> usbDevices;
  int scsiProbes = 0;
  int usbProbes = 0;
  bool filterAdmitsBridge = false;  // 0x3F1C:0x0001, from the ini
  bool filterAdmitsOther = false;   // 0x3F1C:0x0002
} gStand;

void SeeFilter(IDFilter* filter) {
  gStand.filterAdmitsBridge = filter != nullptr && filter->CheckID(0x3F1C, 0x0001);
  gStand.filterAdmitsOther = filter != nullptr && filter->CheckID(0x3F1C, 0x0002);
}
std::vector<std::string> ScsiDevices(IDFilter* filter) {
  ++gStand.scsiProbes;
  SeeFilter(filter);
  return gStand.scsiDevices;
}
std::vector<std::string> UsbDevices(IDFilter* filter) {
  ++gStand.usbProbes;
  SeeFilter(filter);
  return gStand.usbDevices;
}
int RunScsi(int, char**, const CliOptions&) { return kScsiRun; }
int RunUsb(int, char**, const CliOptions&) { return kUsbRun; }

const TransportEntry kScsi = {"SCSI generic", ScsiDevices, RunScsi};
const TransportEntry kUsb = {"USB control requests", UsbDevices, RunUsb};

// Writes the default bridge's ZEDRIKFU.ini into `release`.
bool WriteDefaultIni(const testsupport::ScratchDir& release) {
  return testsupport::WriteText(release.File("ZEDRIKFU.ini"),
                                testsupport::DefaultSystemInformation());
}

// Clears the stand and writes the default ZEDRIKFU.ini into `release`.
bool NewStandWithRelease(const testsupport::ScratchDir& release) {
  gStand = Stand();
  return WriteDefaultIni(release);
}

TEST(TransportChoice, ParsesTheThreeModesAndNothingElse) {
  struct Case {
    const char* text;
    bool valid;
    TransportMode mode;
  };
  const Case cases[] = {
      {nullptr, true, TransportMode::Auto}, {"", true, TransportMode::Auto},
      {"auto", true, TransportMode::Auto},  {"scsi", true, TransportMode::Scsi},
      {"usb", true, TransportMode::Usb},    {"SCSI", false, TransportMode::Auto},
      {"sg", false, TransportMode::Auto},   {"usb ", false, TransportMode::Auto},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    TransportMode mode = TransportMode::Usb;
    EXPECT_EQ(ParseTransportMode(c.text, &mode), c.valid);
    if (c.valid) {
      EXPECT_EQ(mode, c.mode);
    }
  }
}

class Choice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NewStandWithRelease(dir_));
    program_ = dir_.File("zedrikfu");
  }
  // Runs the choice; the exit status, and the standard error in *said.
  int Run(TransportMode mode, bool verbose, const TransportEntry* scsi, std::string* said) {
    char* argv[] = {&program_[0], nullptr};
    testing::internal::CaptureStderr();
    const int status =
        RunWithTransport(1, argv, CliOptions(), mode, verbose, scsi, kUsb, ProgramFolder(argv[0]));
    *said = testing::internal::GetCapturedStderr();
    return status;
  }

  testsupport::ScratchDir dir_;
  std::string program_;
};

TEST_F(Choice, EachModeTakesItsPathAndTheVerboseLineNamesItWithItsDevices) {
  struct Case {
    const char* name;
    TransportMode mode;
    bool verbose;
    std::vector<std::string> scsiDevices;
    std::vector<std::string> usbDevices;
    int status;
    const char* line;
    int scsiProbes;
    int usbProbes;
  };
  const Case cases[] = {
      {"auto, a SCSI node opens", TransportMode::Auto, true, {"/dev/sg1", "/dev/sg3"}, {"001:002"},
       kScsiRun, "zedrikfu: transport: SCSI generic /dev/sg1, /dev/sg3\n", 1, 0},
      {"auto, no SCSI node opens", TransportMode::Auto, true, {}, {"001:002", "001:004"},
       kUsbRun, "zedrikfu: transport: USB control requests 001:002, 001:004\n", 1, 1},
      {"auto, quiet", TransportMode::Auto, false, {}, {"001:002"}, kUsbRun, "", 1, 0},
      {"scsi without a node", TransportMode::Scsi, true, {}, {"001:002"}, kScsiRun,
       "zedrikfu: transport: SCSI generic (no device)\n", 1, 0},
      {"usb with a SCSI node", TransportMode::Usb, false, {"/dev/sg1"}, {}, kUsbRun, "", 0, 0},
      {"usb, verbose, no device", TransportMode::Usb, true, {"/dev/sg1"}, {}, kUsbRun,
       "zedrikfu: transport: USB control requests (no device)\n", 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gStand = Stand();
    gStand.scsiDevices = c.scsiDevices;
    gStand.usbDevices = c.usbDevices;
    std::string said;
    EXPECT_EQ(Run(c.mode, c.verbose, &kScsi, &said), c.status);
    EXPECT_EQ(said, c.line);
    EXPECT_EQ(gStand.scsiProbes, c.scsiProbes);
    EXPECT_EQ(gStand.usbProbes, c.usbProbes);
    if (c.scsiProbes + c.usbProbes != 0) {
      // The probes see the ids of ZEDRIKFU.ini and no others.
      EXPECT_TRUE(gStand.filterAdmitsBridge);
      EXPECT_FALSE(gStand.filterAdmitsOther);
    }
  }
}

TEST_F(Choice, WithoutTheSystemInformationFileNoDeviceIsProbedAndUsbRunsToReportIt) {
  std::remove(dir_.File("ZEDRIKFU.ini").c_str());
  gStand.scsiDevices = {"/dev/sg1"};
  std::string said;
  EXPECT_EQ(Run(TransportMode::Auto, true, &kScsi, &said), kUsbRun);
  EXPECT_EQ(said, "zedrikfu: transport: USB control requests (no device)\n");
  EXPECT_EQ(gStand.scsiProbes + gStand.usbProbes, 0);
}

TEST_F(Choice, ABuildWithoutTheScsiTransportRefusesScsiAndTakesUsbOnAuto) {
  std::string said;
  EXPECT_EQ(Run(TransportMode::Scsi, false, nullptr, &said), 1);
  EXPECT_EQ(said, "zedrikfu: this build has no SCSI generic transport\n");
  EXPECT_EQ(Run(TransportMode::Auto, false, nullptr, &said), kUsbRun);
  EXPECT_EQ(said, "");
}

TEST(ReleaseFolder, DirThenTheProgramsFolderThenTheFirmwareFilesFolder) {
  testsupport::ScratchDir program;
  testsupport::ScratchDir release;
  ASSERT_TRUE(WriteDefaultIni(release));
  const std::string argv0 = program.File("zedrikfu");
  const std::string releaseFolder = release.File("");
  CliOptions options;
  EXPECT_EQ(ReleaseFolder(options, argv0.c_str()), ProgramFolder(argv0.c_str()));
  EXPECT_EQ(ReleaseFolder(options, "zedrikfu"), "");
  // --firmware: the file's folder, as the program's folder has no release.
  options.firmware = release.File("MainFW.kqfw");
  EXPECT_EQ(ReleaseFolder(options, argv0.c_str()), releaseFolder);
  options.firmware = "MainFW.kqfw";
  EXPECT_EQ(ReleaseFolder(options, argv0.c_str()), "");
  // A release in the program's folder is kept with another firmware file.
  options.firmware = release.File("MainFW.kqfw");
  EXPECT_EQ(ReleaseFolder(options, (releaseFolder + "zedrikfu").c_str()), releaseFolder);
  // --dir wins, with the '/' added.
  options.dir = program.File("sub");
  EXPECT_EQ(ReleaseFolder(options, argv0.c_str()), program.File("sub") + "/");
}

// The choice from a parsed command line: the devices are filtered with the
// ZEDRIKFU.ini of --firmware's folder, --transport wins over the
// environment, and ZEDRIKFU_VERBOSE=1 names the path as --verbose does.
TEST(ChosenTransport, TakesTheReleaseFolderOfTheFirmwareFileAndTheOptionsBeforeTheEnvironment) {
  testsupport::ScratchDir elsewhere;
  testsupport::ScratchDir release;
  ASSERT_TRUE(WriteDefaultIni(release));
  std::string program = elsewhere.File("zedrikfu");
  char* argv[] = {&program[0], nullptr};
  CliOptions options;
  options.firmware = release.File("MainFW.kqfw");
  testsupport::ScopedEnv noMode("ZEDRIKFU_TRANSPORT", nullptr);
  {
    testsupport::ScopedEnv named("ZEDRIKFU_VERBOSE", "1");
    gStand = Stand();
    gStand.scsiDevices = {"/dev/sg2"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunChosenTransport(1, argv, options, &kScsi, kUsb), kScsiRun);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "zedrikfu: transport: SCSI generic /dev/sg2\n");
    EXPECT_TRUE(gStand.filterAdmitsBridge);
  }
  {
    testsupport::ScopedEnv mode("ZEDRIKFU_TRANSPORT", "scsi");
    options.transport = "usb";
    gStand = Stand();
    gStand.scsiDevices = {"/dev/sg2"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunChosenTransport(1, argv, options, &kScsi, kUsb), kUsbRun);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  {
    testsupport::ScopedEnv mode("ZEDRIKFU_TRANSPORT", "sg");
    options.transport.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunChosenTransport(1, argv, options, &kScsi, kUsb), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zedrikfu: ZEDRIKFU_TRANSPORT must be auto, scsi or usb, not \"sg\"\n");
  }
}

// A scripted layer with a file chooser that answers with `chosen`, or is
// closed without a file when it is empty.
class ChooserLayer : public ScriptedDialogLayer {
 public:
  bool canChoose = true;
  std::string chosen;
  int asked = 0;

  bool CanChooseFiles() const override { return canChoose; }
  bool ChooseFirmwareFile(std::string* path) override {
    ++asked;
    if (chosen.empty()) return false;
    *path = chosen;
    return true;
  }
};

// Started from the desktop: the program's folder holds no release, the
// release lies where the chosen file is.
class StartedWithoutRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NewStandWithRelease(release_));
    program_ = app_.File("zedrikfu");
    layer_.chosen = release_.File("New-01.20.kqfw");
  }

  testsupport::ScratchDir app_;
  testsupport::ScratchDir release_;
  std::string program_;
  ChooserLayer layer_;
};

TEST_F(StartedWithoutRelease, TheChosenFilesReleaseChoosesTheTransport) {
  CliOptions options;
  options.verbose = true;
  ASSERT_EQ(ChooseReleaseFile(&layer_, program_.c_str(), &options), -1);
  EXPECT_EQ(layer_.asked, 1);
  EXPECT_EQ(options.firmware, release_.File("New-01.20.kqfw"));
  EXPECT_EQ(ReleaseFolder(options, program_.c_str()), release_.File(""));
  // The transport is chosen after the chooser, with the chosen release's
  // ZEDRIKFU.ini: its bridge shows a SCSI node, so auto takes that path.
  testsupport::ScopedEnv noMode("ZEDRIKFU_TRANSPORT", nullptr);
  gStand.scsiDevices = {"/dev/sg1"};
  gStand.usbDevices = {"001:002"};
  char* argv[] = {&program_[0], nullptr};
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunChosenTransport(1, argv, options, &kScsi, kUsb), kScsiRun);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "zedrikfu: transport: SCSI generic /dev/sg1\n");
  EXPECT_TRUE(gStand.filterAdmitsBridge);
  EXPECT_FALSE(gStand.filterAdmitsOther);
}

TEST_F(StartedWithoutRelease, NothingIsAskedWhenTheReleaseIsKnownOrCannotBeAskedFor) {
  struct Case {
    const char* name;
    bool canChoose;
    std::string dir;
    std::string firmware;
    bool releaseBesideProgram;
  };
  const Case cases[] = {
      {"a terminal layer", false, "", "", false},
      {"--dir", true, release_.File(""), "", false},
      {"--firmware", true, "", release_.File("MainFW.kqfw"), false},
      {"ZEDRIKFU.ini beside the program", true, "", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.releaseBesideProgram) {
      ASSERT_TRUE(WriteDefaultIni(app_));
    }
    layer_.canChoose = c.canChoose;
    layer_.asked = 0;
    CliOptions options;
    options.dir = c.dir;
    options.firmware = c.firmware;
    EXPECT_EQ(ChooseReleaseFile(&layer_, program_.c_str(), &options), -1);
    EXPECT_EQ(layer_.asked, 0);
    EXPECT_EQ(options.firmware, c.firmware);
    EXPECT_TRUE(layer_.messages.empty());
  }
}

TEST_F(StartedWithoutRelease, AChooserClosedWithoutAFileEndsWithMessage106AndItsCause) {
  layer_.chosen.clear();
  CliOptions options;
  ForgetCause();
  SetProgramName("zedrikfu");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ChooseReleaseFile(&layer_, program_.c_str(), &options), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "zedrikfu: no firmware file was chosen\n");
  EXPECT_TRUE(CausePrinted());
  EXPECT_EQ(layer_.MessageIds(), std::vector<int>{MSG_FW_NOT_SELECTED});
  EXPECT_TRUE(options.firmware.empty());
  // The message was shown on the layer given, which is not left installed.
  EXPECT_EQ(GetDialogLayer(), nullptr);
  EXPECT_TRUE(layer_.created.empty());
}

// The start of a run: a file that cannot be saved ends it before the
// preparation and before any layer; the layer is opened for an update only,
// after the preparation, and handed to the run in the options.
TEST(StartRun, RefusesAnUnsavableBackupBeforeThePreparationAndTheLayer) {
  testsupport::ScratchDir dir;
  ASSERT_TRUE(testsupport::WriteText(dir.File("backup.bin"), "saved before"));
  std::string program = dir.File("zedrikfu");
  char* argv[] = {&program[0], nullptr};
  int argc = 1;
  char** args = argv;
  CliOptions options;
  options.dir = dir.File("");
  options.backup = dir.File("backup.bin");
  int prepared = 0;
  std::unique_ptr<CDialogLayer> layer;
  testing::internal::CaptureStderr();
  EXPECT_EQ(StartRun(&argc, &args, &options, [&] { return ++prepared > 0; }, &layer), 1);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.rfind("zedrikfu: refused: cannot save the backup " + dir.File("backup.bin"), 0), 0u)
      << said;
  EXPECT_EQ(prepared, 0);
  EXPECT_EQ(layer, nullptr);
  EXPECT_EQ(options.dialogLayer, nullptr);
}

TEST(StartRun, OpensTheLayerForAnUpdateOnlyAndAfterThePreparation) {
  // No display: the terminal layer, which asks for no file.
  testsupport::ScopedEnv noDisplay("DISPLAY", nullptr);
  testsupport::ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
  testsupport::ScratchDir dir;
  std::string program = dir.File("zedrikfu");
  char* argv[] = {&program[0], nullptr};
  int argc = 1;
  char** args = argv;
  struct Case {
    CliMode mode;
    bool prepares;
    int status;
    bool layer;
  };
  const Case cases[] = {
      {CliMode::kUpdate, true, -1, true},
      {CliMode::kCheck, true, -1, false},
      {CliMode::kUpdate, false, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.mode)) + (c.prepares ? " prepared" : " failed"));
    CliOptions options;
    options.mode = c.mode;
    int prepared = 0;
    std::unique_ptr<CDialogLayer> layer;
    const auto prepare = [&] {
      ++prepared;
      // The layer is not open yet while the program prepares.
      EXPECT_EQ(layer, nullptr);
      return c.prepares;
    };
    EXPECT_EQ(StartRun(&argc, &args, &options, prepare, &layer), c.status);
    EXPECT_EQ(prepared, 1);
    EXPECT_EQ(layer != nullptr, c.layer);
    EXPECT_EQ(options.dialogLayer, layer.get());
    EXPECT_TRUE(options.firmware.empty());
  }
}

}  // namespace
