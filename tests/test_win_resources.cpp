// The Windows build's settings helpers and resources, checked natively: the
// settings file beside the program, the file chooser's filter, and the
// resource script against the core's message table and the dialog layout
// the front-end relies on.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../windows/Settings.h"
#include "../windows/resource.h"
#include "Messages.h"

namespace {

// A file of the Windows tree, by the source folder the build names (the
// compiler maps __FILE__ away from it, for builds that do not depend on
// their folder).
std::string WindowsFile(const char* name) {
  const std::string path = std::string(ZF_SOURCE_DIR) + "/windows/" + name;
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(WinSettings, TheSettingsFileLiesBesideTheProgram) {
  EXPECT_EQ(zfwin::SettingsPathFromModulePath("C:\\Program Files\\ZEDRIK\\ZEDRIKFU.exe"),
            "C:\\Program Files\\ZEDRIK\\ZEDRIKFU.ini");
  EXPECT_EQ(zfwin::SettingsPathFromModulePath("Z:\\a\\b.c\\x.exe"), "Z:\\a\\b.c\\ZEDRIKFU.ini");
  EXPECT_EQ(zfwin::FolderOfModulePath("Z:\\tmp\\ZEDRIKFU-sim.exe"), "Z:\\tmp\\");
  // Forward slashes are not separators here; no separator means no folder.
  EXPECT_EQ(zfwin::SettingsPathFromModulePath("ZEDRIKFU.exe"), "ZEDRIKFU.ini");
  EXPECT_EQ(zfwin::SettingsPathFromModulePath("C:/x/ZEDRIKFU.exe"), "ZEDRIKFU.ini");
  EXPECT_EQ(zfwin::SettingsPathFromModulePath(nullptr), "ZEDRIKFU.ini");
}

TEST(WinSettings, FileChooserFilterAndExtension) {
  const std::string filter = zfwin::OpenFileFilter(zfwin::kFirmwareFilter);
  // Pairs of description and pattern, up to the first empty string.
  std::vector<std::string> parts;
  for (size_t at = 0; at < filter.size() && filter[at] != '\0';) {
    const size_t end = filter.find('\0', at);
    parts.push_back(filter.substr(at, end - at));
    at = end + 1;
  }
  EXPECT_EQ(parts, (std::vector<std::string>{"Firmware (*.kqfw)", "*.kqfw", "All Files (*.*)",
                                             "*.*"}));
  EXPECT_EQ(filter.substr(filter.size() - 2), std::string(2, '\0'));
  EXPECT_STREQ(zfwin::DialogDefaultExtension(zfwin::kFirmwareDefaultExtension), "kqfw");
  EXPECT_STREQ(zfwin::kCaptionDefault, "ZEDRIK");
  EXPECT_STREQ(zfwin::kFirmwareDefault, "MainFW.kqfw");
  EXPECT_EQ(zfwin::kSettingBufferSize, 256u);
}

// The string table of the resource script: id -> text with its escapes
// resolved.
std::map<int, std::string> StringTable(const std::string& rc) {
  std::map<int, std::string> table;
  const size_t begin = rc.find("STRINGTABLE");
  const size_t end = rc.find("\nEND", begin);
  std::istringstream lines(rc.substr(begin, end - begin));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t quote = line.find('"');
    if (quote == std::string::npos) continue;
    const int id = std::stoi(line.substr(0, quote));
    std::string text;
    for (size_t i = quote + 1; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == 'n') {
        text += '\n';
        ++i;
      } else {
        text += line[i];
      }
    }
    table[id] = text;
  }
  return table;
}

TEST(WinResources, TheStringTableHoldsTheMessageTableExactly) {
  const std::map<int, std::string> table = StringTable(WindowsFile("ZEDRIKFU.rc"));
  ASSERT_EQ(table.size(), 11u);
  for (const MessageEntry& entry : gMessageTable) {
    auto it = table.find(entry.id);
    ASSERT_NE(it, table.end()) << entry.id;
    EXPECT_EQ(it->second, entry.text) << entry.id;
  }
}

// The statement lines of one dialog template.
std::string Template(const std::string& rc, const std::string& id) {
  const size_t begin = rc.find("\n" + id + " DIALOGEX");
  const size_t end = rc.find("\nEND", begin);
  return begin == std::string::npos ? std::string() : rc.substr(begin, end - begin);
}

TEST(WinResources, DialogTemplatesAsTheFrontEndUsesThem) {
  const std::string rc = WindowsFile("ZEDRIKFU.rc");
  const std::string main = Template(rc, "IDD_MAIN");
  EXPECT_NE(main.find("IDD_MAIN DIALOGEX 0, 0, 183, 86"), std::string::npos);
  EXPECT_NE(main.find("WS_SYSMENU | WS_MINIMIZEBOX"), std::string::npos);
  EXPECT_NE(main.find("CAPTION \"ZEDRIKFU\""), std::string::npos);
  EXPECT_NE(main.find("FONT 8, \"MS Shell Dlg\""), std::string::npos);
  EXPECT_NE(main.find("\"from version xxxx\",IDC_FROM_VERSION,31,21,145,10"), std::string::npos);
  EXPECT_NE(main.find("DEFPUSHBUTTON   \"OK\",IDOK,17,65,66,14"), std::string::npos);
  EXPECT_NE(main.find("PUSHBUTTON      \"Cancel\",IDCANCEL,101,65,66,14"), std::string::npos);
  EXPECT_NE(main.find("\"Do you want to update the firmware?\",IDC_STATIC,22,45,153,11"),
            std::string::npos);
  EXPECT_NE(main.find("\"The firmware will be updated.\",IDC_STATIC,8,6,163,8"), std::string::npos);
  EXPECT_NE(main.find("\"to     version yyyy\\n\",IDC_TO_VERSION,31,30,145,10"), std::string::npos);

  const std::string progress = Template(rc, "IDD_PROGRESS");
  EXPECT_NE(progress.find("IDD_PROGRESS DIALOGEX 0, 0, 233, 57"), std::string::npos);
  // No system menu: no close box.
  EXPECT_EQ(progress.find("WS_SYSMENU"), std::string::npos);
  EXPECT_NE(progress.find("WS_CAPTION"), std::string::npos);
  EXPECT_NE(progress.find("\"CAUTION!!\\nPlease do NOT plug out nor turn off your device until "
                          "completed!!\",IDC_STATIC,7,6,216,23"),
            std::string::npos);
  EXPECT_NE(progress.find("\"\",IDC_PROGRESS,\"msctls_progress32\",WS_BORDER,14,35,201,14"),
            std::string::npos);

  EXPECT_EQ(IDD_MAIN, 102);
  EXPECT_EQ(IDD_PROGRESS, 136);
  EXPECT_EQ(IDI_ZEDRIKFU, 128);
  EXPECT_EQ(IDC_FROM_VERSION, 1001);
  EXPECT_EQ(IDC_TO_VERSION, 1002);
  EXPECT_EQ(IDC_PROGRESS, 1044);
}

TEST(WinResources, VersionAndManifest) {
  const std::string rc = WindowsFile("ZEDRIKFU.rc");
  EXPECT_NE(rc.find("VALUE \"ProductName\", \"ZEDRIK Firmware Updater\""), std::string::npos);
  const std::string manifest = WindowsFile("ZEDRIKFU.manifest");
  EXPECT_NE(manifest.find("level=\"requireAdministrator\" uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
}

}  // namespace
