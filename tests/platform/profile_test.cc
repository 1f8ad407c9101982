// The settings-file reader.

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "platform/profile.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

TEST(ProfileTest, ReadsTheFirstGeneralSectionWithItsNamingQuotingAndLengthRules) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "settings.txt").string();
  EXPECT_EQ(platform::GetProfileString(path, L"General", L"EMAIL", L"a@b"), L"a@b");  // no file
  const std::string file =
      "EMAIL=before-any-section\n; SYNC_MODE=commented\n[Other]\nEMAIL=other@x\n"
      "  [ general ]  \n  sync_mode =  OUTLOOK  \nNXCAL_ID=\"  spaced id  \"\n"
      "PROFILE='Work'\nMIXED=\"half'\nLONE=\"\nURL=https://host/a=b\nEMPTY=\n"
      "ID=first\nID=second\nNOVALUE\n[GENERAL]\nID=third\nEMAIL=later@x\n";
  const std::string long_value = std::string(258, 'c') + "\xF0\x9F\x98\x80";
  const std::tuple<std::string, const wchar_t*, const wchar_t*, std::wstring> cases[] = {
      {file, L"SYNC_MODE", L"General", L"OUTLOOK"},
      {file, L"nxcal_id", L"General", L"  spaced id  "},
      {file, L"PROFILE", L"General", L"Work"},
      {file, L"MIXED", L"General", L"\"half'"},
      {file, L"LONE", L"General", L"\""},
      {file, L"URL", L"General", L"https://host/a=b"},
      {file, L"EMPTY", L"General", L""},
      {file, L"ID", L"General", L"first"},
      {file, L"EMAIL", L"General", L"-"},
      {file, L"NOVALUE", L"General", L"-"},
      {file, L"ID", L"Missing", L"-"},
      // UTF-8 with a byte-order mark and CR LF; values cut to 259 UTF-16 units, a last
      // character needing two units where only one is left being left out whole.
      {"\xEF\xBB\xBF[General]\r\nNAME=J\xC3\xBCrgen \xF0\x9F\x98\x80\r\n", L"NAME", L"General",
       L"J\u00fcrgen \U0001F600"},
      {"[General]\nK=" + std::string(400, 'b') + "\n", L"K", L"General", std::wstring(259, L'b')},
      {"[General]\nK=" + long_value + "\n", L"K", L"General", std::wstring(258, L'c')}};
  for (const auto& [content, key, section, expected] : cases) {
    testing::WriteFileText(path, content);
    EXPECT_EQ(platform::GetProfileString(path, section, key, L"-"), expected) << WideToUtf8(key);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
