#include "outlook/automation.h"

#include <cstdio>

#include "base/text.h"

namespace calendar_mirrow_addin {

std::wstring DescribeHResult(HRESULT hr, const ExceptionRecord* exception) {
  if (hr == S_OK) return L"S_OK";
  wchar_t code[32];
  std::swprintf(code, std::size(code), L" [hr: 0x%X]", static_cast<unsigned>(hr));
  std::wstring text = code;
  if (hr == DISP_E_EXCEPTION && exception) {
    text += L" [exception ";
    if (exception->bstrDescription) text += exception->bstrDescription;
    text += L" wCode: " + DecimalText(exception->wCode) + L" scode: " +
            DecimalText(exception->scode) + L"]";
  }
  return text;
}

}  // namespace calendar_mirrow_addin
