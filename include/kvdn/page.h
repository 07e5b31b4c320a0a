// The page objects a component reaches the request, response and server by.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/export.h"
#include "kvdn/object.h"

namespace kvdn {

// Request.QueryString / Request.Form: keys match case-insensitively, an
// absent key gives "", several values of one key come joined by ", ".
class KVDN_API RequestCollection {
 public:
  virtual ~RequestCollection() = default;
  virtual std::string item(std::string_view key) const = 0;
  // Each key once, in order of first appearance, spelt as first seen.
  virtual std::vector<std::string> keys() const = 0;
};

class KVDN_API Request : public Object {
 public:
  virtual const RequestCollection& queryString() const = 0;
  virtual const RequestCollection& form() const = 0;
  // "Url", "QUERY_STRING", "HTTP_REFERER", "HTTP_HOST",
  // "HTTP_X_FORWARDED_FOR", "REMOTE_ADDR", ...; "" when absent.
  virtual std::string serverVariable(std::string_view name) const = 0;
};

class KVDN_API Response : public Object {
 public:
  // Appends text; after end() it is discarded.
  virtual void write(std::string_view text) = 0;
  // Ends the response: nothing written afterwards reaches the client and the
  // page does not go on. Not an error: it throws nothing.
  virtual void end() = 0;
  virtual bool ended() const = 0;
};

class KVDN_API Server : public Object {
 public:
  // A path starting with "/" is relative to the site root, any other to the
  // folder of the request's "Url"; "\" separates like "/"; ".." resolves; a
  // path leaving the root raises ComError 5-class (err::kInvalidCall).
  virtual std::string mapPath(std::string_view path) const = 0;
  // A new object by ProgID (case-insensitive). Unknown ProgID raises
  // err::kInvalidClassString "Invalid class string".
  virtual ObjectPtr createObject(std::string_view progId) = 0;
};

class Application : public Object {};

class KVDN_API Session : public Object {
 public:
  virtual Variant value(std::string_view key) const = 0;
  virtual void setValue(std::string_view key, const Variant& value) = 0;
  virtual void abandon() = 0;
};

class KVDN_API ScriptingContext : public Object {
 public:
  virtual std::shared_ptr<Application> application() = 0;
  virtual std::shared_ptr<Request> request() = 0;
  virtual std::shared_ptr<Response> response() = 0;
  virtual std::shared_ptr<Server> server() = 0;
  virtual std::shared_ptr<Session> session() = 0;
};

// The one registry of creatable classes, consulted by Server.CreateObject.
// ProgIDs are matched case-insensitively. Implementations are registered
// explicitly by the host at start (see registerStandardClasses).
class KVDN_API ClassRegistry {
 public:
  using Factory = std::function<ObjectPtr()>;
  void add(std::string_view progId, Factory factory);
  bool contains(std::string_view progId) const;
  // Raises err::kInvalidClassString for an unknown ProgID; a factory's own
  // ComError passes through.
  ObjectPtr create(std::string_view progId) const;

 private:
  std::vector<std::pair<std::string, Factory>> entries_;
};

// Registers every class of the library: "adodb.connection",
// "adodb.recordset", "scripting.filesystemobject", "adox.catalog",
// "jro.jetengine", "kvdnaspdll.dbclass", "kvdnaspdll.md5class".
KVDN_API void registerStandardClasses(ClassRegistry& registry);

}  // namespace kvdn
