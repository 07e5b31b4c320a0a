#include "loader.h"

#include <dlfcn.h>

#include <memory>
#include <mutex>
#include <string>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "registry_file.h"

namespace kvdn::com {

namespace {

// One library of one registry entry, opened on first use. dlopen counts its
// own references, so several entries naming the same file share one copy.
class LibrarySlot {
 public:
  explicit LibrarySlot(std::filesystem::path path) : path_(std::move(path)) {}

  DllGetClassObjectFn getClassObject() {
    std::lock_guard lock(mutex_);
    if (!getClassObject_) load();
    return getClassObject_;
  }

 private:
  void load() {
    // RTLD_LOCAL: the copy keeps its own symbols and never binds to ours.
    // The handle is deliberately never closed (see createFromLibrary).
    void* handle = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = ::dlerror();
      raise(HRESULT_MOD_NOT_FOUND,
            std::string(describeHresult(HRESULT_MOD_NOT_FOUND)) + ": " + (why ? why : path_.string()));
    }
    void* symbol = ::dlsym(handle, "DllGetClassObject");
    if (!symbol) {
      raise(CO_E_ERRORINDLL, std::string(describeHresult(CO_E_ERRORINDLL)) + ": '" + path_.string() +
                                 "' does not export DllGetClassObject");
    }
    getClassObject_ = reinterpret_cast<DllGetClassObjectFn>(symbol);
  }

  std::filesystem::path path_;
  std::mutex mutex_;
  DllGetClassObjectFn getClassObject_ = nullptr;
};

void check(HRESULT hr, const char* step) {
  if (failed(hr)) raise(hr, std::string(describeHresult(hr)) + " (" + step + ")");
}

// Releases an interface reference when the last ObjectPtr copy goes.
struct Reference {
  IUnknown* unknown;
  explicit Reference(IUnknown* u) : unknown(u) {}
  ~Reference() { unknown->Release(); }
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;
};

ObjectPtr createWith(DllGetClassObjectFn getClassObject, const std::filesystem::path& library,
                     const CLSID& clsid) {
  void* raw = nullptr;
  check(getClassObject(clsid, IID_IClassFactory, &raw), "DllGetClassObject");
  if (!raw) raise(CO_E_ERRORINDLL, "DllGetClassObject of '" + library.string() + "' returned no factory");
  Reference factory(static_cast<IClassFactory*>(raw));

  raw = nullptr;
  check(static_cast<IClassFactory*>(factory.unknown)->CreateInstance(nullptr, IID_IKvdnObject, &raw),
        "IClassFactory::CreateInstance");
  if (!raw) raise(CO_E_ERRORINDLL, "The class factory of '" + library.string() + "' returned no object");
  auto* instance = static_cast<IKvdnObject*>(raw);
  auto reference = std::make_shared<Reference>(instance);
  Object* object = instance->object();
  if (!object)
    raise(CO_E_ERRORINDLL, "An object of '" + library.string() + "' has no late-binding interface");
  // Aliasing: the pointer is the object, the ownership is the reference.
  return ObjectPtr(std::move(reference), object);
}

}  // namespace

ObjectPtr createFromLibrary(const std::filesystem::path& library, const CLSID& clsid) {
  LibrarySlot slot(library);
  return createWith(slot.getClassObject(), library, clsid);
}

std::size_t registerFromRegistryFile(ClassRegistry& registry, const std::filesystem::path& file) {
  auto entries = readRegistryFile(file);
  for (const auto& entry : entries) {
    auto slot = std::make_shared<LibrarySlot>(entry.library);
    registry.add(entry.progId, [slot, library = entry.library, clsid = entry.clsid]() {
      return createWith(slot->getClassObject(), library, clsid);
    });
  }
  return entries.size();
}

}  // namespace kvdn::com
