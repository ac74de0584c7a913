// The update history: the record's JSON line and its way back through the
// reader, the append, the reader's handling of lines that hold no record,
// the device filter, the file's place and the SHA-256 of the platform.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "CommandLine.h"
#include "History.h"
#include "TestSupport.h"

namespace {

using testsupport::ScratchDir;
using Json = nlohmann::ordered_json;

HistoryRecord SampleRecord() {
  HistoryRecord r;
  r.time = "2026-12-09T23:47:05Z";
  r.program = "zedrikfu";
  r.programVersion = "1.0";
  r.operation = HistoryOperation::kRestore;
  r.device.usb = {1, 2, 0x3F1C, 0x0001};
  r.device.name = "/dev/sg1";
  r.device.chipId = "318a";
  r.device.variant = "QK9318A";
  r.device.serial = "SN-0042";
  r.before = {{1, 0x1000, HistoryCopy::State::kGood, "01.10"},
              {2, 0x11000, HistoryCopy::State::kErased, ""}};
  r.versionAfter = "01.20";
  r.filePath = "/srv/fw/MainFW.kqfw";
  r.fileSha256 = std::string(64, 'a');
  r.result = {100, "The update was completed successfully.", 0};
  r.durationSeconds = 12.3456;
  r.backupPath = "/srv/backup.bin";
  return r;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(History, Sha256OfTheStandardVectors) {
  EXPECT_EQ(Sha256Hex(nullptr, 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(Sha256Hex(abc, 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 1 MiB, byte i = (i * 7) ^ (i >> 8): the digest of sha256sum over the same bytes.
  std::vector<unsigned char> mib(size_t{1} << 20);
  for (size_t i = 0; i < mib.size(); ++i) mib[i] = static_cast<unsigned char>((i * 7) ^ (i >> 8));
  EXPECT_EQ(Sha256Hex(mib.data(), mib.size()),
            "c923ca387f9435260d1e5c46635a2303bbc967da66b226a0f889e7426864c1da");
}

TEST(History, TimeIsUtcIso8601) {
  EXPECT_EQ(HistoryTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(HistoryTime(1796860025), "2026-12-09T23:47:05Z");
}

TEST(History, LineRoundTripsThroughTheReader) {
  ScratchDir dir;
  const std::string path = dir.File("history.jsonl");
  const std::string line = HistoryLine(SampleRecord());
  EXPECT_EQ(line.find('\n'), std::string::npos);
  std::string cause;
  ASSERT_TRUE(AppendHistoryLine(path, line, &cause)) << cause;
  std::vector<HistoryEntry> entries;
  HistoryReadNotes notes;
  ASSERT_EQ(ReadHistory(path, &entries, &notes), HistoryReadStatus::kRead);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(notes.skipped, 0u);
  EXPECT_TRUE(entries[0].idsKnown && entries[0].positionKnown);
  EXPECT_EQ(entries[0].stored, Json::parse(line));
  EXPECT_EQ(HistoryLine(entries[0].record), line);
  EXPECT_EQ(entries[0].stored["duration_seconds"], 12.346);
  EXPECT_TRUE(entries[0].stored["before"][1]["version"].is_null());
}

TEST(History, AnyPathBytesGiveValidJson) {
  const std::vector<std::string> paths = {
      "C:\\fw\\\"quoted\"\\Main.kqfw", std::string("nul\0byte", 8), "\x01\x1f\t\n\r\x7f",
      "latin1 \xe9t\xe9", "cut \xc3", "surrogate \xed\xa0\x80", "\xff\xfe", "M\xc3\xbcller/\xe2\x82\xac"};
  for (const std::string& path : paths) {
    HistoryRecord record = SampleRecord();
    record.filePath = path;
    record.backupPath = path;
    record.device.name = path;
    const std::string line = HistoryLine(record);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << path;
    const Json parsed = Json::parse(line, nullptr, false);
    ASSERT_TRUE(parsed.is_object()) << path;
    EXPECT_TRUE(parsed["file"]["path"].is_string()) << path;
  }
  // Valid UTF-8 and the escapes come back as they were.
  const Json parsed = Json::parse(HistoryLine([&] {
    HistoryRecord r = SampleRecord();
    r.filePath = paths[0] + paths[2] + paths.back();
    return r;
  }()));
  EXPECT_EQ(parsed["file"]["path"], paths[0] + paths[2] + paths.back());
}

TEST(History, AppendMakesFoldersAndNeverTruncates) {
  ScratchDir dir;
  const std::string path = dir.File("state/zedrikfu/history.jsonl");
  std::string cause;
  ASSERT_TRUE(AppendHistoryLine(path, "{\"n\":1}", &cause)) << cause;
  ASSERT_TRUE(AppendHistoryLine(path, "{\"n\":2}", &cause)) << cause;
  EXPECT_EQ(ReadFile(path), "{\"n\":1}\n{\"n\":2}\n");
  // A last line cut short gets its line break before the next record.
  WriteFile(path, ReadFile(path) + "{\"n\":");
  ASSERT_TRUE(AppendHistoryLine(path, "{\"n\":3}", &cause)) << cause;
  EXPECT_EQ(ReadFile(path), "{\"n\":1}\n{\"n\":2}\n{\"n\":\n{\"n\":3}\n");
  // Refused records leave the file as it is.
  const std::string before = ReadFile(path);
  for (const std::string& bad : {std::string("{}\n{}"), std::string("{}\r"),
                                 std::string(kHistoryLineLimit + 1, ' ')}) {
    cause.clear();
    EXPECT_FALSE(AppendHistoryLine(path, bad, &cause));
    EXPECT_FALSE(cause.empty());
  }
  EXPECT_TRUE(AppendHistoryLine(path, std::string(kHistoryLineLimit, ' '), &cause));
  EXPECT_EQ(ReadFile(path).size(), before.size() + kHistoryLineLimit + 1);
}

TEST(History, AppendFailuresGiveACauseAndChangeNothing) {
  ScratchDir dir;
  WriteFile(dir.File("plain"), "x");
  ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0700), 0);
  for (const std::string& path :
       {std::string(), dir.File("plain/history.jsonl"), dir.File("folder")}) {
    std::string cause;
    EXPECT_FALSE(AppendHistoryLine(path, "{}", &cause)) << path;
    EXPECT_FALSE(cause.empty()) << path;
  }
  EXPECT_EQ(ReadFile(dir.File("plain")), "x");

  // A folder the user may not write to; root writes anywhere, so the
  // append then runs in a child without root's rights.
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  const std::string locked = dir.File("locked");
  ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    std::string cause;
    const bool ok = AppendHistoryLine(locked + "/sub/history.jsonl", "{}", &cause);
    _exit(ok ? 1 : cause.empty() ? 2 : 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  struct stat st {};
  EXPECT_NE(stat((locked + "/sub").c_str(), &st), 0);
}

TEST(History, ReaderSkipsAndCountsLinesWithoutARecord) {
  const std::string pad = "{\"pad\":\"\"}";  // 10 bytes around the padding
  const std::string atLimit = "{\"pad\":\"" + std::string(kHistoryLineLimit - 10, 'x') + "\"}";
  const std::string overLimit = "{\"pad\":\"" + std::string(kHistoryLineLimit - 9, 'x') + "\"}";
  struct Case {
    std::string line;
    bool kept;
  };
  const std::vector<Case> cases = {
      {HistoryLine(SampleRecord()), true},
      {"not json", false},
      {"[1,2]", false},
      {"{\"time\":", false},
      {"{\"a\":1} trailing", false},
      {"{\"a\":[[[[[[[1]]]]]]]}", true},     // nested 8 deep
      {"{\"a\":[[[[[[[[1]]]]]]]]}", false},  // 9 deep
      {"{\"s\":\"\xff\"}", false},            // no UTF-8
      {"{\"device\":\"x\",\"time\":5,\"before\":7}\r", true},
      {atLimit, true},
      {overLimit, false},
  };
  ScratchDir dir;
  std::string text = "\n   \n";  // blank lines are neither records nor skipped
  size_t kept = 0, skipped = 0;
  for (const Case& c : cases) {
    text += c.line + "\n";
    (c.kept ? kept : skipped)++;
  }
  text += "{\"last\":true}";  // no line break at the end
  WriteFile(dir.File("h"), text);
  std::vector<HistoryEntry> entries;
  HistoryReadNotes notes;
  ASSERT_EQ(ReadHistory(dir.File("h"), &entries, &notes), HistoryReadStatus::kRead);
  EXPECT_EQ(entries.size(), kept + 1);
  EXPECT_EQ(notes.skipped, skipped);
  EXPECT_EQ(notes.tooLong, 1u);
  EXPECT_EQ(notes.lines, cases.size() + 3);
  EXPECT_NE(SkippedLinesWarning("h", notes).find("skipped 7 of 14 lines of h"), std::string::npos);
  EXPECT_EQ(SkippedLinesWarning("h", HistoryReadNotes{}), "");
  // Wrong types are left at their defaults; the record is kept as stored.
  const HistoryEntry& typed = entries[2];
  EXPECT_FALSE(typed.idsKnown || typed.positionKnown);
  EXPECT_EQ(typed.record.time, "");
  EXPECT_EQ(typed.stored["time"], 5);

  EXPECT_EQ(ReadHistory(dir.File("none"), &entries, &notes), HistoryReadStatus::kMissing);
  EXPECT_EQ(ReadHistory(dir.Path(), &entries, &notes), HistoryReadStatus::kFailed);
  EXPECT_FALSE(notes.cause.empty());
}

TEST(History, FilterByIdsAndPosition) {
  const HistoryEntry entry = HistoryEntryFromJson(Json::parse(HistoryLine(SampleRecord())));
  const HistoryEntry noDevice = HistoryEntryFromJson(Json::parse("{\"device\":{\"bus\":\"1\"}}"));
  struct Case {
    DeviceChoice choice;
    bool admitted;
  };
  const std::vector<Case> cases = {
      {DeviceChoice{}, true},
      {{true, 1, 2}, true},
      {{true, 1, 3}, false},
      {{true, 2, 2}, false},
      {{true, 1, 1}, false},
      {{false, 0, 0, true, 0x3F1C, 0x0001}, true},
      {{false, 0, 0, true, 0x3F1C, 0x0002}, false},
      {{false, 0, 0, true, 0x3F1D, 0x0001}, false},
      {{false, 0, 0, true, 0x3F1C, 0x0000}, false},
      {{false, 0, 0, true, 0x3F1C, 0x0009, true}, true},
      {{true, 1, 2, true, 0x3F1C, 0x0001}, true},
      {{true, 1, 2, true, 0x3F1C, 0x0002}, false},
      {{true, 0, 0}, false},                     // disk 0 (Windows)
      {{false, 0, 0, true, 0x0000, 0x0000}, false},  // what an unread device would hold
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(HistoryEntryAdmitted(entry, cases[i].choice), cases[i].admitted) << i;
    const bool any = cases[i].choice.byPosition || cases[i].choice.byIds;
    EXPECT_EQ(HistoryEntryAdmitted(noDevice, cases[i].choice), !any) << i;
  }
}

TEST(History, FilePathFollowsXdgStateHome) {
  struct Case {
    const char* state;
    const char* home;
    const char* path;
  };
  const std::vector<Case> cases = {
      {"/st", "/home/u", "/st/zedrikfu/history.jsonl"},
      {"", "/home/u", "/home/u/.local/state/zedrikfu/history.jsonl"},
      {"rel/state", "/home/u", "/home/u/.local/state/zedrikfu/history.jsonl"},
      {nullptr, "/home/u", "/home/u/.local/state/zedrikfu/history.jsonl"},
      {nullptr, nullptr, ""},
      {nullptr, "", ""},
      {"", "home/u", ""},
      {"/st", nullptr, "/st/zedrikfu/history.jsonl"},
  };
  for (const Case& c : cases) {
    const testsupport::ScopedEnv state("XDG_STATE_HOME", c.state);
    const testsupport::ScopedEnv home("HOME", c.home);
    EXPECT_EQ(HistoryFilePath(), c.path) << (c.state ? c.state : "(unset)");
  }
}

int Show(const std::vector<std::string>& args, std::string* out, std::string* err) {
  std::vector<std::string> all = {"zedrikfu"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(&arg[0]);
  CliOptions options;
  if (ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &options) != -1) return -1;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = ShowHistory(options);
  *out = testing::internal::GetCapturedStdout();
  *err = testing::internal::GetCapturedStderr();
  return status;
}

TEST(History, ShowTableAndJsonFiltered) {
  ScratchDir dir;
  const testsupport::ScopedEnv state("XDG_STATE_HOME", dir.Path().c_str());
  const std::string path = dir.File("zedrikfu/history.jsonl");
  std::string out, err;
  EXPECT_EQ(Show({"--history"}, &out, &err), 0);
  EXPECT_NE(out.find("No update history yet"), std::string::npos) << out;

  HistoryRecord other = SampleRecord();
  other.device.usb = {1, 3, 0x3F1C, 0x0002};
  other.operation = HistoryOperation::kUpdate;
  other.result = {202, "The firmaware update failed! Do not turn it off.", 1};
  std::string cause;
  for (const HistoryRecord& r : {SampleRecord(), other, SampleRecord()}) {
    ASSERT_TRUE(AppendHistoryLine(path, HistoryLine(r), &cause)) << cause;
  }
  WriteFile(path, ReadFile(path) + "broken\n");
  EXPECT_EQ(Show({"--history", "--device", "1:3"}, &out, &err), 0);
  EXPECT_NE(err.find("skipped 1 of 4 lines"), std::string::npos) << err;
  EXPECT_NE(out.find("TIME"), std::string::npos) << out;
  EXPECT_NE(out.find("3f1c:0002 at bus 1 address 3  update     01.10,erased -> 01.20  "
                     "exit 1, message 202: The firmaware update failed!\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;

  EXPECT_EQ(Show({"--history", "--json", "--usb-id", "3f1c:0001"}, &out, &err), 0);
  const Json shown = Json::parse(out, nullptr, false);
  ASSERT_TRUE(shown.is_array()) << out;
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], Json::parse(HistoryLine(SampleRecord())));
  EXPECT_EQ(Show({"--history", "--device", "2:3"}, &out, &err), 0);
  EXPECT_NE(out.find("No record"), std::string::npos) << out;

  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(Show({"--history"}, &out, &err), 1);
  EXPECT_NE(err.find("cannot read the update history"), std::string::npos) << err;
}

}  // namespace
