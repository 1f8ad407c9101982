// Atomic replacement of files that two processes write.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;

// The tray application and the add-in both replace the same protected files. Whatever the
// interleaving, a reader meets one writer's whole file, never a mixture or a part, and no
// writer fails because of the other.
TEST(ReplaceFileAtomicallyTest, RacingWritersPublishOnlyWholeFiles) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "user_properties.txt").string();
  const std::string contents[] = {std::string(200000, 'a'), std::string(150000, 'b')};
  ASSERT_TRUE(platform::ReplaceFileAtomically(path, contents[0], nullptr));
  std::atomic<int> failures = 0, running = 2, torn = 0;
  {
    std::vector<std::jthread> writers;
    for (const std::string& content : contents) {
      writers.emplace_back([&] {
        for (int i = 0; i < 100; ++i) {
          failures += !platform::ReplaceFileAtomically(path, content, nullptr);
        }
        --running;
      });
    }
    while (running > 0) {
      const std::string seen = ReadFileText(path);
      torn += seen != contents[0] && seen != contents[1];
    }
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);  // no temporary left
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace calendar_mirrow_addin
