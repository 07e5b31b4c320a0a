// The in-process COM server: class objects, the four exports and
// self-registration. Each class is created through the library's one class
// registry (the ProgIDs its Server.CreateObject knows) and handed out as
// IDispatch (see dispatch.cpp).
// <windows.h> must come first.
// clang-format off
#include <windows.h>
#include <oleauto.h>
#include <olectl.h>
// clang-format on

#include <array>
#include <atomic>
#include <exception>
#include <new>
#include <string>

#include "access_engine.h"
#include "automation.h"
#include "kvdn/db_class.h"
#include "kvdn/page.h"
#include "sqlite_provider.h"
#include "type_library.h"
#include "wide.h"

// COM objects have no virtual destructor (the interface tables are laid out
// without one) and delete themselves in Release: the warning for classes
// derived from the system's interfaces does not apply to them.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace kvdn::platform::windows {

namespace {

HMODULE gModule = nullptr;
std::atomic<long> gLocks{0};

struct ClassEntry {
  const wchar_t* progId;       // what pages and regsvr32 see
  const wchar_t* description;  // the class key's default value
  GUID clsid;
  const char* registryProgId;  // the library's own name for the class
};

// Fixed for ever: sites and their registries keep them.
constexpr std::array<ClassEntry, 7> kClasses{{
    {L"kvdnAspDll.dbClass",
     L"kvdnAspDll.dbClass",
     {0x6B3F2A41, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}},
     "kvdnAspDll.dbClass"},
    {L"kvdnAspDll.md5Class",
     L"kvdnAspDll.md5Class",
     {0x6B3F2A42, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}},
     "kvdnAspDll.md5Class"},
    {L"kvdnAspDll.Connection",
     L"kvdnAspDll Connection (SQLite files)",
     {0x6B3F2A43, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}},
     "adodb.connection"},
    {L"kvdnAspDll.Recordset",
     L"kvdnAspDll Recordset",
     {0x6B3F2A44, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}},
     "adodb.recordset"},
    {L"kvdnAspDll.FileSystemObject",
     L"kvdnAspDll FileSystemObject",
     {0x6B3F2A45, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}},
     "scripting.filesystemobject"},
    {L"kvdnAspDll.Catalog",
     L"kvdnAspDll Catalog (new SQLite files)",
     {0x6B3F2A46, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}},
     "adox.catalog"},
    {L"kvdnAspDll.JetEngine",
     L"kvdnAspDll JetEngine (compaction)",
     {0x6B3F2A47, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}},
     "jro.jetengine"},
}};

class Factory final : public IClassFactory {
 public:
  explicit Factory(const ClassEntry& entry) : entry_(entry) { objectCreated(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      ObjectPtr object = libraryClasses().create(entry_.registryProgId);
      if (auto* db = dynamic_cast<DbClass*>(object.get())) followAccessEngineSetting(*db);
      IDispatch* d = dispatchFor(object);
      if (!d) return E_FAIL;
      const HRESULT hr = d->QueryInterface(iid, out);
      d->Release();
      return hr;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;
    }
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      gLocks.fetch_add(1);
      return S_OK;
    }
    long current = gLocks.load();
    while (current > 0 && !gLocks.compare_exchange_weak(current, current - 1)) {
    }
    return current > 0 ? S_OK : E_UNEXPECTED;
  }

 private:
  ~Factory() { objectDestroyed(); }
  std::atomic<ULONG> refs_{1};
  const ClassEntry& entry_;
};

std::wstring guidText(const GUID& g) {
  wchar_t buffer[64] = {};
  ::StringFromGUID2(g, buffer, 64);
  return buffer;
}

