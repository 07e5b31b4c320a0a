// The role list, database maintenance, the user's own profile (written
// through the query-string writer) and the small pages around them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/text.h"
#include "site.h"

namespace site {

using kvdn::PageEnv;
using kvdn::Variant;

namespace {

bool isPost(PageEnv& env) {
  return env.request().serverVariable("REQUEST_METHOD") == "POST";
}

std::vector<std::string> splitOn(const std::string& list, char separator) {
  std::vector<std::string> out;
  if (list.empty()) return out;
  std::size_t pos = 0;
  while (true) {
    std::size_t bar = list.find(separator, pos);
    out.push_back(list.substr(pos, bar == std::string::npos ? bar : bar - pos));
    if (bar == std::string::npos) return out;
    pos = bar + 1;
  }
}

// ---------------------------------------------------------------- roles

// Text from the database as an SQL literal that the grid shows as it is:
// markup characters and the braces of the grid's tokens as entities.
std::string shownLiteral(const std::string& text) {
  std::string escaped = html(text);
  escaped = kvdn::replaceAll(escaped, "{", "&#123;");
  escaped = kvdn::replaceAll(escaped, "}", "&#125;");
  return "'" + sqlLiteral(escaped) + "'";
}

void rolePage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  Variant menu = env.db->menuNav(Variant(user->role));
  if (env.ended()) return;
  std::string out = frameTop(*user, "角色列表", menu.joinText());
  // Module names instead of the stored key list: read here, written into the
  // statement as literals (escaped) by role key.
  std::map<std::string, std::string> moduleNames;
  auto modulesRs = env.db->conn->execute("select ID, 名称 from 功能模块");
  while (!modulesRs->eof()) {
    moduleNames[modulesRs->fields().item(0).value().joinText()] =
        modulesRs->fields().item(1).value().joinText();
    modulesRs->moveNext();
  }
  modulesRs->close();
  std::string shown = "case ID";
  auto rolesRs = env.db->conn->execute("select ID, 权限 from 用户身份");
  while (!rolesRs->eof()) {
    const std::string id = rolesRs->fields().item(0).value().joinText();
    std::string names;
    if (id == "1") {
      names = "全部模块";
    } else {
      for (const std::string& key : splitOn(rolesRs->fields().item(1).value().joinText(), ',')) {
        auto it = moduleNames.find(kvdn::trimBlanks(key));
        if (it == moduleNames.end()) continue;
        names += (names.empty() ? "" : "、") + it->second;
      }
    }
    if (isKey(id)) shown += " when " + id + " then " + shownLiteral(names);
    rolesRs->moveNext();
  }
  rolesRs->close();
  shown += " else '' end";
  // No paging (size 0): every row, numbered; nothing to add or delete.
  Variant roles = env.db->dbSelect(Variant("select ID, ID as 编号, " + htmlColumn("名称") + " as 角色名称, " +
                                           shown + " as 可用模块 from 用户身份 order by ID"),
                                   Variant(0), Variant(1), Variant(""), Variant(0), Variant(""), Variant(0),
                                   Variant("tableWg"));
  if (env.ended()) return;
  out += "<div class='gridBox'>" + roles.joinText() + "</div>";
  out += "<h2>功能模块</h2>";
  Variant modules = env.db->dbSelect(
      Variant("select m.ID, m.ID as 编号, " + htmlColumn("m.名称") + " as 名称, " +
              "case when m.文件名 like 'modalForm(%' then '（弹出对话框）' else " + htmlColumn("m.文件名") +
              " end as 文件名, coalesce(" + htmlColumn("p.名称") +
              ", '（菜单组）') as 所属菜单, case when m.必选=1 then "
              "'<span class=''mark'' title=''必选''>✔ 必选</span>' else '' end as 必选, m.顺序 as 顺序 "
              "from 功能模块 m left join 功能模块 p on p.ID=m.层级 order by m.层级, m.顺序"),
      Variant(0), Variant(0), Variant(""), Variant(0), Variant(""), Variant(0), Variant("tableWg"));
  if (env.ended()) return;
  out += "<div class='gridBox'>" + modules.joinText() + "</div>" + frameBottom();
  env.write(out);
}

// ---------------------------------------------------------------- audit trail

// "YYYY-MM-DD" (a date box's value), the only form a date filter takes.
bool isDay(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != 4 && i != 7 && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

// The trail: administrators see every row, other roles (the page is theirs
// when their role lists it) only their own actions. Filters: a search term,
// a day range and one action (one of those the trail holds).
void auditPage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  const bool call = env.query("ac") == "call";
  if (call && !roleMayOpen(env, user->role, "audit.asp")) return refuse(env, "对不起,你没有该权限!");
  std::string term = kvdn::trimBlanks(env.query("q"));
  if (term.size() > 120 || term.find_first_of("\r\n\t") != std::string::npos) term.clear();
  int size = 20;
  for (int n : {10, 20, 50, 100}) {
    if (env.query("size") == std::to_string(n)) size = n;
  }
  std::string from = env.query("from");
  std::string to = env.query("to");
  if (!isDay(from)) from.clear();
  if (!isDay(to)) to.clear();
  // The actions the trail holds, for the filter's list; the one asked for
  // goes into the statement only when it is among them.
  std::vector<std::string> actions;
  {
    auto rs = env.db->conn->execute("select distinct 动作 from 操作日志 order by 动作");
    for (; !rs->eof(); rs->moveNext()) actions.push_back(rs->fields().item(0).value().joinText());
    rs->close();
  }
  std::string action = env.query("act");
  if (std::find(actions.begin(), actions.end(), action) == actions.end()) action.clear();
  const std::string key = user->token + "a";
  storeSearch(env, key, term);
  std::vector<std::string> where;
  const std::string filter = searchFilter(key, term, {"l.账号", "l.动作", "l.内容", "l.地址"});
  if (!filter.empty()) where.push_back(filter);
  if (user->role != 1) where.push_back("l.账号='" + sqlLiteral(user->account) + "'");
  if (!from.empty()) where.push_back("l.时间>='" + from + " 00:00:00'");
  if (!to.empty()) where.push_back("l.时间<='" + to + " 23:59:59'");
  if (!action.empty()) where.push_back("l.动作='" + sqlLiteral(action) + "'");
  std::string condition;
  for (const std::string& w : where) condition += (condition.empty() ? " where " : " and ") + w;
  const std::string sql = "select l.ID, l.时间 as 时间, " + htmlColumn("l.账号") + " as 账号, " +
                          htmlColumn("l.地址") + " as 地址, " + htmlColumn("l.动作") + " as 动作, " +
                          htmlColumn("l.内容") + " as 内容 from 操作日志 l" + condition +
                          " order by l.ID desc";
  if (call) {
    Variant grid = env.db->dbSelect(Variant(sql), Variant(size), Variant(1), Variant(""), Variant(0),
                                    Variant(""), Variant(0), Variant("tableWg"));
    if (!env.ended()) env.write(grid.joinText());
    return;
  }
  Variant menu = env.db->menuNav(Variant(user->role));
  if (env.ended()) return;
  std::string out = frameTop(*user, user->role == 1 ? "操作日志" : "我的操作日志", menu.joinText());
  out +=
      "<div class='listTools'><form id='listSearch' role='search' class='auditFilter'><label>搜索 <input "
      "type='search' name='q' id='searchBox' maxlength='40' placeholder='账号、动作或内容' value='" +
      html(term) + "'></label><label>从 <input type='date' name='from' id='fromDay' value='" + from +
      "'></label><label>到 <input type='date' name='to' id='toDay' value='" + to +
      "'></label><label>动作 <select name='act' id='actionFilter'><option value=''>全部</option>";
  for (const std::string& a : actions) {
    out += "<option value='" + html(a) + "'" + (a == action ? " selected" : "") + ">" + html(a) + "</option>";
  }
  const bool filtered = !term.empty() || !from.empty() || !to.empty() || !action.empty();
  out +=
      "</select></label><button type='submit'>筛选</button><a href='audit.asp' id='clearSearch' "
      "class='clearSearch'" +
      std::string(filtered ? "" : " hidden") +
      ">清除筛选</a></form><label>每页 <select id='pageSize' name='size'>";
  for (int n : {10, 20, 50, 100}) {
    out += "<option value='" + std::to_string(n) + "'" + (n == size ? " selected" : "") + ">" +
           std::to_string(n) + "</option>";
  }
  out +=
      "</select> 条</label><form id='jumpForm'><label>跳到第 <input type='number' name='page' id='jumpPage' "
      "min='1' value='1'> 页</label><button type='submit'>跳转</button></form></div>";
  Variant grid = env.db->dbSelect(Variant(sql), Variant(size), Variant(1), Variant(""), Variant(0),
                                  Variant(""), Variant(0), Variant("tableWg"));
  if (env.ended()) return;
  // The grid's reloads carry the filters (the page's script keeps them).
  std::string state = "?ac=call&amp;page=1";
  if (!from.empty()) state += "&amp;from=" + from;
  if (!to.empty()) state += "&amp;to=" + to;
  out += "<div id='tableData' class='gridBox' data-url='" + state + "'>" + grid.joinText() + "</div>";
  out += frameBottom();
  env.write(out);
}

// ---------------------------------------------------------------- maintenance

namespace fs = std::filesystem;

// Uploaded workbooks: at most this many bytes.
constexpr std::size_t kMaxWorkbook = 2 * 1024 * 1024;
// The one the import reads (the component's fixed name), below the page's
// folder. The workbook waiting for its preview to be accepted belongs to the
// session that uploaded it: stagedSheet.
constexpr const char* kImportSheet = "database/userinfo.xls";

// The session's staged workbook, "database/upload-ID.xls" with a random ID
// the session keeps (made when `make`), so that another administrator's
// upload never replaces what this one previewed. "" when the session has
// none and `make` is false.
std::string stagedSheet(PageEnv& env, bool make) {
  std::string id = env.session().value("stage").joinText();
  if (id.size() != 32 || id.find_first_not_of("0123456789abcdef") != std::string::npos) {
    if (!make) return {};
    id = newToken();
    env.session().setValue("stage", Variant(id));
  }
  return "database/upload-" + id + ".xls";
}

// Staged workbooks of sessions long gone (left when a session ended
// without a discard or an import).
void removeStaleStaged(const fs::path& folder) {
  std::error_code ec;
  const auto limit = fs::file_time_type::clock::now() - std::chrono::hours(24);
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("upload-", 0) == 0 && entry.path().extension() == ".xls" &&
        entry.last_write_time(ec) < limit)
      fs::remove(entry.path(), ec);
  }
}

