// The system information file: token lookup, number parsing, the parsed
// identities and their checks, the device ID filter, and the file reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#ifndef _WIN32
#include <sys/stat.h>
#endif
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "FilRead.h"
#include "IDFilter.h"
#include "SystemInformation.h"

namespace {

// The text in a heap block of exactly its length plus the zero, so that a
// read past the terminator shows up under AddressSanitizer.
std::vector<char> Exact(const std::string& s) {
  return std::vector<char>(s.c_str(), s.c_str() + s.size() + 1);
}

std::string Token(const std::string& text, const char* section, const char* key,
                  uint16_t size = 256) {
  const std::vector<char> t = Exact(text);
  std::vector<char> out(size + 1, '\x7F');
  GetInformationToken(t.data(), section, key, out.data(), size);
  EXPECT_EQ(out[size], '\x7F') << "wrote past the output";
  return size == 0 ? std::string() : std::string(out.data());
}

int32_t Hex(const std::string& text, const char* key) {
  const std::vector<char> t = Exact(text);
  return GetInformationInt(t.data(), "SysInfo", key, false);
}

int32_t SysHex(const std::string& value) {
  return Hex("[SysInfo]\nVenderID0=" + value + "\n", "VenderID0");
}

TEST(TokenLookup, SectionsAreFoundFromTheStartOfTheText) {
  const std::string text =
      "[SysInfo]\r\nSysInfoNum=3\r\n[TargetInfo]\rTargetBridgeIC=QK9318E\rExtra=1\r";
  EXPECT_EQ(Token(text, "TargetInfo", "TargetBridgeIC"), "QK9318E");
  EXPECT_EQ(Token(text, "SysInfo", "SysInfoNum"), "3");
  // Keys run on across later headers. A header line has no '=' and so joins
  // the entry below it: from SysInfo that entry reads as "TargetInfo".
  EXPECT_EQ(Token(text, "SysInfo", "Extra"), "1");
  EXPECT_EQ(Token(text, "SysInfo", "TargetInfo"), "QK9318E");
  EXPECT_EQ(Token(text, "SysInfo", "TargetBridgeIC"), "");
  // ...but not backwards: a key before its section's header is not found.
  EXPECT_EQ(Token(text, "TargetInfo", "SysInfoNum"), "");
  EXPECT_EQ(Token(text, "Missing", "SysInfoNum"), "");
}

TEST(TokenLookup, HeadersMatchAsLeadingPartsOfTheSectionName) {
  EXPECT_EQ(Token("[Sys]\nA=1\n[SysInfo]\nA=2\n", "SysInfo", "A"), "1");
  EXPECT_EQ(Token("[]\nA=1\n", "Anything", "A"), "1");
  EXPECT_EQ(Token("[SysInfoX]\nA=1\n[SysInfo]\nA=2\n", "SysInfo", "A"), "2");
  EXPECT_EQ(Token("[sysinfo]\nA=1\n", "SysInfo", "A"), "");  // case-sensitive
  EXPECT_EQ(Token("[[SysInfo]\nA=1\n", "SysInfo", "A"), "1");
}

TEST(TokenLookup, KeysAreComparedAsPrefixesOfTheEntry) {
  const std::string text = "[SysInfo]\nVenderID10=AAAA\nVenderID1=BBBB\nVenderID2  =  CCCC\n";
  EXPECT_EQ(Token(text, "SysInfo", "VenderID1"), "AAAA");
  EXPECT_EQ(Token(text, "SysInfo", "VenderID10"), "AAAA");
  EXPECT_EQ(Token(text, "SysInfo", "VenderID2"), "CCCC");
  EXPECT_EQ(Token(text, "SysInfo", "vendorid2"), "");
}

TEST(TokenLookup, LeadingCharactersOfLinesAndValuesAreSkipped) {
  const std::string text =
      "[SysInfo]\n\n  \t;VenderID0=0x3F1C\n#Product0=\"Disk\" \n\xC3\xA9Manufacture0= -\xC3\xA9"
      "Acme  \n";
  EXPECT_EQ(Token(text, "SysInfo", "VenderID0"), "0x3F1C");
  EXPECT_EQ(Token(text, "SysInfo", "Product0"), "Disk\" ");     // trailing characters stay
  EXPECT_EQ(Token(text, "SysInfo", "Manufacture0"), "Acme  ");  // bytes >= 0x80 are not letters
}

TEST(TokenLookup, LineWithoutEqualsJoinsTheNextEntry) {
  const std::string text = "[SysInfo]\nJunk line\nVenderID0=12\nProductID0=34\n";
  EXPECT_EQ(Token(text, "SysInfo", "Junk"), "12");
  EXPECT_EQ(Token(text, "SysInfo", "VenderID0"), "");
  EXPECT_EQ(Token(text, "SysInfo", "ProductID0"), "34");
}

TEST(TokenLookup, EmptyValueTakesTheNextEntryAndALastLineReadsEmpty) {
  EXPECT_EQ(Token("[SysInfo]\nVenderID0=\nProductID0=0x0001\n", "SysInfo", "VenderID0"),
            "ProductID0=0x0001");
  EXPECT_EQ(Hex("[SysInfo]\nVenderID0=\nProductID0=0x0001\n", "VenderID0"), -1);
  EXPECT_EQ(Hex("[SysInfo]\nbcdDevice0=\r\nAB=1\r\n", "bcdDevice0"), 0xAB);
  EXPECT_EQ(Token("[SysInfo]\nA=1\nB=2", "SysInfo", "B"), "");
  EXPECT_EQ(Token("[SysInfo]\nA=", "SysInfo", "A"), "");
}

TEST(TokenLookup, OutputIsCutAndAlwaysTerminated) {
  const std::string text = "[S]\nK=0123456789\n";
  EXPECT_EQ(Token(text, "S", "K", 5), "0123");
  EXPECT_EQ(Token(text, "S", "K", 1), "");
  EXPECT_EQ(Token(text, "S", "K", 0), "");  // nothing written at all
  std::vector<char> out(8, 'x');
  GetInformationToken(nullptr, "S", "K", out.data(), 8);
  EXPECT_EQ(std::string(out.data()), "");
}

TEST(TokenLookup, TruncatedTextsEndTheLookupWithinTheText) {
  for (const char* text :
       {"", "[", "[S", "[S]", "[S]\n", "[S]\nK", "[S]\nK=", "[S]\nK= ", "[S]\nK=v", "[S]\nX=1",
        "[S]\nX=1\n", "[S]\nX=1\r\n;", "]S[", "[S]]]==\n\n=", "[[[[[["}) {
    EXPECT_EQ(Token(text, "S", "K"), "") << text;
  }
}

TEST(InformationInt, HexadecimalForms) {
  for (const char* v : {"3f1c", "0x3F1C", "0X3F1C", "3F1Cxyz", "3F1C 12"})
    EXPECT_EQ(SysHex(v), 0x3F1C) << v;
  EXPECT_EQ(Hex("[SysInfo]\nVenderID0 =  0x3F1C  \n", "VenderID0"), 0x3F1C);
  EXPECT_EQ(SysHex("FFFFFFFF"), -1);
  EXPECT_EQ(SysHex("80000000"), INT32_MIN);
  EXPECT_EQ(SysHex("0xg"), 0);
  EXPECT_EQ(SysHex("xyz"), -1);
  // More than 32 bits names no device instead of wrapping onto some id.
  EXPECT_EQ(SysHex("13F1C0000"), INT32_MAX);
  EXPECT_EQ(Hex("[SysInfo]\n", "VenderID0"), -1);
  // The work buffer holds 255 characters: the rest of a longer value is lost.
  EXPECT_EQ(SysHex(std::string(254, '0') + "1F"), 0x1);
}

TEST(InformationInt, Decimal) {
  const auto dec = [](const std::string& v) {
    const std::vector<char> t = Exact("[SysInfo]\nSysInfoNum=" + v + "\n");
    return GetInformationInt(t.data(), "SysInfo", "SysInfoNum", true);
  };
  EXPECT_EQ(dec("12"), 12);
  EXPECT_EQ(dec("12abc"), 12);
  EXPECT_EQ(dec("0x10"), 0);
  EXPECT_EQ(dec("abc"), -1);
  EXPECT_EQ(dec("-5"), 5);  // the sign is skipped with the other leading characters
  EXPECT_EQ(dec("99999999999"), INT32_MAX);
}

const char kExample[] =
    "[TargetInfo]\nTargetBridgeIC=QK9318A\n[SysInfo]\nSysInfoNum=1\nVenderID0=0x3F1C\nProductID0="
    "0x0001\n";

TEST(SystemInformation, ParsesTheExampleFile) {
  CSystemInformation info;
  EXPECT_EQ(info.TargetType(), BRIDGEIC_UNKNOWN);
  ASSERT_TRUE(info.SetInformationFile(kExample));
  EXPECT_EQ(info.TargetType(), BRIDGEIC_QK9318A);
  ASSERT_EQ(info.EntryCount(), 1);
  const CSyngleInformation& e = info.Entry(0);
  EXPECT_EQ(e.VenderID, 0x3F1C);
  EXPECT_EQ(e.ProductID, 1);
  EXPECT_EQ(e.bcdDevice, -1);
  EXPECT_STREQ(e.Manufacture, "");
  EXPECT_STREQ(e.Product, "");
}

TEST(SystemInformation, TargetTypeAndEntryLifecycle) {
  CSystemInformation info;
  EXPECT_FALSE(info.SetInformationFile(nullptr));
  ASSERT_TRUE(
      info.SetInformationFile("[TargetInfo]\nTargetBridgeIC=QK9318E\n[SysInfo]\nSysInfoNum=3\n"));
  EXPECT_EQ(info.TargetType(), BRIDGEIC_QK9318E);
  EXPECT_EQ(info.EntryCount(), 3);
  EXPECT_FALSE(info.SetInformationFile(nullptr));
  EXPECT_EQ(info.EntryCount(), 3);  // untouched by a refused call
  // A new text discards the entries; the target type stays unless named.
  ASSERT_TRUE(
      info.SetInformationFile("[TargetInfo]\nTargetBridgeIC=QK9318A \n[SysInfo]\nSysInfoNum=0\n"));
  EXPECT_EQ(info.TargetType(), BRIDGEIC_QK9318E);
  EXPECT_EQ(info.EntryCount(), 0);
  ASSERT_TRUE(info.SetInformationFile("[TargetInfo]\nTargetBridgeIC=qk9318a\n"));
  EXPECT_EQ(info.TargetType(), BRIDGEIC_QK9318E);
}

TEST(SystemInformation, IdentityCountLimits) {
  CSystemInformation info;
  for (const char* n : {"65536", "99999999999", "abc", "-1"}) {
    ASSERT_TRUE(
        info.SetInformationFile((std::string("[SysInfo]\nSysInfoNum=") + n + "\n").c_str()));
    EXPECT_EQ(info.EntryCount(), n[0] == '-' ? 1 : 0) << n;  // "-1" reads as 1
  }
  ASSERT_TRUE(info.SetInformationFile("[SysInfo]\nSysInfoNum=65535\nVenderID65534=0x12\n"));
  ASSERT_EQ(info.EntryCount(), 65535);
  EXPECT_EQ(info.Entry(65534).VenderID, 0x12);
  EXPECT_EQ(info.Entry(6553).VenderID, 0x12);  // "VenderID6553" is a prefix of the entry
  EXPECT_EQ(info.Entry(6552).VenderID, -1);
  ASSERT_TRUE(info.SetInformationFile("[SysInfo]\nSysInfoNum=2"));  // last line without line end
  EXPECT_EQ(info.EntryCount(), 0);
}

TEST(SystemInformation, TextFieldsAreCutTo31Characters) {
  const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
  CSystemInformation info;
  ASSERT_TRUE(
      info.SetInformationFile(("[SysInfo]\nSysInfoNum=1\nProduct0=" + forty + "\n").c_str()));
  EXPECT_EQ(std::string(info.Entry(0).Product), forty.substr(0, 31));
  _actionparamlist params{};
  std::memcpy(params.ProductString, forty.data(), 31);
  EXPECT_TRUE(info.CheckSystemInformation(&params));
  std::memcpy(params.ProductString, forty.data(), 32);  // a 32nd character, no terminator
  EXPECT_FALSE(info.CheckSystemInformation(&params));
}

// The index-based lookup of SetInformationFile must find what the plain
// token lookup finds, whatever the text looks like.
TEST(SystemInformation, EntriesAgreeWithTheTokenLookupOnGeneratedTexts) {
  const char* pieces[] = {"VenderID", "ProductID", "Product", "Manufacture", "bcdDevice", "0",
                          "1",        "2",         "10",      "=",           "=",         "\n",
                          "\r\n",     " ",         ";",       "[",           "]",         "SysInfo",
                          "0x",       "ab",        "Z"};
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string text = (round % 3 == 0) ? "junk=1\n[Sys]\n" : "[SysInfo]\n";
    text += "SysInfoNum=12\n";
    const int count = 20 + static_cast<int>(rng() % 120);
    for (int i = 0; i < count; ++i) text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    CSystemInformation info;
    ASSERT_TRUE(info.SetInformationFile(text.c_str()));
    for (int32_t i = 0; i < info.EntryCount(); ++i) {
      const CSyngleInformation& e = info.Entry(i);
      const std::string n = std::to_string(i);
      ASSERT_EQ(e.VenderID, Hex(text, ("VenderID" + n).c_str())) << text;
      ASSERT_EQ(e.ProductID, Hex(text, ("ProductID" + n).c_str())) << text;
      ASSERT_EQ(e.bcdDevice, Hex(text, ("bcdDevice" + n).c_str())) << text;
      ASSERT_EQ(std::string(e.Manufacture), Token(text, "SysInfo", ("Manufacture" + n).c_str(), 32))
          << text;
      ASSERT_EQ(std::string(e.Product), Token(text, "SysInfo", ("Product" + n).c_str(), 32))
          << text;
    }
  }
}

