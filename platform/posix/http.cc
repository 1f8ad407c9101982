// The HTTP session over libcurl's multi interface. One easy handle per request, all of them
// in the session's multi handle so that kept-alive connections are reused between requests.
// The body is pulled: curl is driven only while the reader waits for bytes, and the
// transfer is paused whenever the reader's buffer is full. Like the handles it stands for,
// a session and its exchanges are used by one thread at a time (the sync worker).

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/http.h"

namespace calendar_mirrow_addin::platform {

namespace {

constexpr long kConnectTimeoutSeconds = 30;
// Less than one byte a second for the session's stall time means the peer is gone. Paused
// transfers (a reader busy elsewhere) are not counted as slow by curl.
constexpr long kLowSpeedBytesPerSecond = 1;
// Upper bound of one wait for socket activity; curl shortens it when its timers need.
constexpr int kPollMilliseconds = 1000;
// Large receive blocks let most reads be served from the leftovers without calling curl.
constexpr long kReceiveBufferBytes = 128 * 1024;
// The system's certificate store, kept trusted when extra authorities are configured.
constexpr char kSystemCertificateFolder[] = "/etc/ssl/certs";

bool InitializeCurl(std::string* error) {
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code == CURLE_OK) return true;
  if (error) *error = curl_easy_strerror(code);
  return false;
}

std::string_view TrimSpace(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// "HTTP/1.1 302 Found" gives 302; 0 when the line holds no status.
uint32_t ParseStatusLine(std::string_view line) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || line.size() < space + 4) return 0;
  uint32_t status = 0;
  for (char c : line.substr(space + 1, 3)) {
    if (c < '0' || c > '9') return 0;
    status = status * 10 + static_cast<uint32_t>(c - '0');
  }
  return status;
}

// The proxy curl takes from the environment for an https URL, as "host[:port]": scheme,
// user name and password (which must never be shown) and any path left out.
std::string ProxyShownName() {
  const char* value = nullptr;
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') break;
  }
  std::string_view text = value != nullptr ? value : "";
  const size_t scheme_end = text.find("://");
  if (scheme_end != std::string_view::npos) text.remove_prefix(scheme_end + 3);
  text = text.substr(0, text.find_first_of("/?#"));
  const size_t at = text.rfind('@');
  if (at != std::string_view::npos) text.remove_prefix(at + 1);
  return std::string(text);
}

// ---- Whether the server ended TLS with its close message.
//
// libcurl takes a connection that just ends for the end of the data. For a body whose end
// is the end of the connection (no length, no chunks) that would pass a cut-off, or
// forged-short, body as whole: only the server's TLS close message marks a real end. Each
// TLS connection carries a record, shared with the exchanges that use it, that notes the
// close message when it arrives.
struct TlsEnd {
  bool close_message = false;
};
using TlsEndRecord = std::shared_ptr<TlsEnd>;

void FreeTlsEndRecord(void*, void* record, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<TlsEndRecord*>(record);
}

int TlsEndIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, &FreeTlsEndRecord);
  return index;
}

void OnTlsEvent(const SSL* ssl, int where, int value) {
  if ((where & SSL_CB_READ_ALERT) != SSL_CB_READ_ALERT || (value & 0xff) != SSL_AD_CLOSE_NOTIFY) {
    return;
  }
  if (auto* record = static_cast<TlsEndRecord*>(SSL_get_ex_data(ssl, TlsEndIndex()))) {
    (*record)->close_message = true;
  }
}

CURLcode WatchTlsEnd(CURL*, void* ssl_context, void*) {
  SSL_CTX_set_info_callback(static_cast<SSL_CTX*>(ssl_context), &OnTlsEvent);
  return CURLE_OK;
}

// The record of the TLS connection `easy` uses now; null when there is none.
TlsEndRecord TlsEndOf(CURL* easy) {
  curl_tlssessioninfo* info = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || info == nullptr ||
      info->backend != CURLSSLBACKEND_OPENSSL || info->internals == nullptr) {
    return nullptr;
  }
  SSL* ssl = static_cast<SSL*>(info->internals);
  auto* record = static_cast<TlsEndRecord*>(SSL_get_ex_data(ssl, TlsEndIndex()));
  if (record == nullptr) {
    // Owned by the TLS connection from here on: FreeTlsEndRecord runs when it goes.
    record = new TlsEndRecord(std::make_shared<TlsEnd>());
    if (SSL_set_ex_data(ssl, TlsEndIndex(), record) != 1) {
      delete record;
      return nullptr;
    }
  }
  return *record;
}

