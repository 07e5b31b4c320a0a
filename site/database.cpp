// First start: the application database with its tables and sample rows,
// made through the library's own catalog and connection objects.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <algorithm>
#include <array>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "kvdn/data.h"
#include "kvdn/db_class.h"
#include "kvdn/error.h"
#include "kvdn/files.h"
#include "kvdn/page.h"
#include "kvdn/text.h"
#include "site.h"

namespace site {

namespace {

// Text columns compare case-insensitively, as the original database did.
const std::array<const char*, 3> kTables = {
    "create table 用户 (ID integer primary key autoincrement, 登录账号 text collate nocase not null unique, "
    "密码 text collate nocase, 姓名 text collate nocase, 性别 text collate nocase, 角色 integer not null "
    "default 2, "
    "注册时间 DATETIME)",
    "create table 功能模块 (ID integer primary key, 名称 text collate nocase, 文件名 text collate nocase, "
    "层级 integer not null default 0, 必选 integer not null default 0, 顺序 integer not null default 0)",
    "create table 用户身份 (ID integer primary key, 名称 text collate nocase, 权限 text collate nocase)",
};

// The menu: two headings (层级 0) and their entries. 文件名 is the page key:
// the page's file name relative to /admin/, or a modalForm call.
struct Module {
  int id;
  const char* name;
  const char* file;
  int level;
  int mandatory;
  int order;
};
const std::array<Module, 10> kModules = {{
    {1, "系统管理", "", 0, 0, 1},
    {2, "用户管理", "user.asp", 1, 0, 1},
    {3, "角色列表", "role.asp", 1, 0, 2},
    {4, "数据库维护", "maintain.asp", 1, 0, 3},
    {10, "操作日志", "audit.asp", 1, 0, 4},
    {5, "个人中心", "", 0, 0, 2},
    {6, "首页", "index.asp", 5, 1, 1},
    {7, "我的资料", "profile.asp", 5, 1, 2},
    {8, "快速添加用户", "modalForm('user.asp?ac=add')", 5, 0, 3},
    {9, "退出登录", "logout.asp", 5, 1, 4},
}};

struct SampleUser {
  const char* account;
  const char* name;
  const char* sex;
  int role;
  const char* registered;
};
// Enough users for three pages of ten; one long name shows the shortening.
const std::array<SampleUser, 24> kUsers = {{
    {kAdminAccount, "系统管理员", "男", 1, "2023-01-03 09:00:00"},
    {kOperatorAccount, "操作员小李", "女", 2, "2023-01-05 10:30:00"},
    {"zhangwei", "张伟", "男", 2, "2023-02-11 08:15:00"},
    {"wangfang", "王芳", "女", 2, "2023-02-14 14:20:00"},
    {"lina", "李娜", "女", 2, "2023-03-01 09:45:00"},
    {"liuyang", "刘洋", "男", 2, "2023-03-08 16:05:00"},
    {"chenjing", "陈静", "女", 2, "2023-03-21 11:11:00"},
    {"yanglei", "杨磊", "男", 2, "2023-04-02 13:40:00"},
    {"zhaomin", "赵敏", "女", 2, "2023-04-18 10:00:00"},
    {"huangqiang", "黄强", "男", 2, "2023-05-06 15:30:00"},
    {"zhoujie", "周杰", "男", 2, "2023-05-20 09:10:00"},
    {"wuting", "吴婷", "女", 2, "2023-06-01 17:25:00"},
    {"xupeng", "徐鹏", "男", 2, "2023-06-15 08:50:00"},
    {"sunli", "孙丽", "女", 2, "2023-07-04 12:00:00"},
    {"machao", "马超", "男", 2, "2023-07-19 14:45:00"},
    {"zhulin", "朱琳", "女", 2, "2023-08-08 10:20:00"},
    {"hubin", "胡斌", "男", 2, "2023-08-30 16:35:00"},
    {"guojing", "郭晶", "女", 2, "2023-09-12 09:05:00"},
    {"heping", "何平", "男", 2, "2023-10-01 11:55:00"},
    {"gaojie", "高洁", "女", 2, "2023-10-23 13:15:00"},
    {"linfeng", "林峰", "男", 2, "2023-11-11 15:00:00"},
    {"luoxin", "罗欣", "女", 2, "2023-11-28 10:40:00"},
    {"zhenghao", "郑浩", "男", 2, "2023-12-09 09:30:00"},
    {"ouyang", "欧阳娜娜（华东区市场部）", "女", 2, "2024-01-15 14:10:00"},
}};

// Appended rather than "'" + ... + "'": GCC 12 at -O3 reports a false
// -Wrestrict for that form.
std::string literal(std::string_view text) {
  std::string out = "'";
  out += sqlLiteral(text);
  out += '\'';
  return out;
}

// The tables and their sample rows through an open connection, in one
// transaction.
void fillTables(kvdn::Connection& conn, const std::vector<std::string>& tables) {
  conn.beginTrans();
  for (const std::string& statement : tables) conn.execute(statement);
  for (const Module& m : kModules) {
    conn.execute("insert into 功能模块 (ID,名称,文件名,层级,必选,顺序) values (" + std::to_string(m.id) +
                 "," + literal(m.name) + "," + literal(m.file) + "," + std::to_string(m.level) + "," +
                 std::to_string(m.mandatory) + "," + std::to_string(m.order) + ")");
  }
  // The administrator's 权限 is never read (role 1 sees everything); it
  // lists every module for people reading the table.
  conn.execute("insert into 用户身份 (ID,名称,权限) values (1,'管理员','2,3,4,10,6,7,8,9')");
  conn.execute("insert into 用户身份 (ID,名称,权限) values (2,'操作员','2,8,10')");

  kvdn::DbClass digest;  // md5 needs no page
  for (const SampleUser& u : kUsers) {
    const char* password = u.account == std::string_view(kAdminAccount)      ? kAdminPassword
                           : u.account == std::string_view(kOperatorAccount) ? kOperatorPassword
                                                                             : kSamplePassword;
    const std::string stored = digest.md5(kvdn::Variant(digest.md5(kvdn::Variant(password))));
    conn.execute("insert into 用户 (登录账号,密码,姓名,性别,角色,注册时间) values (" + literal(u.account) +
                 "," + literal(stored) + "," + literal(u.name) + "," + literal(u.sex) + "," +
                 std::to_string(u.role) + "," + literal(u.registered) + ")");
  }
}

}  // namespace

std::filesystem::path databaseFile(const std::filesystem::path& siteRoot) {
  return siteRoot / "admin" / "database" / "app.mdb";
}

bool ensureDatabase(const std::filesystem::path& siteRoot) {
  const std::filesystem::path file = databaseFile(siteRoot);
  if (std::filesystem::exists(file)) {
    // A database from an earlier version gets the site's newer tables.
    kvdn::ClassRegistry classes;
    kvdn::registerStandardClasses(classes);
    auto conn = std::dynamic_pointer_cast<kvdn::Connection>(classes.create("ADODB.Connection"));
    if (!conn) kvdn::raise(kvdn::err::kTypeMismatch, "unexpected class behind a standard ProgID");
    conn->open("Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + file.string());
    ensureSiteTables(*conn, false);
    conn->close();
    return false;
  }
  std::filesystem::create_directories(file.parent_path());

  kvdn::ClassRegistry classes;
  kvdn::registerStandardClasses(classes);
  auto catalog = std::dynamic_pointer_cast<kvdn::Catalog>(classes.create("ADOX.Catalog"));
  auto conn = std::dynamic_pointer_cast<kvdn::Connection>(classes.create("ADODB.Connection"));
  if (!catalog || !conn) kvdn::raise(kvdn::err::kTypeMismatch, "unexpected class behind a standard ProgID");
  catalog->create("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file.string());

  try {
    conn->open("Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + file.string());
    fillTables(*conn, std::vector<std::string>(kTables.begin(), kTables.end()));
    conn->commitTrans();
    ensureSiteTables(*conn, false);
    conn->close();
  } catch (...) {
    // A half-made database would be taken for a finished one next start.
    if (conn->isOpen()) conn->close();
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    throw;
  }
  return true;
}

std::vector<BackupFile> listBackupFiles(const std::filesystem::path& siteRoot) {
  namespace fs = std::filesystem;
  std::vector<BackupFile> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(databaseFile(siteRoot).parent_path(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".bak") != 0 || !entry.is_regular_file(ec))
      continue;
    BackupFile b;
    b.name = name;
    b.size = entry.file_size(ec);
    b.written = entry.last_write_time(ec);
    out.push_back(b);
  }
  std::sort(out.begin(), out.end(), [](const BackupFile& x, const BackupFile& y) {
    return x.written != y.written ? x.written > y.written : x.name > y.name;
  });
  return out;
}

std::vector<std::string> removeLeftovers(const std::filesystem::path& siteRoot) {
  namespace fs = std::filesystem;
  std::vector<std::string> removed;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(databaseFile(siteRoot).parent_path(), ec)) {
    const std::string name = entry.path().filename().string();
    bool leftover = false;
    for (const char* suffix : {".bak-wal", ".bak-shm", ".bak-journal"}) {
      const std::string_view s(suffix);
      leftover =
          leftover || (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0);
    }
    // "NAME.partial-PID-N[-wal|-shm|-journal]": the copy of a process that
    // is gone (another site process on this folder may be making one now).
    if (const std::size_t at = name.find(".partial-"); at != std::string::npos) {
      const char* digits = name.c_str() + at + 9;
      char* end = nullptr;
      const long pid = std::strtol(digits, &end, 10);
      leftover = end != digits && *end == '-' && pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
                 errno == ESRCH;
    }
    if (leftover) removed.push_back(name);
  }
  std::erase_if(removed, [&](const std::string& name) {
    return !fs::remove(databaseFile(siteRoot).parent_path() / name, ec);
  });
  return removed;
}

std::string restoreOffline(const std::filesystem::path& siteRoot, const std::string& name) {
  namespace fs = std::filesystem;
  const fs::path file = databaseFile(siteRoot);
  const fs::path folder = file.parent_path();
  const auto backups = listBackupFiles(siteRoot);
  if (name.find('/') != std::string::npos ||
      std::none_of(backups.begin(), backups.end(), [&](const BackupFile& b) { return b.name == name; }))
    kvdn::raise(kvdn::err::kFileNotFound, "no backup named '" + name + "' in " + folder.string());
  // A backup that is no database would only trade one damage for another.
  {
    std::ifstream in(folder / name, std::ios::binary);
    char head[16] = {};
    in.read(head, sizeof head);
    if (std::string_view(head, sizeof head) != std::string_view("SQLite format 3\0", 16))
      kvdn::raise(kvdn::err::kDbFail, "the backup '" + name + "' is no database file");
  }
  // Copied beside the database first: the database is replaced only by a
  // whole copy, in one rename.
  const fs::path incoming = folder / ("app.mdb.restoring-" + std::to_string(::getpid()));
  std::error_code ec;
  fs::copy_file(folder / name, incoming, fs::copy_options::overwrite_existing, ec);
  if (ec) kvdn::raise(kvdn::err::kPermissionDenied, "cannot copy the backup: " + ec.message());
  std::string kept;
  if (fs::exists(file, ec)) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    kept = "app.mdb.damaged-" + std::string(stamp);
    for (int n = 2; fs::exists(folder / kept); ++n)
      kept = "app.mdb.damaged-" + std::string(stamp) + "-" + std::to_string(n);
    fs::rename(file, folder / kept, ec);
    if (ec) {
      fs::remove(incoming, ec);
      kvdn::raise(kvdn::err::kPermissionDenied, "cannot set the database aside: " + ec.message());
    }
  }
  // The old log stays with the file it belongs to.
  for (const char* suffix : {"-wal", "-shm"}) {
    const fs::path log = folder / ("app.mdb" + std::string(suffix));
    if (!fs::exists(log, ec)) continue;
    if (kept.empty())
      fs::remove(log, ec);
    else
      fs::rename(log, folder / (kept + suffix), ec);
  }
  fs::rename(incoming, file, ec);
  if (ec) kvdn::raise(kvdn::err::kPermissionDenied, "cannot put the backup in place: " + ec.message());
  return kept;
}

bool ensureServerDatabase(const std::string& connectionString) {
  kvdn::ClassRegistry classes;
  kvdn::registerStandardClasses(classes);
  auto conn = std::dynamic_pointer_cast<kvdn::Connection>(classes.create("ADODB.Connection"));
  if (!conn) kvdn::raise(kvdn::err::kTypeMismatch, "unexpected class behind a standard ProgID");
  conn->open(connectionString);
  try {
    conn->execute("select count(*) from 用户");
    ensureSiteTables(*conn, true);
    conn->close();
    return false;
  } catch (const kvdn::ComError& e) {
    if (e.number() != kvdn::err::kDbNoSuchTable) throw;
  }
  // The same tables in PostgreSQL's words: numbered keys from a sequence
  // (pages add roles and modules without an ID), times to the second, no
  // NOCASE collation (text compares exactly there).
  std::vector<std::string> tables;
  for (const char* statement : kTables) {
    std::string t = kvdn::replaceAll(statement, " collate nocase", "");
    t = kvdn::replaceAll(t, "integer primary key autoincrement", "serial primary key");
    t = kvdn::replaceAll(t, "ID integer primary key", "ID serial primary key");
    t = kvdn::replaceAll(t, "DATETIME", "timestamp(0)");
    tables.push_back(std::move(t));
  }
  try {
    fillTables(*conn, tables);
    for (const char* table : {"功能模块", "用户身份"}) {
      conn->execute(std::string("select setval(pg_get_serial_sequence('") + table +
                    "', 'id'), (select max(ID) from " + table + "))");
    }
    conn->commitTrans();
    ensureSiteTables(*conn, true);
  } catch (...) {
    try {
      conn->rollbackTrans();
    } catch (const kvdn::ComError&) {
      // Nothing was left to roll back.
    }
    throw;
  }
  conn->close();
  return true;
}

}  // namespace site
