// dbClass: the object a page creates per request and calls by name.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kvdn/export.h"
#include "kvdn/data.h"
#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/page.h"

namespace kvdn {

// One object per page request, used by one thread. Methods read the request
// and write the response through the page objects stored by OnStartPage, and
// reach the database through `conn`. A method that needs a page object or
// `conn` while it is nothing raises err::kObjectNotSet.
//
// Parameters that a page passes by reference and the method does not change
// are `const Variant&`; the one that is written back (strDropDownList's
// `str`) is `Variant&`.
class KVDN_API DbClass final : public Object {
 public:
  DbClass() = default;

  // ---- Properties: plain storage, Empty until set. ----
  std::shared_ptr<Connection> conn;  // nothing until connOpen or assignment
  Variant dbType;
  Variant database;
  Variant sqlservername;
  Variant sqluid;
  Variant sqlpwd;

  // ---- Methods, in interface order. ----
  void OnStartPage(const std::shared_ptr<ScriptingContext>& context);
  void OnEndPage();
  std::string md5(const Variant& str);
  Variant getLenTitle(Variant str, Variant strlen);
  void alert(const Variant& msg, const Variant& url);
  Variant createDBfile();
  Variant backupDBfile();
  Variant recoveryDBfile(const Variant& bakName);
  Variant compactDBfile();
  Variant xlsToDb(const Variant& fieldStr);
  Variant folderFiles(const Variant& folderName, const Variant& kzm);
  void connOpen();
  Variant softFabuInfo(const Variant& res);
  void connClose();
  Variant dbShsl(const Variant& sql);
  Variant fromHostRight();
  Variant findTableName(const Variant& sql);
  Variant dbWrite(const Variant& tableName);
  Variant dbWriteGet(const Variant& tableName);
  Variant dbSelect(const Variant& sql, const Variant& psize, const Variant& xuhao, const Variant& addName,
                   const Variant& delyesno, const Variant& editName, const Variant& pageNavyesno,
                   const Variant& cssName);
  Variant pageNav(const Variant& rs, const Variant& page);
  Variant xiangxi(const Variant& sql, const Variant& width1, const Variant& width2, const Variant& title);
  Variant rsDropDownList(const Variant& sql, const Variant& comp, const Variant& xuhao);
  Variant strDropDownList(Variant& str, const Variant& comp);
  Variant menuNav(const Variant& loginUserDegreeID);

  // ---- Late binding: methods and properties by name (case-insensitive). ----
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
  Variant getProperty(std::string_view name) override;
  void setProperty(std::string_view name, const Variant& value) override;

  // ---- Inspection of private state (tests and hosts; read only). ----
  const Variant& connStringValue() const { return connString_; }
  const Variant& titleAttrValue() const { return titleAttr_; }
  const Variant& sqlTextValue() const { return sqlText_; }
  const std::shared_ptr<Recordset>& rsValue() const { return rs_; }
  const Variant& md5EngineValue() const { return md5Engine_; }
  bool boundToPage() const { return scriptContext_ != nullptr; }
  const std::shared_ptr<Application>& applicationValue() const { return application_; }
  const std::shared_ptr<Request>& requestValue() const { return request_; }
  const std::shared_ptr<Response>& responseValue() const { return response_; }
  const std::shared_ptr<Server>& serverValue() const { return server_; }
  const std::shared_ptr<Session>& sessionValue() const { return session_; }

  // The clock used for "servertime", document numbers and backup names.
  // Defaults to the server's local time; tests may fix it.
  void setClock(std::function<Date()> clock) { clock_ = std::move(clock); }
  Date now() const { return clock_ ? clock_() : Date::now(); }

 private:
  // Page objects and conn, raising err::kObjectNotSet when nothing.
  Request& request() const;
  Response& response() const;
  Server& server() const;
  Connection& connection() const;
  // Server.CreateObject(progId) cast to T; a wrong kind raises 13.
  template <class T>
  std::shared_ptr<T> create(std::string_view progId) const;

  // Private members, in declaration order.
  std::shared_ptr<ScriptingContext> scriptContext_;
  std::shared_ptr<Application> application_;
  std::shared_ptr<Response> response_;
  std::shared_ptr<Request> request_;
  std::shared_ptr<Session> session_;
  std::shared_ptr<Server> server_;
  std::shared_ptr<Recordset> rs_;
  Variant md5Engine_;
  Variant sqlText_;
  Variant connString_;
  Variant titleAttr_;
  std::function<Date()> clock_;
};

template <class T>
std::shared_ptr<T> DbClass::create(std::string_view progId) const {
  ObjectPtr object = server().createObject(progId);
  auto typed = std::dynamic_pointer_cast<T>(object);
  if (!typed) raise(13);
  return typed;
}

// md5Class: the digest alone.
class Md5Class final : public Object {
 public:
  // 32 lower-case hex digits of the component's MD5 (code page 936 packing
  // for double-byte characters; the standard MD5 for ASCII). Null raises 94.
  std::string md5(const Variant& message);
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
};

}  // namespace kvdn