// One import at a time: each copies its workbook to the component's one
// fixed file name.
std::mutex& imports() {
  static std::mutex lock;
  return lock;
}

std::string localStamp(std::time_t when, const char* format) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[40];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

// "#YYYYMMDD.bak": the name the component's backup writes (one a day).
bool isDayBackup(const std::string& name) {
  if (name.size() != 13 || name[0] != '#' || name.substr(9) != ".bak") return false;
  for (std::size_t i = 1; i < 9; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

// Gives a day backup a name with its time, "#YYYYMMDD-HHMMSS.bak" (a
// counter added when a second one falls in the same second), so that no
// backup overwrites another. Returns the new name.
// An automatic backup (one taken before a restore or an import) ends in
// "-auto.bak", so that the list can tell it from one asked for.
std::string stampBackup(const fs::path& folder, const std::string& name, std::time_t when,
                        bool automatic = false) {
  const std::string stem = "#" + localStamp(when, "%Y%m%d-%H%M%S");
  const std::string suffix = automatic ? "-auto.bak" : ".bak";
  std::string target = stem + suffix;
  for (int n = 2; fs::exists(folder / target); ++n) target = stem + "-" + std::to_string(n) + suffix;
  fs::rename(folder / name, folder / target);
  return target;
}

std::time_t fileTime(const fs::path& file) {
  const auto written = fs::last_write_time(file);
  const auto system =
      std::chrono::system_clock::now() + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                             written - fs::file_time_type::clock::now());
  return std::chrono::system_clock::to_time_t(system);
}

bool isAutomaticBackup(const std::string& name) {
  return name.size() > 9 && name.compare(name.size() - 9, 9, "-auto.bak") == 0;
}

// A backup of the database file named with the date and time (`automatic`:
// one the site takes before a restore or an import); "" when the component
// reported a failure (the response has then ended) or it failed.
std::string timedBackup(PageEnv& env, bool automatic = false) {
  // The component writes one file a day: two backups at once would rename
  // the same file.
  static std::mutex backups;
  std::lock_guard lock(backups);
  const fs::path folder = env.server().mapPath("database");
  // A day backup left by an earlier version keeps its own time.
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (isDayBackup(name)) stampBackup(folder, name, fileTime(entry.path()));
  }
  if (env.db->conn && env.db->conn->isOpen()) env.db->connClose();
  Variant ok = env.db->backupDBfile();
  if (env.ended() || !ok.toBool()) return {};
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (isDayBackup(name)) return stampBackup(folder, name, std::time(nullptr), automatic);
  }
  return {};
}

