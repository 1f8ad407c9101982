#include "platform/protect.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using platform::ProtectData;
using platform::UnprotectData;
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
};

TEST_F(ProtectTest, RoundTripsAnyBytesWithAFreshNonceAndNoDescriptionNeeded) {
  for (const std::string& plain :
       {std::string(), std::string("a\0\xff\n", 4), std::string(1e5, 'x')}) {
    std::string back = "stale";
    ASSERT_TRUE(UnprotectData(Protect(plain, L"User options \u00e9"), &back));
    EXPECT_EQ(back, plain);
  }
  EXPECT_EQ(Protect(std::string(1000, 'x')).find(std::string(32, 'x')), std::string::npos);
  EXPECT_NE(Protect("same"), Protect("same"));
}

TEST_F(ProtectTest, AlteredTruncatedOrExtendedBlobsFail) {
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

TEST_F(ProtectTest, KeyFileIsCreatedOnceOwnerOnlyAndNeverReplaced) {
  const fs::path key_file = home_.path() / "Nexora" / "Tidewell" / "protect.key";
  const std::string blob = Protect("secret");
  EXPECT_EQ(fs::status(key_file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const std::string key = ReadFileText(key_file);
  EXPECT_EQ(key.size(), 32u);
  Protect("again");
  EXPECT_EQ(ReadFileText(key_file), key);
  EXPECT_EQ(std::distance(fs::directory_iterator(key_file.parent_path()), {}), 1);

  // A damaged key is never replaced; a well-formed other key (another user's) reads nothing.
  for (const std::string& other :
       {std::string("short"), std::string(33, 'k'), std::string(32, 'k')}) {
    testing::WriteFileText(key_file, other);
    std::string plain, again;
    EXPECT_FALSE(UnprotectData(blob, &plain));
    EXPECT_EQ(ProtectData("x", L"d", &again), other.size() == 32);
    EXPECT_EQ(ReadFileText(key_file), other);
  }
}

TEST_F(ProtectTest, ConcurrentFirstUsesAgreeOnOneKey) {
  std::string blobs[8];
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 8; ++i)
      threads.emplace_back(ProtectData, std::to_string(i), L"d", &blobs[i]);
  }
  for (int i = 0; i < 8; ++i) {
    std::string plain;
    EXPECT_TRUE(UnprotectData(blobs[i], &plain) && plain == std::to_string(i)) << i;
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
