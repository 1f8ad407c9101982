// Writing guests as recipients of the simulated Outlook and reading them back, the safe
// save of a series, and deleting items.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "outlook/dispatch_values.h"
#include "outlook/mapi_access.h"
#include "sim/outlook/property.h"
#include "tests/outlook/outlook_fixture.h"

namespace calendar_mirrow_addin {
namespace {

using testing::Hex;
using ::testing::UnorderedElementsAreArray;

struct GuestSpec {
  const wchar_t* email;
  const wchar_t* name;
  AttendanceType attendance;
  ResponseStatus response;
};

// What a stored recipient row says: address, display name, flags (-1: none), type, answer.
using RowView = std::tuple<std::wstring, std::wstring, int64_t, int64_t, int64_t>;

class RecipientWritingTest : public testing::OutlookFixture {
 protected:
  static std::unique_ptr<Event> Meeting(std::initializer_list<GuestSpec> guests) {
    auto event = std::make_unique<Event>();
    for (const GuestSpec& g : guests) event->AddGuest(g.email, g.name, g.attendance, g.response);
    return event;
  }

  std::vector<RowView> StoredRows(const sim::Bytes& entry_id) {
    std::vector<RowView> rows;
    for (const sim::PropMap& row : Item(entry_id).recipients) {
      const auto text = [&](ULONG tag) {
        const auto it = row.find(tag);
        return it == row.end() ? std::wstring() : std::get<std::wstring>(it->second);
      };
      const auto number = [&](ULONG tag) {
        const auto it = row.find(tag);
        return it == row.end() ? int64_t{-1} : std::get<int64_t>(it->second);
      };
      rows.emplace_back(text(PR_SMTP_ADDRESS_W), text(PR_DISPLAY_NAME_W),
                        number(PR_RECIPIENT_FLAGS), number(PR_RECIPIENT_TYPE),
                        number(sim::kPrRecipientTrackStatus));
    }
    return rows;
  }

