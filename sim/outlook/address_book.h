#pragma once

// The address book of the simulated session: names, SMTP addresses and Exchange addresses
// resolved against the directory kept in the store, and the IAddrBook that hands that
// resolution to MAPI callers.

#include <memory>
#include <string>

#include "platform/com/mapi_interfaces.h"
#include "sim/outlook/store.h"

namespace calendar_mirrow_addin::sim {

// What one text resolves to: S_OK with PR_ADDRTYPE_W, PR_EMAIL_ADDRESS_W, PR_SMTP_ADDRESS_W,
// PR_DISPLAY_NAME_W and PR_ENTRYID; MAPI_E_NOT_FOUND; or MAPI_E_AMBIGUOUS_RECIP when the text
// names two users.
struct Resolution {
  HRESULT code = MAPI_E_NOT_FOUND;
  PropMap values;
};

// Matches a display name, SMTP address or Exchange address of the directory (letter case
// aside). An SMTP address no user has resolves to itself, as a one-off address.
Resolution ResolveAddress(const Store& store, const std::wstring& text);

// The address book, with one reference owned by the caller.
IAddrBook* NewAddressBook(std::shared_ptr<Store> store);

}  // namespace calendar_mirrow_addin::sim
