#pragma once

// Seeding and inspection of the simulated store, for tests and the demo: appointments (or
// items of any class) with given fields, and the items as they stand.

#include <optional>
#include <string>

#include "sim/outlook/recurrence.h"
#include "sim/outlook/store.h"

namespace calendar_mirrow_addin::sim {

struct AppointmentSeed {
  std::wstring message_class = L"IPM.Appointment";
  std::wstring subject;
  std::wstring location;
  std::wstring body;
  FileTime start = 0;  // UTC; the end defaults to half an hour later
  FileTime end = 0;
  bool all_day = false;
  LONG busy_status = 2;  // busy
  LONG meeting_status = 0;
  std::optional<Bytes> global_object_id;
};

// A global object id as Outlook makes one for a meeting it creates: the class id, no
// instance date, the creation time, reserved zeros, the size 16 and 16 random bytes.
Bytes MakeOutlookGlobalObjectId(FileTime created);

// Saves a new item; its entry id, or an empty one when the save failed.
Bytes AddAppointment(Store& store, const AppointmentSeed& seed);

// Saves a new series: the seed's fields (its times give way to the pattern's first
// occurrence), the pattern `view` makes, and, when given, the 48-byte time-zone structure
// the pattern's times are in (otherwise they are in the machine's zone) with its label.
// An empty entry id when the view makes no series or the save failed.
Bytes AddRecurringAppointment(Store& store, const AppointmentSeed& seed, const RecurrenceView& view,
                              const std::optional<Bytes>& zone_struct = std::nullopt,
                              const std::wstring& zone_label = L"");

// A named property of a stored item; none when absent.
std::optional<PropData> NamedValue(Store& store, const StoredItem& item, const NamedProp& prop);

}  // namespace calendar_mirrow_addin::sim