  std::wstring Sender(IDispatch* item, ULONG tag) {
    std::wstring text;
    EXPECT_EQ(GetStringProperty(item, tag, text), S_OK);
    return text;
  }
};

// The account (ann) organises, or is invited by an Exchange user whose directory address
// is not in lower case. Each write follows an earlier one, whose recipients must go.
TEST_F(RecipientWritingTest, GuestsAreWrittenAndReadBack) {
  ASSERT_EQ(store_->AddDirectoryUser({L"Olga Ortiz", L"Olga@nexora.example", L"/o=Nexora/cn=olga"}),
            S_OK);
  struct Case {
    std::initializer_list<GuestSpec> guests;
    LONG meeting_status;
    std::vector<RowView> rows;
    LONG item_response;
  };
  const Case cases[] = {
      {{{L"ann@nexora.example", L"Ann", kAttendanceOrganizer, kResponseAccepted},
        {L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseAccepted},
        {L"carol@nexora.example", L"", kAttendanceOptional, kResponseDeclined}},
       1,
       {{L"ann@nexora.example", L"Ann", 3, 1, 1},
        {L"bob@nexora.example", L"Bob", 1, 1, 3},
        {L"carol@nexora.example", L"carol@nexora.example", 1, 2, 4}},
       0},
      {{{L"olga@nexora.example", L"Olga O.", kAttendanceOrganizer, kResponseAccepted},
        {L"ann@nexora.example", L"Ann", kAttendanceOptional, kResponseTentative},
        {L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseInvited}},
       3,
       {{L"ann@nexora.example", L"Ann", 1, 2, 2},
        {L"bob@nexora.example", L"Bob", 1, 1, 5},
        {L"Olga@nexora.example", L"Olga O.", 3, 1, 1}},
       2},
  };
  for (const Case& c : cases) {
    const sim::Bytes entry_id = Add(L"Review");
    ComRef<IDispatch> item = ItemObject(entry_id);
    const auto earlier =
        Meeting({{L"dave@nexora.example", L"Dave", kAttendanceOrganizer, kResponseAccepted},
                 {L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseDeclined}});
    ASSERT_EQ(outlook_->WriteRecipients(earlier.get(), item.get()), S_OK);
    const auto event = Meeting(c.guests);
    ASSERT_EQ(outlook_->WriteRecipients(event.get(), item.get()), S_OK) << log_.Text();
    ASSERT_EQ(PutLong(item.get(), L"MeetingStatus", c.meeting_status), S_OK);
    ASSERT_EQ(CallMethodNoArgs(item.get(), L"Save"), S_OK);

    EXPECT_THAT(StoredRows(entry_id), UnorderedElementsAreArray(c.rows));
    LONG response = -1;
    ASSERT_EQ(GetLong(item.get(), L"ResponseStatus", response), S_OK);
    EXPECT_EQ(response, c.item_response);
    const GuestSpec& organizer = *c.guests.begin();
    EXPECT_EQ(Sender(item.get(), PR_SENDER_EMAIL_ADDRESS_W), organizer.email);
    EXPECT_EQ(Sender(item.get(), PR_SENDER_NAME_W), organizer.name);
    EXPECT_EQ(Sender(item.get(), PR_SENDER_ADDRTYPE_W), L"SMTP");

    const Event* loaded = Loaded(entry_id);
    ASSERT_NE(loaded, nullptr) << log_.Text();
    std::vector<std::tuple<std::wstring, AttendanceType, ResponseStatus>> expected, got;
    for (const GuestSpec& g : c.guests) expected.emplace_back(g.email, g.attendance, g.response);
    for (const auto& [email, g] : loaded->guests()) {
      got.emplace_back(email, g.attendance_type, g.response_status);
    }
    EXPECT_THAT(got, UnorderedElementsAreArray(expected));
  }
  EXPECT_EQ(store_->refused_sends(), 0);
}

TEST_F(RecipientWritingTest, GuestsWithoutOrganizerOrAddressBookEntry) {
  struct Case {
    std::initializer_list<GuestSpec> guests;
    HRESULT result;
    size_t rows;
    bool organizer_missing;
  };
  const Case cases[] = {
      {{}, S_OK, 0, false},
      {{{L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseAccepted}}, E_FAIL, 1, true},
      // An address nobody can resolve stays as typed; the rows after it are still patched.
      {{{L"front desk@nexora.example", L"Desk", kAttendanceOptional, kResponseInvited},
        {L"olga@nexora.example", L"Olga", kAttendanceOrganizer, kResponseAccepted}},
       S_OK,
       2,
       false},
  };
  for (const Case& c : cases) {
    log_.Clear();
    const sim::Bytes entry_id = Add(L"Sync");
    ComRef<IDispatch> item = ItemObject(entry_id);
    const auto earlier =
        Meeting({{L"dave@nexora.example", L"Dave", kAttendanceOrganizer, kResponseAccepted}});
    ASSERT_EQ(outlook_->WriteRecipients(earlier.get(), item.get()), S_OK);
    const auto event = Meeting(c.guests);
    EXPECT_EQ(outlook_->WriteRecipients(event.get(), item.get()), c.result);
    ASSERT_EQ(CallMethodNoArgs(item.get(), L"Save"), S_OK);
    const auto rows = StoredRows(entry_id);
    EXPECT_EQ(rows.size(), c.rows);
    EXPECT_EQ(log_.Contains("Cannot find organizer among guests"), c.organizer_missing);
    if (c.rows == 2) {
      EXPECT_THAT(rows, ::testing::Contains(RowView{L"olga@nexora.example", L"Olga", 3, 1, 1}));
      EXPECT_THAT(rows, ::testing::Contains(RowView{L"", L"front desk@nexora.example", -1, 2, 5}));
    }
  }
}

TEST_F(RecipientWritingTest, SafeSaveIgnoresOnlyASeriesWhoseEveryOccurrenceIsGone) {
  const auto series = [](bool until, int32_t count, std::initializer_list<EventStatus> states) {
    auto event = std::make_unique<Event>();
    auto recurrence = std::make_unique<Recurrence>();
    if (until) recurrence->set_until(ParseIso(L"2023-06-30T00:00:00.000Z"));
    recurrence->set_count(count);
    for (EventStatus status : states) {
      auto exception = std::make_unique<Event>();
      exception->set_status(status);
      recurrence->AddException(std::move(exception));
    }
    event->set_recurrence(std::move(recurrence));
    return event;
  };
  struct Case {
    std::unique_ptr<Event> event;
    bool save_fails;
    HRESULT result;
  };
  Case cases[] = {
      {series(true, -1, {kEventStatusCanceled}), false, S_OK},
      {series(true, -1, {kEventStatusCanceled, kEventStatusCanceled}), true, S_FALSE},
      {series(false, 4, {kEventStatusCanceled}), true, S_FALSE},
      {series(false, -1, {kEventStatusCanceled}), true, DISP_E_EXCEPTION},
      {series(false, 4, {kEventStatusCanceled, kEventStatusConfirmed}), true, DISP_E_EXCEPTION},
      {series(true, -1, {}), true, DISP_E_EXCEPTION},
      {std::make_unique<Event>(), true, DISP_E_EXCEPTION},
  };
  const sim::Bytes entry_id = Add(L"Weekly");
  ComRef<IDispatch> item = ItemObject(entry_id);
  for (const Case& c : cases) {
    log_.Clear();
    if (c.save_fails) store_->faults().Fail(sim::FaultPoint::kSave, MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(outlook_->SafeSave(c.event.get(), item.get()), c.result);
    EXPECT_EQ(log_.Contains("Ignore Save failure since we think that all ocurrences were deleted"),
              c.result == S_FALSE);
    EXPECT_EQ(log_.Contains("Unable to save event"), FAILED(c.result));
  }
}

TEST_F(RecipientWritingTest, DeleteRemovesTheItemAndReportsAMissingOne) {
  const sim::Bytes entry_id = Add(L"Lunch");
  const sim::Bytes other = Add(L"Dinner");
  std::wstring message;
  EXPECT_EQ(outlook_->Delete(Hex(entry_id), &message), 0);
  EXPECT_EQ(store_->Find(entry_id), nullptr);
  EXPECT_NE(store_->Find(other), nullptr);
  for (const std::wstring& id : {Hex(entry_id), std::wstring(L"not an id")}) {
    ComRef<IDispatch> item;
    const HRESULT lookup = outlook_->GetItemFromId(id, item);
    ASSERT_TRUE(FAILED(lookup));
    EXPECT_EQ(outlook_->Delete(id, &message), lookup);
  }
  store_->faults().SetReadOnly(other, true);
  // Outlook raises the refusal as an exception of the call.
  EXPECT_EQ(outlook_->Delete(Hex(other), &message), DISP_E_EXCEPTION);
  EXPECT_NE(store_->Find(other), nullptr);
}

}  // namespace
}  // namespace calendar_mirrow_addin
