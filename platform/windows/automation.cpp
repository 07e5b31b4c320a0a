// VARIANT conversions and late-bound calls on foreign IDispatch objects.
#include "automation.h"

#include <dispex.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include "kvdn/error.h"
#include "wide.h"

namespace kvdn::platform::windows {

namespace {

std::atomic<long> gLiveObjects{0};

// IID_IDispatchEx, which mingw's uuid library does not carry.
constexpr GUID kIID_IDispatchEx{0xA6EF9860, 0xC720, 0x11D0, {0x93, 0x37, 0x00, 0xA0, 0xC9, 0x0D, 0xCA, 0xA9}};

std::string bstrText(BSTR b) {
  return b ? narrow(b, ::SysStringLen(b)) : std::string();
}

BSTR makeBstr(std::string_view utf8) {
  std::wstring w = widen(utf8);
  BSTR b = ::SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  if (!b) throw std::bad_alloc();
  return b;
}

Variant fromDispatch(IDispatch* d) {
  if (!d) return Variant(ObjectPtr());
  IKvdnNative* native = nullptr;
  if (SUCCEEDED(d->QueryInterface(IID_IKvdnNative, reinterpret_cast<void**>(&native))) && native) {
    ObjectPtr object = native->native();
    native->Release();
    return Variant(object);
  }
  return Variant(std::make_shared<ForeignObject>(DispatchRef(d)));
}

Variant fromUnknown(IUnknown* u) {
  if (!u) return Variant(ObjectPtr());
  IDispatch* d = nullptr;
  if (FAILED(u->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d))) || !d) raise(err::kTypeMismatch);
  Variant out = fromDispatch(d);
  d->Release();
  return out;
}

// Anything else numeric (unsigned, currency, decimal) through the system's
// own coercion to a double.
Variant viaDouble(const VARIANT& v) {
  VARIANT d;
  ::VariantInit(&d);
  if (FAILED(::VariantChangeType(&d, const_cast<VARIANT*>(&v), 0, VT_R8))) raise(err::kTypeMismatch);
  return Variant(d.dblVal);
}

}  // namespace

void objectCreated() noexcept {
  gLiveObjects.fetch_add(1, std::memory_order_relaxed);
}
void objectDestroyed() noexcept {
  gLiveObjects.fetch_sub(1, std::memory_order_acq_rel);
}
long liveObjects() noexcept {
  return gLiveObjects.load(std::memory_order_acquire);
}

HRESULT scodeOf(std::int32_t number) noexcept {
  if (number > 0 && number <= 0xFFFF)
    return static_cast<HRESULT>(0x800A0000u | static_cast<unsigned>(number));
  return static_cast<HRESULT>(number);
}

std::int32_t numberOf(HRESULT scode) noexcept {
  const auto u = static_cast<std::uint32_t>(scode);
  if ((u & 0xFFFF0000u) == 0x800A0000u) return static_cast<std::int32_t>(u & 0xFFFFu);
  return static_cast<std::int32_t>(scode);
}

