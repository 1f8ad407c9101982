#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/hresult.h"
#include "model/recurrence.h"
#include "outlook/com_ref.h"
#include "platform/com/dispatch.h"
#include "platform/com/mapi_interfaces.h"
#include "sync/calendar.h"

namespace calendar_mirrow_addin {

// The user's default Outlook calendar folder as a Calendar. Event ids are the items' MAPI
// entry ids in upper-case hexadecimal, the text the object model's EntryID uses too.
//
// Loading is in two phases: the brief list reads three columns of the folder's contents
// table for every item (id, modification time, UID); Load reads an event in full, only for
// the events the engine needs.
//
// Writing goes through one ordered procedure, UpdateItem, for new and existing items alike:
// the fields one group at a time, a series' pattern and its exceptions under a temporary
// zone arrangement, the save, and the item's new modification time.
class Outlook : public Calendar {
 public:
  // `application` is the Outlook Application object (a reference is taken).
  // `resolve_address_book` selects how recipients are resolved (the "RESOLVE_ADDRESS_BOOK"
  // setting, read by the owner).
  Outlook(IDispatch* application, const std::wstring& user, bool resolve_address_book = true);
  ~Outlook() override;

  std::wstring GetName() const override { return L"Outlook"; }
  bool LoadEvents(const DateTime* updated_min, std::wstring& error_message,
                  IProgressMonitor* progress) override;
  bool Load(Event* event) override;
  int Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
             std::wstring* message) override;
  int Update(const std::wstring& target_id, const Event* source, std::wstring* new_id,
             DateTime* new_updated, std::wstring* message) override;
  int Delete(const std::wstring& id, std::wstring* message) override;
  std::unique_ptr<DateTime> GetUpdatedTime(const Event* event) const override;

  // Opens the MAPI namespace (with `profile` when not empty) and names the default
  // calendar folder.
  HRESULT Logon(const std::wstring& profile, std::wstring* calendar_folder_id);
  HRESULT Logoff();
  HRESULT GetItemFromId(const std::wstring& id, ComRef<IDispatch>& item);
  // The brief list: every appointment's id, modification time and UID (written into the
  // item when it has none). Items not changed after `updated_min` are left out.
  HRESULT LoadEventsBrief(const DateTime* updated_min, IProgressMonitor* progress);

  // Fills an event from an appointment item (an occurrence's when `is_exception`).
  HRESULT LoadFromItem(IDispatch* item, bool is_exception, Event* event);
  // The event of one entry of a series' Exceptions; none when it cannot be placed.
  std::unique_ptr<Event> CreateFromException(IDispatch* series_item, IDispatch* exception,
                                             Event* series_event, const DateTime& series_start,
                                             const std::wstring& zone_id);
  // The end type byte of the series' recurrence data ('!', '"' or '#').
  HRESULT ReadRecurrenceEndType(IDispatch* item, uint8_t* end_type);

  // A recipient's text (name or address) as an e-mail address: S_OK, kRecipientNotFound
  // or a failure. Results are cached for the life of the object.
  HRESULT ResolveRecipientEmail(const std::wstring& text, std::wstring* email);
  HRESULT ResolveRecipientEmailAddressBook(const std::wstring& text, std::wstring* email);
  HRESULT ResolveRecipientEmailEvent(const std::wstring& text, std::wstring* email);
  // The rows of an item's recipient table (freed by the holder).
  struct RowSet {
    ~RowSet() { FreeProws(set); }
    LPSRowSet set = nullptr;
  };
  HRESULT GetRecipientRows(IDispatch* item, RowSet& rows);
  HRESULT ResolveEmailFromRow(const SRow& row, std::wstring* email);
  HRESULT GetOrganizerEmail(IDispatch* item, std::wstring* email);

  // The system's own user properties of an item (text values).
  HRESULT GetUserProperty(IDispatch* item, const std::wstring& name, std::wstring* value);
  HRESULT SetUserProperty(IDispatch* item, const std::wstring& name, const std::wstring& value);
  HRESULT DeleteUserProperty(IDispatch* item, const std::wstring& name);

  // Writes `event` into `item` (entry `id`); the item may be reopened on the way.
  HRESULT UpdateItem(const std::wstring& id, const Event* event, ComRef<IDispatch>& item,
                     DateTime* new_updated);
  // Writes a changed occurrence's own fields into the occurrence item.
  HRESULT UpdateException(const Event* exception, IDispatch* occurrence);
  // Gives the item the series zone's time-zone structure (with the machine's biases when
  // `use_local_biases`) and label; nothing is written when it already holds it.
  HRESULT SetRecurrenceTimeZone(const Recurrence& recurrence, bool use_local_biases,
                                IDispatch* item);
  HRESULT SetTimeZoneLabel(const std::wstring& zone_id, IDispatch* item);

