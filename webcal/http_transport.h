#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/hresult.h"
#include "platform/com/stream.h"
#include "platform/http.h"
#include "webcal/stub_stream.h"
#include "webcal/url.h"

namespace calendar_mirrow_addin {

// Request methods.
inline constexpr wchar_t kHttpMethodGet[] = L"GET";
inline constexpr wchar_t kHttpMethodPost[] = L"POST";
inline constexpr wchar_t kHttpMethodPut[] = L"PUT";
inline constexpr wchar_t kHttpMethodDelete[] = L"DELETE";

// Content types.
inline constexpr wchar_t kContentTypeAtom[] = L"application/atom+xml";
inline constexpr wchar_t kContentTypeForm[] = L"application/x-www-form-urlencoded";

// Key-store keys of the proxy credentials the user last had accepted.
inline constexpr wchar_t kProxyUserNameKey[] = L"INTERNET_OPTION_PROXY_USERNAME";
inline constexpr wchar_t kProxyPasswordKey[] = L"INTERNET_OPTION_PROXY_PASSWORD";

// Every request goes over HTTPS to port 443, whatever scheme and port the URL names. Extra
// headers are header lines separated by line breaks; bodies are sent as UTF-8. A proxy that
// wants credentials gets the remembered ones first, then what the user types at the
// proxy-credential prompt; credentials it accepts are remembered. `status` receives the
// status of the last response whenever one arrived.

// One request; the whole body is decoded from UTF-8 into `response`. True when the body
// was read to its end (whatever the status); redirects are not followed.
bool HttpRequest(platform::HttpSession* session, const Url& url, const std::wstring& method,
                 const std::wstring& content_type, const std::wstring& headers,
                 const std::wstring& body, std::wstring* response, uint32_t* status);

// HttpRequest with the Atom content type that follows one 302: the request is repeated at
// the Location (resolved against the URL requested when it is relative), which is written
// to `final_url` (untouched when there was no redirect). The extra headers are repeated only
// when the Location has the scheme, host and port of the URL requested. A second 302 is
// returned as it is.
bool HttpSend(platform::HttpSession* session, const Url& url, const std::wstring& method,
              const std::wstring& headers, const std::wstring& body, std::wstring* response,
              uint32_t* status, Url* final_url);

// A GET whose body is returned as a stream, decompressed when the server sent it with the
// Content-Encoding "gzip". The stream owns the request; null when no response arrived.
// Follows one 302 like HttpSend.
std::unique_ptr<StubStream> HttpGet(platform::HttpSession* session, const Url& url,
                                    const std::wstring& headers, uint32_t* status, Url* final_url);

// HttpGet without following redirects.
std::unique_ptr<StubStream> HttpGetOnce(platform::HttpSession* session, const Url& url,
                                        const std::wstring& headers, uint32_t* status);

// Appends "key=value" (unescaped) after "?" or, when the URL has a query already, "&".
// An empty URL when the result is no valid URL (too long, say).
Url AddQueryParameter(const Url& url, const std::wstring& key, const std::wstring& value);

// Reads `stream` to its end and decodes the bytes as UTF-8. S_OK only when the end was
// reached: a read that fails (any result but S_OK) gives E_FAIL, so that a body cut off by
// the network is never taken for the whole one. E_FAIL for a null stream.
HRESULT ReadStreamText(IStream* stream, std::wstring* text);

}  // namespace calendar_mirrow_addin
