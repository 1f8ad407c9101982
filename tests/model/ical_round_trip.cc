// For each input line (\n standing for a line break), what the writer makes of what the reader
// kept, which must read back as the same record, or "REFUSED: " and what the reader logged.

#include <iostream>
#include <regex>
#include <string>

#include "model/recurrence.h"
#include "tests/support/temp_dir.h"

int main() {
  using namespace calendar_mirrow_addin;
  const testing::CapturedLog log;
  for (std::string line; std::getline(std::cin, line); log.Clear()) {
    const auto read =
        ParseRecurrence(Utf8ToWide(std::regex_replace(line, std::regex(R"(\\n)"), "\r\n")));
    const std::wstring written = read ? GenerateICal(*read) : L"";
    std::string text = !read ? "REFUSED: " + log.Text()
                       : RecurrenceEquals(read.get(), ParseRecurrence(written).get())
                           ? WideToUtf8(written)
                           : "READ BACK OTHERWISE: " + WideToUtf8(written);
    if (!read && text.ends_with('\n')) text.pop_back();
    std::cout << std::regex_replace(text, std::regex("\r?\n"), "\\n") << '\n';
  }
}
