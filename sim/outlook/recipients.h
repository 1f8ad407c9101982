#pragma once

// Recipients of an item, in both views: the MAPI recipient table and ModifyRecipients over
// the rows a message holds, and the object model's Recipients, Recipient and AddressEntry.
// Rows are property maps, each with its PR_ROWID.

#include <memory>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/mapi_interfaces.h"
#include "sim/outlook/store.h"

namespace calendar_mirrow_addin::sim {

class Message;

// Recipient types and flags as the rows hold them.
inline constexpr LONG kRecipientRequired = 1;
inline constexpr LONG kRecipientSendable = 1;
inline constexpr LONG kRecipientOrganizer = 2;  // added to sendable: 3

// A table over a copy of `rows`, with one reference owned by the caller.
IMAPITable* NewRecipientTable(std::vector<PropMap> rows);

// Applies IMessage::ModifyRecipients to `rows`: MODRECIP_ADD appends entries under new row
// ids, MODRECIP_MODIFY changes the rows named by PR_ROWID (values an entry does not hold are
// kept), MODRECIP_REMOVE drops them, and no flag replaces every row. Either all of the
// changes are made or none: MAPI_E_NOT_FOUND names a row id the rows do not hold.
HRESULT ModifyRecipientRows(ULONG flags, const ADRLIST* changes, std::vector<PropMap>* rows);

// AppointmentItem.Recipients over `message` (which the collection holds a reference on).
IDispatch* NewRecipients(std::shared_ptr<Store> store, Message* message);

}  // namespace calendar_mirrow_addin::sim
