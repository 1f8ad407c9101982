#include "webcal/nxcal_connection.h"

#include <cstdio>
#include <utility>

#include "base/key_store.h"
#include "base/logger.h"
#include "base/string_table.h"
#include "base/text.h"
#include "webcal/dom_builder_read_stream.h"
#include "webcal/http_transport.h"
#include "webcal/nxcal_schema.h"
#include "webcal/progress_content_handler.h"

namespace calendar_mirrow_addin {

namespace {

constexpr uint32_t kStatusOk = 200;
constexpr uint32_t kStatusCreated = 201;
constexpr uint32_t kStatusUnauthorized = 401;
constexpr uint32_t kStatusForbidden = 403;
constexpr uint32_t kStatusConflict = 409;
constexpr wchar_t kSessionParameter[] = L"nxsessionid";
constexpr wchar_t kMaxResults[] = L"25000";

void Remember(const wchar_t* key, const std::wstring& value) {
  if (KeyStore* store = GetKeyStore()) store->Set(key, value);
}

std::wstring Recall(const wchar_t* key) {
  KeyStore* store = GetKeyStore();
  return store != nullptr ? store->Get(key) : std::wstring();
}

// Every ">" followed by a line break, so that a dump shows one element per line.
std::wstring OneElementPerLine(const std::wstring& xml) {
  std::wstring out;
  out.reserve(xml.size() + xml.size() / 16);
  for (wchar_t c : xml) {
    out += c;
    if (c == L'>') out += L'\n';
  }
  return out;
}

bool IsAlphanumeric(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The UTF-8 bytes of `text`, each byte `keep` refuses written as "%" and two upper-case
// hexadecimal digits.
template <typename Keep>
std::wstring PercentEncode(std::wstring_view text, Keep keep) {
  std::wstring out;
  for (unsigned char c : WideToUtf8(text)) {
    if (keep(c)) {
      out += static_cast<wchar_t>(c);
    } else {
      wchar_t escaped[4];
      std::swprintf(escaped, 4, L"%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

// An entry id becomes one path segment: bytes that could change the path's meaning (a
// "/", "?", "%" or a segment of dots) are percent-encoded. Ids the service hands out need
// none of this.
std::wstring PathSegment(const std::wstring& id) {
  const bool dots_only = id.find_first_not_of(L'.') == std::wstring::npos;
  return PercentEncode(id, [dots_only](unsigned char c) {
    return IsAlphanumeric(c) || c == '-' || c == '_' || c == '~' || c == '@' ||
           (c == '.' && !dots_only);
  });
}

// The value of the query parameter `name` in a URL's text; none when absent.
bool QueryValue(const std::wstring& url, const std::wstring& name, std::wstring* value) {
  const std::wstring key = name + L"=";
  for (size_t at = url.find(key); at != std::wstring::npos; at = url.find(key, at + 1)) {
    if (at == 0 || (url[at - 1] != L'?' && url[at - 1] != L'&')) continue;
    const size_t begin = at + key.size();
    const size_t end = url.find(L'&', begin);
    *value = url.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
    return true;
  }
  return false;
}

int LevelFor(bool expected) { return expected ? Logger::VERBOSE : Logger::SEVERE; }

}  // namespace

NxCalConnection::NxCalConnection(platform::HttpSession* session, const std::wstring& calendar_id,
                                 const Url& service_url, const Url& accounts_url,
                                 const std::wstring& email, const std::wstring& password,
                                 const std::wstring& source)
    : session_(session),
      email_(email),
      password_(password),
      source_(source),
      feed_url_(service_url),
      login_url_(accounts_url) {
  // A calendar id that cannot be a path leaves the feed URL without one; the service then
  // answers 404 rather than some other calendar.
  if (!feed_url_.SetPath(L"/calendar/feeds/" + PathSegment(calendar_id) + L"/private/full")) {
    feed_url_.SetPath(L"");
  }
  login_url_.SetPath(L"/accounts/ClientLogin");
  if (Recall(kConnectionUserIdKey) == email_) {
    auth_token_ = Recall(kConnectionAuthTokenKey);
    session_id_ = Recall(kConnectionSessionIdKey);
  }
}

std::wstring NxCalConnection::UrlEncode(std::wstring_view text) {
  return PercentEncode(text, IsAlphanumeric);
}

std::wstring NxCalConnection::EntryId(const std::wstring& ical_uid) {
  const size_t own = ical_uid.find(std::wstring(L"@") + kServiceMailDomain);
  if (own != std::wstring::npos) return ical_uid.substr(0, own);
  // The bytes are the UTF-8 ones, as the service reads the UID; a code page that cannot
  // hold every character would give two UIDs the same entry.
  return L"_" + Base32Encoder().Encode(WideToUtf8(ical_uid));
}

std::wstring NxCalConnection::MakeHeaders(bool accept_gzip) const {
  std::wstring headers =
      L"Authorization: NexoraLogin auth=" + auth_token_ + L"\nUser-Agent:" + source_ + L"(gzip)";
  if (accept_gzip) headers += L"\nAccept-Encoding: gzip";
  return headers;
}

Url NxCalConnection::AddSessionId(const Url& url) const {
  if (session_id_.empty()) return url;
  return AddQueryParameter(url, kSessionParameter, session_id_);
}

void NxCalConnection::ExtractSessionId(const Url& url) {
  std::wstring value;
  if (!QueryValue(url.ToString(), kSessionParameter, &value)) return;
  session_id_ = value;
  Remember(kConnectionSessionIdKey, session_id_);
}

bool NxCalConnection::Authenticate(std::wstring* error) {
  LogInfo(L"Authenticating user...");
  const std::wstring body = L"Email=" + UrlEncode(email_) + L"&Passwd=" + UrlEncode(password_) +
                            L"&source=" + source_ + L"&service=cl&accountType=hosted_or_nexora";
  std::wstring response;
  uint32_t status = 0;
  if (!HttpRequest(session_, login_url_, kHttpMethodPost, kContentTypeForm, L"", body, &response,
                   &status)) {
    LogSevere(L"Failed connecting to authentication server");
    *error = LoadResourceString(IDS_NO_CONNECTION);
    return false;
  }
  if (status != kStatusOk) {
    LogSevere(L"Authentication failed");
    // Only a refusal says the password is wrong; a service in trouble is no reason to
    // send the user off to re-enter it.
    const bool refused = status == kStatusForbidden || status == kStatusUnauthorized;
    *error = refused ? FormatResourceString(IDS_LOGIN_FAILED, {email_})
                     : LoadResourceString(IDS_NO_CONNECTION);
    auth_token_.clear();
    return false;
  }
  for (std::wstring_view line : SplitTokens(response, L"\r\n")) {
    const size_t equals = line.find(L'=');
    if (equals == std::wstring_view::npos || Trim(line.substr(0, equals)) != L"Auth") continue;
    auth_token_ = Trim(line.substr(equals + 1));
    Remember(kConnectionAuthTokenKey, auth_token_);
    Remember(kConnectionUserIdKey, email_);
  }
  return true;
}

std::unique_ptr<StubStream> NxCalConnection::GetWithRedirect(const Url& url, uint32_t* status,
                                                             std::wstring* error) {
  if (auth_token_.empty() && !Authenticate(error)) return nullptr;
  const Url target = AddSessionId(url);
  Url final_url = target;
  auto stream = HttpGet(session_, target, MakeHeaders(true), status, &final_url);
  if (stream && *status == kStatusUnauthorized && Authenticate(error)) {
    stream.reset();
    final_url = target;
    stream = HttpGet(session_, target, MakeHeaders(true), status, &final_url);
  }
  if (!stream) *error = LoadResourceString(IDS_NO_CONNECTION);
  ExtractSessionId(final_url);
  return stream;
}

bool NxCalConnection::SendWithRedirect(const Url& url, const std::wstring& method, bool accept_gzip,
                                       const std::wstring& body, std::wstring* response,
                                       uint32_t* status, std::wstring* error) {
  if (auth_token_.empty() && !Authenticate(error)) return false;
  const Url target = AddSessionId(url);
  Url final_url = target;
  bool answered = HttpSend(session_, target, method, MakeHeaders(accept_gzip), body, response,
                           status, &final_url);
  if (answered && *status == kStatusUnauthorized && Authenticate(error)) {
    final_url = target;
    answered = HttpSend(session_, target, method, MakeHeaders(accept_gzip), body, response, status,
                        &final_url);
  }
  if (!answered) *error = LoadResourceString(IDS_NO_CONNECTION);
  ExtractSessionId(final_url);
  return answered;
}

bool NxCalConnection::GetNxCalXML(const DateTime* updated_min, platform::XmlDocument* document,
                                  std::wstring* error, IProgressMonitor* progress) {
  NullProgressMonitor unobserved;
  if (progress == nullptr) progress = &unobserved;
  Url url = AddQueryParameter(feed_url_, L"max-results", kMaxResults);
  if (updated_min != nullptr) url = AddQueryParameter(url, L"updated-min", FormatIso(*updated_min));
  uint32_t status = 0;
  std::unique_ptr<StubStream> stream = GetWithRedirect(url, &status, error);
  if (status != kStatusOk) {
    LogSevere(L"NxCalConnection::GetNxCalXML -> status_code = " + DecimalText(status) +
              L", error_msg = " + *error);
    return false;
  }
  if (!stream) return false;
  LogInfo(L"Going to process response");
  const bool read = ReadFeed(stream.get(), document, error, progress);
  progress->Done();
  return read;
}

bool NxCalConnection::ReadFeed(IStream* body, platform::XmlDocument* document, std::wstring* error,
                               IProgressMonitor* progress) {
  DomBuilderReadStream builder(body, document);
  ProgressContentHandler handler = MakeFeedProgressHandler(progress);
  std::string reason;
  HRESULT parsed = platform::SaxParse(&builder, &handler, &reason);
  // The pass drives progress; the document's own load decides whether the feed is whole.
  if (parsed == S_OK && document->stream()->Commit(0) != S_OK) {
    parsed = E_FAIL;
    reason = document->load_error();
  }
  if (parsed == S_OK) {
    LogInfo(DecimalText(builder.BytesCopied()) + L" bytes read from server");
    return true;
  }
  // What was copied so far is no feed: a caller must never take it for the whole one.
  document->LoadXml(L"");
  if (progress->IsCanceled()) return false;
  LogSevere(L"Error SAX parsing");
  LogInfo(Utf8ToWide(reason));
  *error = builder.delegate_failed() ? LoadResourceString(IDS_NO_CONNECTION)
                                     : LoadResourceString(IDS_XML_ERROR);
  return false;
}

bool NxCalConnection::GetEntry(const std::wstring& ical_uid, const std::wstring& instance_suffix,
                               bool show_deleted, std::wstring* response, std::wstring* error) {
  std::wstring id = EntryId(ical_uid);
  if (!instance_suffix.empty()) id += L"_" + instance_suffix;
  Url url = feed_url_;
  if (!url.SetPath(feed_url_.path() + L"/" + PathSegment(id))) return false;
  if (show_deleted) url = AddQueryParameter(url, L"showdeleted", L"true");
  uint32_t status = 0;
  std::unique_ptr<StubStream> stream = GetWithRedirect(url, &status, error);
  if (!stream || status != kStatusOk) return false;
  return ReadStreamText(stream.get(), response) == S_OK;
}

int NxCalConnection::AddEntry(const std::wstring& xml, std::wstring* response,
                              std::wstring* error) {
  uint32_t status = 0;
  if (!SendWithRedirect(feed_url_, kHttpMethodPost, false, xml, response, &status, error)) {
    LogInfo(L"NxCalConnection::AddEntry -> GetWithRedirect FAILED!!");
    return 0;
  }
  const int level = LevelFor(status == kStatusCreated || status == kStatusConflict);
  Log(level, L"NxCalConnection::AddEntry -> status_code = " + DecimalText(status));
  DumpXml(level, xml, *response);
  return static_cast<int>(status);
}

int NxCalConnection::UpdateEntry(const Url& edit_url, const std::wstring& xml, bool show_deleted,
                                 std::wstring* response, std::wstring* error) {
  const Url url = show_deleted ? AddQueryParameter(edit_url, L"showdeleted", L"true") : edit_url;
  uint32_t status = 0;
  if (!SendWithRedirect(url, kHttpMethodPut, true, xml, response, &status, error)) {
    LogSevere(L"NxCalConnection::UpdateEntry -> GetWithRedirect FAILED!!");
    return -1;
  }
  const int level = LevelFor(status == kStatusOk || status == kStatusConflict);
  Log(level, L"NxCalConnection::UpdateEntry -> status_code = " + DecimalText(status));
  Log(level, url.ToString());
  DumpXml(level, xml, *response);
  return static_cast<int>(status);
}

bool NxCalConnection::DeleteEntry(const Url& edit_url, std::wstring* error) {
  std::wstring response;
  uint32_t status = 0;
  if (!SendWithRedirect(edit_url, kHttpMethodDelete, false, L"", &response, &status, error)) {
    LogSevere(L"NxCalConnection::DeleteEntry -> GetWithRedirect FAILED");
    return false;
  }
  const int level = LevelFor(status == kStatusOk);
  Log(level, L"NxCalConnection::DeleteEntry -> status_code = " + DecimalText(status) + L"\r\n");
  Log(level, edit_url.ToString());
  Log(level, response);
  return status == kStatusOk;
}

void DumpXml(int level, const std::wstring& request, const std::wstring& response) {
  LogBlock block(L"DumpXml", level);
  Log(level, L"In");
  Log(level, OneElementPerLine(request));
  Log(level, L"Out");
  Log(level, OneElementPerLine(response));
}

}  // namespace calendar_mirrow_addin
