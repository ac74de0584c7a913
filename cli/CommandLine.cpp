#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BuildRules.h"
#include "SystemPath.h"
#include "Types.h"

#ifndef ZEDRIKFU_VERSION
#define ZEDRIKFU_VERSION "unknown"
#endif

namespace {

std::string BaseName(const char* path) {
  std::string name = path != nullptr ? path : "";
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  return name.empty() ? std::string("zedrikfu") : name;
}

// The check of --dir (a folder) and of --restore (not a folder), with the
// texts of CLI11's ExistingDirectory and ExistingFile, through the
// platform's look at a path (SystemPath.h): CLI11's own would take a UTF-8
// path in the ANSI code page on Windows.
CLI::Validator ExistingPath(PathKind wanted) {
  const bool folder = wanted == PathKind::kFolder;
  return CLI::Validator([folder](std::string& path) -> std::string {
    const PathKind kind = KindOfPath(path);
    if (kind == PathKind::kNone) {
      return std::string(folder ? "Directory" : "File") + " does not exist: " + path;
    }
    if ((kind == PathKind::kFolder) == folder) return std::string();
    return (folder ? "Directory is actually a file: " : "File is actually a directory: ") + path;
  }, "");
}

bool ParseNumber(const std::string& text, int base, unsigned long limit, unsigned long* value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    const bool digit = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                                  : std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (!digit) return false;
  }
  *value = std::strtoul(text.c_str(), nullptr, base);
  return *value <= limit;
}

bool SplitPair(const std::string& text, std::string* first, std::string* second) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) return false;
  *first = text.substr(0, colon);
  *second = text.substr(colon + 1);
  return true;
}

std::string StripHexPrefix(const std::string& text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return text.substr(2);
  }
  return text;
}

const char kFooter[] =
    "Without --check, --read, --restore or --history the program updates the bridge: it reads\n"
    "the whole flash, shows the installed and the new version and writes after OK (or --yes).\n"
    "\n"
    "Exit status: 0 updated or restored (--check: an update would be written; --read: saved),\n"
    "2 nothing written and no error (Cancel, already the latest version, nothing differs),\n"
    "1 any other ending (a refusal or an error; the message, and its cause on standard error).";

}  // namespace

const char* ProgramVersion() { return ZEDRIKFU_VERSION; }

bool ParseBusPosition(const std::string& text, int* bus, int* address) {
  std::string busText, addressText;
  unsigned long b = 0, a = 0;
  if (!SplitPair(text, &busText, &addressText)) return false;
  if (!ParseNumber(busText, 10, 255, &b) || !ParseNumber(addressText, 10, 127, &a)) return false;
  if (b == 0 || a == 0) return false;
  *bus = static_cast<int>(b);
  *address = static_cast<int>(a);
  return true;
}

bool ParseDevicePosition(const std::string& text, bool diskNumbers, int* bus, int* address) {
  unsigned long disk = 0;
  if (diskNumbers && text.find(':') == std::string::npos) {
    if (!ParseNumber(text, 10, 999, &disk)) return false;
    *bus = 0;
    *address = static_cast<int>(disk);
    return true;
  }
  return ParseBusPosition(text, bus, address);
}

bool ParseUsbIds(const std::string& text, uint16_t* vendorId, uint16_t* productId) {
  std::string vendorText, productText;
  unsigned long v = 0, p = 0;
  if (!SplitPair(text, &vendorText, &productText)) return false;
  vendorText = StripHexPrefix(vendorText);
  productText = StripHexPrefix(productText);
  if (vendorText.size() > 4 || productText.size() > 4) return false;
  if (!ParseNumber(vendorText, 16, 0xFFFF, &v) || !ParseNumber(productText, 16, 0xFFFF, &p)) {
    return false;
  }
  *vendorId = static_cast<uint16_t>(v);
  *productId = static_cast<uint16_t>(p);
  return true;
}

