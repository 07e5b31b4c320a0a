// The in-process server: class factories, instances and the four exports.
#include <dlfcn.h>

#include <array>
#include <atomic>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "kvdn/com.h"
#include "kvdn/db_class.h"
#include "registry_file.h"

namespace kvdn::com {

namespace {

// The only process-wide state of the library, and the reason it exists:
// DllCanUnloadNow must know whether anything of this copy is still alive.
// Every factory and instance counts itself in its constructor and out in its
// destructor; LockServer counts locks.
std::atomic<long> gLiveObjects{0};
std::atomic<long> gLocks{0};

struct ClassEntry {
  const char* progId;
  CLSID clsid;
  ObjectPtr (*make)();
};

// The same classes registerStandardClasses adds under these ProgIDs.
const std::array<ClassEntry, 2> kClasses{{
    {kProgIdDbClass, CLSID_dbClass, []() -> ObjectPtr { return std::make_shared<DbClass>(); }},
    {kProgIdMd5Class, CLSID_md5Class, []() -> ObjectPtr { return std::make_shared<Md5Class>(); }},
}};

// Reference counting shared by both kinds of object. Release deletes on the
// last reference (the classes are final, so `delete this` is exact).
template <class Derived>
class RefCounted {
 public:
  RefCounted() { gLiveObjects.fetch_add(1, std::memory_order_relaxed); }
  ~RefCounted() { gLiveObjects.fetch_sub(1, std::memory_order_acq_rel); }
  ULONG addRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG release() {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

 private:
  std::atomic<ULONG> refs_{1};  // the creator's reference
};

class Instance final : public IKvdnObject, private RefCounted<Instance> {
 public:
  explicit Instance(ObjectPtr object) : object_(std::move(object)) {}

  HRESULT QueryInterface(const IID& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IKvdnObject) {
      *out = static_cast<IKvdnObject*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }
  Object* object() override { return object_.get(); }

 private:
  friend class RefCounted<Instance>;
  ~Instance() = default;
  ObjectPtr object_;
};

class Factory final : public IClassFactory, private RefCounted<Factory> {
 public:
  explicit Factory(const ClassEntry& entry) : entry_(entry) {}

  HRESULT QueryInterface(const IID& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return addRef(); }
  ULONG Release() override { return release(); }

  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      auto* instance = new Instance(entry_.make());
      HRESULT hr = instance->QueryInterface(iid, out);
      instance->Release();  // on E_NOINTERFACE this deletes it
      return hr;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;
    }
  }

  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      gLocks.fetch_add(1, std::memory_order_relaxed);
      return S_OK;
    }
    // An unlock without a lock is the caller's fault; never go below zero.
    long current = gLocks.load(std::memory_order_relaxed);
    while (current > 0 && !gLocks.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) {
    }
    return current > 0 ? S_OK : E_UNEXPECTED;
  }

 private:
  friend class RefCounted<Factory>;
  ~Factory() = default;
  const ClassEntry& entry_;
};

// Anything in this object file will do as the address dladdr resolves.
const char kAnchor = 0;

// The absolute path of the shared object this code was loaded from, or an
// empty path when it is linked into the program itself (nothing another
// process could load).
std::filesystem::path ownLibraryPath() {
  Dl_info info{};
  if (::dladdr(&kAnchor, &info) == 0 || !info.dli_fname || !*info.dli_fname) return {};
  std::error_code ec;
  auto self = std::filesystem::canonical(info.dli_fname, ec);
  if (ec) return {};
  auto program = std::filesystem::canonical("/proc/self/exe", ec);
  if (!ec && program == self) return {};
  return self;
}

}  // namespace

}  // namespace kvdn::com

using namespace kvdn::com;

extern "C" HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  for (const auto& entry : kClasses) {
    if (!(entry.clsid == clsid)) continue;
    auto* factory = new (std::nothrow) Factory(entry);
    if (!factory) return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT DllCanUnloadNow() {
  return gLiveObjects.load(std::memory_order_acquire) == 0 && gLocks.load(std::memory_order_acquire) == 0
             ? S_OK
             : S_FALSE;
}

extern "C" HRESULT DllRegisterServer() {
  try {
    const auto library = ownLibraryPath();
    const auto file = defaultRegistryFile();
    if (library.empty() || file.empty()) return SELFREG_E_CLASS;
    std::vector<RegistryEntry> entries;
    for (const auto& c : kClasses) entries.push_back({c.progId, c.clsid, library});
    updateRegistryFile(file, entries);
    return S_OK;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

extern "C" HRESULT DllUnregisterServer() {
  try {
    const auto file = defaultRegistryFile();
    if (file.empty()) return SELFREG_E_CLASS;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return S_OK;
    std::vector<std::string> progIds;
    for (const auto& c : kClasses) progIds.emplace_back(c.progId);
    updateRegistryFile(file, {}, progIds);
    return S_OK;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}
