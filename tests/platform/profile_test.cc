#include "platform/profile.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

class ProfileTest : public ::testing::Test {
 protected:
  std::wstring Get(const std::string& content, const std::wstring& key,
                   const std::wstring& section = L"General") {
    testing::WriteFileText(path_, content);
    return platform::GetProfileString(path_, section, key, L"-");
  }

  testing::TempDir dir_;
  std::string path_ = (dir_.path() / "settings.txt").string();
};

TEST_F(ProfileTest, ReadsTheFirstGeneralSectionWithItsNamingAndQuotingRules) {
  EXPECT_EQ(platform::GetProfileString(path_, L"General", L"EMAIL", L"a@b"), L"a@b");
  const std::string file =
      "EMAIL=before-any-section\n; SYNC_MODE=commented\n[Other]\nEMAIL=other@x\n"
      "  [ general ]  \n  sync_mode =  OUTLOOK  \nNXCAL_ID=\"  spaced id  \"\n"
      "PROFILE='Work'\nMIXED=\"half'\nLONE=\"\nURL=https://host/a=b\nEMPTY=\n"
      "ID=first\nID=second\nNOVALUE\n[GENERAL]\nID=third\nEMAIL=later@x\n";
  // clang-format off
  const wchar_t* cases[][2] = {
      {L"SYNC_MODE", L"OUTLOOK"}, {L"nxcal_id", L"  spaced id  "}, {L"PROFILE", L"Work"},
      {L"MIXED", L"\"half'"}, {L"LONE", L"\""}, {L"URL", L"https://host/a=b"}, {L"EMPTY", L""},
      {L"ID", L"first"}, {L"EMAIL", L"-"}, {L"NOVALUE", L"-"}};
  // clang-format on
  for (const auto& [key, expected] : cases) EXPECT_EQ(Get(file, key), expected) << key;
  EXPECT_EQ(Get(file, L"ID", L"Missing"), L"-");
}

TEST_F(ProfileTest, ReadsUtf8WithByteOrderMarkAndCrLfAndCutsTo259Utf16Units) {
  EXPECT_EQ(Get("\xEF\xBB\xBF[General]\r\nNAME=J\xC3\xBCrgen \xF0\x9F\x98\x80\r\n", L"NAME"),
            L"J\u00fcrgen \U0001F600");
  EXPECT_EQ(Get("[General]\nK=" + std::string(400, 'b') + "\n", L"K"), std::wstring(259, L'b'));
  // A last character needing two units where only one is left is left out whole.
  EXPECT_EQ(Get("[General]\nK=" + std::string(258, 'c') + "\xF0\x9F\x98\x80\n", L"K"),
            std::wstring(258, L'c'));
}

}  // namespace
}  // namespace calendar_mirrow_addin
