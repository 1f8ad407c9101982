#include "addin/protected_map.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "addin/hex_codec.h"
#include "platform/protect.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;
using testing::WriteFileText;

TEST(HexCodecTest, EncodesUtf16LittleEndianAndDecodesStrictly) {
  EXPECT_EQ(HexEncode(L"ab\u00e9\u20ac\U0001F600"), "61006200E900AC203DD800DE");
  const std::wstring text = L"p\u00e4ss w\u00f6rd \U0001F511 =;\n";
  EXPECT_EQ(HexDecode(HexEncode(text)), text);
  EXPECT_EQ(HexDecode("3dd800de"), L"\U0001F600");
  for (const char* hex : {"4A00", "4a00", "4A0062", "4A00620"}) EXPECT_EQ(HexDecode(hex), L"J");
  for (const char* bad : {"4G00", "4A00 6200", "-1", "0x4A00", "4A00\r\n", "4A\xC3\xA9"}) {
    EXPECT_EQ(HexDecode(bad), L"") << bad;
  }
}

class ProtectedMapTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  testing::EnvGuard config_{"XDG_CONFIG_HOME", dir_.path().c_str()};
  fs::path file_ = dir_.path() / "map.txt";
  std::wstring path_ = Utf8ToWide(file_.string());
};

TEST_F(ProtectedMapTest, WritesExactPlainTextAndReadsWhatTheTrayApplicationWrites) {
  const ProtectedMap map = {
      {"b", HexEncode(L"ab")}, {"a", ""}, {"B", HexEncode(L"\u00fc\U0001F600")}, {"_x", "00"}};
  ASSERT_TRUE(WriteProtectedMap(path_, map, L"User options"));
  std::string plain;
  ASSERT_TRUE(platform::UnprotectData(ReadFileText(file_), &plain));
  EXPECT_EQ(plain, "B=FC003DD800DE\n_x=00\na=\nb=61006200\n");
  ProtectedMap back = {{"stale", "1"}};
  ASSERT_TRUE(ReadProtectedMap(path_, back));
  EXPECT_EQ(back, map);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), 2);  // Key folder, map.
  // CR LF reads like LF, the first occurrence of a key wins, pieces without a key go.
  ASSERT_TRUE(platform::ProtectData(
      "k=4A00\r\n\r\n  sync = 3100 \r\nno equals\n=orphan\nk=second\nu=a=b", L"tray", &plain));
  WriteFileText(file_, plain);
  ASSERT_TRUE(ReadProtectedMap(path_, back));
  EXPECT_EQ(back, (ProtectedMap{{"k", "4A00"}, {"sync", "3100"}, {"u", "a=b"}}));
}

TEST_F(ProtectedMapTest, RefusedWritesKeepTheOldFileAndUnreadableFilesFail) {
  ASSERT_TRUE(WriteProtectedMap(path_, {{"k", "6100"}}, L"d"));
  const std::string blob = ReadFileText(file_);
  const ProtectedMap bad[] = {{{"a=b", "00"}}, {{"", "00"}},       {{"k\nforged", "00"}},
                              {{" k", "00"}},  {{"k", "00\nx=1"}}, {{"k", "00 "}}};
  for (const ProtectedMap& map : bad) {
    EXPECT_FALSE(WriteProtectedMap(path_, map, L"d")) << map.begin()->first;
  }
  EXPECT_EQ(ReadFileText(file_), blob);
  std::string tampered = blob;
  tampered[tampered.size() / 2] ^= 0x20;
  for (const std::string& content :
       {tampered, blob.substr(0, blob.size() - 1), std::string("k=6100\n")}) {
    WriteFileText(file_, content);
    ProtectedMap map = {{"kept", "1"}};
    EXPECT_FALSE(ReadProtectedMap(path_, map));
    EXPECT_EQ(map, (ProtectedMap{{"kept", "1"}}));
  }
  EXPECT_TRUE(WriteProtectedMap(path_, {{"k\rv", "a\rb"}}, L"d"));  // Inner CR reads back.
}

}  // namespace
}  // namespace calendar_mirrow_addin
