#pragma once

// The two persistent stand-ins the add-in syncs between, side by side: the web calendar
// (its database in a folder kept across restarts of the server process) and the simulated
// Outlook (one SQLite file, reopened on restart), with the engine run between them as the
// add-in runs it (left the web calendar, right Outlook, the sync data in a file).
// Both clocks stand still and move on together, so that every phase's changes are newer
// than the last run's writes.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "model/time_zone_map.h"
#include "model/zone_rule.h"
#include "outlook/dispatch_values.h"
#include "outlook/mapi_access.h"
#include "outlook/outlook.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/seed.h"
#include "sync/synchronizer.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"
#include "tests/support/webcal_client.h"
#include "tests/support/webcal_server.h"

namespace calendar_mirrow_addin::testing {

// 2026-03-01T00:00:00Z, both clocks' starting point.
inline constexpr char kStartIso[] = "2026-03-01T00:00:00Z";
inline constexpr FileTime kStartFileTime = (1'772'323'200ULL + 11'644'473'600ULL) * 10'000'000ULL;
inline constexpr FileTime kTick = 10'000'000;  // one second

// The events of one side by UID; `duplicates` lists the UIDs held more than once.
struct ByUid {
  std::map<std::wstring, const Event*> events;
  std::vector<std::wstring> duplicates;
  std::set<std::wstring> uids() const {
    std::set<std::wstring> out;
    for (const auto& [uid, event] : events) out.insert(uid);
    return out;
  }
};

inline ByUid IndexByUid(const Calendar& calendar) {
  ByUid index;
  for (const auto& [id, event] : calendar.events()) {
    if (!index.events.emplace(event->ical_uid(), event.get()).second) {
      index.duplicates.push_back(event->ical_uid());
    }
  }
  return index;
}

class SyncPair {
 public:
  SyncPair() : server_(web_folder_.path()) {
    store_path_ = (outlook_folder_.path() / "outlook.db").string();
    client_ = std::make_unique<WebcalClient>(&server_);
    ready_ = server_.ready() && client_->ResetServer() &&
             Admin("clock", std::string(R"({"now":")") + kStartIso + R"("})")[0] == '{' &&
             OpenStore();
  }
  ~SyncPair() { store_.reset(); }

  bool ready() const { return ready_; }
  sim::Store& store() { return *store_; }

  // Both stand-ins go away and come back from what they keep on disk.
  bool Restart() {
    store_.reset();
    return server_.Restart() && OpenStore();
  }

  // Both clocks move on ten seconds.
  void Later() {
    now_ += 10 * kTick;
    Admin("clock", R"({"advance_seconds":10})");
  }

  std::string Admin(const std::string& path, const std::string& json) {
    return server_.Admin("POST", path, json);
  }

  // One run as the add-in makes it; false with the reason in `error` when the run failed.
  bool Run(SyncMode mode, std::string* error) {
    auto web = client_->Open();
    auto outlook = LogOn();
    if (!outlook) {
      *error = "logon failed";
      return false;
    }
    Synchronizer sync(web.get(), outlook.get(), mode, client_->data().wpath() + L"/sync.dat");
    NullProgressMonitor progress;
    std::wstring message;
    if (!sync.LoadEvents(&progress, message)) {
      *error = "load failed: " + WideToUtf8(message);
      return false;
    }
    SyncStats stats;
    const bool done = sync.SyncCalendars(false, &progress, &stats);
    outlook->Logoff();
    if (!done) *error = "the run stopped";
    return done;
  }

  // The requests that changed the web calendar and the saves of the store during one run.
  struct Writes {
    std::string web;  // "POST /path 201" lines
    int64_t outlook = 0;
  };
  Writes RunCountingWrites(SyncMode mode, std::string* error) {
    const size_t before = WebRequests().size();
    const int64_t saves = store_->writes();
    Writes writes;
    if (!Run(mode, error)) return writes;
    const auto requests = WebRequests();
    for (size_t i = before; i < requests.size(); ++i) {
      if (requests[i].rfind("GET ", 0) != 0) writes.web += requests[i] + "\n";
    }
    writes.outlook = store_->writes() - saves;
    return writes;
  }

  // Each side loaded in full, as a run would load it.
  std::unique_ptr<NxCal> Web() { return client_->Fetched(); }
  std::unique_ptr<Outlook> LoadedOutlook() {
    auto outlook = LogOn();
    std::wstring error;
    if (!outlook || !outlook->LoadEvents(nullptr, error, nullptr)) return nullptr;
    for (auto& [id, event] : outlook->mutable_events()) outlook->Load(event.get());
    return outlook;
  }
  // The UIDs of Outlook's items by entry id (a brief load, which gives new items theirs).
  std::map<std::wstring, std::wstring> OutlookIdsByUid() {
    std::map<std::wstring, std::wstring> ids;
    auto outlook = LogOn();
    std::wstring error;
    if (!outlook || !outlook->LoadEvents(nullptr, error, nullptr)) return ids;
    for (const auto& [id, event] : outlook->events()) ids[event->ical_uid()] = id;
    return ids;
  }

  // An Outlook item through the object model, by its entry id text.
  ComRef<IDispatch> Item(const std::wstring& id) {
    ComRef<IDispatch> item;
    auto outlook = LogOn();
    if (outlook) outlook->GetItemFromId(id, item);
    return item;
  }

  // Seeding of Outlook: a single appointment, a weekly series in Berlin or a monthly one in
  // New York (both in winter time), a meeting with a guest.
  enum class Kind { kSingle, kAllDay, kWeeklyBerlin, kMonthlyNewYork, kMeeting };
  sim::Bytes AddToOutlook(Kind kind, int n, const std::wstring& subject) {
    now_ += 1;
    sim::AppointmentSeed seed;
    seed.subject = subject;
    seed.location = L"Room " + std::to_wstring(n % 7);
    seed.start = kStartFileTime + static_cast<FileTime>(n % 240) * 3600 * kTick;
    if (kind == Kind::kAllDay) {
      seed.all_day = true;
      seed.start = kStartFileTime + static_cast<FileTime>(n % 60) * 24 * 3600 * kTick;
      seed.end = seed.start + 24 * 3600 * kTick;
    }
    if (kind == Kind::kWeeklyBerlin || kind == Kind::kMonthlyNewYork) {
      const bool weekly = kind == Kind::kWeeklyBerlin;
      const wchar_t* olson = weekly ? L"Europe/Berlin" : L"America/New_York";
      sim::RecurrenceView view;
      view.type = weekly ? sim::OlRecurrenceType::kWeekly : sim::OlRecurrenceType::kMonthly;
      view.day_of_week_mask = weekly ? 2 : 0;  // Monday
      view.day_of_month = weekly ? 0 : 5;
      view.pattern_start_date = *sim::ToLocalMinutes({2026, 1, 5});
      view.start_time = weekly ? 9 * 60 : 14 * 60;
      view.duration = 60;
      view.end = sim::RecurrenceView::End::kAfterOccurrences;
      view.occurrences = weekly ? 6 : 3;
      ZoneRule rule;
      std::wstring label;
      TimeZoneMap::Instance().GetZoneRule(olson, rule);
      TimeZoneMap::Instance().GetDisplayLabel(olson, label);
      return sim::AddRecurringAppointment(*store_, seed, view, *EntryIdBytes(ZoneRuleToHex(rule)),
                                          label);
    }
    const sim::Bytes entry_id = sim::AddAppointment(*store_, seed);
    if (kind == Kind::kMeeting && !entry_id.empty()) {
      ComRef<IDispatch> item = Item(sim::HexText(entry_id));
      if (!item || PutLong(item.get(), L"MeetingStatus", 1) != S_OK ||
          !AddRecipient(item.get(), L"ann@nexora.example") ||
          !AddRecipient(item.get(), L"bob@nexora.example") ||
          CallMethodNoArgs(item.get(), L"Save") != S_OK) {
        return {};
      }
      // As Outlook does for a meeting the user organises: the user is its sender.
      std::wstring address = L"ann@nexora.example";
      SPropValue sender{PR_SENDER_EMAIL_ADDRESS_W, 0, {}};
      sender.Value.lpszW = address.data();
      if (SetProperty(item.get(), sender) != S_OK) return {};
    }
    return entry_id;
  }
  // The UTC start of the k-th occurrence (0-based) of a series made by AddToOutlook or
  // WebSeries: Mondays 09:00 in Berlin (08:00Z) or the 5th at 14:00 in New York (19:00Z).
  static DateTime OccurrenceStart(Kind kind, int k) {
    if (kind == Kind::kWeeklyBerlin)
      return AddDays(DateTime::FromFields(5, 1, 2026, 8, 0, 0, 0), 7 * k);
    return DateTime::FromFields(5, 1 + k, 2026, 19, 0, 0, 0);
  }
  // An Outlook item's times moved by `hours`.
  bool MoveOutlookItem(const std::wstring& id, int hours) {
    ComRef<IDispatch> item = Item(id);
    std::unique_ptr<DateTime> start, end;
    return item && GetDateTime(item.get(), L"Start", false, start) == S_OK &&
           GetDateTime(item.get(), L"End", false, end) == S_OK &&
           SaveTimes(item.get(), AddHours(*start, hours), AddHours(*end, hours));
  }
  bool RetitleOutlookItem(const std::wstring& id, const std::wstring& title) {
    ComRef<IDispatch> item = Item(id);
    return item && PutText(item.get(), L"Subject", title) == S_OK &&
           CallMethodNoArgs(item.get(), L"Save") == S_OK;
  }
  bool DeleteOutlookItem(const std::wstring& id) {
    ComRef<IDispatch> item = Item(id);
    return item && CallMethodNoArgs(item.get(), L"Delete") == S_OK;
  }
  // An Outlook occurrence moved by an hour (false: deleted instead).
  bool ChangeOutlookOccurrence(const std::wstring& id, Kind kind, int k, bool move) {
    ComRef<IDispatch> item = Item(id), pattern, occurrence;
    if (!item || CallForObject(item.get(), L"GetRecurrencePattern", nullptr, pattern) != S_OK) {
      return false;
    }
    const DateTime start = OccurrenceStart(kind, k);
    Variant at;
    if (!DateTimeToVariant(start, L"local-tz-id", at.value) ||
        CallForObject(pattern.get(), L"GetOccurrence", &at.value, occurrence) != S_OK) {
      return false;
    }
    if (!move) return CallMethodNoArgs(occurrence.get(), L"Delete") == S_OK;
    return SaveTimes(occurrence.get(), AddHours(start, 1), AddHours(start, 2));
  }

  // Seeding of the web calendar: the fields of one entry of each kind, as JSON.
  static std::string WebEntry(Kind kind, const std::string& uid, int n, const std::string& title) {
    std::string json = R"({"uid":")" + uid + R"(","title":")" + title + R"(","where":"Hall )" +
                       std::to_string(n % 5) + R"(")";
    const int day = 1 + n % 28, hour = n % 24;
    char when[96];
    switch (kind) {
      case Kind::kAllDay:
        snprintf(when, sizeof when, R"(,"start":"2026-04-%02d","end":"2026-04-%02d")", day,
                 day + 1);
        return json + when + "}";
      case Kind::kWeeklyBerlin:
        return json + R"(,"recurrence":"DTSTART;TZID=Europe/Berlin:20260105T090000\r\n)"
                      R"(DTEND;TZID=Europe/Berlin:20260105T100000\r\n)"
                      R"(RRULE:FREQ=WEEKLY;BYDAY=MO;COUNT=6\r\n"})";
      case Kind::kMonthlyNewYork:
        return json + R"(,"recurrence":"DTSTART;TZID=America/New_York:20260105T140000\r\n)"
                      R"(DTEND;TZID=America/New_York:20260105T150000\r\n)"
                      R"(RRULE:FREQ=MONTHLY;BYMONTHDAY=5;COUNT=3\r\n"})";
      default:
        break;
    }
    snprintf(when, sizeof when,
             R"(,"start":"2026-05-%02dT%02d:00:00.000Z","end":"2026-05-%02dT%02d:30:00.000Z")", day,
             hour, day, hour);
    json += when;
    if (kind == Kind::kMeeting) {
      json += R"(,"who":[{"email":"ann@nexora.example","rel":"organizer","status":"accepted"},)"
              R"({"email":"bob@nexora.example","rel":"attendee","type":"required",)"
              R"("status":"invited"}])";
    }
    return json + "}";
  }
  bool AddToWeb(const std::vector<std::string>& entries) {
    std::string json = R"({"email":"ann@nexora.example","calendar":"default","entries":[)";
    for (size_t i = 0; i < entries.size(); ++i) json += (i ? "," : "") + entries[i];
    return Admin("entries", json + "]}")[0] == '{';
  }
  // One web-side edit of the entry `uid`: `change` is the JSON of the change.
  bool EditWeb(const std::wstring& uid, const std::string& change) {
    return Admin("edit", R"({"email":"ann@nexora.example","uid":")" + WideToUtf8(uid) + "\"," +
                             change + "}")[0] == '{';
  }
  static std::string OccurrenceMove(Kind kind, int k) {
    const DateTime start = OccurrenceStart(kind, k);
    return R"("original_start":")" + Iso(start) + R"(","move":{"start":")" +
           Iso(AddHours(start, 1)) + R"(","end":")" + Iso(AddHours(start, 2)) + R"("})";
  }
  static std::string OccurrenceCancel(Kind kind, int k) {
    return R"("original_start":")" + Iso(OccurrenceStart(kind, k)) + R"(","cancel":true)";
  }

 private:
  static std::string Iso(const DateTime& time) { return WideToUtf8(FormatIso(time)); }
  // New times on an item or an occurrence, saved.
  static bool SaveTimes(IDispatch* item, const DateTime& start, const DateTime& end) {
    Variant new_start, new_end;
    return DateTimeToVariant(start, L"local-tz-id", new_start.value) &&
           DateTimeToVariant(end, L"local-tz-id", new_end.value) &&
           PutProperty(item, L"Start", new_start.value) == S_OK &&
           PutProperty(item, L"End", new_end.value) == S_OK &&
           CallMethodNoArgs(item, L"Save") == S_OK;
  }
  bool OpenStore() {
    std::string error;
    store_ = sim::Store::Open(store_path_, &error);
    if (!store_) return false;
    store_->SetClock([this] { return now_; });
    return true;
  }
  std::unique_ptr<Outlook> LogOn() {
    ComRef<IDispatch> application(sim::NewApplication(store_));
    auto outlook = std::make_unique<Outlook>(application.get(), L"ann@nexora.example");
    std::wstring folder_id;
    if (outlook->Logon(L"", &folder_id) != S_OK) return nullptr;
    return outlook;
  }
  static bool AddRecipient(IDispatch* item, const std::wstring& address) {
    ComRef<IDispatch> recipients, recipient;
    Variant argument;
    argument.value.vt = VT_BSTR;
    argument.value.bstrVal = SysAllocString(address.c_str());
    if (GetObjectProperty(item, L"Recipients", recipients) != S_OK ||
        CallForObject(recipients.get(), L"Add", &argument.value, recipient) != S_OK) {
      return false;
    }
    Variant ignored;
    CallMethod(recipient.get(), L"Resolve", &ignored.value, 0, nullptr);
    return PutLong(recipient.get(), L"Type", 1) == S_OK;
  }
  // "METHOD /path STATUS" for every request the server has logged since it started.
  std::vector<std::string> WebRequests() {
    const std::string log = server_.Admin("GET", "log");
    std::vector<std::string> out;
    const std::regex record(R"re("method": "(\w+)", "path": "([^"]*)", "status": (\d+))re");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), record);
         it != std::sregex_iterator(); ++it) {
      out.push_back((*it)[1].str() + " " + (*it)[2].str() + " " + (*it)[3].str());
    }
    return out;
  }

  EnvGuard utc_{"TZ", "UTC"};  // series zones are their own; the machine keeps UTC
  TempDir web_folder_;
  TempDir outlook_folder_;
  WebcalServer server_;
  std::unique_ptr<WebcalClient> client_;
  std::string store_path_;
  std::shared_ptr<sim::Store> store_;
  FileTime now_ = kStartFileTime;
  bool ready_ = false;
};

