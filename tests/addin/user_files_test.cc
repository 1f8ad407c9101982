// The user's protected files: the hexadecimal values, the protected key/value maps, the
// account record, the settings and the key store built on them.

#include <gtest/gtest.h>

#include <filesystem>

#include "addin/exports_key_store.h"
#include "addin/hex_codec.h"
#include "addin/protected_map.h"
#include "addin/settings.h"
#include "addin/user_info.h"
#include "platform/protect.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using testing::CapturedLog;
using testing::ReadFileText;
using testing::WriteFileText;

TEST(HexCodecTest, EncodesUtf16LittleEndianAndDecodesStrictly) {
  EXPECT_EQ(HexEncode(L"ab\u00e9\u20ac\U0001F600"), "61006200E900AC203DD800DE");
  const std::wstring text = L"p\u00e4ss w\u00f6rd \U0001F511 =;\n";
  EXPECT_EQ(HexDecode(HexEncode(text)), text);
  EXPECT_EQ(HexDecode("3dd800de"), L"\U0001F600");
  for (const char* hex : {"4A00", "4a00", "4A0062", "4A00620"}) EXPECT_EQ(HexDecode(hex), L"J");
  for (const char* bad : {"4G00", "4A00 6200", "-1", "0x4A00", "4A00\r\n", "4A\xC3\xA9"}) {
    EXPECT_EQ(HexDecode(bad), L"") << bad;
  }
}

// Points both the application-data folder and the protection key at a temporary folder.
class UserFilesTest : public ::testing::Test {
 protected:
  UserFilesTest() { fs::create_directories(DataFiles()); }
  fs::path DataFiles() const { return dir_.path() / "data/Nexora/Tidewell/data_files"; }
  std::wstring DataFile(const char* name) const {
    return Utf8ToWide((DataFiles() / name).string());
  }

  testing::TempDir dir_;
  testing::EnvGuard data_{"XDG_DATA_HOME", (dir_.path() / "data").c_str()};
  testing::EnvGuard config_{"XDG_CONFIG_HOME", (dir_.path() / "config").c_str()};
  const fs::path file_ = DataFiles() / "map.txt";
  const std::wstring path_ = DataFile("map.txt");
};

TEST_F(UserFilesTest, MapsWriteExactPlainTextAndReadWhatTheTrayApplicationWrites) {
  const ProtectedMap map = {
      {"b", HexEncode(L"ab")}, {"a", ""}, {"B", HexEncode(L"\u00fc\U0001F600")}, {"_x", "00"}};
  ASSERT_TRUE(WriteProtectedMap(path_, map, L"User options"));
  std::string plain;
  ASSERT_TRUE(platform::UnprotectData(ReadFileText(file_), &plain));
  EXPECT_EQ(plain, "B=FC003DD800DE\n_x=00\na=\nb=61006200\n");
  ProtectedMap back = {{"stale", "1"}};
  ASSERT_TRUE(ReadProtectedMap(path_, back));
  EXPECT_EQ(back, map);
  EXPECT_EQ(std::distance(fs::directory_iterator(DataFiles()), {}), 1);  // No temporary file.
  // CR LF reads like LF, the first occurrence of a key wins, pieces without a key go.
  ASSERT_TRUE(platform::ProtectData(
      "k=4A00\r\n\r\n  sync = 3100 \r\nno equals\n=orphan\nk=second\nu=a=b", L"tray", &plain));
  WriteFileText(file_, plain);
  ASSERT_TRUE(ReadProtectedMap(path_, back));
  EXPECT_EQ(back, (ProtectedMap{{"k", "4A00"}, {"sync", "3100"}, {"u", "a=b"}}));
}

TEST_F(UserFilesTest, RefusedMapWritesKeepTheOldFileAndUnreadableFilesFail) {
  ASSERT_TRUE(WriteProtectedMap(path_, {{"k", "6100"}}, L"d"));
  const std::string blob = ReadFileText(file_);
  const ProtectedMap bad[] = {{{"a=b", "00"}}, {{"", "00"}},       {{"k\nforged", "00"}},
                              {{" k", "00"}},  {{"k", "00\nx=1"}}, {{"k", "00 "}}};
  for (const ProtectedMap& map : bad) {
    EXPECT_FALSE(WriteProtectedMap(path_, map, L"d")) << map.begin()->first;
  }
  EXPECT_EQ(ReadFileText(file_), blob);
  std::string tampered = blob;
  tampered[tampered.size() / 2] ^= 0x20;
  for (const std::string& content :
       {tampered, blob.substr(0, blob.size() - 1), std::string("k=6100\n")}) {
    WriteFileText(file_, content);
    ProtectedMap map = {{"kept", "1"}};
    EXPECT_FALSE(ReadProtectedMap(path_, map));
    EXPECT_EQ(map, (ProtectedMap{{"kept", "1"}}));
  }
  EXPECT_TRUE(WriteProtectedMap(path_, {{"k\rv", "a\rb"}}, L"d"));  // Inner CR reads back.
}