  // The event's guests as the item's recipients, with their roles and answers, display
  // names, the organizer flag and the organizer as sender.
  HRESULT WriteRecipients(const Event* event, IDispatch* item);
  HRESULT AddRecipient(const Guest& guest, IDispatch* recipients, IDispatch* item,
                       const std::wstring& organizer_email);
  HRESULT SetDisplayNamesAndOrganizer(IDispatch* item, const GuestMap& guests,
                                      const std::wstring& organizer_email);
  // Saves a series: S_OK, S_FALSE when a failure is ignored because every occurrence of
  // a bounded series was deleted, or the failure.
  HRESULT SafeSave(const Event* event, IDispatch* item);

  // Outlook needs a moment after a series' zone changes before the pattern is written
  // again; tests replace the wait.
  void set_settle_wait(std::function<void(int milliseconds)> wait) {
    settle_wait_ = std::move(wait);
  }

  const std::wstring& calendar_folder_id() const { return calendar_folder_id_; }
  bool resolve_address_book() const { return resolve_address_book_; }

 private:
  HRESULT ReadUid(IMessage* message, Event* event);
  HRESULT BriefEvent(IMAPIFolder* folder, const SRow& row, const DateTime* updated_min);

  HRESULT LoadTimes(IDispatch* item, Event* event);
  HRESULT LoadBusyState(IDispatch* item, Event* event);
  HRESULT HasMeetingException(IDispatch* item, bool* found);
  HRESULT LoadGuests(IDispatch* item, Event* event);
  HRESULT LoadGuest(IDispatch* item, IDispatch* recipient, const std::wstring& organizer,
                    Event* event);
  HRESULT LoadRecurrence(IDispatch* item, Event* event);
  HRESULT LoadRecurrenceZone(IDispatch* item, std::wstring* tzid);
  HRESULT LoadRecurrenceTimes(IDispatch* item, IDispatch* pattern, Recurrence& recurrence,
                              bool all_day);
  HRESULT LoadRecurrenceRule(IDispatch* pattern, Recurrence& recurrence);
  HRESULT LoadExceptions(IDispatch* item, IDispatch* pattern, Event* event);
  HRESULT LoadRecurrenceText(IDispatch* item, Recurrence& recurrence);
  HRESULT LoadReminder(IDispatch* item, Event* event);
  std::unique_ptr<Event> SetOriginalDate(IDispatch* series_item, IDispatch* exception,
                                         const DateTime& series_start, const std::wstring& zone_id,
                                         std::unique_ptr<Event> event);

  HRESULT WriteText(const Event* event, IDispatch* item);
  HRESULT WriteMeetingStatus(const Event* event, IDispatch* item);
  HRESULT WriteBusyState(const Event* event, IDispatch* item);
  HRESULT WriteReminder(const Event* event, IDispatch* item);
  HRESULT EnableResponseTracking(const Event* event, IDispatch* item);
  HRESULT FinishItem(const Event* event, IDispatch* item, DateTime* new_updated);
  HRESULT UpdateSeries(const std::wstring& id, const Event* event, ComRef<IDispatch>& item);
  HRESULT WriteRecurrencePattern(const Event* event, IDispatch* item);
  HRESULT WritePatternEnd(const Recurrence& recurrence, IDispatch* pattern);
  HRESULT WriteSeriesTimes(const Recurrence& recurrence, IDispatch* item);
  HRESULT RescheduleOccurrences(const Event* series, IDispatch* item);
  HRESULT FillOccurrences(const Event* series, IDispatch* item);

  HRESULT CreateAppointment(ComRef<IDispatch>& item);
  HRESULT DeleteForGood(IDispatch* item);
  // A user property by name; empty (and S_OK) when the item has none of that name.
  HRESULT FindUserProperty(IDispatch* item, const std::wstring& name, ComRef<IDispatch>& property);
  HRESULT AddUserProperty(IDispatch* item, const std::wstring& name, LONG type,
                          ComRef<IDispatch>& property);

  ComRef<IDispatch> application_;
  ComRef<IDispatch> name_space_;
  std::wstring calendar_folder_id_;
  bool resolve_address_book_;
  std::map<std::wstring, std::wstring> resolved_addresses_;
  // The events being loaded, the series first while one of its occurrences loads.
  std::vector<Event*> loading_;
  std::function<void(int milliseconds)> settle_wait_;
};

// The system's own user properties: the reminder kept while Outlook's is off for a past
// event, and the iCalendar text of a series' rule.
inline constexpr wchar_t kRealReminderSet[] = L"RealReminderSet ";
inline constexpr wchar_t kRecurrenceIdProperty[] = L"NxCalRecurrenceID";

// What a resolution reports for a recipient it cannot find: leave that recipient out.
inline constexpr HRESULT kRecipientNotFound = 1168;

// The entry id as upper-case hexadecimal, two digits a byte, and back (none for text
// that is not pairs of hexadecimal digits).
std::wstring EntryIdText(const SBinary& entry_id);
std::optional<std::vector<uint8_t>> EntryIdBytes(const std::wstring& text);

}  // namespace calendar_mirrow_addin
