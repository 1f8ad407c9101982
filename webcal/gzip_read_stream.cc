#include "webcal/gzip_read_stream.h"

#include <zlib.h>

#include <algorithm>

namespace calendar_mirrow_addin {

namespace {

constexpr uint32_t kInputSize = 16384;
// Window bits for zlib that accept the gzip format only.
constexpr int kGZipWindowBits = 31;

// How one pass over the current gzip member stopped.
enum class Stop { kBufferFull, kMemberEnd, kInputEnd };

}  // namespace

struct GZipInflater {
  uint8_t input[kInputSize];
  uint32_t filled = 0;
  uint32_t consumed = 0;
  z_stream stream{};
  bool initialised = false;
  // The first failure; the position in the data is lost after it, so it is final.
  HRESULT failure = S_OK;
};

namespace {

HRESULT Start(GZipInflater& z) {
  if (z.initialised) return S_OK;
  z.stream = z_stream{};
  if (inflateInit2(&z.stream, kGZipWindowBits) != Z_OK) return E_FAIL;
  z.initialised = true;
  return S_OK;
}

HRESULT End(GZipInflater& z) {
  z.initialised = false;
  return inflateEnd(&z.stream) == Z_OK ? S_OK : E_FAIL;
}

HRESULT Refill(GZipInflater& z, IStream* delegate) {
  ULONG count = 0;
  if (delegate->Read(z.input, kInputSize, &count) != S_OK) return S_FALSE;
  // A delegate that claims more than it was asked for is held to the buffer's size.
  // (ULONG is unsigned long on Windows, hence the explicit type.)
  z.filled = static_cast<uint32_t>(std::min<ULONG>(count, kInputSize));
  z.consumed = 0;
  return S_OK;
}

// Inflates the unconsumed input into the output space already set on the stream.
HRESULT InflateInput(GZipInflater& z, Stop* stop) {
  z.stream.next_in = z.input + z.consumed;
  z.stream.avail_in = z.filled - z.consumed;
  const int result = inflate(&z.stream, Z_SYNC_FLUSH);
  z.consumed = z.filled - z.stream.avail_in;
  if (result == Z_STREAM_END) *stop = Stop::kMemberEnd;
  // Input and output space were both offered, so Z_BUF_ERROR means no progress can be made:
  // an error, never a reason to try again.
  return result == Z_OK || result == Z_STREAM_END ? S_OK : E_FAIL;
}

// Fills `buffer` from the current member until it is full, the member ends or the input does.
HRESULT InflateMember(GZipInflater& z, IStream* delegate, void* buffer, ULONG size, ULONG* produced,
                      Stop* stop) {
  if (Start(z) != S_OK) return E_FAIL;
  z.stream.next_out = static_cast<Bytef*>(buffer);
  z.stream.avail_out = size;
  *stop = Stop::kBufferFull;
  HRESULT result = S_OK;
  while (result == S_OK && z.stream.avail_out > 0 && *stop == Stop::kBufferFull) {
    if (z.consumed == z.filled) {
      if (Refill(z, delegate) != S_OK) return S_FALSE;
      if (z.filled == 0) {
        // The data ended. Between members that is the clean end; inside one it is truncated.
        if (z.stream.total_in > 0) return E_FAIL;
        *stop = Stop::kInputEnd;
        break;
      }
    }
    result = InflateInput(z, stop);
  }
  *produced = size - z.stream.avail_out;
  return result;
}

}  // namespace

GZipReadStream::GZipReadStream(IStream* delegate, bool owns)
    : StubDelegateStream(delegate, owns), inflater_(std::make_unique<GZipInflater>()) {}

GZipReadStream::~GZipReadStream() {
  if (inflater_->initialised) inflateEnd(&inflater_->stream);
}

HRESULT GZipReadStream::Read(void* buffer, ULONG size, ULONG* read) {
  if (read != nullptr) *read = 0;
  GZipInflater& z = *inflater_;
  if (z.failure != S_OK) return z.failure;
  if (size == 0) return S_OK;
  ULONG produced = 0;
  Stop stop = Stop::kBufferFull;
  // A member whose last step yields no bytes (only its trailer was left) goes straight on to
  // the next one, since 0 bytes from this read would tell the caller the data has ended.
  do {
    HRESULT result = InflateMember(z, delegate(), buffer, size, &produced, &stop);
    if (result == S_OK && stop == Stop::kMemberEnd) result = End(z);
    if (result != S_OK) {
      z.failure = result;
      return result;
    }
  } while (produced == 0 && stop == Stop::kMemberEnd);
  if (read != nullptr) *read = produced;
  return S_OK;
}

}  // namespace calendar_mirrow_addin
