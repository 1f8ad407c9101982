#include "addin/protected_map.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "addin/hex_codec.h"
#include "platform/protect.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using testing::EnvGuard;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

TEST(HexCodecTest, EncodesUtf16LittleEndianUpperCase) {
  EXPECT_EQ(HexEncode(L"ab"), "61006200");
  EXPECT_EQ(HexEncode(L""), "");
  EXPECT_EQ(HexEncode(L"\u00e9\u20ac"), "E900AC20");
  EXPECT_EQ(HexEncode(L"\U0001F600"), "3DD800DE");  // The surrogate pair Windows stores.
}

TEST(HexCodecTest, DecodesEitherCaseAndDropsOddTails) {
  EXPECT_EQ(HexDecode("4A00"), L"J");
  EXPECT_EQ(HexDecode("4a00"), L"J");
  EXPECT_EQ(HexDecode("4A0062"), L"J");   // Odd trailing byte.
  EXPECT_EQ(HexDecode("4A00620"), L"J");  // Odd trailing byte and digit.
  EXPECT_EQ(HexDecode("3dd800de"), L"\U0001F600");
  const std::wstring text = L"p\u00e4ss w\u00f6rd \U0001F511 =;\n";
  EXPECT_EQ(HexDecode(HexEncode(text)), text);
}

TEST(HexCodecTest, InvalidDigitsMakeTheWholeValueEmpty) {
  for (const char* bad : {"4G00", "4A00 6200", "4A00zz00", "-1", "0x4A00", "4A00\r\n"}) {
    EXPECT_EQ(HexDecode(bad), L"") << bad;
  }
}

class ProtectedMapTest : public ::testing::Test {
 protected:
  std::wstring Path(const char* name) const { return Utf8ToWide((dir_.path() / name).string()); }

  // Writes `plain` protected, as another writer of the file (the tray application) would.
  std::wstring WritePlain(const std::string& plain) {
    std::string blob;
    EXPECT_TRUE(platform::ProtectData(plain, L"tray", &blob));
    WriteFileText(dir_.path() / "map.txt", blob);
    return Path("map.txt");
  }

  std::string PlainOf(const std::wstring& path) {
    std::string plain;
    EXPECT_TRUE(platform::UnprotectData(ReadFileText(WideToUtf8(path)), &plain));
    return plain;
  }

  TempDir dir_;
  EnvGuard config_{"XDG_CONFIG_HOME", dir_.path().c_str()};
};

TEST_F(ProtectedMapTest, WritesKeysInByteOrderAndReadsThemBack) {
  const ProtectedMap map = {
      {"b", HexEncode(L"ab")}, {"a", ""}, {"B", HexEncode(L"\u00fc\U0001F600")}, {"_x", "00"}};
  const std::wstring path = Path("map.txt");
  ASSERT_TRUE(WriteProtectedMap(path, map, L"User options"));
  EXPECT_EQ(PlainOf(path), "B=FC003DD800DE\n_x=00\na=\nb=61006200\n");
  ProtectedMap back = {{"stale", "1"}};
  ASSERT_TRUE(ReadProtectedMap(path, back));
  EXPECT_EQ(back, map);
  EXPECT_EQ(HexDecode(back["B"]), L"\u00fc\U0001F600");
  std::set<std::string> names;  // Replaced atomically: no temporary file is left beside it.
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"Nexora", "map.txt"}));
}

TEST_F(ProtectedMapTest, PlainTextReadingRules) {
  ProtectedMap map;
  ASSERT_TRUE(ReadProtectedMap(WritePlain("email=4A00\r\n\r\n\n  sync_mode = 3100 \r\n"), map));
  EXPECT_EQ(map, (ProtectedMap{{"email", "4A00"}, {"sync_mode", "3100"}}));

  ASSERT_TRUE(ReadProtectedMap(WritePlain("k=first\nno equals\n=orphan\nk=second\nu=a=b"), map));
  EXPECT_EQ(map, (ProtectedMap{{"k", "first"}, {"u", "a=b"}}));
}

TEST_F(ProtectedMapTest, UnreadableFilesFailAndLeaveTheMapAlone) {
  const std::wstring path = Path("map.txt");
  ASSERT_TRUE(WriteProtectedMap(path, {{"k", "6100"}}, L"d"));
  const std::string blob = ReadFileText(WideToUtf8(path));
  std::string tampered = blob;
  tampered[tampered.size() / 2] ^= 0x20;
  const std::string contents[] = {tampered, blob.substr(0, blob.size() - 1), "k=6100\n"};
  for (const std::string& content : contents) {
    WriteFileText(WideToUtf8(path), content);
    ProtectedMap map = {{"kept", "1"}};
    EXPECT_FALSE(ReadProtectedMap(path, map));
    EXPECT_EQ(map, (ProtectedMap{{"kept", "1"}}));
  }
  ProtectedMap map;
  EXPECT_FALSE(ReadProtectedMap(Path("missing.txt"), map));
}

TEST_F(ProtectedMapTest, RefusesEntriesThatWouldNotReadBackAndKeepsTheOldFile) {
  const std::wstring path = Path("map.txt");
  ASSERT_TRUE(WriteProtectedMap(path, {{"k", "6100"}}, L"d"));
  const std::string before = ReadFileText(WideToUtf8(path));
  const ProtectedMap bad[] = {{{"a=b", "00"}}, {{"", "00"}},       {{"k\nforged", "00"}},
                              {{" k", "00"}},  {{"k", "00\nx=1"}}, {{"k", "00 "}}};
  for (const ProtectedMap& map : bad) {
    EXPECT_FALSE(WriteProtectedMap(path, map, L"d")) << map.begin()->first;
  }
  EXPECT_EQ(ReadFileText(WideToUtf8(path)), before);
  EXPECT_TRUE(WriteProtectedMap(path, {{"k\rv", "a\rb"}}, L"d"));  // Inner CR reads back.
  EXPECT_FALSE(WriteProtectedMap(Path("no_folder/map.txt"), {{"k", "00"}}, L"d"));
}

}  // namespace
}  // namespace calendar_mirrow_addin
