#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace calendar_mirrow_addin {

// An absolute URL split into the parts the transport needs: scheme, host, port, path and
// the extra information (the query with its "?", and a fragment if any). Every part has a
// fixed capacity; text that does not fit is refused rather than cut, so a URL is never
// silently shortened into a different one.
class Url {
 public:
  static constexpr size_t kMaxScheme = 32;
  static constexpr size_t kMaxHost = 256;
  static constexpr size_t kMaxPath = 2048;
  static constexpr size_t kMaxExtra = 2048;

  // The port a scheme uses when the URL names none: 443 for https, 80 for http, else 0.
  static uint16_t DefaultPort(std::wstring_view scheme);

  // Replaces this value with the parts of `text` ("scheme://host[:port][/path][?query]").
  // False, leaving the value as it was, when the text is no absolute URL, holds user
  // information, white space or control characters, or a part exceeds its capacity.
  bool Parse(std::wstring_view text);

  // The absolute URL a reference (a Location header, say) stands for when read against this
  // URL, by RFC 3986 reference resolution: "other", "../up", "/root", "?query",
  // "//host/path" and absolute URLs. False, leaving `resolved` as it was, when the result is
  // no URL that Parse accepts.
  bool Resolve(std::wstring_view reference, Url* resolved) const;

  // True when both have the same scheme, host (ignoring case) and port.
  bool SameOrigin(const Url& other) const;

  // The URL as text; the port appears only when it differs from the scheme's default, so
  // that parsing and rendering give back the text a user configured.
  std::wstring ToString() const;

  // The request target: the path (at least "/") followed by the extra information.
  std::wstring Target() const;

  // Setters refuse text that would not be parsed back into the same part.
  bool SetScheme(std::wstring_view scheme);
  void SetPort(uint16_t port) { port_ = port; }
  bool SetPath(std::wstring_view path);

  const std::wstring& scheme() const { return scheme_; }
  const std::wstring& host() const { return host_; }
  uint16_t port() const { return port_; }
  const std::wstring& path() const { return path_; }
  const std::wstring& extra() const { return extra_; }

 private:
  std::wstring scheme_;
  std::wstring host_;
  uint16_t port_ = 0;
  std::wstring path_;
  std::wstring extra_;
};

}  // namespace calendar_mirrow_addin
