#include "platform/protect.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
using testing::EnvGuard;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

class ProtectTest : public ::testing::Test {
 protected:
  fs::path KeyFile() const { return home_.path() / "Nexora" / "Tidewell" / "protect.key"; }

  std::string Protect(std::string_view plain, const std::wstring& description = L"test") {
    std::string blob;
    EXPECT_TRUE(ProtectData(plain, description, &blob));
    return blob;
  }

  TempDir home_;
  EnvGuard config_{"XDG_CONFIG_HOME", home_.path().c_str()};
};

TEST_F(ProtectTest, RoundTripsAnyBytesWithAFreshNonceEachTime) {
  const std::string samples[] = {"", std::string("a\0b\xff\n", 5), std::string(100000, 'x')};
  for (const std::string& plain : samples) {
    const std::string blob = Protect(plain);
    std::string back = "stale";
    ASSERT_TRUE(UnprotectData(blob, &back));
    EXPECT_EQ(back, plain);
  }
  EXPECT_EQ(Protect(std::string(1000, 'x')).find(std::string(32, 'x')), std::string::npos);
  EXPECT_NE(Protect("same"), Protect("same"));
}

TEST_F(ProtectTest, DescriptionIsNotNeededToReadButCannotBeSwapped) {
  const std::string blob = Protect("secret", L"User options \u00e9");
  std::string plain;
  ASSERT_TRUE(UnprotectData(blob, &plain));
  EXPECT_EQ(plain, "secret");
  // Same length, different text: the description is authenticated with the data.
  std::string swapped = blob;
  const size_t at = swapped.find("User options");
  ASSERT_NE(at, std::string::npos);
  swapped[at] = 'X';
  EXPECT_FALSE(UnprotectData(swapped, &plain));
}

TEST_F(ProtectTest, AnyAlteredTruncatedOrExtendedBlobFails) {
  const std::string blob = Protect("user=4A00\n", L"d");
  for (size_t i = 0; i < blob.size(); ++i) {
    std::string altered = blob;
    altered[i] = static_cast<char>(altered[i] ^ 0x01);
    std::string plain = "untouched";
    EXPECT_FALSE(UnprotectData(altered, &plain)) << "byte " << i;
    EXPECT_EQ(plain, "untouched");
  }
  for (size_t size = 0; size < blob.size(); ++size) {
    std::string plain;
    EXPECT_FALSE(UnprotectData(blob.substr(0, size), &plain)) << "size " << size;
  }
  std::string plain;
  EXPECT_FALSE(UnprotectData(blob + '\0', &plain));
}

TEST_F(ProtectTest, KeyFileIsCreatedOnceOwnerOnlyAndOtherKeysFail) {
  const std::string blob = Protect("secret");
  struct stat info {};
  ASSERT_EQ(stat(KeyFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_size, 32);
  const std::string key = ReadFileText(KeyFile());
  Protect("again");
  EXPECT_EQ(ReadFileText(KeyFile()), key);
  // No temporary files are left beside the key.
  EXPECT_EQ(std::distance(fs::directory_iterator(KeyFile().parent_path()), {}), 1);

  TempDir other;
  EnvGuard other_user("XDG_CONFIG_HOME", other.path().c_str());
  std::string plain;
  EXPECT_FALSE(UnprotectData(blob, &plain));  // Another user's key.
}

TEST_F(ProtectTest, DamagedKeyFileIsNeverReplaced) {
  fs::create_directories(KeyFile().parent_path());
  WriteFileText(KeyFile(), "short");
  std::string blob;
  EXPECT_FALSE(ProtectData("x", L"d", &blob));
  EXPECT_EQ(ReadFileText(KeyFile()), "short");
}

TEST_F(ProtectTest, ConcurrentFirstUsesAgreeOnOneKey) {
  constexpr int kThreads = 8;
  std::vector<std::string> blobs(kThreads);
  std::vector<char> ok(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { ok[i] = ProtectData(std::to_string(i), L"d", &blobs[i]); });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    std::string plain;
    ASSERT_TRUE(ok[i]);
    ASSERT_TRUE(UnprotectData(blobs[i], &plain)) << i;
    EXPECT_EQ(plain, std::to_string(i));
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
