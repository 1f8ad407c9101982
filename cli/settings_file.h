#pragma once

// Writing one value into the settings file (an INI file the add-in reads, which support
// staff also edit by hand): everything else in it is kept as it stands.

#include <optional>
#include <string>

namespace calendar_mirrow_addin::cli {

// Why `value` cannot be stored so that the add-in reads it back unchanged (a line break,
// blanks at either end, surrounding quotes, more than 259 characters, a control
// character); none when it can.
std::optional<std::string> SettingValueProblem(const std::string& value);

// `content` with `key` of section `section` set to `value`: the first line of the key in
// the first section of that name is replaced (names match without regard to case, as the
// reader matches them); otherwise the line is added at the end of that section, or the
// section is added at the end. The value must have no problem (SettingValueProblem).
std::string WithSetting(const std::string& content, const std::string& section,
                        const std::string& key, const std::string& value);

// Sets the value in the file at `path` (created when missing), replacing it atomically and
// checking that it reads back. False with the reason in `error`.
bool WriteSetting(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value, std::string* error);

}  // namespace calendar_mirrow_addin::cli
