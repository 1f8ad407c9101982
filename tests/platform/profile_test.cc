#include "platform/profile.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::TempDir;
using testing::WriteFileText;

class ProfileTest : public ::testing::Test {
 protected:
  std::wstring Get(const std::string& content, const std::wstring& key,
                   const std::wstring& section = L"General") {
    WriteFileText(path_, content);
    return platform::GetProfileString(path_, section, key, L"<default>");
  }

  TempDir dir_;
  std::string path_ = (dir_.path() / "settings.txt").string();
};

TEST_F(ProfileTest, NamesIgnoreCaseAndValuesAreTrimmedAndUnquoted) {
  const std::string file =
      "; SYNC_MODE=commented\n"
      "  [ general ]  \n"
      "  sync_mode =  OUTLOOK  \n"
      "NXCAL_ID=\"  spaced id  \"\n"
      "PROFILE='Work'\n"
      "MIXED=\"half'\n"
      "LONE=\"\n"
      "URL=https://host/a=b\n"
      "EMPTY=\n";
  EXPECT_EQ(Get(file, L"SYNC_MODE"), L"OUTLOOK");
  EXPECT_EQ(Get(file, L"nxcal_id"), L"  spaced id  ");
  EXPECT_EQ(Get(file, L"PROFILE"), L"Work");
  EXPECT_EQ(Get(file, L"MIXED"), L"\"half'");
  EXPECT_EQ(Get(file, L"LONE"), L"\"");
  EXPECT_EQ(Get(file, L"URL"), L"https://host/a=b");
  EXPECT_EQ(Get(file, L"EMPTY"), L"");
}

TEST_F(ProfileTest, OnlyTheFirstGeneralSectionCountsAndItsFirstKeyWins) {
  EXPECT_EQ(platform::GetProfileString(path_, L"General", L"EMAIL", L"a@b"), L"a@b");
  const std::string file =
      "EMAIL=before-any-section\n[Other]\nEMAIL=other@x\n"
      "[General]\nID=first\nID=second\nNOVALUE\n"
      "[GENERAL]\nID=third\nEMAIL=later@x\n";
  EXPECT_EQ(Get(file, L"EMAIL"), L"<default>");
  EXPECT_EQ(Get(file, L"NOVALUE"), L"<default>");
  EXPECT_EQ(Get(file, L"ID"), L"first");
  EXPECT_EQ(Get(file, L"ID", L"Missing"), L"<default>");
}

TEST_F(ProfileTest, ReadsUtf8WithByteOrderMarkAndCrLf) {
  const std::string file =
      "\xEF\xBB\xBF[General]\r\nNAME=J\xC3\xBCrgen \xF0\x9F\x98\x80\r\nX=1\r\n";
  EXPECT_EQ(Get(file, L"NAME"), L"J\u00fcrgen \U0001F600");
  EXPECT_EQ(Get(file, L"X"), L"1");
}

TEST_F(ProfileTest, ValuesAreCutTo259Utf16Units) {
  EXPECT_EQ(Get("[General]\nK=" + std::string(400, 'b') + "\n", L"K"), std::wstring(259, L'b'));
  // The last character would need two units where only one is left: it is left out whole.
  EXPECT_EQ(Get("[General]\nK=" + std::string(258, 'c') + "\xF0\x9F\x98\x80\n", L"K"),
            std::wstring(258, L'c'));
}

}  // namespace
}  // namespace calendar_mirrow_addin
