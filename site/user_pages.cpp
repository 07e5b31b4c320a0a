// Login, logout, the home page and the user list with its dialogs.
#include <iostream>
#include <map>
#include <mutex>
#include <string>

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

// ---------------------------------------------------------------- login

// Where a login returns to: a page of this folder with its query
// ("user.asp?ac=add"), never another site or folder; "" for the home page.
std::string returnPage(std::string_view back) {
  const std::size_t dot = back.find(".asp");
  if (back.size() > 200 || dot == std::string_view::npos || dot == 0) return {};
  for (std::size_t i = 0; i < dot; ++i) {
    if (back[i] < 'a' || back[i] > 'z') return {};
  }
  std::string_view query = back.substr(dot + 4);
  if (!query.empty() && query[0] != '?') return {};
  for (char c : query) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::string_view("?=&_%.-").find(c) != std::string_view::npos;
    if (!ok) return {};
  }
  const std::string page(back.substr(0, dot + 4));
  if (page == "login.asp" || page == "logout.asp") return {};
  return std::string(back);
}

std::string loginForm(std::string_view message, std::string_view account, std::string_view back = {}) {
  std::string out = pageHead("登录");
  out +=
      "<body class='loginBody'><form class='loginBox' method='post' action='login.asp'><h1>后台管理系统</h1>";
  if (!message.empty()) out += "<p class='error' id='loginError' role='alert'>" + html(message) + "</p>";
  const std::string page = returnPage(back);
  if (!page.empty()) out += "<input type='hidden' name='back' value='" + html(page) + "'>";
  // A login posted from another site is refused by its origin (sameOrigin):
  // there is no session, and so no token, before the login.
  out += "<label>登录账号<input name='登录账号' autocomplete='username' required value='" + html(account) +
         "'></label><label>密码<input type='password' name='密码' autocomplete='current-password' "
         "required></label>"
         "<button type='submit'>登录</button></form></body></html>";
  return out;
}

void loginPage(PageEnv& env) {
  if (!isPost(env)) {
    env.write(loginForm("", "", env.query("back")));
    return;
  }
  if (!sameOrigin(env)) return;
  const std::string account = kvdn::trimBlanks(env.form("登录账号"));
  const std::string password = env.form("密码");
  const std::string back = returnPage(env.form("back"));
  if (!isAccount(account) || password.empty()) {
    env.write(loginForm("请输入正确的登录账号和密码！", isAccount(account) ? account : "", back));
    return;
  }
  // The peer's own address (a forwarded-for header is the client's word),
  // or what the trusted proxy says it forwarded for.
  const std::string address = clientAddress(env);
  LoginThrottle& throttle = loginThrottle();
  if (const long long wait = throttle.waitSeconds(account, address, LoginThrottle::Clock::now()); wait > 0) {
    std::cerr << "kvdn-site: login refused for account '" << account << "' from " << address
              << ": too many failures, " << wait << " s to wait" << std::endl;
    env.status(429);
    env.write(loginForm("登录失败次数过多，请 " + std::to_string(wait) + " 秒后再试！", account, back));
    return;
  }
  if (!openDatabase(env)) return;
  // The account was checked above: letters, digits and _-.@ only.
  auto rs = env.db->conn->execute("select ID,密码,角色,姓名 from 用户 where " + accountIs(account));
  bool ok = false;
  User user;
  if (!rs->eof()) {
    const std::string stored = rs->fields().item(1).value().joinText();
    const std::string typed = env.db->md5(Variant(env.db->md5(Variant(password))));
    if (!stored.empty() && stored == typed) {
      ok = true;
      user.id = rs->fields().item(0).value().toInt32();
      user.role = rs->fields().item(2).value().toInt32();
      user.name = rs->fields().item(3).value().joinText();
    }
  }
  rs->close();
  if (!ok) {
    const LoginThrottle::Counts counts = throttle.failed(account, address, LoginThrottle::Clock::now());
    std::cerr << "kvdn-site: login failed for account '" << account << "' from " << address << " ("
              << counts.account << " failures of the account, " << counts.address << " from the address)"
              << std::endl;
    const LoginThrottle::AuditTurn turn = throttle.auditFailure(LoginThrottle::Clock::now());
    if (turn.unauditedBefore > 0)
      audit(env, "-", "登录失败",
            "此前一分钟内另有 " + std::to_string(turn.unauditedBefore) + " 次登录失败未逐条记录");
    if (turn.write) audit(env, account, "登录失败", "密码错误或账号不存在");
    env.write(loginForm("登录账号或密码错误！", account, back));
    return;
  }
  throttle.succeeded(account);
  // A new session id: one planted before the login never becomes logged in.
  env.renewSession();
  rememberLogin(env, user.id);
  audit(env, account, "登录", "登录成功");
  env.redirect(back.empty() ? "index.asp" : back);
}

