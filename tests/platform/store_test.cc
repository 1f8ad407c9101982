// The per-user folders and the per-user store.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/app_folders.h"
#include "platform/folders.h"
#include "platform/store.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using platform::DeleteStoreValue;
using platform::WriteStoreValue;
using testing::EnvGuard;
using testing::ReadFileText;

TEST(FoldersTest, ComeFromAbsoluteXdgVariablesElseHome) {
  EnvGuard home("HOME", "/home/ana/");
  for (const char* xdg : {"/srv/x/", "relative/path", static_cast<const char*>(nullptr)}) {
    EnvGuard data("XDG_DATA_HOME", xdg), config("XDG_CONFIG_HOME", xdg);
    const bool used = xdg != nullptr && xdg[0] == '/';  // relative ones are invalid
    EXPECT_EQ(platform::LocalAppDataFolder(), used ? "/srv/x" : "/home/ana/.local/share");
    EXPECT_EQ(platform::LocalConfigFolder(), used ? "/srv/x" : "/home/ana/.config");
    EXPECT_EQ(ApplicationDataFolder(),
              used ? L"/srv/x/Nexora/Tidewell/" : L"/home/ana/.local/share/Nexora/Tidewell/");
  }
}

class StoreTest : public ::testing::Test {
 protected:
  fs::path StoreFolder() const { return home_.path() / "Nexora" / "Tidewell" / "store"; }
  std::string Read(const std::string& key_path, const std::string& name) {
    std::string bytes = "<absent>";
    platform::ReadStoreValue(key_path, name, &bytes);
    return bytes;
  }

  testing::TempDir home_;
  EnvGuard config_{"XDG_CONFIG_HOME", home_.path().c_str()};
};

TEST_F(StoreTest, ValuesRoundTripIgnoringCaseAndDeleteOneAtATime) {
  const std::string key = "Software\\Nexora\\Tidewell", binary("\x00\x01\xff\n=", 5);
  ASSERT_TRUE(WriteStoreValue(key, "LastFetch", binary));
  ASSERT_TRUE(WriteStoreValue(key, "Other", "old"));
  ASSERT_TRUE(WriteStoreValue(key, "OTHER", ""));
  EXPECT_EQ(std::tuple(Read("SOFTWARE\\nexora\\TIDEWELL", "lastfetch"), Read(key, "other"),
                       Read(key, "Missing")),
            std::tuple(binary, "", "<absent>"));
  EXPECT_TRUE(DeleteStoreValue(key, "lastfetch"));
  EXPECT_FALSE(DeleteStoreValue(key, "LastFetch"));
  EXPECT_EQ(Read(key, "Other"), "");
  EXPECT_TRUE(DeleteStoreValue(key, "Other"));
  EXPECT_TRUE(fs::is_empty(StoreFolder()));  // The file goes with its last value.

  // A damaged file reads as absent and is replaced on the next write.
  ASSERT_TRUE(WriteStoreValue(key, "A", "1"));
  const fs::path file = fs::directory_iterator(StoreFolder())->path();
  const std::string good = ReadFileText(file);
  testing::WriteFileText(file, good.substr(0, good.size() - 1));  // Length says more.
  EXPECT_EQ(Read(key, "A"), "<absent>");
  ASSERT_TRUE(WriteStoreValue(key, "B", "2"));
  EXPECT_EQ(Read(key, "B"), "2");
  EXPECT_EQ(Read(key, "A"), "<absent>");
}

TEST_F(StoreTest, KeyPathsStayInsideTheStoreAndNeverCollide) {
  const std::string paths[] = {"../../escape", "..", "a/b", "a\\b", "a_b", "a%5Cb", "/etc/x"};
  for (const std::string& path : paths) ASSERT_TRUE(WriteStoreValue(path, "v", path)) << path;
  for (const std::string& path : paths) EXPECT_EQ(Read(path, "v"), path);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(home_.path())) {
    if (!entry.is_regular_file()) continue;
    EXPECT_EQ(entry.path().parent_path(), StoreFolder()) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, std::size(paths));  // One file each; no temporary files left over.
  EXPECT_FALSE(WriteStoreValue("", "v", "x"));
  EXPECT_FALSE(WriteStoreValue(std::string(300, 'k'), "v", "x"));
}

}  // namespace
}  // namespace calendar_mirrow_addin
