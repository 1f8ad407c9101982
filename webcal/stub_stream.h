#pragma once

#include "platform/com/stream.h"

namespace calendar_mirrow_addin {

// The base of the system's streams: every IStream operation answers E_NOTIMPL. Streams are
// not reference-counted (AddRef and Release do nothing); each has exactly one owner, which
// destroys it through the virtual destructor.
class StubStream : public IStream {
 public:
  StubStream() = default;
  virtual ~StubStream() = default;
  StubStream(const StubStream&) = delete;
  StubStream& operator=(const StubStream&) = delete;

  HRESULT QueryInterface(REFIID riid, void** object) override;
  ULONG AddRef() override { return 0; }
  ULONG Release() override { return 0; }
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;
  HRESULT Write(const void* data, ULONG size, ULONG* written) override;
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
  HRESULT SetSize(ULARGE_INTEGER size) override;
  HRESULT CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                 ULARGE_INTEGER* written) override;
  HRESULT Commit(DWORD flags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
  HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
  HRESULT Stat(STATSTG* stat, DWORD flags) override;
  HRESULT Clone(IStream** copy) override;
};

// Forwards Read, Write and Commit to a delegate stream, which it deletes when it owns it.
class StubDelegateStream : public StubStream {
 public:
  StubDelegateStream(IStream* delegate, bool owns) : delegate_(delegate), owns_(owns) {}
  ~StubDelegateStream() override;

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;
  HRESULT Write(const void* data, ULONG size, ULONG* written) override;
  HRESULT Commit(DWORD flags) override;

 protected:
  IStream* delegate() const { return delegate_; }

 private:
  IStream* delegate_;
  bool owns_;
};

}  // namespace calendar_mirrow_addin
