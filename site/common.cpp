// Helpers every page of the site shares: login, database, checks, the frame.
#include <arpa/inet.h>

#include <iostream>
#include <string>

#include "kvdn/data.h"
#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/text.h"
#include "kvdn/variant.h"
#include "site.h"

namespace site {

using kvdn::PageEnv;
using kvdn::Variant;

std::optional<User> requireLogin(PageEnv& env) {
  Variant id = env.session().value("uid");
  if (id.isEmpty() || id.isNull()) {
    env.redirect("login.asp");
    return std::nullopt;
  }
  User user;
  user.id = id.toInt32();
  user.token = env.session().value("token").joinText();
  if (!openDatabase(env)) return std::nullopt;
  // The session only says who logged in; what the account may do is what
  // the database says now, and only while the row still holds that account
  // with the password it logged in with.
  auto rs =
      env.db->conn->execute("select 角色,姓名,登录账号,密码 from 用户 where ID=" + std::to_string(user.id));
  bool found = !rs->eof();
  if (found) {
    user.role = rs->fields().item(0).value().toInt32();
    user.name = rs->fields().item(1).value().joinText();
    user.account = rs->fields().item(2).value().joinText();
    if (user.name.empty()) user.name = user.account;
    const std::string stamp = accountStamp(env, rs->fields().item(3).value().joinText());
    found = kvdn::iequals(user.account, env.session().value("account").joinText()) &&
            stamp == env.session().value("stamp").joinText();
  }
  rs->close();
  if (!found || user.token.empty()) {
    env.session().abandon();
    env.redirect("login.asp");
    return std::nullopt;
  }
  return user;
}

std::string accountStamp(PageEnv& env, std::string_view storedPassword) {
  return env.db->md5(Variant("session:" + std::string(storedPassword)));
}

void rememberLogin(PageEnv& env, int id) {
  auto rs = env.db->conn->execute("select 角色,姓名,登录账号,密码 from 用户 where ID=" + std::to_string(id));
  if (rs->eof()) {
    rs->close();
    return;
  }
  const std::string account = rs->fields().item(2).value().joinText();
  const std::string name = rs->fields().item(1).value().joinText();
  env.session().setValue("uid", Variant(id));
  env.session().setValue("role", Variant(rs->fields().item(0).value().toInt32()));
  env.session().setValue("name", Variant(name.empty() ? account : name));
  env.session().setValue("account", Variant(account));
  env.session().setValue("stamp", Variant(accountStamp(env, rs->fields().item(3).value().joinText())));
  rs->close();
  if (env.session().value("token").joinText().empty()) env.session().setValue("token", Variant(newToken()));
}

std::string newToken() {
  return kvdn::newRandomId();
}

bool checkToken(PageEnv& env, const User& user) {
  std::string sent = env.form(kTokenKey);
  if (sent.empty()) sent = env.query(kTokenKey);
  // Compared in full whatever differs first: the time taken tells nothing.
  bool same = !user.token.empty() && sent.size() == user.token.size();
  unsigned char diff = 0;
  for (std::size_t i = 0; same && i < sent.size(); ++i)
    diff |= static_cast<unsigned char>(sent[i] ^ user.token[i]);
  if (same && diff == 0) return true;
  env.status(403);
  refuse(env, "页面已过期或来源不明，请刷新页面后重试！");
  return false;
}

namespace {

std::string& trustedProxy() {
  static std::string address;
  return address;
}

bool isIpAddress(const std::string& text) {
  unsigned char buffer[sizeof(in6_addr)];
  return !text.empty() &&
         (inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1);
}

}  // namespace

bool setTrustedProxy(const std::string& address) {
  if (!address.empty() && !isIpAddress(address)) return false;
  trustedProxy() = address;
  return true;
}

std::string clientAddress(PageEnv& env) {
  std::string peer = env.request().serverVariable("REMOTE_ADDR");
  if (trustedProxy().empty() || peer != trustedProxy()) return peer;
  const std::string forwarded = env.request().serverVariable("HTTP_X_FORWARDED_FOR");
  const std::size_t comma = forwarded.rfind(',');
  const std::string last =
      kvdn::trimBlanks(comma == std::string::npos ? forwarded : forwarded.substr(comma + 1));
  return isIpAddress(last) ? last : peer;
}

bool sameOrigin(PageEnv& env) {
  // "scheme://host[:port]" or a full address: the part between "//" and
  // the next "/" must be the Host the request was sent to.
  auto authority = [](const std::string& address) -> std::string {
    const std::size_t start = address.find("://");
    if (start == std::string::npos) return {};
    const std::size_t from = start + 3;
    const std::size_t end = address.find_first_of("/?#", from);
    return kvdn::asciiLower(address.substr(from, end == std::string::npos ? std::string::npos : end - from));
  };
  const std::string host = kvdn::asciiLower(env.request().serverVariable("HTTP_HOST"));
  std::string origin = env.request().serverVariable("HTTP_ORIGIN");
  if (origin.empty() || origin == "null") origin = env.request().serverVariable("HTTP_REFERER");
  if (!host.empty() && authority(origin) == host) return true;
  env.status(403);
  refuse(env, "禁止非法访问！");
  return false;
}

namespace {
std::string& serverConnectionString() {
  static std::string text;
  return text;
}
}  // namespace

void useServerDatabase(std::string connectionString) {
  serverConnectionString() = std::move(connectionString);
}
const std::string& serverDatabase() {
  return serverConnectionString();
}

bool openDatabase(PageEnv& env) {
  if (env.db->conn && env.db->conn->isOpen()) return true;
  // The page hands the object a connection of its own making (the string
  // connOpen would make for the file), so that a database that cannot be
  // opened gets the site's own page with a way back instead of bare text.
  std::string connection = serverDatabase();
  if (connection.empty()) {
    env.db->dbType = Variant("access");
    env.db->database = Variant(kDatabase);
    connection = "Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + env.server().mapPath(kDatabase);
  } else {
    env.db->dbType = Variant("");
  }
  auto conn = std::dynamic_pointer_cast<kvdn::Connection>(env.server().createObject("ADODB.Connection"));
  if (!conn) kvdn::raise(kvdn::err::kTypeMismatch);
  try {
    conn->open(connection);
  } catch (const kvdn::ComError& e) {
    std::cerr << "kvdn-site: the database cannot be opened: error " << e.number() << ": " << e.description()
              << std::endl;
    env.status(503);
    env.write(errorPage(503, env.request().serverVariable("URL")));
    env.response().end();
    return false;
  }
  env.db->conn = std::move(conn);
  return true;
}

std::string errorPage(int status, std::string_view path) {
  std::string title;
  std::string text;
  if (status == 404) {
    title = "页面不存在";
    text = "您要找的页面（" + html(path) + "）不存在，可能已被移走，或地址输入有误。";
  } else if (status == 503) {
    title = "数据库暂时无法打开";
    text =
        "系统无法打开数据库，可能正在维护或文件已损坏。请稍后再试；如果一直如此，请联系管理员。</p>"
        "<p class='hint'>管理员：数据库文件损坏时，先停止网站，用 <code>kvdn-site --root 网站目录 "
        "--list-backups</code> 列出备份，再用 <code>kvdn-site --root 网站目录 --restore 备份名</code> "
        "恢复（损坏的文件会先另存为 app.mdb.damaged-日期时间），然后重新启动网站。";
  } else {
    title = "页面出错了";
    text = "处理您的请求时出现了错误，已记录在服务器日志中。请返回重试；如果一直如此，请联系管理员。";
  }
  std::string out = pageHead(title);
  out +=
      "<body class='errorBody'><main class='errorBox' id='main'><p class='code'>" + std::to_string(status) +
      "</p><h1>" + title + "</h1><p>" + text +
      "</p><div class='buttons'><a class='button' href='javascript:history.back()' id='goBack'>返回上一页</a>"
      "<a class='button primary' href='/admin/index.asp' id='goHome'>回到首页</a></div></main></body></html>";
  return out;
}

bool isKey(std::string_view text) {
  if (text.empty() || text.size() > 10 || text[0] == '0') return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoll(std::string(text)) <= 2147483647LL;
}

bool isKeyList(std::string_view text) {
  std::size_t pos = 0;
  while (true) {
    std::size_t comma = text.find(',', pos);
    std::string_view item =
        text.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
    if (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    if (!isKey(item)) return false;
    if (comma == std::string_view::npos) return true;
    pos = comma + 1;
  }
}

bool isAccount(std::string_view text) {
  if (text.empty() || text.size() > 32) return false;
  for (char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.' || c == '@';
    if (!ok) return false;
  }
  return true;
}

bool isPlainText(std::string_view text) {
  if (text.empty() || text.size() > 120) return false;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == '<' || c == '>' || c == '&' || c == '"' || c == '\'') return false;
  }
  return true;
}