_actionparamlist Device(uint16_t vid, uint16_t pid, uint16_t bcd, const char* man,
                        const char* prod) {
  _actionparamlist p{};
  p.VendorID = vid;
  p.ProductID = pid;
  p.BcdDevice = bcd;
  const auto put = [](char(&field)[32], const char* s) {
    std::memcpy(field, s, std::min<size_t>(std::strlen(s), 31));
  };
  put(p.ManufacturerString, man);
  put(p.ProductString, prod);
  put(p.ThirdString, "ignored");
  return p;
}

TEST(SystemInformation, CheckSystemInformationMatchesAllFiveFields) {
  CSystemInformation info;
  const auto matches = [&info](const _actionparamlist& p) {
    return info.CheckSystemInformation(&p);
  };
  ASSERT_TRUE(
      info.SetInformationFile("[SysInfo]\nSysInfoNum=2\nVenderID0=3F1C\nProductID0=1\nbcdDevice0="
                              "0110\nManufacture0=Zedrik\n"
                              "Product0=Disk\nVenderID1=0x13F1C\n"));
  EXPECT_TRUE(matches(Device(0x3F1C, 1, 0x0110, "Zedrik", "Disk")));
  EXPECT_FALSE(matches(Device(0x3F1D, 1, 0x0110, "Zedrik", "Disk")));
  EXPECT_FALSE(matches(Device(0x3F1C, 2, 0x0110, "Zedrik", "Disk")));
  EXPECT_FALSE(matches(Device(0x3F1C, 1, 0x0111, "Zedrik", "Disk")));
  EXPECT_FALSE(matches(Device(0x3F1C, 1, 0x0110, "zedrik", "Disk")));
  EXPECT_FALSE(matches(Device(0x3F1C, 1, 0x0110, "Zedrik", "Disk2")));
  // Identity 1 wants vendor 0x13F1C, which no 16-bit id equals.
  EXPECT_FALSE(matches(Device(0x3F1C, 7, 7, "", "")));
  EXPECT_FALSE(info.CheckSystemInformation(nullptr));

  // An identity described only by its count matches any device.
  ASSERT_TRUE(info.SetInformationFile("[SysInfo]\nSysInfoNum=2\nVenderID0=1234\n"));
  EXPECT_TRUE(matches(Device(0xAAAA, 0xBBBB, 0xCCCC, "x", "y")));
  ASSERT_TRUE(info.SetInformationFile("[SysInfo]\nSysInfoNum=0\n"));
  EXPECT_FALSE(matches(Device(0, 0, 0, "", "")));
}

