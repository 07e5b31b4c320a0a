// The automation bridge of the Windows DLL: our values and objects as
// VARIANTs and IDispatch, and IDispatch objects of the page as our objects.
//
// Ownership: functions taking a VARIANT* never take over what it holds;
// toVariantOut writes a VARIANT the caller must VariantClear. An ObjectPtr
// made from a foreign IDispatch holds one reference to it until released.
#pragma once

// <windows.h> must come first.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/object.h"
#include "kvdn/page.h"

namespace kvdn::platform::windows {

// Answered only by our own IDispatch objects: hands back the library object
// behind them, so that our objects passed through a page (Set db.conn = c)
// arrive as themselves. {6B3F2A51-9C7D-4E52-A1B8-3D0E5F7C2A91}
inline constexpr GUID IID_IKvdnNative{
    0x6B3F2A51, 0x9C7D, 0x4E52, {0xA1, 0xB8, 0x3D, 0x0E, 0x5F, 0x7C, 0x2A, 0x91}};

// A COM interface: no virtual destructor (see IUnknown), so the warning for
// one is off for its declaration.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
struct IKvdnNative : IUnknown {
  // The object behind the interface; never null.
  virtual ObjectPtr STDMETHODCALLTYPE native() = 0;

 protected:
  ~IKvdnNative() = default;
};
#pragma GCC diagnostic pop

// The member ids one object answered, by name as asked: COM keeps an
// object's ids for its life, so a name is asked once per object (see
// callDispatch). At most kLimit names are kept; further ones are asked each
// time. Used by one thread at a time (the apartment model).
class DispatchIdCache {
 public:
  static constexpr std::size_t kLimit = 64;
  const DISPID* find(std::string_view name) const {
    for (const auto& [n, id] : ids_) {
      if (n == name) return &id;
    }
    return nullptr;
  }
  void remember(std::string_view name, DISPID id) {
    if (ids_.size() < kLimit) ids_.emplace_back(std::string(name), id);
  }

 private:
  std::vector<std::pair<std::string, DISPID>> ids_;
};

// A counted IDispatch reference (AddRef on copy, Release on destruction).
// Copies share one DispatchIdCache (they reach the same object).
class DispatchRef {
 public:
  DispatchRef() = default;
  // Takes a new reference to `p` (AddRef).
  explicit DispatchRef(IDispatch* p) : p_(p), ids_(std::make_shared<DispatchIdCache>()) {
    if (p_) p_->AddRef();
  }
  DispatchRef(const DispatchRef& o) : p_(o.p_), ids_(o.ids_) {
    if (p_) p_->AddRef();
  }
  DispatchRef& operator=(DispatchRef o) {
    std::swap(p_, o.p_);
    std::swap(ids_, o.ids_);
    return *this;
  }
  ~DispatchRef() {
    if (p_) p_->Release();
  }
  IDispatch* get() const { return p_; }
  DispatchIdCache* ids() const { return ids_.get(); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  IDispatch* p_ = nullptr;
  std::shared_ptr<DispatchIdCache> ids_;
};

// VARIANT -> Variant. By-reference VARIANTs are read through. Our own
// objects come back as themselves, any other IDispatch as a late-bound
// ForeignObject. Arrays, records and other kinds raise 13.
Variant fromVariant(const VARIANT& v);
// Variant -> VARIANT, written into `out` (which must be cleared or empty):
// strings as BSTR, booleans as VARIANT_BOOL, dates as DATE, 64-bit integers
// as VT_I4 when they fit and VT_R8 otherwise (script engines know no VT_I8),
// objects as IDispatch. Throws bad_alloc only.
void toVariantOut(const Variant& value, VARIANT* out);

// Our object as an IDispatch with one reference for the caller; a
// ForeignObject hands back its own IDispatch.
IDispatch* dispatchFor(const ObjectPtr& object);

// An IDispatch of the page or of another library, called late-bound by
// name. Failures of the callee raise ComError with the number and
// description its EXCEPINFO carries (VB numbers unwrapped from 0x800A....).
class ForeignObject : public Object {
 public:
  explicit ForeignObject(DispatchRef dispatch) : dispatch_(std::move(dispatch)) {}
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
  Variant getProperty(std::string_view name) override;
  void setProperty(std::string_view name, const Variant& value) override;
  IDispatch* dispatch() const { return dispatch_.get(); }

 private:
  DispatchRef dispatch_;
};

// The late-bound calls themselves. `name` "" is the default member
// (DISPID_VALUE). `flags` are DISPATCH_METHOD / DISPATCH_PROPERTYGET /
// DISPATCH_PROPERTYPUT / DISPATCH_PROPERTYPUTREF. For the put kinds the last
// argument is the value. Arguments are passed by value. The DispatchRef form
// asks the object for a name's id once and keeps it in the reference's
// cache, unless the speed paths are off (KVDN_SPEED_PATHS=off when the DLL
// is first used, or setDispatchIdCache(false)): then every call asks.
Variant callDispatch(IDispatch* target, std::string_view name, WORD flags, const std::vector<Variant>& args);
Variant callDispatch(const DispatchRef& target, std::string_view name, WORD flags,
                     const std::vector<Variant>& args);
void setDispatchIdCache(bool on) noexcept;
bool dispatchIdCache() noexcept;

// The page context given to OnStartPage, as the component's ScriptingContext:
// each page object read as a property ("Request", ...) and called late-bound.
std::shared_ptr<ScriptingContext> wrapScriptingContext(DispatchRef context);

// The HRESULT a script engine shows as this error number: VB numbers
// (1..65535) as 0x800A0000 | n, others as they are.
HRESULT scodeOf(std::int32_t number) noexcept;
// The reverse, for errors coming back from a foreign object.
std::int32_t numberOf(HRESULT scode) noexcept;

// The library's own classes (what registerStandardClasses registers), made
// once on first use and read-only afterwards.
const ClassRegistry& libraryClasses();

// Counts of live COM objects and server locks, for DllCanUnloadNow.
void objectCreated() noexcept;
void objectDestroyed() noexcept;
long liveObjects() noexcept;

}  // namespace kvdn::platform::windows