// GET (the menu's entry) asks; the POST with the token logs out and drops
// the session.
void logoutPage(PageEnv& env) {
  if (env.session().value("uid").isEmpty()) {
    env.session().abandon();
    env.redirect("login.asp");
    return;
  }
  const std::string token = env.session().value("token").joinText();
  if (!isPost(env)) {
    env.write(
        pageHead("退出登录") +
        "<body class='loginBody'><form class='loginBox' method='post' action='logout.asp'><h1>退出登录</h1>"
        "<input type='hidden' name='" +
        std::string(kTokenKey) + "' value='" + html(token) +
        "'><button type='submit' id='btnLogout'>确定退出</button></form></body></html>");
    return;
  }
  User user;
  user.token = token;
  if (!checkToken(env, user)) return;
  env.session().abandon();
  env.redirect("login.asp");
}

// ---------------------------------------------------------------- home

void indexPage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  Variant menu = env.db->menuNav(Variant(user->role));
  if (env.ended()) return;
  std::string out = frameTop(*user, "首页", menu.joinText());
  out += takeFlash(env);
  const std::string users = env.db->dbShsl(Variant("select count(*) from 用户")).joinText();
  const std::string roles = env.db->dbShsl(Variant("select count(*) from 用户身份")).joinText();
  const std::string roleName =
      env.db->dbShsl(Variant("select 名称 from 用户身份 where ID=" + std::to_string(user->role))).joinText();
  out += "<p class='lead'>欢迎，" + html(user->name) + "！您的身份是" + html(roleName) + "。</p>";
  out += "<ul class='stats'><li><b>" + html(users) + "</b>用户</li><li><b>" + html(roles) +
         "</b>角色</li></ul><p>请从左侧菜单选择功能。</p>";
  out += frameBottom();
  env.write(out);
}

// ---------------------------------------------------------------- users

// Whether any of the users keyed `ids` (checked with isKeyList) has the
// administrator role: only administrators change or delete those.
bool holdsAdmins(PageEnv& env, const std::string& ids) {
  return env.db->dbShsl(Variant("select count(*) from 用户 where 角色=1 and ID in (" + ids + ")"))
             .joinText() != "0";
}

// The site must keep at least one administrator: nothing in it could make
// another. The early check (for a plain message) and the write are made
// under this lock within the process; writeKeepingAnAdministrator holds
// across processes.
std::mutex& userWrites() {
  static std::mutex lock;
  return lock;
}

// Runs the record writer on 用户 so that an administrator is left even when
// another process demotes or deletes one at the same moment: the write and
// the count of administrators after it are one transaction, which first
// takes the write lock on every administrator row (on the database file its
// one writer's lock; on a server a concurrent change of those rows waits
// for this one and then sees it). None left: rolled back and refused.
// Returns what dbWrite returned (False when refused; the response has then
// ended).
Variant writeKeepingAnAdministrator(PageEnv& env) {
  kvdn::Connection& conn = *env.db->conn;
  conn.beginTrans();
  try {
    conn.execute("update 用户 set 角色=角色 where 角色=1");
    Variant ok = env.db->dbWrite(Variant("用户"));
    if (env.ended() || !ok.toBool()) {
      conn.rollbackTrans();
      return ok;
    }
    if (env.db->dbShsl(Variant("select count(*) from 用户 where 角色=1")).joinText() == "0") {
      conn.rollbackTrans();
      refuse(env, "不能移除最后一个管理员！");
      return Variant(false);
    }
    conn.commitTrans();
    return ok;
  } catch (...) {
    try {
      conn.rollbackTrans();
    } catch (const kvdn::ComError&) {
      // Already ended with the failure.
    }
    throw;
  }
}

