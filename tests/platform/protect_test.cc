// Data protection for the current user and its key file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/protect.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using platform::ProtectData;
using platform::UnprotectData;
using testing::EnvGuard;
using testing::ReadFileText;

class ProtectTest : public ::testing::Test {
 protected:
  std::string Protect(std::string_view plain, const std::wstring& description = L"desc") {
    std::string blob;
    EXPECT_TRUE(ProtectData(plain, description, &blob));
    return blob;
  }

  testing::TempDir home_;
  testing::EnvGuard config_{"XDG_CONFIG_HOME", home_.path().c_str()};
  std::string plain_;
};

TEST_F(ProtectTest, RoundTripsAnyBytesWithAFreshNonceAndFailsOnAnyChange) {
  // Concurrent first uses agree on one key, and any bytes round-trip.
  std::string blobs[8];
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&blobs, i, this] { blobs[i] = Protect("x"); });
  }
  for (const std::string& each : blobs) EXPECT_TRUE(UnprotectData(each, &plain_));
  for (const std::string& plain :
       {std::string(), std::string("a\0\xff\n", 4), std::string(1e5, 'x')}) {
    std::string back = "stale";
    ASSERT_TRUE(UnprotectData(Protect(plain, L"User options \u00e9"), &back));
    EXPECT_EQ(back, plain);
  }
  EXPECT_EQ(Protect(std::string(1000, 'x')).find(std::string(32, 'x')), std::string::npos);
  EXPECT_NE(Protect("same"), Protect("same"));
  // Layout: magic 0-3, version 4, length 5-8, "desc" 9-12, nonce 13-24, data, tag (last 16).
  const std::string blob = Protect("user=4A00\n");
  ASSERT_EQ(blob.size(), 13u + 12 + 10 + 16);
  std::vector<std::string> bad = {blob + '\0', blob.substr(0, 50), blob.substr(0, 40), ""};
  for (size_t at : {0, 4, 5, 10, 15, 30, 50}) {
    bad.push_back(blob);
    bad.back()[at] ^= 0x01;
  }
  for (const std::string& altered : bad) {
    std::string plain = "untouched";
    EXPECT_FALSE(UnprotectData(altered, &plain)) << altered.size();
    EXPECT_EQ(plain, "untouched");
  }
}

TEST_F(ProtectTest, KeyFileIsCreatedOnceOwnerOnlyAndNeverReplacedOrTrustedWhenExposed) {
  const fs::path key_file = home_.path() / "Nexora" / "Tidewell" / "protect.key";
  const std::string blob = Protect("secret");
  EXPECT_EQ(fs::status(key_file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const std::string key = ReadFileText(key_file);
  EXPECT_EQ(key.size(), 32u);
  Protect("again");
  EXPECT_EQ(ReadFileText(key_file), key);
  EXPECT_EQ(std::distance(fs::directory_iterator(key_file.parent_path()), {}), 1);

  // A key others could have planted or read is refused, naming the file; a damaged key is
  // never replaced; a well-formed other key (another user's) reads nothing.
  struct Case {
    std::string content;
    mode_t mode;
    uid_t owner;          // added to this user's id
    const char* problem;  // null: the key is used
  } cases[] = {{key, 0644, 0, "is open to other users"},
               {key, 0620, 0, "is open to other users"},
               {key, 0600, 4242, "belongs to another user"},
               {"short", 0600, 0, "is damaged"},
               {std::string(33, 'k'), 0600, 0, "is damaged"},
               {std::string(32, 'k'), 0600, 0, nullptr},
               {key, 0600, 0, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem ? c.problem : "usable");
    testing::WriteFileText(key_file, c.content);
    ASSERT_EQ(0, chmod(key_file.c_str(), c.mode));
    ASSERT_EQ(0, chown(key_file.c_str(), geteuid() + c.owner, getegid()));
    std::string plain, again, problem;
    EXPECT_EQ(UnprotectData(blob, &plain, &problem), c.content == key && !c.problem);
    EXPECT_EQ(ProtectData("x", L"d", &again, &problem), !c.problem);
    EXPECT_EQ(problem, c.problem ? "the key file " + key_file.string() + " " + c.problem : "");
    EXPECT_EQ(ReadFileText(key_file), c.content);
    ASSERT_EQ(0, chown(key_file.c_str(), geteuid(), getegid()));
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
