// The page's own objects (ScriptingContext, Request, Response, Server,
// Session, Application), reached through their IDispatch and offered to the
// component as its page interfaces. Every operation is a late-bound call:
//   - a collection (QueryString, Form, ServerVariables) is read as a
//     property without arguments, then called through its default member
//     with the key; a value that is itself an object (the string list of a
//     real host) is read through its default member again;
//   - keys are enumerated with Count and Key(i), i from 1;
//   - Response.Write(text), Response.End(), Server.MapPath(path) and
//     Server.CreateObject(progid) are methods.
#include <memory>
#include <string>
#include <vector>

#include "automation.h"
#include "foreign_data.h"
#include "kvdn/error.h"

namespace kvdn::platform::windows {

namespace {

// Property reads are plain gets (a script engine would call a function
// property given DISPATCH_METHOD); members with arguments may be either.
constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kCall = DISPATCH_PROPERTYGET | DISPATCH_METHOD;

// A value the host handed back as text: Empty and Null give "", an object
// its default member.
std::string textOf(const Variant& v) {
  if (v.isObject()) {
    if (!v.object()) return std::string();
    return textOf(v.object()->getProperty(""));
  }
  return v.joinText();
}

IDispatch* dispatchOf(const Variant& v) {
  auto foreign = v.isObject() ? std::dynamic_pointer_cast<ForeignObject>(v.object()) : nullptr;
  if (!foreign) raise(err::kObjectRequired);
  return foreign->dispatch();
}

class DispatchCollection final : public RequestCollection {
 public:
  DispatchCollection(DispatchRef owner, std::string name)
      : owner_(std::move(owner)), name_(std::move(name)) {}

  std::string item(std::string_view key) const override {
    Variant collection = callDispatch(owner_, name_, kGet, {});
    return textOf(callDispatch(dispatchOf(collection), "", kCall, {Variant(key)}));
  }

  std::vector<std::string> keys() const override {
    Variant collection = callDispatch(owner_, name_, kGet, {});
    IDispatch* c = dispatchOf(collection);
    const std::int32_t count = callDispatch(c, "Count", kGet, {}).toInt32();
    std::vector<std::string> out;
    for (std::int32_t i = 1; i <= count; ++i)
      out.push_back(textOf(callDispatch(c, "Key", kCall, {Variant(i)})));
    return out;
  }

 private:
  DispatchRef owner_;
  std::string name_;
};

class DispatchRequest final : public Request {
 public:
  explicit DispatchRequest(DispatchRef d)
      : d_(d), queryString_(d, "QueryString"), form_(d, "Form"), serverVariables_(d, "ServerVariables") {}
  const RequestCollection& queryString() const override { return queryString_; }
  const RequestCollection& form() const override { return form_; }
  std::string serverVariable(std::string_view name) const override { return serverVariables_.item(name); }
  Variant invoke(std::string_view name, std::vector<Variant>& args) override {
    return callDispatch(d_, name, kCall, args);
  }
  Variant getProperty(std::string_view name) override { return callDispatch(d_, name, kGet, {}); }

 private:
  DispatchRef d_;
  DispatchCollection queryString_, form_, serverVariables_;
};

class DispatchResponse final : public Response {
 public:
  explicit DispatchResponse(DispatchRef d) : d_(std::move(d)) {}
  void write(std::string_view text) override {
    if (ended_) return;
    callDispatch(d_, "Write", DISPATCH_METHOD, {Variant(text)});
  }
  // The host ends its response; from here on this object writes nothing.
  void end() override {
    if (ended_) return;
    ended_ = true;
    callDispatch(d_, "End", DISPATCH_METHOD, {});
  }
  bool ended() const override { return ended_; }
  Variant invoke(std::string_view name, std::vector<Variant>& args) override {
    return callDispatch(d_, name, kCall, args);
  }

 private:
  DispatchRef d_;
  bool ended_ = false;
};

class DispatchServer final : public Server {
 public:
  explicit DispatchServer(DispatchRef d) : d_(std::move(d)) {}
  std::string mapPath(std::string_view path) const override {
    return textOf(callDispatch(d_, "MapPath", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {Variant(path)}));
  }
  // Our own classes handed out by the host arrive as themselves. The
  // machine's ADO objects are driven late-bound through adapters. For the
  // file classes the component needs what only this library offers (online
  // backup of a database in use): the host's own Scripting.FileSystemObject,
  // ADOX.Catalog and JRO.JetEngine are replaced by this library's.
  ObjectPtr createObject(std::string_view progId) override {
    Variant v = callDispatch(d_, "CreateObject", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {Variant(progId)});
    ObjectPtr object = v.toObject();
    if (!std::dynamic_pointer_cast<ForeignObject>(object)) return object;
    if (iequals(progId, "scripting.filesystemobject") || iequals(progId, "adox.catalog") ||
        iequals(progId, "jro.jetengine")) {
      return libraryClasses().create(progId);
    }
    return adaptForeign(object, progId);
  }
  Variant invoke(std::string_view name, std::vector<Variant>& args) override {
    return callDispatch(d_, name, kCall, args);
  }

 private:
  DispatchRef d_;
};

class DispatchSession final : public Session {
 public:
  explicit DispatchSession(DispatchRef d) : d_(std::move(d)) {}
  Variant value(std::string_view key) const override { return callDispatch(d_, "", kCall, {Variant(key)}); }
  void setValue(std::string_view key, const Variant& value) override {
    callDispatch(d_, "", value.isObject() ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT,
                 {Variant(key), value});
  }
  void abandon() override { callDispatch(d_, "Abandon", DISPATCH_METHOD, {}); }

 private:
  DispatchRef d_;
};

class DispatchApplication final : public Application {
 public:
  explicit DispatchApplication(DispatchRef d) : d_(std::move(d)) {}

 private:
  DispatchRef d_;
};

class DispatchScriptingContext final : public ScriptingContext {
 public:
  explicit DispatchScriptingContext(DispatchRef d) : d_(std::move(d)) {}
  std::shared_ptr<Application> application() override {
    return std::make_shared<DispatchApplication>(member("Application"));
  }
  std::shared_ptr<Request> request() override { return std::make_shared<DispatchRequest>(member("Request")); }
  std::shared_ptr<Response> response() override {
    return std::make_shared<DispatchResponse>(member("Response"));
  }
  std::shared_ptr<Server> server() override { return std::make_shared<DispatchServer>(member("Server")); }
  std::shared_ptr<Session> session() override { return std::make_shared<DispatchSession>(member("Session")); }

 private:
  // A page object as the context's property; nothing there raises 424.
  DispatchRef member(const char* name) {
    Variant v = callDispatch(d_, name, kGet, {});
    return DispatchRef(dispatchOf(v));
  }
  DispatchRef d_;
};

}  // namespace

std::shared_ptr<ScriptingContext> wrapScriptingContext(DispatchRef context) {
  return std::make_shared<DispatchScriptingContext>(std::move(context));
}

}  // namespace kvdn::platform::windows