// The multi handle owns the connection cache; exchanges share it with the session so
// that a stream outliving the session still works.
class Multi {
 public:
  Multi() : handle_(curl_multi_init()) {}
  ~Multi() {
    if (handle_ != nullptr) curl_multi_cleanup(handle_);
  }
  Multi(const Multi&) = delete;
  Multi& operator=(const Multi&) = delete;

  CURLM* get() const { return handle_; }

 private:
  CURLM* handle_;
};

class CurlExchange final : public HttpExchange {
 public:
  CurlExchange(std::shared_ptr<Multi> multi, const HttpRequestSpec& request)
      : multi_(std::move(multi)), request_(request) {}
  ~CurlExchange() override;

  // Starts the transfer and waits for the final response head.
  bool Start(const std::string& agent, const std::string& ca_file, long stall_seconds,
             std::string* error);

  uint32_t status() const override { return status_; }
  std::string proxy() const override { return proxy_; }
  bool Header(std::string_view name, std::string* value) const override;
  bool ReadBody(void* buffer, size_t size, size_t* read) override;

 private:
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static void CollectFinished(CURLM* multi);

  bool Configure(const std::string& agent, const std::string& ca_file, long stall_seconds);
  bool SetMethodAndBody();
  bool SetHeaderLines();
  void AddHeaderLine(std::string_view line);
  size_t Deliver(const char* data, size_t length);
  bool TakeLeftover(void* buffer, size_t size, size_t* read);
  template <typename Reached>
  void DriveUntil(Reached reached);
  void NoteBodyFraming();
  void Finish(CURLcode result);
  bool AcceptProxyRefusal();

  std::shared_ptr<Multi> multi_;
  HttpRequestSpec request_;  // curl reads the body from here while sending
  CURL* easy_ = nullptr;
  bool added_ = false;
  curl_slist* header_list_ = nullptr;
  char error_text_[CURL_ERROR_SIZE] = {};

  uint32_t status_ = 0;
  std::string proxy_;
  std::vector<std::pair<std::string, std::string>> headers_;
  bool head_complete_ = false;
  // The body has neither a length nor chunks: the end of the connection ends it.
  bool ends_with_connection_ = false;
  TlsEndRecord tls_end_;
  bool done_ = false;
  CURLcode result_ = CURLE_OK;

  // The reader's buffer while ReadBody drives curl; null otherwise.
  char* out_ = nullptr;
  size_t out_size_ = 0;
  size_t out_length_ = 0;
  bool paused_ = false;
  // Bytes of the last delivery that did not fit the reader's buffer.
  std::string leftover_;
  size_t leftover_position_ = 0;
};

CurlExchange::~CurlExchange() {
  // Removing an unfinished transfer closes its connection: the download stops here.
  if (added_) curl_multi_remove_handle(multi_->get(), easy_);
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  curl_slist_free_all(header_list_);
}

bool CurlExchange::Start(const std::string& agent, const std::string& ca_file, long stall_seconds,
                         std::string* error) {
  easy_ = curl_easy_init();
  if (easy_ == nullptr || !Configure(agent, ca_file, stall_seconds) ||
      curl_multi_add_handle(multi_->get(), easy_) != CURLM_OK) {
    if (error) *error = "cannot set up the request";
    return false;
  }
  added_ = true;
  DriveUntil([this] { return head_complete_ || done_; });
  if (head_complete_ || AcceptProxyRefusal()) return true;
  if (error == nullptr) return false;
  if (error_text_[0] != '\0') {
    *error = error_text_;
  } else {
    *error = result_ == CURLE_OK ? "no response" : curl_easy_strerror(result_);
  }
  return false;
}

// A proxy that refuses to open the tunnel (407 wanting credentials, 403, ...) answered
// the request: its status is reported like a server's, with an empty body.
bool CurlExchange::AcceptProxyRefusal() {
  long connect_code = 0;
  curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connect_code);
  if (connect_code < 300) return false;
  status_ = static_cast<uint32_t>(connect_code);
  proxy_ = ProxyShownName();
  headers_.clear();
  head_complete_ = true;
  result_ = CURLE_OK;
  return true;
}

