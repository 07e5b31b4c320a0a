// The binary object interface of libkvdnAspDll.so: our own minimal
// definitions of GUIDs, HRESULTs, IUnknown and IClassFactory, laid out as the
// component object model lays them out, and the four library exports.
//
// Layout: an interface is a pointer to a table of function pointers in
// declaration order (IUnknown: QueryInterface, AddRef, Release). The structs
// below have virtual functions only and no virtual destructor, so the
// Itanium C++ ABI gives exactly that table. Never add a virtual destructor
// or a data member to them.
//
// Extension: an object made by our class factory also answers
// IID_IKvdnObject, whose object() hands out the library's late-binding
// kvdn::Object (invoke / getProperty / setProperty). The pointer is valid as
// long as the caller holds a reference to the interface. A host that loaded
// another copy of the library (dlopen) must use that object only through
// the Object virtual functions: everything behind them is that copy's code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kvdn/export.h"

namespace kvdn {
class Object;
}

namespace kvdn::com {

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = std::int32_t;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;

constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex digits.
KVDN_API std::string formatGuid(const GUID& guid);
// Accepts the form above, braces required, hex digits of either case.
KVDN_API std::optional<GUID> parseGuid(std::string_view text);

constexpr bool succeeded(HRESULT hr) noexcept {
  return hr >= 0;
}
constexpr bool failed(HRESULT hr) noexcept {
  return hr < 0;
}

// HRESULT values (the bit patterns of the originals, read as signed).
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);
inline constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9u);
inline constexpr HRESULT HRESULT_MOD_NOT_FOUND = static_cast<HRESULT>(0x8007007Eu);

// A short description of the HRESULTs above ("Unspecified error" otherwise).
KVDN_API const char* describeHresult(HRESULT hr) noexcept;

// The standard interface ids.
inline constexpr IID IID_IUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory{
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// Ours: the late-binding object behind a created instance.
inline constexpr IID IID_IKvdnObject{
    0x6B3F2A50, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}};
// The two classes of the library. Fixed for ever: registry files and hosts
// keep them.
inline constexpr CLSID CLSID_dbClass{
    0x6B3F2A41, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}};
inline constexpr CLSID CLSID_md5Class{
    0x6B3F2A42, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}};
inline constexpr const char* kProgIdDbClass = "kvdnAspDll.dbClass";
inline constexpr const char* kProgIdMd5Class = "kvdnAspDll.md5Class";

struct IUnknown {
  // On success *object holds the interface with one reference added; on
  // failure *object is null. A null `object` gives E_POINTER.
  virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  // The object deletes itself when the count reaches zero.
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
  // `outer` must be null (no aggregation: CLASS_E_NOAGGREGATION).
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
  // A lock keeps the library loaded (DllCanUnloadNow answers S_FALSE).
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

struct IKvdnObject : IUnknown {
  // Never null. Owned by the instance; valid while a reference is held.
  virtual kvdn::Object* object() = 0;

 protected:
  ~IKvdnObject() = default;
};

// Signatures of the exports, for dlsym.
using DllGetClassObjectFn = HRESULT (*)(const CLSID&, const IID&, void**);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

}  // namespace kvdn::com

// The four exports, with C linkage. They never throw.
extern "C" {
// A class factory (IID_IUnknown or IID_IClassFactory) for CLSID_dbClass or
// CLSID_md5Class; CLASS_E_CLASSNOTAVAILABLE for any other class.
KVDN_API kvdn::com::HRESULT DllGetClassObject(const kvdn::com::CLSID& clsid, const kvdn::com::IID& iid,
                                              void** object);
// S_OK when no object or factory of this copy of the library is alive and no
// LockServer lock is held, else S_FALSE.
KVDN_API kvdn::com::HRESULT DllCanUnloadNow();
// Records both ProgIDs with their class ids and this library's own path in
// the registry file (see com/registry_file.h), replacing earlier lines for
// the same ProgIDs. SELFREG_E_CLASS when the file cannot be written or the
// code is linked into a program rather than loaded as a library.
KVDN_API kvdn::com::HRESULT DllRegisterServer();
// Removes the lines of both ProgIDs; S_OK also when there were none.
KVDN_API kvdn::com::HRESULT DllUnregisterServer();
}
