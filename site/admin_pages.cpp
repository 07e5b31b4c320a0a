// The role list, database maintenance, the user's own profile (written
// through the query-string writer) and the small pages around them.
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

std::vector<std::string> splitBar(const std::string& list) {
  std::vector<std::string> out;
  if (list.empty()) return out;
  std::size_t pos = 0;
  while (true) {
    std::size_t bar = list.find('|', pos);
    out.push_back(list.substr(pos, bar == std::string::npos ? bar : bar - pos));
    if (bar == std::string::npos) return out;
    pos = bar + 1;
  }
}

// ---------------------------------------------------------------- roles

void rolePage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  Variant menu = env.db->menuNav(Variant(user->role));
  if (env.ended()) return;
  std::string out = frameTop(*user, "角色列表", menu.joinText());
  // No paging (size 0): every row, numbered; nothing to add or delete.
  Variant roles = env.db->dbSelect(Variant("select ID, ID as 编号, " + htmlColumn("名称") + " as 角色名称, " +
                                           htmlColumn("权限") + " as 可用模块 from 用户身份 order by ID"),
                                   Variant(0), Variant(1), Variant(""), Variant(0), Variant(""), Variant(0),
                                   Variant("tableWg"));
  if (env.ended()) return;
  out += roles.joinText();
  out += "<h2>功能模块</h2>";
  Variant modules = env.db->dbSelect(
      Variant("select ID, ID as 编号, " + htmlColumn("名称") + " as 名称, " + htmlColumn("文件名") +
              " as 文件名, 层级, 必选, 顺序 from 功能模块 order by 层级, 顺序"),
      Variant(0), Variant(0), Variant(""), Variant(0), Variant(""), Variant(0), Variant("tableWg"));
  if (env.ended()) return;
  out += modules.joinText() + frameBottom();
  env.write(out);
}

// ---------------------------------------------------------------- maintenance

bool isFileStem(std::string_view text) {
  if (text.empty() || text.size() > 32) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  }
  return true;
}

