#pragma once

// What every table of the simulated store shares: COM reference counting, the columns a
// caller chose, a cursor that SeekRow moves, and refusals of the members the system never
// calls. A table says how many rows it has and hands them out in QueryRows.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/com/mapi_interfaces.h"
#include "sim/outlook/com_object.h"

namespace calendar_mirrow_addin::sim {

// No request names more tags than there are property ids; a larger count belongs to a
// corrupt array, and reading that many would run past its end.
inline constexpr ULONG kTagsMax = 0x10000;

class TableBase : public ComObject<IMAPITable> {
 public:
  HRESULT SetColumns(LPSPropTagArray columns, ULONG) override {
    if (columns == nullptr || columns->cValues == 0 || columns->cValues > kTagsMax) {
      return MAPI_E_INVALID_PARAMETER;
    }
    columns_.assign(columns->aulPropTag, columns->aulPropTag + columns->cValues);
    return S_OK;
  }
  HRESULT GetRowCount(ULONG, ULONG* count) override {
    if (count == nullptr) return MAPI_E_INVALID_PARAMETER;
    *count = static_cast<ULONG>(row_count());
    return S_OK;
  }
  HRESULT SeekRow(BOOKMARK origin, LONG row_count_wanted, LONG* rows_sought) override {
    const int64_t size = static_cast<int64_t>(row_count());
    const int64_t base = origin == BOOKMARK_BEGINNING ? 0
                         : origin == BOOKMARK_END     ? size
                                                      : static_cast<int64_t>(position_);
    const int64_t target = std::clamp<int64_t>(base + row_count_wanted, 0, size);
    if (rows_sought != nullptr) *rows_sought = static_cast<LONG>(target - base);
    position_ = static_cast<size_t>(target);
    return S_OK;
  }

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetStatus(ULONG*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryColumns(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SeekRowApprox(ULONG, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryPosition(ULONG*, ULONG*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT FindRow(LPSRestriction, BOOKMARK, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Restrict(LPSRestriction, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CreateBookmark(BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT FreeBookmark(BOOKMARK) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SortTable(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QuerySortOrder(LPSSortOrderSet*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Abort() override { return MAPI_E_NO_SUPPORT; }
  HRESULT ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT WaitForCompletion(ULONG, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }

 protected:
  explicit TableBase(std::vector<ULONG> columns)
      : ComObject(IID_IMAPITable), columns_(std::move(columns)) {}
  virtual size_t row_count() const = 0;

  std::vector<ULONG> columns_;
  size_t position_ = 0;
};

}  // namespace calendar_mirrow_addin::sim
