#pragma once

#include <cstdint>
#include <memory>

#include "webcal/stub_stream.h"

namespace calendar_mirrow_addin {

struct GZipInflater;

// Decompresses a gzip stream read from its delegate.
class GZipReadStream : public StubDelegateStream {
 public:
  GZipReadStream(IStream* delegate, bool owns);
  ~GZipReadStream() override;

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;

 private:
  static constexpr uint32_t kBufferSize = 16384;
  // ... buffers and the zlib state; see the implementation.
  std::unique_ptr<GZipInflater> inflater_;
};

}  // namespace calendar_mirrow_addin