// Runs one maintenance action. False when the component reported a failure
// and ended the response (its report is the page then).
bool maintain(PageEnv& env, const std::string& op) {
  if (op == "import") {
    // Replaces every account but the administrator's with the sheet's rows.
    Variant n = env.db->xlsToDb(Variant("登录账号,密码,姓名,性别,角色"));
    if (env.ended()) return false;
    const std::string count = n.joinText();
    setFlash(env, count == "0" ? "导入失败，或表格中没有可导入的用户。"
                               : "已从 database/userinfo.xls 导入 " + count + " 个用户。");
    return true;
  }
  // The file methods work on the database file itself; this page's own
  // connection is not needed for them.
  if (!serverDatabase().empty()) {
    refuse(env, "服务器数据库请用数据库服务器自己的工具备份、恢复和压缩！");
    return false;
  }
  env.db->connClose();
  if (op == "backup") {
    Variant ok = env.db->backupDBfile();
    if (env.ended()) return false;
    setFlash(env, ok.toBool() ? "备份完成。" : "备份失败。");
  } else if (op == "restore") {
    const std::string name = env.form("bak");
    bool listed = false;
    for (const std::string& file :
         splitBar(env.db->folderFiles(Variant("database"), Variant(".bak")).joinText())) {
      listed = listed || file == name;
    }
    if (!listed) {
      refuse(env, "请选择要恢复的备份！");
      return false;
    }
    Variant ok = env.db->recoveryDBfile(Variant(name));
    if (env.ended()) return false;
    setFlash(env, ok.toBool() ? "已从备份 " + name + " 恢复数据库。" : "恢复失败。");
  } else if (op == "compact") {
    Variant ok = env.db->compactDBfile();
    if (env.ended()) return false;
    setFlash(env, ok.toBool() ? "压缩完成。" : "压缩失败。");
  } else if (op == "create") {
    const std::string stem = kvdn::trimBlanks(env.form("name"));
    if (!isFileStem(stem)) {
      refuse(env, "文件名只能由字母、数字和下划线组成！");
      return false;
    }
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

void maintainPage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  Variant menu = env.db->menuNav(Variant(user->role));
  if (env.ended()) return;
  if (isPost(env)) {
    if (!checkToken(env, *user)) return;
    if (maintain(env, env.form("op"))) env.redirect("maintain.asp");
    return;
  }
  std::string out = frameTop(*user, "数据库维护", menu.joinText());
  out += takeFlash(env);
  const std::vector<std::string> backups =
      splitBar(env.db->folderFiles(Variant("database"), Variant(".bak")).joinText());
  const std::vector<std::string> files =
      splitBar(env.db->folderFiles(Variant("database"), Variant(".mdb")).joinText());

  out +=
      "<section class='card'><h2>备份</h2><p>把当前数据库复制为当天的备份文件（同一天再次备份会覆盖）。</p>"
      "<form method='post' action='maintain.asp'><input type='hidden' name='op' value='backup'><input "
      "type='hidden' name='_token' value='" +
      html(user->token) +
      "'>"
      "<button type='submit' id='btnBackup'>立即备份</button></form></section>";

  out += "<section class='card'><h2>恢复</h2>";
  if (backups.empty()) {
    out += "<p>还没有备份。</p>";
  } else {
    out +=
        "<form method='post' action='maintain.asp' onsubmit=\"return confirm('用所选备份覆盖当前数据库？')\">"
        "<input type='hidden' name='op' value='restore'><input type='hidden' name='_token' value='" +
        html(user->token) + "'><select name='bak' id='bakList'>";
    for (auto it = backups.rbegin(); it != backups.rend(); ++it) {
      out += "<option value='" + html(*it) + "'>" + html(*it) + "</option>";
    }
    out += "</select> <button type='submit' id='btnRestore'>恢复</button></form>";
  }
  out += "</section>";

  out +=
      "<section class='card'><h2>压缩</h2><p>整理数据库文件，收回已删除记录占用的空间。</p>"
      "<form method='post' action='maintain.asp'><input type='hidden' name='op' value='compact'><input "
      "type='hidden' name='_token' value='" +
      html(user->token) +
      "'>"
      "<button type='submit' id='btnCompact'>压缩数据库</button></form></section>";

  out +=
      "<section class='card'><h2>导入用户</h2><p>从 database/userinfo.xls 的工作表“用户”导入账号；"
      "除系统管理员外的现有用户将被替换。</p>"
      "<form method='post' action='maintain.asp' onsubmit=\"return confirm('替换现有用户？')\">"
      "<input type='hidden' name='op' value='import'><input type='hidden' name='_token' value='" +
      html(user->token) +
      "'><button type='submit' id='btnImport'>导入</button>"
      "</form></section>";

  out +=
      "<section class='card'><h2>新建数据库</h2><form method='post' action='maintain.asp'>"
      "<input type='hidden' name='op' value='create'><input type='hidden' name='_token' value='" +
      html(user->token) +
      "'>database/<input name='name' required "
      "pattern='[A-Za-z0-9_]+' maxlength='32' placeholder='文件名'>.mdb "
      "<button type='submit' id='btnCreate'>建立</button></form><p>数据库文件：";
  for (std::size_t i = 0; i < files.size(); ++i) out += (i ? "、" : "") + html(files[i]);
  out += "</p></section>";
  out += frameBottom();
  env.write(out);
}

// ---------------------------------------------------------------- profile

// The user's own name and sex, sent as a query string and stored by
// dbWriteGet, which writes every key but id, t and ac into the column of
// that name: the page lets through only the keys it expects.
void profileSave(PageEnv& env, const User& user) {
  for (const std::string& key : env.request().queryString().keys()) {
    if (key != "id" && key != "t" && key != "ac" && key != "姓名" && key != "性别")
      return refuse(env, "参数错误！");
  }
  const std::string id = env.query("id");
  if (!isKey(id) || id != std::to_string(user.id)) return refuse(env, "禁止非法访问！");
  const std::string name = kvdn::trimBlanks(env.query("姓名"));
  if (!isPlainText(name)) return refuse(env, "请填写姓名（不能含 < > & 引号）！");
  const std::string sex = kvdn::trimBlanks(env.query("性别"));
  if (sex != "男" && sex != "女") return refuse(env, "请选择性别！");
  if (!hasReferrer(env)) return;
  Variant ok = env.db->dbWriteGet(Variant("用户"));
  if (env.ended()) return;
  if (ok.toBool()) {
    env.session().setValue("name", Variant(name));
    setFlash(env, "资料已保存。");
  } else {
    setFlash(env, "保存失败。");
  }
  env.redirect("profile.asp");
}

void profilePage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  // The save request carries a query, so menuNav would not find the page;
  // the page is open to every role and only writes the user's own record.
  // It is a POST whose query holds the values (site.js builds it from the
  // form) and whose body holds the token, which the writer never sees.
  if (env.query("ac") == "save") {
    if (!isPost(env)) return refuse(env, "参数错误！");
    if (!checkToken(env, *user)) return;
    return profileSave(env, *user);
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
  out += env.db
             ->xiangxi(Variant("select u.ID, " + htmlColumn("u.登录账号") + " as 登录账号, " +
                               htmlColumn("u.姓名") + " as 姓名, " + htmlColumn("u.性别") + " as 性别, " +
                               htmlColumn("r.名称") +
                               " as 角色, u.注册时间 from 用户 u left join 用户身份 r "
                               "on r.ID=u.角色 where u.ID=" +
                               id),
                       Variant(90), Variant(260), Variant("账号信息"))
             .joinText();
  Variant sexes("男,女");
  out +=
      "<form class='card narrow' method='post' action='profile.asp' id='profileForm'><h2>修改资料</h2>"
      "<input type='hidden' name='_token' value='" +
      html(user->token) + "'><input type='hidden' name='id' value='" + id +
      "'><input type='hidden' name='ac' value='save'>"
      "<input type='hidden' name='t' value=''>"
      "<label>姓名<input name='姓名' required maxlength='40' value='" +
      html(name.joinText()) +
      "'></label>"
      "<label>性别<select name='性别' required>" +
      env.db->strDropDownList(sexes, sex).joinText() +
      "</select></label><div class='buttons'><button type='submit'>保存</button></div></form>";
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
  host.addPage("/", homeRedirect);
  host.addPage("/admin/", homeRedirect);
  host.addPage("/admin", homeRedirect);
  host.addPage("/ping.asp", pingPage);
  host.addPage("/favicon.ico", [](PageEnv& env) {
    env.redirect("/static/favicon.svg");
  });
  host.addPage("/admin/health.asp", healthPage);
}

}  // namespace site
