// The sample site's own checks: what a page lets through into SQL text and
// into the record writers, over a real host and a fresh database. The
// browser test covers the pages' normal use; this covers crafted requests.
#include <gtest/gtest.h>
#include <httplib.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#include "kvdn/db_class.h"
#include "kvdn/error.h"
#include "kvdn/http_host.h"
#include "kvdn/variant.h"
#include "site.h"
#include "support/site_fixture.h"

namespace site {
namespace {

TEST(SiteChecks, KeysAccountsAndPlainText) {
  struct Case {
    const char* text;
    bool key, keyList, account, plain;
  };
  const Case cases[] = {
      {"7", true, true, true, true},
      {"2147483647", true, true, true, true},
      {"2147483648", false, false, true, true},
      {"0", false, false, true, true},
      {"07", false, false, true, true},
      {"-3", false, false, true, true},
      {"3, 5", false, true, false, true},
      {"3,5", false, true, false, true},
      {"3,  5", false, false, false, true},
      {"3,", false, false, false, true},
      {"3) or (1=1", false, false, false, true},
      {"", false, false, false, false},
      {"zhang.wei@x-y_z", false, false, true, true},
      {"a'b", false, false, false, false},
      {"张伟", false, false, false, true},
      {"<b>", false, false, false, false},
      {"a&b", false, false, false, false},
      {"tab\there", false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(isKey(c.text), c.key);
    EXPECT_EQ(isKeyList(c.text), c.keyList);
    EXPECT_EQ(isAccount(c.text), c.account);
    EXPECT_EQ(isPlainText(c.text), c.plain);
  }
  EXPECT_FALSE(isAccount(std::string(33, 'a')));
  // What a spreadsheet program would run as a formula gets a leading "'".
  const std::pair<const char*, const char*> cells[] = {
      {"=1+1", "\"'=1+1\""},
      {"+1", "\"'+1\""},
      {"-2", "\"'-2\""},
      {"@SUM(A1)", "\"'@SUM(A1)\""},
      {"\t=1", "\"'\t=1\""},
      {"\rx", "\"'\rx\""},
      {"  =cmd", "\"'  =cmd\""},
      {"\n+1", "\"'\n+1\""},
      {" \t @x", "\"' \t @x\""},
      {"a=1", "\"a=1\""},
      {" a", "\" a\""},
      {"", "\"\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
  };
  for (const auto& [text, cell] : cells) EXPECT_EQ(csvCell(text), cell) << text;
  EXPECT_EQ(sqlLiteral("it's"), "it''s");
  EXPECT_EQ(html("<a href='x'>&\"</a>"), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;");
}

class SitePages : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.path();
    std::filesystem::create_directories(root / "static");
    ASSERT_TRUE(ensureDatabase(root));
    ASSERT_FALSE(ensureDatabase(root)) << "a second start must keep the database";
    kvdn::HttpHostOptions options;
    options.siteRoot = root;
    options.port = 0;
    options.threads = 2;
    host = std::make_unique<kvdn::HttpHost>(options);
    registerPages(*host);
    ASSERT_TRUE(host->bind());
    server = std::thread([this] { host->serve(); });
    client = std::make_unique<httplib::Client>("127.0.0.1", host->port());
    referer = "http://127.0.0.1:" + std::to_string(host->port()) + "/admin/user.asp";
    for (int i = 0; i < 100 && !client->Get("/ping.asp"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  void TearDown() override {
    host->stop();
    server.join();
  }

  // Logs in (from a page of the site itself); the session cookie, or ""
  // when the login was refused. `token` is then the session's form token.
  std::string login(const std::string& account, const std::string& password) {
    httplib::Params form{{"登录账号", account}, {"密码", password}};
    auto res = client->Post("/admin/login.asp", httplib::Headers{{"Origin", origin()}}, form);
    if (!res || res->status != 302) return "";
    std::string cookie = res->get_header_value("Set-Cookie");
    cookie = cookie.substr(0, cookie.find(';'));
    token = tokenOf(cookie);
    return cookie;
  }
  // The form token that the session's pages carry.
  std::string tokenOf(const std::string& cookie) const {
    auto home = client->Get("/admin/index.asp", httplib::Headers{{"Cookie", cookie}});
    std::smatch m;
    if (!home || !std::regex_search(home->body, m, std::regex("data-token='([0-9a-f]{32})'"))) return "";
    return m[1];
  }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(host->port()); }
  httplib::Headers as(const std::string& cookie, bool withReferer = true) const {
    httplib::Headers h{{"Cookie", cookie}};
    if (withReferer) h.emplace("Referer", referer);
    return h;
  }
  std::string userCount() const {
    auto rows = kvdn::testing::querySql(databaseFile(root), "select count(*) from 用户");
    return rows.at(0).at(0);
  }

  kvdn::testing::TempDir dir;
  std::filesystem::path root;
  std::unique_ptr<kvdn::HttpHost> host;
  std::thread server;
  std::unique_ptr<httplib::Client> client;
  std::string referer;
  std::string token;
};

TEST_F(SitePages, LoginChecksTheDoubleDigest) {
  EXPECT_NE(login(kAdminAccount, kAdminPassword), "");
  EXPECT_NE(login("ADMIN", kAdminPassword), "") << "accounts compare without letter case";
  EXPECT_EQ(login(kAdminAccount, "wrong"), "");
  EXPECT_EQ(login("admin' or '1'='1", "x"), "");
  auto res = client->Post("/admin/login.asp", httplib::Headers{{"Origin", origin()}},
                          httplib::Params{{"登录账号", "admin'--"}, {"密码", "x"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(res->body.find("请输入正确的登录账号和密码！"), std::string::npos);
  // Without a login every page sends the visitor to the login page.
  auto list = client->Get("/admin/user.asp");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->status, 302);
  EXPECT_EQ(list->get_header_value("Location"), "login.asp");
}

TEST_F(SitePages, CraftedWritesAreRefusedBeforeTheWriter) {
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  // How the refusal is shown: an alert for what no form of the site sends;
  // a typed value's refusal in the dialog itself, beside the field, with
  // what was typed kept; the delete's on the list (its request runs in the
  // dialog's hidden frame).
  constexpr const char* kAlert = "history.go(-1)";
  constexpr const char* kInPlace = "aria-invalid='true'";
  constexpr const char* kOnList = "<script>parent.dialogFailed('";
  struct Case {
    const char* target;
    httplib::Params form;
    bool referer;
    const char* message;
    const char* shownBy;
    const char* kept;  // a typed value the answer holds again
  };
  const Case cases[] = {
      {"/admin/user.asp?ac=del", {{"delids", "3) or (1=1"}}, true, "参数错误！", kOnList, ""},
      {"/admin/user.asp?ac=del", {{"delids", "3, 1"}}, true, "不能删除系统管理员！", kOnList, ""},
      {"/admin/user.asp?ac=del", {}, true, "请先勾选要删除的记录！", kOnList, ""},
      {"/admin/user.asp?ac=del", {{"delids", "3"}}, false, "禁止非法访问！", kAlert, ""},
      {"/admin/user.asp?ac=modify&id=3 or 1=1", {{"姓名", "x"}}, true, "参数错误！", "id='dlgError'", ""},
      {"/admin/user.asp?ac=modify&id=3",
       {{"登录账号", "zhangwei"}, {"姓名", "张伟"}, {"性别", "男"}, {"角色", "2"}, {"ID", "9"}},
       true,
       "表单内容有误！",
       kAlert,
       ""},
      {"/admin/user.asp?ac=add",
       {{"登录账号", "lina"}, {"密码", "secret1"}, {"姓名", "李娜二"}, {"性别", "女"}, {"角色", "2"}},
       true,
       "id='err_account'>该登录账号已存在！",
       kInPlace,
       "value='李娜二'"},
      {"/admin/user.asp?ac=add",
       {{"登录账号", "new1"}, {"密码", "secret1"}, {"姓名", "<script>"}, {"性别", "女"}, {"角色", "2"}},
       true,
       "id='err_name'>请填写姓名",
       kInPlace,
       "value='new1'"},
      {"/admin/user.asp?ac=add",
       {{"登录账号", "new1"}, {"密码", "secret1"}, {"姓名", "新"}, {"性别", "女"}, {"角色", "x"}},
       true,
       "id='err_role'>请选择角色！",
       kInPlace,
       "value='secret1'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    auto res = client->Post(std::string(c.target) + "&_token=" + token, as(admin, c.referer), c.form);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find(c.message), std::string::npos) << res->body;
    EXPECT_NE(res->body.find(c.shownBy), std::string::npos) << res->body;
    EXPECT_NE(res->body.find(c.kept), std::string::npos) << res->body;
  }
  EXPECT_EQ(userCount(), "24");
}

// A password typed in the user dialog is stored as typed: the record
// writer would trim it or replace a magic word before the digest, so such
// passwords are refused; a minimum length holds as for the own password.
TEST_F(SitePages, DialogPasswordsAreStoredAsTyped) {
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  struct Case {
    const char* password;
    const char* message;  // nullptr: stored, and the login takes it as typed
  };
  const Case cases[] = {
      {" lead1234", "不能以空格开头或结尾"},
      {"trail1234 ", "不能以空格开头或结尾"},
      {"servertime", "servertime"},
      {"ServerGetIP", "servertime"},
      {"makedanhao", "servertime"},
      {"abc12", "长度应为 6 到 64"},
      {"in side 12", nullptr},
      {"servertime1", nullptr},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    const std::string account = "pw" + std::to_string(++n);
    auto res = client->Post(
        "/admin/user.asp?ac=add&_token=" + token, as(admin),
        httplib::Params{
            {"登录账号", account}, {"密码", c.password}, {"姓名", "密码"}, {"性别", "男"}, {"角色", "2"}});
    ASSERT_TRUE(res);
    if (c.message) {
      EXPECT_NE(res->body.find(c.message), std::string::npos) << res->body;
    } else {
      EXPECT_NE(res->body.find("添加成功！"), std::string::npos) << res->body;
      EXPECT_NE(login(account, c.password), "") << "the password stored is not the one typed";
      token = tokenOf(admin);
    }
  }
}

// What a backup, restore or compaction killed half-way leaves is removed at
// the next start: scratch copies of processes that are gone, logs beside
// backups; never the copy of a process still running, nor the database.
TEST(SiteStart, LeftoversOfKilledMaintenanceAreRemoved) {
  kvdn::testing::TempDir dir;
  const auto folder = databaseFile(dir.path()).parent_path();
  std::filesystem::create_directories(folder);
  const std::string live = std::to_string(::getpid());
  const std::pair<std::string, bool> files[] = {
      {"#20261209-101500.bak.partial-999999999-0", true},
      {"#20261209-101500.bak.partial-999999999-0-journal", true},
      {"app.mdb.partial-999999999-3-wal", true},
      {"#20261209-101500.bak-wal", true},
      {"#20261209-101500.bak-shm", true},
      {"#20261209-101500.bak.partial-" + live + "-0", false},
      {"#20261209-101500.bak", false},
      {"app.mdb", false},
      {"app.mdb-wal", false},
      {"notes.partial-x", false},
  };
  for (const auto& [name, gone] : files) std::ofstream(folder / name) << "x";
  const auto removed = removeLeftovers(dir.path());
  for (const auto& [name, gone] : files) {
    EXPECT_EQ(std::filesystem::exists(folder / name), !gone) << name;
    EXPECT_EQ(std::count(removed.begin(), removed.end(), name), gone ? 1 : 0) << name;
  }
}

TEST_F(SitePages, ProfileWritesOnlyTheOwnNameAndSex) {
  const std::string op = login(kOperatorAccount, kOperatorPassword);
  ASSERT_NE(op, "");
  auto roleOf = [this](const char* account) {
    return kvdn::testing::querySql(databaseFile(root),
                                   std::string("select 角色,姓名 from 用户 where 登录账号='") + account + "'")
        .at(0);
  };
  struct Case {
    std::string target;
    httplib::Params form;
  };
  const Case refused[] = {
      // Another field would become a column: the role among them.
      {"/admin/profile.asp?ac=modify&id=2", {{"姓名", "x"}, {"性别", "男"}, {"角色", "1"}}},
      {"/admin/profile.asp?ac=modify&id=2", {{"姓名", "x"}, {"性别", "男"}, {"ID", "1"}}},
      // Somebody else's record.
      {"/admin/profile.asp?ac=modify&id=1", {{"姓名", "x"}, {"性别", "男"}}},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.target);
    auto res = client->Post(c.target + "&_token=" + token, as(op), c.form);
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("<script>alert("), std::string::npos) << res->body;
  }
  // Markup in the name: the page again, the message beside the field and
  // the typed name kept (escaped).
  auto marked = client->Post("/admin/profile.asp?ac=modify&id=2&_token=" + token, as(op),
                             httplib::Params{{"姓名", "<b>"}, {"性别", "女"}});
  ASSERT_TRUE(marked);
  EXPECT_EQ(marked->status, 302);
  auto again = client->Get("/admin/profile.asp", as(op));
  ASSERT_TRUE(again);
  EXPECT_NE(again->body.find("id='err_p_name'>请填写姓名"), std::string::npos) << again->body;
  EXPECT_NE(again->body.find("value='&lt;b&gt;' aria-invalid='true'"), std::string::npos) << again->body;
  EXPECT_EQ(client->Get("/admin/profile.asp", as(op))->body.find("err_p_name"), std::string::npos);
  EXPECT_EQ(roleOf(kOperatorAccount), (std::vector<std::string>{"2", "操作员小李"}));
  EXPECT_EQ(roleOf(kAdminAccount), (std::vector<std::string>{"1", "系统管理员"}));

  // The values are posted; nothing of them is in the address.
  auto saved = client->Post("/admin/profile.asp?ac=modify&id=2&_token=" + token, as(op),
                            httplib::Params{{"姓名", "小李"}, {"性别", "男"}, {"submit", "保存"}});
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->status, 302);
  EXPECT_EQ(roleOf(kOperatorAccount), (std::vector<std::string>{"2", "小李"}));
}

TEST_F(SitePages, PasswordChangeChecksTheOldPassword) {
  const std::string op = login(kOperatorAccount, kOperatorPassword);
  ASSERT_NE(op, "");
  struct Case {
    const char* old;
    const char* fresh;
    const char* again;
    const char* message;  // nullptr: accepted
  };
  const Case cases[] = {
      {"wrong", "newpass1", "newpass1", "旧密码错误！"},
      {kOperatorPassword, "newpass1", "newpass2", "两次输入的新密码不一致！"},
      {kOperatorPassword, "short", "short", "新密码长度应为 6 到 64 个字符！"},
      {kOperatorPassword, "new'pass1", "new'pass1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fresh);
    auto res = client->Post("/admin/profile.asp", as(op),
                            httplib::Params{{"op", "password"},
                                            {"_token", token},
                                            {"旧密码", c.old},
                                            {"新密码", c.fresh},
                                            {"确认密码", c.again}});
    ASSERT_TRUE(res);
    if (c.message) {
      // The page itself (the operator's menu too), the message beside its
      // field, what was typed kept.
      EXPECT_EQ(res->status, 200);
      EXPECT_NE(res->body.find(std::string("role='alert' id='err_p_")), std::string::npos) << res->body;
      EXPECT_NE(res->body.find(c.message), std::string::npos) << res->body;
      EXPECT_NE(res->body.find(std::string("value='") + c.fresh + "'"), std::string::npos) << res->body;
      EXPECT_EQ(res->body.find("<script>alert("), std::string::npos) << res->body;
    } else {
      EXPECT_EQ(res->status, 302);
    }
  }
  EXPECT_EQ(login(kOperatorAccount, kOperatorPassword), "");
  EXPECT_NE(login(kOperatorAccount, "new'pass1"), "");
  // The trail names the failure and the change.
  const auto trail = kvdn::testing::querySql(databaseFile(root),
                                             "select 动作 from 操作日志 where 账号='caozuo' order by ID");
  std::vector<std::string> actions;
  for (const auto& row : trail) actions.push_back(row.at(0));
  EXPECT_NE(std::find(actions.begin(), actions.end(), "修改密码失败"), actions.end());
  EXPECT_NE(std::find(actions.begin(), actions.end(), "修改密码"), actions.end());
}

// A session belongs to the account it logged in, not to the row: it ends
// when the row holds another account (a restore brought back the old ID
// counter and the next user added got a freed ID) or when the account's
// password changed (by its owner: the owner's own session goes on; or by an
// administrator).
TEST_F(SitePages, SessionsEndWhenTheirAccountChanges) {
  auto loggedIn = [&](const std::string& cookie) {
    auto res = client->Get("/admin/index.asp", as(cookie));
    return res && res->status == 200;
  };
  struct Case {
    const char* what;
    std::function<void(const std::string& own, const std::string& ownToken, const std::string& admin)> change;
    bool ownKept;  // the session that made the change
  };
  const Case cases[] = {
      {"the row now holds another account",
       [&](const std::string&, const std::string&, const std::string&) {
         kvdn::testing::runSql(databaseFile(root),
                               {"update 用户 set 登录账号='newadmin', 角色=1, 密码='x' where ID=2"});
       },
       false},
      {"the row holds the same account with another password",
       [&](const std::string&, const std::string&, const std::string&) {
         kvdn::testing::runSql(databaseFile(root), {"update 用户 set 密码='x' where ID=2"});
       },
       false},
      {"the owner changed the password",
       [&](const std::string& own, const std::string& ownToken, const std::string&) {
         auto res = client->Post("/admin/profile.asp", as(own),
                                 httplib::Params{{"op", "password"},
                                                 {"_token", ownToken},
                                                 {"旧密码", kOperatorPassword},
                                                 {"新密码", "another1"},
                                                 {"确认密码", "another1"}});
         ASSERT_TRUE(res);
         EXPECT_EQ(res->status, 302) << res->body;
       },
       true},
      {"an administrator changed the password",
       [&](const std::string&, const std::string&, const std::string& admin) {
         auto res = client->Post("/admin/user.asp?ac=modify&id=2&_token=" + tokenOf(admin), as(admin),
                                 httplib::Params{{"登录账号", kOperatorAccount},
                                                 {"密码", "another2"},
                                                 {"姓名", "操作员"},
                                                 {"性别", "男"},
                                                 {"角色", "2"}});
         ASSERT_TRUE(res);
         EXPECT_NE(res->body.find("修改成功！"), std::string::npos) << res->body;
       },
       false},
  };
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  const std::string digest =
      kvdn::testing::querySql(databaseFile(root), "select 密码 from 用户 where ID=2")[0][0];
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kvdn::testing::runSql(databaseFile(root),
                          {"update 用户 set 登录账号='caozuo', 角色=2, 密码='" + digest + "' where ID=2"});
    const std::string own = login(kOperatorAccount, kOperatorPassword);
    const std::string ownToken = token;
    const std::string other = login(kOperatorAccount, kOperatorPassword);
    ASSERT_NE(own, "");
    ASSERT_NE(other, "");
    c.change(own, ownToken, admin);
    EXPECT_FALSE(loggedIn(other)) << "another session of the account lives on";
    EXPECT_EQ(loggedIn(own), c.ownKept);
    auto maintenance = client->Get("/admin/maintain.asp", as(other));
    ASSERT_TRUE(maintenance);
    EXPECT_EQ(maintenance->status, 302) << maintenance->body.substr(0, 200);
  }
  EXPECT_TRUE(loggedIn(admin));
}

// Search terms never become SQL text; sort keys come from a fixed list.
TEST_F(SitePages, ListSearchSortAndExportTakeNoRequestTextIntoSql) {
  kvdn::testing::runSql(databaseFile(root), {"update 用户 set 姓名='=1+1' where ID=3",
                                             "update 用户 set 姓名='百分之%' where ID=4"});
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  struct Case {
    std::string query;
    const char* count;  // "共N条"
  };
  const Case cases[] = {
      {"q=wang", "共1条"},
      {"q=%E7%8E%8B%27", "共0条"},               // 王'
      {"q=%27%20or%20%271%27%3D%271", "共0条"},  // ' or '1'='1
      {"q=%25", "共1条"},                        // % matches itself only
      {"q=_", "共0条"},
      {"q=ZH", "共5条"},  // letter case ignored
      {"sort=ID%3Bdrop%20table%20%E7%94%A8%E6%88%B7&dir=desc", "共24条"},
      {"sort=account&dir=desc&size=7", "共24条"},  // a size not offered: 10
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    auto res = client->Get("/admin/user.asp?ac=call&page=1&" + c.query, as(admin));
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find(c.count), std::string::npos) << res->body.substr(res->body.find("<tfoot>"));
  }
  auto sorted = client->Get("/admin/user.asp?ac=call&page=1&sort=account&dir=desc", as(admin));
  ASSERT_TRUE(sorted);
  EXPECT_LT(sorted->body.find("zhulin"), sorted->body.find("zhoujie"));
  EXPECT_NE(sorted->body.find("每页10条"), std::string::npos);
  EXPECT_EQ(userCount(), "24");

  auto csv = client->Get("/admin/user.asp?ac=csv&q=zh", as(admin));
  ASSERT_TRUE(csv);
  EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
  EXPECT_EQ(csv->body.rfind("\xEF\xBB\xBF编号,登录账号,姓名,性别,角色,注册时间\r\n", 0), 0u);
  EXPECT_NE(csv->body.find("\"zhangwei\",\"'=1+1\""), std::string::npos) << "a formula is neutralised";
  EXPECT_EQ(std::count(csv->body.begin(), csv->body.end(), '\n'), 6);

  // The page of the list that holds a row, in the list's order.
  auto page = client->Get("/admin/user.asp?ac=locate&mark=24", as(admin));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body, "3");
  page = client->Get("/admin/user.asp?ac=locate&mark=24&sort=account", as(admin));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body, "2");  // ouyang: 15th of 24 by account
}

TEST_F(SitePages, UploadsMustBeSmallWorkbooks) {
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  struct Case {
    std::string data;
    const char* message;
  };
  const Case cases[] = {
      {"", "请选择要上传的 .xls 文件！"},
      {"not base64!", "请选择要上传的 .xls 文件！"},
      {"aGVsbG8gd29ybGQ=", "不是 Excel 97-2003 工作簿"},  // "hello world"
      {"0M8R4KGxGuEAAAAA", "无法读取该工作簿"},           // the signature, then nothing
      {std::string(3 * 1024 * 1024, 'A'), "文件太大"},
      {"UEsDBBQAAAAIAA==", "这是 .xlsx 工作簿，不能直接导入：请在 Excel 或 WPS 中打开它，选“文件 → 另存为”"},
  };
  // Each refusal a failure on the maintenance page itself.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    auto res = client->Post("/admin/maintain.asp", as(admin),
                            httplib::Params{{"op", "upload"}, {"_token", token}, {"data", c.data}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 302);
    auto page = client->Get("/admin/maintain.asp", as(admin));
    ASSERT_TRUE(page);
    const std::size_t box = page->body.find("<div class='flash failed' id='flash' role='alert'>");
    EXPECT_NE(box, std::string::npos);
    EXPECT_NE(page->body.find(c.message, box), std::string::npos) << page->body.substr(box, 300);
  }
  for (const auto& entry : std::filesystem::directory_iterator(databaseFile(root).parent_path()))
    EXPECT_NE(entry.path().filename().string().rfind("upload", 0), 0u) << entry.path();
  // Nothing to import without a previewed workbook.
  auto import =
      client->Post("/admin/maintain.asp", as(admin), httplib::Params{{"op", "import"}, {"_token", token}});
  ASSERT_TRUE(import);
  EXPECT_NE(import->body.find("请先上传并预览"), std::string::npos);
  EXPECT_EQ(userCount(), "24");
}

TEST_F(SitePages, BackupsNeverOverwriteOneAnother) {
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  // A day backup from before keeps its content under a timed name.
  const auto folder = databaseFile(root).parent_path();
  std::filesystem::copy_file(databaseFile(root), folder / "#20200101.bak");
  for (int i = 0; i < 3; ++i) {
    auto res =
        client->Post("/admin/maintain.asp", as(admin), httplib::Params{{"op", "backup"}, {"_token", token}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 302);
  }
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".bak") names.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(names.size(), 4u);
  for (const std::string& name : names) {
    EXPECT_TRUE(std::regex_match(name, std::regex("#\\d{8}-\\d{6}(-\\d+)?\\.bak"))) << name;
  }
  auto page = client->Get("/admin/maintain.asp", as(admin));
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find(" KB</td>"), std::string::npos);
  EXPECT_EQ(kvdn::testing::querySql(databaseFile(root), "select count(*) from 操作日志 where 动作='备份'")
                .at(0)
                .at(0),
            "3");
}

