#include "base/base32.h"

#include <cstdint>

namespace calendar_mirrow_addin {

StringEncoder::StringEncoder(std::string_view alphabet)
    : alphabet_(alphabet), bits_(0), mask_(static_cast<unsigned>(alphabet.size()) - 1) {
  while ((size_t{1} << bits_) < alphabet.size()) ++bits_;
}

std::wstring StringEncoder::Encode(std::string_view bytes) const {
  std::wstring out;
  if (bytes.empty() || bits_ == 0) return out;
  out.reserve((bytes.size() * 8 + bits_ - 1) / bits_);
  uint32_t accumulator = 0;
  int pending = 0;
  size_t next = 0;
  while (pending > 0 || next < bytes.size()) {
    if (pending < bits_) {
      if (next < bytes.size()) {
        accumulator = (accumulator << 8) | static_cast<uint8_t>(bytes[next++]);
        pending += 8;
      } else {
        accumulator <<= bits_ - pending;  // zero bits make up the last character
        pending = bits_;
      }
    }
    out += static_cast<wchar_t>(alphabet_[(accumulator >> (pending - bits_)) & mask_]);
    pending -= bits_;
    accumulator &= (1u << pending) - 1;  // only pending bits stay: no overflow on long input
  }
  return out;
}

Base32Encoder::Base32Encoder() : StringEncoder("0123456789abcdefghijklmnopqrstuv") {}

}  // namespace calendar_mirrow_addin
