#include "sync/sync_data.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <string>

#include "base/text.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

const std::string kT1 = "2008-03-07T09:05:00.000Z";
const std::string kT2 = "2008-03-07T10:15:30.250Z";
const std::string kT3 = "2009-11-30T23:59:59.999Z";

SyncRecord Times(const std::string& left, const std::string& right) {
  return SyncRecord{*ParseIso(Utf8ToWide(left)), *ParseIso(Utf8ToWide(right))};
}

// The map as comparable text, milliseconds included.
std::map<std::wstring, std::string> Contents(const SyncData& data) {
  std::map<std::wstring, std::string> out;
  for (const auto& [uid, record] : data.records()) {
    out[uid] = WideToUtf8(FormatIso(record.left_updated) + L" " + FormatIso(record.right_updated));
  }
  return out;
}

class SyncDataTest : public ::testing::Test {
 protected:
  SyncData Loaded() const {
    SyncData data(Utf8ToWide(data_path_.string()));
    data.Load();
    return data;
  }

  TempDir dir_;
  std::filesystem::path data_path_ = dir_.path() / "pair.sync";
  std::filesystem::path log_path_ = dir_.path() / "pair.sync.LOG";
};

TEST_F(SyncDataTest, AwkwardUidsSurviveTheLogAndTheFile) {
  // Blanks, characters 128-255 and beyond, the escape byte first and inside, line ends.
  const wchar_t* const kUids[] = {
      L"plain@example.com", L" blank  inside ", L"caf\u00e9-\u00ff\u00a0", L"\u20ac-\U0001F600",
      L"\033esc",           L"a\033",           L"line\nbreak\r\nend\r"};
  SyncData data = Loaded();
  EXPECT_TRUE(data.records().empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path())) << "loading nothing writes nothing";
  for (const wchar_t* uid : kUids) data.Record(uid, Times(kT1, kT2));
  data.Record(L"later", Times(kT3, kT1));
  data.Remove(L"plain@example.com");
  EXPECT_EQ(Contents(data).size(), 7u);
  // Interrupted before the save: the log alone brings everything back, and is consolidated.
  EXPECT_FALSE(std::filesystem::exists(data_path_));
  EXPECT_EQ(Contents(Loaded()), Contents(data));
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  EXPECT_EQ(Contents(Loaded()), Contents(data));
  ASSERT_TRUE(data.Save());
  EXPECT_EQ(Contents(Loaded()), Contents(data));
}

TEST_F(SyncDataTest, WritesExactFileBytesAndLogLines) {
  SyncData data = Loaded();
  data.Record(L"b b", Times(kT2, kT3));
  data.Record(L"a\u00e9", Times(kT1, kT2));
  data.Record(L"\u20ac\r\n", Times(kT1, kT1));
  ASSERT_TRUE(data.Save());
  // One CR LF line per record in map order; a UID beyond 255 or with a line end is escaped.
  EXPECT_EQ(ReadFileText(data_path_), "a\xE9 " + kT1 + " " + kT2 + "\r\nb b " + kT2 + " " + kT3 +
                                          "\r\n\x1B\xE2\x82\xAC\xFE\xFF " + kT1 + " " + kT1 +
                                          "\r\n");
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  data.Record(L"x y", Times(kT1, kT2));
  data.Record(L"x y", Times(kT2, kT3));
  data.Remove(L"x y");
  data.Remove(L"never there");
  EXPECT_EQ(ReadFileText(log_path_), "UPDATE x y " + kT1 + " " + kT2 + "\r\nUPDATE x y " + kT2 +
                                         " " + kT3 + "\r\nDELETE x y\r\nDELETE never there\r\n");
}

TEST_F(SyncDataTest, MalformedLinesAreDroppedAndLeaveTheNextSave) {
  const std::string good = "keep me " + kT1 + " " + kT2;
  WriteFileText(data_path_, "short " + kT1 + "\r\n" +                               //
                                "no-millis 2008-03-07T09:05:00Z " + kT2 + "\r\n" +  //
                                "bad-right " + kT1 + " 2008-13-07T09:05:00.000Z\r\n" + good +
                                "\n" +                       // a plain LF line end is read too
                                "last " + kT2 + " " + kT3);  // no line end at all
  SyncData data = Loaded();
  EXPECT_EQ(Contents(data), (std::map<std::wstring, std::string>{{L"keep me", kT1 + " " + kT2},
                                                                 {L"last", kT2 + " " + kT3}}));
  ASSERT_TRUE(data.Save());
  EXPECT_EQ(ReadFileText(data_path_), good + "\r\nlast " + kT2 + " " + kT3 + "\r\n");
}

TEST_F(SyncDataTest, LeftoverLogIsReplayedInOrderAndConsolidated) {
  WriteFileText(data_path_, "y " + kT1 + " " + kT1 + "\r\n");
  WriteFileText(log_path_, "UPDATE x " + kT1 + " " + kT1 + "\r\nDELETE x\r\n" +  //
                               "update y " + kT3 + " " + kT3 + "\r\nUPDATE\r\nNOISE x\r\n" +
                               "UPDATE x " + kT2 + " " + kT3 + "\r\n");
  EXPECT_EQ(Contents(Loaded()), (std::map<std::wstring, std::string>{{L"x", kT2 + " " + kT3},
                                                                     {L"y", kT1 + " " + kT1}}));
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  EXPECT_EQ(ReadFileText(data_path_), "x " + kT2 + " " + kT3 + "\r\ny " + kT1 + " " + kT1 + "\r\n");

  // A log of deletions only changes nothing in the map, and is consolidated all the same.
  WriteFileText(log_path_, "DELETE absent\r\nDELETE other\r\n");
  EXPECT_EQ(Loaded().records().size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(log_path_));
}

TEST_F(SyncDataTest, FailedSaveKeepsTheOldFileAndTheLog) {
  const std::string old = "old " + kT1 + " " + kT1 + "\r\n";
  WriteFileText(data_path_, old);
  SyncData data = Loaded();
  data.Record(L"new", Times(kT2, kT3));
  {
    CapturedLog log;
    // The new file cannot be written whole: files may not grow past 64 bytes (enough for
    // the start of the log line).
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit before = limit;
    limit.rlim_cur = 64;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_FALSE(data.Save());
    setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_TRUE(log.Contains("SEVERE: SyncData::SaveSyncData -> "));
  }
  EXPECT_EQ(ReadFileText(data_path_), old);
  EXPECT_TRUE(std::filesystem::exists(log_path_));
  // The next run still gets the change from the log; the failed save left no temporary.
  EXPECT_EQ(Contents(Loaded()), Contents(data));
  EXPECT_EQ(ReadFileText(data_path_), "new " + kT2 + " " + kT3 + "\r\n" + old);
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  for (const auto& entry : std::filesystem::directory_iterator(data_path_.parent_path())) {
    EXPECT_EQ(entry.path().string().find(data_path_.string() + ".tmp"), std::string::npos);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
