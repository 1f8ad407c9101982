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

class LoggerTest : public ::testing::Test {
 protected:
  Logger MakeLogger(int32_t threshold) { return Logger(threshold, dir_.wpath(), L"run.log"); }
  std::string Written() const { return ReadFileText(dir_.path() / "run.log"); }

  TempDir dir_;
};

TEST_F(LoggerTest, WritesWhatReachesTheThresholdIndentedByTheBlocksAroundIt) {
  const std::pair<int32_t, const char*> cases[] = {
      {Logger::VERBOSE,
       "A {\n  B {\n    detail\n    caf\xC3\xA9 \xE2\x82\xAC\n    SEVERE: first\n    second\n"
       "  } //B\n} //A\n"},
      // Blocks below the threshold leave no trace and do not indent.
      {Logger::INFO, "B {\n  caf\xC3\xA9 \xE2\x82\xAC\n  SEVERE: first\n  second\n} //B\n"},
      {Logger::SEVERE, "SEVERE: first\nsecond\n"},
      {Logger::NONE, ""}};  // nothing at all, a line logged at level NONE included
  for (const auto& [threshold, expected] : cases) {
    fs::remove(dir_.path() / "run.log");
    Logger logger = MakeLogger(threshold);
    {
      Logger::Block a(&logger, L"A");
      Logger::Block b(&logger, L"B", Logger::INFO);
      logger.Log(Logger::VERBOSE, L"detail");
      logger.Log(L"caf\u00E9 \u20AC");
      logger.Log(Logger::SEVERE, L"first\nsecond");
      if (threshold == Logger::NONE) logger.Log(Logger::NONE, L"none");
    }
    EXPECT_EQ(Written(), expected) << threshold;
  }
  Logger logger(Logger::VERBOSE, dir_.wpath() + L"/missing/folder", L"run.log");
  Logger::Block block(&logger, L"Block");
  logger.Log(Logger::SEVERE, L"dropped silently");
  EXPECT_FALSE(fs::exists(dir_.path() / "missing"));
}

TEST_F(LoggerTest, LevelFileRules) {
  struct Case {
    const char* dot_level;  // null: no ".level" file
    const char* level_txt;  // null: no "level.txt" file
    int32_t expected;
  } cases[] = {
      {"SEVERE", nullptr, Logger::SEVERE},
      {nullptr, "VERBOSE", Logger::VERBOSE},
      {"NONE", "VERBOSE", Logger::NONE},  // ".level" wins when both exist.
      {"  INFO PROGRESS\nVERBOSE", nullptr, Logger::INFO},
      {"info", nullptr, Logger::PROGRESS},  // Case matters: unchanged.
      {"", nullptr, Logger::PROGRESS},
      {nullptr, nullptr, Logger::PROGRESS},
  };
  for (const auto& c : cases) {
    fs::remove(dir_.path() / ".level");
    fs::remove(dir_.path() / "level.txt");
    if (c.dot_level) WriteFileText(dir_.path() / ".level", c.dot_level);
    if (c.level_txt) WriteFileText(dir_.path() / "level.txt", c.level_txt);
    Logger logger = MakeLogger(Logger::PROGRESS);
    logger.LoadLevel();
    EXPECT_EQ(logger.threshold(), c.expected) << (c.dot_level ? c.dot_level : "-");
  }
  // The word read is logged at VERBOSE, under the new threshold.
  fs::remove(dir_.path() / "run.log");
  WriteFileText(dir_.path() / ".level", "VERBOSE");
  Logger logger = MakeLogger(Logger::INFO);
  logger.LoadLevel();
  WriteFileText(dir_.path() / ".level", "bogus");
  logger.LoadLevel();
  EXPECT_EQ(Written(), "VERBOSE\nbogus\n");
}

TEST_F(LoggerTest, GlobalLoggerMayBeAbsent) {
  auto previous = SetLogger(nullptr);
  LogInfo(L"nowhere");
  { LogBlock block(L"Nothing"); }
  SetLogger(std::make_unique<Logger>(Logger::VERBOSE, dir_.wpath(), L"run.log"));
  {
    LogBlock block(L"Global");
    LogSevere(L"bad");
  }
  SetLogger(std::move(previous));
  EXPECT_EQ(Written(), "Global {\n  SEVERE: bad\n} //Global\n");
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
  PruneLogFiles(dir.wpath());
  EXPECT_FALSE(fs::exists(dir.path() / name(1)));
  for (int i = 2; i <= 31; ++i) EXPECT_TRUE(fs::exists(dir.path() / name(i)));
  EXPECT_TRUE(fs::exists(dir.path() / "000notes.txt"));
  PruneLogFiles(dir.wpath());  // Thirty left: nothing more goes.
  EXPECT_TRUE(fs::exists(dir.path() / name(2)));
}

TEST(LogFilesTest, LoadLoggerMakesItsFolderAndFileForTheUserAlone) {
  TempDir dir;
  const mode_t umask_before = umask(0);  // the modes must not depend on the umask
  fs::create_directories(dir.path() / "old/Nexora/Tidewell/logs");
  fs::permissions(dir.path() / "old/Nexora/Tidewell/logs", fs::perms::all);
  for (const char* base : {"/new", "/old"}) {
    auto logger = CreateLoadLogger(dir.wpath() + Utf8ToWide(base) + L"/Nexora/Tidewell/");
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->threshold(), Logger::INFO);
    EXPECT_EQ(logger->log_folder(), dir.wpath() + Utf8ToWide(base) + L"/Nexora/Tidewell/logs");
    EXPECT_EQ(logger->file_name().size(), std::wstring(L"20261205T210032Z.log").size());
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