Variant fromVariant(const VARIANT& v) {
  const VARTYPE vt = V_VT(&v);
  if (vt == (VT_BYREF | VT_VARIANT)) {
    if (!v.pvarVal) return Variant();
    return fromVariant(*v.pvarVal);
  }
  if (vt & VT_ARRAY) raise(err::kTypeMismatch);
  if (vt & VT_BYREF) {
    switch (vt & ~VT_BYREF) {
      case VT_I2:
        return Variant(static_cast<std::int16_t>(*v.piVal));
      case VT_I4:
        return Variant(static_cast<std::int32_t>(*v.plVal));
      case VT_R8:
        return Variant(*v.pdblVal);
      case VT_BSTR:
        return Variant(bstrText(*v.pbstrVal));
      case VT_BOOL:
        return Variant(*v.pboolVal != VARIANT_FALSE);
      case VT_DATE:
        return Variant(Date{*v.pdate});
      case VT_DISPATCH:
        return fromDispatch(*v.ppdispVal);
      case VT_UNKNOWN:
        return fromUnknown(*v.ppunkVal);
      default: {
        VARIANT copy;
        ::VariantInit(&copy);
        if (FAILED(::VariantCopyInd(&copy, const_cast<VARIANT*>(&v)))) raise(err::kTypeMismatch);
        Variant out = fromVariant(copy);
        ::VariantClear(&copy);
        return out;
      }
    }
  }
  switch (vt) {
    case VT_EMPTY:
      return Variant();
    case VT_NULL:
      return Variant::null();
    case VT_I2:
      return Variant(static_cast<std::int16_t>(v.iVal));
    case VT_I4:
      return Variant(static_cast<std::int32_t>(v.lVal));
    case VT_INT:
      return Variant(static_cast<std::int32_t>(v.intVal));
    case VT_I1:
      return Variant(static_cast<std::int16_t>(v.cVal));
    case VT_UI1:
      return Variant(static_cast<std::int16_t>(v.bVal));
    case VT_UI2:
      return Variant(static_cast<std::int32_t>(v.uiVal));
    case VT_I8: {
      const LONGLONG n = v.llVal;
      if (n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::int32_t>::max())
        return Variant(static_cast<std::int32_t>(n));
      return Variant(static_cast<std::int64_t>(n));
    }
    case VT_R4:
      return Variant(static_cast<double>(v.fltVal));
    case VT_R8:
      return Variant(v.dblVal);
    case VT_DATE:
      return Variant(Date{v.date});
    case VT_BSTR:
      return Variant(bstrText(v.bstrVal));
    case VT_BOOL:
      return Variant(v.boolVal != VARIANT_FALSE);
    case VT_DISPATCH:
      return fromDispatch(v.pdispVal);
    case VT_UNKNOWN:
      return fromUnknown(v.punkVal);
    case VT_ERROR:
      // An optional argument the caller left out.
      if (v.scode == DISP_E_PARAMNOTFOUND) return Variant();
      raise(err::kTypeMismatch);
    case VT_UI4:
    case VT_UINT:
    case VT_UI8:
    case VT_CY:
    case VT_DECIMAL:
      return viaDouble(v);
    default:
      raise(err::kTypeMismatch);
  }
}

void toVariantOut(const Variant& value, VARIANT* out) {
  ::VariantInit(out);
  switch (value.type()) {
    case VarType::Empty:
      return;
    case VarType::Null:
      V_VT(out) = VT_NULL;
      return;
    case VarType::Boolean:
      V_VT(out) = VT_BOOL;
      out->boolVal = value.boolean() ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case VarType::Integer:
      V_VT(out) = VT_I2;
      out->iVal = static_cast<SHORT>(value.integer());
      return;
    case VarType::Long:
      V_VT(out) = VT_I4;
      out->lVal = static_cast<LONG>(value.integer());
      return;
    case VarType::LongLong: {
      const std::int64_t n = value.integer();
      if (n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::int32_t>::max()) {
        V_VT(out) = VT_I4;
        out->lVal = static_cast<LONG>(n);
      } else {
        V_VT(out) = VT_R8;
        out->dblVal = static_cast<double>(n);
      }
      return;
    }
    case VarType::Double:
      V_VT(out) = VT_R8;
      out->dblVal = value.dbl();
      return;
    case VarType::Date:
      V_VT(out) = VT_DATE;
      out->date = value.date().serial;
      return;
    case VarType::String:
      out->bstrVal = makeBstr(value.str());
      V_VT(out) = VT_BSTR;
      return;
    case VarType::Object:
      out->pdispVal = dispatchFor(value.object());
      V_VT(out) = VT_DISPATCH;
      return;
  }
}

namespace {

std::atomic<bool>& idCacheSwitch() {
  static std::atomic<bool> on{[] {
    const char* value = std::getenv("KVDN_SPEED_PATHS");
    if (!value) return true;
    const std::string v = asciiLower(value);
    return !(v == "off" || v == "0" || v == "no" || v == "false");
  }()};
  return on;
}

Variant callWithCache(IDispatch* target, std::string_view name, WORD flags, const std::vector<Variant>& args,
                      DispatchIdCache* cache);

}  // namespace

void setDispatchIdCache(bool on) noexcept {
  idCacheSwitch().store(on);
}
bool dispatchIdCache() noexcept {
  return idCacheSwitch().load();
}

Variant callDispatch(IDispatch* target, std::string_view name, WORD flags, const std::vector<Variant>& args) {
  return callWithCache(target, name, flags, args, nullptr);
}

