// Outlook as a Calendar against the simulated Outlook: log-on, items by id, and the brief
// list with its classes, generated UIDs, updated_min, failures and cancelling.

#include "outlook/outlook.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "base/string_table.h"
#include "base/text.h"
#include "outlook/automation.h"
#include "outlook/dispatch_values.h"
#include "outlook/global_object_id.h"
#include "platform/com/oleaut.h"
#include "tests/outlook/outlook_fixture.h"
#include "tests/support/progress_recorder.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAreArray;

using testing::Hex;
using testing::kMonday;
using testing::kSecond;

class OutlookTest : public testing::OutlookFixture {};

TEST_F(OutlookTest, ItemsAreFoundByIdUntilLogoff) {
  const sim::Bytes entry_id = Add(L"Dentist");
  ComRef<IDispatch> item;
  ASSERT_EQ(outlook_->GetItemFromId(Hex(entry_id), item), S_OK);
  std::wstring subject;
  ASSERT_EQ(GetText(item.get(), L"Subject", subject), S_OK);
  EXPECT_EQ(subject, L"Dentist");
  EXPECT_TRUE(FAILED(outlook_->GetItemFromId(Hex(entry_id) + L"00", item)));
  EXPECT_EQ(outlook_->Logoff(), S_OK);
  EXPECT_TRUE(FAILED(outlook_->GetItemFromId(Hex(entry_id), item)));
}

TEST_F(OutlookTest, AnEmptyFolderLoadsNothingAndSucceeds) {
  std::wstring error;
  EXPECT_TRUE(outlook_->LoadEvents(nullptr, error, nullptr));
  EXPECT_THAT(error, IsEmpty());
  EXPECT_THAT(LoadedIds(), IsEmpty());
  EXPECT_TRUE(log_.Contains("0 entries processed"));
  EXPECT_TRUE(log_.Contains("Briefly loaded 0 entries."));
}

TEST_F(OutlookTest, OnlyAppointmentClassesAreListedWithTheirTimesAndUids) {
  now_ = kMonday + 7'000'000;  // 0.7 s: the listed time rounds up to the next second
  const sim::Bytes outlook_id = sim::MakeOutlookGlobalObjectId(kMonday);
  const sim::Bytes meeting = Add(L"Review", L"IPM.Appointment", outlook_id);
  const sim::Bytes room = Add(L"Room 4", L"IPM.Appointment.Location");
  for (const wchar_t* foreign :
       {L"IPM.StickyNote", L"IPM.Schedule.Meeting.Request", L"ipm.appointment"}) {
    Add(L"not an appointment", foreign);
  }
  std::wstring error;
  ASSERT_TRUE(outlook_->LoadEvents(nullptr, error, nullptr));

  EXPECT_THAT(LoadedIds(), UnorderedElementsAreArray({Hex(meeting), Hex(room)}));
  const Event& review = *outlook_->events().at(Hex(meeting));
  EXPECT_EQ(review.ical_uid(), UidFromGlobalObjectId(outlook_id));
  EXPECT_EQ(FormatIso(*review.updated()), L"2023-02-27T00:00:02.000Z");
  const std::string text = log_.Text();
  for (const char* line : {"Skipping appointment with unknown message class: IPM.StickyNote",
                           "Skipping appointment with unknown message class: ipm.appointment",
                           "5 entries processed", "Briefly loaded 2 entries."}) {
    EXPECT_THAT(text, HasSubstr(line));
  }
  // Foreign items are never opened, so never given an id.
  for (const auto& [number, item] : store_->items()) {
    if (item.MessageClass().rfind(L"IPM.Appointment", 0) != 0) {
      EXPECT_FALSE(sim::NamedValue(*store_, item, sim::kGlobalObjectId));
    }
  }
}

TEST_F(OutlookTest, AGeneratedUidIsStoredAndReadBackAfterReopening) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "outlook.db").string();
  Open(path);
  const sim::Bytes outlook_id = sim::MakeOutlookGlobalObjectId(kMonday);
  const sim::Bytes plain = Add(L"Lunch");
  const sim::Bytes meeting = Add(L"Review", L"IPM.Appointment", outlook_id);
  const FileTime meeting_saved = Item(meeting).last_modified;
  std::wstring error;
  ASSERT_TRUE(outlook_->LoadEvents(nullptr, error, nullptr));

  const std::wstring uid = outlook_->events().at(Hex(plain))->ical_uid();
  EXPECT_TRUE(std::regex_match(WideToUtf8(uid), std::regex("[0-9A-F]{112}"))) << uid;
  EXPECT_TRUE(log_.Contains("Putting generated UID into GLOBAL_OBJID: " + WideToUtf8(uid)));
  // An id Outlook made is read, not rewritten.
  EXPECT_EQ(Item(meeting).last_modified, meeting_saved);

  Open(path);
  ASSERT_TRUE(outlook_->LoadEvents(nullptr, error, nullptr));
  EXPECT_EQ(outlook_->events().at(Hex(plain))->ical_uid(), uid);
  EXPECT_EQ(outlook_->events().at(Hex(meeting))->ical_uid(), UidFromGlobalObjectId(outlook_id));
}

