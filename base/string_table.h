#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace calendar_mirrow_addin {

// Ids of the user-facing messages; the texts live in one table (string_table.cc), as the
// Windows build keeps them in the library's string-table resource.
enum ResourceId : int {
  IDS_NO_CONNECTION = 122,
  IDS_LOGIN_FAILED = 123,
  IDS_LOGGING_IN = 124,
  IDS_XML_ERROR = 136,
  IDS_OUT_OF_MEMORY = 137,
  IDS_LOADING_EVENTS = 138,
  IDS_ANALYZING_EVENTS = 139,
  IDS_WARNING_CAPTION = 140,
  IDS_CONFIRM_DELETIONS = 141,
  IDS_WEB_CALENDAR_NAME = 142,
  IDS_OUTLOOK_CALENDAR_NAME = 143,
  IDS_OUTLOOK_LOAD_FAILED = 144,
  IDS_LOGIN_ONCE = 146,
  IDS_MAPI_BUSY = 147,
  IDS_CHECK_EXCHANGE = 148,
  IDS_ERROR_CAPTION = 201,
  IDS_ERROR_CODE = 202,
  IDS_ADDIN_CLASS_ID = 203,
  IDS_PROG_ID = 204,
  IDS_PRODUCT_NAME = 205,
  IDS_MODULE_NAME = 206,
  IDS_PRODUCT_VERSION = 207,
};

// The text of a string-table entry; empty for an id the table does not hold.
std::wstring LoadResourceString(int id);

// The text of an entry with its "%s" and "%d" fields replaced, in order, by `arguments`
// ("%%" is a percent sign). A field without an argument becomes empty; the arguments are
// never read as format text themselves.
std::wstring FormatResourceString(int id, std::initializer_list<std::wstring_view> arguments);

}  // namespace calendar_mirrow_addin
