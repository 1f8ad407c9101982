#pragma once

#include <cstdint>
#include <memory>

#include "webcal/stub_stream.h"

namespace calendar_mirrow_addin {

struct GZipInflater;

// Decompresses a gzip stream read from its delegate.
//
// Read returns S_OK with the bytes decompressed, and S_OK with 0 bytes only at a clean end:
// the delegate ended where a gzip member was complete (or before any data). Anything else is
// a failure that stays for every later read: S_FALSE when the delegate's own read failed,
// E_FAIL for data that is corrupt or ends before its trailer. S_FALSE is a success code, so
// a reader must compare the result with S_OK rather than use SUCCEEDED. Members that follow
// one another are decompressed one after the other.
class GZipReadStream : public StubDelegateStream {
 public:
  GZipReadStream(IStream* delegate, bool owns);
  ~GZipReadStream() override;

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;

 private:
  // The input buffer and the inflate state; one allocation for the stream's lifetime.
  std::unique_ptr<GZipInflater> inflater_;
};

}  // namespace calendar_mirrow_addin
