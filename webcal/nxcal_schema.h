#pragma once

// The web calendar's vocabulary fixed in one place: the two schema namespaces of its entry
// elements (the service's copy is sim/webcal_server/namespaces.py; a test keeps the two
// equal), and the service's own mail domain.

namespace calendar_mirrow_addin {

// The common data schema (elements written with the prefix "nxd").
inline constexpr wchar_t kDataSchema[] = L"https://schemas.nexora.example/data/2008";
// The calendar-extension schema (prefix "nxCal").
inline constexpr wchar_t kCalendarSchema[] = L"https://schemas.nexora.example/calendar/2008";
inline constexpr wchar_t kAtomNamespace[] = L"http://www.w3.org/2005/Atom";
inline constexpr wchar_t kOpenSearchNamespace[] = L"http://a9.com/-/spec/opensearch/1.1/";

// The web calendar's public address. A body that starts with a field code linking there
// (HYPERLINK "…) is the service's own description, which a write leaves as it is.
inline constexpr wchar_t kPublicAddress[] = L"https://www.nexora.example/calendar";

// UIDs the service made itself end in "@" + this domain; their entry id is what precedes it.
inline constexpr wchar_t kServiceMailDomain[] = L"nexora.example";

}  // namespace calendar_mirrow_addin
