// MAPI memory: linked buffers go with their root, and the row-set and address-list helpers
// free everything a table or the address book hands out. Leaks and double frees show under
// the sanitizer build.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/com/mapi.h"

namespace {

bool Aligned(const void* buffer) {
  return reinterpret_cast<uintptr_t>(buffer) % alignof(std::max_align_t) == 0;
}

// Property values as a provider returns them: one buffer of values, the strings and bytes
// linked to it.
LPSPropValue NewValues(const std::wstring& name, ULONG binary_size) {
  LPSPropValue values = nullptr;
  EXPECT_EQ(MAPIAllocateBuffer(2 * sizeof(SPropValue), reinterpret_cast<LPVOID*>(&values)), S_OK);
  values[0].ulPropTag = PR_DISPLAY_NAME_W;
  EXPECT_EQ(MAPIAllocateMore(static_cast<ULONG>((name.size() + 1) * sizeof(wchar_t)), values,
                             reinterpret_cast<LPVOID*>(&values[0].Value.lpszW)),
            S_OK);
  std::wmemcpy(values[0].Value.lpszW, name.c_str(), name.size() + 1);
  values[1].ulPropTag = PR_ENTRYID;
  values[1].Value.bin.cb = binary_size;
  EXPECT_EQ(
      MAPIAllocateMore(binary_size, values, reinterpret_cast<LPVOID*>(&values[1].Value.bin.lpb)),
      S_OK);
  std::memset(values[1].Value.bin.lpb, 0xAB, binary_size);
  return values;
}

TEST(MapiMemoryTest, LinkedBuffersAreFreedWithTheirRoot) {
  for (ULONG size : {0u, 1u, 4096u}) {
    LPVOID root = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(size, &root), S_OK);
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(Aligned(root));
    LPVOID linked = nullptr;
    ASSERT_EQ(MAPIAllocateMore(size + 8, root, &linked), S_OK);
    EXPECT_TRUE(Aligned(linked));
    std::memset(linked, 0x5A, size + 8);
    // Linking to a linked buffer links to the root as well.
    LPVOID grandchild = nullptr;
    ASSERT_EQ(MAPIAllocateMore(16, linked, &grandchild), S_OK);
    std::memset(grandchild, 0x5A, 16);
    // Freeing a linked buffer alone leaves it to its root (no double free below).
    EXPECT_EQ(MAPIFreeBuffer(linked), S_OK);
    EXPECT_EQ(MAPIFreeBuffer(root), S_OK);
  }
  EXPECT_EQ(MAPIFreeBuffer(nullptr), S_OK);

  LPVOID buffer = &buffer;
  EXPECT_EQ(MAPIAllocateMore(8, nullptr, &buffer), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(MAPIAllocateBuffer(8, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST(MapiMemoryTest, RowSetsAndAddressListsAreFreedWithTheirValues) {
  for (ULONG count : {0u, 1u, 3u}) {
    LPSRowSet rows = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(count)),
                                 reinterpret_cast<LPVOID*>(&rows)),
              S_OK);
    rows->cRows = count;
    LPADRLIST list = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(count)),
                                 reinterpret_cast<LPVOID*>(&list)),
              S_OK);
    list->cEntries = count;
    for (ULONG i = 0; i < count; ++i) {
      rows->aRow[i].cValues = 2;
      rows->aRow[i].lpProps = NewValues(L"Row " + std::to_wstring(i), 16 + i);
      list->aEntries[i].cValues = 2;
      list->aEntries[i].rgPropVals = NewValues(L"Guest", 24);
    }
    FreeProws(rows);
    FreePadrlist(list);
  }
  FreeProws(nullptr);
  FreePadrlist(nullptr);
}

TEST(CoCreateGuidTest, GivesDistinctRandomGuids) {
  GUID first{}, second{};
  ASSERT_EQ(CoCreateGuid(&first), S_OK);
  ASSERT_EQ(CoCreateGuid(&second), S_OK);
  EXPECT_FALSE(IsEqualGUID(first, second));
  for (const GUID& guid : {first, second}) {
    EXPECT_EQ(guid.Data3 >> 12, 4);         // version 4
    EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);  // variant 10
  }
}

}  // namespace
