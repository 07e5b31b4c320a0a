// IDispatch over the library's late-binding objects: what a script engine
// holds when it holds a dbClass, an md5Class, a connection or a recordset.
//
// Names: GetIDsOfNames answers from the object's member table (the same
// table its late binding answers from): the member's fixed DISPID, letter
// case ignored, DISP_E_UNKNOWNNAME for any other name. DISPID_VALUE is the
// member with id 0 where the class has one; DISPID_NEWENUM (_NewEnum) hands
// out an IEnumVARIANT over what the object enumerates. Type information is
// the embedded type library's dispinterface of the table's class name (so
// TypeName shows it), and a creatable class answers IProvideClassInfo.
//
// Threads: the apartment model. A wrapper is called by the thread that made
// its object; only the table of wrappers (shared by all threads of the
// process) is locked.
//
// Invoke: a property put (let or set) goes to setProperty; with index
// arguments (rs("name") = v) the indexed member is read first and its
// default member set. A get or call with no arguments asks getProperty and
// falls back to invoke (a method called without parentheses); a call with
// arguments asks invoke and falls back to the property's default member
// (rs.Fields(0)). Arguments passed by reference (VT_BYREF, any type) receive
// what the method left in their slot when it changed; a value the caller's
// type cannot hold is refused as a type mismatch (13), never dropped. Failures come back as
// DISP_E_EXCEPTION with the error's number and description in EXCEPINFO.
// <windows.h> must come first.
// clang-format off
#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>
// clang-format on

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "automation.h"
#include "foreign_data.h"
#include "kvdn/error.h"
#include "type_library.h"
#include "wide.h"

// COM objects have no virtual destructor (the interface tables are laid out
// without one) and delete themselves in Release: the warning for classes
// derived from the system's interfaces does not apply to them.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace kvdn::platform::windows {

namespace {

// E_UNEXPECTED, as the command-line host reports a non-ComError failure.
constexpr std::int32_t kUnexpected = -2147418113;

bool sameValue(const Variant& a, const Variant& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case VarType::Empty:
    case VarType::Null:
      return true;
    case VarType::Object:
      return a.object() == b.object();
    case VarType::Double:
      return a.dbl() == b.dbl();
    case VarType::Date:
      return a.date() == b.date();
    case VarType::Boolean:
      return a.boolean() == b.boolean();
    case VarType::String:
      return a.str() == b.str();
    default:
      return a.integer() == b.integer();
  }
}

// Writes `value` back into a by-reference argument of the caller, coerced
// to the argument's type. Raises 13 when that type cannot hold the value
// (the caller's variable keeps what it had).
void writeBack(VARIANT& arg, const Variant& value) {
  const VARTYPE vt = V_VT(&arg);
  if (!(vt & VT_BYREF) || !arg.byref) return;
  VARIANT fresh;
  toVariantOut(value, &fresh);
  if (vt == (VT_BYREF | VT_VARIANT)) {
    ::VariantClear(arg.pvarVal);
    *arg.pvarVal = fresh;
    return;
  }
  VARIANT coerced;
  ::VariantInit(&coerced);
  const auto target = static_cast<VARTYPE>(vt & ~static_cast<unsigned>(VT_BYREF));
  const HRESULT hr = ::VariantChangeType(&coerced, &fresh, 0, target);
  ::VariantClear(&fresh);
  if (FAILED(hr)) raise(err::kTypeMismatch);
  // The caller's slot takes the coerced value; what it held before is
  // released (strings, objects).
  switch (target) {
    case VT_I1:
      *arg.pcVal = coerced.cVal;
      break;
    case VT_UI1:
      *arg.pbVal = coerced.bVal;
      break;
    case VT_I2:
      *arg.piVal = coerced.iVal;
      break;
    case VT_UI2:
      *arg.puiVal = coerced.uiVal;
      break;
    case VT_I4:
      *arg.plVal = coerced.lVal;
      break;
    case VT_UI4:
      *arg.pulVal = coerced.ulVal;
      break;
    case VT_INT:
      *arg.pintVal = coerced.intVal;
      break;
    case VT_UINT:
      *arg.puintVal = coerced.uintVal;
      break;
    case VT_I8:
      *arg.pllVal = coerced.llVal;
      break;
    case VT_UI8:
      *arg.pullVal = coerced.ullVal;
      break;
    case VT_R4:
      *arg.pfltVal = coerced.fltVal;
      break;
    case VT_R8:
      *arg.pdblVal = coerced.dblVal;
      break;
    case VT_CY:
      *arg.pcyVal = coerced.cyVal;
      break;
    case VT_DATE:
      *arg.pdate = coerced.date;
      break;
    case VT_BOOL:
      *arg.pboolVal = coerced.boolVal;
      break;
    case VT_ERROR:
      *arg.pscode = coerced.scode;
      break;
    case VT_DECIMAL: {
      DECIMAL d = V_DECIMAL(&coerced);
      d.wReserved = 0;
      *arg.pdecVal = d;
      break;
    }
    case VT_BSTR:
      ::SysFreeString(*arg.pbstrVal);
      *arg.pbstrVal = coerced.bstrVal;
      V_VT(&coerced) = VT_EMPTY;  // now the caller's
      break;
    case VT_DISPATCH:
      if (*arg.ppdispVal) (*arg.ppdispVal)->Release();
      *arg.ppdispVal = coerced.pdispVal;
      V_VT(&coerced) = VT_EMPTY;
      break;
    case VT_UNKNOWN:
      if (*arg.ppunkVal) (*arg.ppunkVal)->Release();
      *arg.ppunkVal = coerced.punkVal;
      V_VT(&coerced) = VT_EMPTY;
      break;
    default:
      ::VariantClear(&coerced);
      raise(err::kTypeMismatch);
  }
  ::VariantClear(&coerced);
}