TEST_F(OutlookTest, UpdatedMinKeepsOnlyLaterChanges) {
  const sim::Bytes old_item = Add(L"Before");
  const DateTime since = DateTime::FromSystemTimeRounded(*FileTimeToSystemTime(now_));
  const sim::Bytes new_item = Add(L"After");
  std::wstring error;
  ASSERT_TRUE(outlook_->LoadEvents(&since, error, nullptr));
  EXPECT_THAT(LoadedIds(), UnorderedElementsAreArray({Hex(new_item)}));
  EXPECT_TRUE(log_.Contains("skipping appointment " + WideToUtf8(Hex(old_item))));

  const DateTime later = DateTime::FromSystemTimeRounded(*FileTimeToSystemTime(now_));
  outlook_->mutable_events().clear();
  ASSERT_TRUE(outlook_->LoadEvents(&later, error, nullptr));
  EXPECT_THAT(LoadedIds(), IsEmpty());
  EXPECT_TRUE(log_.Contains("skipping appointment " + WideToUtf8(Hex(new_item))));
}

// Each failure ends the load with the message the user is shown for it.
TEST_F(OutlookTest, FailuresEndTheLoadWithTheirMessage) {
  struct Case {
    const char* name;
    std::function<void(sim::Store&, const sim::Bytes& plain)> fault;
    const char* line;
    int message;
  };
  const Case cases[] = {
      {"busy table",
       [](sim::Store& s, const sim::Bytes&) {
         s.faults().Fail(sim::FaultPoint::kContentsTable, MAPI_E_BUSY, 1);
       },
       "MAPI storage is busy.", IDS_MAPI_BUSY},
      {"network on open",
       [](sim::Store& s, const sim::Bytes&) {
         s.faults().Fail(sim::FaultPoint::kOpenEntry, MAPI_E_NETWORK_ERROR, 1);
       },
       "MAPI connection error.", IDS_CHECK_EXCHANGE},
      {"rows after 60",
       [](sim::Store& s, const sim::Bytes&) { s.faults().FailQueryRowsAfter(60, E_FAIL); },
       "60 entries processed\n  SEVERE: QueryRows error:  [hr: 0x80004005]",
       IDS_OUTLOOK_LOAD_FAILED},
      {"read-only item without id",
       [](sim::Store& s, const sim::Bytes& plain) { s.faults().SetReadOnly(plain, true); },
       "Failed to load even brief info.", IDS_OUTLOOK_LOAD_FAILED},
      {"save refused",
       [](sim::Store& s, const sim::Bytes&) {
         s.faults().Fail(sim::FaultPoint::kSave, MAPI_E_BUSY, 1);
       },
       "MAPI storage is busy.", IDS_MAPI_BUSY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open("");
    log_.Clear();
    const sim::Bytes plain = Add(L"no id yet");
    for (int i = 0; i < 79; ++i) Add(L"", L"IPM.Appointment", sim::MakeOutlookGlobalObjectId(now_));
    c.fault(*store_, plain);
    std::wstring error;
    EXPECT_FALSE(outlook_->LoadEvents(nullptr, error, nullptr));
    EXPECT_EQ(error, LoadResourceString(c.message));
    EXPECT_TRUE(log_.Contains(c.line)) << log_.Text();
    EXPECT_FALSE(log_.Contains("Briefly loaded"));
  }
}

TEST_F(OutlookTest, AnIdThatCannotBeReadIsNeverReplaced) {
  const sim::Bytes outlook_id = sim::MakeOutlookGlobalObjectId(kMonday);
  const sim::Bytes meeting = Add(L"Review", L"IPM.Appointment", outlook_id);
  store_->faults().SetUnreadable(meeting, store_->NamedTag(sim::kGlobalObjectId),
                                 MAPI_E_NETWORK_ERROR);
  std::wstring error;
  EXPECT_FALSE(outlook_->LoadEvents(nullptr, error, nullptr));
  EXPECT_EQ(error, LoadResourceString(IDS_CHECK_EXCHANGE));
  EXPECT_FALSE(log_.Contains("Putting generated UID"));
  EXPECT_EQ(std::get<sim::Bytes>(*sim::NamedValue(*store_, Item(meeting), sim::kGlobalObjectId)),
            outlook_id);
}

TEST_F(OutlookTest, CancellingStopsProcessingAndSucceedsWithWhatWasRead) {
  std::vector<sim::Bytes> ids;
  for (int i = 0; i < 120; ++i) ids.push_back(Add(L"item"));
  testing::ProgressRecorder progress;
  progress.cancel_after = 3;
  std::wstring error;
  EXPECT_TRUE(outlook_->LoadEvents(nullptr, error, &progress));

  EXPECT_EQ(progress.tasks, std::vector<std::wstring>{L"Loading Outlook events/120"});
  EXPECT_EQ(progress.sub_tasks,
            (std::vector<std::wstring>{L"0 out of 120", L"1 out of 120", L"2 out of 120"}));
  EXPECT_EQ(outlook_->events().size(), 3u);
  EXPECT_TRUE(log_.Contains("3 entries processed"));
  // Items past the cancel are left as they were.
  EXPECT_FALSE(sim::NamedValue(*store_, Item(ids.back()), sim::kGlobalObjectId));
}

}  // namespace
}  // namespace calendar_mirrow_addin
