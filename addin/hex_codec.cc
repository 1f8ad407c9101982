#include "addin/hex_codec.h"

#include <cstdint>
#include <vector>

namespace calendar_mirrow_addin {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

void AppendUnit(std::string* hex, uint16_t unit) {
  for (const int byte : {unit & 0xFF, unit >> 8}) {
    hex->push_back(kDigits[byte >> 4]);
    hex->push_back(kDigits[byte & 0x0F]);
  }
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of the hexadecimal text (an odd trailing digit dropped), or false when a
// pair is not made of two digits.
bool DecodeBytes(std::string_view hex, std::vector<uint8_t>* bytes) {
  bytes->reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = DigitValue(hex[i]);
    const int low = DigitValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return true;
}

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string HexEncode(std::wstring_view text) {
  std::string hex;
  hex.reserve(text.size() * 4);
  for (const wchar_t c : text) {
    auto code = static_cast<uint32_t>(c);
    if (code > 0x10FFFF) code = 0xFFFD;  // Not a character; only possible with 32-bit wchar_t.
    if (code > 0xFFFF) {
      code -= 0x10000;
      AppendUnit(&hex, static_cast<uint16_t>(0xD800 + (code >> 10)));
      AppendUnit(&hex, static_cast<uint16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      AppendUnit(&hex, static_cast<uint16_t>(code));
    }
  }
  return hex;
}

std::wstring HexDecode(std::string_view hex) {
  std::vector<uint8_t> bytes;
  if (!DecodeBytes(hex, &bytes)) return std::wstring();
  std::vector<uint32_t> units;  // An odd trailing byte is dropped.
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) units.push_back(bytes[i] | bytes[i + 1] << 8);
  std::wstring text;
  text.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t code = units[i];
    // With 32-bit wchar_t a surrogate pair is one character; a lone surrogate stays as it
    // is, as it would in a 16-bit string.
    if (sizeof(wchar_t) > 2 && IsHighSurrogate(code) && i + 1 < units.size() &&
        IsLowSurrogate(units[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    text.push_back(static_cast<wchar_t>(code));
  }
  return text;
}

}  // namespace calendar_mirrow_addin