TEST(SystemInformation, BridgeAndFirmwareChecks) {
  const unsigned char v318e[14] = {'3', '1', '8', 'e'};
  const unsigned char v318a[14] = {'3', '1', '8', 'a'};
  const unsigned char fwE[10] = {0x1C, 0x3F, 0x03, 0x02, 0, 0, 0, 0, 0x23, 0x01};
  const unsigned char fwA[10] = {0x1C, 0x3F, 0x04, 0x02, 0, 0, 0, 0, 0x10, 0x01};
  CSystemInformation none;
  EXPECT_FALSE(none.CheckTargetType(v318e));
  EXPECT_FALSE(none.CheckTargetType(v318a));
  EXPECT_FALSE(none.CheckFWTargetType(fwE, sizeof fwE));
  EXPECT_FALSE(none.CheckFWTargetType(fwA, sizeof fwA));

  CSystemInformation e;
  ASSERT_TRUE(e.SetInformationFile("[TargetInfo]\nTargetBridgeIC=QK9318E\n"));
  EXPECT_TRUE(e.CheckTargetType(v318e));
  EXPECT_FALSE(e.CheckTargetType(v318a));
  EXPECT_FALSE(e.CheckTargetType(nullptr));
  EXPECT_TRUE(e.CheckFWTargetType(fwE, sizeof fwE));
  EXPECT_FALSE(e.CheckFWTargetType(fwA, sizeof fwA));
  EXPECT_TRUE(e.CheckFWTargetType(fwE, 4));
  EXPECT_FALSE(e.CheckFWTargetType(fwE, 3));
  EXPECT_FALSE(e.CheckFWTargetType(nullptr, 10));

  CSystemInformation a;
  ASSERT_TRUE(a.SetInformationFile("[TargetInfo]\nTargetBridgeIC=QK9318A\n"));
  EXPECT_TRUE(a.CheckTargetType(v318a));
  EXPECT_FALSE(a.CheckTargetType(v318e));
  EXPECT_TRUE(a.CheckFWTargetType(fwA, sizeof fwA));
  EXPECT_FALSE(a.CheckFWTargetType(fwE, sizeof fwE));

  EXPECT_EQ(a.GetFWRevision(fwE, 10), 0x0123);
  EXPECT_EQ(a.GetFWRevision(fwA, 10), 0x0110);
  EXPECT_EQ(a.GetFWRevision(fwA, 9), 0);
  EXPECT_EQ(a.GetFWRevision(nullptr, 10), 0);
}

