#include "addin/nx_syncer.h"

#include <cstdio>
#include <utility>

#include "addin/settings.h"
#include "addin/tray_link.h"
#include "addin/user_info.h"
#include "base/logger.h"
#include "base/string_table.h"
#include "base/text.h"
#include "outlook/dispatch_values.h"
#include "outlook/outlook.h"
#include "platform/digest.h"
#include "platform/os_version.h"
#include "platform/ui.h"
#include "sync/progress_monitor.h"
#include "webcal/nxcal_schema.h"

namespace calendar_mirrow_addin {

namespace {

// More deletions than this on one side need the user's consent.
constexpr int32_t kDeletionsWithoutAsking = 10;

// The trial run reports nothing and is never cancelled.
NullProgressMonitor& TrialProgress() {
  static NullProgressMonitor monitor;
  return monitor;
}

// A configured service address, or none when it is no absolute HTTPS URL: the password and
// the log-in token travel to these addresses and must not cross the network in clear text.
bool ParseServiceUrl(const std::wstring& text, Url* url) {
  if (url->Parse(text) && url->scheme() == L"https" && !url->host().empty()) return true;
  LogSevere(L"Not an HTTPS address: " + text);
  return false;
}

bool AskToProceed(int32_t deletes, int deleted_from, int deleted_in) {
  const std::wstring count = std::to_wstring(deletes);
  const std::wstring text = FormatResourceString(
      IDS_CONFIRM_DELETIONS,
      {count, LoadResourceString(deleted_from), count, LoadResourceString(deleted_in)});
  return platform::ShowMessageBox(text, LoadResourceString(IDS_WARNING_CAPTION),
                                  platform::MessageBoxButtons::kYesNo) ==
         platform::MessageBoxAnswer::kYes;
}

}  // namespace

std::wstring ClientIdentity(IDispatch* application) {
  std::wstring name, version;
  if (application == nullptr || FAILED(GetText(application, L"Name", name)) ||
      FAILED(GetText(application, L"Version", version))) {
    return std::wstring();
  }
  UserInfo info;
  LoadUserInfo(info);
  return L"Nexora-Mirrow-" + LoadResourceString(IDS_PRODUCT_VERSION) + L" " +
         platform::OsVersionText() + L" " + name + L"-" + version + L" Mode-" +
         std::to_wstring(info.sync_mode);
}

SyncMode NxSyncer::Direction(int32_t stored_mode, const std::wstring& mode_setting) {
  if (!mode_setting.empty()) {
    if (mode_setting == L"NXCAL") return kSyncToRight;
    if (mode_setting == L"OUTLOOK") return kSyncToLeft;
    return kTwoWay;
  }
  if (stored_mode == 2) return kSyncToRight;
  if (stored_mode == 3) return kSyncToLeft;
  return kTwoWay;
}

std::wstring NxSyncer::CompleteEmail(const std::wstring& email) {
  if (email.find(L'@') != std::wstring::npos) return email;
  return email + L"@" + kServiceMailDomain;
}

std::wstring NxSyncer::SyncDataFileName(const std::wstring& email, const std::wstring& calendar_id,
                                        const std::wstring& folder_id) {
  // The Windows build hashes the text in the system's ANSI code page; here it is UTF-8,
  // which is the same for the ASCII that addresses, calendar ids and entry ids are made of.
  const auto digest = platform::Md5(WideToUtf8(email + L":" + calendar_id + L":" + folder_id));
  std::wstring name;
  name.reserve(digest.size() * 2);
  for (const uint8_t byte : digest) {
    wchar_t digits[3];
    std::swprintf(digits, 3, L"%02X", byte);
    name += digits;
  }
  return name;
}

bool NxSyncer::ConfirmDeletions(const SyncStats& stats) {
  bool proceed = true;
  if (stats.left.deletes > kDeletionsWithoutAsking) {
    proceed = AskToProceed(stats.left.deletes, IDS_OUTLOOK_CALENDAR_NAME, IDS_WEB_CALENDAR_NAME);
  }
  if (proceed && stats.right.deletes > kDeletionsWithoutAsking) {
    proceed = AskToProceed(stats.right.deletes, IDS_WEB_CALENDAR_NAME, IDS_OUTLOOK_CALENDAR_NAME);
  }
  return proceed;
}

std::unique_ptr<NxCal> NxSyncer::GetNxCal(const std::wstring& calendar_id,
                                          const std::wstring& email, const std::wstring& password) {
  LogBlock block(L"GetNxCal");
  const std::wstring service_text = GetSetting(L"NXCAL_SERVER", kDefaultServiceUrl);
  const std::wstring accounts_text = GetSetting(L"ORVIA_SERVER", kDefaultAccountsUrl);
  LogInfo(L"nxcal_server = " + service_text);
  LogInfo(L"orvia_server = " + accounts_text);
  LogInfo(L"user = " + email);
  LogInfo(L"user agent = " + environment_.client_identity);
  Url service, accounts;
  if (environment_.session == nullptr || !ParseServiceUrl(service_text, &service) ||
      !ParseServiceUrl(accounts_text, &accounts)) {
    return nullptr;
  }
  auto connection =
      std::make_unique<NxCalConnection>(environment_.session, calendar_id, service, accounts, email,
                                        password, environment_.client_identity);
  return std::make_unique<NxCal>(std::move(connection), email, calendar_id, DataFilesFolder());
}

void NxSyncer::Post(const std::wstring& text) const {
  if (environment_.tray != nullptr) environment_.tray->PostTrayMessage(text);
}

void NxSyncer::ReportError(int code) const {
  if (environment_.tray != nullptr) environment_.tray->ReportError(code);
}

void NxSyncer::Sync(IDispatch* application, bool manual) {
  if (Logger* logger = GetLogger()) logger->LoadLevel();
  LogBlock block(L"NxSyncer::Sync");

  UserInfo info;
  LoadUserInfo(info);
  info.email = GetSetting(L"EMAIL", info.email);
  info.password = GetSetting(L"PASSWORD", info.password);
  const std::wstring mode_setting = GetSetting(L"SYNC_MODE", L"");
  const std::wstring calendar_id = GetSetting(L"NXCAL_ID", L"default");
  const std::wstring profile = GetSetting(L"PROFILE", L"");

  if (info.email.empty()) {
    LogSevere(L"Empty email address");
    platform::ShowMessageBox(FormatResourceString(IDS_LOGIN_FAILED, {info.email}),
                             LoadResourceString(IDS_ERROR_CAPTION),
                             platform::MessageBoxButtons::kOk);
  }
  const std::wstring email = CompleteEmail(info.email);
  const SyncMode direction = Direction(info.sync_mode, mode_setting);

  ProgressImpl progress(environment_.tray);
  progress.SetTaskName(LoadResourceString(IDS_LOGGING_IN));

  std::unique_ptr<NxCal> web = GetNxCal(calendar_id, email, info.password);
  if (!web) {
    LogSevere(L"Unable to login into NxCal.");
    return;
  }

  Outlook outlook(application, email, GetSetting(L"RESOLVE_ADDRESS_BOOK", L"TRUE") == L"TRUE");
  std::wstring folder_id;
  if (application == nullptr || outlook.Logon(profile, &folder_id) != S_OK) {
    LogSevere(L"Unable to logon into Outlook.");
    ReportError(kErrorOutlookLogon);
    return;
  }

  const std::wstring file_name = SyncDataFileName(email, calendar_id, folder_id);
  LogInfo(L"Sync data file to use: " + file_name);
  progress.BeginTask(L"Synchronizing Calendars", 100);
  SubProgressMonitor load_progress(&progress, 30);
  SubProgressMonitor sync_progress(&progress, 70);
  Synchronizer synchronizer(web.get(), &outlook, direction, DataFilesFolder() + file_name);

  std::wstring error_message =
      FormatResourceString(IDS_ERROR_CODE, {std::to_wstring(kErrorLoadEvents)});
  const bool loaded = synchronizer.LoadEvents(&load_progress, error_message);
  if (!progress.IsCanceled()) {
    if (loaded) {
      SyncStats stats;
      if (synchronizer.SyncCalendars(true, &TrialProgress(), &stats) && ConfirmDeletions(stats)) {
        synchronizer.SyncCalendars(false, &sync_progress, &stats);
      }
    } else if (manual || error_message != LoadResourceString(IDS_NO_CONNECTION)) {
      // Offline is the normal state of a laptop: only a run the user asked for says so.
      Post(error_message);
    }
  }
  progress.Done();
  outlook.Logoff();
}

}  // namespace calendar_mirrow_addin