// On the server database the file backups do not apply: the users' table is
// copied into a table of its own, "用户备份_YYYYMMDD_HHMMSS" (the site makes
// the name from the clock).
std::string tableBackup(PageEnv& env) {
  std::string table = "用户备份_" + localStamp(std::time(nullptr), "%Y%m%d_%H%M%S");
  env.db->conn->execute("create table " + table + " as select * from 用户");
  return table;
}

struct Backup {
  std::string name;
  std::time_t time = 0;
  fs::file_time_type written;  // finer than `time`: two backups in one second
  std::uintmax_t size = 0;
};

// The backups in database/, newest first.
std::vector<Backup> listBackups(PageEnv& env) {
  std::vector<Backup> out;
  const fs::path folder = env.server().mapPath("database");
  for (const std::string& name :
       splitOn(env.db->folderFiles(Variant("database"), Variant(".bak")).joinText(), '|')) {
    std::error_code ec;
    Backup b;
    b.name = name;
    b.size = fs::file_size(folder / name, ec);
    if (ec) continue;
    b.time = fileTime(folder / name);
    b.written = fs::last_write_time(folder / name, ec);
    out.push_back(b);
  }
  std::sort(out.begin(), out.end(), [](const Backup& x, const Backup& y) {
    return x.written != y.written ? x.written > y.written : x.name > y.name;
  });
  return out;
}