bool CurlExchange::Configure(const std::string& agent, const std::string& ca_file,
                             long stall_seconds) {
  bool ok = curl_easy_setopt(easy_, CURLOPT_URL, request_.url.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
  curl_easy_setopt(easy_, CURLOPT_PRIVATE, static_cast<void*>(this));
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_text_);
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
  ok = ok && curl_easy_setopt(easy_, CURLOPT_SSL_CTX_FUNCTION, &WatchTlsEnd) == CURLE_OK;
  if (!ca_file.empty()) {
    ok = ok && curl_easy_setopt(easy_, CURLOPT_CAINFO, ca_file.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy_, CURLOPT_CAPATH, kSystemCertificateFolder) == CURLE_OK;
  }
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
  curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, stall_seconds);
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  // The proxy's own answer to CONNECT is not the server's response head.
  curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // Whatever the proxy asks for: Basic, Digest, NTLM or Negotiate.
  curl_easy_setopt(easy_, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
  if (!request_.proxy_user.empty()) {
    curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, request_.proxy_user.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD, request_.proxy_password.c_str());
  }
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlExchange::OnHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, static_cast<void*>(this));
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlExchange::OnBody);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, static_cast<void*>(this));
  return ok && SetMethodAndBody() && SetHeaderLines();
}

bool CurlExchange::SetMethodAndBody() {
  if (request_.method == "GET" && request_.body.empty()) {
    return curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  }
  if (request_.method == "HEAD") return curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L) == CURLE_OK;
  const auto size = static_cast<curl_off_t>(request_.body.size());
  return curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, size) == CURLE_OK &&
         curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, request_.body.data()) == CURLE_OK &&
         curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, request_.method.c_str()) == CURLE_OK;
}

bool CurlExchange::SetHeaderLines() {
  bool has_content_type = false;
  std::string_view rest = request_.headers;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    const std::string line(TrimSpace(rest.substr(0, end)));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.empty()) continue;
    has_content_type = has_content_type || StartsWithNoCase(line, "Content-Type:");
    header_list_ = curl_slist_append(header_list_, line.c_str());
  }
  // Without these, curl would label a body as a form and hold it back for a 100-continue.
  if (!has_content_type) header_list_ = curl_slist_append(header_list_, "Content-Type:");
  header_list_ = curl_slist_append(header_list_, "Expect:");
  return header_list_ != nullptr &&
         curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, header_list_) == CURLE_OK;
}

size_t CurlExchange::OnHeader(char* data, size_t size, size_t count, void* self) {
  static_cast<CurlExchange*>(self)->AddHeaderLine(std::string_view(data, size * count));
  return size * count;
}

void CurlExchange::AddHeaderLine(std::string_view line) {
  if (head_complete_) return;  // trailers after a chunked body
  line = TrimSpace(line);
  if (StartsWithNoCase(line, "HTTP/")) {
    // A new head (after a 100 Continue, say) replaces what came before.
    headers_.clear();
    status_ = ParseStatusLine(line);
    return;
  }
  if (line.empty()) {
    head_complete_ = status_ >= 200;
    if (head_complete_) NoteBodyFraming();
    return;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  headers_.emplace_back(std::string(TrimSpace(line.substr(0, colon))),
                        std::string(TrimSpace(line.substr(colon + 1))));
}

void CurlExchange::NoteBodyFraming() {
  std::string coding;
  Header("Transfer-Encoding", &coding);
  std::transform(coding.begin(), coding.end(), coding.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string length;
  ends_with_connection_ = coding.find("chunked") == std::string::npos &&
                          !Header("Content-Length", &length) && status_ != 204 && status_ != 304 &&
                          request_.method != "HEAD";
  tls_end_ = TlsEndOf(easy_);
}

bool CurlExchange::Header(std::string_view name, std::string* value) const {
  for (const auto& [key, text] : headers_) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) {
      *value = text;
      return true;
    }
  }
  return false;
}

size_t CurlExchange::OnBody(char* data, size_t size, size_t count, void* self) {
  return static_cast<CurlExchange*>(self)->Deliver(data, size * count);
}

