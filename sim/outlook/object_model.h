#pragma once

// The simulated Outlook object model behind IDispatch: Application, Namespace, the
// calendar MAPIFolder with its Items, and AppointmentItem (other item classes answer the
// members every item has). Names are looked up without regard to case; an item's fields
// live in the same message its MAPIOBJECT hands out, so both views read one another's
// changes.

#include <memory>

#include "platform/com/dispatch.h"
#include "sim/outlook/store.h"

namespace calendar_mirrow_addin::sim {

// The Application object, with one reference owned by the caller.
IDispatch* NewApplication(std::shared_ptr<Store> store);

// Exception texts of the object model, as the add-in may see them in EXCEPINFO.
inline constexpr wchar_t kTextNotFound[] = L"The operation failed. An object could not be found.";
inline constexpr wchar_t kTextDeleted[] = L"The item has been moved or deleted.";
inline constexpr wchar_t kTextNoAccess[] =
    L"You don't have appropriate permission to perform this operation.";
inline constexpr wchar_t kTextBadValue[] =
    L"Could not complete the operation. One or more parameter values are not valid.";
inline constexpr wchar_t kTextEndBeforeStart[] =
    L"The end date you entered occurs before the start date.";
inline constexpr wchar_t kTextFailed[] = L"The operation failed.";
inline constexpr wchar_t kTextNoOccurrence[] =
    L"You changed one of the recurrences of this item, and this instance no longer exists. "
    L"Close any open items and try again.";
inline constexpr wchar_t kTextSkipsOccurrence[] =
    L"Cannot reschedule an occurrence of the recurring appointment if it skips over a later or "
    L"earlier occurrence of the same appointment.";
inline constexpr wchar_t kTextBadPattern[] =
    L"The recurrence pattern is not valid. Check the pattern and its start and end dates.";

}  // namespace calendar_mirrow_addin::sim
