#pragma once

// The simulated Outlook as `tidewell outlook` and `tidewell host` open it: the store file
// (held by this process alone while open) and the Application object over it.

#include <memory>
#include <optional>
#include <string>

#include "outlook/com_ref.h"
#include "platform/com/dispatch.h"
#include "sim/outlook/store.h"

namespace calendar_mirrow_addin::cli {

struct OutlookApplication {
  std::shared_ptr<sim::Store> store;
  ComRef<IDispatch> application;
};

// The store is `store_option`, else $TIDEWELL_OUTLOOK_STORE, else outlook.sqlite in the
// application-data folder. False with a one-line reason when it cannot be opened.
bool OpenOutlookApplication(const std::optional<std::string>& store_option,
                            OutlookApplication* outlook, std::string* error);

}  // namespace calendar_mirrow_addin::cli
