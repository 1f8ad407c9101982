#include "base/string_table.h"

#include <algorithm>
#include <iterator>

namespace calendar_mirrow_addin {

namespace {

struct Entry {
  int id;
  const wchar_t* text;
};

#define TIDEWELL_HELP_CENTER L"https://www.nexora.example/support/tidewell"

// "|" separates a message from the target of the one link it marks with <a>...</a>.
constexpr Entry kTable[] = {
    {122, L"Please connect to the internet to use Tidewell."},
    {123,
     L"Username and password do not match. You provided %s. Please enter your full email "
     L"address (including @nexora.example)."},
    {124, L"Logging into Nexora Calendar"},
    {136, L"MSXML encountered an error. Please try syncing again."},
    {137, L"Out of memory. Please try syncing again."},
    {138, L"Loading Nexora Calendar events"},
    {139, L"Analyzing events"},
    {140, L"Tidewell: Warning"},
    {141,
     L"Tidewell has detected that you have deleted %d events from your %s. This will delete "
     L"%d events from your %s.\nProceed with the operation?"},
    {142, L"Nexora Calendar"},
    {143, L"Outlook calendar"},
    {144,
     L"Some of your Outlook appointments could not be loaded. Sync is interrupted in order to "
     L"prevent potential data loss. Please see our <a>Help Center</a> for more "
     L"information.|" TIDEWELL_HELP_CENTER},
    {146,
     L"Please login into <a>Nexora Calendar</a> at least once before using "
     L"Tidewell.|https://www.nexora.example/calendar"},
    {147, L"Outlook MAPI storage is busy. Please try to run synchronization later."},
    {148, L"Please check your connection to Microsoft Exchange Server."},
    {201, L"Error"},
    {202,
     L"Tidewell: Error syncing your calendar. Error code: %d. Please see our <a>Help "
     L"Center</a> for more information.|" TIDEWELL_HELP_CENTER},
    {203, L"{2AF04066-4FE3-4330-928A-B5DADDECB0D4}"},
    {204, L"Nexora.Tidewell"},
    {205, L"Tidewell"},
    {206, L"Tidewell.dll"},
    {207, L"0.9.4.1"},
};

}  // namespace

std::wstring LoadResourceString(int id) {
  const auto* found = std::find_if(std::begin(kTable), std::end(kTable),
                                   [id](const Entry& entry) { return entry.id == id; });
  return found == std::end(kTable) ? std::wstring() : std::wstring(found->text);
}

std::wstring FormatResourceString(int id, std::initializer_list<std::wstring_view> arguments) {
  const std::wstring format = LoadResourceString(id);
  std::wstring out;
  out.reserve(format.size());
  auto next = arguments.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    const wchar_t c = format[i];
    const wchar_t field = i + 1 < format.size() ? format[i + 1] : L'\0';
    if (c != L'%' || (field != L's' && field != L'd' && field != L'%')) {
      out += c;
      continue;
    }
    ++i;
    if (field == L'%') {
      out += L'%';
    } else if (next != arguments.end()) {
      out += *next++;
    }
  }
  return out;
}

}  // namespace calendar_mirrow_addin
