// dbClass: page binding, state accessors and the late-binding method table.
#include "kvdn/db_class.h"

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
using M = Member;

std::shared_ptr<ScriptingContext> contextArg(const Variant& v) {
  auto ctx = std::dynamic_pointer_cast<ScriptingContext>(v.toObject());
  if (!ctx) raise(err::kTypeMismatch);
  return ctx;
}

// The six properties, then the methods in interface order. The ids are the
// class's DISPIDs: never renumber one.
enum Id : std::int32_t {
  kConn = 1,
  kDbType,
  kDatabase,
  kSqlServerName,
  kSqlUid,
  kSqlPwd,
  kOnStartPage = 10,
  kOnEndPage,
  kMd5,
  kGetLenTitle,
  kAlert,
  kCreateDBfile,
  kBackupDBfile,
  kRecoveryDBfile,
  kCompactDBfile,
  kXlsToDb,
  kFolderFiles,
  kConnOpen,
  kSoftFabuInfo,
  kConnClose,
  kDbShsl,
  kFromHostRight,
  kFindTableName,
  kDbWrite,
  kDbWriteGet,
  kDbSelect,
  kPageNav,
  kXiangxi,
  kRsDropDownList,
  kStrDropDownList,
  kMenuNav,
};

constexpr std::uint8_t kProperty = M::kGet | M::kLet;

constexpr Member kMembers[] = {
    {"conn", kConn, M::kGet | M::kSet, 0, 0},
    {"dbType", kDbType, kProperty, 0, 0},
    {"database", kDatabase, kProperty, 0, 0},
    {"sqlservername", kSqlServerName, kProperty, 0, 0},
    {"sqluid", kSqlUid, kProperty, 0, 0},
    {"sqlpwd", kSqlPwd, kProperty, 0, 0},
    {"OnStartPage", kOnStartPage, M::kMethod, 1, 1},
    {"OnEndPage", kOnEndPage, M::kMethod, 0, 0},
    {"md5", kMd5, M::kMethod, 1, 1},
    {"getLenTitle", kGetLenTitle, M::kMethod, 2, 2},
    {"alert", kAlert, M::kMethod, 2, 2},
    {"createDBfile", kCreateDBfile, M::kMethod, 0, 0},
    {"backupDBfile", kBackupDBfile, M::kMethod, 0, 0},
    {"recoveryDBfile", kRecoveryDBfile, M::kMethod, 1, 1},
    {"compactDBfile", kCompactDBfile, M::kMethod, 0, 0},
    {"xlsToDb", kXlsToDb, M::kMethod, 1, 1},
    {"folderFiles", kFolderFiles, M::kMethod, 2, 2},
    {"connOpen", kConnOpen, M::kMethod, 0, 0},
    {"softFabuInfo", kSoftFabuInfo, M::kMethod, 1, 1},
    {"connClose", kConnClose, M::kMethod, 0, 0},
    {"dbShsl", kDbShsl, M::kMethod, 1, 1},
    {"fromHostRight", kFromHostRight, M::kMethod, 0, 0},
    {"findTableName", kFindTableName, M::kMethod, 1, 1},
    {"dbWrite", kDbWrite, M::kMethod, 1, 1},
    {"dbWriteGet", kDbWriteGet, M::kMethod, 1, 1},
    {"dbSelect", kDbSelect, M::kMethod, 8, 8},
    {"pageNav", kPageNav, M::kMethod, 2, 2},
    {"xiangxi", kXiangxi, M::kMethod, 4, 4},
    {"rsDropDownList", kRsDropDownList, M::kMethod, 3, 3},
    {"strDropDownList", kStrDropDownList, M::kMethod, 2, 2, 0b1},
    {"menuNav", kMenuNav, M::kMethod, 1, 1},
};
constexpr MemberTable kTable("dbClass", kMembers);

}  // namespace

const MemberTable& DbClass::members() const noexcept {
  return kTable;
}

Variant DbClass::invoke(std::string_view name, std::vector<Variant>& a) {
  switch (bindMember(kTable, name, M::kMethod, a.size()).id) {
    case kOnStartPage:
      OnStartPage(contextArg(a[0]));
      return Variant();
    case kOnEndPage:
      OnEndPage();
      return Variant();
    case kMd5:
      return Variant(md5(a[0]));
    case kGetLenTitle:
      return getLenTitle(a[0], a[1]);
    case kAlert:
      alert(a[0], a[1]);
      return Variant();
    case kCreateDBfile:
      return createDBfile();
    case kBackupDBfile:
      return backupDBfile();
    case kRecoveryDBfile:
      return recoveryDBfile(a[0]);
    case kCompactDBfile:
      return compactDBfile();
    case kXlsToDb:
      return xlsToDb(a[0]);
    case kFolderFiles:
      return folderFiles(a[0], a[1]);
    case kConnOpen:
      connOpen();
      return Variant();
    case kSoftFabuInfo:
      return softFabuInfo(a[0]);
    case kConnClose:
      connClose();
      return Variant();
    case kDbShsl:
      return dbShsl(a[0]);
    case kFromHostRight:
      return fromHostRight();
    case kFindTableName:
      return findTableName(a[0]);
    case kDbWrite:
      return dbWrite(a[0]);
    case kDbWriteGet:
      return dbWriteGet(a[0]);
    case kDbSelect:
      return dbSelect(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    case kPageNav:
      return pageNav(a[0], a[1]);
    case kXiangxi:
      return xiangxi(a[0], a[1], a[2], a[3]);
    case kRsDropDownList:
      return rsDropDownList(a[0], a[1], a[2]);
    case kStrDropDownList:
      return strDropDownList(a[0], a[1]);
    case kMenuNav:
      return menuNav(a[0]);
    default:
      raise(err::kNotSupported);
  }
}

Variant DbClass::getProperty(std::string_view name) {
  switch (bindMember(kTable, name, M::kGet, 0).id) {
    case kConn:
      return Variant(ObjectPtr(conn));
    case kDbType:
      return dbType;
    case kDatabase:
      return database;
    case kSqlServerName:
      return sqlservername;
    case kSqlUid:
      return sqluid;
    case kSqlPwd:
      return sqlpwd;
    default:
      raise(err::kNotSupported);
  }
}

void DbClass::setProperty(std::string_view name, const Variant& value) {
  switch (bindMember(kTable, name, M::kPut, 0).id) {
    case kConn: {
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
    case kDbType:
      dbType = value;
      return;
    case kDatabase:
      database = value;
      return;
    case kSqlServerName:
      sqlservername = value;
      return;
    case kSqlUid:
      sqluid = value;
      return;
    case kSqlPwd:
      sqlpwd = value;
      return;
    default:
      raise(err::kNotSupported);
  }
}

}  // namespace kvdn
