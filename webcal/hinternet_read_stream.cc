#include "webcal/hinternet_read_stream.h"

#include <algorithm>
#include <utility>

namespace calendar_mirrow_addin {

HInternetReadStream::HInternetReadStream(std::unique_ptr<platform::HttpExchange> exchange)
    : exchange_(std::move(exchange)) {}

HRESULT HInternetReadStream::Read(void* buffer, ULONG size, ULONG* read) {
  if (read != nullptr) *read = 0;
  if (exchange_ == nullptr) return E_FAIL;
  size_t count = 0;
  if (!exchange_->ReadBody(buffer, size, &count)) return E_FAIL;
  // Never report more than the caller's buffer holds, whatever the transfer claims.
  if (read != nullptr) *read = static_cast<ULONG>(std::min<size_t>(count, size));
  return S_OK;
}

}  // namespace calendar_mirrow_addin
