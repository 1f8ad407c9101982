// Writing events into Outlook: new appointments, existing ones rewritten, and the ordered
// procedure both end in.

#include "outlook/outlook.h"

namespace calendar_mirrow_addin {

int Outlook::Import(const Event*, std::wstring*, DateTime*, std::wstring*) { return E_NOTIMPL; }

int Outlook::Update(const std::wstring&, const Event*, std::wstring*, DateTime*, std::wstring*) {
  return E_NOTIMPL;
}

}  // namespace calendar_mirrow_addin
