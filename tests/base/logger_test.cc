#include "base/logger.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/app_folders.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

class LoggerTest : public ::testing::Test {
 protected:
  Logger MakeLogger(int32_t threshold) { return Logger(threshold, dir_.wpath(), L"run.log"); }
  std::string Written() const { return ReadFileText(dir_.path() / "run.log"); }

  TempDir dir_;
};

TEST_F(LoggerTest, NestedBlocksIndentByTwoSpaces) {
  Logger logger = MakeLogger(Logger::VERBOSE);
  {
    Logger::Block a(&logger, L"A");
    Logger::Block b(&logger, L"B");
    logger.Log(L"text");
  }
  EXPECT_EQ(Written(), "A {\n  B {\n    text\n  } //B\n} //A\n");
}

TEST_F(LoggerTest, BlocksBelowTheThresholdLeaveNoTrace) {
  Logger logger = MakeLogger(Logger::INFO);
  {
    Logger::Block block(&logger, L"Quiet");
    logger.Log(L"first");
    logger.Log(Logger::VERBOSE, L"hidden");
    logger.Log(Logger::PROGRESS, L"also hidden");
    logger.Log(L"second");
  }
  logger.Log(L"after");
  EXPECT_EQ(Written(), "first\nsecond\nafter\n");
}

TEST_F(LoggerTest, ThresholdNoneWritesNothing) {
  Logger logger = MakeLogger(Logger::NONE);
  {
    Logger::Block block(&logger, L"Block", Logger::SEVERE);
    logger.Log(Logger::SEVERE, L"failure");
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "run.log"));
}

TEST_F(LoggerTest, SevereLinesArePrefixedAndContinuationLinesIndented) {
  Logger logger = MakeLogger(Logger::VERBOSE);
  {
    Logger::Block block(&logger, L"Outer");
    logger.Log(Logger::SEVERE, L"first line\nsecond line");
  }
  EXPECT_EQ(Written(), "Outer {\n  SEVERE: first line\n  second line\n} //Outer\n");
}

TEST_F(LoggerTest, TextIsWrittenAsUtf8) {
  Logger logger = MakeLogger(Logger::INFO);
  logger.Log(L"caf\u00E9 \u20AC");
  EXPECT_EQ(Written(), "caf\xC3\xA9 \xE2\x82\xAC\n");
}

TEST_F(LoggerTest, UnwritableFolderIsSilentlyIgnored) {
  Logger logger(Logger::VERBOSE, dir_.wpath() + L"/missing/folder", L"run.log");
  Logger::Block block(&logger, L"Block");
  logger.Log(Logger::SEVERE, L"dropped");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "missing"));
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
    std::filesystem::remove(dir_.path() / ".level");
    std::filesystem::remove(dir_.path() / "level.txt");
    if (c.dot_level) WriteFileText(dir_.path() / ".level", c.dot_level);
    if (c.level_txt) WriteFileText(dir_.path() / "level.txt", c.level_txt);
    Logger logger = MakeLogger(Logger::PROGRESS);
    logger.LoadLevel();
    EXPECT_EQ(logger.threshold(), c.expected) << (c.dot_level ? c.dot_level : "-");
  }
}

TEST_F(LoggerTest, LevelWordIsLoggedAtVerboseUnderTheNewThreshold) {
  WriteFileText(dir_.path() / ".level", "VERBOSE");
  Logger logger = MakeLogger(Logger::INFO);
  logger.LoadLevel();
  WriteFileText(dir_.path() / ".level", "bogus");
  logger.LoadLevel();
  EXPECT_EQ(Written(), "VERBOSE\nbogus\n");
  EXPECT_EQ(logger.threshold(), Logger::VERBOSE);
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

TEST(LogFilesTest, NameIsTheUtcTimeStamp) {
  SystemTime t{2026, 12, 6, 5, 21, 0, 32, 999};
  EXPECT_EQ(LogFileName(t), L"20261205T210032Z.log");
}

TEST(LogFilesTest, PruningKeepsTheThirtyNewest) {
  TempDir dir;
  auto name = [](int i) {
    char text[32];
    std::snprintf(text, sizeof text, "2026%02d01T000000Z.log", i);
    return std::string(text);
  };
  for (int i = 1; i <= 31; ++i) WriteFileText(dir.path() / name(i), "x");
  WriteFileText(dir.path() / "000notes.txt", "kept");
  PruneLogFiles(dir.wpath());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / name(1)));
  for (int i = 2; i <= 31; ++i) EXPECT_TRUE(std::filesystem::exists(dir.path() / name(i)));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "000notes.txt"));
  PruneLogFiles(dir.wpath());  // Thirty left: nothing more goes.
  EXPECT_TRUE(std::filesystem::exists(dir.path() / name(2)));
}

TEST(LogFilesTest, LoadLoggerCreatesItsFolderAndWritesOnFirstEntry) {
  TempDir dir;
  const std::wstring app_data = dir.wpath() + L"/Nexora/Tidewell/";
  auto logger = CreateLoadLogger(app_data);
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(logger->threshold(), Logger::INFO);
  EXPECT_EQ(logger->log_folder(), dir.wpath() + L"/Nexora/Tidewell/logs");
  EXPECT_EQ(logger->file_name().size(), std::wstring(L"20261205T210032Z.log").size());
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Nexora/Tidewell/logs"));
  logger->Log(L"hello");
  EXPECT_EQ(ReadFileText(WideToUtf8(logger->FilePath())), "hello\n");
}

}  // namespace
}  // namespace calendar_mirrow_addin
