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
      Variant("select m.ID, m.ID as 编号, " + htmlColumn("m.名称") + " as 名称, " + htmlColumn("m.文件名") +
              " as 文件名, coalesce(" + htmlColumn("p.名称") +
              ", '（菜单组）') as 所属菜单, case when m.必选=1 then "
              "'<span class=''mark'' title=''必选''>✔ 必选</span>' else '' end as 必选, m.顺序 as 顺序 "
              "from 功能模块 m left join 功能模块 p on p.ID=m.层级 order by m.层级, m.顺序"),
      Variant(0), Variant(0), Variant(""), Variant(0), Variant(""), Variant(0), Variant("tableWg"));
  if (env.ended()) return;
  out += "<div class='gridBox'>" + modules.joinText() + "</div>" + frameBottom();
  env.write(out);
}

// ---------------------------------------------------------------- audit trail

void auditPage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  if (user->role != 1) return refuse(env, "对不起,你没有该权限!");
  std::string term = kvdn::trimBlanks(env.query("q"));
  if (term.size() > 120 || term.find_first_of("\r\n\t") != std::string::npos) term.clear();
  int size = 20;
  for (int n : {10, 20, 50, 100}) {
    if (env.query("size") == std::to_string(n)) size = n;
  }
  const std::string key = user->token + "a";
  storeSearch(env, key, term);
  const std::string filter = searchFilter(key, term, {"l.账号", "l.动作", "l.内容", "l.地址"});
  const std::string sql = "select l.ID, l.时间 as 时间, " + htmlColumn("l.账号") + " as 账号, " +
                          htmlColumn("l.地址") + " as 地址, " + htmlColumn("l.动作") + " as 动作, " +
                          htmlColumn("l.内容") + " as 内容 from 操作日志 l" +
                          (filter.empty() ? "" : " where " + filter) + " order by l.ID desc";
  if (env.query("ac") == "call") {
    Variant grid = env.db->dbSelect(Variant(sql), Variant(size), Variant(1), Variant(""), Variant(0),
                                    Variant(""), Variant(0), Variant("tableWg"));
    if (!env.ended()) env.write(grid.joinText());
    return;
  }
  Variant menu = env.db->menuNav(Variant(user->role));
  if (env.ended()) return;
  std::string out = frameTop(*user, "操作日志", menu.joinText());
  out +=
      "<div class='listTools'><form id='listSearch' role='search'><label>搜索 <input type='search' name='q' "
      "id='searchBox' maxlength='40' placeholder='账号、动作或内容' value='" +
      html(term) +
      "'></label><button type='submit'>搜索</button></form><label>每页 <select id='pageSize' name='size'>";
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
  out += "<div id='tableData' class='gridBox' data-url='?ac=call&amp;page=1'>" + grid.joinText() + "</div>";
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

