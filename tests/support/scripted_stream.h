#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/com/stream.h"

namespace calendar_mirrow_addin::testing {

// A stream for tests. Read hands out `data` at most `piece` bytes at a time and, from read
// number `fail_read` (1-based) on, answers `read_failure`. Write collects the bytes; from
// write number `fail_write` on it answers `write_failure`, or takes only half when that is
// S_OK.
class ScriptedStream final : public IStream {
 public:
  explicit ScriptedStream(std::string data = "", size_t piece = SIZE_MAX)
      : data(std::move(data)), piece(piece) {}

  std::string data;
  size_t piece;
  size_t position = 0;  // bytes handed out so far
  int reads = 0;
  int fail_read = INT_MAX;
  HRESULT read_failure = E_FAIL;
  std::string written;
  int writes = 0;
  int fail_write = INT_MAX;
  HRESULT write_failure = E_FAIL;

  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    *read = 0;
    if (++reads >= fail_read) return read_failure;
    const size_t count = std::min({size_t{size}, piece, data.size() - position});
    std::memcpy(buffer, data.data() + position, count);
    position += count;
    *read = static_cast<ULONG>(count);
    return S_OK;
  }
  HRESULT Write(const void* bytes, ULONG size, ULONG* done) override {
    *done = 0;
    ULONG count = size;
    if (++writes >= fail_write) {
      if (write_failure != S_OK) return write_failure;
      count = size / 2;
    }
    written.append(static_cast<const char*>(bytes), count);
    *done = count;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }
};

}  // namespace calendar_mirrow_addin::testing
