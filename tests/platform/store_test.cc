#include "platform/store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/folders.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using platform::DeleteStoreValue;
using platform::WriteStoreValue;
using testing::EnvGuard;

constexpr char kKey[] = "Software\\Nexora\\Tidewell";

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
  const std::string binary("\x00\x01\xff\n=", 5);
  ASSERT_TRUE(WriteStoreValue(kKey, "LastFetch", binary));
  ASSERT_TRUE(WriteStoreValue(kKey, "Other", ""));
  EXPECT_EQ(Read("SOFTWARE\\nexora\\TIDEWELL", "lastfetch"), binary);
  EXPECT_EQ(Read(kKey, "Missing"), "<absent>");
  EXPECT_EQ(Read("Software\\Elsewhere", "Other"), "<absent>");
  ASSERT_TRUE(WriteStoreValue(kKey, "LASTFETCH", "new"));
  EXPECT_EQ(Read(kKey, "LastFetch"), "new");
  EXPECT_EQ(Read(kKey, "Other"), "");

  EXPECT_TRUE(DeleteStoreValue(kKey, "lastfetch"));
  EXPECT_FALSE(DeleteStoreValue(kKey, "LastFetch"));
  EXPECT_EQ(Read(kKey, "Other"), "");
  EXPECT_TRUE(DeleteStoreValue(kKey, "Other"));
  EXPECT_TRUE(fs::is_empty(StoreFolder()));  // The file goes with its last value.
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

TEST_F(StoreTest, CorruptFileReadsAsAbsentAndIsReplacedOnWrite) {
  ASSERT_TRUE(WriteStoreValue(kKey, "A", "1"));
  const fs::path file = fs::directory_iterator(StoreFolder())->path();
  const std::string good = testing::ReadFileText(file);
  testing::WriteFileText(file, good.substr(0, good.size() - 1));  // Length says more.
  EXPECT_EQ(Read(kKey, "A"), "<absent>");
  ASSERT_TRUE(WriteStoreValue(kKey, "B", "2"));
  EXPECT_EQ(Read(kKey, "B"), "2");
  EXPECT_EQ(Read(kKey, "A"), "<absent>");
}

TEST(ConfigFolderTest, ComesFromAbsoluteXdgConfigHomeElseHome) {
  EnvGuard home("HOME", "/home/ana/");
  EnvGuard xdg("XDG_CONFIG_HOME", "/srv/config/");
  EXPECT_EQ(platform::LocalConfigFolder(), "/srv/config");
  EnvGuard relative("XDG_CONFIG_HOME", "relative");  // Would follow the working folder.
  EXPECT_EQ(platform::LocalConfigFolder(), "/home/ana/.config");
}

}  // namespace
}  // namespace calendar_mirrow_addin
