#include "model/event.h"

#include <cwctype>

#include "base/logger.h"
#include "base/text.h"
#include "model/recurrence.h"

namespace calendar_mirrow_addin {

namespace {

// Line breaks and tabs are dropped (not turned into blanks), then the ends trimmed:
// the two calendars wrap and indent text differently.
std::wstring NormalizeText(const std::wstring& text) {
  std::wstring kept;
  kept.reserve(text.size());
  for (wchar_t c : text) {
    if (c != L'\r' && c != L'\n' && c != L'\t') kept.push_back(c);
  }
  return Trim(kept);
}

bool SameGuests(const GuestMap& a, const GuestMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [email, guest] : a) {
    const auto other = b.find(email);
    if (other == b.end() || !SameGuest(guest, other->second)) return false;
  }
  return true;
}

// Start and end belong to the recurrence for recurring events.
bool SameTime(const Event& a, const Event& b, const DateTime* ta, const DateTime* tb) {
  if (a.is_recurring() != b.is_recurring()) return false;
  return a.is_recurring() || OptionalEquals(ta, tb);
}

bool SameRecurrence(const Event& a, const Event& b) {
  if (a.is_recurring() != b.is_recurring()) return false;
  return !a.is_recurring() || RecurrenceEquals(a.recurrence(), b.recurrence());
}

bool SameReminder(const Event& a, const Event& b) {
  if (a.reminder_set() != b.reminder_set()) return false;
  return !a.reminder_set() || a.reminder_seconds() == b.reminder_seconds();
}

std::wstring BitText(int32_t mask) {
  std::wstring bits;
  for (int bit = 12; bit >= 0; --bit) bits.push_back((mask >> bit) & 1 ? L'1' : L'0');
  return bits;
}

std::wstring Flag(bool value) { return value ? L"1" : L"0"; }

}  // namespace

Guest::Guest(const std::wstring& email, std::wstring name, AttendanceType attendance_type,
             ResponseStatus response_status)
    : email(ToLower(email)),
      name(std::move(name)),
      attendance_type(attendance_type),
      response_status(response_status) {}

bool SameGuest(const Guest& a, const Guest& b) {
  if (a.email != b.email || a.attendance_type != b.attendance_type) return false;
  return a.attendance_type == kAttendanceOrganizer || a.response_status == b.response_status;
}

Event::Event() = default;
Event::~Event() = default;
Event::Event(Event&&) noexcept = default;
Event& Event::operator=(Event&&) noexcept = default;

namespace {

std::unique_ptr<DateTime> CopyOf(const DateTime* value) {
  return value ? std::make_unique<DateTime>(*value) : nullptr;
}

}  // namespace

std::unique_ptr<Event> Event::Clone() const {
  auto copy = std::make_unique<Event>();
  copy->id_ = id_;
  copy->updated_ = CopyOf(updated_.get());
  copy->title_ = title_;
  copy->location_ = location_;
  copy->body_ = body_;
  copy->all_day_ = all_day_;
  copy->start_ = CopyOf(start_.get());
  copy->end_ = CopyOf(end_.get());
  copy->busy_status_ = busy_status_;
  copy->status_ = status_;
  copy->guests_ = guests_;
  copy->is_recurring_ = is_recurring_;
  if (recurrence_) copy->recurrence_ = recurrence_->Clone();
  copy->reminder_set_ = reminder_set_;
  copy->reminder_seconds_ = reminder_seconds_;
  copy->sequence_num_ = sequence_num_;
  copy->original_date_ = CopyOf(original_date_.get());
  copy->ical_uid_ = ical_uid_;
  copy->load_failed_ = load_failed_;
  return copy;
}

void Event::set_recurrence(std::unique_ptr<Recurrence> value) { recurrence_ = std::move(value); }

void Event::AddGuest(const std::wstring& email, const std::wstring& name,
                     AttendanceType attendance_type, ResponseStatus response_status) {
  guests_.try_emplace(email, email, name, attendance_type, response_status);
}

bool Event::IsOrganizer(const std::wstring& email) const {
  const auto guest = guests_.find(email);
  return guest != guests_.end() && guest->second.attendance_type == kAttendanceOrganizer;
}

int32_t Event::CompareTo(const Event& other) const {
  LogBlock block(L"Event::CompareTo");
  const bool equal[] = {
      OptionalEquals(updated(), other.updated()),
      NormalizeText(title_) == NormalizeText(other.title_),
      NormalizeText(location_) == NormalizeText(other.location_),
      NormalizeText(body_) == NormalizeText(other.body_),
      all_day_ == other.all_day_,
      SameTime(*this, other, start(), other.start()),
      SameTime(*this, other, end(), other.end()),
      busy_status_ == other.busy_status_,
      status_ == other.status_,
      SameGuests(guests_, other.guests_),
      SameRecurrence(*this, other),
      SameReminder(*this, other),
      sequence_num_ == other.sequence_num_,
  };
  int32_t mask = 0;
  for (int bit = 0; bit < 13; ++bit) {
    if (equal[bit]) mask |= 1 << bit;
  }
  LogInfo(L"comparison = " + BitText(mask));
  return mask;
}

std::wstring Event::Dump() const {
  std::wstring out = L"id = " + id_ + L"\n";
  if (updated_) out += L"updated = " + FormatICal(*updated_) + L"\n";
  out += L"title = " + title_ + L"\n";
  out += L"location = " + location_ + L"\n";
  out += L"all_day = " + Flag(all_day_) + L"\n";
  out += L"is_recurring = " + Flag(is_recurring_) + L"\n";
  if (is_recurring_) {
    out += L"recurrence = " + (recurrence_ ? recurrence_->text() : std::wstring()) + L"\n";
    out += L"EXCEPTIONS\n";
    if (recurrence_) {
      for (const auto& exception : recurrence_->exceptions()) {
        if (exception->original_date()) out += FormatICal(*exception->original_date());
        out += L"\n";
      }
    }
  } else if (start_) {
    out += L"start = " + FormatICal(*start_) + L"\n";
    if (end_) out += L"end = " + FormatICal(*end_) + L"\n";
  }
  if (original_date_) out += L"original_date = " + FormatICal(*original_date_) + L"\n";
  out += L"body = " + body_ + L"\n";
  out += L"busy_status = " + DecimalText(busy_status_) + L"\n";
  out += L"status = " + DecimalText(status_) + L"\n";
  out += L"reminder_set = " + Flag(reminder_set_) + L"\n";
  out += L"reminder_seconds = " + DecimalText(reminder_seconds_) + L"\n";
  out += L"ical_uid = " + ical_uid_ + L"\n";
  out += L"sequence_num = " + DecimalText(sequence_num_) + L"\n";
  out += L"load_failed = " + Flag(load_failed_) + L"\n";
  if (!guests_.empty()) {
    out += L"Guests:\n";
    for (const auto& [email, guest] : guests_) {
      out += L"name = " + guest.name + L" email = " + email + L" response_status = " +
             DecimalText(guest.response_status) + L" attendance_type = " +
             DecimalText(guest.attendance_type) + L"\n";
    }
  }
  return out;
}

bool Equivalent(const Event& a, const Event& b) {
  return (a.CompareTo(b) & kEquivalenceMask) == kEquivalenceMask;
}

bool ExceptionEquivalent(const Event& a, const Event& b) {
  if (a.status() != kEventStatusCanceled && b.status() != kEventStatusCanceled) {
    return Equivalent(a, b);
  }
  return a.status() == b.status() && OptionalEquals(a.original_date(), b.original_date());
}

}  // namespace calendar_mirrow_addin
