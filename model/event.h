#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "model/date_time.h"

namespace calendar_mirrow_addin {

class Recurrence;

enum BusyStatus : int32_t {
  kBusyStatusNone = 0,
  kBusyStatusBusy = 1,
  kBusyStatusFree = 2,
};

enum EventStatus : int32_t {
  kEventStatusNone = 0,
  kEventStatusCanceled = 1,
  kEventStatusConfirmed = 2,
  kEventStatusTentative = 3,
};

enum ResponseStatus : int32_t {
  kResponseInvited = 1,
  kResponseAccepted = 2,
  kResponseDeclined = 3,
  kResponseTentative = 4,
};

enum AttendanceType : int32_t {
  kAttendanceOptional = 1,
  kAttendanceRequired = 2,
  kAttendanceOrganizer = 3,
};

struct Guest {
  // The address is stored lower-cased.
  Guest(const std::wstring& email, std::wstring name, AttendanceType attendance_type,
        ResponseStatus response_status);

  std::wstring email;
  std::wstring name;
  AttendanceType attendance_type;
  ResponseStatus response_status;
};

// The same guest for comparison purposes: equal address and attendance, and equal
// response unless the guest is the organizer, whose own answer is not compared. The
// display name does not count.
bool SameGuest(const Guest& a, const Guest& b);

using GuestMap = std::unordered_map<std::wstring, Guest>;

// Bits of Event::CompareTo: set when the aspect is equal on both sides.
enum EventAspect : int32_t {
  kAspectUpdated = 1 << 0,
  kAspectTitle = 1 << 1,
  kAspectLocation = 1 << 2,
  kAspectBody = 1 << 3,
  kAspectAllDay = 1 << 4,
  kAspectStart = 1 << 5,
  kAspectEnd = 1 << 6,
  kAspectBusyStatus = 1 << 7,
  kAspectStatus = 1 << 8,
  kAspectGuests = 1 << 9,
  kAspectRecurrence = 1 << 10,
  kAspectReminder = 1 << 11,
  kAspectSequence = 1 << 12,
};
inline constexpr int32_t kEquivalenceMask = 0xFFE;

// The neutral record of one calendar entry, the form both calendars load into and write
// from. Timestamps and the recurrence are owned and may be null.
class Event {
 public:
  Event();
  virtual ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  Event(Event&&) noexcept;
  Event& operator=(Event&&) noexcept;

  const std::wstring& id() const { return id_; }
  void set_id(std::wstring value) { id_ = std::move(value); }
  const DateTime* updated() const { return updated_.get(); }
  void set_updated(std::unique_ptr<DateTime> value) { updated_ = std::move(value); }
  const std::wstring& title() const { return title_; }
  void set_title(std::wstring value) { title_ = std::move(value); }
  const std::wstring& location() const { return location_; }
  void set_location(std::wstring value) { location_ = std::move(value); }
  const std::wstring& body() const { return body_; }
  void set_body(std::wstring value) { body_ = std::move(value); }
  bool all_day() const { return all_day_; }
  void set_all_day(bool value) { all_day_ = value; }
  const DateTime* start() const { return start_.get(); }
  void set_start(std::unique_ptr<DateTime> value) { start_ = std::move(value); }
  const DateTime* end() const { return end_.get(); }
  void set_end(std::unique_ptr<DateTime> value) { end_ = std::move(value); }
  BusyStatus busy_status() const { return busy_status_; }
  void set_busy_status(BusyStatus value) { busy_status_ = value; }
  EventStatus status() const { return status_; }
  void set_status(EventStatus value) { status_ = value; }
  const GuestMap& guests() const { return guests_; }
  GuestMap& mutable_guests() { return guests_; }
  bool is_recurring() const { return is_recurring_; }
  void set_is_recurring(bool value) { is_recurring_ = value; }
  const Recurrence* recurrence() const { return recurrence_.get(); }
  Recurrence* mutable_recurrence() { return recurrence_.get(); }
  void set_recurrence(std::unique_ptr<Recurrence> value);
  bool reminder_set() const { return reminder_set_; }
  void set_reminder_set(bool value) { reminder_set_ = value; }
  int32_t reminder_seconds() const { return reminder_seconds_; }
  void set_reminder_seconds(int32_t value) { reminder_seconds_ = value; }
  int32_t sequence_num() const { return sequence_num_; }
  void set_sequence_num(int32_t value) { sequence_num_ = value; }
  const DateTime* original_date() const { return original_date_.get(); }
  void set_original_date(std::unique_ptr<DateTime> value) { original_date_ = std::move(value); }
  const std::wstring& ical_uid() const { return ical_uid_; }
  void set_ical_uid(std::wstring value) { ical_uid_ = std::move(value); }
  bool load_failed() const { return load_failed_; }
  void set_load_failed(bool value) { load_failed_ = value; }

  // Inserts a guest under `email` unless that key is already present.
  void AddGuest(const std::wstring& email, const std::wstring& name, AttendanceType attendance_type,
                ResponseStatus response_status);
  bool HasGuests() const { return !guests_.empty(); }
  bool HasGuest(const std::wstring& email) const { return guests_.count(email) != 0; }
  bool IsOrganizer(const std::wstring& email) const;

  // A deep copy: timestamps, guests, the recurrence and its exceptions included.
  std::unique_ptr<Event> Clone() const;

  // One bit per aspect (EventAspect), set when the aspect is equal in both events.
  int32_t CompareTo(const Event& other) const;
  // Multi-line text for the log.
  std::wstring Dump() const;

 private:
  std::wstring id_;
  std::unique_ptr<DateTime> updated_;
  std::wstring title_;
  std::wstring location_;
  std::wstring body_;
  bool all_day_ = false;
  std::unique_ptr<DateTime> start_;
  std::unique_ptr<DateTime> end_;
  BusyStatus busy_status_ = kBusyStatusNone;
  EventStatus status_ = kEventStatusNone;
  GuestMap guests_;
  bool is_recurring_ = false;
  std::unique_ptr<Recurrence> recurrence_;
  bool reminder_set_ = false;
  int32_t reminder_seconds_ = 0;
  int32_t sequence_num_ = 0;
  std::unique_ptr<DateTime> original_date_;
  std::wstring ical_uid_;
  bool load_failed_ = false;
};

// Bits 1 to 11 of CompareTo all set: `updated` and `sequence_num` do not count.
bool Equivalent(const Event& a, const Event& b);
// For exceptions of a series: a cancelled occurrence only needs the same status and
// original date on the other side.
bool ExceptionEquivalent(const Event& a, const Event& b);

}  // namespace calendar_mirrow_addin
