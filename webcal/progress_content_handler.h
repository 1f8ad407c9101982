#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/xml.h"
#include "sync/progress_monitor.h"

namespace calendar_mirrow_addin {

// A SAX content handler that accepts every event.
class SAXContentHandler : public platform::SaxContentHandler {
 public:
  HRESULT StartElement(std::string_view, std::string_view) override { return S_OK; }
  HRESULT Characters(std::string_view) override { return S_OK; }
};

// Drives a progress monitor from a feed as it is parsed: the text of the first total element
// announces the number of entries (BeginTask), and every entry element after it is one unit
// of work with a sub-task "N out of TOTAL". Cancelling the monitor stops the parse (E_FAIL
// from StartElement). Names are local names, compared case-sensitively.
class ProgressContentHandler : public SAXContentHandler {
 public:
  ProgressContentHandler(std::wstring message, std::wstring total_element_name,
                         std::wstring entry_element_name, IProgressMonitor* monitor);

  HRESULT StartElement(std::string_view local_name, std::string_view qualified_name) override;
  HRESULT Characters(std::string_view text) override;

  int32_t total() const { return total_; }
  int32_t count() const { return count_; }

 private:
  int32_t in_total_ = 0;  // set while the next character data is the total
  int32_t total_ = 0;     // 0 until known
  int32_t count_ = 0;
  std::wstring message_;
  std::wstring total_element_name_;
  std::wstring entry_element_name_;
  IProgressMonitor* monitor_;  // not owned
  // The names as the parser reports them, so that no event needs a conversion.
  std::string total_name_utf8_;
  std::string entry_name_utf8_;
};

// The handler of a feed download: "Loading events from Nexora Calendar", counting the
// "entry" elements announced by "totalResults".
ProgressContentHandler MakeFeedProgressHandler(IProgressMonitor* monitor);

}  // namespace calendar_mirrow_addin
