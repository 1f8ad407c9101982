// Reads one recurrence text per input line (the two characters \n stand for a line
// break) and writes, per line, the text the writer makes of what the reader kept, with
// line breaks as \n again, or REFUSED. Lets an independent expander compare the two.

#include <iostream>
#include <string>

#include "base/text.h"
#include "model/recurrence.h"

namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  std::string out;
  size_t start = 0;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, start)) {
    out += text.substr(start, at - start) + to;
    start = at + from.size();
  }
  return out + text.substr(start);
}

}  // namespace

int main() {
  using namespace calendar_mirrow_addin;
  std::string line;
  while (std::getline(std::cin, line)) {
    const auto recurrence = ParseRecurrence(Utf8ToWide(Replace(line, "\\n", "\r\n")));
    const std::string text = recurrence ? WideToUtf8(GenerateICal(*recurrence)) : "REFUSED";
    std::cout << Replace(text, "\r\n", "\\n") << '\n';
  }
  return 0;
}
