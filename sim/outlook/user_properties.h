#pragma once

// AppointmentItem.UserProperties: properties an item carries under names of its user's
// choosing, kept as named properties of the public-strings set, so that MAPI reads them by
// name as well.

#include <memory>

#include "platform/com/dispatch.h"
#include "sim/outlook/store.h"

namespace calendar_mirrow_addin::sim {

class Message;

// The collection over `message` (which it holds a reference on).
IDispatch* NewUserProperties(std::shared_ptr<Store> store, Message* message);

}  // namespace calendar_mirrow_addin::sim