std::string accountIs(std::string_view account) {
  // The file's column compares without case (and keeps its index); a
  // server's compares exactly.
  if (serverDatabase().empty()) return "登录账号='" + sqlLiteral(account) + "'";
  return "lower(登录账号)='" + sqlLiteral(kvdn::asciiLower(account)) + "'";
}

std::string csvCell(std::string_view text) {
  std::string value(text);
  const std::size_t first = value.find_first_not_of(" \t\r\n");
  const bool formula =
      !value.empty() &&
      (value[0] == '\t' || value[0] == '\r' ||
       (first != std::string::npos && std::string_view("=+-@").find(value[first]) != std::string_view::npos));
  if (formula) value.insert(0, "'");
  return '"' + kvdn::replaceAll(value, "\"", "\"\"") + '"';
}

std::string sqlLiteral(std::string_view text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

std::string htmlColumn(std::string_view column) {
  return std::string(kvdn::kHtmlEncodeFunction) + "(" + std::string(column) + ")";
}

bool roleMayOpen(PageEnv& env, int role, std::string_view fileName) {
  if (role == 1) return true;
  // fileName is one of the site's own constants, never request text.
  Variant module =
      env.db->dbShsl(Variant("select ID from 功能模块 where 文件名='" + sqlLiteral(fileName) + "'"));
  if (module.isEmpty() || module.isNull()) return false;
  Variant mandatory = env.db->dbShsl(Variant("select 必选 from 功能模块 where ID=" + module.joinText()));
  if (!mandatory.isNull() && kvdn::numEq(mandatory, 1)) return true;
  Variant rights = env.db->dbShsl(Variant("select 权限 from 用户身份 where ID=" + std::to_string(role)));
  // Built by appending: GCC 12 at -O3 reports a false -Wrestrict for
  // "," + std::string temporaries.
  std::string list = ",";
  for (char c : rights.joinText()) {
    if (c != ' ') list += c;
  }
  list += ',';
  std::string item = ",";
  item += module.joinText();
  item += ',';
  return list.find(item) != std::string::npos;
}

std::string pageHead(std::string_view title) {
  return "<!DOCTYPE html><html lang='zh-CN'><head><meta charset='utf-8'>"
         "<meta name='viewport' content='width=device-width, initial-scale=1'><title>" +
         html(title) +
         " - 后台管理</title><link rel='icon' href='/static/favicon.svg' type='image/svg+xml'>"
         "<link rel='stylesheet' href='/static/site.css'>"
         "<script src='/static/site.js'></script></head>";
}

std::string frameTop(const User& user, std::string_view title, std::string_view menu) {
  std::string out = pageHead(title);
  out += "<body data-token='" + html(user.token) +
         "'><a class='skip' href='#main'>跳到正文</a><header class='topBar'><button type='button' "
         "class='menuToggle' id='menuToggle' aria-controls='sideNav' aria-expanded='false'>菜单</button>"
         "<span class='brand'>后台管理系统</span><span class='who'>";
  out += html(user.name);
  out += user.role == 1 ? "（管理员）" : "（操作员）";
  // Logging out changes the session: a POST with the token, like every
  // other change.
  out +=
      "<form method='post' action='logout.asp' class='logoutForm' id='logoutForm'><input type='hidden' "
      "name='" +
      std::string(kTokenKey) + "' value='" + html(user.token) +
      "'><button type='submit' class='linkButton'>退出</button></form></span></header>"
      "<div class='layout'><nav class='sideNav' id='sideNav' aria-label='功能菜单'>";
  out += menu;
  out += "</nav><main class='content' id='main'><h1>";
  out += html(title);
  out += "</h1>";
  return out;
}

std::string frameBottom() {
  return "</main></div><dialog id='dlg' class='dlg'><div class='dlgHead'><span id='dlgTitle'></span>"
         "<button type='button' class='dlgClose' onclick='closeModal()' title='关闭' "
         "aria-label='关闭'>×</button></div>"
         "<iframe name='dlgFrame' id='dlgFrame' title='对话框' "
         "src='about:blank'></iframe></dialog></body></html>";
}

void setFlash(PageEnv& env, std::string_view message, bool failed) {
  env.session().setValue("flash", Variant(message));
  env.session().setValue("flashFailed", Variant(failed ? "1" : ""));
}

std::string takeFlash(PageEnv& env) {
  std::string message = env.session().value("flash").joinText();
  if (message.empty()) return {};
  const bool failed = env.session().value("flashFailed").joinText() == "1";
  env.session().setValue("flash", Variant(""));
  env.session().setValue("flashFailed", Variant(""));
  // Announced when the page loads: a failure at once (alert), else politely.
  return failed ? "<div class='flash failed' id='flash' role='alert'>" + html(message) + "</div>"
                : "<div class='flash' id='flash' role='status'>" + html(message) + "</div>";
}

std::string invalidField(const FieldErrors& errors, const std::string& field) {
  if (!errors.count(field)) return "";
  return " aria-invalid='true' aria-describedby='err_" + field + "'";
}

std::string fieldMessage(const FieldErrors& errors, const std::string& field) {
  auto it = errors.find(field);
  if (it == errors.end()) return "";
  return "<span class='fieldError' role='alert' id='err_" + field + "'>" + html(it->second) + "</span>";
}

void refuse(PageEnv& env, std::string_view message) {
  env.db->alert(Variant(message), Variant(""));
}

bool hasReferrer(PageEnv& env) {
  if (!env.request().serverVariable("HTTP_REFERER").empty()) return true;
  refuse(env, "禁止非法访问！");
  return false;
}

}  // namespace site
