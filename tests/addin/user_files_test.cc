#include <gtest/gtest.h>

#include <filesystem>

#include "addin/exports_key_store.h"
#include "addin/hex_codec.h"
#include "addin/protected_map.h"
#include "addin/settings.h"
#include "addin/user_info.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using testing::CapturedLog;
using testing::ReadFileText;
using testing::WriteFileText;

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
};

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
  EXPECT_EQ(info.email, L"j\u00fcrgen@x");
  EXPECT_EQ(info.password, L"p\U0001F511 =");
  EXPECT_EQ(info.delay_minutes, 45);
  EXPECT_EQ(info.sync_mode, 3);
  ASSERT_TRUE(
      WriteProtectedMap(path, {{"email", "6100"}, {"sync_mode", HexEncode(L"99999999999")}}, L"t"));
  ASSERT_TRUE(LoadUserInfo(info));
  EXPECT_EQ(info.password, L"");
  EXPECT_EQ(info.delay_minutes, 0);
  EXPECT_EQ(info.sync_mode, INT32_MAX);

  WriteFileText(DataFiles() / "user_info_2.txt", "email=6100\n");  // Not protected.
  for (const std::wstring& unreadable : {path, DataFile("missing.txt")}) {
    CapturedLog log;
    UserInfo kept;
    kept.email = L"kept@x";
    EXPECT_FALSE(LoadUserInfo(unreadable, kept));
    EXPECT_TRUE(log.Contains("Failed to load user info"));
    EXPECT_EQ(std::tuple(kept.email, kept.delay_minutes, kept.sync_mode),
              std::tuple(L"kept@x", 120, 1));
  }
}

TEST_F(UserFilesTest, SettingsComeFromSectionGeneralOfTheSettingsFile) {
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
  EXPECT_EQ(std::distance(fs::directory_iterator(DataFiles()), {}), 1);  // No temporary file.
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
