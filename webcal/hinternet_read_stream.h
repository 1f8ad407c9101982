#pragma once

#include <memory>

#include "platform/http.h"
#include "webcal/stub_stream.h"

namespace calendar_mirrow_addin {

// The body of an HTTP response as a stream. It owns the exchange (the request and its
// connection) and closes it when destroyed.
class HInternetReadStream : public StubStream {
 public:
  explicit HInternetReadStream(std::unique_ptr<platform::HttpExchange> exchange);

  // S_OK with the bytes read (0 at the end of the body); E_FAIL when the transfer failed.
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;

  platform::HttpExchange* exchange() const { return exchange_.get(); }

 private:
  std::unique_ptr<platform::HttpExchange> exchange_;
};

}  // namespace calendar_mirrow_addin