size_t CurlExchange::Deliver(const char* data, size_t length) {
  if (out_ == nullptr || out_length_ == out_size_) {
    // Nobody is asking: curl keeps these bytes and offers them again after unpausing.
    paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  const size_t taken = std::min(length, out_size_ - out_length_);
  std::memcpy(out_ + out_length_, data, taken);
  out_length_ += taken;
  leftover_.append(data + taken, length - taken);
  return length;
}

bool CurlExchange::TakeLeftover(void* buffer, size_t size, size_t* read) {
  if (leftover_position_ == leftover_.size()) return false;
  const size_t taken = std::min(size, leftover_.size() - leftover_position_);
  std::memcpy(buffer, leftover_.data() + leftover_position_, taken);
  leftover_position_ += taken;
  if (leftover_position_ == leftover_.size()) {
    leftover_.clear();
    leftover_position_ = 0;
  }
  *read = taken;
  return true;
}

bool CurlExchange::ReadBody(void* buffer, size_t size, size_t* read) {
  *read = 0;
  if (size == 0) return !done_ || result_ == CURLE_OK;
  if (TakeLeftover(buffer, size, read)) return true;
  if (done_) return result_ == CURLE_OK;
  out_ = static_cast<char*>(buffer);
  out_size_ = size;
  out_length_ = 0;
  if (paused_) {
    paused_ = false;
    const CURLcode code = curl_easy_pause(easy_, CURLPAUSE_CONT);
    if (code != CURLE_OK) Finish(code);
  }
  DriveUntil([this] { return out_length_ > 0 || done_; });
  out_ = nullptr;
  *read = out_length_;
  return out_length_ > 0 || result_ == CURLE_OK;
}

template <typename Reached>
void CurlExchange::DriveUntil(Reached reached) {
  CURLM* multi = multi_->get();
  while (!reached()) {
    int running = 0;
    const CURLMcode code = curl_multi_perform(multi, &running);
    if (code != CURLM_OK) {
      std::snprintf(error_text_, sizeof error_text_, "%s", curl_multi_strerror(code));
      Finish(CURLE_RECV_ERROR);
      return;
    }
    CollectFinished(multi);
    if (reached()) return;
    curl_multi_poll(multi, nullptr, 0, kPollMilliseconds, nullptr);
  }
}

// Finished transfers may belong to any exchange of the session; each learns its own.
void CurlExchange::CollectFinished(CURLM* multi) {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    char* owner = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
    if (owner != nullptr) reinterpret_cast<CurlExchange*>(owner)->Finish(message->data.result);
  }
}

void CurlExchange::Finish(CURLcode result) {
  done_ = true;
  result_ = result;
  const bool secure = request_.url.rfind("https:", 0) == 0;
  if (result == CURLE_OK && ends_with_connection_ && secure &&
      !(tls_end_ && tls_end_->close_message)) {
    std::snprintf(error_text_, sizeof error_text_, "%s",
                  "the connection ended without the server's TLS close message");
    result_ = CURLE_PARTIAL_FILE;
  }
}

class CurlSession final : public HttpSession {
 public:
  CurlSession(std::string agent, std::string ca_file, long stall_seconds,
              std::shared_ptr<Multi> multi)
      : agent_(std::move(agent)),
        ca_file_(std::move(ca_file)),
        stall_seconds_(stall_seconds),
        multi_(std::move(multi)) {}

  std::unique_ptr<HttpExchange> Send(const HttpRequestSpec& request, std::string* error) override {
    auto exchange = std::make_unique<CurlExchange>(multi_, request);
    if (!exchange->Start(agent_, ca_file_, stall_seconds_, error)) return nullptr;
    return exchange;
  }

 private:
  std::string agent_;
  std::string ca_file_;
  long stall_seconds_;
  std::shared_ptr<Multi> multi_;
};

}  // namespace

std::unique_ptr<HttpSession> OpenHttpSession(const std::string& agent, const std::string& ca_file,
                                             std::string* error, long stall_seconds) {
  if (!InitializeCurl(error)) return nullptr;
  // A missing authority file would otherwise surface later as every server being untrusted.
  if (!ca_file.empty() && access(ca_file.c_str(), R_OK) != 0) {
    if (error) *error = "cannot read the certificate authority file " + ca_file;
    return nullptr;
  }
  auto multi = std::make_shared<Multi>();
  if (multi->get() == nullptr) {
    if (error) *error = "cannot create the transfer engine";
    return nullptr;
  }
  return std::make_unique<CurlSession>(agent, ca_file, stall_seconds, std::move(multi));
}

}  // namespace calendar_mirrow_addin::platform