// Whether the users keyed `ids` (checked with isKeyList) hold every user
// with the administrator role.
bool holdsLastAdmin(PageEnv& env, const std::string& ids) {
  return env.db->dbShsl(Variant("select count(*) from 用户 where 角色=1 and ID not in (" + ids + ")"))
                 .joinText() == "0" &&
         holdsAdmins(env, ids);
}

// ---- The list's state: search, sort, page size (request text never goes
// into SQL: the term is stored bound, sort and size come from fixed lists).

struct ListState {
  std::string term;   // search text, "" for all
  std::string order;  // the ORDER BY column list
  std::string sortKey;
  bool descending = false;
  int size = 10;
};

struct SortColumn {
  const char* key;
  const char* column;
  bool chinese;  // ordered (and compared) by nameCollation()
};
constexpr SortColumn kUserSorts[] = {{"account", "u.登录账号", false},
                                     {"name", "u.姓名", true},
                                     {"sex", "u.性别", true},
                                     {"role", "u.角色", false},
                                     {"time", "u.注册时间", false}};

// The column with its collation, for ORDER BY and the comparisons that
// locate a row in that order.
std::string sortTerm(const SortColumn& c) {
  return std::string(c.column) + (c.chinese ? nameCollation() : std::string());
}
constexpr int kPageSizes[] = {10, 20, 50, 100};

