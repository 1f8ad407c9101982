// Writing an event's guests as an item's recipients, the organizer as sender, the safe
// save of a series, and deleting items.

#include "outlook/outlook.h"

namespace calendar_mirrow_addin {}  // namespace calendar_mirrow_addin
