#include "webcal/url.h"

#include <algorithm>
#include <cwctype>
#include <vector>

#include "base/text.h"

namespace calendar_mirrow_addin {

namespace {

// Space and control characters never belong in a URL; letting them through would let a
// configured value smuggle extra lines into the request.
bool HasForbiddenCharacter(std::wstring_view text) {
  return std::any_of(text.begin(), text.end(), [](wchar_t c) { return c <= 0x20 || c == 0x7F; });
}

bool IsSchemeText(std::wstring_view scheme) {
  if (scheme.empty() || scheme.size() > Url::kMaxScheme) return false;
  if (!std::iswalpha(static_cast<wint_t>(scheme[0])) || scheme[0] > 0x7F) return false;
  return std::all_of(scheme.begin(), scheme.end(), [](wchar_t c) {
    return c <= 0x7F &&
           (std::iswalnum(static_cast<wint_t>(c)) || c == L'+' || c == L'-' || c == L'.');
  });
}

bool IsPathText(std::wstring_view path) {
  if (path.size() > Url::kMaxPath || HasForbiddenCharacter(path)) return false;
  if (!path.empty() && path[0] != L'/') return false;
  return path.find_first_of(L"?#") == std::wstring_view::npos;
}

// A decimal port of 1 to 65535; an empty text stands for the scheme's default.
bool ParsePort(std::wstring_view text, uint16_t default_port, uint16_t* port) {
  if (text.empty()) {
    *port = default_port;
    return true;
  }
  if (text.size() > 5) return false;
  uint32_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<uint32_t>(c - L'0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// Splits "host[:port]" or "[v6-address][:port]" into the host and the port text.
bool SplitAuthority(std::wstring_view authority, std::wstring_view* host, std::wstring_view* port) {
  *port = {};
  if (!authority.empty() && authority[0] == L'[') {
    const size_t close = authority.find(L']');
    if (close == std::wstring_view::npos) return false;
    *host = authority.substr(1, close - 1);
    std::wstring_view rest = authority.substr(close + 1);
    if (!rest.empty() && rest[0] != L':') return false;
    if (!rest.empty()) *port = rest.substr(1);
    return true;
  }
  const size_t colon = authority.find(L':');
  *host = authority.substr(0, colon);
  if (colon != std::wstring_view::npos) *port = authority.substr(colon + 1);
  return host->find(L':') == std::wstring_view::npos;
}

// RFC 3986 "remove_dot_segments" for an absolute path: "." segments go, ".." removes the
// segment before it (never above the root). A path ending in "." or ".." keeps its slash.
std::wstring RemoveDotSegments(std::wstring_view path) {
  std::vector<std::wstring_view> kept;
  bool trailing_slash = false;
  for (size_t start = 1; start <= path.size();) {
    const size_t end = std::min(path.find(L'/', start), path.size());
    const std::wstring_view segment = path.substr(start, end - start);
    const bool last = end == path.size();
    if (segment == L"." || segment == L"..") {
      if (segment == L".." && !kept.empty()) kept.pop_back();
      trailing_slash = last;
    } else {
      kept.push_back(segment);
    }
    start = end + 1;
  }
  std::wstring out;
  for (const std::wstring_view segment : kept) out.append(L"/").append(segment);
  if (out.empty() || trailing_slash) out += L'/';
  return out;
}

// A reference that starts with "scheme:" is absolute.
bool HasScheme(std::wstring_view reference) {
  const size_t colon = reference.find(L':');
  return colon != std::wstring_view::npos && colon < reference.find_first_of(L"/?#") &&
         IsSchemeText(reference.substr(0, colon));
}

}  // namespace

uint16_t Url::DefaultPort(std::wstring_view scheme) {
  const std::wstring lower = ToLower(scheme);
  if (lower == L"https") return 443;
  if (lower == L"http") return 80;
  return 0;
}

bool Url::Parse(std::wstring_view text) {
  if (HasForbiddenCharacter(text)) return false;
  const size_t separator = text.find(L"://");
  if (separator == std::wstring_view::npos) return false;
  const std::wstring_view scheme = text.substr(0, separator);
  if (!IsSchemeText(scheme)) return false;

  const std::wstring_view rest = text.substr(separator + 3);
  const size_t authority_end = std::min(rest.find_first_of(L"/?#"), rest.size());
  const std::wstring_view authority = rest.substr(0, authority_end);
  // User information has no place in this value; refusing it beats dropping it.
  if (authority.find(L'@') != std::wstring_view::npos) return false;
  std::wstring_view host;
  std::wstring_view port_text;
  if (!SplitAuthority(authority, &host, &port_text)) return false;
  if (host.empty() || host.size() > kMaxHost) return false;
  uint16_t port = 0;
  if (!ParsePort(port_text, DefaultPort(scheme), &port)) return false;

  const std::wstring_view target = rest.substr(authority_end);
  const size_t extra_start = std::min(target.find_first_of(L"?#"), target.size());
  const std::wstring_view path = target.substr(0, extra_start);
  const std::wstring_view extra = target.substr(extra_start);
  if (!IsPathText(path) || extra.size() > kMaxExtra) return false;

  scheme_ = ToLower(scheme);
  host_ = host;
  port_ = port;
  path_ = path;
  extra_ = extra;
  return true;
}

bool Url::Resolve(std::wstring_view reference, Url* resolved) const {
  Url result;
  if (HasScheme(reference)) {
    if (!result.Parse(reference)) return false;
  } else if (reference.substr(0, 2) == L"//") {
    if (!result.Parse(scheme_ + L":" + std::wstring(reference))) return false;
  } else {
    const size_t extra_start = std::min(reference.find_first_of(L"?#"), reference.size());
    const std::wstring_view path = reference.substr(0, extra_start);
    const std::wstring_view extra = reference.substr(extra_start);
    std::wstring target;
    if (path.empty()) {
      target = path_;
      // Without a query of its own the reference keeps this URL's query, not its fragment.
      if (extra.empty() || extra[0] == L'#') {
        target += std::wstring_view(extra_).substr(0, extra_.find(L'#'));
      }
    } else if (path[0] == L'/') {
      target = RemoveDotSegments(path);
    } else {
      const size_t slash = path_.rfind(L'/');
      const std::wstring base = slash == std::wstring::npos ? L"/" : path_.substr(0, slash + 1);
      target = RemoveDotSegments(base + std::wstring(path));
    }
    result = *this;
    result.path_.clear();
    result.extra_.clear();
    // Parsing the joined text checks the parts as a whole URL would be checked.
    if (!result.Parse(result.ToString() + target + std::wstring(extra))) return false;
  }
  *resolved = std::move(result);
  return true;
}

bool Url::SameOrigin(const Url& other) const {
  return scheme_ == other.scheme_ && ToLower(host_) == ToLower(other.host_) && port_ == other.port_;
}

std::wstring Url::ToString() const {
  std::wstring text = scheme_ + L"://";
  const bool bracket = host_.find(L':') != std::wstring::npos;
  text += bracket ? L"[" + host_ + L"]" : host_;
  if (port_ != DefaultPort(scheme_)) text += L":" + DecimalText(port_);
  return text + path_ + extra_;
}

std::wstring Url::Target() const {
  // A fragment only means something to the client; it is not part of the request.
  const std::wstring query = extra_.substr(0, extra_.find(L'#'));
  return (path_.empty() ? std::wstring(L"/") : path_) + query;
}

bool Url::SetScheme(std::wstring_view scheme) {
  if (!IsSchemeText(scheme)) return false;
  scheme_ = ToLower(scheme);
  return true;
}

bool Url::SetPath(std::wstring_view path) {
  if (!IsPathText(path)) return false;
  path_ = path;
  return true;
}

}  // namespace calendar_mirrow_addin
