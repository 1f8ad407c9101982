// The sync-data file and its recovery log.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "base/text.h"
#include "sync/sync_data.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

using Contents = std::map<std::wstring, std::string>;

const std::string kT1 = "2008-03-07T09:05:00.000Z";
const std::string kT2 = "2008-03-07T10:15:30.250Z";
const std::string kT3 = "2009-11-30T23:59:59.999Z";
const std::string k11 = kT1 + " " + kT1;
const std::string k23 = kT2 + " " + kT3;

SyncRecord Times(const std::string& left, const std::string& right) {
  return SyncRecord{*ParseIso(Utf8ToWide(left)), *ParseIso(Utf8ToWide(right))};
}

// The map as comparable text, milliseconds included.
Contents Of(const SyncData& data) {
  Contents out;
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

TEST_F(SyncDataTest, WritesExactFileBytesAndLogLinesThatAwkwardUidsSurvive) {
  SyncData data = Loaded();
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path())) << "loading nothing writes nothing";
  data.Record(L"b b", Times(kT2, kT3));
  data.Record(L"a\u00e9", Times(kT1, kT2));
  data.Record(L"\u20ac\r\n", Times(kT1, kT1));
  ASSERT_TRUE(data.Save());
  // One CR LF line per record in map order; a UID beyond 255 or with a line end is escaped.
  EXPECT_EQ(ReadFileText(data_path_), "a\xE9 " + kT1 + " " + kT2 + "\r\nb b " + k23 +
                                          "\r\n\x1B\xE2\x82\xAC\xFE\xFF " + k11 + "\r\n");
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  data.Record(L"x y", Times(kT1, kT1));
  data.Record(L"x y", Times(kT2, kT3));
  data.Remove(L"x y");
  data.Remove(L"never there");
  EXPECT_EQ(ReadFileText(log_path_), "UPDATE x y " + k11 + "\r\nUPDATE x y " + k23 +
                                         "\r\nDELETE x y\r\nDELETE never there\r\n");
  // Blanks, characters 128-255 and beyond, the escape byte first and inside, line ends:
  // interrupted before the save, the log alone brings them back, and is consolidated.
  for (const wchar_t* uid : {L" blank  inside ", L"caf\u00e9-\u00ff\u00a0", L"\u20ac-\U0001F600",
                             L"\033esc", L"a\033", L"line\nbreak\r\nend\r"}) {
    data.Record(uid, Times(kT3, kT1));
  }
  EXPECT_EQ(Of(Loaded()), Of(data));
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  EXPECT_EQ(Of(Loaded()), Of(data));
  EXPECT_EQ(Of(data).size(), 9u);
}

TEST_F(SyncDataTest, LoadReadsTheFileThenReplaysWholeLogLines) {
  const struct {
    std::string file, log;  // an empty log: none
    Contents expected;
  } kCases[] = {
      // Malformed data lines are dropped; an LF line end and a last line without one are
      // read (the data file is only ever replaced whole).
      {"short " + kT1 + "\r\nno-millis 2008-03-07T09:05:00Z " + kT2 + "\r\nbad " + kT1 +
           " 2008-13-07T09:05:00.000Z\r\nkeep me " + k11 + "\nlast " + k23,
       "",
       {{L"keep me", k11}, {L"last", k23}}},
      // In order, later lines winning; other keywords (case counts) and short lines skipped.
      {"y " + k11 + "\r\n",
       "UPDATE x " + k11 + "\r\nDELETE x\r\nupdate y " + k23 + "\r\nUPDATE\r\nNOISE x\r\n" +
           "DELETE absent\r\nUPDATE x " + k23 + "\r\n",
       {{L"x", k23}, {L"y", k11}}},
      // A last append cut short: "DELETE u12" cut to "DELETE u1" must not delete u1, nor
      // may an UPDATE cut inside a UID that looks like times make a record.
      {"u1 " + k11 + "\r\nu12 " + k11 + "\r\n",
       "UPDATE u2 " + k23 + "\r\nDELETE u1",
       {{L"u1", k11}, {L"u12", k11}, {L"u2", k23}}},
      {"", "UPDATE x " + k23, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.log);
    WriteFileText(data_path_, c.file);
    if (!c.log.empty()) WriteFileText(log_path_, c.log);
    EXPECT_EQ(Of(Loaded()), c.expected);
    EXPECT_FALSE(std::filesystem::exists(log_path_));
    EXPECT_EQ(Of(Loaded()), c.expected) << "consolidated into the data file";
  }
}

TEST_F(SyncDataTest, FailedSaveKeepsTheOldFileAndTheLog) {
  const std::string old = "old " + k11 + "\r\n";
  WriteFileText(data_path_, old);
  WriteFileText(log_path_, "DELETE old");  // "DELETE older", cut short by a crash
  // Neither the load's consolidating save (55 bytes) nor the later one (117) can write
  // the new file; the log's append (62) can.
  std::optional<SyncData> data;
  testing::WithFileSizeLimit(40, [&] { data.emplace(Loaded()); });
  ASSERT_TRUE(std::filesystem::exists(log_path_));  // The load could not consolidate it.
  data->Record(L"new", Times(kT2, kT3));
  {
    CapturedLog log;
    testing::WithFileSizeLimit(64, [&] { EXPECT_FALSE(data->Save()); });
    EXPECT_TRUE(log.Contains("SEVERE: SyncData::SaveSyncData -> ")) << log.Text();
  }
  EXPECT_EQ(ReadFileText(data_path_), old);
  EXPECT_TRUE(std::filesystem::exists(log_path_));
  // The next run still gets the change from the log, neither glued onto the cut line nor
  // ending it; the failed saves left no temporary behind.
  EXPECT_EQ(Of(Loaded()), (Contents{{L"new", k23}, {L"old", k11}}));
  EXPECT_EQ(ReadFileText(data_path_), "new " + k23 + "\r\n" + old);
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  for (const auto& entry : std::filesystem::directory_iterator(data_path_.parent_path())) {
    EXPECT_EQ(entry.path().string().find(data_path_.string() + ".tmp"), std::string::npos);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