// IEnumVARIANT over a list made when the enumeration starts (For Each).
class EnumVariant final : public IEnumVARIANT {
 public:
  explicit EnumVariant(std::shared_ptr<std::vector<Variant>> items) : items_(std::move(items)) {
    objectCreated();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEnumVARIANT)) {
      *out = static_cast<IEnumVARIANT*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG wanted, VARIANT* out, ULONG* fetched) override {
    if (!out || (wanted > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    try {
      for (; n < wanted && next_ < items_->size(); ++n, ++next_) toVariantOut((*items_)[next_], &out[n]);
    } catch (...) {
      for (ULONG i = 0; i < n; ++i) ::VariantClear(&out[i]);
      if (fetched) *fetched = 0;
      return E_OUTOFMEMORY;
    }
    if (fetched) *fetched = n;
    return n == wanted ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG n) override {
    const std::size_t left = items_->size() - next_;
    next_ += n < left ? n : left;
    return n <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    auto* copy = new (std::nothrow) EnumVariant(items_);
    if (!copy) return E_OUTOFMEMORY;
    copy->next_ = next_;
    *out = copy;
    return S_OK;
  }

 private:
  ~EnumVariant() { objectDestroyed(); }
  std::atomic<ULONG> refs_{1};
  std::shared_ptr<std::vector<Variant>> items_;
  std::size_t next_ = 0;
};

class DispatchObject;

// One IDispatch per library object while any script holds it, so that COM
// identity holds ("db.conn Is c" in a page). Entries are weak: the wrapper
// removes itself when its last reference goes.
std::mutex gWrappersMutex;
std::unordered_map<const Object*, DispatchObject*> gWrappers;

class DispatchObject final : public IDispatch, public IKvdnNative, public IProvideClassInfo {
 public:
  explicit DispatchObject(ObjectPtr object) : object_(std::move(object)), table_(object_->members()) {
    objectCreated();
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
      *out = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(iid, IID_IKvdnNative)) {
      *out = static_cast<IKvdnNative*>(this);
    } else if (IsEqualIID(iid, IID_IProvideClassInfo) && hasClassInfo()) {
      *out = static_cast<IProvideClassInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
      {
        std::lock_guard<std::mutex> lock(gWrappersMutex);
        auto it = gWrappers.find(object_.get());
        if (it != gWrappers.end() && it->second == this) gWrappers.erase(it);
      }
      delete this;
    }
    return left;
  }

  // A new reference unless the count already reached zero (the wrapper is
  // being destroyed). Called with gWrappersMutex held.
  bool tryAddRef() {
    ULONG current = refs_.load(std::memory_order_acquire);
    while (current != 0) {
      if (refs_.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel)) return true;
    }
    return false;
  }

  ObjectPtr STDMETHODCALLTYPE native() override { return object_; }

  // IDispatch: the type library's dispinterface of the class.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    ITypeInfo* info = typeInfoOf(table_.className(), false);
    *count = info ? 1 : 0;
    if (info) info->Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *info = typeInfoOf(table_.className(), false);
    return *info ? S_OK : DISP_E_BADINDEX;
  }

  // IProvideClassInfo: the coclass, for the classes a page can create.
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = typeInfoOf(table_.className(), true);
    return *info ? S_OK : E_NOTIMPL;
  }

  // Only the table's names. Named arguments are not supported: a second
  // name is unknown.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    if (count == 0) return S_OK;
    HRESULT hr = S_OK;
    try {
      const std::string name = names[0] ? narrow(names[0], std::wcslen(names[0])) : std::string();
      const Member* m = name.empty() ? nullptr : table_.find(name);
      ids[0] = m ? m->id : DISPID_UNKNOWN;
      if (!m) hr = DISP_E_UNKNOWNNAME;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return count > 1 ? DISP_E_UNKNOWNNAME : hr;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* info, UINT* argErr) override {
    const Member* member = table_.find(static_cast<std::int32_t>(id));
    if (!member) return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none{};
    if (!params) params = &none;
    // A caller's parameters are checked before any is read: more named
    // arguments than arguments, or arguments without their array, would
    // have the reads run off the caller's memory.
    if (params->cNamedArgs > params->cArgs) return DISP_E_BADPARAMCOUNT;
    if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
    if (params->cNamedArgs > 0 && !params->rgdispidNamedArgs) return E_INVALIDARG;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (params->cNamedArgs > 0 &&
        !(put && params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT)) {
      return DISP_E_NONAMEDARGS;
    }
    // The kind asked must be one the member has; a put with index arguments
    // (rs("name") = v) sets the default member of what the get gives.
    const bool getOrCall = (member->kinds & (Member::kGet | Member::kMethod)) != 0;
    if (put ? !((member->kinds & Member::kPut) || (params->cArgs > 1 && getOrCall)) : !getOrCall) {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (result) ::VariantInit(result);
    if (id == DISPID_NEWENUM) return enumerator(params, result, info);
    const std::string name(member->name);
    UINT current = 0;
    try {
      // Positional arguments, left to right; rgvarg holds them right to left.
      // The value of a put is rgvarg[0], named DISPID_PROPERTYPUT or not
      // (some callers leave the name out): never one of the indexes.
      const UINT positional =
          put && params->cArgs > 0 ? params->cArgs - 1 : params->cArgs - params->cNamedArgs;
      std::vector<Variant> args;
      args.reserve(positional);
      for (UINT i = 0; i < positional; ++i) {
        current = params->cArgs - 1 - i;
        args.push_back(fromVariant(params->rgvarg[current]));
      }
      current = 0;
      adaptArguments(name, args);
      // What the caller passed, as the callee sees it: a slot that differs
      // afterwards was written by the callee and goes back to the caller.
      const std::vector<Variant> before = member->byRef ? args : std::vector<Variant>();
      Variant value;
      if (put) {
        if (params->cArgs == 0) return DISP_E_PARAMNOTFOUND;
        Variant assigned = fromVariant(params->rgvarg[0]);
        // A connection of the machine's ADO assigned to `conn` (Set db.conn = c).
        if (table_.className() == "dbClass" && iequals(name, "conn") && assigned.isObject()) {
          assigned = Variant(adaptForeign(assigned.object(), "adodb.connection"));
        }
        if (args.empty()) {
          object_->setProperty(name, assigned);
        } else {
          Variant target = callGet(name, args, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
          target.toObject()->setProperty("", assigned);
        }
      } else {
        value = callGet(name, args, flags);
      }
      // By-reference arguments receive what the callee left in their slot.
      for (UINT i = 0; i < positional && i < before.size(); ++i) {
        current = params->cArgs - 1 - i;
        VARIANT& raw = params->rgvarg[current];
        if ((V_VT(&raw) & VT_BYREF) && !sameValue(before[i], args[i])) writeBack(raw, args[i]);
      }
      current = 0;
      if (result) toVariantOut(value, result);
      return S_OK;
    } catch (const ComError& e) {
      if (argErr) *argErr = current;
      return fail(info, e.number(), e.description());
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
      try {
        return fail(info, kUnexpected, std::string("Catastrophic failure: ") + e.what());
      } catch (...) {
        return E_OUTOFMEMORY;
      }
    } catch (...) {
      return fail(info, kUnexpected, "Catastrophic failure");
    }
  }

 private:
  ~DispatchObject() { objectDestroyed(); }

  // IProvideClassInfo is offered only where the library has a coclass.
  bool hasClassInfo() const {
    ITypeInfo* info = typeInfoOf(table_.className(), true);
    if (info) info->Release();
    return info != nullptr;
  }

  // _NewEnum: an IEnumVARIANT over the object's elements as they are now.
  HRESULT enumerator(const DISPPARAMS* params, VARIANT* result, EXCEPINFO* info) noexcept {
    if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    if (!result) return E_POINTER;
    try {
      auto items = std::make_shared<std::vector<Variant>>(object_->enumerate());
      V_UNKNOWN(result) = new EnumVariant(std::move(items));
      V_VT(result) = VT_UNKNOWN;
      return S_OK;
    } catch (const ComError& e) {
      return fail(info, e.number(), e.description());
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

  // The page context handed to OnStartPage is the page's own IDispatch:
  // it becomes the component's ScriptingContext here. A recordset of the
  // machine's ADO handed to pageNav becomes the component's Recordset.
  void adaptArguments(const std::string& name, std::vector<Variant>& args) {
    if (table_.className() != "dbClass") return;
    if (iequals(name, "OnStartPage") && args.size() == 1 && args[0].isObject()) {
      if (auto foreign = std::dynamic_pointer_cast<ForeignObject>(args[0].object())) {
        args[0] = Variant(ObjectPtr(wrapScriptingContext(DispatchRef(foreign->dispatch()))));
      }
    } else if (iequals(name, "pageNav") && !args.empty() && args[0].isObject()) {
      args[0] = Variant(adaptForeign(args[0].object(), "adodb.recordset"));
    }
  }

  Variant callGet(const std::string& name, std::vector<Variant>& args, WORD flags) {
    const bool method = (flags & DISPATCH_METHOD) != 0;
    const bool get = (flags & DISPATCH_PROPERTYGET) != 0 || !method;
    if (args.empty()) {
      if (get) {
        try {
          return object_->getProperty(name);
        } catch (const ComError& e) {
          if (e.number() != err::kNotSupported || !method) throw;
        }
      }
      return object_->invoke(name, args);
    }
    try {
      return object_->invoke(name, args);
    } catch (const ComError& e) {
      if (e.number() != err::kNotSupported || !get) throw;
    }
    // A property whose default member takes the arguments: rs.Fields(0).
    return object_->getProperty(name).toObject()->invoke("", args);
  }

  // Fills the caller's EXCEPINFO. Never throws: nothing may leave Invoke
  // but an HRESULT. A failure numbered 0 (no error at all to the caller)
  // is reported as the unexpected failure it is.
  static HRESULT fail(EXCEPINFO* info, std::int32_t number, const std::string& description) noexcept {
    if (number == 0) number = kUnexpected;
    const HRESULT scode = scodeOf(number);
    if (!info) return scode;
    *info = EXCEPINFO{};
    info->scode = scode;
    try {
      const std::wstring text = widen(description);
      info->bstrDescription = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    } catch (...) {
      info->bstrDescription = nullptr;  // out of memory: the number alone
    }
    info->bstrSource = ::SysAllocString(L"kvdnAspDll");
    return DISP_E_EXCEPTION;
  }

  std::atomic<ULONG> refs_{1};
  ObjectPtr object_;
  const MemberTable& table_;  // the object's, constant for the program's life
};

}  // namespace

IDispatch* dispatchFor(const ObjectPtr& object) {
  if (!object) return nullptr;
  if (auto foreign = std::dynamic_pointer_cast<ForeignObject>(object)) {
    IDispatch* d = foreign->dispatch();
    if (d) d->AddRef();
    return d;
  }
  if (IDispatch* d = foreignDispatch(object)) {
    d->AddRef();
    return d;
  }
  std::lock_guard<std::mutex> lock(gWrappersMutex);
  auto it = gWrappers.find(object.get());
  if (it != gWrappers.end() && it->second->tryAddRef()) return it->second;
  auto* wrapper = new DispatchObject(object);  // the caller's one reference
  gWrappers[object.get()] = wrapper;
  return wrapper;
}

}  // namespace kvdn::platform::windows