namespace {

// The option error and the usage line, on standard error; exit status 1.
int UsageError(const std::string& program, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", program.c_str(), text.c_str());
  std::fprintf(stderr, "usage: %s [OPTIONS]  (%s --help lists them)\n", program.c_str(),
               program.c_str());
  return kExitError;
}

// Which of the options that choose or shape the mode were given.
struct GivenModes {
  bool check = false;
  bool read = false;
  bool restore = false;
  bool backup = false;
  bool history = false;
};

// The device choice from --device and --usb-id, and the mode: -1 when they
// are sound, otherwise the exit status of the option error.
int TakeChoicesAndMode(const std::string& device, const std::string& usbId,
                       const GivenModes& given, CliOptions* parsed) {
  auto bad = [parsed](const std::string& text) { return UsageError(parsed->program, text); };
  const bool check = given.check, read = given.read, restore = given.restore;
  if (parsed->json && !check && !given.history) return bad("--json requires --check or --history");
  if (!device.empty()) {
    if (!ParseDevicePosition(device, kDeviceByDiskNumber, &parsed->choice.bus,
                             &parsed->choice.address)) {
      return bad("--device: '" + device + (kDeviceByDiskNumber
                                               ? "' is neither a disk number nor BUS:ADDR (for "
                                                 "example 2, or 1:4)"
                                               : "' is not BUS:ADDR (for example 1:4)"));
    }
    parsed->choice.byPosition = true;
    parsed->haveChoice = true;
  }
  if (!usbId.empty()) {
    if (!ParseUsbIds(usbId, &parsed->choice.vendorId, &parsed->choice.productId)) {
      return bad("--usb-id: '" + usbId + "' is not VID:PID in hexadecimal (for example 3f1c:0001)");
    }
    parsed->choice.byIds = true;
    parsed->haveChoice = true;
  }
  if ((given.backup && parsed->backup.empty()) || (read && parsed->readFile.empty())) {
    return bad("a file name must not be empty");
  }
  if (check) parsed->mode = CliMode::kCheck;
  if (read) parsed->mode = CliMode::kRead;
  if (restore) parsed->mode = CliMode::kRestore;
  if (given.history) parsed->mode = CliMode::kHistory;
  // Reading and restoring do without ZEDRIKFU.ini: unless told otherwise
  // they take any device of the chip maker's vendor id.
  if ((read || restore) && !parsed->haveChoice) {
    parsed->choice.byIds = true;
    parsed->choice.vendorId = static_cast<uint16_t>(kChipVendorId);
    parsed->choice.anyProduct = true;
    parsed->haveChoice = true;
  }
  return -1;
}

// The help and version flags and the help's layout and closing text.
void DescribeProgram(CLI::App* app, const std::string& program) {
  app->set_help_flag("-h,--help", "Print the options and exit");
  app->set_version_flag("--version", program + " " + ProgramVersion(), "Print the version and exit");
  app->get_formatter()->column_width(28);
  app->footer(kFooter);
}

// --device, --usb-id and, where the program chooses its transport,
// --transport. Without a choice of transport the option is unknown: the
// parser refuses it with the usage line.
void AddDeviceOptions(CLI::App* app, std::string* device, std::string* usbId,
                      CliOptions* parsed) {
  app->add_option("--device", *device,
                  kDeviceByDiskNumber
                      ? "Take only the device with this disk number (as Disk Management and "
                        "--check show it), or at BUS:ADDR (a virtual bridge)"
                      : "Take only the device at this USB bus position (decimal, as lsusb shows it)")
      ->type_name(kDeviceByDiskNumber ? "DISK|BUS:ADDR" : "BUS:ADDR");
  app->add_option("--usb-id", *usbId, "Take only a device with these USB ids (hexadecimal)")
      ->type_name("VID:PID");
  if (!kHasTransportChoice) return;
  app->add_option("--transport", parsed->transport,
                  "How a bridge is reached: auto, scsi (SCSI generic) or usb (control requests)")
      ->type_name("auto|scsi|usb")
      ->check(CLI::IsMember({"auto", "scsi", "usb"}).description(""));
}

// The options of the modes, for the rules of which go together.
struct ModeOptions {
  CLI::Option* yes;
  CLI::Option* check;
  CLI::Option* read;
  CLI::Option* restore;
  CLI::Option* backup;
};

// --history, which goes with --json, --device and --usb-id only among the
// options of the modes, and --allow-older and --allow-reinstall, which shape
// the update and --check and are refused with the other modes.
void AddHistoryAndAllowOptions(CLI::App* app, const ModeOptions& modes, GivenModes* given,
                               CliOptions* parsed) {
  auto* history = app->add_flag(
      "--history", given->history,
      "Print the update history (each update and restore that erased or wrote the flash), "
      "newest last; with --json as a JSON array; --device and --usb-id filter it");
  auto* older = app->add_flag("--allow-older", parsed->allowOlder,
                              "Write a firmware file older than the installed version");
  auto* reinstall = app->add_flag(
      "--allow-reinstall", parsed->allowReinstall,
      "Write a firmware file equal to the installed version where a copy differs or is broken");
  history->excludes(modes.yes)->excludes(modes.check)->excludes(modes.read)
      ->excludes(modes.restore)->excludes(modes.backup);
  for (CLI::Option* allow : {older, reinstall}) {
    allow->excludes(modes.read)->excludes(modes.restore)->excludes(history);
  }
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CliOptions* options) {
  CliOptions parsed;
  parsed.program = BaseName(argc > 0 ? argv[0] : nullptr);
  GivenModes given;
  std::string device, usbId;  // checked after the parse

  CLI::App app("Updates the firmware of a QK9318 USB storage bridge from a firmware release "
               "(ZEDRIKFU.ini and MainFW.kqfw).",
               parsed.program);
  DescribeProgram(&app, parsed.program);

  app.add_option("--dir", parsed.dir,
                 "Folder holding ZEDRIKFU.ini and MainFW.kqfw (default: the program's folder)")
      ->type_name("DIR")
      ->check(ExistingPath(PathKind::kFolder));
  // The value may be left out (a desktop entry's %f without a file): then
  // MainFW.kqfw is used as without the option.
  app.add_option("--firmware", parsed.firmware,
                 "Use FILE as the firmware file instead of MainFW.kqfw; without --dir, ZEDRIKFU.ini is "
                 "taken from FILE's folder when the program's folder has none")
      ->type_name("FILE")
      ->expected(0, 1);
  auto* yesFlag = app.add_flag("-y,--yes", parsed.yes, "Answer OK without asking");
  auto* checkFlag = app.add_flag(
      "--check", given.check,
      "Read the device and report without writing: the bridge, the flash, each firmware copy, "
      "the file and what an update would do (exit 0: an update would be written, 2: nothing "
      "to do, 1: refused)");
  app.add_flag("--json", parsed.json,
               "With --check: print the report as one JSON object; with --history: the "
               "records as a JSON array");
  auto* backupOption = app.add_option(
      "--backup", parsed.backup,
      "After the read and before the first erase, save the whole flash as read to FILE; when "
      "it cannot be saved nothing is erased")->type_name("FILE");
  auto* readOption = app.add_option("--read", parsed.readFile,
                                    "Save the whole flash to FILE and end without writing")
                         ->type_name("FILE");
  auto* restoreOption =
      app.add_option("--restore", parsed.restore,
                     "Recovery: write a saved flash image back (also over a destroyed header); "
                     "only the erase blocks that differ are written")
          ->type_name("FILE")
          ->check(ExistingPath(PathKind::kOther));
  AddDeviceOptions(&app, &device, &usbId, &parsed);
  app.add_flag("-v,--verbose", parsed.verbose,
               "Print a line on standard error for each phase of the run");
  AddHistoryAndAllowOptions(&app, {yesFlag, checkFlag, readOption, restoreOption, backupOption},
                            &given, &parsed);
  checkFlag->excludes(readOption)->excludes(restoreOption)->excludes(backupOption);
  readOption->excludes(restoreOption)->excludes(backupOption);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return kExitOk;
  } catch (const CLI::CallForVersion&) {
    std::printf("%s %s\n", parsed.program.c_str(), ProgramVersion());
    return kExitOk;
  } catch (const CLI::ParseError& error) {
    return UsageError(parsed.program, error.what());
  }

  given.read = readOption->count() != 0;
  given.restore = restoreOption->count() != 0;
  given.backup = backupOption->count() != 0;
  const int refused = TakeChoicesAndMode(device, usbId, given, &parsed);
  if (refused >= 0) return refused;
  *options = parsed;
  return -1;
}
