#pragma once

// A web calendar client against the stand-in: each NxCal made here talks to one server,
// keeps its cached feed in a folder of the test's own, and finds its key store, protection
// key and per-user store in a private configuration folder.

#include <filesystem>
#include <memory>
#include <string>

#include "base/text.h"
#include "platform/http.h"
#include "sync/progress_monitor.h"
#include "tests/platform/env_guard.h"
#include "tests/support/memory_key_store.h"
#include "tests/support/temp_dir.h"
#include "tests/support/webcal_server.h"
#include "webcal/nxcal.h"

namespace calendar_mirrow_addin::testing {

inline constexpr char kAccount[] = "ann@nexora.example";
inline constexpr char kAccountPassword[] = "s3cret&=";

class WebcalClient {
 public:
  explicit WebcalClient(WebcalServer* server) : server_(server) {
    std::string error;
    session_ = platform::OpenHttpSession("Tidewell-test", server_->ca_file(), &error, 10);
  }

  // Forgets the server's state and makes the account anew.
  bool ResetServer() {
    return server_->Admin("POST", "reset", "{}")[0] != '<' &&
           server_->Admin("POST", "accounts",
                          std::string(R"({"email":")") + kAccount + R"(","password":")" +
                              kAccountPassword + R"("})")[0] != '<';
  }

  // A calendar as one sync run makes it.
  std::unique_ptr<NxCal> Open() {
    Url service, accounts;
    service.Parse(Utf8ToWide(server_->service_url()));
    accounts.Parse(Utf8ToWide(server_->accounts_url()));
    auto connection =
        std::make_unique<NxCalConnection>(session_.get(), L"default", service, accounts, Email(),
                                          Utf8ToWide(kAccountPassword), L"Tidewell-test");
    return std::make_unique<NxCal>(std::move(connection), Email(), L"default", data_.wpath());
  }
  // Open and fetch; null (with the message in `error`) when the fetch failed.
  std::unique_ptr<NxCal> Fetched(std::wstring* error = nullptr) {
    auto calendar = Open();
    std::wstring message;
    NullProgressMonitor progress;
    if (!calendar->LoadEvents(nullptr, message, &progress)) {
      if (error != nullptr) *error = message;
      return nullptr;
    }
    return calendar;
  }

  static std::wstring Email() { return Utf8ToWide(kAccount); }
  // The event of a calendar with this UID, or null.
  static const Event* ByUid(const Calendar& calendar, const std::wstring& uid) {
    for (const auto& [id, event] : calendar.events()) {
      if (event->ical_uid() == uid) return event.get();
    }
    return nullptr;
  }

  const TempDir& data() const { return data_; }
  // Removes the cached feed and the sync data, as on a machine that never synced.
  void ForgetCache() {
    for (const auto& file : std::filesystem::directory_iterator(data_.path())) {
      std::filesystem::remove_all(file.path());
    }
  }

 private:
  WebcalServer* server_;
  TempDir home_;
  TempDir data_;
  EnvGuard config_{"XDG_CONFIG_HOME", home_.path().c_str()};
  EnvGuard proxies_[4] = {{"https_proxy", nullptr},
                          {"HTTPS_PROXY", nullptr},
                          {"all_proxy", nullptr},
                          {"ALL_PROXY", nullptr}};
  MemoryKeyStore store_;
  std::unique_ptr<platform::HttpSession> session_;
};

}  // namespace calendar_mirrow_addin::testing
