#pragma once

#include <string>
#include <string_view>

// The one UTF-8 codec of the system. It lives at the bottom, beside the OS seam, so that
// the seam's own implementations and every layer above share it.
namespace calendar_mirrow_addin::platform {

// UTF-8 to wide text (UTF-16 where wchar_t is 16 bits, UTF-32 elsewhere). Malformed
// sequences become U+FFFD, one per offending byte run.
std::wstring Utf8ToWide(std::string_view utf8);

// Wide text to UTF-8. Unpaired surrogates (and values above U+10FFFF) become U+FFFD.
std::string WideToUtf8(std::wstring_view wide);

}  // namespace calendar_mirrow_addin::platform
