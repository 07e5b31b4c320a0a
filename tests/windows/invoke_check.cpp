// IDispatch::Invoke called the way a conformance test does, with hand-built
// DISPPARAMS, on the DLL loaded directly (LoadLibrary, DllGetClassObject):
// fixed DISPIDs and only real member names, malformed parameters refused
// without reading past them, a put without the named DISPID_PROPERTYPUT
// storing its value, failures leaving nothing behind with or without an
// EXCEPINFO, every by-reference type written back (or refused as a type
// mismatch), For Each over Fields (_NewEnum), type information that agrees
// with the names the objects answer, and every reference given back.
// Built by the Windows build, run under Wine by scripts/windows-test.sh;
// prints one line per check and exits 1 when any failed.
#include <windows.h>
// After windows.h, which it needs.
#include <ocidl.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// The classes' CLSIDs: {6B3F2A4n-9C7D-4E52-A1B8-3D0E5F7C2A91}.
CLSID classId(unsigned n) {
  return {0x6B3F2A40u + n, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}};
}
const CLSID kDbClass = classId(1);
const CLSID kMd5Class = classId(2);
const CLSID kConnection = classId(3);
const CLSID kCatalog = classId(6);

int failures = 0;

void check(const char* what, bool ok) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}
void check(const std::string& what, bool ok) {
  check(what.c_str(), ok);
}

DISPID idOf(IDispatch* d, const wchar_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  return id;
}

using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
GetClassObject getClassObject = nullptr;

IDispatch* create(const CLSID& clsid) {
  IClassFactory* factory = nullptr;
  if (FAILED(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))) || !factory)
    return nullptr;
  IDispatch* d = nullptr;
  if (FAILED(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&d)))) d = nullptr;
  factory->Release();
  return d;
}

// A call by name with positional arguments given left to right (they are
// passed right to left, as callers do). The result in `out` (cleared first).
HRESULT call(IDispatch* d, const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* out) {
  std::vector<VARIANT> raw(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{raw.empty() ? nullptr : raw.data(), nullptr, static_cast<UINT>(raw.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  if (out) ::VariantClear(out);
  return d->Invoke(idOf(d, name), IID_NULL, 0, flags, &params, out, nullptr, nullptr);
}

VARIANT text(const wchar_t* s) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = ::SysAllocString(s);
  return v;
}

IDispatch* dispatchOf(const VARIANT& v) {
  return V_VT(&v) == VT_DISPATCH ? V_DISPATCH(&v) : nullptr;
}

// Every function the type information of `d` declares is a name `d`
// answers with the same DISPID; `name` is the type's own name.
bool typeInfoAgrees(IDispatch* d, const wchar_t* name) {
  UINT count = 0;
  ITypeInfo* info = nullptr;
  if (FAILED(d->GetTypeInfoCount(&count)) || count != 1 || FAILED(d->GetTypeInfo(0, 0, &info)) || !info)
    return false;
  bool ok = true;
  BSTR own = nullptr;
  info->GetDocumentation(MEMBERID_NIL, &own, nullptr, nullptr, nullptr);
  ok = own && std::wcscmp(own, name) == 0;
  ::SysFreeString(own);
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) {
    info->Release();
    return false;
  }
  ok = ok && attr->typekind == TKIND_DISPATCH && attr->cFuncs > 0;
  for (WORD i = 0; ok && i < attr->cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    if (FAILED(info->GetFuncDesc(i, &f))) {
      ok = false;
      break;
    }
    BSTR member = nullptr;
    UINT got = 0;
    info->GetNames(f->memid, &member, 1, &got);
    ok = got == 1 && idOf(d, member) == f->memid;
    if (!ok)
      std::printf("     %ls: %ls is %ld in the type library\n", name, member, static_cast<long>(f->memid));
    ::SysFreeString(member);
    info->ReleaseFuncDesc(f);
  }
  info->ReleaseTypeAttr(attr);
  info->Release();
  return ok;
}

// The creatable class's IProvideClassInfo names its CLSID.
bool classInfoIs(IDispatch* d, const CLSID& clsid) {
  IProvideClassInfo* provide = nullptr;
  if (FAILED(d->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provide))) || !provide)
    return false;
  ITypeInfo* info = nullptr;
  bool ok = SUCCEEDED(provide->GetClassInfo(&info)) && info;
  provide->Release();
  if (!ok) return false;
  TYPEATTR* attr = nullptr;
  ok = SUCCEEDED(info->GetTypeAttr(&attr)) && attr->typekind == TKIND_COCLASS &&
       IsEqualGUID(attr->guid, clsid);
  if (attr) info->ReleaseTypeAttr(attr);
  info->Release();
  return ok;
}

