#include "webcal/gzip_write_stream.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>

namespace calendar_mirrow_addin {

namespace {

constexpr uint32_t kOutputSize = 16384;
constexpr ULONG kPieceSize = 8192;
// Window bits for zlib that write a gzip header and trailer.
constexpr int kGZipWindowBits = 31;
constexpr int kMemoryLevel = 8;

}  // namespace

struct GZipDeflater {
  uint8_t output[kOutputSize];
  uint32_t pending = 0;
  z_stream stream{};
  bool initialised = false;
  // The first failure; the delegate's copy is broken from there on, so it is final.
  HRESULT failure = S_OK;
};

namespace {

HRESULT Start(GZipDeflater& z) {
  if (z.initialised) return S_OK;
  z.stream = z_stream{};
  if (deflateInit2(&z.stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGZipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return E_FAIL;
  }
  z.initialised = true;
  return S_OK;
}

// Hands the pending output to the delegate.
HRESULT WritePending(GZipDeflater& z, IStream* delegate) {
  if (z.pending == 0) return S_OK;
  ULONG written = 0;
  if (delegate->Write(z.output, z.pending, &written) != S_OK) return S_FALSE;
  if (written < z.pending) return E_FAIL;
  z.pending = 0;
  return S_OK;
}

// One deflate call into the free part of the output buffer, emptying it first when full.
HRESULT DeflateStep(GZipDeflater& z, IStream* delegate, int flush, int* result) {
  if (z.pending == kOutputSize) {
    const HRESULT written = WritePending(z, delegate);
    if (written != S_OK) return written;
  }
  z.stream.next_out = z.output + z.pending;
  z.stream.avail_out = kOutputSize - z.pending;
  *result = deflate(&z.stream, flush);
  z.pending = kOutputSize - z.stream.avail_out;
  return S_OK;
}

// Compresses the input set on the stream with a sync flush. A flush that fills the buffer
// exactly may hold back output, so it goes on until output space is left over.
HRESULT DeflateInput(GZipDeflater& z, IStream* delegate) {
  for (;;) {
    int result = Z_OK;
    HRESULT hr = DeflateStep(z, delegate, Z_SYNC_FLUSH, &result);
    if (hr != S_OK) return hr;
    if (result != Z_OK) return E_FAIL;
    if (z.stream.avail_in == 0 && z.stream.avail_out > 0) return S_OK;
  }
}

// Writes the end of the member; the trailer may take more than one buffer.
HRESULT DeflateFinish(GZipDeflater& z, IStream* delegate) {
  for (;;) {
    int result = Z_OK;
    HRESULT hr = DeflateStep(z, delegate, Z_FINISH, &result);
    if (hr != S_OK) return hr;
    if (result == Z_STREAM_END) return WritePending(z, delegate);
    if (result != Z_OK) return E_FAIL;
  }
}

HRESULT CompressPiece(GZipDeflater& z, IStream* delegate, const uint8_t* data, ULONG size) {
  if (Start(z) != S_OK) return E_FAIL;
  z.stream.next_in = const_cast<Bytef*>(data);
  z.stream.avail_in = size;
  return DeflateInput(z, delegate);
}

HRESULT End(GZipDeflater& z) {
  z.initialised = false;
  return deflateEnd(&z.stream) == Z_OK ? S_OK : E_FAIL;
}

}  // namespace

GZipWriteStream::GZipWriteStream(IStream* delegate, bool owns)
    : StubDelegateStream(delegate, owns), deflater_(std::make_unique<GZipDeflater>()) {}

GZipWriteStream::~GZipWriteStream() {
  // Without Commit the member stays incomplete; what is pending is dropped.
  if (deflater_->initialised) deflateEnd(&deflater_->stream);
}

HRESULT GZipWriteStream::Write(const void* data, ULONG size, ULONG* written) {
  if (written != nullptr) *written = 0;
  GZipDeflater& z = *deflater_;
  if (z.failure != S_OK) return z.failure;
  const auto* next = static_cast<const uint8_t*>(data);
  for (ULONG left = size; left > 0;) {
    const ULONG piece = std::min(left, kPieceSize);
    const HRESULT result = CompressPiece(z, delegate(), next, piece);
    if (result != S_OK) return z.failure = result;
    next += piece;
    left -= piece;
  }
  if (written != nullptr) *written = size;
  return S_OK;
}

HRESULT GZipWriteStream::Commit(DWORD) {
  GZipDeflater& z = *deflater_;
  if (z.failure != S_OK) return z.failure;
  // Committing before any write still leaves a complete (empty) gzip file.
  HRESULT result = Start(z);
  if (result == S_OK) result = DeflateFinish(z, delegate());
  if (result == S_OK) result = End(z);
  if (result != S_OK) z.failure = result;
  return result;
}

}  // namespace calendar_mirrow_addin
