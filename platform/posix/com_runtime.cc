#include <dlfcn.h>
#include <errno.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/com/runtime.h"

namespace calendar_mirrow_addin::platform {

namespace {

// Without apartments an interface pointer is valid on every thread, so the table only
// has to keep the object alive between registration and revocation.
struct GlobalTable {
  std::mutex mutex;
  std::map<DWORD, IUnknown*> entries;
  DWORD next_cookie = 0;
};

GlobalTable& Table() {
  static GlobalTable* table = new GlobalTable;  // lives as long as the process
  return *table;
}

}  // namespace

HRESULT RegisterInterfaceInGlobal(IUnknown* object, REFIID iid, DWORD* cookie) {
  if (object == nullptr || cookie == nullptr) return E_INVALIDARG;
  IUnknown* held = nullptr;
  const HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(&held));
  if (FAILED(hr)) return hr;
  GlobalTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  do {
    ++table.next_cookie;  // wraps after 2^32 registrations; zero and taken ones are skipped
  } while (table.next_cookie == 0 || table.entries.count(table.next_cookie) != 0);
  table.entries[table.next_cookie] = held;
  *cookie = table.next_cookie;
  return S_OK;
}

HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID iid, void** object) {
  if (object == nullptr) return E_INVALIDARG;
  *object = nullptr;
  GlobalTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.entries.find(cookie);
  if (it == table.entries.end()) return E_INVALIDARG;
  return it->second->QueryInterface(iid, object);
}

HRESULT RevokeInterfaceFromGlobal(DWORD cookie) {
  IUnknown* held = nullptr;
  {
    GlobalTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto it = table.entries.find(cookie);
    if (it == table.entries.end()) return E_INVALIDARG;
    held = it->second;
    table.entries.erase(it);
  }
  held->Release();  // outside the lock: the object's destructor may use the table
  return S_OK;
}

HRESULT InitializeThreadCom() { return S_OK; }
void UninitializeThreadCom() {}
HRESULT InitializeMapi() { return S_OK; }
void UninitializeMapi() {}

void LowerCurrentThreadPriority() {
  // Linux keeps a nice value per thread: "who" 0 with PRIO_PROCESS would name the whole
  // process on other systems, so name this thread by its id.
  const auto thread_id = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, thread_id);
  if (current == -1 && errno != 0) return;
  setpriority(PRIO_PROCESS, thread_id, current < 19 ? current + 1 : 19);
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
  char* resolved = realpath(info.dli_fname, nullptr);
  if (resolved == nullptr) return info.dli_fname;
  std::string path(resolved);
  std::free(resolved);
  return path;
}

}  // namespace calendar_mirrow_addin::platform