// Empty when both sides hold exactly the expected UIDs once each and every UID in `synced`
// is equivalent on both; otherwise the first difference, with both events' dumps.
inline std::string CompareSides(const Calendar& web, const Calendar& outlook,
                                const std::set<std::wstring>& expected_web,
                                const std::set<std::wstring>& expected_outlook,
                                const std::set<std::wstring>& synced) {
  const ByUid w = IndexByUid(web), o = IndexByUid(outlook);
  const auto list = [](const auto& uids) {
    std::string text;
    for (const auto& uid : uids) text += ' ' + WideToUtf8(uid);
    return text;
  };
  const auto differ = [&](const std::set<std::wstring>& held, const std::set<std::wstring>& want,
                          const char* side) -> std::string {
    std::set<std::wstring> missing, extra;
    std::ranges::set_difference(want, held, std::inserter(missing, missing.end()));
    std::ranges::set_difference(held, want, std::inserter(extra, extra.end()));
    if (missing.empty() && extra.empty()) return "";
    return std::string(side) + " lacks" + list(missing) + "; holds unexpected" + list(extra);
  };
  if (!w.duplicates.empty() || !o.duplicates.empty()) {
    return "duplicate UIDs: web" + list(w.duplicates) + "; outlook" + list(o.duplicates);
  }
  if (auto text = differ(w.uids(), expected_web, "web"); !text.empty()) return text;
  if (auto text = differ(o.uids(), expected_outlook, "outlook"); !text.empty()) return text;
  for (const auto& uid : synced) {
    const Event* a = w.events.at(uid);
    const Event* b = o.events.at(uid);
    if (!Equivalent(*a, *b)) {
      return "differs (aspects " + std::to_string(a->CompareTo(*b)) + "): " + WideToUtf8(uid) +
             "\nweb:\n" + WideToUtf8(a->Dump()) + "\noutlook:\n" + WideToUtf8(b->Dump());
    }
  }
  return "";
}

