#include "base/text.h"

#include <gtest/gtest.h>

#include <climits>

namespace calendar_mirrow_addin {
namespace {

TEST(TextTest, Utf8RoundTripsEveryPlane) {
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € 😀 z
  const std::wstring wide = Utf8ToWide(utf8);
  if constexpr (sizeof(wchar_t) == 4) {
    EXPECT_EQ(wide, (std::wstring{L'A', 0xE9, 0x20AC, static_cast<wchar_t>(0x1F600), L'z'}));
  } else {
    EXPECT_EQ(wide.size(), 6u);  // The emoji is a surrogate pair.
  }
  EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(TextTest, MalformedInputBecomesReplacementCharacters) {
  const std::string kReplacement = "\xEF\xBF\xBD";
  // Unpaired surrogates on the wide side.
  EXPECT_EQ(WideToUtf8(std::wstring{L'a', static_cast<wchar_t>(0xD800), L'b'}),
            "a" + kReplacement + "b");
  EXPECT_EQ(WideToUtf8(std::wstring{static_cast<wchar_t>(0xDC00)}), kReplacement);
  // Bad UTF-8: a stray continuation byte, an overlong form, an encoded surrogate and a
  // truncated sequence at the end.
  EXPECT_EQ(Utf8ToWide("\x80x"), std::wstring(L"\xFFFDx"));
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), std::wstring(L"\xFFFD"));
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), std::wstring(L"\xFFFD"));
  EXPECT_EQ(Utf8ToWide("ab\xE2\x82"), std::wstring(L"ab\xFFFD"));
}

TEST(TextTest, ParseDecimalFollowsAtoiAndSaturates) {
  EXPECT_EQ(ParseDecimal(L"42"), 42);
  EXPECT_EQ(ParseDecimal(L"  \t-17xyz"), -17);
  EXPECT_EQ(ParseDecimal(L"+8"), 8);
  EXPECT_EQ(ParseDecimal(L"000Z"), 0);
  EXPECT_EQ(ParseDecimal(L""), 0);
  EXPECT_EQ(ParseDecimal(L"-"), 0);
  EXPECT_EQ(ParseDecimal(L"x12"), 0);
  EXPECT_EQ(ParseDecimal(L"1 2"), 1);
  EXPECT_EQ(ParseDecimal(L"2147483647"), INT_MAX);
  EXPECT_EQ(ParseDecimal(L"2147483648"), INT_MAX);
  EXPECT_EQ(ParseDecimal(L"-2147483648"), INT_MIN);
  EXPECT_EQ(ParseDecimal(L"-2147483649"), INT_MIN);
  EXPECT_EQ(ParseDecimal(L"99999999999999999999999999999"), INT_MAX);
  EXPECT_EQ(ParseDecimal(std::string_view("-99999999999999999999999")), INT_MIN);
  EXPECT_EQ(ParseDecimal(std::string_view(" 12")), 12);
}

TEST(TextTest, TrimAndSplit) {
  EXPECT_EQ(Trim(L" \t\r\n Lunch \n"), L"Lunch");
  EXPECT_EQ(Trim(L"   "), L"");
  EXPECT_EQ(Trim(L"a b"), L"a b");
  const auto tokens = SplitTokens(L"::a:b::c:", L":");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[0], L"a");
  EXPECT_EQ(tokens[2], L"c");
  EXPECT_TRUE(SplitTokens(L"", L":").empty());
  EXPECT_EQ(SplitTokens(L"a-b+c", L"-+").size(), 3u);
}

}  // namespace
}  // namespace calendar_mirrow_addin
