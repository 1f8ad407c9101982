#pragma once

#include <memory>

#include "webcal/stub_stream.h"

namespace calendar_mirrow_addin {

struct GZipDeflater;

// Compresses what is written to it into a gzip stream on its delegate. Commit completes the
// gzip member; destroying the stream without Commit leaves the delegate with an incomplete
// file. Results: S_OK; S_FALSE when the delegate's write failed; E_FAIL when the delegate
// took fewer bytes than given or compression failed. After a failure every later Write and
// Commit repeats it, since the delegate no longer holds a consistent stream.
class GZipWriteStream : public StubDelegateStream {
 public:
  GZipWriteStream(IStream* delegate, bool owns);
  ~GZipWriteStream() override;

  // Compresses the data in pieces of 8192 bytes; reports all of it as written on success.
  HRESULT Write(const void* data, ULONG size, ULONG* written) override;
  // Finishes the gzip member (the flags are ignored and the delegate is not committed). A
  // later Write starts a new member.
  HRESULT Commit(DWORD flags) override;

 private:
  std::unique_ptr<GZipDeflater> deflater_;
};

}  // namespace calendar_mirrow_addin
