#pragma once

#include <string>

namespace calendar_mirrow_addin::platform {

// Reads one value of an INI-style settings file, the way the Windows profile-string call
// does: "[section]" headers and "key=value" lines; section and key names match without
// regard to letter case; names and values are trimmed of blanks; a value wrapped in a
// matching pair of double or single quotes loses them; lines starting with ";" are
// comments; only the first section of a given name is searched and the first line of a
// key wins. The value is cut to at most 259 UTF-16 code units (a 260-unit buffer with its
// terminator), never inside a character. The file (`path`, UTF-8) is read as UTF-8 with
// an optional byte-order mark and LF or CR LF line ends. A missing file, section or key
// gives `default_value`, returned unchanged.
std::wstring GetProfileString(const std::string& path, const std::wstring& section,
                              const std::wstring& key, const std::wstring& default_value);

}  // namespace calendar_mirrow_addin::platform