std::wstring modulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(gModule, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

LONG setValue(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY h = nullptr;
  LONG rc = ::RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &h,
                              nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = ::RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(h);
  return rc;
}

// The keys of one class under `classesRoot` (HKEY_CLASSES_ROOT, or the
// current user's Software\Classes).
LONG registerClass(HKEY root, const std::wstring& prefix, const ClassEntry& c, const std::wstring& path) {
  const std::wstring clsid = guidText(c.clsid);
  const std::wstring clsidKey = prefix + L"CLSID\\" + clsid;
  LONG rc;
  if ((rc = setValue(root, prefix + c.progId, nullptr, c.description)) != ERROR_SUCCESS) return rc;
  if ((rc = setValue(root, prefix + c.progId + L"\\CLSID", nullptr, clsid)) != ERROR_SUCCESS) return rc;
  if ((rc = setValue(root, clsidKey, nullptr, c.description)) != ERROR_SUCCESS) return rc;
  if ((rc = setValue(root, clsidKey + L"\\ProgID", nullptr, c.progId)) != ERROR_SUCCESS) return rc;
  if ((rc = setValue(root, clsidKey + L"\\InprocServer32", nullptr, path)) != ERROR_SUCCESS) return rc;
  // Apartment: an object is created and called by one thread (a page's),
  // and nothing of it is built for concurrent calls.
  return setValue(root, clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
}

// The ProgID key's CLSID, or "" when there is none.
std::wstring progIdClsid(HKEY root, const std::wstring& key) {
  wchar_t buffer[64] = {};
  DWORD size = sizeof(buffer);
  if (::RegGetValueW(root, (key + L"\\CLSID").c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS)
    return {};
  return buffer;
}

// Removes what registerClass wrote under one root: the ProgID only when it
// still names our class (another library may have taken it since).
void unregisterClass(HKEY root, const std::wstring& prefix, const ClassEntry& c) {
  const std::wstring clsid = guidText(c.clsid);
  const std::wstring progKey = prefix + c.progId;
  if (_wcsicmp(progIdClsid(root, progKey).c_str(), clsid.c_str()) == 0)
    ::RegDeleteTreeW(root, progKey.c_str());
  ::RegDeleteTreeW(root, (prefix + L"CLSID\\" + clsid).c_str());
}

}  // namespace

const ClassRegistry& libraryClasses() {
  // Never destroyed: its providers hold the ODBC environment, and freeing
  // that from the DLL's static destructors, while the process unloads its
  // DLLs, would call into an odbc32 that may be unloaded already.
  static const ClassRegistry& registry = *[] {
    auto* r = new ClassRegistry;
    registerStandardClasses(*r);
    return r;
  }();
  return registry;
}

}  // namespace kvdn::platform::windows

using namespace kvdn::platform::windows;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    gModule = instance;
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  for (const auto& entry : kClasses) {
    if (!IsEqualCLSID(entry.clsid, clsid)) continue;
    auto* factory = new (std::nothrow) Factory(entry);
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  // Kept database connections are the library's too: unloading under them
  // would leave their code gone.
  return liveObjects() == 0 && gLocks.load() == 0 && kvdn::sqlitePoolStats().kept == 0 ? S_OK : S_FALSE;
}

// Under HKEY_CLASSES_ROOT, the machine's classes: the web server's worker
// processes run under identities of their own and see only those. A caller
// that may not write there (not an administrator) gets the system's error
// (access denied, which regsvr32 shows), and nothing stays registered:
// registering for the current user alone would report success while no
// web server could create the classes.
// The embedded type library is registered with the classes (object browsers
// and editors find it there); a failure there undoes the classes as well.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  try {
    const std::wstring path = modulePath();
    if (path.empty()) return SELFREG_E_CLASS;
    for (const auto& c : kClasses) {
      const LONG rc = registerClass(HKEY_CLASSES_ROOT, L"", c, path);
      if (rc != ERROR_SUCCESS) {
        for (const auto& u : kClasses) unregisterClass(HKEY_CLASSES_ROOT, L"", u);
        return HRESULT_FROM_WIN32(static_cast<unsigned long>(rc));
      }
    }
    const HRESULT hr = registerTypeLibrary(path);
    if (FAILED(hr)) {
      for (const auto& u : kClasses) unregisterClass(HKEY_CLASSES_ROOT, L"", u);
      return hr;
    }
    return S_OK;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

// Removes our keys from the machine's and the current user's classes, and
// the type library's registration.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  try {
    for (const auto& c : kClasses) {
      unregisterClass(HKEY_LOCAL_MACHINE, L"Software\\Classes\\", c);
      unregisterClass(HKEY_CURRENT_USER, L"Software\\Classes\\", c);
    }
    return unregisterTypeLibrary();
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}
