#pragma once

#include <string>
#include <string_view>

namespace calendar_mirrow_addin {

// Writes bytes as text over an alphabet whose length is a power of two, most significant
// bits first, without pad characters.
class StringEncoder {
 public:
  explicit StringEncoder(std::string_view alphabet);
  virtual ~StringEncoder() = default;

  // ceiling(8n / bits) characters for n bytes; the last character's spare bits are zero.
  std::wstring Encode(std::string_view bytes) const;

 private:
  std::string alphabet_;
  int bits_;       // per character: log2 of the alphabet's length
  unsigned mask_;  // the alphabet's length minus 1
};

// Base 32 with the extended-hex alphabet in lower case: "abc" gives "c5h66". The order of
// the characters keeps the order of the bytes, so encoded ids sort like the raw ones.
class Base32Encoder : public StringEncoder {
 public:
  Base32Encoder();
};

}  // namespace calendar_mirrow_addin
