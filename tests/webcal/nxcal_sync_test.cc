// The sync engine between the web calendar stand-in and an in-memory calendar: a fault at
// every request of a run that the next runs recover from. (A large sync both ways with
// changes and a quiet run is tests/e2e/outlook_web_sync_test.cc.)

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/string_table.h"
#include "base/text.h"
#include "sync/memory_calendar.h"
#include "sync/synchronizer.h"
#include "tests/support/webcal_client.h"

namespace calendar_mirrow_addin {
namespace {

using testing::WebcalClient;

std::unique_ptr<Event> Meeting(const std::wstring& uid, int hour) {
  auto event = std::make_unique<Event>();
  event->set_ical_uid(uid);
  event->set_title(L"Meeting " + uid);
  event->set_start(
      std::make_unique<DateTime>(DateTime::FromFields(2, 3, 2026, hour % 24, 0, 0, 0)));
  event->set_end(std::make_unique<DateTime>(DateTime::FromFields(2, 3, 2026, hour % 24, 30, 0, 0)));
  event->set_busy_status(kBusyStatusBusy);
  event->set_status(kEventStatusConfirmed);
  return event;
}

// Titles by UID: what a calendar's owner sees.
std::map<std::wstring, std::wstring> Titles(const EventMap& events) {
  std::map<std::wstring, std::wstring> titles;
  for (const auto& [id, event] : events) titles[event->ical_uid()] = event->title();
  return titles;
}

class NxCalSyncTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new testing::WebcalServer(); }
  static void TearDownTestSuite() { delete server_; }
  void SetUp() override {
    ASSERT_TRUE(server_->ready());
    ASSERT_TRUE(client_.ResetServer());
  }

  // One run as the driver makes it: false with `error` when the web calendar could not be
  // loaded.
  bool Run(std::wstring* error = nullptr) {
    auto web = client_.Open();
    Synchronizer sync(web.get(), memory_.get(), kTwoWay, client_.data().wpath() + L"/sync.dat");
    NullProgressMonitor progress;
    std::wstring message = error != nullptr ? *error : L"";
    if (!sync.LoadEvents(&progress, message)) {
      if (error != nullptr) *error = message;
      return false;
    }
    SyncStats stats;
    return sync.SyncCalendars(false, &progress, &stats);
  }
  static std::string Admin(const std::string& path, const std::string& json) {
    return server_->Admin("POST", path, json);
  }
  // Change detection has a resolution of one second: the stand-in's clock stands still at
  // the real time and moves on only between the phases of a test, so that no change can
  // share a second with the write before it.
  static void StopServerClock() {
    Admin("clock", R"({"now":")" + WideToUtf8(FormatIso(*DateTime::Now())) + R"("})");
  }
  static void Later() { Admin("clock", R"({"advance_seconds":10})"); }

  static inline testing::WebcalServer* server_ = nullptr;
  testing::CapturedLog log_{Logger::INFO};
  WebcalClient client_{server_};
  MemoryClock clock_{DateTime::FromFields(1, 3, 2026, 0, 0, 0, 0)};
  std::unique_ptr<MemoryCalendar> memory_ =
      std::make_unique<MemoryCalendar>(L"Memory", L"M", &clock_);
};

// A fault at any request of a run ends that run (or that mutation) with a message, and
// the next runs converge with nothing lost.
TEST_F(NxCalSyncTest, AFaultAtAnyRequestIsRecoveredFromByTheNextRuns) {
  const char* kEffects[] = {R"("status":503)", R"("drop":true)", R"("cut_after":20)",
                            R"("corrupt_gzip":true)", R"("malformed_xml":true)"};
  const std::map<std::wstring, std::wstring> kConverged = {{L"gen-1@nexora.example", L"W"},
                                                           {L"gen-3@nexora.example", L"Event 3"},
                                                           {L"web-new", L"New"},
                                                           {L"mem-0", L"M"},
                                                           {L"mem-2", L"Meeting mem-2"},
                                                           {L"mem-new", L"Meeting mem-new"}};
  for (const char* effect : kEffects) {
    bool hit = true;
    for (int skip = 0; hit; ++skip) {
      SCOPED_TRACE(std::string(effect) + " at request " + std::to_string(skip));
      ASSERT_TRUE(client_.ResetServer());
      client_.ForgetCache();
      log_.Clear();
      memory_ = std::make_unique<MemoryCalendar>(L"Memory", L"M", &clock_);
      Admin("entries", R"({"email":"ann@nexora.example","calendar":"default",)"
                       R"("generate":{"count":3,"start":"2026-04-01T09:00:00Z"}})");
      for (int i = 0; i < 3; ++i) memory_->Add(Meeting(L"mem-" + std::to_wstring(i), i));
      StopServerClock();
      ASSERT_TRUE(Run());
      Later();
      // The run to be hit: a change, a new event and a deletion on each side.
      Admin("edit", R"({"email":"ann@nexora.example","uid":"gen-1@nexora.example","title":"W"})");
      Admin("edit", R"({"email":"ann@nexora.example","uid":"gen-2@nexora.example","delete":true})");
      Admin("entries", R"({"email":"ann@nexora.example","calendar":"default","entries":[)"
                       R"({"uid":"web-new","title":"New","start":"2026-03-05T09:00:00.000Z",)"
                       R"("end":"2026-03-05T10:00:00.000Z"}]})");
      memory_->Edit(memory_->FindByUid(L"mem-0")->id(), [](Event& e) { e.set_title(L"M"); });
      memory_->Erase(memory_->FindByUid(L"mem-1")->id());
      memory_->Add(Meeting(L"mem-new", 5));
      Admin("faults", R"({"method":"*","path_prefix":"/","count":1,"skip":)" +
                          std::to_string(skip) + "," + effect + "}");
      // As the driver does: a load that fails without a text of its own reports code 2016.
      const std::wstring preset = FormatResourceString(IDS_ERROR_CODE, {L"2016"});
      std::wstring error = preset;
      if (!Run(&error)) {
        const bool status = std::string(effect).find("status") != std::string::npos;
        EXPECT_EQ(status, error == preset) << "a broken feed says why: " << WideToUtf8(error);
      }
      // A fault still waiting was past the run's last request: every request has been hit.
      hit = server_->Admin("DELETE", "faults").find("\"pending\": 0") != std::string::npos;
      Later();
      ASSERT_TRUE(Run()) << log_.Text();
      Later();
      ASSERT_TRUE(Run());
      auto web = client_.Fetched();
      ASSERT_TRUE(web);
      EXPECT_EQ(kConverged, Titles(web->events()));
      EXPECT_EQ(kConverged, Titles(memory_->store()));
    }
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
