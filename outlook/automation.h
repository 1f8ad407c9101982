#pragma once

#include <cstdint>
#include <string>

#include "base/hresult.h"

namespace calendar_mirrow_addin {

// The parts of an automation exception record that failure texts show.
// (Stands in for EXCEPINFO until the COM declarations provide it.)
struct ExceptionRecord {
  uint16_t wCode = 0;
  const wchar_t* bstrDescription = nullptr;
  int32_t scode = 0;
};

// The status text of log lines: "S_OK" for 0; otherwise " [hr: 0x...]" in upper-case
// hexadecimal, followed for DISP_E_EXCEPTION with a record by
// " [exception <description> wCode: <n> scode: <n>]".
std::wstring DescribeHResult(HRESULT hr, const ExceptionRecord* exception = nullptr);

}  // namespace calendar_mirrow_addin