TEST(SiteErrorPages, ChineseWithAWayBack) {
  struct Case {
    int status;
    const char* title;
  };
  for (const Case& c : {Case{404, "页面不存在"}, Case{500, "页面出错了"}, Case{503, "数据库暂时无法打开"}}) {
    const std::string page = errorPage(c.status, "/x<script>");
    EXPECT_NE(page.find(c.title), std::string::npos);
    EXPECT_NE(page.find("href='/admin/index.asp'"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos) << "the path is escaped";
  }
}

TEST_F(SitePages, OperatorsAreKeptFromAdministratorsAndRefusedPages) {
  const std::string op = login(kOperatorAccount, kOperatorPassword);
  ASSERT_NE(op, "");
  auto maintain = client->Get("/admin/maintain.asp", as(op));
  ASSERT_TRUE(maintain);
  EXPECT_EQ(maintain->body, "<script>alert('对不起,你没有该权限!');history.go(-1);</script>");
  auto backup =
      client->Post("/admin/maintain.asp", as(op), httplib::Params{{"op", "backup"}, {"_token", token}});
  ASSERT_TRUE(backup);
  EXPECT_NE(backup->body.find("对不起,你没有该权限!"), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(databaseFile(root).parent_path())) {
    EXPECT_NE(entry.path().extension(), ".bak") << "the refused backup was made";
  }
  auto promote = client->Post(
      "/admin/user.asp?ac=modify&id=3&_token=" + token, as(op),
      httplib::Params{{"登录账号", "zhangwei"}, {"姓名", "张伟"}, {"性别", "男"}, {"角色", "1"}});
  ASSERT_TRUE(promote);
  EXPECT_NE(promote->body.find("只有管理员可以指定管理员角色！"), std::string::npos);
  auto grid = client->Get("/admin/user.asp?ac=call&page=2", as(op));
  ASSERT_TRUE(grid);
  EXPECT_EQ(grid->body.rfind("<form name='formtablepage'", 0), 0u) << grid->body.substr(0, 200);
  EXPECT_NE(grid->body.find("第2页/共3页"), std::string::npos);
}

// Typed text stored by any way (here written straight into the database, as
// a stored value that slipped past the forms would be) is listed inert: no
// markup, no attribute broken out of, no {qzm...} token of the grid's.
TEST_F(SitePages, ListedUserTextIsInert) {
  const std::string hostile = "x{qzmClassa' onmouseover=alert(1) b_}<img src=x>";
  kvdn::testing::runSql(databaseFile(root), {"update 用户 set 姓名='" + kvdn::replaceAll(hostile, "'", "''") +
                                                 "', 性别='<b>男</b>' where ID=2",
                                             "update 用户身份 set 名称='运维''<i>' where ID=2"});
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  for (const char* target : {"/admin/user.asp", "/admin/user.asp?ac=call&page=1", "/admin/profile.asp",
                             "/admin/user.asp?ac=modify&id=2", "/admin/role.asp"}) {
    SCOPED_TRACE(target);
    auto res = client->Get(target, as(admin));
    ASSERT_TRUE(res);
    for (const char* raw :
         {"<img src=x>", "class='a' ", "onmouseover=alert(1) b'", "<b>男</b>", "运维'<i>"}) {
      EXPECT_EQ(res->body.find(raw), std::string::npos) << raw;
    }
  }
  auto list = client->Get("/admin/user.asp?ac=call&page=1", as(admin));
  ASSERT_TRUE(list);
  EXPECT_NE(list->body.find("#123;qzmCla"), std::string::npos) << "the typed token is shown as text";
  EXPECT_NE(list->body.find("&lt;b&gt;男&lt;/b&gt;"), std::string::npos);
  EXPECT_NE(list->body.find("运维&#39;&lt;i&gt;"), std::string::npos);
}

// ---------------------------------------------------------------- attacks

bool hasBackup(const std::filesystem::path& root) {
  for (const auto& entry : std::filesystem::directory_iterator(databaseFile(root).parent_path())) {
    if (entry.path().extension() == ".bak") return true;
  }
  return false;
}

// Another site (or another port of this host) can make the browser post
// with the visitor's cookie, but cannot know the session's token.
TEST_F(SitePages, ChangesNeedPostAndTheSessionToken) {
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  ASSERT_EQ(token.size(), 32u);
  const std::string other = "0123456789abcdef0123456789abcdef";
  struct Case {
    std::string target;
    httplib::Params form;
  };
  const Case cases[] = {
      {"/admin/maintain.asp", {{"op", "backup"}}},
      {"/admin/maintain.asp", {{"op", "backup"}, {"_token", other}}},
      {"/admin/maintain.asp", {{"op", "backup"}, {"_token", token.substr(0, 31)}}},
      {"/admin/user.asp?ac=del", {{"delids", "3"}}},
      {"/admin/user.asp?ac=del&_token=" + other, {{"delids", "3"}}},
      {"/admin/user.asp?ac=add",
       {{"登录账号", "csrf1"}, {"密码", "secret1"}, {"姓名", "x"}, {"性别", "男"}, {"角色", "1"}}},
      {"/admin/profile.asp?ac=modify&id=1", {{"姓名", "x"}, {"性别", "男"}}},
      {"/admin/profile.asp",
       {{"op", "password"}, {"旧密码", "admin123"}, {"新密码", "xxxxxxxx"}, {"确认密码", "xxxxxxxx"}}},
      {"/admin/logout.asp", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    auto res = client->Post(c.target, as(admin), c.form);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_NE(res->body.find("页面已过期或来源不明"), std::string::npos) << res->body;
  }
  // A write by GET is no write.
  auto get = client->Get(
      "/admin/profile.asp?ac=modify&id=1&%E5%A7%93%E5%90%8D=x&%E6%80%A7%E5%88%AB=%E7%94%B7", as(admin));
  ASSERT_TRUE(get);
  EXPECT_NE(get->body.find("<script>alert("), std::string::npos);
  EXPECT_FALSE(hasBackup(root));
  EXPECT_EQ(userCount(), "24");
  EXPECT_EQ(kvdn::testing::querySql(databaseFile(root), "select 姓名 from 用户 where ID=1").at(0).at(0),
            "系统管理员");
  // The session is still logged in (the logout without token did nothing).
  EXPECT_EQ(client->Get("/admin/index.asp", as(admin))->status, 200);

  // With the token the same requests work.
  auto backup =
      client->Post("/admin/maintain.asp", as(admin), httplib::Params{{"op", "backup"}, {"_token", token}});
  ASSERT_TRUE(backup);
  EXPECT_EQ(backup->status, 302);
  EXPECT_TRUE(hasBackup(root));
  auto del =
      client->Post("/admin/user.asp?ac=del&_token=" + token, as(admin), httplib::Params{{"delids", "3"}});
  ASSERT_TRUE(del);
  EXPECT_NE(del->body.find("已删除 1 条记录！"), std::string::npos) << del->body;
  EXPECT_EQ(userCount(), "23");
}

TEST_F(SitePages, LoginFromAnotherOriginIsRefused) {
  const std::string port = std::to_string(host->port());
  struct Case {
    httplib::Headers headers;
    bool accepted;
  };
  const Case cases[] = {
      {{{"Origin", "http://127.0.0.1:" + port}}, true},
      {{{"Referer", "http://127.0.0.1:" + port + "/admin/login.asp"}}, true},
      {{{"Origin", "http://127.0.0.1:1"}}, false},  // another port of the same host
      {{{"Origin", "http://evil.example"}, {"Referer", "http://127.0.0.1:" + port + "/"}}, false},
      {{{"Origin", "null"}}, false},
      {{{"Referer", "http://127.0.0.1:" + port + ".evil.example/"}}, false},
      {{}, false},
  };
  for (const Case& c : cases) {
    auto res = client->Post("/admin/login.asp", c.headers,
                            httplib::Params{{"登录账号", kAdminAccount}, {"密码", kAdminPassword}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.accepted ? 302 : 403) << res->body;
    EXPECT_EQ(res->has_header("Set-Cookie"), c.accepted);
  }
}

TEST_F(SitePages, SessionsAreRenewedDroppedAndRecheckedEveryRequest) {
  // No session for a visitor who stores nothing.
  for (const char* path : {"/ping.asp", "/admin/login.asp", "/admin/user.asp", "/admin/health.asp"}) {
    auto res = client->Get(path);
    ASSERT_TRUE(res);
    EXPECT_FALSE(res->has_header("Set-Cookie")) << path;
  }
  // A planted cookie does not become the logged-in session.
  auto planted = client->Post(
      "/admin/login.asp",
      httplib::Headers{{"Origin", origin()}, {"Cookie", "KVDNSESSION=0123456789abcdef0123456789abcdef"}},
      httplib::Params{{"登录账号", kAdminAccount}, {"密码", kAdminPassword}});
  ASSERT_TRUE(planted);
  EXPECT_EQ(planted->status, 302);
  EXPECT_EQ(planted->get_header_value("Set-Cookie").find("KVDNSESSION=0123456789abcdef0123456789abcdef"),
            std::string::npos);
  // A second login renews the id: the first session is gone.
  const std::string first = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(first, "");
  const std::string firstToken = token;
  auto again = client->Post("/admin/login.asp", httplib::Headers{{"Origin", origin()}, {"Cookie", first}},
                            httplib::Params{{"登录账号", kAdminAccount}, {"密码", kAdminPassword}});
  ASSERT_TRUE(again);
  const std::string set = again->get_header_value("Set-Cookie");
  EXPECT_NE(set.find("HttpOnly"), std::string::npos);
  EXPECT_NE(set.find("SameSite=Strict"), std::string::npos);
  const std::string second = set.substr(0, set.find(';'));
  EXPECT_NE(second, first);
  EXPECT_EQ(client->Get("/admin/index.asp", as(first))->status, 302);
  // Logout (a POST with the token) ends the session for good.
  ASSERT_EQ(client->Get("/admin/index.asp", as(second))->status, 200);
  const std::string secondToken = tokenOf(second);
  EXPECT_NE(secondToken, firstToken);
  auto askOnly = client->Get("/admin/logout.asp", as(second));
  EXPECT_EQ(askOnly->status, 200);
  EXPECT_EQ(client->Get("/admin/index.asp", as(second))->status, 200) << "a GET logged out";
  auto out = client->Post("/admin/logout.asp", as(second), httplib::Params{{"_token", secondToken}});
  ASSERT_TRUE(out);
  EXPECT_EQ(out->status, 302);
  EXPECT_NE(out->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
  EXPECT_EQ(client->Get("/admin/index.asp", as(second))->status, 302);

  // Rights follow the database at once: an administrator demoted while
  // logged in loses the maintenance page; a deleted account its session.
  kvdn::testing::runSql(databaseFile(root), {"update 用户 set 角色=1 where ID=3"});
  const std::string zhang = login("zhangwei", kSamplePassword);
  ASSERT_NE(zhang, "");
  EXPECT_EQ(client->Get("/admin/maintain.asp", as(zhang))->status, 200);
  kvdn::testing::runSql(databaseFile(root), {"update 用户 set 角色=2 where ID=3"});
  auto demoted = client->Get("/admin/maintain.asp", as(zhang));
  EXPECT_EQ(demoted->body, "<script>alert('对不起,你没有该权限!');history.go(-1);</script>");
  kvdn::testing::runSql(databaseFile(root), {"delete from 用户 where ID=3"});
  auto gone = client->Get("/admin/index.asp", as(zhang));
  EXPECT_EQ(gone->status, 302);
  EXPECT_EQ(gone->get_header_value("Location"), "login.asp");
}

TEST_F(SitePages, TheLastAdministratorStays) {
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  const httplib::Params demote{
      {"登录账号", kAdminAccount}, {"姓名", "系统管理员"}, {"性别", "男"}, {"角色", "2"}};
  auto alone = client->Post("/admin/user.asp?ac=modify&id=1&_token=" + token, as(admin), demote);
  ASSERT_TRUE(alone);
  EXPECT_NE(alone->body.find("不能移除最后一个管理员！"), std::string::npos) << alone->body;
  // With a second administrator the first may step down; then the second
  // is the last and can be neither demoted nor deleted.
  kvdn::testing::runSql(databaseFile(root), {"update 用户 set 角色=1 where ID=3"});
  auto stepDown = client->Post("/admin/user.asp?ac=modify&id=1&_token=" + token, as(admin), demote);
  ASSERT_TRUE(stepDown);
  EXPECT_NE(stepDown->body.find("修改成功！"), std::string::npos) << stepDown->body;
  const std::string zhang = login("zhangwei", kSamplePassword);
  ASSERT_NE(zhang, "");
  auto del =
      client->Post("/admin/user.asp?ac=del&_token=" + token, as(zhang), httplib::Params{{"delids", "3, 4"}});
  ASSERT_TRUE(del);
  EXPECT_NE(del->body.find("不能移除最后一个管理员！"), std::string::npos) << del->body;
  auto self = client->Post(
      "/admin/user.asp?ac=modify&id=3&_token=" + token, as(zhang),
      httplib::Params{{"登录账号", "zhangwei"}, {"姓名", "张伟"}, {"性别", "男"}, {"角色", "2"}});
  ASSERT_TRUE(self);
  EXPECT_NE(self->body.find("不能移除最后一个管理员！"), std::string::npos) << self->body;
  EXPECT_EQ(kvdn::testing::querySql(databaseFile(root), "select count(*) from 用户 where 角色=1").at(0).at(0),
            "1");
  EXPECT_EQ(userCount(), "24");
}

TEST(LoginThrottleRules, SlowsRepeatedFailuresPerAccountAndAddress) {
  using namespace std::chrono_literals;
  LoginThrottle t;
  const auto t0 = LoginThrottle::Clock::now();
  for (int i = 0; i < LoginThrottle::kFreeFailures - 1; ++i) t.failed("caozuo", "10.0.0.1", t0);
  EXPECT_EQ(t.waitSeconds("caozuo", "10.0.0.1", t0), 0) << "four failures are free";
  EXPECT_EQ(t.failed("CAOZUO", "10.0.0.1", t0).account, 5) << "accounts compare without letter case";
  struct Case {
    std::chrono::seconds after;
    const char* account;
    const char* address;
    long long wait;
  };
  const Case cases[] = {
      {0s, "caozuo", "10.0.0.1", 2},
      {1s, "caozuo", "10.0.0.2", 1},  // another address: the account still waits
      {2s, "caozuo", "10.0.0.1", 0},
      {0s, "admin", "10.0.0.1", 0},  // another account from the same address: under its limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.account + std::string(" ") + c.address);
    EXPECT_EQ(t.waitSeconds(c.account, c.address, t0 + c.after), c.wait);
  }
  // Each further failure doubles the wait, up to the cap.
  t.failed("caozuo", "10.0.0.1", t0);
  EXPECT_EQ(t.waitSeconds("caozuo", "10.0.0.9", t0), 4);
  for (int i = 0; i < 30; ++i) t.failed("caozuo", "10.0.0.1", t0);
  EXPECT_EQ(t.waitSeconds("caozuo", "10.0.0.9", t0), LoginThrottle::kMaxDelay.count());
  // Per address: many accounts tried from one address.
  for (int i = 0; i < LoginThrottle::kFreeFailuresPerAddress; ++i)
    t.failed("u" + std::to_string(i), "10.0.0.7", t0);
  EXPECT_GT(t.waitSeconds("nobody", "10.0.0.7", t0), 0);
  EXPECT_EQ(t.waitSeconds("nobody", "10.0.0.8", t0), 0);
  // A success clears the account; an hour without failures clears all.
  t.succeeded("caozuo");
  EXPECT_EQ(t.waitSeconds("caozuo", "10.0.0.9", t0), 0);
  EXPECT_EQ(t.waitSeconds("nobody", "10.0.0.7", t0 + LoginThrottle::kForget + 1s), 0);
}

// The tables are bounded, but a flood of failures on other keys never makes
// room by dropping a key that must still wait (10,000 failures on junk
// accounts used to release a locked account); and a flood writes a bounded
// number of rows into the audit trail, the rest counted.
TEST(LoginThrottleRules, AFloodNeitherReleasesALockNorFloodsTheTrail) {
  using namespace std::chrono_literals;
  LoginThrottle t;
  const auto t0 = LoginThrottle::Clock::now();
  for (int i = 0; i <= LoginThrottle::kFreeFailures; ++i) t.failed("caozuo", "10.0.0.1", t0);
  for (std::size_t i = 0; i < LoginThrottle::kMaxEntries + 10; ++i)
    t.failed("junk" + std::to_string(i), "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250),
             t0 + 1s);
  EXPECT_GT(t.waitSeconds("caozuo", "10.0.0.2", t0 + 1s), 0) << "the flood released the locked account";

  int written = 0;
  long long reported = 0;
  for (int i = 0; i < 10000; ++i) {
    const auto turn = t.auditFailure(t0 + std::chrono::milliseconds(i));
    written += turn.write;
    reported += turn.unauditedBefore;
  }
  EXPECT_EQ(written, LoginThrottle::kAuditedPerWindow);
  const auto later = t.auditFailure(t0 + LoginThrottle::kAuditWindow + 1s);
  EXPECT_TRUE(later.write);
  EXPECT_EQ(reported + later.unauditedBefore, 10000 - LoginThrottle::kAuditedPerWindow);
}

TEST_F(SitePages, RepeatedLoginFailuresAreSlowedAndLogged) {
  loginThrottle().clear();
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < LoginThrottle::kFreeFailures; ++i) EXPECT_EQ(login(kOperatorAccount, "wrong"), "");
  auto res = client->Post("/admin/login.asp", httplib::Headers{{"Origin", origin()}},
                          httplib::Params{{"登录账号", kOperatorAccount}, {"密码", kOperatorPassword}});
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 429) << "the right password during the wait";
  EXPECT_NE(res->body.find("登录失败次数过多"), std::string::npos);
  EXPECT_NE(log.find("login failed for account 'caozuo' from 127.0.0.1 (5 failures"), std::string::npos)
      << log;
  EXPECT_NE(log.find("login refused for account 'caozuo'"), std::string::npos) << log;
  EXPECT_NE(login(kAdminAccount, kAdminPassword), "") << "other accounts are not locked out";
  loginThrottle().clear();
}

TEST_F(SitePages, HealthAnswers503WhenTheDatabaseFails) {
  auto ok = client->Get("/admin/health.asp");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(ok->body, "ok");
  std::filesystem::remove(databaseFile(root));
  std::ofstream(databaseFile(root), std::ios::binary) << std::string(4096, 'x');
  auto failed = client->Get("/admin/health.asp");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 503) << failed->body;
}

// The host's hooks as the program sets them: the site's error pages for
// what no page answers and for a page that fails, a log record per request,
// headers a page adds (a line break in one is refused).
TEST(SiteHostHooks, ErrorPagesRequestLogAndPageHeaders) {
  kvdn::testing::TempDir dir;
  std::filesystem::create_directories(dir.path() / "static");
  std::mutex lock;
  std::vector<kvdn::RequestRecord> records;
  kvdn::HttpHostOptions options;
  options.siteRoot = dir.path();
  options.port = 0;
  options.threads = 2;
  options.logUserKey = "account";
  options.requestLog = [&](const kvdn::RequestRecord& r) {
    std::lock_guard guard(lock);
    records.push_back(r);
  };
  options.errorPage = [](int status, const std::string& path) { return errorPage(status, path); };
  kvdn::HttpHost host(options);
  host.addPage("/fails.asp", [](kvdn::PageEnv& env) {
    env.session().setValue("account", kvdn::Variant("zhangwei"));
    kvdn::raise(kvdn::err::kTypeMismatch, "a failure");
  });
  host.addPage("/csv.asp", [](kvdn::PageEnv& env) {
    env.header("Content-Type", "text/csv; charset=utf-8");
    env.header("X-Test", "a\r\nSet-Cookie: x=1");
    env.write("a,b");
  });
  ASSERT_TRUE(host.bind());
  std::thread server([&] { host.serve(); });
  httplib::Client client("127.0.0.1", host.port());
  auto missing = client.Get("/nothing/here?x=1");
  auto failed = client.Get("/fails.asp");
  auto csv = client.Get("/csv.asp");
  host.stop();
  server.join();
  ASSERT_TRUE(missing && failed && csv);
  EXPECT_EQ(missing->status, 404);
  EXPECT_NE(missing->body.find("页面不存在"), std::string::npos);
  EXPECT_NE(missing->body.find("/nothing/here"), std::string::npos);
  EXPECT_EQ(failed->status, 500);
  EXPECT_NE(failed->body.find("页面出错了"), std::string::npos);
  EXPECT_EQ(failed->body.find("a failure"), std::string::npos) << "the failure stays in the server's log";
  EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
  EXPECT_FALSE(csv->has_header("X-Test"));
  EXPECT_FALSE(csv->has_header("Set-Cookie"));

  std::lock_guard guard(lock);
  ASSERT_EQ(records.size(), 3u);
  std::sort(records.begin(), records.end(),
            [](const kvdn::RequestRecord& x, const kvdn::RequestRecord& y) { return x.time < y.time; });
  struct Want {
    const char* path;
    int status;
    const char* user;
  };
  const Want wants[] = {{"/nothing/here", 404, ""}, {"/fails.asp", 500, "zhangwei"}, {"/csv.asp", 200, ""}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(wants[i].path);
    EXPECT_EQ(records[i].path, wants[i].path);
    EXPECT_EQ(records[i].status, wants[i].status);
    EXPECT_EQ(records[i].user, wants[i].user);
    EXPECT_EQ(records[i].method, "GET");
    EXPECT_EQ(records[i].address, "127.0.0.1");
    EXPECT_GE(records[i].milliseconds, 0);
  }
}

TEST_F(SitePages, PagesWithPersonalDataAreNotStoredAndNotFramed) {
  const std::string admin = login(kAdminAccount, kAdminPassword);
  for (const char* path : {"/admin/user.asp", "/admin/profile.asp", "/admin/login.asp"}) {
    auto res = client->Get(path, as(admin));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store") << path;
    EXPECT_EQ(res->get_header_value("X-Frame-Options"), "SAMEORIGIN") << path;
    EXPECT_NE(res->get_header_value("Content-Security-Policy").find("frame-ancestors 'self'"),
              std::string::npos);
  }
}

// The program itself: a port in use is an error at start, not a second
// server sharing the port.
TEST_F(SitePages, ASecondSiteOnABusyPortExits1) {
  const char* dirEnv = std::getenv("KVDN_BINARY_DIR");
  const std::filesystem::path binary =
      std::filesystem::path(dirEnv ? dirEnv : KVDN_BINARY_DIR) / "bin/kvdn-site";
  if (!std::filesystem::exists(binary)) GTEST_SKIP() << "no " << binary;
  const std::string command =
      binary.string() + " --root " + root.string() + " --port " + std::to_string(host->port()) + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
  EXPECT_NE(output.find("address in use"), std::string::npos) << output;
}

// The trail answers who and what: a deleted user's account, a change's
// fields old -> new; it filters by day and action; an operator sees only
// the own actions.
TEST_F(SitePages, AuditTrailNamesWhoAndWhat) {
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  auto del =
      client->Post("/admin/user.asp?ac=del&_token=" + token, as(admin), httplib::Params{{"delids", "3"}});
  ASSERT_TRUE(del);
  auto mod = client->Post(
      "/admin/user.asp?ac=modify&id=4&_token=" + token, as(admin),
      httplib::Params{
          {"登录账号", "wangfang"}, {"姓名", "王芳芳"}, {"性别", "男"}, {"角色", "2"}, {"密码", ""}});
  ASSERT_TRUE(mod);
  EXPECT_NE(mod->body.find("修改成功！"), std::string::npos) << mod->body;
  const std::string op = login(kOperatorAccount, kOperatorPassword);
  ASSERT_NE(op, "");
  token = tokenOf(admin);
  auto trail = [&](const std::string& cookie, const std::string& query) {
    auto res = client->Get("/admin/audit.asp?ac=call&page=1&size=100" + query, as(cookie));
    return res ? res->body : std::string();
  };
  struct Case {
    const char* who;
    std::string query;
    std::vector<std::string> holds, lacks;
  };
  const std::string today = [] {
    std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", std::localtime(&now));
    return std::string(text);
  }();
  const Case cases[] = {
      {"admin",
       "",
       {"删除 1 个用户：zhangwei（ID 3）", "修改用户 wangfang（ID 4）：姓名 王芳 → 王芳芳；性别 女 → 男"},
       {}},
      {"admin", "&act=%E5%88%A0%E9%99%A4", {"zhangwei（ID 3）"}, {"王芳芳", ">登录<"}},
      {"admin", "&from=" + today + "&to=" + today, {"zhangwei（ID 3）"}, {"暂无记录"}},
      {"admin", "&from=2999-01-01", {"暂无记录"}, {"zhangwei"}},
      {"admin", "&act=nothing-such", {"zhangwei（ID 3）", "王芳芳"}, {}},
      {"caozuo", "", {"<td>caozuo</td>"}, {"<td>admin</td>", "zhangwei"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.who) + c.query);
    const std::string body = trail(std::string(c.who) == "admin" ? admin : op, c.query);
    for (const std::string& text : c.holds)
      EXPECT_NE(body.find(text), std::string::npos) << text << "\n" << body;
    for (const std::string& text : c.lacks)
      EXPECT_EQ(body.find(text), std::string::npos) << text << "\n" << body;
  }
  // The operator's page and menu hold the trail (the role lists it).
  auto page = client->Get("/admin/audit.asp", as(op));
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("我的操作日志"), std::string::npos) << page->body.substr(0, 400);
}

