#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/base32.h"
#include "model/date_time.h"
#include "platform/http.h"
#include "platform/xml.h"
#include "sync/progress_monitor.h"
#include "webcal/stub_stream.h"
#include "webcal/url.h"

namespace calendar_mirrow_addin {

// Key-store keys: the e-mail the remembered token belongs to, the token, the session id.
inline constexpr wchar_t kConnectionUserIdKey[] = L"nxcalconnection_user_id";
inline constexpr wchar_t kConnectionAuthTokenKey[] = L"nxcalconnection_auth_token";
inline constexpr wchar_t kConnectionSessionIdKey[] = L"nxcalconnection_session_id";

// The web calendar's request layer: log-in, the service's session parameter, and the five
// requests the web calendar needs. A token or session id the service handed out is
// remembered in the key store for the next run of the same account. Used on one thread.
// Every error text out parameter receives a user-facing message when a request could not
// be made.
class NxCalConnection {
 public:
  NxCalConnection(platform::HttpSession* session, const std::wstring& calendar_id,
                  const Url& service_url, const Url& accounts_url, const std::wstring& email,
                  const std::wstring& password, const std::wstring& source);

  // Fetches the event feed into `document`: everything, or only what changed since
  // `updated_min` when given. False (the document left empty) when the feed could not be
  // fetched whole.
  bool GetNxCalXML(const DateTime* updated_min, platform::XmlDocument* document,
                   std::wstring* error, IProgressMonitor* progress);
  // One entry, by the UID of its event and, for an exception, the instance suffix. True
  // when the service answered 200 and the body was read into `response`.
  bool GetEntry(const std::wstring& ical_uid, const std::wstring& instance_suffix,
                bool show_deleted, std::wstring* response, std::wstring* error);
  // The HTTP status of the answer; 0 when none came.
  int AddEntry(const std::wstring& xml, std::wstring* response, std::wstring* error);
  // The HTTP status of the answer; -1 when none came.
  int UpdateEntry(const Url& edit_url, const std::wstring& xml, bool show_deleted,
                  std::wstring* response, std::wstring* error);
  // True exactly when the service answered 200.
  bool DeleteEntry(const Url& edit_url, std::wstring* error);

  // Percent-encodes every byte of the UTF-8 text but ASCII letters and digits ("%3D").
  static std::wstring UrlEncode(std::wstring_view text);
  // The path segment of an entry: a UID the service made itself gives its own part, any
  // other UID "_" and the base-32 text of its bytes.
  static std::wstring EntryId(const std::wstring& ical_uid);

  std::wstring MakeHeaders(bool accept_gzip) const;
  const Url& feed_url() const { return feed_url_; }
  const std::wstring& auth_token() const { return auth_token_; }
  const std::wstring& session_id() const { return session_id_; }

 private:
  bool Authenticate(std::wstring* error);
  std::unique_ptr<StubStream> GetWithRedirect(const Url& url, uint32_t* status,
                                              std::wstring* error);
  bool SendWithRedirect(const Url& url, const std::wstring& method, bool accept_gzip,
                        const std::wstring& body, std::wstring* response, uint32_t* status,
                        std::wstring* error);
  Url AddSessionId(const Url& url) const;
  void ExtractSessionId(const Url& url);
  bool ReadFeed(IStream* body, platform::XmlDocument* document, std::wstring* error,
                IProgressMonitor* progress);

  platform::HttpSession* session_;  // borrowed
  std::wstring email_;
  std::wstring password_;
  std::wstring auth_token_;
  std::wstring session_id_;
  std::wstring source_;
  Url feed_url_;
  Url login_url_;
};

// Logs a request and its answer at `level`, one element per line.
void DumpXml(int level, const std::wstring& request, const std::wstring& response);

}  // namespace calendar_mirrow_addin
