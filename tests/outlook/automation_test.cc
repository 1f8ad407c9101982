#include "outlook/automation.h"

#include <gtest/gtest.h>

namespace calendar_mirrow_addin {
namespace {

TEST(DescribeHResultTest, ComposesStatusTexts) {
  const ExceptionRecord refused{0, L"Refused", E_FAIL};
  const ExceptionRecord bare{5, nullptr, 1};
  const struct {
    HRESULT hr;
    const ExceptionRecord* record;
    std::wstring text;
  } cases[] = {
      {S_OK, &refused, L"S_OK"},
      {S_FALSE, nullptr, L" [hr: 0x1]"},
      {E_FAIL, &refused, L" [hr: 0x80004005]"},
      {DISP_E_EXCEPTION, nullptr, L" [hr: 0x80020009]"},
      {DISP_E_EXCEPTION, &refused,
       L" [hr: 0x80020009] [exception Refused wCode: 0 scode: -2147467259]"},
      {DISP_E_EXCEPTION, &bare, L" [hr: 0x80020009] [exception  wCode: 5 scode: 1]"},
  };
  for (const auto& c : cases) EXPECT_EQ(DescribeHResult(c.hr, c.record), c.text);
}

}  // namespace
}  // namespace calendar_mirrow_addin
