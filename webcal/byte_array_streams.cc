#include "webcal/byte_array_streams.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace calendar_mirrow_addin {

ByteArrayReadStream::ByteArrayReadStream(const void* data, ULONG length)
    : next_(static_cast<const uint8_t*>(data)), remaining_(data == nullptr ? 0 : length) {}

HRESULT ByteArrayReadStream::Read(void* buffer, ULONG size, ULONG* read) {
  const ULONG count = std::min(size, remaining_);
  if (count > 0) std::memcpy(buffer, next_, count);
  next_ += count;
  remaining_ -= count;
  if (read != nullptr) *read = count;
  return S_OK;
}

HRESULT ByteArrayWriteStream::Write(const void* data, ULONG size, ULONG* written) {
  if (size > 0) bytes_.append(static_cast<const char*>(data), size);
  if (written != nullptr) *written = size;
  return S_OK;
}

std::string ByteArrayWriteStream::TakeBytes() {
  std::string taken = std::move(bytes_);
  bytes_.clear();
  return taken;
}

}  // namespace calendar_mirrow_addin
