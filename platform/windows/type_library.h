// The type library embedded in the DLL (resource TYPELIB 1, compiled from
// kvdnAspDll.idl): type information for IDispatch::GetTypeInfo and
// IProvideClassInfo, and its registration.
//
// Threads: any thread may call these; the library is loaded once per process
// and kept until it ends.
#pragma once

// <windows.h> must come first.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <string>
#include <string_view>

namespace kvdn::platform::windows {

// The dispinterface named `className` (a member table's class name), or with
// `coclass` the creatable class named className + "Class". One reference for
// the caller; null when the library has no such type or cannot be loaded.
ITypeInfo* typeInfoOf(std::string_view className, bool coclass) noexcept;

// RegisterTypeLib for the library inside `modulePath` (the DLL's own path);
// the HRESULT of the system's call.
HRESULT registerTypeLibrary(const std::wstring& modulePath) noexcept;
// Removes that registration; S_OK also when there was none.
HRESULT unregisterTypeLibrary() noexcept;

}  // namespace kvdn::platform::windows