std::string sizeText(std::uintmax_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  if (bytes < 1024 * 1024) return std::to_string((bytes + 512) / 1024) + " KB";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

// Base64 (the upload's field) to bytes; nullopt when it is not base64.
std::optional<std::string> fromBase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned bits = 0;
  int count = 0;
  std::size_t padding = 0;
  for (char c : text) {
    if (c == '=') {
      ++padding;
      continue;
    }
    if (c == '\r' || c == '\n') continue;
    const int v = value(c);
    if (v < 0 || padding > 0) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  if (padding > 2) return std::nullopt;
  return out;
}

// One row of the staged sheet as the preview shows it.
struct SheetRow {
  int row = 0;  // the sheet's row number (the headings are row 1)
  std::string account;
  std::string password;  // as in the sheet: a stored digest or a plain password
  std::string name;
  std::string sex;
  std::string role;    // as in the sheet: a role's number or its name
  std::string roleId;  // the role it names ("" when none)
};

// What an import of the staged sheet would do.
struct Preview {
  bool readable = false;
  int added = 0;                 // accounts not in the database
  int replaced = 0;              // accounts in the database, written anew from the sheet
  int removed = 0;               // users not in the sheet: deleted by the import
  int kept = 0;                  // the system administrator, never touched
  int plain = 0;                 // rows whose password is plain text (digested by the import)
  std::vector<SheetRow> rows;    // every row the import takes
  std::vector<SheetRow> admins;  // every row that gets the administrator role
  std::vector<std::pair<SheetRow, std::string>> refused;  // every row the import cannot take, and why
  bool adminLeft = true;                                  // an administrator is left after the import
  std::vector<std::string> sample;                        // the first accounts of the sheet
};

// A password as the site stores it: md5(md5(password)), 32 hex digits. A
// cell holding anything else is a plain password, digested by the import.
bool isStoredDigest(std::string_view text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

Preview previewSheet(PageEnv& env, const std::string& sheetPath) {
  Preview p;
  std::vector<SheetRow> rows;
  try {
    auto conn = std::dynamic_pointer_cast<kvdn::Connection>(env.server().createObject("ADODB.Connection"));
    if (!conn) return p;
    conn->open("Driver={Microsoft excel Driver (*.xls)};DBQ=" + env.server().mapPath(sheetPath));
    // The rows the import takes: every one with an account cell.
    auto sheet =
        conn->execute("select 登录账号, 密码, 姓名, 性别, 角色 from [用户$] where 登录账号 is not null");
    for (int n = 2; !sheet->eof(); ++n) {
      SheetRow row;
      row.row = n;
      row.account = sheet->fields().item(0).value().joinText();
      row.password = sheet->fields().item(1).value().joinText();
      row.name = sheet->fields().item(2).value().joinText();
      row.sex = kvdn::trimBlanks(sheet->fields().item(3).value().joinText());
      row.role = kvdn::trimBlanks(sheet->fields().item(4).value().joinText());
      rows.push_back(std::move(row));
      sheet->moveNext();
    }
    sheet->close();
    conn->close();
  } catch (const kvdn::ComError&) {
    return p;
  }
  p.readable = true;
  // Roles by number and by name.
  std::map<std::string, std::string> roles;
  std::string roleHint;
  auto roleRows = env.db->conn->execute("select ID, 名称 from 用户身份 order by ID");
  for (; !roleRows->eof(); roleRows->moveNext()) {
    const std::string id = roleRows->fields().item(0).value().joinText();
    const std::string name = kvdn::trimBlanks(roleRows->fields().item(1).value().joinText());
    roles[id] = id;
    if (!name.empty()) roles.emplace(name, id);
    roleHint += (roleHint.empty() ? "" : "、") + id + " " + name;
  }
  roleRows->close();
  std::string systemAdmin;
  bool systemAdminIsAdmin = false;
  std::set<std::string> existing;
  auto rs = env.db->conn->execute("select ID, 登录账号, 角色 from 用户");
  while (!rs->eof()) {
    const bool admin = rs->fields().item(0).value().joinText() == "1";
    const std::string account = kvdn::lowerCase(rs->fields().item(1).value().joinText());
    if (admin) {
      ++p.kept;
      systemAdmin = account;
      systemAdminIsAdmin = rs->fields().item(2).value().joinText() == "1";
    } else {
      existing.insert(account);
    }
    rs->moveNext();
  }
  rs->close();
  // The import stores every row, in one transaction: a row it cannot store,
  // or that would make an account nobody can log in with, stops the whole
  // import, so each is named here with its reason.
  std::map<std::string, int> seen;
  std::set<std::string> sheet;
  for (SheetRow& row : rows) {
    const std::string key = kvdn::lowerCase(row.account);
    auto role = roles.find(row.role);
    if (role != roles.end()) row.roleId = role->second;
    std::string reason;
    if (!isAccount(row.account))
      reason = "登录账号无效（只能由字母、数字和 _ - . @ 组成，最多 32 个字符）";
    else if (key == systemAdmin)
      reason = "是系统管理员的账号";
    else if (seen.count(key))
      reason = "与第 " + std::to_string(seen[key]) + " 行的账号重复";
    else if (row.password.empty())
      reason = "密码为空（该账号将无法登录）";
    else if (!isStoredDigest(row.password) && (row.password != kvdn::trimBlanks(row.password) ||
                                               row.password.size() < 6 || row.password.size() > 64))
      reason = "密码应为 6 到 64 个字符，不能以空格开头或结尾";
    else if (!isPlainText(kvdn::trimBlanks(row.name)))
      reason = "姓名为空或含 < > & 引号";
    else if (row.sex != "男" && row.sex != "女")
      reason = "性别应为“男”或“女”";
    else if (row.roleId.empty())
      reason = "角色无效（应为角色编号或名称：" + roleHint + "）";
    seen.emplace(key, row.row);
    if (!reason.empty()) {
      p.refused.emplace_back(row, reason);
      continue;
    }
    sheet.insert(key);
    if (!isStoredDigest(row.password)) ++p.plain;
    if (row.roleId == "1") p.admins.push_back(row);
    if (p.sample.size() < 8) p.sample.push_back(row.account);
    if (existing.count(key))
      ++p.replaced;
    else
      ++p.added;
    p.rows.push_back(row);
  }
  for (const std::string& account : existing) p.removed += sheet.count(account) ? 0 : 1;
  p.adminLeft = systemAdminIsAdmin || !p.admins.empty();
  return p;
}

std::string tokenField(const User& user) {
  return "<input type='hidden' name='_token' value='" + html(user.token) + "'>";
}

// Runs one maintenance action. False when the component reported a failure
// and ended the response (its report is the page then).
bool maintain(PageEnv& env, const User& user, const std::string& op) {
  const bool onServer = !serverDatabase().empty();
  const std::string stagedPath = stagedSheet(env, op == "upload" || op == "stage");
  const fs::path staged = stagedPath.empty() ? fs::path() : fs::path(env.server().mapPath(stagedPath));
  if (op == "upload") {
    auto bytes = fromBase64(env.form("data"));
    auto uploadFailed = [&](const std::string& why) {
      setFlash(env, "上传失败：" + why, true);
      return true;
    };
    if (!bytes || bytes->empty()) return uploadFailed("请选择要上传的 .xls 文件！");
    if (bytes->size() > kMaxWorkbook) return uploadFailed("文件太大（最大 2 MB）！");
    // An Excel 97-2003 workbook is a compound file: it starts with this
    // signature. A newer workbook (.xlsx) is a zip archive.
    static const char kSignature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
    if (bytes->compare(0, 4, "PK\x03\x04", 4) == 0)
      return uploadFailed(
          "这是 .xlsx 工作簿，不能直接导入：请在 Excel 或 WPS 中打开它，选“文件 → 另存为”，保存类型选"
          "“Excel 97-2003 工作簿 (*.xls)”，再上传保存的 .xls 文件。");
    if (bytes->compare(0, 8, kSignature, 8) != 0)
      return uploadFailed("上传的文件不是 Excel 97-2003 工作簿（.xls）！");
    removeStaleStaged(staged.parent_path());
    {
      std::ofstream out(staged, std::ios::binary | std::ios::trunc);
      out.write(bytes->data(), static_cast<std::streamsize>(bytes->size()));
      if (!out.flush()) return uploadFailed("文件保存失败！");
    }
    if (!previewSheet(env, stagedPath).readable) {
      std::error_code ec;
      fs::remove(staged, ec);
      return uploadFailed("无法读取该工作簿，或其中没有工作表“用户”！");
    }
    env.redirect("maintain.asp?preview=1");
    return false;
  }
  if (op == "stage") {
    // The workbook already on the server, previewed like an upload.
    std::error_code ec;
    fs::copy_file(env.server().mapPath(kImportSheet), staged, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      setFlash(env, "服务器上没有示例工作簿！", true);
      return true;
    }
    env.redirect("maintain.asp?preview=1");
    return false;
  }
  if (op == "discard") {
    std::error_code ec;
    if (!staged.empty()) fs::remove(staged, ec);
    setFlash(env, "已取消导入。");
    return true;
  }
  if (op == "import") {
    if (staged.empty() || !fs::exists(staged)) {
      refuse(env, "请先上传并预览要导入的工作簿！");
      return false;
    }
    std::lock_guard importing(imports());
    // A refused import is a failure on the page (red) and in the trail.
    auto failed = [&](const std::string& why) {
      audit(env, user.account, "导入失败", why);
      setFlash(env, "导入失败：" + why, true);
      env.redirect("maintain.asp?preview=1");
      return false;
    };
    const Preview p = previewSheet(env, stagedPath);
    if (!p.readable) return failed("无法读取该工作簿");
    if (!p.refused.empty()) {
      std::string rows;
      for (const auto& [row, reason] : p.refused)
        rows += (rows.empty() ? "" : "；") + std::string("第 ") + std::to_string(row.row) + " 行 " + reason;
      return failed("有 " + std::to_string(p.refused.size()) + " 行不能导入：" + rows);
    }
    if (p.rows.empty()) return failed("表格中没有可导入的用户");
    if (!p.adminLeft) return failed("导入后将没有任何管理员");
    if (!p.admins.empty() && env.form("grantAdmin") != "1")
      return failed("表格中有 " + std::to_string(p.admins.size()) +
                    " 个账号将获得管理员角色，未在预览中勾选确认");
    // Registration times of the accounts the sheet keeps: the import
    // deletes and writes them anew, their time stays.
    std::map<std::string, std::string> registered;
    {
      auto rs = env.db->conn->execute("select 登录账号, 注册时间 from 用户 where ID>1");
      for (; !rs->eof(); rs->moveNext()) {
        const Variant when = rs->fields().item(1).value();
        if (!when.isNull() && !when.isEmpty())
          registered[kvdn::lowerCase(rs->fields().item(0).value().joinText())] = when.joinText();
      }
      rs->close();
    }
    // What the import replaces is kept first.
    std::string backup;
    if (onServer) {
      backup = "数据表 " + tableBackup(env);
    } else {
      backup = timedBackup(env, true);
      if (env.ended()) return false;
      if (backup.empty()) return failed("导入前的自动备份失败，未导入");
      if (!openDatabase(env)) return false;
    }
    std::error_code ec;
    fs::copy_file(staged, env.server().mapPath(kImportSheet), fs::copy_options::overwrite_existing, ec);
    if (ec) return failed("文件复制失败，未导入");
    // The component copies cells as they are: the accounts, names and sexes
    // (checked above). Passwords (a plain one digested), roles (a name as
    // its number) and registration times are written next, row by row.
    Variant n = env.db->xlsToDb(Variant("登录账号,姓名,性别"));
    if (env.ended()) return false;
    const std::string count = n.joinText();
    if (count == "0") return failed("写入数据库失败，数据未改动（导入前备份 " + backup + "）");
    const std::string now = localStamp(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
    kvdn::Connection& conn = *env.db->conn;
    conn.beginTrans();
    try {
      for (const SheetRow& row : p.rows) {
        // Every value below is checked or of the site's making: the account
        // (isAccount), the digest (hex), the role (a key of 用户身份), the
        // time (as stored, or the clock's).
        const std::string digest = isStoredDigest(row.password)
                                       ? kvdn::asciiLower(row.password)
                                       : env.db->md5(Variant(env.db->md5(Variant(row.password))));
        auto kept = registered.find(kvdn::lowerCase(row.account));
        const std::string when = kept == registered.end() ? now : kept->second;
        conn.execute("update 用户 set 密码='" + sqlLiteral(digest) + "', 角色=" + row.roleId +
                     ", 注册时间='" + sqlLiteral(when) + "' where " + accountIs(row.account) + " and ID>1");
      }
      conn.commitTrans();
    } catch (const kvdn::ComError& e) {
      try {
        conn.rollbackTrans();
      } catch (const kvdn::ComError&) {
      }
      return failed("写入密码和角色失败（" + e.description() + "），请从备份 " + backup + " 恢复");
    }
    fs::remove(staged, ec);
    std::string admins;
    for (const SheetRow& row : p.admins) admins += (admins.empty() ? "" : "、") + row.account;
    audit(env, user.account, "导入",
          "导入 " + count + " 个用户（新增 " + std::to_string(p.added) + "，替换 " +
              std::to_string(p.replaced) + "，删除 " + std::to_string(p.removed) + "），导入前备份 " +
              backup + (p.plain ? "，明文密码已加密 " + std::to_string(p.plain) + " 个" : "") +
              (admins.empty() ? "" : "，授予管理员角色：" + admins));
    setFlash(env, "已导入 " + count + " 个用户（导入前已自动备份：" + backup + "）。");
    return true;
  }
  // The file methods work on the database file itself; this page's own
  // connection is not needed for them.
  if (onServer) {
    refuse(env, "服务器数据库请用数据库服务器自己的工具备份、恢复和压缩！");
    return false;
  }
  if (op == "backup") {
    const std::string name = timedBackup(env);
    if (env.ended()) return false;
    if (!name.empty()) {
      openDatabase(env);
      audit(env, user.account, "备份", "备份为 " + name);
    }
    setFlash(env, name.empty() ? "备份失败。" : "备份完成：" + name + "。");
  } else if (op == "restore") {
    const std::string name = env.form("bak");
    bool listed = false;
    for (const Backup& b : listBackups(env)) listed = listed || b.name == name;
    if (!listed) {
      refuse(env, "请选择要恢复的备份！");
      return false;
    }
    // The state being replaced is kept first.
    const std::string before = timedBackup(env, true);
    if (env.ended()) return false;
    if (before.empty()) {
      refuse(env, "恢复前的自动备份失败，未恢复！");
      return false;
    }
    Variant ok = env.db->recoveryDBfile(Variant(name));
    if (env.ended()) return false;
    if (ok.toBool() && openDatabase(env)) {
      ensureSiteTables(*env.db->conn, false);
      audit(env, user.account, "恢复", "从备份 " + name + " 恢复，恢复前备份 " + before);
    }
    setFlash(env, ok.toBool() ? "已从备份 " + name + " 恢复数据库（恢复前已自动备份：" + before + "）。"
                              : "恢复失败。");
  } else if (op == "compact") {
    env.db->connClose();
    Variant ok = env.db->compactDBfile();
    if (env.ended()) return false;
    if (ok.toBool() && openDatabase(env)) audit(env, user.account, "压缩", "压缩数据库");
    setFlash(env, ok.toBool() ? "压缩完成。" : "压缩失败。");
  } else {
    refuse(env, "参数错误！");
    return false;
  }
  return true;
}

std::string previewCard(PageEnv& env, const User& user, const std::string& stagedPath) {
  const Preview p = previewSheet(env, stagedPath);
  std::string out = "<section class='card' id='previewCard'><h2>导入预览</h2>";
  if (!p.readable) {
    return out + "<p class='warn'>无法读取待导入的工作簿。</p></section>";
  }
  out += "<table class='plain' id='previewTable'><tr><th>新增用户</th><td class='num' id='pvAdded'>" +
         std::to_string(p.added) + "</td></tr><tr><th>替换的现有用户</th><td class='num' id='pvReplaced'>" +
         std::to_string(p.replaced) +
         "</td></tr><tr><th>删除的用户（不在表格中）</th><td class='num' id='pvRemoved'>" +
         std::to_string(p.removed) + "</td></tr><tr><th>保留（系统管理员）</th><td class='num' id='pvKept'>" +
         std::to_string(p.kept) +
         "</td></tr><tr><th>明文密码（导入时加密）</th><td class='num' id='pvPlain'>" +
         std::to_string(p.plain) + "</td></tr><tr><th>不能导入的行</th><td class='num' id='pvRefusedCount'>" +
         std::to_string(p.refused.size()) + "</td></tr></table>";
  if (!p.sample.empty()) {
    out += "<p>表格中的账号：";
    for (std::size_t i = 0; i < p.sample.size(); ++i) out += (i ? "、" : "") + html(p.sample[i]);
    out += p.added + p.replaced > static_cast<int>(p.sample.size()) ? " 等</p>" : "</p>";
  }
  auto rowList = [](const std::string& id, const std::string& caption, const auto& rows, auto cells) {
    std::string t = "<div class='gridBox'><table class='plain' id='" + id + "'><caption>" + caption +
                    "</caption><tr><th>行</th><th>登录账号</th><th>姓名</th><th>" +
                    (id == "pvRefused" ? "原因" : "角色") + "</th></tr>";
    for (const auto& row : rows) t += cells(row);
    return t + "</table></div>";
  };
  auto cellsOf = [](const SheetRow& row, const std::string& last) {
    return "<tr><td class='num'>" + std::to_string(row.row) + "</td><td>" + html(row.account) + "</td><td>" +
           html(row.name) + "</td><td>" + html(last) + "</td></tr>";
  };
  if (!p.refused.empty()) {
    out += "<p class='formError' role='alert' id='pvRefusedNote'>有 " + std::to_string(p.refused.size()) +
           " 行不能导入，请改正表格后重新上传（整个表格一起导入，改正前不会改动任何数据）：</p>";
    out += rowList("pvRefused", "不能导入的行", p.refused,
                   [&](const auto& entry) { return cellsOf(entry.first, entry.second); });
  }
  if (!p.admins.empty()) {
    out += "<p class='warn'>以下 " + std::to_string(p.admins.size()) +
           " 个账号将获得管理员角色（可管理所有用户和数据库）：</p>";
    out += rowList("pvAdmins", "将成为管理员的账号", p.admins,
                   [&](const SheetRow& row) { return cellsOf(row, "管理员"); });
  }
  if (!p.adminLeft) out += "<p class='warn'>导入后将没有任何管理员，不能导入。</p>";
  const bool importable = p.refused.empty() && p.adminLeft;
  const std::string lost = "导入将删除 " + std::to_string(p.removed) +
                           " 个不在表格中的用户，并用表格内容替换 " + std::to_string(p.replaced) +
                           " 个现有用户的资料和密码。导入前会自动备份。确定导入？";
  out += "<div class='buttons'>";
  if (importable) {
    out += "<form method='post' action='maintain.asp' data-confirm='" + html(lost) +
           "'><input type='hidden' name='op' value='import'>" + tokenField(user);
    // Granting the administrator role by import takes a tick of its own.
    if (!p.admins.empty())
      out +=
          "<label class='check'><input type='checkbox' name='grantAdmin' value='1' id='grantAdmin' required> "
          "我确认授予以上 " +
          std::to_string(p.admins.size()) + " 个账号管理员角色</label>";
    out += "<button type='submit' class='danger' id='btnApply'>确认导入</button></form>";
  }
  out += "<form method='post' action='maintain.asp'><input type='hidden' name='op' value='discard'>" +
         tokenField(user) +
         "<button type='submit' class='secondary' id='btnDiscard'>取消</button></form></div>";
  return out + "</section>";
}

void maintainPage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  Variant menu = env.db->menuNav(Variant(user->role));
  if (env.ended()) return;
  if (isPost(env)) {
    if (!checkToken(env, *user)) return;
    if (!hasReferrer(env)) return;
    if (maintain(env, *user, env.form("op"))) env.redirect("maintain.asp");
    return;
  }
  const bool onServer = !serverDatabase().empty();
  std::string out = frameTop(*user, "数据库维护", menu.joinText());
  out += takeFlash(env);
  const std::string stagedPath = stagedSheet(env, false);
  if (env.query("preview") == "1" && !stagedPath.empty() && fs::exists(env.server().mapPath(stagedPath)))
    out += previewCard(env, *user, stagedPath);

  if (onServer) {
    out +=
        "<section "
        "class='card'><h2>备份与恢复</h2><p>网站使用服务器数据库：备份、恢复和压缩请用数据库服务器自己的"
        "工具。导入用户前，网站会把用户表复制为“用户备份_日期_时间”表。</p></section>";
  } else {
    const std::vector<Backup> backups = listBackups(env);
    out +=
        "<section "
        "class='card'><h2>备份</h2><p>把当前数据库复制为备份文件，文件名带日期和时间，不会覆盖以前的备份。</"
        "p>"
        "<form method='post' action='maintain.asp'><input type='hidden' name='op' value='backup'>" +
        tokenField(*user) + "<button type='submit' id='btnBackup'>立即备份</button></form></section>";
    out += "<section class='card'><h2>恢复</h2>";
    if (backups.empty()) {
      out += "<p>还没有备份。</p>";
    } else {
      out +=
          "<div class='gridBox'><table class='plain' id='bakTable'><caption "
          "class='skip'>备份文件</caption><tr><th>文件</th><th>类型</th><th>时间</th><th>大小</th></tr>";
      for (const Backup& b : backups) {
        out += "<tr><td>" + html(b.name) + "</td><td>" +
               (isAutomaticBackup(b.name) ? "自动（恢复或导入前）" : "手动") + "</td><td>" +
               localStamp(b.time, "%Y-%m-%d %H:%M:%S") + "</td><td class='num'>" + sizeText(b.size) +
               "</td></tr>";
      }
      out +=
          "</table></div><form method='post' action='maintain.asp' id='restoreForm' data-confirm='用备份 "
          "{bak} "
          "覆盖当前数据库？备份之后所做的全部修改（用户、日志）都将丢失。恢复前会自动再备份一次。'>"
          "<input type='hidden' name='op' value='restore'>" +
          tokenField(*user) + "<label>选择备份 <select name='bak' id='bakList' required>";
      // The newest backup asked for is chosen first, never an automatic
      // one (after a restore that is the state just replaced); with only
      // automatic ones, nothing is chosen.
      const auto chosen = std::find_if(backups.begin(), backups.end(),
                                       [](const Backup& b) { return !isAutomaticBackup(b.name); });
      if (chosen == backups.end()) out += "<option value='' selected disabled>请选择备份</option>";
      for (auto b = backups.begin(); b != backups.end(); ++b) {
        out += "<option value='" + html(b->name) + "'" + (b == chosen ? " selected" : "") + ">" +
               html(b->name) + (isAutomaticBackup(b->name) ? "（自动）" : "") + "</option>";
      }
      out += "</select></label> <button type='submit' class='danger' id='btnRestore'>恢复</button></form>";
    }
    out += "</section>";
    out +=
        "<section class='card'><h2>压缩</h2><p>整理数据库文件，收回已删除记录占用的空间。</p>"
        "<form method='post' action='maintain.asp'><input type='hidden' name='op' value='compact'>" +
        tokenField(*user) + "<button type='submit' id='btnCompact'>压缩数据库</button></form></section>";
  }

  out +=
      "<section class='card'><h2>导入用户</h2><p>上传 Excel 97-2003 工作簿（.xls，最大 2 "
      "MB，工作表“用户”，列 "
      "登录账号、密码、姓名、性别、角色）。密码可以是明文（导入时加密），角色可以写编号或名称（如“操作员”）。"
      "导入前先显示预览，逐行检查；除系统管理员外的现有用户将被替换，保留各自的注册时间。</p>"
      "<p class='hint' id='xlsxHint'>只有 .xlsx 文件？在 Excel 或 WPS 中打开它，选“文件 → 另存为”，"
      "保存类型选“Excel 97-2003 工作簿 (*.xls)”，再上传保存的文件。</p>"
      "<form method='post' action='maintain.asp' id='uploadForm' data-max='" +
      std::to_string(kMaxWorkbook) + "'><input type='hidden' name='op' value='upload'>" + tokenField(*user) +
      "<input type='hidden' name='data' value=''><label>工作簿 <input type='file' name='file' id='xlsFile' "
      "accept='.xls,application/vnd.ms-excel'></label><button type='submit' "
      "id='btnUpload'>上传并预览</button>"
      "</form><form method='post' action='maintain.asp'><input type='hidden' name='op' value='stage'>" +
      tokenField(*user) +
      "<p>或者预览网站自带的示例工作簿： <button type='submit' class='secondary' "
      "id='btnImport'>预览示例</button></p></form></section>";

  out += frameBottom();
  env.write(out);
}

// ---------------------------------------------------------------- profile

// What the profile page shows after a refused save: the typed values and
// each refusal beside its field (keys: the field's id).
struct ProfileForm {
  std::optional<std::string> name, sex;  // typed (else the stored ones)
  std::string oldPassword, newPassword, confirm;
  FieldErrors errors;
};

void profileView(PageEnv& env, const User& user, const ProfileForm& form);

// The user's own name and sex, posted to the record writer (dbWrite), which
// stores every posted field in the column of that name: the page lets
// through only the fields it expects. The key and the token are in the
// address, the values in the body.
void profileSave(PageEnv& env, const User& user) {
  for (const std::string& key : env.request().form().keys()) {
    if (key != "姓名" && key != "性别" && key != "submit") return refuse(env, "参数错误！");
  }
  const std::string id = env.query("id");
  if (!isKey(id) || id != std::to_string(user.id)) return refuse(env, "禁止非法访问！");
  ProfileForm form;
  const std::string name = kvdn::trimBlanks(env.form("姓名"));
  const std::string sex = kvdn::trimBlanks(env.form("性别"));
  form.name = name;
  form.sex = sex;
  if (!isPlainText(name)) form.errors["p_name"] = "请填写姓名（不能含 < > & 引号）！";
  if (sex != "男" && sex != "女") form.errors["p_sex"] = "请选择性别！";
  if (!form.errors.empty()) {
    // This address carries a query, so the page is shown after a redirect
    // (menuNav keys pages by address): the typed values wait in the session.
    env.session().setValue("pfName", Variant(name));
    env.session().setValue("pfSex", Variant(sex));
    env.session().setValue("pfNameError", Variant(form.errors.count("p_name") ? form.errors["p_name"] : ""));
    env.session().setValue("pfSexError", Variant(form.errors.count("p_sex") ? form.errors["p_sex"] : ""));
    env.redirect("profile.asp");
    return;
  }
  if (!hasReferrer(env)) return;
  Variant ok = env.db->dbWrite(Variant("用户"));
  if (env.ended()) return;
  if (ok.toBool()) {
    env.session().setValue("name", Variant(name));
    audit(env, user.account, "修改", "修改本人资料");
    setFlash(env, "资料已保存。");
  } else {
    setFlash(env, "保存失败。");
  }
  env.redirect("profile.asp");
}

// The password change: the old password checked, the new one twice.
// A refusal comes back as the page, the message beside the field and what
// was typed kept (the answer goes only to this session).
void passwordSave(PageEnv& env, const User& user) {
  ProfileForm form;
  form.oldPassword = env.form("旧密码");
  form.newPassword = env.form("新密码");
  form.confirm = env.form("确认密码");
  const std::string& old = form.oldPassword;
  const std::string& fresh = form.newPassword;
  if (fresh.size() < 6 || fresh.size() > 64)
    form.errors["p_new"] = "新密码长度应为 6 到 64 个字符！";
  else if (fresh != form.confirm)
    form.errors["p_confirm"] = "两次输入的新密码不一致！";
  if (!form.errors.empty()) return profileView(env, user, form);
  if (!hasReferrer(env)) return;
  const std::string id = std::to_string(user.id);
  const std::string stored = env.db->dbShsl(Variant("select 密码 from 用户 where ID=" + id)).joinText();
  const std::string typed = env.db->md5(Variant(env.db->md5(Variant(old))));
  if (stored.empty() || stored != typed) {
    audit(env, user.account, "修改密码失败", "旧密码错误");
    form.errors["p_old"] = "旧密码错误！";
    return profileView(env, user, form);
  }
  // The digest is 32 hex digits of the site's own making.
  const std::string digest = env.db->md5(Variant(env.db->md5(Variant(fresh))));
  for (char c : digest) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
      return refuse(env, "参数错误！");
  }
  env.db->conn->execute("update 用户 set 密码='" + digest + "' where ID=" + id);
  // This session goes on; the account's other sessions end (their stamp
  // is the old password's).
  rememberLogin(env, user.id);
  audit(env, user.account, "修改密码", "修改本人密码");
  setFlash(env, "密码已修改。");
  env.redirect("profile.asp");
}

void profilePage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  // The save requests carry a query, so menuNav would not find the page;
  // the page is open to every role and only writes the user's own record.
  const std::string ac = env.query("ac");
  if (ac == "modify") {
    if (!isPost(env)) return refuse(env, "参数错误！");
    if (!checkToken(env, *user)) return;
    return profileSave(env, *user);
  }
  if (!ac.empty()) return refuse(env, "参数错误！");
  if (isPost(env) && env.form("op") == "password") {
    if (!checkToken(env, *user)) return;
    return passwordSave(env, *user);
  }
  // A refused profile save left what was typed.
  ProfileForm form;
  if (!env.session().value("pfName").isEmpty()) {
    form.name = env.session().value("pfName").joinText();
    form.sex = env.session().value("pfSex").joinText();
    for (const char* key : {"pfNameError", "pfSexError"}) {
      const std::string text = env.session().value(key).joinText();
      if (!text.empty()) form.errors[key == std::string("pfNameError") ? "p_name" : "p_sex"] = text;
    }
    for (const char* key : {"pfName", "pfSex", "pfNameError", "pfSexError"})
      env.session().setValue(key, Variant());
  }
  profileView(env, *user, form);
}

