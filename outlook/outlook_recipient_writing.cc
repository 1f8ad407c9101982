// Writing an event's guests as an item's recipients, the organizer as sender, the safe
// save of a series, and deleting items.

#include "outlook/automation.h"
#include "outlook/outlook.h"

namespace calendar_mirrow_addin {

// TEMPORARY until the recipient writing lands.
HRESULT Outlook::WriteRecipients(const Event* event, IDispatch*) {
  return event->HasGuests() ? E_NOTIMPL : S_OK;
}
HRESULT Outlook::SafeSave(const Event*, IDispatch* item) { return CallMethodNoArgs(item, L"Save"); }

}  // namespace calendar_mirrow_addin
