// MAPI memory on Linux: buffers that carry the buffers linked to them, so that one
// MAPIFreeBuffer releases a whole returned structure (a property value and its strings, a
// row set's row values and theirs).

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/com/mapi.h"

namespace {

// Placed before every buffer. A root heads the list of the buffers linked to it; a linked
// buffer points at its root, so that linking to it links to the root.
struct alignas(std::max_align_t) Block {
  Block* root;
  Block* next_linked;
  bool linked;
};

Block* BlockOf(void* buffer) {
  return reinterpret_cast<Block*>(static_cast<char*>(buffer) - sizeof(Block));
}

void* PayloadOf(Block* block) { return reinterpret_cast<char*>(block) + sizeof(Block); }

Block* NewBlock(ULONG size) {
  if (size > SIZE_MAX - sizeof(Block)) return nullptr;
  // Zero-filled, so that a record whose caller leaves a field unset holds no stray pointer.
  return static_cast<Block*>(std::calloc(1, sizeof(Block) + size));
}

}  // namespace

SCODE MAPIAllocateBuffer(ULONG size, LPVOID* buffer) {
  if (buffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *buffer = nullptr;
  Block* block = NewBlock(size);
  if (block == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  block->root = block;
  *buffer = PayloadOf(block);
  return S_OK;
}

SCODE MAPIAllocateMore(ULONG size, LPVOID parent, LPVOID* buffer) {
  if (buffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *buffer = nullptr;
  if (parent == nullptr) return MAPI_E_INVALID_PARAMETER;
  Block* block = NewBlock(size);
  if (block == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  Block* root = BlockOf(parent)->root;
  block->root = root;
  block->linked = true;
  block->next_linked = root->next_linked;
  root->next_linked = block;
  *buffer = PayloadOf(block);
  return S_OK;
}

ULONG MAPIFreeBuffer(LPVOID buffer) {
  if (buffer == nullptr) return S_OK;
  Block* block = BlockOf(buffer);
  // A linked buffer goes with its root; freeing it here would leave the root a dangling link.
  if (block->linked) return S_OK;
  Block* linked = block->next_linked;
  while (linked != nullptr) {
    Block* next = linked->next_linked;
    std::free(linked);
    linked = next;
  }
  std::free(block);
  return S_OK;
}

void FreeProws(LPSRowSet rows) {
  if (rows == nullptr) return;
  for (ULONG i = 0; i < rows->cRows; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
  MAPIFreeBuffer(rows);
}

void FreePadrlist(LPADRLIST list) {
  if (list == nullptr) return;
  for (ULONG i = 0; i < list->cEntries; ++i) MAPIFreeBuffer(list->aEntries[i].rgPropVals);
  MAPIFreeBuffer(list);
}

HRESULT MAPIInitialize(LPVOID) { return S_OK; }

void MAPIUninitialize() {}
