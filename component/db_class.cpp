// dbClass: page binding, state accessors and the late-binding method table.
#include "kvdn/db_class.h"

#include <array>

namespace kvdn {

void DbClass::OnStartPage(const std::shared_ptr<ScriptingContext>& context) {
  if (!context) raise(err::kObjectRequired);
  scriptContext_ = context;
  application_ = context->application();
  request_ = context->request();
  response_ = context->response();
  server_ = context->server();
  session_ = context->session();
}

void DbClass::OnEndPage() {
  application_.reset();
  request_.reset();
  response_.reset();
  server_.reset();
  session_.reset();
  scriptContext_.reset();
  // Tolerated: a page that never opened the connection, or closed it itself,
  // leaves nothing to close; that is not a failure of the page.
  if (conn && conn->isOpen()) connClose();
}

Request& DbClass::request() const {
  if (!request_) raise(err::kObjectNotSet);
  return *request_;
}

Response& DbClass::response() const {
  if (!response_) raise(err::kObjectNotSet);
  return *response_;
}

Server& DbClass::server() const {
  if (!server_) raise(err::kObjectNotSet);
  return *server_;
}

Connection& DbClass::connection() const {
  if (!conn) raise(err::kObjectNotSet);
  return *conn;
}

// The version notice (a script asking an outside service for news of a
// release) is not carried by this build: the text stays empty.
Variant DbClass::softFabuInfo(const Variant&) {
  return Variant(std::string());
}

// ---------------------------------------------------------------------------
// Late binding.

namespace {

using Args = std::vector<Variant>;
using Method = Variant (*)(DbClass&, Args&);

struct MethodEntry {
  const char* name;
  std::size_t argc;
  Method call;
};

std::shared_ptr<ScriptingContext> contextArg(const Variant& v) {
  auto ctx = std::dynamic_pointer_cast<ScriptingContext>(v.toObject());
  if (!ctx) raise(err::kTypeMismatch);
  return ctx;
}

// Interface order.
constexpr std::array<MethodEntry, 25> kMethods{{
    {"OnStartPage", 1,
     [](DbClass& o, Args& a) {
       o.OnStartPage(contextArg(a[0]));
       return Variant();
     }},
    {"OnEndPage", 0,
     [](DbClass& o, Args&) {
       o.OnEndPage();
       return Variant();
     }},
    {"md5", 1, [](DbClass& o, Args& a) { return Variant(o.md5(a[0])); }},
    {"getLenTitle", 2, [](DbClass& o, Args& a) { return o.getLenTitle(a[0], a[1]); }},
    {"alert", 2,
     [](DbClass& o, Args& a) {
       o.alert(a[0], a[1]);
       return Variant();
     }},
    {"createDBfile", 0, [](DbClass& o, Args&) { return o.createDBfile(); }},
    {"backupDBfile", 0, [](DbClass& o, Args&) { return o.backupDBfile(); }},
    {"recoveryDBfile", 1, [](DbClass& o, Args& a) { return o.recoveryDBfile(a[0]); }},
    {"compactDBfile", 0, [](DbClass& o, Args&) { return o.compactDBfile(); }},
    {"xlsToDb", 1, [](DbClass& o, Args& a) { return o.xlsToDb(a[0]); }},
    {"folderFiles", 2, [](DbClass& o, Args& a) { return o.folderFiles(a[0], a[1]); }},
    {"connOpen", 0,
     [](DbClass& o, Args&) {
       o.connOpen();
       return Variant();
     }},
    {"softFabuInfo", 1, [](DbClass& o, Args& a) { return o.softFabuInfo(a[0]); }},
    {"connClose", 0,
     [](DbClass& o, Args&) {
       o.connClose();
       return Variant();
     }},
    {"dbShsl", 1, [](DbClass& o, Args& a) { return o.dbShsl(a[0]); }},
    {"fromHostRight", 0, [](DbClass& o, Args&) { return o.fromHostRight(); }},
    {"findTableName", 1, [](DbClass& o, Args& a) { return o.findTableName(a[0]); }},
    {"dbWrite", 1, [](DbClass& o, Args& a) { return o.dbWrite(a[0]); }},
    {"dbWriteGet", 1, [](DbClass& o, Args& a) { return o.dbWriteGet(a[0]); }},
    {"dbSelect", 8,
     [](DbClass& o, Args& a) { return o.dbSelect(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]); }},
    {"pageNav", 2, [](DbClass& o, Args& a) { return o.pageNav(a[0], a[1]); }},
    {"xiangxi", 4, [](DbClass& o, Args& a) { return o.xiangxi(a[0], a[1], a[2], a[3]); }},
    {"rsDropDownList", 3, [](DbClass& o, Args& a) { return o.rsDropDownList(a[0], a[1], a[2]); }},
    {"strDropDownList", 2, [](DbClass& o, Args& a) { return o.strDropDownList(a[0], a[1]); }},
    {"menuNav", 1, [](DbClass& o, Args& a) { return o.menuNav(a[0]); }},
}};

}  // namespace

Variant DbClass::invoke(std::string_view name, std::vector<Variant>& args) {
  for (const auto& m : kMethods) {
    if (iequals(m.name, name)) {
      if (args.size() != m.argc) raise(err::kWrongArgCount);
      return m.call(*this, args);
    }
  }
  raise(err::kNotSupported);
}

Variant DbClass::getProperty(std::string_view name) {
  if (iequals(name, "conn")) return Variant(ObjectPtr(conn));
  if (iequals(name, "dbType")) return dbType;
  if (iequals(name, "database")) return database;
  if (iequals(name, "sqlservername")) return sqlservername;
  if (iequals(name, "sqluid")) return sqluid;
  if (iequals(name, "sqlpwd")) return sqlpwd;
  raise(err::kNotSupported);
}

void DbClass::setProperty(std::string_view name, const Variant& value) {
  if (iequals(name, "conn")) {
    if (!value.isObject()) raise(err::kObjectRequired);
    if (!value.object()) {
      conn.reset();
      return;
    }
    auto c = std::dynamic_pointer_cast<Connection>(value.object());
    if (!c) raise(err::kTypeMismatch);
    conn = std::move(c);
    return;
  }
  if (iequals(name, "dbType"))
    dbType = value;
  else if (iequals(name, "database"))
    database = value;
  else if (iequals(name, "sqlservername"))
    sqlservername = value;
  else if (iequals(name, "sqluid"))
    sqluid = value;
  else if (iequals(name, "sqlpwd"))
    sqlpwd = value;
  else
    raise(err::kNotSupported);
}

}  // namespace kvdn
