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
using Exports::ExportsKeyStore;
using testing::CapturedLog;
using testing::EnvGuard;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

// Points both the application-data folder and the protection key at a temporary folder.
class UserFilesTest : public ::testing::Test {
 protected:
  UserFilesTest() { fs::create_directories(DataFiles()); }

  fs::path DataFiles() const { return dir_.path() / "data" / "Nexora" / "Tidewell" / "data_files"; }
  std::wstring DataFile(const char* name) const {
    return Utf8ToWide((DataFiles() / name).string());
  }

  void WriteUserInfo(const ProtectedMap& decoded) {
    ProtectedMap map;
    for (const auto& [key, value] : decoded) map[key] = HexEncode(Utf8ToWide(value));
    ASSERT_TRUE(WriteProtectedMap(UserInfoFilePath(), map, L"tray"));
  }

  TempDir dir_;
  EnvGuard data_{"XDG_DATA_HOME", (dir_.path() / "data").c_str()};
  EnvGuard config_{"XDG_CONFIG_HOME", (dir_.path() / "config").c_str()};
};

TEST_F(UserFilesTest, PathsLieInTheDataFilesFolder) {
  EXPECT_EQ(DataFilesFolder(), Utf8ToWide(DataFiles().string()) + L"/");
  EXPECT_EQ(UserInfoFilePath(), DataFile("user_info_2.txt"));
  EXPECT_EQ(ExportsKeyStore().path(), DataFile("user_properties.txt"));
}

TEST_F(UserFilesTest, LoadsTheWholeRecord) {
  WriteUserInfo({{"email", "j\xC3\xBCrgen@example.com"},
                 {"password", "p\xF0\x9F\x94\x91 ="},
                 {"delay_minutes", " 45"},
                 {"sync_mode", "3"}});
  UserInfo info;
  ASSERT_TRUE(LoadUserInfo(info));
  EXPECT_EQ(info.email, L"j\u00fcrgen@example.com");
  EXPECT_EQ(info.password, L"p\U0001F511 =");
  EXPECT_EQ(info.delay_minutes, 45);
  EXPECT_EQ(info.sync_mode, 3);
}

TEST_F(UserFilesTest, MissingKeysReadAsEmptyAndZeroNotAsDefaults) {
  WriteUserInfo({{"email", "a@b"}, {"sync_mode", "99999999999"}});
  UserInfo info;
  info.password = L"old";
  ASSERT_TRUE(LoadUserInfo(info));
  EXPECT_EQ(info.password, L"");
  EXPECT_EQ(info.delay_minutes, 0);
  EXPECT_EQ(info.sync_mode, INT32_MAX);
}

TEST_F(UserFilesTest, UnreadableUserInfoIsLoggedAndLeavesTheRecord) {
  CapturedLog log;
  UserInfo info;
  info.email = L"kept@x";
  EXPECT_FALSE(LoadUserInfo(info));  // Missing.
  EXPECT_TRUE(log.Contains("Failed to load user info"));
  log.Clear();
  WriteFileText(DataFiles() / "user_info_2.txt", "email=6100\n");  // Not protected.
  EXPECT_FALSE(LoadUserInfo(info));
  EXPECT_TRUE(log.Contains("Failed to load user info"));
  EXPECT_EQ(info.email, L"kept@x");
  EXPECT_EQ(info.delay_minutes, 120);
}

TEST_F(UserFilesTest, SettingsComeFromSectionGeneralOnly) {
  EXPECT_EQ(GetSetting(L"SYNC_MODE", L""), L"");  // No file yet.
  WriteFileText(DataFiles() / "settings.txt",
                "[Proxy]\nNXCAL_ID=elsewhere\n[General]\nsync_mode = \"OUTLOOK\"\r\n");
  EXPECT_EQ(GetSetting(L"SYNC_MODE", L""), L"OUTLOOK");
  EXPECT_EQ(GetSetting(L"NXCAL_ID", L"default"), L"default");
  EXPECT_EQ(GetSetting(DataFile("missing.txt"), L"SYNC_MODE", L"dflt"), L"dflt");
}

TEST_F(UserFilesTest, KeyStoreRoundTripsNonAsciiAndRereadsEveryTime) {
  ExportsKeyStore store;
  store.Set(L"nxcalconnection_auth_token", L"t\u00f6ken \U0001F600");
  store.Set(L"INTERNET_OPTION_PROXY_USERNAME", L"ana");
  EXPECT_EQ(store.Get(L"nxcalconnection_auth_token"), L"t\u00f6ken \U0001F600");
  EXPECT_EQ(store.Get(L"nxcalconnection_session_id"), L"");

  // Another writer changes the file: the next Get sees it.
  ExportsKeyStore(DataFile("user_properties.txt")).Set(L"INTERNET_OPTION_PROXY_USERNAME", L"bo");
  EXPECT_EQ(store.Get(L"INTERNET_OPTION_PROXY_USERNAME"), L"bo");
  EXPECT_EQ(store.Get(L"nxcalconnection_auth_token"), L"t\u00f6ken \U0001F600");
  // Replaced atomically: nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(DataFiles()), {}), 1);
}

TEST_F(UserFilesTest, UnreadableKeyStoreIsReplacedByTheNewKeyOnly) {
  WriteFileText(DataFiles() / "user_properties.txt", "garbage");
  ExportsKeyStore store;
  EXPECT_EQ(store.Get(L"k"), L"");
  store.Set(L"k", L"v");
  ProtectedMap map;
  ASSERT_TRUE(ReadProtectedMap(store.path(), map));
  EXPECT_EQ(map, (ProtectedMap{{"k", "7600"}}));
}

TEST_F(UserFilesTest, KeyStoreRefusesKeysThatWouldCorruptTheFile) {
  CapturedLog log;
  ExportsKeyStore store;
  store.Set(L"user", L"ana");
  const std::string before = ReadFileText(DataFiles() / "user_properties.txt");
  store.Set(L"user=x\nauth_token", L"forged");
  EXPECT_EQ(ReadFileText(DataFiles() / "user_properties.txt"), before);
  EXPECT_EQ(store.Get(L"auth_token"), L"");
  EXPECT_EQ(store.Get(L"user"), L"ana");
  EXPECT_TRUE(log.Contains("ExportsKeyStore::Set -> cannot store key"));
}

}  // namespace
}  // namespace calendar_mirrow_addin
