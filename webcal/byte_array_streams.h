#pragma once

#include <cstdint>
#include <string>

#include "webcal/stub_stream.h"

namespace calendar_mirrow_addin {

// Reads a block of memory that the caller keeps alive for the stream's lifetime.
class ByteArrayReadStream : public StubStream {
 public:
  ByteArrayReadStream(const void* data, ULONG length);

  // Copies up to `size` bytes and advances; S_OK with 0 bytes at the end.
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;

 private:
  const uint8_t* next_;
  ULONG remaining_;
};

// Collects everything written to it in memory.
class ByteArrayWriteStream : public StubStream {
 public:
  ByteArrayWriteStream() = default;

  // Appends all bytes and reports them all as written.
  HRESULT Write(const void* data, ULONG size, ULONG* written) override;

  const std::string& bytes() const { return bytes_; }
  // Hands the collected bytes to the caller and leaves the stream empty.
  std::string TakeBytes();

 private:
  std::string bytes_;
};

}  // namespace calendar_mirrow_addin
