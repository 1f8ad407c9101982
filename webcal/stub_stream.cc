#include "webcal/stub_stream.h"

namespace calendar_mirrow_addin {

HRESULT StubStream::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  // The stream is not reference-counted, so handing out `this` needs no AddRef.
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) ||
      IsEqualIID(riid, IID_IStream)) {
    *object = static_cast<IStream*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT StubStream::Read(void*, ULONG, ULONG*) { return E_NOTIMPL; }

HRESULT StubStream::Write(const void*, ULONG, ULONG*) { return E_NOTIMPL; }

HRESULT StubStream::Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) { return E_NOTIMPL; }

HRESULT StubStream::SetSize(ULARGE_INTEGER) { return E_NOTIMPL; }

HRESULT StubStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
  return E_NOTIMPL;
}

HRESULT StubStream::Commit(DWORD) { return E_NOTIMPL; }

HRESULT StubStream::Revert() { return E_NOTIMPL; }

HRESULT StubStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }

HRESULT StubStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }

HRESULT StubStream::Stat(STATSTG*, DWORD) { return E_NOTIMPL; }

HRESULT StubStream::Clone(IStream**) { return E_NOTIMPL; }

StubDelegateStream::~StubDelegateStream() {
  if (!owns_ || delegate_ == nullptr) return;
  // The system's own streams die through their virtual destructor; a stream from elsewhere
  // is a reference-counted COM object, whose owner gives up its reference instead.
  if (auto* own = dynamic_cast<StubStream*>(delegate_)) {
    delete own;
  } else {
    delegate_->Release();
  }
}

HRESULT StubDelegateStream::Read(void* buffer, ULONG size, ULONG* read) {
  return delegate_->Read(buffer, size, read);
}

HRESULT StubDelegateStream::Write(const void* data, ULONG size, ULONG* written) {
  return delegate_->Write(data, size, written);
}

HRESULT StubDelegateStream::Commit(DWORD flags) { return delegate_->Commit(flags); }

}  // namespace calendar_mirrow_addin