// The DLL's own Connection on a new database file in the temporary folder:
// Execute's RecordsAffected written back into every by-reference type, a
// type that cannot hold a number refused, For Each over Fields.
void connectionChecks(HRESULT(STDAPICALLTYPE* canUnloadNow)()) {
  wchar_t folder[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, folder);
  const std::wstring file =
      std::wstring(folder) + L"kvdn_invoke_check_" + std::to_wstring(::GetCurrentProcessId()) + L".mdb";
  ::DeleteFileW(file.c_str());
  const std::wstring source = L"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file;
  VARIANT result;
  ::VariantInit(&result);

  IDispatch* catalog = create(kCatalog);
  check("the catalog makes the file",
        catalog && call(catalog, L"Create", DISPATCH_METHOD, {text(source.c_str())}, &result) == S_OK);
  if (catalog) catalog->Release();
  IDispatch* conn = create(kConnection);
  if (!conn) {
    check("a Connection", false);
    return;
  }
  check("Connection type information agrees", typeInfoAgrees(conn, L"Connection"));
  check("IProvideClassInfo gives the Connection coclass", classInfoIs(conn, kConnection));
  check("Open", call(conn, L"Open", DISPATCH_METHOD, {text(source.c_str())}, &result) == S_OK);
  call(conn, L"Execute", DISPATCH_METHOD, {text(L"create table t (a integer)")}, &result);
  call(conn, L"Execute", DISPATCH_METHOD, {text(L"insert into t values (1), (2), (3)")}, &result);
  ::VariantClear(&result);

  // Each type with storage of its own; three rows are affected each time.
  struct Slot {
    VARTYPE vt;
    const char* name;
  };
  const Slot slots[] = {{VT_I1, "VT_I1"},     {VT_UI1, "VT_UI1"},         {VT_I2, "VT_I2"},
                        {VT_UI2, "VT_UI2"},   {VT_I4, "VT_I4"},           {VT_UI4, "VT_UI4"},
                        {VT_INT, "VT_INT"},   {VT_UINT, "VT_UINT"},       {VT_I8, "VT_I8"},
                        {VT_UI8, "VT_UI8"},   {VT_R4, "VT_R4"},           {VT_R8, "VT_R8"},
                        {VT_CY, "VT_CY"},     {VT_DATE, "VT_DATE"},       {VT_BOOL, "VT_BOOL"},
                        {VT_BSTR, "VT_BSTR"}, {VT_DECIMAL, "VT_DECIMAL"}, {VT_VARIANT, "VT_VARIANT"}};
  for (const Slot& slot : slots) {
    VARIANT storage;  // what the caller's variable holds, by type
    ::VariantInit(&storage);
    VARIANT byRef;
    ::VariantInit(&byRef);
    V_VT(&byRef) = static_cast<VARTYPE>(slot.vt | VT_BYREF);
    if (slot.vt == VT_DECIMAL) {
      byRef.pdecVal = &V_DECIMAL(&storage);
    } else if (slot.vt == VT_VARIANT) {
      byRef.pvarVal = &storage;
    } else {
      byRef.byref = &storage.llVal;  // the value part of the union
    }
    const HRESULT hr = call(conn, L"Execute", DISPATCH_METHOD, {text(L"update t set a = a"), byRef}, &result);
    VARIANT asR8;
    ::VariantInit(&asR8);
    VARIANT read;
    ::VariantInit(&read);
    bool ok = hr == S_OK;
    if (ok && slot.vt == VT_VARIANT) {
      ok = SUCCEEDED(::VariantChangeType(&asR8, &storage, 0, VT_R8)) && V_R8(&asR8) == 3;
    } else if (ok) {
      ok = SUCCEEDED(::VariantCopyInd(&read, &byRef)) &&
           SUCCEEDED(::VariantChangeType(&asR8, &read, 0, VT_R8)) &&
           (slot.vt == VT_BOOL ? V_R8(&asR8) == -1 : V_R8(&asR8) == 3);
    }
    check(std::string("RecordsAffected written back into ") + slot.name, ok);
    ::VariantClear(&read);
    ::VariantClear(&asR8);
    ::VariantClear(&result);
    if (slot.vt == VT_BSTR) ::SysFreeString(storage.bstrVal);
    if (slot.vt == VT_VARIANT) ::VariantClear(&storage);
  }
  {
    IDispatch* held = nullptr;
    VARIANT byRef;
    ::VariantInit(&byRef);
    V_VT(&byRef) = VT_DISPATCH | VT_BYREF;
    byRef.ppdispVal = &held;
    EXCEPINFO info{};
    std::vector<VARIANT> raw{byRef, text(L"update t set a = a")};
    DISPPARAMS params{raw.data(), nullptr, 2, 0};
    const HRESULT hr =
        conn->Invoke(idOf(conn, L"Execute"), IID_NULL, 0, DISPATCH_METHOD, &params, &result, &info, nullptr);
    check("a number into a VT_DISPATCH reference: type mismatch (13), the variable untouched",
          hr == DISP_E_EXCEPTION && info.scode == static_cast<HRESULT>(0x800A000Du) && held == nullptr);
    ::SysFreeString(info.bstrDescription);
    ::SysFreeString(info.bstrSource);
    ::SysFreeString(info.bstrHelpFile);
    ::VariantClear(&raw[1]);
    ::VariantClear(&result);
  }

  // For Each f In rs.Fields: _NewEnum gives every field, in order.
  check("Execute gives a recordset",
        call(conn, L"Execute", DISPATCH_METHOD, {text(L"select a, a * 2 as b from t")}, &result) == S_OK &&
            dispatchOf(result));
  IDispatch* rs = dispatchOf(result);
  VARIANT fieldsValue;
  ::VariantInit(&fieldsValue);
  if (rs) {
    rs->AddRef();
    ::VariantClear(&result);
    check("Recordset type information agrees", typeInfoAgrees(rs, L"Recordset"));
    call(rs, L"Fields", DISPATCH_PROPERTYGET, {}, &fieldsValue);
  }
  IDispatch* fields = dispatchOf(fieldsValue);
  std::wstring names;
  if (fields) {
    check("Fields type information agrees", typeInfoAgrees(fields, L"Fields"));
    check("_NewEnum is DISPID_NEWENUM", idOf(fields, L"_NewEnum") == DISPID_NEWENUM);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT enumValue;
    ::VariantInit(&enumValue);
    IEnumVARIANT* items = nullptr;
    if (SUCCEEDED(fields->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                                 &enumValue, nullptr, nullptr)) &&
        V_VT(&enumValue) == VT_UNKNOWN && V_UNKNOWN(&enumValue)) {
      V_UNKNOWN(&enumValue)->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items));
    }
    ::VariantClear(&enumValue);
    check("the enumerator is an IEnumVARIANT", items != nullptr);
    VARIANT item;
    ::VariantInit(&item);
    ULONG fetched = 0;
    while (items && items->Next(1, &item, &fetched) == S_OK && fetched == 1) {
      IDispatch* field = dispatchOf(item);
      VARIANT name;
      ::VariantInit(&name);
      if (field && call(field, L"Name", DISPATCH_PROPERTYGET, {}, &name) == S_OK && V_VT(&name) == VT_BSTR)
        names += std::wstring(V_BSTR(&name)) + L";";
      if (field && names == L"a;") check("Field type information agrees", typeInfoAgrees(field, L"Field"));
      ::VariantClear(&name);
      ::VariantClear(&item);
    }
    if (items) {
      items->Reset();
      check("Skip past the end says so", items->Skip(3) == S_FALSE);
      check("the enumerator's last reference ends it", items->Release() == 0);
    }
  }
  check("For Each over Fields visits a and b", names == L"a;b;");
  ::VariantClear(&fieldsValue);
  if (rs) check("the recordset's last reference ends it", rs->Release() == 0);
  call(conn, L"Close", DISPATCH_METHOD, {}, &result);
  check("the library stays while the connection lives", canUnloadNow() == S_FALSE);
  check("the connection's last reference ends it", conn->Release() == 0);
  ::DeleteFileW(file.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kvdn_invoke_check PATH\\kvdnAspDll.dll\n");
    return 2;
  }
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HMODULE dll = ::LoadLibraryW(argv[1]);
  if (!dll) {
    std::fprintf(stderr, "cannot load %ls\n", argv[1]);
    return 2;
  }
  using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
  getClassObject =
      reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(::GetProcAddress(dll, "DllGetClassObject")));
  auto canUnloadNow =
      reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(::GetProcAddress(dll, "DllCanUnloadNow")));
  IClassFactory* factory = nullptr;
  if (!getClassObject || !canUnloadNow ||
      FAILED(getClassObject(kDbClass, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
    std::fprintf(stderr, "no class factory\n");
    return 2;
  }
  IDispatch* db = nullptr;
  check("the factory makes a dbClass",
        SUCCEEDED(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&db))) && db);
  factory->Release();
  if (!db) return 1;

  const DISPID dbType = idOf(db, L"dbType");
  const DISPID getLenTitle = idOf(db, L"getLenTitle");

  // Fixed ids, the same for every object and run, letter case ignored;
  // nothing but the class's members (md5Class has no page binding).
  IDispatch* md5 = create(kMd5Class);
  IDispatch* db2 = create(kDbClass);
  check("fixed DISPIDs: dbType 2, getLenTitle 13, OnStartPage 10",
        dbType == 2 && getLenTitle == 13 && idOf(db, L"OnStartPage") == 10);
  check("the same ids on another object and in any letter case",
        db2 && idOf(db2, L"DBTYPE") == dbType && idOf(db2, L"getlentitle") == getLenTitle);
  {
    DISPID ids[2] = {0, 0};
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"noSuchMember")};
    LPOLESTR empty[] = {const_cast<LPOLESTR>(L"")};
    LPOLESTR named[] = {const_cast<LPOLESTR>(L"md5"), const_cast<LPOLESTR>(L"text")};
    check("an unknown name: DISP_E_UNKNOWNNAME and DISPID_UNKNOWN",
          db->GetIDsOfNames(IID_NULL, unknown, 1, 0, ids) == DISP_E_UNKNOWNNAME && ids[0] == DISPID_UNKNOWN);
    check("the empty name is no member", db->GetIDsOfNames(IID_NULL, empty, 1, 0, ids) == DISP_E_UNKNOWNNAME);
    check("a named argument is unknown, the member still found",
          md5 && md5->GetIDsOfNames(IID_NULL, named, 2, 0, ids) == DISP_E_UNKNOWNNAME && ids[0] == 1 &&
              ids[1] == DISPID_UNKNOWN);
    check("md5Class has no OnStartPage or OnEndPage",
          md5 && idOf(md5, L"OnStartPage") == DISPID_UNKNOWN && idOf(md5, L"OnEndPage") == DISPID_UNKNOWN);
  }
  check("dbClass type information agrees with its names and is named dbClass",
        typeInfoAgrees(db, L"dbClass"));
  check("md5Class type information agrees", md5 && typeInfoAgrees(md5, L"md5Class"));
  check("IProvideClassInfo gives the dbClass coclass", classInfoIs(db, kDbClass));
  if (md5) check("md5Class's last reference ends it", md5->Release() == 0);
  if (db2) check("the second dbClass's last reference ends it", db2->Release() == 0);
  check("the library stays while an object lives", canUnloadNow() == S_FALSE);
  VARIANT args[2];
  for (VARIANT& v : args) ::VariantInit(&v);
  V_VT(&args[0]) = VT_BSTR;
  V_BSTR(&args[0]) = ::SysAllocString(L"access");
  DISPID named = DISPID_PROPERTYPUT;
  VARIANT result;
  ::VariantInit(&result);
  EXCEPINFO info{};
  UINT argErr = 0;

  DISPPARAMS tooManyNames{args, &named, 1, 2};  // two named of one argument
  check("more named arguments than arguments: DISP_E_BADPARAMCOUNT",
        db->Invoke(dbType, IID_NULL, 0, DISPATCH_PROPERTYPUT, &tooManyNames, nullptr, &info, &argErr) ==
            DISP_E_BADPARAMCOUNT);
  DISPPARAMS noArray{nullptr, nullptr, 1, 0};
  check("arguments without their array: E_INVALIDARG",
        db->Invoke(getLenTitle, IID_NULL, 0, DISPATCH_METHOD, &noArray, &result, &info, &argErr) ==
            E_INVALIDARG);
  DISPPARAMS namesWithoutArray{args, nullptr, 1, 1};
  check("named arguments without their array: E_INVALIDARG",
        db->Invoke(dbType, IID_NULL, 0, DISPATCH_PROPERTYPUT, &namesWithoutArray, nullptr, &info, &argErr) ==
            E_INVALIDARG);

  // A put without the named DISPID_PROPERTYPUT: the value, not an index.
  DISPPARAMS unnamedPut{args, nullptr, 1, 0};
  check(
      "a put without DISPID_PROPERTYPUT stores its value",
      db->Invoke(dbType, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamedPut, nullptr, nullptr, nullptr) == S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  const HRESULT got = db->Invoke(dbType, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  check("and reads back as stored",
        got == S_OK && V_VT(&result) == VT_BSTR && std::wcscmp(V_BSTR(&result), L"access") == 0);
  ::VariantClear(&result);
  DISPPARAMS namedPut{args, &named, 1, 1};
  check("the same put with DISPID_PROPERTYPUT",
        db->Invoke(dbType, IID_NULL, 0, DISPATCH_PROPERTYPUT, &namedPut, nullptr, &info, nullptr) == S_OK);

  // A failing call (wrong argument count) with and without an EXCEPINFO.
  DISPPARAMS oneArg{args, nullptr, 1, 0};
  info = EXCEPINFO{};
  HRESULT hr = db->Invoke(getLenTitle, IID_NULL, 0, DISPATCH_METHOD, &oneArg, &result, &info, &argErr);
  check("a failing call reports DISP_E_EXCEPTION with a number and a description",
        hr == DISP_E_EXCEPTION && FAILED(info.scode) && info.bstrDescription != nullptr);
  ::SysFreeString(info.bstrDescription);
  ::SysFreeString(info.bstrSource);
  ::SysFreeString(info.bstrHelpFile);
  hr = db->Invoke(getLenTitle, IID_NULL, 0, DISPATCH_METHOD, &oneArg, &result, nullptr, nullptr);
  check("and without an EXCEPINFO its error itself", FAILED(hr) && hr != DISP_E_EXCEPTION);
  check("unknown member ids are refused", db->Invoke(0x7fff0000, IID_NULL, 0, DISPATCH_METHOD, &none, &result,
                                                     nullptr, nullptr) == DISP_E_MEMBERNOTFOUND);

  // A put on a method, a call of a put-only member: not found.
  check("a put on a method: DISP_E_MEMBERNOTFOUND",
        db->Invoke(getLenTitle, IID_NULL, 0, DISPATCH_PROPERTYPUT, &namedPut, nullptr, nullptr, nullptr) ==
            DISP_E_MEMBERNOTFOUND);

  ::VariantClear(&args[0]);
  check("the last reference ends the object", db->Release() == 0);
  check("the library may be unloaded once no object lives", canUnloadNow() == S_OK);

  connectionChecks(canUnloadNow);
  std::printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
