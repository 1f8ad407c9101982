#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/com/dispatch.h"
#include "sync/synchronizer.h"
#include "webcal/nxcal.h"

namespace calendar_mirrow_addin {

namespace platform {
class HttpSession;
}
class TrayLink;

// Where the web service and its account service live when the settings name no other
// address. A bare user name is completed with the service's mail domain (nxcal_schema.h).
inline constexpr wchar_t kDefaultServiceUrl[] = L"https://www.nexora.example";
inline constexpr wchar_t kDefaultAccountsUrl[] = L"https://accounts.nexora.example";

// The error code reported when Outlook refuses the log-on, and the preset error text's code
// when loading the calendars fails without a text of its own.
inline constexpr int kErrorOutlookLogon = 2006;
inline constexpr int kErrorLoadEvents = 2016;

// What a run needs from the process that hosts it; all borrowed.
struct SyncEnvironment {
  TrayLink* tray = nullptr;                  // status, stop request, messages; may be null
  platform::HttpSession* session = nullptr;  // the process-wide session; null: no web calendar
  std::wstring client_identity;              // sent as the source of every log-in
};

// "Nexora-Mirrow-<product version> <OS> <Name>-<Version> Mode-<stored sync mode>", built
// from the Outlook application's Name and Version properties and the stored account
// record; empty when either property cannot be read.
std::wstring ClientIdentity(IDispatch* application);

// One sync run between the user's web calendar and their default Outlook calendar, with
// the account and settings the tray application left in the data-files folder.
class NxSyncer {
 public:
  explicit NxSyncer(SyncEnvironment environment) : environment_(std::move(environment)) {}

  // Runs one sync; `manual` when the user asked for it. Outcomes go to the log, message
  // boxes and the tray link.
  void Sync(IDispatch* application, bool manual);

  // The web calendar of the account on the configured service (nothing is sent yet); null
  // when there is no session or a configured address is unusable.
  std::unique_ptr<NxCal> GetNxCal(const std::wstring& calendar_id, const std::wstring& email,
                                  const std::wstring& password);

  // Asks the user before a run that would delete more than ten events on either side;
  // false when they decline.
  static bool ConfirmDeletions(const SyncStats& stats);

  // The engine's direction from the stored sync mode and the "SYNC_MODE" setting.
  static SyncMode Direction(int32_t stored_mode, const std::wstring& mode_setting);
  // `email`, completed with "@" and the default mail domain when it holds no "@".
  static std::wstring CompleteEmail(const std::wstring& email);
  // The sync data's file name for an account, calendar and Outlook folder: the MD5 of
  // "email:calendar_id:folder_id" as 32 upper-case hexadecimal digits.
  static std::wstring SyncDataFileName(const std::wstring& email, const std::wstring& calendar_id,
                                       const std::wstring& folder_id);

 private:
  void Post(const std::wstring& text) const;
  void ReportError(int code) const;

  SyncEnvironment environment_;
};

}  // namespace calendar_mirrow_addin
