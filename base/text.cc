#include "base/text.h"

#include <cwctype>
#include <limits>

#include "platform/utf8.h"

namespace calendar_mirrow_addin {

namespace {

template <typename Char>
int32_t ParseDecimalImpl(std::basic_string_view<Char> text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate as a negative number so that INT32_MIN itself is representable.
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 - (text[i] - '0');
    if (value < kMin) {
      value = kMin - 1;  // Saturated; keep reading digits without further growth.
    }
  }
  if (negative) return static_cast<int32_t>(value < kMin ? kMin : value);
  if (value < -static_cast<int64_t>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(-value);
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) { return platform::Utf8ToWide(utf8); }

std::string WideToUtf8(std::wstring_view wide) { return platform::WideToUtf8(wide); }

std::wstring_view TrimView(std::wstring_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::iswspace(static_cast<wint_t>(text[begin]))) ++begin;
  while (end > begin && std::iswspace(static_cast<wint_t>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::wstring Trim(std::wstring_view text) { return std::wstring(TrimView(text)); }

std::vector<std::wstring_view> SplitTokens(std::wstring_view text, std::wstring_view delimiters) {
  std::vector<std::wstring_view> tokens;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t begin = text.find_first_not_of(delimiters, pos);
    if (begin == std::wstring_view::npos) break;
    size_t end = text.find_first_of(delimiters, begin);
    if (end == std::wstring_view::npos) end = text.size();
    tokens.push_back(text.substr(begin, end - begin));
    pos = end;
  }
  return tokens;
}

int32_t ParseDecimal(std::wstring_view text) { return ParseDecimalImpl(text); }
int32_t ParseDecimal(std::string_view text) { return ParseDecimalImpl(text); }

std::wstring ToLower(std::wstring_view text) {
  std::wstring out(text);
  for (auto& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

std::wstring DecimalText(int64_t value) { return std::to_wstring(value); }

}  // namespace calendar_mirrow_addin