// A search term: up to 40 characters (120 bytes), no control characters.
bool isSearchTerm(std::string_view text) {
  if (text.size() > 120) return false;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

ListState listState(PageEnv& env) {
  ListState state;
  state.term = kvdn::trimBlanks(env.query("q"));
  if (!isSearchTerm(state.term)) state.term.clear();
  const std::string sort = env.query("sort");
  state.descending = env.query("dir") == "desc";
  state.order = "u.ID";
  for (const SortColumn& c : kUserSorts) {
    if (sort == c.key) {
      state.sortKey = c.key;
      state.order = sortTerm(c) + (state.descending ? " desc" : "") + ", u.ID";
    }
  }
  const std::string size = env.query("size");
  for (int n : kPageSizes) {
    if (size == std::to_string(n)) state.size = n;
  }
  return state;
}

// The key of this session's stored user search.
std::string searchKey(const User& user) {
  return user.token + "u";
}

// "where ..." for the list's search ("" without one); stores the term.
std::string userWhere(PageEnv& env, const User& user, const ListState& state) {
  storeSearch(env, searchKey(user), state.term);
  const std::string filter = searchFilter(searchKey(user), state.term, {"u.登录账号", "u.姓名"});
  return filter.empty() ? std::string() : " where " + filter;
}

// The list: number column, add/modify links, delete boxes, pager. Names are
// escaped in the statement (the grid emits values as they are) and shortened
// with the grid's own token; the administrator role is marked by a class.
std::string userGrid(PageEnv& env, const User& user) {
  const ListState state = listState(env);
  const std::string sql = "select u.ID, " + htmlColumn("u.登录账号") + " as 登录账号, '{qzmLeft12_}' || " +
                          htmlColumn("u.姓名") + " || '{_qzmLeft}' as 姓名, " + htmlColumn("u.性别") +
                          " as 性别, " + htmlColumn("r.名称") +
                          " || case when u.角色=1 then "
                          "'{qzmClassadmin_}' else '' end as 角色, "
                          "u.注册时间 from 用户 u left join 用户身份 r on r.ID=u.角色" +
                          userWhere(env, user, state) + " order by " + state.order;
  return env.db
      ->dbSelect(Variant(sql), Variant(state.size), Variant(1), Variant("添加用户"), Variant(1),
                 Variant("修改"), Variant(1), Variant("tableWg"))
      .joinText();
}

// The page of the list (its search and order) that holds the user `id`,
// 1 when the search does not select it.
int pageOf(PageEnv& env, const User& user, const std::string& id) {
  const ListState state = listState(env);
  std::string where = userWhere(env, user, state);
  where += where.empty() ? " where " : " and ";
  std::string before = "u.ID<=" + id;
  for (const SortColumn& c : kUserSorts) {
    if (state.sortKey == c.key) {
      const std::string own = std::string("(select ") + (c.column + 2) + " from 用户 where ID=" + id + ")";
      before = "(" + sortTerm(c) + (state.descending ? ">" : "<") + own + " or (" + sortTerm(c) + "=" + own +
               " and u.ID<=" + id + "))";
    }
  }
  const std::string selected =
      env.db->dbShsl(Variant("select count(*) from 用户 u" + where + "u.ID=" + id)).joinText();
  if (selected == "0") return 1;
  const long long position =
      std::stoll(env.db->dbShsl(Variant("select count(*) from 用户 u" + where + before)).joinText());
  return position <= 0 ? 1 : static_cast<int>((position - 1) / state.size + 1);
}

// The list as CSV (UTF-8 with a byte-order mark, for spreadsheet programs):
// every user the search selects, in the list's order.
void userCsv(PageEnv& env, const User& user) {
  const ListState state = listState(env);
  auto rs = env.db->conn->execute(
      "select u.ID, u.登录账号, u.姓名, u.性别, r.名称, u.注册时间 from 用户 u "
      "left join 用户身份 r on r.ID=u.角色" +
      userWhere(env, user, state) + " order by " + state.order);
  std::string out = "\xEF\xBB\xBF编号,登录账号,姓名,性别,角色,注册时间\r\n";
  while (!rs->eof()) {
    for (int i = 0; i < 6; ++i) {
      out += i ? "," : "";
      out += csvCell(rs->fields().item(i).value().joinText());
    }
    out += "\r\n";
    rs->moveNext();
  }
  rs->close();
  env.header("Content-Type", "text/csv; charset=utf-8");
  env.header("Content-Disposition", "attachment; filename=\"users.csv\"");
  env.write(out);
}

void userList(PageEnv& env, const User& user) {
  Variant menu = env.db->menuNav(Variant(user.role));
  if (env.ended()) return;
  std::string out = frameTop(user, "用户管理", menu.joinText());
  out += takeFlash(env);
  const ListState state = listState(env);
  out +=
      "<div class='listTools'><form id='listSearch' role='search'><label>搜索 <input type='search' name='q' "
      "id='searchBox' maxlength='40' placeholder='登录账号或姓名' value='" +
      html(state.term) +
      "'></label><button type='submit'>搜索</button><a href='user.asp' id='clearSearch' class='clearSearch'" +
      std::string(state.term.empty() ? " hidden" : "") +
      ">清除搜索</a></form>"
      "<label>每页 <select id='pageSize' name='size'>";
  for (int n : kPageSizes) {
    out += "<option value='" + std::to_string(n) + "'" + (n == state.size ? " selected" : "") + ">" +
           std::to_string(n) + "</option>";
  }
  out +=
      "</select> 条</label><form id='jumpForm'><label>跳到第 <input type='number' name='page' id='jumpPage' "
      "min='1' value='1'> 页</label><button type='submit' class='secondary'>跳转</button></form>"
      "<span class='spacer'></span><a class='button' id='csvLink' href='?ac=csv' download>导出 CSV</a></div>";
  std::string grid = userGrid(env, user);
  if (env.ended()) return;
  out += "<div id='tableData' class='gridBox' data-sortable='1' data-url='?ac=call&amp;page=1'>" + grid +
         "</div>";
  out += frameBottom();
  env.write(out);
}

// What the add / modify dialog shows: the stored record's values, or what
// was posted when a save is refused (the typed values stay), with the
// refusal beside the field it concerns ("" key: the form as a whole).
struct DialogForm {
  std::string account, password, name, sex;
  Variant role = Variant(2);  // a new user is an operator unless chosen otherwise
  FieldErrors errors;
};

// A dialog document holding only a message and a way to close it: what a
// refused dialog request shows instead of an alert that would send the
// page behind the dialog back.
void dialogMessage(PageEnv& env, std::string_view title, std::string_view message) {
  env.write(pageHead(title) + "<body class='dlgBody'><p class='formError' role='alert' id='dlgError'>" +
            html(message) +
            "</p><div class='buttons'><button type='button' onclick='parent.closeModal()'>关闭</button></div>"
            "</body></html>");
}

// The add and modify dialogs: a small document shown in the page's dialog
// frame; the form posts back to the same address. The stored record is not
// repeated above the fields: the fields hold it.
void userDialog(PageEnv& env, const User& user, const std::string& ac, const DialogForm& form) {
  const std::string id = env.query("id");
  Variant sexes("男,女");
  const std::string sexOptions = env.db->strDropDownList(sexes, Variant(form.sex)).joinText();
  const std::string roleOptions =
      env.db
          ->rsDropDownList(Variant("select ID," + htmlColumn("名称") + " from 用户身份 order by ID"),
                           form.role, Variant(0))
          .joinText();
  auto invalid = [&](const std::string& field) { return invalidField(form.errors, field); };
  auto message = [&](const std::string& field) { return fieldMessage(form.errors, field); };
  std::string out = pageHead(ac == "add" ? "添加用户" : "修改用户");
  // The dialog carries the session's token: a login made inside the dialog
  // (an expired session) gives the page behind it the new one.
  out += "<body class='dlgBody' data-token='" + html(user.token) + "'>";
  // The token goes in the address: every posted field becomes a column.
  out += "<form class='dlgForm' method='post' action='" +
         std::string(ac == "add" ? "?ac=add" : "?ac=modify&amp;id=" + id) + "&amp;" + kTokenKey + "=" +
         html(user.token) + "'>";
  if (form.errors.count("form"))
    out += "<p class='formError' role='alert' id='err_form'>" + html(form.errors.at("form")) + "</p>";
  out +=
      "<label>登录账号<input name='登录账号' id='f_account' required maxlength='32' "
      "pattern='[A-Za-z0-9_.@\\-]+' autocomplete='off' value='" +
      html(form.account) + "'" + invalid("account") + "></label>" + message("account");
  out +=
      "<label>密码<input type='password' name='密码' id='f_password' autocomplete='new-password' "
      "minlength='6' maxlength='64' value='" +
      html(form.password) + "'" + std::string(ac == "add" ? " required" : " placeholder='不修改请留空'") +
      invalid("password") + "></label>" + message("password");
  out += "<label>姓名<input name='姓名' id='f_name' required maxlength='40' value='" + html(form.name) + "'" +
         invalid("name") + "></label>" + message("name");
  out += "<label>性别<select name='性别' id='f_sex' required" + invalid("sex") + ">" + sexOptions +
         "</select></label>" + message("sex");
  out += "<label>角色<select name='角色' id='f_role' required" + invalid("role") + ">" + roleOptions +
         "</select></label>" + message("role");
  // The writer replaces this value by the server's clock.
  if (ac == "add") out += "<input type='hidden' name='注册时间' value='servertime'>";
  out +=
      "<div class='buttons'><button type='submit' name='submit' value='保存'>保存</button>"
      "<button type='button' onclick='parent.closeModal()'>取消</button></div></form></body></html>";
  env.write(out);
}

// The dialog as first opened: the stored record (modify) or a blank form.
void userDialog(PageEnv& env, const User& user, const std::string& ac) {
  const std::string id = env.query("id");
  DialogForm form;
  if (ac == "modify") {
    if (!isKey(id)) return dialogMessage(env, "修改用户", "参数错误！");
    if (user.role != 1 && holdsAdmins(env, id))
      return dialogMessage(env, "修改用户", "只有管理员可以修改管理员！");
    auto rs = env.db->conn->execute("select 登录账号,姓名,性别,角色 from 用户 where ID=" + id);
    if (rs->eof()) {
      rs->close();
      return dialogMessage(env, "修改用户", "对不起，无记录！");
    }
    form.account = rs->fields().item(0).value().joinText();
    form.name = rs->fields().item(1).value().joinText();
    form.sex = rs->fields().item(2).value().joinText();
    form.role = rs->fields().item(3).value();
    rs->close();
  }
  userDialog(env, user, ac, form);
}

// The user's fields as the audit trail names them: account, name, sex and
// the role's name.
std::map<std::string, std::string> userFields(PageEnv& env, const std::string& id) {
  std::map<std::string, std::string> out;
  auto rs = env.db->conn->execute(
      "select u.登录账号, u.姓名, u.性别, r.名称 from 用户 u left join 用户身份 r on r.ID=u.角色 where "
      "u.ID=" +
      id);
  if (!rs->eof()) {
    const char* names[] = {"登录账号", "姓名", "性别", "角色"};
    for (int i = 0; i < 4; ++i) out[names[i]] = rs->fields().item(i).value().joinText();
  }
  rs->close();
  return out;
}

// "登录账号 a → b；姓名 ..." for every field that differs ("" when none).
std::string changedFields(const std::map<std::string, std::string>& before,
                          const std::map<std::string, std::string>& after) {
  std::string out;
  for (const char* field : {"登录账号", "姓名", "性别", "角色"}) {
    auto b = before.find(field);
    auto a = after.find(field);
    const std::string old = b == before.end() ? "" : b->second;
    const std::string now = a == after.end() ? "" : a->second;
    if (old == now) continue;
    out += (out.empty() ? "" : "；") + std::string(field) + " " + old + " → " + now;
  }
  return out;
}

// Checks what dbWrite would store as posted, then stores it. A refusal of
// what was typed comes back as the dialog itself, the message beside the
// field and the typed values kept.
void userSave(PageEnv& env, const User& user, const std::string& ac) {
  const std::string id = env.query("id");
  if (ac == "modify") {
    if (!isKey(id)) return dialogMessage(env, "修改用户", "参数错误！");
    if (user.role != 1 && holdsAdmins(env, id))
      return dialogMessage(env, "修改用户", "只有管理员可以修改管理员！");
  }
  // Every posted field becomes a column of the same name: allow only these.
  for (const std::string& key : env.request().form().keys()) {
    if (key != "登录账号" && key != "密码" && key != "姓名" && key != "性别" && key != "角色" &&
        key != "注册时间" && key != "submit") {
      return refuse(env, "表单内容有误！");
    }
  }
  DialogForm form;
  form.account = kvdn::trimBlanks(env.form("登录账号"));
  form.password = env.form("密码");
  form.name = kvdn::trimBlanks(env.form("姓名"));
  form.sex = kvdn::trimBlanks(env.form("性别"));
  const std::string role = kvdn::trimBlanks(env.form("角色"));
  if (isKey(role)) form.role = Variant(std::stoi(role));
  auto& errors = form.errors;
  if (!isAccount(form.account)) errors["account"] = "登录账号只能由字母、数字和 _ - . @ 组成！";
  // The record writer trims what it stores and replaces its magic words
  // before it digests: a password it would change is refused, so that the
  // password stored is the one typed.
  const std::string& password = form.password;
  if (ac == "add" && password.empty()) errors["password"] = "请填写密码！";
  if (!password.empty()) {
    const std::string lower = kvdn::asciiLower(password);
    if (password != kvdn::trimBlanks(password) || lower == "servertime" || lower == "servergetip" ||
        lower == "makedanhao")
      errors["password"] = "密码不能以空格开头或结尾，也不能是 servertime、servergetip、makedanhao！";
    else if (password.size() < 6 || password.size() > 64)
      errors["password"] = "密码长度应为 6 到 64 个字符！";
  }
  if (!isPlainText(form.name)) errors["name"] = "请填写姓名（不能含 < > & 引号）！";
  if (form.sex != "男" && form.sex != "女") errors["sex"] = "请选择性别！";
  if (!isKey(role) ||
      env.db->dbShsl(Variant("select count(*) from 用户身份 where ID=" + role)).joinText() == "0")
    errors["role"] = "请选择角色！";
  else if (role == "1" && user.role != 1)
    errors["role"] = "只有管理员可以指定管理员角色！";
  std::lock_guard writing(userWrites());
  if (!errors.count("role") && ac == "modify" && role != "1" && holdsLastAdmin(env, id))
    errors["role"] = "不能移除最后一个管理员！";
  if (!errors.count("account")) {
    std::string duplicate = "select count(*) from 用户 where " + accountIs(form.account);
    if (ac == "modify") duplicate += " and ID<>" + id;
    if (env.db->dbShsl(Variant(duplicate)).joinText() != "0") errors["account"] = "该登录账号已存在！";
  }
  if (!errors.empty()) return userDialog(env, user, ac, form);
  if (!hasReferrer(env)) return;

  const auto before = ac == "modify" ? userFields(env, id) : std::map<std::string, std::string>();
  Variant ok = writeKeepingAnAdministrator(env);
  if (env.ended()) return;
  if (ok.toBool()) {
    // A change of the own account or password: this session goes on as the
    // new one (every other session of the account ends).
    if (ac == "modify" && id == std::to_string(user.id)) rememberLogin(env, user.id);
    // The account was checked above (isAccount).
    const std::string stored =
        ac == "add"
            ? env.db->dbShsl(Variant("select max(ID) from 用户 where " + accountIs(form.account))).joinText()
            : id;
    std::string detail = (ac == "add" ? "添加用户 " : "修改用户 ") + form.account + "（ID " + stored + "）";
    if (ac == "modify") {
      std::string changes = changedFields(before, userFields(env, id));
      if (!password.empty()) changes += (changes.empty() ? "" : "；") + std::string("密码已修改");
      detail += "：" + (changes.empty() ? std::string("没有改动") : changes);
    }
    audit(env, user.account, ac == "add" ? "添加" : "修改", detail);
    env.write(std::string("<script>parent.dialogDone('") + (ac == "add" ? "添加成功！" : "修改成功！") +
              "', '" + (isKey(stored) ? stored : "") + "');</script>");
  } else {
    env.write("<script>parent.dialogDone('没有保存任何内容。');</script>");
  }
}

// The delete's refusals, shown on the list (the request ran in the dialog's
// hidden frame): a message, the list stays as it is.
void deleteRefused(PageEnv& env, std::string_view message) {
  // Messages are the site's own constants: no quote or markup in them.
  env.write("<script>parent.dialogFailed('" + std::string(message) + "');</script>");
}

void userDelete(PageEnv& env, const User& user) {
  const std::string ids = env.form("delids");
  if (ids.empty()) return deleteRefused(env, "请先勾选要删除的记录！");
  if (!isKeyList(ids)) return deleteRefused(env, "参数错误！");
  int count = 0;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    std::size_t comma = ids.find(',', pos);
    std::string item = kvdn::trimBlanks(ids.substr(pos, comma == std::string::npos ? comma : comma - pos));
    if (item == "1") return deleteRefused(env, "不能删除系统管理员！");
    ++count;
    pos = comma == std::string::npos ? comma : comma + 1;
  }
  if (user.role != 1 && holdsAdmins(env, ids)) return deleteRefused(env, "只有管理员可以删除管理员！");
  if (!hasReferrer(env)) return;
  std::lock_guard writing(userWrites());
  if (holdsLastAdmin(env, ids)) return deleteRefused(env, "不能移除最后一个管理员！");
  // The accounts named in the trail: after the delete only the keys are left.
  std::string names;
  auto rs = env.db->conn->execute("select ID, 登录账号 from 用户 where ID in (" + ids + ") order by ID");
  for (; !rs->eof(); rs->moveNext()) {
    names += (names.empty() ? "" : "、") + rs->fields().item(1).value().joinText() + "（ID " +
             rs->fields().item(0).value().joinText() + "）";
  }
  rs->close();
  Variant ok = writeKeepingAnAdministrator(env);
  if (env.ended()) return;
  if (ok.toBool()) {
    audit(env, user.account, "删除", "删除 " + std::to_string(count) + " 个用户：" + names);
    env.write("<script>parent.dialogDone('已删除 " + std::to_string(count) + " 条记录！');</script>");
  }
}

