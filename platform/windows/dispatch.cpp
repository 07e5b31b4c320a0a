// IDispatch over the library's late-binding objects: what a script engine
// holds when it holds a dbClass, an md5Class, a connection or a recordset.
//
// Names: GetIDsOfNames accepts any name and gives it a number of its own,
// letter case ignored; whether the object knows the name shows at Invoke
// (438, as the object raises it). DISPID_VALUE is the default member (the
// empty name of Object).
//
// Invoke: a property put (let or set) goes to setProperty; with index
// arguments (rs("name") = v) the indexed member is read first and its
// default member set. A get or call with no arguments asks getProperty and
// falls back to invoke (a method called without parentheses); a call with
// arguments asks invoke and falls back to the property's default member
// (rs.Fields(0)). Arguments passed by reference (VT_BYREF) receive what the
// method left in their slot when it changed. Failures come back as
// DISP_E_EXCEPTION with the error's number and description in EXCEPINFO.
// <windows.h> must come first.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "kvdn/error.h"
#include "platform/windows/automation.h"
#include "platform/windows/foreign_data.h"
#include "platform/windows/wide.h"

namespace kvdn::platform::windows {

namespace {

constexpr DISPID kFirstName = 1000;
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

// Writes `value` back into a by-reference argument of the caller.
void writeBack(VARIANT& arg, const Variant& value) {
  const VARTYPE vt = V_VT(&arg);
  if (vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal) {
    VARIANT fresh;
    toVariantOut(value, &fresh);
    ::VariantClear(arg.pvarVal);
    *arg.pvarVal = fresh;
    return;
  }
  if (!(vt & VT_BYREF)) return;
  // A typed reference: coerce to its type; a value it cannot hold is left out.
  VARIANT fresh, coerced;
  toVariantOut(value, &fresh);
  ::VariantInit(&coerced);
  const VARTYPE target = vt & ~VT_BYREF;
  if (SUCCEEDED(::VariantChangeType(&coerced, &fresh, 0, target))) {
    switch (target) {
      case VT_BSTR:
        ::SysFreeString(*arg.pbstrVal);
        *arg.pbstrVal = coerced.bstrVal;
        coerced.bstrVal = nullptr;
        V_VT(&coerced) = VT_EMPTY;
        break;
      case VT_I2:
        *arg.piVal = coerced.iVal;
        break;
      case VT_I4:
        *arg.plVal = coerced.lVal;
        break;
      case VT_R8:
        *arg.pdblVal = coerced.dblVal;
        break;
      case VT_BOOL:
        *arg.pboolVal = coerced.boolVal;
        break;
      case VT_DATE:
        *arg.pdate = coerced.date;
        break;
      default:
        break;
    }
  }
  ::VariantClear(&coerced);
  ::VariantClear(&fresh);
}

class DispatchObject;

// One IDispatch per library object while any script holds it, so that COM
// identity holds ("db.conn Is c" in a page). Entries are weak: the wrapper
// removes itself when its last reference goes.
std::mutex gWrappersMutex;
std::unordered_map<const Object*, DispatchObject*> gWrappers;

class DispatchObject final : public IDispatch, public IKvdnNative {
 public:
  explicit DispatchObject(ObjectPtr object) : object_(std::move(object)) { objectCreated(); }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
      *out = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(iid, IID_IKvdnNative)) {
      *out = static_cast<IKvdnNative*>(this);
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

  // IDispatch: no type information.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    if (count == 0) return S_OK;
    try {
      const std::string name = narrow(names[0], names[0] ? std::wcslen(names[0]) : 0);
      ids[0] = idOf(name);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    // Named arguments are not supported.
    for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* info, UINT* argErr) override {
    std::string name;
    if (id != DISPID_VALUE) {
      if (id < kFirstName || static_cast<std::size_t>(id - kFirstName) >= names_.size()) {
        return DISP_E_MEMBERNOTFOUND;
      }
      name = names_[static_cast<std::size_t>(id - kFirstName)];
    }
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
    if (result) ::VariantInit(result);
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
      const std::vector<Variant> before = args;
      Variant value;
      if (put) {
        if (params->cArgs == 0) return DISP_E_PARAMNOTFOUND;
        Variant assigned = fromVariant(params->rgvarg[0]);
        // A connection of the machine's ADO assigned to `conn` (Set db.conn = c).
        if (iequals(name, "conn") && assigned.isObject()) {
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
      for (UINT i = 0; i < positional && i < args.size(); ++i) {
        VARIANT& raw = params->rgvarg[params->cArgs - 1 - i];
        if ((V_VT(&raw) & VT_BYREF) && !sameValue(before[i], args[i])) writeBack(raw, args[i]);
      }
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

  DISPID idOf(const std::string& name) {
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (iequals(names_[i], name)) return kFirstName + static_cast<DISPID>(i);
    }
    names_.push_back(name);
    return kFirstName + static_cast<DISPID>(names_.size() - 1);
  }

  // The page context handed to OnStartPage is the page's own IDispatch:
  // it becomes the component's ScriptingContext here. A recordset of the
  // machine's ADO handed to pageNav becomes the component's Recordset.
  void adaptArguments(const std::string& name, std::vector<Variant>& args) {
    if (iequals(name, "OnStartPage") && args.size() == 1 && args[0].isObject()) {
      if (auto foreign = std::dynamic_pointer_cast<ForeignObject>(args[0].object())) {
        args[0] = Variant(ObjectPtr(wrapScriptingContext(DispatchRef(foreign->dispatch()))));
      }
    }
    if (iequals(name, "pageNav") && !args.empty() && args[0].isObject()) {
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
      if (e.number() != err::kNotSupported || !get || name.empty()) throw;
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
  std::vector<std::string> names_;
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