void profileView(PageEnv& env, const User& userRow, const ProfileForm& form) {
  const User* user = &userRow;
  // Shown for the address "profile.asp" only (the password form posts
  // there): menuNav keys the page by its address with the query.
  Variant menu = env.db->menuNav(Variant(user->role));
  if (env.ended()) return;
  const std::string id = std::to_string(user->id);
  auto rs = env.db->conn->execute("select 姓名,性别 from 用户 where ID=" + id);
  Variant name, sex;
  if (!rs->eof()) {
    name = rs->fields().item(0).value();
    sex = rs->fields().item(1).value();
  }
  rs->close();
  if (form.name) name = Variant(*form.name);
  if (form.sex) sex = Variant(*form.sex);
  auto invalid = [&](const std::string& field) { return invalidField(form.errors, field); };
  auto message = [&](const std::string& field) { return fieldMessage(form.errors, field); };
  std::string out = frameTop(*user, "我的资料", menu.joinText());
  out += takeFlash(env);
  out += "<div class='gridBox'>" +
         env.db
             ->xiangxi(Variant("select u.ID, " + htmlColumn("u.登录账号") + " as 登录账号, " +
                               htmlColumn("u.姓名") + " as 姓名, " + htmlColumn("u.性别") + " as 性别, " +
                               htmlColumn("r.名称") +
                               " as 角色, u.注册时间 from 用户 u left join 用户身份 r "
                               "on r.ID=u.角色 where u.ID=" +
                               id),
                       Variant(90), Variant(260), Variant("账号信息"))
             .joinText() +
         "</div>";
  Variant sexes("男,女");
  const std::string action =
      "profile.asp?ac=modify&amp;id=" + id + "&amp;" + kTokenKey + "=" + html(user->token);
  out += "<form class='card narrow' method='post' action='" + action +
         "' id='profileForm'><h2>修改资料</h2>"
         "<label>姓名<input name='姓名' required maxlength='40' autocomplete='name' value='" +
         html(name.joinText()) + "'" + invalid("p_name") + "></label>" + message("p_name") +
         "<label>性别<select name='性别' required" + invalid("p_sex") + ">" +
         env.db->strDropDownList(sexes, sex).joinText() + "</select></label>" + message("p_sex") +
         "<div class='buttons'><button type='submit' name='submit' "
         "value='保存'>保存</button></div></form>";
  out +=
      "<form class='card narrow' method='post' action='profile.asp' "
      "id='passwordForm'><h2>修改密码</h2><input type='hidden' name='op' value='password'>" +
      tokenField(*user) +
      "<label>旧密码<input type='password' name='旧密码' required autocomplete='current-password' value='" +
      html(form.oldPassword) + "'" + invalid("p_old") + "></label>" + message("p_old") +
      "<label>新密码<input type='password' name='新密码' required minlength='6' maxlength='64' "
      "autocomplete='new-password' value='" +
      html(form.newPassword) + "'" + invalid("p_new") + "></label>" + message("p_new") +
      "<label>确认新密码<input type='password' name='确认密码' required minlength='6' maxlength='64' "
      "autocomplete='new-password' value='" +
      html(form.confirm) + "'" + invalid("p_confirm") + "></label>" + message("p_confirm") +
      "<div class='buttons'><button type='submit' id='btnPassword'>修改密码</button></div></form>";
  out += frameBottom();
  env.write(out);
}