// Writes a sheet of `rows` (登录账号, 密码, 姓名, 性别, 角色; "" a blank
// cell) where the maintenance page's preview of the server's workbook reads it.
void writeSheet(const std::filesystem::path& root, const std::vector<std::vector<std::string>>& rows) {
  const auto folder = databaseFile(root).parent_path();
  std::string json = "[";
  for (const auto& row : rows) {
    json += json.size() > 1 ? ",[" : "[";
    for (std::size_t i = 0; i < row.size(); ++i) json += (i ? ",\"" : "\"") + row[i] + "\"";
    json += "]";
  }
  json += "]";
  std::ofstream(folder / "rows.json") << json;
  const std::string command = "/usr/bin/python3 " KVDN_SOURCE_DIR "/site/tools/make_userinfo_xls.py " +
                              (folder / "userinfo.xls").string() + " " + (folder / "rows.json").string();
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The import checks every row in the preview and names each refused one; a
// refused import is a failure on the page and in the trail; plain
// passwords are digested, roles may be named, existing users keep their
// registration time.
TEST_F(SitePages, ImportChecksEveryRowAndKeepsWhatItShould) {
  if (std::system("/usr/bin/python3 -c 'import xlwt' 2>/dev/null") != 0) GTEST_SKIP() << "no python3-xlwt";
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  auto stageAndImport = [&](bool grant) {
    auto staged =
        client->Post("/admin/maintain.asp", as(admin), httplib::Params{{"op", "stage"}, {"_token", token}});
    EXPECT_TRUE(staged && staged->status == 302);
    auto preview = client->Get("/admin/maintain.asp?preview=1", as(admin));
    httplib::Params form{{"op", "import"}, {"_token", token}};
    if (grant) form.emplace("grantAdmin", "1");
    auto imported = client->Post("/admin/maintain.asp", as(admin), form);
    EXPECT_TRUE(imported && imported->status == 302);
    auto after = client->Get("/admin/maintain.asp?preview=1", as(admin));
    return std::make_pair(preview ? preview->body : "", after ? after->body : "");
  };
  // Every refused row named with its reason; nothing imported.
  writeSheet(root, {{"ok1", "plainpw1", "甲", "男", "操作员"},
                    {"blankpw", "", "乙", "女", "2"},
                    {"badrole", "secret12", "丙", "男", "经理"},
                    {"badsex", "secret12", "丁", "x", "2"},
                    {"ok1", "secret12", "重复", "男", "2"},
                    {"noname", "secret12", "", "男", "2"}});
  auto [refusedPreview, refusedAfter] = stageAndImport(false);
  for (const char* reason :
       {"<td class='num'>3</td><td>blankpw</td><td>乙</td><td>密码为空",
        "<td>badrole</td><td>丙</td><td>角色无效", "<td>badsex</td><td>丁</td><td>性别应为",
        "<td>ok1</td><td>重复</td><td>与第 2 行的账号重复", "<td>noname</td><td></td><td>姓名为空"})
    EXPECT_NE(refusedPreview.find(reason), std::string::npos) << reason << "\n" << refusedPreview;
  EXPECT_EQ(refusedPreview.find("id='btnApply'"), std::string::npos);
  EXPECT_NE(refusedAfter.find(
                "class='flash failed' id='flash' role='alert'>导入失败：有 5 行不能导入：第 3 行 密码为空"),
            std::string::npos)
      << refusedAfter;
  EXPECT_EQ(userCount(), "24");
  EXPECT_EQ(kvdn::testing::querySql(databaseFile(root), "select count(*) from 操作日志 where 动作='导入失败'")
                .at(0)
                .at(0),
            "1");

  // Plain and digested passwords, numbered and named roles, a kept time.
  const std::string digest = kvdn::DbClass().md5(kvdn::Variant(kvdn::DbClass().md5(kvdn::Variant("123456"))));
  writeSheet(root, {{"lina", "newpass1", "李娜", "女", "操作员"},
                    {"fresh1", digest, "新人", "男", "2"},
                    {"boss1", "bosspass1", "老板", "男", "管理员"}});
  auto [preview, after] = stageAndImport(true);
  EXPECT_NE(preview.find("id='pvPlain'>2<"), std::string::npos) << preview;
  EXPECT_NE(after.find("已导入 3 个用户"), std::string::npos) << after;
  EXPECT_EQ(userCount(), "4");
  EXPECT_NE(login("lina", "newpass1"), "");
  EXPECT_NE(login("fresh1", "123456"), "");
  EXPECT_NE(login("boss1", "bosspass1"), "");
  const auto rows = kvdn::testing::querySql(
      databaseFile(root), "select 登录账号, 角色, 注册时间 from 用户 where ID>1 order by 登录账号");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"boss1", "1", rows[0][2]}));
  EXPECT_EQ(rows[2], (std::vector<std::string>{"lina", "2", "2023-03-01 09:45:00"}));
  EXPECT_EQ(rows[1][2].size(), 19u) << "a new user gets the import's time";
}

