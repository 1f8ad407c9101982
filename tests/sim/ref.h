#pragma once

// Releases a COM pointer when the test leaves, so ASan sees every object freed.

namespace calendar_mirrow_addin::sim {

template <typename T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p != nullptr) p->Release();
  }
  T* operator->() const { return p; }
  T** put() { return &p; }
};

}  // namespace calendar_mirrow_addin::sim