Variant callDispatch(const DispatchRef& target, std::string_view name, WORD flags,
                     const std::vector<Variant>& args) {
  return callWithCache(target.get(), name, flags, args, dispatchIdCache() ? target.ids() : nullptr);
}

namespace {

// The id of `name` on `target`: from the cache when it has it, else asked
// (and kept there).
DISPID idOfName(IDispatch* target, std::string_view name, DispatchIdCache* cache) {
  if (name.empty()) return DISPID_VALUE;
  if (cache) {
    if (const DISPID* known = cache->find(name)) return *known;
  }
  DISPID id = DISPID_UNKNOWN;
  {
    std::wstring wname = widen(name);
    LPOLESTR names[1] = {wname.data()};
    if (FAILED(target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
      // Some script engines (Wine's VBScript classes) answer names only
      // through IDispatchEx.
      IDispatchEx* ex = nullptr;
      HRESULT hr = target->QueryInterface(kIID_IDispatchEx, reinterpret_cast<void**>(&ex));
      if (FAILED(hr) || !ex) raise(err::kNotSupported);
      BSTR bname = ::SysAllocStringLen(wname.data(), static_cast<UINT>(wname.size()));
      hr = bname ? ex->GetDispID(bname, fdexNameCaseInsensitive, &id) : E_OUTOFMEMORY;
      ::SysFreeString(bname);
      ex->Release();
      if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
      if (FAILED(hr)) raise(err::kNotSupported);
    }
  }
  if (cache) cache->remember(name, id);
  return id;
}

Variant callWithCache(IDispatch* target, std::string_view name, WORD flags, const std::vector<Variant>& args,
                      DispatchIdCache* cache) {
  if (!target) raise(err::kObjectNotSet);
  const DISPID id = idOfName(target, name, cache);
  // Arguments go right to left.
  std::vector<VARIANT> raw(args.size());
  for (auto& r : raw) ::VariantInit(&r);
  struct Clear {
    std::vector<VARIANT>& v;
    ~Clear() {
      for (auto& r : v) ::VariantClear(&r);
    }
  } clear{raw};
  for (std::size_t i = 0; i < args.size(); ++i) toVariantOut(args[i], &raw[args.size() - 1 - i]);
  DISPPARAMS params{};
  params.rgvarg = raw.empty() ? nullptr : raw.data();
  params.cArgs = static_cast<UINT>(raw.size());
  DISPID putId = DISPID_PROPERTYPUT;
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  VARIANT result;
  ::VariantInit(&result);
  EXCEPINFO info{};
  UINT argErr = 0;
  HRESULT hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, &info, &argErr);
  if (hr == DISP_E_EXCEPTION) {
    if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
    const HRESULT scode = info.scode ? info.scode : static_cast<HRESULT>(0x800A0000u | info.wCode);
    std::string description = bstrText(info.bstrDescription);
    ::SysFreeString(info.bstrDescription);
    ::SysFreeString(info.bstrSource);
    ::SysFreeString(info.bstrHelpFile);
    ::VariantClear(&result);
    const std::int32_t number = numberOf(scode);
    if (description.empty()) description = standardDescription(number);
    raise(number, description);
  }
  if (FAILED(hr)) {
    ::VariantClear(&result);
    if (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_UNKNOWNNAME) raise(err::kNotSupported);
    if (hr == DISP_E_BADPARAMCOUNT) raise(err::kWrongArgCount);
    if (hr == DISP_E_TYPEMISMATCH) raise(err::kTypeMismatch);
    const std::int32_t number = numberOf(hr);
    raise(number, standardDescription(number));
  }
  Variant out;
  try {
    out = fromVariant(result);
  } catch (...) {
    ::VariantClear(&result);
    throw;
  }
  ::VariantClear(&result);
  return out;
}

}  // namespace

Variant ForeignObject::invoke(std::string_view name, std::vector<Variant>& args) {
  return callDispatch(dispatch_, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args);
}

Variant ForeignObject::getProperty(std::string_view name) {
  return callDispatch(dispatch_, name, DISPATCH_PROPERTYGET, {});
}

void ForeignObject::setProperty(std::string_view name, const Variant& value) {
  const WORD flags = value.isObject() ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
  callDispatch(dispatch_, name, flags, {value});
}

}  // namespace kvdn::platform::windows