// Names sort by pinyin with the collation on (陈 before 张), by character
// code with it off (张 U+5F20 before 陈 U+9648); either way the page the
// list locates a row on is the page that shows it.
TEST_F(SitePages, NamesSortByPinyinAndRowsAreLocatedInThatOrder) {
  const std::string admin = login(kAdminAccount, kAdminPassword);
  ASSERT_NE(admin, "");
  for (const bool pinyin : {true, false}) {
    SCOPED_TRACE(pinyin ? "pinyin" : "code");
    ASSERT_TRUE(usePinyinOrder(pinyin));
    auto all = client->Get("/admin/user.asp?ac=call&page=1&size=100&sort=name", as(admin));
    ASSERT_TRUE(all);
    const std::size_t chen = all->body.find("陈静");
    const std::size_t zhang = all->body.find("张伟");
    ASSERT_NE(chen, std::string::npos);
    ASSERT_NE(zhang, std::string::npos);
    EXPECT_EQ(chen < zhang, pinyin);
    for (int id = 1; id <= 24; ++id) {
      const std::string query = "&sort=name&dir=" + std::string(id % 2 ? "asc" : "desc");
      auto page = client->Get("/admin/user.asp?ac=locate&mark=" + std::to_string(id) + query, as(admin));
      ASSERT_TRUE(page);
      auto grid = client->Get("/admin/user.asp?ac=call&page=" + page->body + query, as(admin));
      ASSERT_TRUE(grid);
      EXPECT_NE(grid->body.find("id=" + std::to_string(id) + "')"), std::string::npos) << id;
    }
  }
  usePinyinOrder(false);
}

}  // namespace
}  // namespace site
