// Loading classes from libraries named in a registry file: the way a page
// host's Server.CreateObject reaches an installed libkvdnAspDll.so.
#pragma once

#include <cstddef>
#include <filesystem>

#include "kvdn/com.h"
#include "kvdn/page.h"

namespace kvdn::com {

// Creates an instance of `clsid` from the shared library at `library`:
// dlopen, DllGetClassObject, IClassFactory::CreateInstance, and the
// IKvdnObject extension. The library is loaded on first use and never
// unloaded: objects, their type information and exceptions thrown by its code
// may outlive any single creation.
//
// The returned pointer holds the instance's reference and releases it when
// the last copy goes. Use the object only through the kvdn::Object virtual
// functions (it runs the loaded copy's code).
//
// Raises ComError: HRESULT_MOD_NOT_FOUND when the library cannot be loaded
// (the loader's message in the description), CO_E_ERRORINDLL when it lacks
// DllGetClassObject or hands out no object, and the HRESULT of a failing
// DllGetClassObject, CreateInstance or QueryInterface.
ObjectPtr createFromLibrary(const std::filesystem::path& library, const CLSID& clsid);

// Adds to `registry` one factory per entry of the registry file; each
// creates its object with createFromLibrary. Entries replace factories
// already registered under the same ProgID (so a host may first call
// registerStandardClasses and then prefer the installed library). Nothing is
// loaded until a factory runs. Returns the number of entries; a missing file
// has none. Raises as readRegistryFile.
std::size_t registerFromRegistryFile(ClassRegistry& registry, const std::filesystem::path& file);

}  // namespace kvdn::com
