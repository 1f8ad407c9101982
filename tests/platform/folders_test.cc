#include "platform/folders.h"

#include <gtest/gtest.h>

#include "base/app_folders.h"
#include "tests/platform/env_guard.h"

namespace calendar_mirrow_addin {
namespace {

using testing::EnvGuard;

TEST(FoldersTest, DataHomeComesFromXdgThenHome) {
  {
    EnvGuard xdg("XDG_DATA_HOME", "/srv/data/");
    EXPECT_EQ(platform::LocalAppDataFolder(), "/srv/data");
    EXPECT_EQ(ApplicationDataFolder(), L"/srv/data/Nexora/Tidewell/");
  }
  EnvGuard home("HOME", "/home/ana");
  {
    EnvGuard xdg("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(platform::LocalAppDataFolder(), "/home/ana/.local/share");
  }
  // A relative XDG value is invalid and ignored.
  EnvGuard relative("XDG_DATA_HOME", "relative/path");
  EXPECT_EQ(platform::LocalAppDataFolder(), "/home/ana/.local/share");
}

}  // namespace
}  // namespace calendar_mirrow_addin