bool isFileStem(std::string_view text) {
  if (text.empty() || text.size() > 32) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  }
  return true;
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
std::string stampBackup(const fs::path& folder, const std::string& name, std::time_t when) {
  const std::string stem = "#" + localStamp(when, "%Y%m%d-%H%M%S");
  std::string target = stem + ".bak";
  for (int n = 2; fs::exists(folder / target); ++n) target = stem + "-" + std::to_string(n) + ".bak";
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

// A backup of the database file named with the date and time; "" when the
// component reported a failure (the response has then ended) or it failed.
std::string timedBackup(PageEnv& env) {
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
    if (isDayBackup(name)) return stampBackup(folder, name, std::time(nullptr));
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
  std::string name;
  std::string role;
};

// What an import of the staged sheet would do.
struct Preview {
  bool readable = false;
  int added = 0;                 // accounts not in the database
  int replaced = 0;              // accounts in the database, written anew from the sheet
  int removed = 0;               // users not in the sheet: deleted by the import
  int kept = 0;                  // the system administrator, never touched
  std::vector<SheetRow> admins;  // every row that gets the administrator role
  std::vector<std::pair<SheetRow, std::string>> refused;  // every row the import cannot take, and why
  bool adminLeft = true;                                  // an administrator is left after the import
  std::vector<std::string> sample;                        // the first accounts of the sheet
};

Preview previewSheet(PageEnv& env, const std::string& sheetPath) {
  Preview p;
  std::vector<SheetRow> rows;
  try {
    auto conn = std::dynamic_pointer_cast<kvdn::Connection>(env.server().createObject("ADODB.Connection"));
    if (!conn) return p;
    conn->open("Driver={Microsoft excel Driver (*.xls)};DBQ=" + env.server().mapPath(sheetPath));
    // The rows the import takes: every one with an account cell.
    auto sheet = conn->execute("select 登录账号, 姓名, 角色 from [用户$] where 登录账号 is not null");
    for (int n = 2; !sheet->eof(); ++n) {
      SheetRow row;
      row.row = n;
      row.account = sheet->fields().item(0).value().joinText();
      row.name = sheet->fields().item(1).value().joinText();
      row.role = kvdn::trimBlanks(sheet->fields().item(2).value().joinText());
      rows.push_back(std::move(row));
      sheet->moveNext();
    }
    sheet->close();
    conn->close();
  } catch (const kvdn::ComError&) {
    return p;
  }
  p.readable = true;
  std::set<std::string> roles;
  auto roleRows = env.db->conn->execute("select ID from 用户身份");
  for (; !roleRows->eof(); roleRows->moveNext()) roles.insert(roleRows->fields().item(0).value().joinText());
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
  // The import stores every row as it stands, in one transaction: a row it
  // cannot store fails the whole import, so each is named here.
  std::map<std::string, int> seen;
  std::set<std::string> sheet;
  for (const SheetRow& row : rows) {
    const std::string key = kvdn::lowerCase(row.account);
    std::string reason;
    if (!isAccount(row.account))
      reason = "登录账号无效（只能由字母、数字和 _ - . @ 组成，最多 32 个字符）";
    else if (key == systemAdmin)
      reason = "是系统管理员的账号";
    else if (seen.count(key))
      reason = "与第 " + std::to_string(seen[key]) + " 行的账号重复";
    else if (!isKey(row.role) || !roles.count(row.role))
      reason = "角色无效";
    seen.emplace(key, row.row);
    if (!reason.empty()) {
      p.refused.emplace_back(row, reason);
      continue;
    }
    sheet.insert(key);
    if (row.role == "1") p.admins.push_back(row);
    if (p.sample.size() < 8) p.sample.push_back(row.account);
    if (existing.count(key))
      ++p.replaced;
    else
      ++p.added;
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
    if (!bytes || bytes->empty()) {
      refuse(env, "请选择要上传的 .xls 文件！");
      return false;
    }
    if (bytes->size() > kMaxWorkbook) {
      refuse(env, "文件太大（最大 2 MB）！");
      return false;
    }
    // An Excel 97-2003 workbook is a compound file: it starts with this signature.
    static const char kSignature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
    if (bytes->compare(0, 8, kSignature, 8) != 0) {
      refuse(env, "上传的文件不是 Excel 97-2003 工作簿（.xls）！");
      return false;
    }
    removeStaleStaged(staged.parent_path());
    {
      std::ofstream out(staged, std::ios::binary | std::ios::trunc);
      out.write(bytes->data(), static_cast<std::streamsize>(bytes->size()));
      if (!out.flush()) {
        refuse(env, "文件保存失败！");
        return false;
      }
    }
    if (!previewSheet(env, stagedPath).readable) {
      std::error_code ec;
      fs::remove(staged, ec);
      refuse(env, "无法读取该工作簿，或其中没有工作表“用户”！");
      return false;
    }
    env.redirect("maintain.asp?preview=1");
    return false;
  }
  if (op == "stage") {
    // The workbook already on the server, previewed like an upload.
    std::error_code ec;
    fs::copy_file(env.server().mapPath(kImportSheet), staged, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      refuse(env, "服务器上没有 database/userinfo.xls！");
      return false;
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
    const Preview p = previewSheet(env, stagedPath);
    if (!p.readable || !p.refused.empty()) {
      refuse(env, "该工作簿不能导入（无法读取，或有不能导入的行，见预览）！");
      return false;
    }
    if (!p.adminLeft) {
      refuse(env, "不能移除最后一个管理员：导入后将没有任何管理员！");
      return false;
    }
    if (!p.admins.empty() && env.form("grantAdmin") != "1") {
      refuse(env, "表格中有 " + std::to_string(p.admins.size()) +
                      " 个账号将获得管理员角色：请在预览中勾选确认后再导入！");
      return false;
    }
    // What the import replaces is kept first.
    std::string backup;
    if (onServer) {
      backup = "数据表 " + tableBackup(env);
    } else {
      backup = timedBackup(env);
      if (env.ended()) return false;
      if (backup.empty()) {
        refuse(env, "导入前的自动备份失败，未导入！");
        return false;
      }
      if (!openDatabase(env)) return false;
    }
    std::error_code ec;
    fs::copy_file(staged, env.server().mapPath(kImportSheet), fs::copy_options::overwrite_existing, ec);
    if (ec) {
      refuse(env, "文件复制失败，未导入！");
      return false;
    }
    Variant n = env.db->xlsToDb(Variant("登录账号,密码,姓名,性别,角色"));
    if (env.ended()) return false;
    const std::string count = n.joinText();
    if (count != "0") {
      // The sheet has no registration time: the import's own.
      env.db->conn->execute("update 用户 set 注册时间='" +
                            localStamp(std::time(nullptr), "%Y-%m-%d %H:%M:%S") +
                            "' where 注册时间 is null and ID>1");
      fs::remove(staged, ec);
      std::string admins;
      for (const SheetRow& row : p.admins) admins += (admins.empty() ? "" : "、") + row.account;
      audit(env, user.account, "导入",
            "导入 " + count + " 个用户，导入前备份 " + backup +
                (admins.empty() ? "" : "，授予管理员角色：" + admins));
    }
    setFlash(env, count == "0" ? "导入失败，或表格中没有可导入的用户。"
                               : "已导入 " + count + " 个用户（导入前已自动备份：" + backup + "）。");
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
    const std::string before = timedBackup(env);
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
  } else if (op == "create") {
    const std::string stem = kvdn::trimBlanks(env.form("name"));
    if (!isFileStem(stem)) {
      refuse(env, "文件名只能由字母、数字和下划线组成！");
      return false;
    }
    env.db->connClose();
    const Variant live = env.db->database;
    env.db->database = Variant("database/" + stem + ".mdb");
    Variant ok = env.db->createDBfile();
    env.db->database = live;
    if (env.ended()) return false;
    setFlash(env, ok.toBool() ? "已建立空数据库 database/" + stem + ".mdb。" : "建立失败。");
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
         std::to_string(p.kept) + "</td></tr></table>";
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
    out +=
        "<p class='warn'>有 " + std::to_string(p.refused.size()) + " 行不能导入，整个表格因此不能导入：</p>";
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
          "class='skip'>备份文件</caption><tr><th>文件</th><th>时间</th><th>大小</th></tr>";
      for (const Backup& b : backups) {
        out += "<tr><td>" + html(b.name) + "</td><td>" + localStamp(b.time, "%Y-%m-%d %H:%M:%S") +
               "</td><td class='num'>" + sizeText(b.size) + "</td></tr>";
      }
      out +=
          "</table></div><form method='post' action='maintain.asp' id='restoreForm' data-confirm='用备份 "
          "{bak} "
          "覆盖当前数据库？备份之后所做的全部修改（用户、日志）都将丢失。恢复前会自动再备份一次。'>"
          "<input type='hidden' name='op' value='restore'>" +
          tokenField(*user) + "<label>选择备份 <select name='bak' id='bakList'>";
      for (const Backup& b : backups) {
        out += "<option value='" + html(b.name) + "'>" + html(b.name) + "</option>";
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
      "登录账号、密码、姓名、性别、角色）。导入前先显示预览；除系统管理员外的现有用户将被替换。</p>"
      "<form method='post' action='maintain.asp' id='uploadForm' data-max='" +
      std::to_string(kMaxWorkbook) + "'><input type='hidden' name='op' value='upload'>" + tokenField(*user) +
      "<input type='hidden' name='data' value=''><label>工作簿 <input type='file' name='file' id='xlsFile' "
      "accept='.xls,application/vnd.ms-excel'></label><button type='submit' "
      "id='btnUpload'>上传并预览</button>"
      "</form><form method='post' action='maintain.asp'><input type='hidden' name='op' value='stage'>" +
      tokenField(*user) +
      "<p>或者预览服务器上的 database/userinfo.xls： <button type='submit' class='secondary' "
      "id='btnImport'>预览</button></p></form></section>";

  if (!onServer) {
    const std::vector<std::string> files =
        splitOn(env.db->folderFiles(Variant("database"), Variant(".mdb")).joinText(), '|');
    out +=
        "<section class='card'><h2>新建数据库</h2><form method='post' action='maintain.asp'>"
        "<input type='hidden' name='op' value='create'>" +
        tokenField(*user) +
        "<label>文件名 <span class='fileName'>database/<input name='name' required pattern='[A-Za-z0-9_]+' "
        "maxlength='32' "
        "placeholder='文件名' aria-label='新数据库文件名'>.mdb</span></label> "
        "<button type='submit' id='btnCreate'>建立</button></form><p>数据库文件：";
    for (std::size_t i = 0; i < files.size(); ++i) out += (i ? "、" : "") + html(files[i]);
    out += "</p></section>";
  }
  out += frameBottom();
  env.write(out);
}

// ---------------------------------------------------------------- profile

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
  const std::string name = kvdn::trimBlanks(env.form("姓名"));
  if (!isPlainText(name)) return refuse(env, "请填写姓名（不能含 < > & 引号）！");
  const std::string sex = kvdn::trimBlanks(env.form("性别"));
  if (sex != "男" && sex != "女") return refuse(env, "请选择性别！");
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
void passwordSave(PageEnv& env, const User& user) {
  const std::string old = env.form("旧密码");
  const std::string fresh = env.form("新密码");
  if (fresh != env.form("确认密码")) return refuse(env, "两次输入的新密码不一致！");
  if (fresh.size() < 6 || fresh.size() > 64) return refuse(env, "新密码长度应为 6 到 64 个字符！");
  if (!hasReferrer(env)) return;
  const std::string id = std::to_string(user.id);
  const std::string stored = env.db->dbShsl(Variant("select 密码 from 用户 where ID=" + id)).joinText();
  const std::string typed = env.db->md5(Variant(env.db->md5(Variant(old))));
  if (stored.empty() || stored != typed) {
    audit(env, user.account, "修改密码失败", "旧密码错误");
    return refuse(env, "旧密码错误！");
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
  if (ac == "modify" || ac == "password") {
    if (!isPost(env)) return refuse(env, "参数错误！");
    if (!checkToken(env, *user)) return;
    return ac == "modify" ? profileSave(env, *user) : passwordSave(env, *user);
  }
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
         html(name.joinText()) +
         "'></label>"
         "<label>性别<select name='性别' required>" +
         env.db->strDropDownList(sexes, sex).joinText() +
         "</select></label><div class='buttons'><button type='submit' name='submit' "
         "value='保存'>保存</button></div></form>";
  out +=
      "<form class='card narrow' method='post' action='profile.asp?ac=password' "
      "id='passwordForm'><h2>修改密码</h2>" +
      tokenField(*user) +
      "<label>旧密码<input type='password' name='旧密码' required autocomplete='current-password'></label>"
      "<label>新密码<input type='password' name='新密码' required minlength='6' maxlength='64' "
      "autocomplete='new-password'></label>"
      "<label>确认新密码<input type='password' name='确认密码' required minlength='6' maxlength='64' "
      "autocomplete='new-password'></label>"
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