TEST(IDFilterTest, ZeroIdsNeverMatchAndAnEmptyFilterAcceptsAll) {
  IDFilter filter;
  EXPECT_TRUE(filter.CheckID(0x1234, 0x5678));
  EXPECT_TRUE(filter.CheckID(0, 0));
  filter.SetID(0x3F1C, 0);
  EXPECT_FALSE(filter.CheckID(0x3F1C, 0));
  EXPECT_FALSE(filter.CheckID(0x3F1C, 1));
  filter.SetID(0x3F1C, 0x0002);
  EXPECT_TRUE(filter.CheckID(0x3F1C, 2));
  EXPECT_FALSE(filter.CheckID(0x3F1C, 3));
  EXPECT_FALSE(filter.CheckID(0x3F1D, 2));
}

TEST(IDFilterTest, AddFilterTakesLow16BitsAndZeroForAny) {
  CSystemInformation info;
  ASSERT_TRUE(info.SetInformationFile(
      "[SysInfo]\nSysInfoNum=3\nVenderID0=3F1C\nProductID0=1\nVenderID1=0x13F1C\nProductID1=2\n"
      "VenderID2=3F1C\n"));
  IDFilter filter;
  info.AddFilter(&filter);
  info.AddFilter(nullptr);
  ASSERT_EQ(filter.Count(), 3);
  EXPECT_EQ(filter.Record(0).VendorID, 0x3F1C);
  EXPECT_EQ(filter.Record(0).ProductID, 1);
  EXPECT_EQ(filter.Record(1).VendorID, 0x3F1C);
  EXPECT_EQ(filter.Record(1).ProductID, 2);
  EXPECT_EQ(filter.Record(2).VendorID, 0x3F1C);
  EXPECT_EQ(filter.Record(2).ProductID, 0);
  EXPECT_TRUE(filter.CheckID(0x3F1C, 2));  // admitted by the filter...
  EXPECT_FALSE(filter.CheckID(0x3F1C, 3));
}

class FileReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir();
    if (dir_.empty() || dir_.back() != '/') dir_ += '/';
    saved_ = strAppDir;
  }
  void TearDown() override {
    strAppDir = saved_;
    for (const std::string& path : written_) std::remove(path.c_str());
  }
  std::string Write(const char* name, const std::string& bytes) {
    std::ofstream(dir_ + name, std::ios::binary) << bytes;
    written_.push_back(dir_ + name);
    return dir_ + name;
  }
  std::string dir_;
  std::vector<std::string> written_;
  char* saved_ = nullptr;
};

TEST_F(FileReadTest, OpenPrefixesTheApplicationDirectoryAndPrintsThePath) {
  const std::string content("line1\r\nbin\0ary\n", 15);
  Write("zf_sysinfo_read.ini", content);
  std::vector<char> appDir(dir_.begin(), dir_.end());
  appDir.push_back('\0');
  strAppDir = appDir.data();
  CFileRead file;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(file.Open("zf_sysinfo_read.ini"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), dir_ + "zf_sysinfo_read.ini\n");
  EXPECT_EQ(file.GetFileSize(), 15u);
  unsigned char* data = file.ReadTextFile();
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 15), content);  // bytes as stored
  EXPECT_EQ(data[15], 0);
  file.Close();
  EXPECT_EQ(file.GetFileSize(), 0u);
  EXPECT_EQ(file.ReadTextFile(), data);  // kept after Close
  file.ReleaseAll();
  EXPECT_EQ(file.ReadTextFile(), nullptr);

  testing::internal::CaptureStdout();
  EXPECT_FALSE(file.Open("zf_sysinfo_missing.ini"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), dir_ + "zf_sysinfo_missing.ini\n");
  EXPECT_EQ(file.ReadTextFile(), nullptr);
}

