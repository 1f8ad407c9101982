#pragma once

#include <cstdint>

namespace calendar_mirrow_addin {

// Operations attempted on one calendar during a run.
struct SyncCounts {
  int32_t imports = 0;
  int32_t updates = 0;
  int32_t deletes = 0;
};

// `left` counts changes whose target is the left calendar, `right` the right one.
struct SyncStats {
  SyncCounts left;
  SyncCounts right;
};

}  // namespace calendar_mirrow_addin