TEST_F(UserFilesTest, LoadsTheRecordWithMissingKeysAsEmptyAndZeroOrLogsWhyNot) {
  const std::wstring path = DataFile("user_info_2.txt");
  ASSERT_TRUE(WriteProtectedMap(path,
                                {{"email", HexEncode(L"j\u00fcrgen@x")},
                                 {"sync_mode", HexEncode(L"3")},
                                 {"password", HexEncode(L"p\U0001F511 =")},
                                 {"delay_minutes", HexEncode(L" 45")}},
                                L"tray"));
  UserInfo info;
  ASSERT_TRUE(LoadUserInfo(info));
  EXPECT_EQ(std::tuple(info.email, info.password, info.delay_minutes, info.sync_mode),
            std::tuple(L"j\u00fcrgen@x", L"p\U0001F511 =", 45, 3));
  ASSERT_TRUE(
      WriteProtectedMap(path, {{"email", "6100"}, {"sync_mode", HexEncode(L"99999999999")}}, L"t"));
  ASSERT_TRUE(LoadUserInfo(info));
  EXPECT_EQ(std::tuple(info.email, info.password, info.delay_minutes, info.sync_mode),
            std::tuple(L"a", L"", 0, INT32_MAX));

  WriteFileText(DataFiles() / "user_info_2.txt", "email=6100\n");  // Not protected.
  CapturedLog log;
  EXPECT_FALSE(LoadUserInfo(info));
  EXPECT_TRUE(log.Contains("SEVERE: Failed to load user info\n"));
  EXPECT_EQ(info.email, L"a");  // left as it was
  // Settings come from section General of the settings file.
  EXPECT_EQ(GetSetting(L"SYNC_MODE", L"none"), L"none");  // No file yet.
  WriteFileText(DataFiles() / "settings.txt",
                "[Proxy]\nNXCAL_ID=elsewhere\n[General]\nsync_mode = \"OUTLOOK\"\r\n");
  EXPECT_EQ(GetSetting(L"SYNC_MODE", L""), L"OUTLOOK");
  EXPECT_EQ(GetSetting(L"NXCAL_ID", L"default"), L"default");
}

TEST_F(UserFilesTest, KeyStoreReplacesAnUnreadableFileRereadsItAndRefusesForgingKeys) {
  CapturedLog log;
  const fs::path file = DataFiles() / "user_properties.txt";
  WriteFileText(file, "garbage");
  Exports::ExportsKeyStore store;
  EXPECT_EQ(store.Get(L"user"), L"");
  store.Set(L"user", L"t\u00f6ken \U0001F600");
  ProtectedMap map;
  ASSERT_TRUE(ReadProtectedMap(DataFile("user_properties.txt"), map));
  EXPECT_EQ(map, (ProtectedMap{{"user", "7400F6006B0065006E0020003DD800DE"}}));
  // Another writer adds a key: the next Get sees it and the first key is kept.
  Exports::ExportsKeyStore(DataFile("user_properties.txt")).Set(L"session", L"s");
  EXPECT_EQ(store.Get(L"session"), L"s");
  EXPECT_EQ(store.Get(L"user"), L"t\u00f6ken \U0001F600");
  const std::string before = ReadFileText(file);
  store.Set(L"user=x\nsession", L"forged");
  EXPECT_EQ(ReadFileText(file), before);
  EXPECT_TRUE(log.Contains("ExportsKeyStore::Set -> cannot store key"));

  // A key others could read protects nothing: nothing is read or written with it.
  const fs::path key = dir_.path() / "config/Nexora/Tidewell/protect.key";
  fs::permissions(key, fs::perms::others_read, fs::perm_options::add);
  EXPECT_EQ(store.Get(L"user"), L"");
  store.Set(L"user", L"new");
  EXPECT_EQ(ReadFileText(file), before);
  EXPECT_TRUE(log.Contains("SEVERE: ReadProtectedMap -> the key file " + key.string() +
                           " is open to other users\n"));
}

}  // namespace
}  // namespace calendar_mirrow_addin
