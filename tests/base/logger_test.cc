#include "base/logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "base/app_folders.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

TEST(LoggerTest, WritesWhatReachesTheThresholdIndentedByTheBlocksAroundIt) {
  TempDir dir;
  const std::pair<int32_t, const char*> cases[] = {
      {Logger::VERBOSE,
       "A {\n  B {\n    detail\n    caf\xC3\xA9 \xE2\x82\xAC\n    SEVERE: first\n    second\n"
       "  } //B\n} //A\n"},
      // Blocks below the threshold leave no trace and do not indent.
      {Logger::INFO, "B {\n  caf\xC3\xA9 \xE2\x82\xAC\n  SEVERE: first\n  second\n} //B\n"},
      {Logger::SEVERE, "SEVERE: first\nsecond\n"},
      {Logger::NONE, ""}};  // nothing at all, a line logged at level NONE included
  for (const auto& [threshold, expected] : cases) {
    Logger logger(threshold, dir.wpath(), std::to_wstring(threshold));
    {
      Logger::Block a(&logger, L"A");
      Logger::Block b(&logger, L"B", Logger::INFO);
      logger.Log(Logger::VERBOSE, L"detail");
      logger.Log(L"caf\u00E9 \u20AC");
      logger.Log(Logger::SEVERE, L"first\nsecond");
      if (threshold == Logger::NONE) logger.Log(Logger::NONE, L"none");
    }
    EXPECT_EQ(ReadFileText(dir.path() / std::to_string(threshold)), expected) << threshold;
  }
  // Without a logger, or with its folder missing, lines go nowhere and nothing is created.
  auto previous = SetLogger(nullptr);
  for (bool folder_missing : {false, true}) {
    if (folder_missing) SetLogger(std::make_unique<Logger>(0, dir.wpath() + L"/missing", L"x"));
    LogBlock block(L"Block");
    LogSevere(L"dropped silently");
  }
  SetLogger(std::move(previous));
  EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

TEST(LoggerTest, LevelFileRules) {
  TempDir dir;
  const std::string overlong(200, 'V');  // read no further than the word buffer holds
  const struct {
    const char* dot_level;  // null: no ".level" file
    const char* level_txt;  // null: no "level.txt" file
    int32_t expected;
  } cases[] = {
      {"  INFO PROGRESS\nVERBOSE", nullptr, Logger::INFO},
      {nullptr, "SEVERE", Logger::SEVERE},
      {"NONE", "VERBOSE", Logger::NONE},    // ".level" wins when both exist.
      {"info", nullptr, Logger::PROGRESS},  // Case matters: unchanged.
      {overlong.c_str(), nullptr, Logger::PROGRESS},
      {nullptr, nullptr, Logger::PROGRESS},
  };
  for (const auto& c : cases) {
    fs::remove(dir.path() / ".level");
    fs::remove(dir.path() / "level.txt");
    if (c.dot_level) WriteFileText(dir.path() / ".level", c.dot_level);
    if (c.level_txt) WriteFileText(dir.path() / "level.txt", c.level_txt);
    Logger logger(Logger::PROGRESS, dir.wpath(), L"run.log");
    logger.LoadLevel();
    EXPECT_EQ(logger.threshold(), c.expected) << (c.dot_level ? c.dot_level : "-");
  }
}

TEST(LogFilesTest, NameIsTheUtcTimeStampWhateverTheFields) {
  EXPECT_EQ(LogFileName({2026, 12, 6, 5, 21, 0, 32, 999}), L"20261205T210032Z.log");
  EXPECT_EQ(LogFileName({65535, 65535, 0, 65535, 65535, 65535, 65535, 0}),
            L"655356553565535T655356553565535Z.log");
}

TEST(LogFilesTest, PruningKeepsTheThirtyNewest) {
  TempDir dir;
  auto name = [](int i) { return "2026" + std::to_string(100 + i).substr(1) + "01T000000Z.log"; };
  for (int i = 1; i <= 31; ++i) WriteFileText(dir.path() / name(i), "x");
  WriteFileText(dir.path() / "000notes.txt", "kept");
  for (int run = 0; run < 2; ++run) {  // Thirty left: the second run removes nothing.
    PruneLogFiles(dir.wpath());
    for (int i = 1; i <= 31; ++i) EXPECT_EQ(fs::exists(dir.path() / name(i)), i > 1) << i;
    EXPECT_TRUE(fs::exists(dir.path() / "000notes.txt"));
  }
}

TEST(LogFilesTest, LoadLoggerMakesItsFolderAndFileForTheUserAlone) {
  TempDir dir;
  const mode_t umask_before = umask(0);  // the modes must not depend on the umask
  fs::create_directories(dir.path() / "old/Nexora/Tidewell/logs");
  fs::permissions(dir.path() / "old/Nexora/Tidewell/logs", fs::perms::all);
  for (const std::wstring base : {L"/new", L"/old"}) {
    auto logger = CreateLoadLogger(dir.wpath() + base + L"/Nexora/Tidewell/");
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->threshold(), Logger::INFO);
    EXPECT_EQ(logger->log_folder(), dir.wpath() + base + L"/Nexora/Tidewell/logs");
    logger->Log(L"hello");
    EXPECT_EQ(ReadFileText(WideToUtf8(logger->FilePath())), "hello\n");
    EXPECT_EQ(fs::status(WideToUtf8(logger->log_folder())).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(WideToUtf8(logger->FilePath())).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
  }
  umask(umask_before);
}

}  // namespace
}  // namespace calendar_mirrow_addin
