#pragma once

#include <string>

#include <string_view>

#include "platform/com/unknown.h"

namespace calendar_mirrow_addin {

// Key paths of the registration, in the per-user store. The classes root is its per-user
// part, "Software\\Classes", so that registering needs no administrator.
inline constexpr char kClassesRoot[] = "Software\\Classes";
inline constexpr char kOutlookAddinsKey[] = "Software\\Microsoft\\Office\\Outlook\\Addins";

// Writes the COM class entries of Addin (the ProgIDs, the class id with the library's
// path as its in-process server) and the host's add-in entry (load on demand). Texts are
// stored as UTF-16 with a terminating zero, numbers as four little-endian bytes, as the
// registry holds them. E_FAIL when an entry cannot be written.
HRESULT RegisterServer(const std::string& module_path);
// Removes what RegisterServer wrote; entries already gone are fine. E_FAIL when one that
// exists cannot be removed.
HRESULT UnregisterServer();

// Reads a GUID in its registry form, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; false for
// anything else.
bool ParseGuid(std::wstring_view text, GUID* guid);

// The byte forms of the stored values.
std::string StoreText(const std::wstring& text);
std::string StoreDword(uint32_t value);

}  // namespace calendar_mirrow_addin