// ---------------------------------------------------------------- small pages

void homeRedirect(PageEnv& env) {
  env.redirect("/admin/index.asp");
}

// A page with no work of its own: the host's own cost per request, the base
// line of the load benchmark.
void pingPage(PageEnv& env) {
  env.write("ok");
}

// Health check: the database opens and answers a query; else 503 with the
// failure, so that a monitor or a proxy sees it. Also the load benchmark's
// second base line, the least any page of the site that reads the database
// costs.
void healthPage(PageEnv& env) {
  try {
    if (openDatabase(env)) {
      env.db->dbShsl(Variant("select count(*) from 用户"));
      env.write("ok");
      return;
    }
  } catch (const kvdn::ComError& e) {
    env.write("数据库不可用！<br>" + std::to_string(e.number()) + "<br>" + e.description());
  }
  env.status(503);
}

}  // namespace

void registerUserPages(kvdn::HttpHost& host);

void registerPages(kvdn::HttpHost& host) {
  registerUserPages(host);
  host.addPage("/admin/role.asp", rolePage);
  host.addPage("/admin/maintain.asp", maintainPage);
  host.addPage("/admin/profile.asp", profilePage);
  host.addPage("/admin/audit.asp", auditPage);
  host.addPage("/", homeRedirect);
  host.addPage("/admin/", homeRedirect);
  host.addPage("/admin", homeRedirect);
  host.addPage("/ping.asp", pingPage);
  host.addPage("/favicon.ico", [](PageEnv& env) { env.redirect("/static/favicon.svg"); });
  host.addPage("/admin/health.asp", healthPage);
}

}  // namespace site