// Which UIDs each side should hold, from the events made on each side and the mode: both
// ways every live event is on both sides; one way the master's events are on both and the
// other side keeps its own as well.
class ExpectedUids {
 public:
  explicit ExpectedUids(SyncMode mode) : mode_(mode) {}
  void Created(bool on_web, const std::wstring& uid) {
    (on_web ? web_own_ : outlook_own_).insert(uid);
  }
  // A deletion on one side: carried over both ways; one way only the master's deletions
  // are, and the other side's deletion of a master's event is undone.
  void Deleted(bool on_web, const std::wstring& uid) {
    if (mode_ == kTwoWay) {
      web_own_.erase(uid);
      outlook_own_.erase(uid);
      return;
    }
    const bool web_is_master = mode_ == kSyncToRight;
    if (on_web == web_is_master || (on_web ? web_own_ : outlook_own_).count(uid)) {
      (on_web ? web_own_ : outlook_own_).erase(uid);
    }
  }
  std::set<std::wstring> Web() const { return mode_ == kSyncToRight ? web_own_ : All(); }
  std::set<std::wstring> Outlook() const { return mode_ == kSyncToLeft ? outlook_own_ : All(); }
  // The UIDs that must be equal on both sides.
  std::set<std::wstring> Synced() const {
    if (mode_ == kTwoWay) return All();
    return mode_ == kSyncToRight ? web_own_ : outlook_own_;
  }
  // Whether `uid` made on `on_web`'s side may be changed there and stay changed.
  bool OwnedBy(bool on_web, const std::wstring& uid) const {
    return (on_web ? web_own_ : outlook_own_).count(uid) != 0;
  }

 private:
  std::set<std::wstring> All() const {
    std::set<std::wstring> all = web_own_;
    all.insert(outlook_own_.begin(), outlook_own_.end());
    return all;
  }
  SyncMode mode_;
  std::set<std::wstring> web_own_, outlook_own_;
};

// The name of a mode in test names.
inline std::string ModeName(const ::testing::TestParamInfo<SyncMode>& info) {
  return info.param == kSyncToLeft    ? "OutlookToWeb"
         : info.param == kSyncToRight ? "WebToOutlook"
                                      : "TwoWay";
}

}  // namespace calendar_mirrow_addin::testing
