#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace calendar_mirrow_addin::platform {

// One HTTP request as the transport hands it to the operating system's HTTP service.
struct HttpRequestSpec {
  std::string method;   // "GET", "POST", "PUT", "DELETE"
  std::string url;      // absolute URL, e.g. https://www.nexora.example:443/calendar/feeds
  std::string headers;  // extra header lines, separated by CR LF (or LF); may be empty
  std::string body;     // sent as is; empty sends no body
  // Credentials for a proxy that asks for them (407); used only when user is not empty.
  std::string proxy_user;
  std::string proxy_password;
};

// The answer to one request: the status and headers are in once Send returns; the body
// is fetched as the reader asks for it, so a reader that stops early stops the download.
// Destroying the exchange closes the request.
class HttpExchange {
 public:
  virtual ~HttpExchange() = default;
  // The HTTP status; a proxy's refusal to open the tunnel (e.g. 407) is reported as the
  // status too.
  virtual uint32_t status() const = 0;
  // The proxy (host and port, as the system names it, without credentials) when the status
  // is that proxy's refusal to open the tunnel; empty when the server answered.
  virtual std::string proxy() const { return std::string(); }
  // The value of a response header (name matched without regard to case); false when
  // the response has no such header.
  virtual bool Header(std::string_view name, std::string* value) const = 0;
  // Up to `size` body bytes; *read = 0 at the end of the body. False when the transfer
  // failed (connection cut, TLS error, time-out): a failure is never the end of data.
  virtual bool ReadBody(void* buffer, size_t size, size_t* read) = 0;
};

// The process-wide HTTP session: agent string, the system's proxy settings (the usual
// proxy environment variables; the proxy may ask for any authentication scheme it
// offers), TLS always verified. Redirects are not followed and bodies are not
// decompressed. A body that ends with the connection but without the server's TLS close
// message is a failed read: the end may have been forged or the body cut off.
class HttpSession {
 public:
  virtual ~HttpSession() = default;
  // Sends one request and waits for the response head. Null with `error` set when no
  // response arrived (connection refused, untrusted certificate, ...).
  virtual std::unique_ptr<HttpExchange> Send(const HttpRequestSpec& request,
                                             std::string* error) = 0;
};

// `ca_file` names extra certificate authorities to trust besides the system's (PEM);
// empty for none. A transfer that brings less than one byte a second for `stall_seconds`
// fails: the server is taken to be gone. Null with `error` set when the session cannot be
// opened.
std::unique_ptr<HttpSession> OpenHttpSession(const std::string& agent, const std::string& ca_file,
                                             std::string* error, long stall_seconds = 60);

}  // namespace calendar_mirrow_addin::platform
