// IDispatch::Invoke called the way a conformance test does, with hand-built
// DISPPARAMS, on the DLL loaded directly (LoadLibrary, DllGetClassObject):
// malformed parameters are refused without reading past them, a put without
// the named DISPID_PROPERTYPUT stores its value, failures leave nothing
// behind with or without an EXCEPINFO, and every reference is given back.
// Built by the Windows build, run under Wine by scripts/windows-test.sh;
// prints one line per check and exits 1 when any failed.
#include <windows.h>
// After windows.h, which it needs.
#include <oleauto.h>

#include <cstdio>
#include <cwchar>

namespace {

// kvdnAspDll.dbClass
const CLSID kDbClass = {0x6B3F2A41, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}};

int failures = 0;

void check(const char* what, bool ok) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

DISPID idOf(IDispatch* d, const wchar_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  return id;
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
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
  auto getClassObject =
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

  ::VariantClear(&args[0]);
  check("the last reference ends the object", db->Release() == 0);
  check("the library may be unloaded once no object lives", canUnloadNow() == S_OK);
  std::printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
