#include "webcal/http_transport.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "base/key_store.h"
#include "base/logger.h"
#include "base/text.h"
#include "platform/ui.h"
#include "webcal/gzip_read_stream.h"
#include "webcal/hinternet_read_stream.h"

namespace calendar_mirrow_addin {

namespace {

constexpr uint32_t kStatusFound = 302;
constexpr uint32_t kStatusProxyAuthenticationRequired = 407;
constexpr size_t kReadChunk = 8192;

enum class SendOutcome { kResponse, kNoResponse, kCancelled };

// The service is only ever reached over TLS on the standard port, whatever was configured.
Url ForceHttps(const Url& url) {
  Url forced = url;
  forced.SetScheme(L"https");
  forced.SetPort(443);
  return forced;
}

std::string RequestUrl(const Url& url) {
  const bool bracket = url.host().find(L':') != std::wstring::npos;
  const std::wstring host = bracket ? L"[" + url.host() + L"]" : url.host();
  return WideToUtf8(url.scheme() + L"://" + host + L":" + DecimalText(url.port()) + url.Target());
}

platform::HttpRequestSpec BuildRequest(const Url& url, const std::wstring& method,
                                       const std::wstring& content_type,
                                       const std::wstring& headers, const std::wstring& body) {
  platform::HttpRequestSpec request;
  request.method = WideToUtf8(method);
  request.url = RequestUrl(url);
  if (!content_type.empty()) request.headers = "Content-Type: " + WideToUtf8(content_type) + "\r\n";
  request.headers += WideToUtf8(headers);
  request.body = WideToUtf8(body);
  return request;
}

std::unique_ptr<platform::HttpExchange> Attempt(platform::HttpSession* session,
                                                const platform::HttpRequestSpec& request,
                                                uint32_t* status) {
  std::string error;
  std::unique_ptr<platform::HttpExchange> exchange = session->Send(request, &error);
  if (exchange) *status = exchange->status();
  return exchange;
}

void UseRememberedCredentials(platform::HttpRequestSpec* request) {
  KeyStore* store = GetKeyStore();
  if (store == nullptr) return;
  request->proxy_user = WideToUtf8(store->Get(kProxyUserNameKey));
  request->proxy_password = WideToUtf8(store->Get(kProxyPasswordKey));
}

void RememberCredentials(const platform::HttpRequestSpec& request) {
  KeyStore* store = GetKeyStore();
  if (store == nullptr) return;
  store->Set(kProxyUserNameKey, Utf8ToWide(request.proxy_user));
  store->Set(kProxyPasswordKey, Utf8ToWide(request.proxy_password));
}

// The prompt names the proxy that refused and starts from the credentials tried last, so
// the user sees the name rejected.
bool AskUser(const platform::HttpExchange& refusal, platform::HttpRequestSpec* request) {
  if (platform::PromptProxyCredentials(refusal.proxy(), &request->proxy_user,
                                       &request->proxy_password)) {
    return true;
  }
  LogInfo(L"User cancels");
  return false;
}

// Sends the request, answering a proxy's 407 with remembered credentials, then with what
// the user types (twice at most). Credentials that got through are remembered.
SendOutcome SendWithProxyAuthentication(platform::HttpSession* session,
                                        platform::HttpRequestSpec request, uint32_t* status,
                                        std::unique_ptr<platform::HttpExchange>* response) {
  auto exchange = Attempt(session, request, status);
  if (!exchange) return SendOutcome::kNoResponse;
  if (exchange->status() != kStatusProxyAuthenticationRequired) {
    *response = std::move(exchange);
    return SendOutcome::kResponse;
  }
  LogInfo(L"Need to use proxy authentication.");
  UseRememberedCredentials(&request);
  if (request.proxy_user.empty()) {
    LogInfo(L"Requesting credentials from user");
    if (!AskUser(*exchange, &request)) return SendOutcome::kCancelled;
  } else {
    LogInfo(L"Using cached proxy credentials");
  }
  exchange.reset();
  exchange = Attempt(session, request, status);
  if (!exchange) return SendOutcome::kNoResponse;
  if (exchange->status() == kStatusProxyAuthenticationRequired) {
    LogInfo(L"Requesting credentials take 2");
    if (!AskUser(*exchange, &request)) return SendOutcome::kCancelled;
    exchange.reset();
    exchange = Attempt(session, request, status);
    if (!exchange) return SendOutcome::kNoResponse;
    if (exchange->status() == kStatusProxyAuthenticationRequired) {
      LogInfo(L"Credentials are wrong again");
      return SendOutcome::kNoResponse;
    }
  }
  RememberCredentials(request);
  *response = std::move(exchange);
  return SendOutcome::kResponse;
}

// Only the exact, lower-case coding name marks a compressed body; anything else is handed
// on as it came.
std::unique_ptr<StubStream> BodyStream(std::unique_ptr<platform::HttpExchange> exchange) {
  std::string encoding;
  const bool compressed = exchange->Header("Content-Encoding", &encoding) && encoding == "gzip";
  auto raw = std::make_unique<HInternetReadStream>(std::move(exchange));
  if (!compressed) return raw;
  return std::make_unique<GZipReadStream>(raw.release(), true);
}

// The steps every operation shares: forced HTTPS, the log line, the send with proxy
// authentication and the body stream. `location` receives the Location header if any.
std::unique_ptr<StubStream> OpenResponse(platform::HttpSession* session, const Url& url,
                                         const std::wstring& method,
                                         const std::wstring& content_type,
                                         const std::wstring& headers, const std::wstring& body,
                                         uint32_t* status, std::optional<std::string>* location) {
  const Url target = ForceHttps(url);
  LogInfo(L"Sending " + method + L" request to " + target.ToString());
  if (session == nullptr) return nullptr;
  std::unique_ptr<platform::HttpExchange> exchange;
  const SendOutcome outcome = SendWithProxyAuthentication(
      session, BuildRequest(target, method, content_type, headers, body), status, &exchange);
  if (outcome == SendOutcome::kCancelled) LogInfo(L"User cancels");
  if (outcome != SendOutcome::kResponse) return nullptr;
  std::string value;
  if (exchange->Header("Location", &value)) *location = std::move(value);
  return BodyStream(std::move(exchange));
}

// The target of a redirect from `requested`, which may be given relative to it, and the
// extra headers to send there. They carry the log-in token, so they go along only when the
// target has the origin of the URL actually requested; elsewhere `headers_out` is empty.
bool FollowLocation(const Url& requested, const std::optional<std::string>& location,
                    const std::wstring& headers, Url* target, std::wstring* headers_out) {
  const Url base = ForceHttps(requested);
  if (!location.has_value() || !base.Resolve(Utf8ToWide(*location), target)) return false;
  if (base.SameOrigin(*target)) {
    *headers_out = headers;
  } else {
    LogInfo(L"Redirected to another origin: the request headers are not sent there");
    headers_out->clear();
  }
  return true;
}

}  // namespace

bool HttpRequest(platform::HttpSession* session, const Url& url, const std::wstring& method,
                 const std::wstring& content_type, const std::wstring& headers,
                 const std::wstring& body, std::wstring* response, uint32_t* status) {
  std::optional<std::string> location;
  auto stream = OpenResponse(session, url, method, content_type, headers, body, status, &location);
  return stream && ReadStreamText(stream.get(), response) == S_OK;
}

bool HttpSend(platform::HttpSession* session, const Url& url, const std::wstring& method,
              const std::wstring& headers, const std::wstring& body, std::wstring* response,
              uint32_t* status, Url* final_url) {
  std::optional<std::string> location;
  auto stream =
      OpenResponse(session, url, method, kContentTypeAtom, headers, body, status, &location);
  if (!stream || ReadStreamText(stream.get(), response) != S_OK) return false;
  if (*status != kStatusFound) return true;
  stream.reset();
  Url next;
  std::wstring next_headers;
  if (!FollowLocation(url, location, headers, &next, &next_headers)) return false;
  if (final_url != nullptr) *final_url = next;
  return HttpRequest(session, next, method, kContentTypeAtom, next_headers, body, response, status);
}

std::unique_ptr<StubStream> HttpGet(platform::HttpSession* session, const Url& url,
                                    const std::wstring& headers, uint32_t* status, Url* final_url) {
  std::optional<std::string> location;
  auto stream = OpenResponse(session, url, kHttpMethodGet, L"", headers, L"", status, &location);
  if (!stream || *status != kStatusFound) return stream;
  stream.reset();
  Url next;
  std::wstring next_headers;
  if (!FollowLocation(url, location, headers, &next, &next_headers)) return nullptr;
  if (final_url != nullptr) *final_url = next;
  return HttpGetOnce(session, next, next_headers, status);
}

std::unique_ptr<StubStream> HttpGetOnce(platform::HttpSession* session, const Url& url,
                                        const std::wstring& headers, uint32_t* status) {
  std::optional<std::string> location;
  return OpenResponse(session, url, kHttpMethodGet, L"", headers, L"", status, &location);
}

Url AddQueryParameter(const Url& url, const std::wstring& key, const std::wstring& value) {
  std::wstring text = url.ToString();
  text += text.find(L'?') == std::wstring::npos ? L"?" : L"&";
  text += key + L"=" + value;
  Url result;
  result.Parse(text);
  return result;
}

HRESULT ReadStreamText(IStream* stream, std::wstring* text) {
  if (stream == nullptr) return E_FAIL;
  std::string bytes;
  char chunk[kReadChunk];
  for (;;) {
    ULONG read = 0;
    // S_FALSE is what a gzip stream reports when the network under it failed: not an end.
    if (stream->Read(chunk, sizeof chunk, &read) != S_OK) return E_FAIL;
    if (read == 0) break;
    bytes.append(chunk, std::min<size_t>(read, sizeof chunk));
  }
  *text = Utf8ToWide(bytes);
  return S_OK;
}

}  // namespace calendar_mirrow_addin