void userPage(PageEnv& env) {
  auto user = requireLogin(env);
  if (!user || !openDatabase(env)) return;
  const std::string ac = kvdn::asciiLower(env.query("ac"));
  if (ac.empty()) return userList(env, *user);
  // Requests with a query: menuNav keys pages by file name and query, so it
  // would not find this page; check the role's right the same way here.
  if (!roleMayOpen(env, user->role, "user.asp")) return refuse(env, "对不起,你没有该权限!");
  if (ac == "call") {
    std::string grid = userGrid(env, *user);
    if (!env.ended()) env.write(grid);
  } else if (ac == "alive") {
    // The dialogs ask before they post: a session that ended meanwhile is
    // answered by the login page (requireLogin) instead of this.
    env.write("ok");
  } else if (ac == "locate") {
    const std::string id = env.query("mark");
    env.write(std::to_string(isKey(id) ? pageOf(env, *user, id) : 1));
  } else if (ac == "csv") {
    userCsv(env, *user);
  } else if (ac == "add" || ac == "modify") {
    if (isPost(env)) {
      if (!checkToken(env, *user)) return;
      userSave(env, *user, ac);
    } else {
      userDialog(env, *user, ac);
    }
  } else if (ac == "del" && isPost(env)) {
    if (!checkToken(env, *user)) return;
    userDelete(env, *user);
  } else {
    refuse(env, "参数错误！");
  }
}

}  // namespace

void registerUserPages(kvdn::HttpHost& host) {
  host.addPage("/admin/login.asp", loginPage);
  host.addPage("/admin/logout.asp", logoutPage);
  host.addPage("/admin/index.asp", indexPage);
  host.addPage("/admin/user.asp", userPage);
}

}  // namespace site
