#include "webcal/progress_content_handler.h"

#include <limits>
#include <utility>

#include "base/text.h"
#include "platform/utf8.h"

namespace calendar_mirrow_addin {

ProgressContentHandler::ProgressContentHandler(std::wstring message,
                                               std::wstring total_element_name,
                                               std::wstring entry_element_name,
                                               IProgressMonitor* monitor)
    : message_(std::move(message)),
      total_element_name_(std::move(total_element_name)),
      entry_element_name_(std::move(entry_element_name)),
      monitor_(monitor),
      total_name_utf8_(platform::WideToUtf8(total_element_name_)),
      entry_name_utf8_(platform::WideToUtf8(entry_element_name_)) {}

HRESULT ProgressContentHandler::StartElement(std::string_view local_name, std::string_view) {
  if (monitor_ != nullptr && monitor_->IsCanceled()) return E_FAIL;
  // Only text directly after the total element is the total: an empty total element must
  // not make the next element's text (a title, say) the number of entries.
  in_total_ = 0;
  if (total_ == 0 && local_name == total_name_utf8_) in_total_ = 1;
  if (total_ != 0 && local_name == entry_name_utf8_) {
    if (count_ < std::numeric_limits<int32_t>::max()) ++count_;
    if (monitor_ != nullptr) {
      monitor_->Worked(1);
      monitor_->SubTask(FormatProgressItem(count_, total_));
    }
  }
  return S_OK;
}

HRESULT ProgressContentHandler::Characters(std::string_view text) {
  if (in_total_ == 0) return S_OK;
  in_total_ = 0;
  const int32_t value = ParseDecimal(text);
  if (value >= 0) {
    total_ = value;
    if (monitor_ != nullptr) monitor_->BeginTask(message_, total_);
  }
  return S_OK;
}

ProgressContentHandler MakeFeedProgressHandler(IProgressMonitor* monitor) {
  return ProgressContentHandler(L"Loading events from Nexora Calendar", L"totalResults", L"entry",
                                monitor);
}

}  // namespace calendar_mirrow_addin
