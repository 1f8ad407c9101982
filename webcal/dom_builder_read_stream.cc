#include "webcal/dom_builder_read_stream.h"

#include <algorithm>
#include <limits>

#include "base/logger.h"

namespace calendar_mirrow_addin {

DomBuilderReadStream::DomBuilderReadStream(IStream* delegate, platform::XmlDocument* document)
    : DomBuilderReadStream(delegate, document->stream()) {}

DomBuilderReadStream::DomBuilderReadStream(IStream* delegate, IStream* document_stream)
    : StubDelegateStream(delegate, false), document_stream_(document_stream) {}

HRESULT DomBuilderReadStream::Read(void* buffer, ULONG size, ULONG* read) {
  ULONG ignored = 0;
  ULONG& count = read != nullptr ? *read : ignored;
  count = 0;
  ULONG got = 0;
  const HRESULT read_result = delegate()->Read(buffer, size, &got);
  if (read_result != S_OK) {
    LogSevere(L"Error reading from delegate");
    delegate_failed_ = true;
    return read_result;
  }
  if (got == 0) return S_OK;
  // A delegate cannot have filled more than the buffer it was given.
  got = std::min(got, size);
  ULONG written = 0;
  const HRESULT write_result = document_stream_->Write(buffer, got, &written);
  if (write_result != S_OK) {
    LogSevere(L"Error writing to DOM");
    return write_result;
  }
  if (written < got) {
    LogSevere(L"Not all bytes written to DOM");
    return E_FAIL;
  }
  constexpr int32_t kMost = std::numeric_limits<int32_t>::max();
  bytes_copied_ = got > ULONG(kMost - bytes_copied_) ? kMost : bytes_copied_ + int32_t(got);
  count = got;
  return S_OK;
}

}  // namespace calendar_mirrow_addin
