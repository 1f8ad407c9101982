#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace calendar_mirrow_addin {

// UTF-8 to wide text (UTF-16 where wchar_t is 16 bits, UTF-32 elsewhere). Malformed
// sequences become U+FFFD, one per offending byte run.
std::wstring Utf8ToWide(std::string_view utf8);

// Wide text to UTF-8. Unpaired surrogates (and values above U+10FFFF) become U+FFFD.
std::string WideToUtf8(std::wstring_view wide);

// Removes white space (as iswspace classifies it) from both ends.
std::wstring_view TrimView(std::wstring_view text);
std::wstring Trim(std::wstring_view text);

// Splits at any of the delimiter characters, dropping empty pieces (strtok semantics).
std::vector<std::wstring_view> SplitTokens(std::wstring_view text, std::wstring_view delimiters);

// The decimal rule used for every number read from text, like atoi: leading blanks
// skipped, an optional sign, then digits up to the first non-digit; no digits gives 0.
// Values beyond the 32-bit range saturate at INT32_MIN / INT32_MAX instead of overflowing.
int32_t ParseDecimal(std::wstring_view text);
int32_t ParseDecimal(std::string_view text);

// Lower-cases ASCII and Latin letters through towlower.
std::wstring ToLower(std::wstring_view text);

// Decimal text of a number.
std::wstring DecimalText(int64_t value);

}  // namespace calendar_mirrow_addin
