#include "base/text.h"

#include <gtest/gtest.h>

#include <climits>

namespace calendar_mirrow_addin {
namespace {

// Well-formed text of every plane round-trips; malformed text on either side becomes
// replacement characters rather than being dropped or copied through.
TEST(TextTest, Utf8ConversionsRoundTripAndReplaceMalformedInput) {
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € 😀 z
  if constexpr (sizeof(wchar_t) == 4) {
    EXPECT_EQ(Utf8ToWide(utf8), (std::wstring{L'A', 0xE9, 0x20AC, wchar_t(0x1F600), L'z'}));
  }
  EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8);
  const std::string kReplacement = "\xEF\xBF\xBD";
  EXPECT_EQ(WideToUtf8(std::wstring{L'a', wchar_t(0xD800), L'b'}), "a" + kReplacement + "b");
  EXPECT_EQ(WideToUtf8(std::wstring{wchar_t(0xDC00)}), kReplacement);
  // A stray continuation byte, an overlong form, an encoded surrogate, a truncated end.
  for (const auto& [in, out] : {std::pair{"\x80x", L"\xFFFDx"},
                                {"\xC0\xAF", L"\xFFFD"},
                                {"\xED\xA0\x80", L"\xFFFD"},
                                {"ab\xE2\x82", L"ab\xFFFD"}}) {
    EXPECT_EQ(Utf8ToWide(in), out) << in;
  }
}

TEST(TextTest, ParseDecimalFollowsAtoiAndSaturates) {
  // clang-format off
  const std::pair<const wchar_t*, int> cases[] = {
      {L"  \t-17xyz", -17}, {L"+8", 8}, {L"", 0}, {L"-", 0}, {L"x12", 0}, {L"1 2", 1},
      {L"2147483647", INT_MAX}, {L"2147483648", INT_MAX}, {L"-2147483648", INT_MIN},
      {L"-2147483649", INT_MIN}, {L"99999999999999999999999999999", INT_MAX}};
  // clang-format on
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseDecimal(text), value) << text;
  EXPECT_EQ(ParseDecimal(std::string_view(" -99999999999999999999999")), INT_MIN);
}

}  // namespace
}  // namespace calendar_mirrow_addin