TEST_F(FileReadTest, NullApplicationDirectoryAndOpenPath) {
  const std::string path = Write("zf_sysinfo_path.ini", "abc");
  strAppDir = nullptr;
  CFileRead file;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(file.Open("zf_no_such_file_here.ini"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "zf_no_such_file_here.ini\n");
  testing::internal::CaptureStdout();
  ASSERT_TRUE(file.OpenPath(path.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_NE(file.ReadTextFile(), nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(file.ReadTextFile()), "abc");
}

TEST_F(FileReadTest, AFolderIsNotAFile) {
  const std::string path = ::testing::TempDir() + "zf_sysinfo_folder";
  std::filesystem::create_directories(path);
  CFileRead file;
  EXPECT_FALSE(file.OpenPath(path.c_str()));
  EXPECT_EQ(file.GetFileSize(), 0u);
  EXPECT_EQ(file.ReadTextFile(), nullptr);
  std::filesystem::remove(path);
}

TEST_F(FileReadTest, EmptyFileGivesNoContent) {
  const std::string path = Write("zf_sysinfo_empty.ini", "");
  CFileRead file;
  ASSERT_TRUE(file.OpenPath(path.c_str()));
  EXPECT_EQ(file.GetFileSize(), 0u);
  EXPECT_EQ(file.ReadTextFile(), nullptr);
  CSystemInformation info;
  EXPECT_FALSE(info.SetInformationFile(reinterpret_cast<const char*>(file.ReadTextFile())));
  EXPECT_EQ(info.TargetType(), BRIDGEIC_UNKNOWN);
  CFileRead closed;
  EXPECT_EQ(closed.GetFileSize(), 0u);
  EXPECT_EQ(closed.ReadTextFile(), nullptr);
}

// Only a regular file within the reader's limit opens, judged before any
// byte is read: the limit itself and one byte over it, the default limit
// of 1 MiB and the firmware limit, a file beyond 4 GiB (sparse) named by its
// real size, and a FIFO without a writer, which must not make the open wait.
TEST_F(FileReadTest, SizeLimitAndFileKindsAreJudgedBeforeReading) {
  struct Case {
    uint64_t size;
    uint64_t limit;  // 0: the default
    bool opens;
  };
  const std::string path = Write("zf_sysinfo_sized.bin", "");
  for (const Case& c : std::vector<Case>{{kDefaultFileSizeLimit, 0, true},
                                         {kDefaultFileSizeLimit + 1, 0, false},
                                         {kFirmwareFileSizeLimit, kFirmwareFileSizeLimit, true},
                                         {kFirmwareFileSizeLimit + 1, kFirmwareFileSizeLimit, false},
                                         {(uint64_t{5} << 30), uint64_t{1} << 24, false}}) {
    std::filesystem::resize_file(path, c.size);
    CFileRead file;
    if (c.limit != 0) file.SetSizeLimit(c.limit);
    EXPECT_EQ(file.OpenPath(path.c_str()), c.opens) << c.size;
    if (c.opens) {
      EXPECT_EQ(file.GetFileSize(), c.size);
      ASSERT_NE(file.ReadTextFile(), nullptr) << c.size;
      continue;
    }
    EXPECT_EQ(file.OpenError(), FileOpenError::kTooLarge);
    EXPECT_EQ(file.FoundSize(), c.size);
    EXPECT_EQ(file.OpenProblem(), "it holds " + std::to_string(c.size) + " bytes, more than " +
                                      std::to_string(file.SizeLimit()));
    EXPECT_EQ(file.ReadTextFile(), nullptr);
  }
  std::filesystem::resize_file(path, 0);

  CFileRead file;
  const std::string folder = ::testing::TempDir() + "zf_sysinfo_kind_folder";
  std::filesystem::create_directories(folder);
  EXPECT_FALSE(file.OpenPath(folder.c_str()));
  EXPECT_EQ(file.OpenProblem(), "it is a folder, not a regular file");
  std::filesystem::remove(folder);
  EXPECT_FALSE(file.OpenPath((folder + "/none").c_str()));
  EXPECT_EQ(file.OpenError(), FileOpenError::kSystem);
  EXPECT_EQ(file.OpenProblem(), "No such file or directory");
#ifndef _WIN32
  const std::string fifo = ::testing::TempDir() + "zf_sysinfo_fifo";
  std::filesystem::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(file.OpenPath(fifo.c_str()));
  EXPECT_EQ(file.OpenProblem(), "it is a FIFO, not a regular file");
  std::filesystem::remove(fifo);
  EXPECT_FALSE(file.OpenPath("/dev/null"));
  EXPECT_EQ(file.OpenProblem(), "it is a character device, not a regular file");
#endif
}

}  // namespace
