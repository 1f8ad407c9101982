#include "webcal/nxcal.h"

#include <utility>

namespace calendar_mirrow_addin {

NxCal::NxCal(std::unique_ptr<NxCalConnection> connection, const std::wstring& user,
             const std::wstring& calendar_id, std::wstring data_folder)
    : Calendar(user),
      connection_(std::move(connection)),
      calendar_id_(calendar_id),
      data_folder_(std::move(data_folder)) {}

NxCal::~NxCal() = default;

bool NxCal::LoadEvents(const DateTime*, std::wstring& error_message, IProgressMonitor* progress) {
  // The time window is the cached feed's to decide, not the caller's.
  return FetchEvents(&error_message, progress);
}

}  // namespace calendar_mirrow_addin
