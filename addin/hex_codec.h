#pragma once

#include <string>
#include <string_view>

namespace calendar_mirrow_addin {

// The value encoding of the protected key/value files: the text's UTF-16LE bytes, two
// upper-case hexadecimal digits per byte ("ab" is "61006200"). Characters above U+FFFF
// become surrogate pairs, so the bytes are the same whatever the size of wchar_t.
std::string HexEncode(std::wstring_view text);

// The reverse of HexEncode; digits of either case. An odd trailing digit and an odd
// trailing byte are dropped. A pair that is not two hexadecimal digits makes the whole
// value unreadable: the result is then empty text, never a guessed or partial value.
std::wstring HexDecode(std::string_view hex);

}  // namespace calendar_mirrow_addin
