// The embedded type library: loaded from the DLL's own resource, looked up
// by type name.
#include "type_library.h"

#include <mutex>

#include "wide.h"

namespace kvdn::platform::windows {

namespace {

// kvdnAspDll.idl's library: its uuid and version.
constexpr GUID kLibraryId{0x6B3F2A60, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}};
constexpr WORD kMajor = 1, kMinor = 0;

HMODULE ownModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ownModule), &module);
  return module;
}

std::wstring ownPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(ownModule(), path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// Loaded on first use, kept for the process's life (a type library is the
// system's object; releasing it while scripts hold its type information
// would gain nothing).
ITypeLib* library() noexcept {
  static ITypeLib* loaded = [] {
    ITypeLib* lib = nullptr;
    try {
      const std::wstring path = ownPath();
      if (path.empty() || FAILED(::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib))) lib = nullptr;
    } catch (...) {
      lib = nullptr;
    }
    return lib;
  }();
  return loaded;
}

}  // namespace

ITypeInfo* typeInfoOf(std::string_view className, bool coclass) noexcept {
  ITypeLib* lib = library();
  if (!lib) return nullptr;
  std::wstring wanted;
  try {
    wanted = widen(className);
    if (coclass) wanted += L"Class";
  } catch (...) {
    return nullptr;
  }
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    TYPEKIND kind;
    if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != (coclass ? TKIND_COCLASS : TKIND_DISPATCH))
      continue;
    BSTR name = nullptr;
    if (FAILED(lib->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr))) continue;
    const bool same = name && wanted == name;
    ::SysFreeString(name);
    if (!same) continue;
    ITypeInfo* info = nullptr;
    return SUCCEEDED(lib->GetTypeInfo(i, &info)) ? info : nullptr;
  }
  return nullptr;
}

HRESULT registerTypeLibrary(const std::wstring& modulePath) noexcept {
  ITypeLib* lib = library();
  if (!lib) return TYPE_E_CANTLOADLIBRARY;
  std::wstring path = modulePath;
  return ::RegisterTypeLib(lib, path.data(), nullptr);
}

HRESULT unregisterTypeLibrary() noexcept {
  const HRESULT hr = ::UnRegisterTypeLib(kLibraryId, kMajor, kMinor, LOCALE_NEUTRAL,
                                         sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED ? S_OK : hr;
}

}  // namespace kvdn::platform::windows
