#include "sync/sync_data.h"

#include <gtest/gtest.h>

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

constexpr char kT1[] = "2008-03-07T09:05:00.000Z";
constexpr char kT2[] = "2008-03-07T10:15:30.250Z";
constexpr char kT3[] = "2009-11-30T23:59:59.999Z";

SyncRecord Times(const char* left, const char* right) {
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
  std::filesystem::path DataPath() const { return dir_.path() / "pair.sync"; }
  std::filesystem::path LogPath() const { return dir_.path() / "pair.sync.LOG"; }
  SyncData Fresh() const { return SyncData(Utf8ToWide(DataPath().string())); }
  SyncData Loaded() const {
    SyncData data = Fresh();
    data.Load();
    return data;
  }

  TempDir dir_;
};

// Blanks, characters 128-255 and characters beyond them, the escape byte and line ends.
const std::wstring kAwkwardUids[] = {
    L"plain@example.com",
    L" blank  inside ",
    L"caf\u00e9-\u00ff\u00a0",
    L"\u20ac-\U0001F600",
    L"\x1B"
    L"esc",
    L"line\nbreak\r\nend\r",
};

TEST_F(SyncDataTest, SaveAndLoadKeepEveryUidAndTime) {
  SyncData data = Fresh();
  for (const auto& uid : kAwkwardUids) data.Record(uid, Times(kT1, kT2));
  data.Record(L"later", Times(kT3, kT1));
  ASSERT_TRUE(data.Save());
  EXPECT_EQ(Contents(Loaded()), Contents(data));
  EXPECT_EQ(Loaded().records().size(), 7u);
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(SyncDataTest, RecoveryLogReplayKeepsEveryUid) {
  SyncData data = Fresh();
  for (const auto& uid : kAwkwardUids) data.Record(uid, Times(kT1, kT2));
  data.Remove(L"plain@example.com");
  // No save: the run was interrupted and only the log holds the state.
  EXPECT_EQ(Contents(Loaded()), Contents(data));
  EXPECT_EQ(Loaded().records().size(), 5u);
}

TEST_F(SyncDataTest, FileBytesAreOneCrLfLinePerRecordInMapOrder) {
  SyncData data = Fresh();
  data.Record(L"b b", Times(kT2, kT3));
  data.Record(L"a\u00e9", Times(kT1, kT2));
  data.Record(L"\u20ac", Times(kT1, kT1));
  ASSERT_TRUE(data.Save());
  EXPECT_EQ(ReadFileText(DataPath()), std::string("a\xE9 ") + kT1 + " " + kT2 + "\r\n" + "b b " +
                                          kT2 + " " + kT3 + "\r\n" + "\x1B\xE2\x82\xAC " + kT1 +
                                          " " + kT1 + "\r\n");
}

TEST(SyncDataUidTest, EncodingKeepsLatinBytesAndEscapesTheRest) {
  EXPECT_EQ(EncodeUid(L"a \u00ff"), "a \xFF");
  EXPECT_EQ(DecodeUid("a \xFF"), L"a \u00ff");
  EXPECT_EQ(EncodeUid(L"x\u0100"), "\x1Bx\xC4\x80");
  EXPECT_EQ(EncodeUid(L"\x1B"), "\x1B\x1B");
  EXPECT_EQ(EncodeUid(L"a\x1B"), "a\x1B");  // only a leading escape byte is ambiguous
  const std::string broken = EncodeUid(L"a\r\nb");
  EXPECT_EQ(broken.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(DecodeUid(broken), L"a\r\nb");
}

TEST_F(SyncDataTest, MalformedLinesAreDroppedAndLeaveTheNextSave) {
  const std::string good = std::string("keep me ") + kT1 + " " + kT2;
  WriteFileText(DataPath(), std::string("short ") + kT1 + "\r\n" +
                                "no-millis 2008-03-07T09:05:00Z " + kT2 + "\r\n" + "bad-right " +
                                kT1 + " 2008-13-07T09:05:00.000Z\r\n" + good +
                                "\n" +                       // a plain LF line end is read too
                                "last " + kT2 + " " + kT3);  // no line end at all
  SyncData data = Loaded();
  EXPECT_EQ(Contents(data),
            (std::map<std::wstring, std::string>{{L"keep me", std::string(kT1) + " " + kT2},
                                                 {L"last", std::string(kT2) + " " + kT3}}));
  ASSERT_TRUE(data.Save());
  EXPECT_EQ(ReadFileText(DataPath()), good + "\r\nlast " + kT2 + " " + kT3 + "\r\n");
}

TEST_F(SyncDataTest, RecordAndRemoveAppendExactLogLines) {
  SyncData data = Fresh();
  data.Record(L"x y", Times(kT1, kT2));
  data.Record(L"x y", Times(kT2, kT3));
  data.Remove(L"x y");
  data.Remove(L"never there");
  EXPECT_EQ(ReadFileText(LogPath()), std::string("UPDATE x y ") + kT1 + " " + kT2 + "\r\n" +
                                         "UPDATE x y " + kT2 + " " + kT3 + "\r\n" +
                                         "DELETE x y\r\nDELETE never there\r\n");
  EXPECT_FALSE(std::filesystem::exists(DataPath()));  // only the end of a run writes it
}

TEST_F(SyncDataTest, LeftoverLogIsReplayedInOrderAndConsolidated) {
  WriteFileText(DataPath(), std::string("y ") + kT1 + " " + kT1 + "\r\n");
  WriteFileText(LogPath(), std::string("UPDATE x ") + kT1 + " " + kT1 + "\r\n" + "DELETE x\r\n" +
                               "update y " + kT3 + " " + kT3 + "\r\n" + "UPDATE\r\nNOISE x\r\n" +
                               "UPDATE x " + kT2 + " " + kT3 + "\r\n");
  CapturedLog log;
  SyncData data = Loaded();
  EXPECT_EQ(Contents(data),
            (std::map<std::wstring, std::string>{{L"x", std::string(kT2) + " " + kT3},
                                                 {L"y", std::string(kT1) + " " + kT1}}));
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  EXPECT_EQ(Contents(Loaded()), Contents(data));
  EXPECT_TRUE(log.Contains("LoadSyncData {\n  MergeFromRecoveryLog {"));
  EXPECT_TRUE(log.Contains("  SaveSyncData {"));
}

TEST_F(SyncDataTest, DeleteOnlyLogStillConsolidatesAndIsRemoved) {
  const std::string file = std::string("y ") + kT1 + " " + kT2 + "\r\n";
  WriteFileText(DataPath(), file);
  WriteFileText(LogPath(), "DELETE absent\r\nDELETE other\r\n");
  EXPECT_EQ(Loaded().records().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  EXPECT_EQ(ReadFileText(DataPath()), file);
}

TEST_F(SyncDataTest, LoadWithoutFilesGivesEmptyMapAndWritesNothing) {
  EXPECT_TRUE(Loaded().records().empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(SyncDataTest, FailedSaveKeepsOldFileAndLogAndSaysWhy) {
  const std::string old = std::string("old ") + kT1 + " " + kT1 + "\r\n";
  WriteFileText(DataPath(), old);
  // The temporary file beside the data file cannot be created.
  std::filesystem::create_directory(DataPath().string() + ".tmp");
  SyncData data = Loaded();
  data.Record(L"new", Times(kT2, kT3));
  CapturedLog log;
  EXPECT_FALSE(data.Save());
  EXPECT_TRUE(log.Contains("SEVERE: SyncData::SaveSyncData -> "));
  EXPECT_EQ(ReadFileText(DataPath()), old);
  // The next run still gets the change from the log, and cannot drop it either.
  EXPECT_EQ(Contents(Loaded()), Contents(data));
  EXPECT_TRUE(std::filesystem::exists(LogPath()));
}

TEST_F(SyncDataTest, SaveOntoAFolderFails) {
  std::filesystem::create_directory(DataPath());
  SyncData data = Fresh();
  data.Record(L"x", Times(kT1, kT2));
  CapturedLog log;
  EXPECT_FALSE(data.Save());
  EXPECT_TRUE(log.Contains("SEVERE: SyncData::SaveSyncData -> "));
  EXPECT_TRUE(std::filesystem::exists(LogPath()));
}

TEST_F(SyncDataTest, HalfWrittenTemporaryFromACrashIsIgnoredAndReplaced) {
  const std::string old = std::string("old ") + kT1 + " " + kT1 + "\r\n";
  WriteFileText(DataPath(), old);
  WriteFileText(DataPath().string() + ".tmp", "half a li");
  SyncData data = Loaded();
  EXPECT_EQ(Contents(data).size(), 1u);
  data.Record(L"new", Times(kT2, kT3));
  ASSERT_TRUE(data.Save());
  EXPECT_EQ(ReadFileText(DataPath()), "new " + std::string(kT2) + " " + kT3 + "\r\n" + old);
  EXPECT_FALSE(std::filesystem::exists(DataPath().string() + ".tmp"));
}

}  // namespace
}  // namespace calendar_mirrow_addin
