// The sample site's own checks: what a page lets through into SQL text and
// into the record writers, over a real host and a fresh database. The
// browser test covers the pages' normal use; this covers crafted requests.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "kvdn/http_host.h"
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

  // Logs in; the session cookie, or "" when the login was refused.
  std::string login(const std::string& account, const std::string& password) {
    httplib::Params form{{"登录账号", account}, {"密码", password}};
    auto res = client->Post("/admin/login.asp", form);
    if (!res || res->status != 302) return "";
    std::string cookie = res->get_header_value("Set-Cookie");
    return cookie.substr(0, cookie.find(';'));
  }
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
};

TEST_F(SitePages, LoginChecksTheDoubleDigest) {
  EXPECT_NE(login(kAdminAccount, kAdminPassword), "");
  EXPECT_NE(login("ADMIN", kAdminPassword), "") << "accounts compare without letter case";
  EXPECT_EQ(login(kAdminAccount, "wrong"), "");
  EXPECT_EQ(login("admin' or '1'='1", "x"), "");
  auto res = client->Post("/admin/login.asp", httplib::Params{{"登录账号", "admin'--"}, {"密码", "x"}});
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
  struct Case {
    const char* target;
    httplib::Params form;
    bool referer;
    const char* message;
  };
  const Case cases[] = {
      {"/admin/user.asp?ac=del", {{"delids", "3) or (1=1"}}, true, "参数错误！"},
      {"/admin/user.asp?ac=del", {{"delids", "3, 1"}}, true, "不能删除系统管理员！"},
      {"/admin/user.asp?ac=del", {}, true, "请先勾选要删除的记录！"},
      {"/admin/user.asp?ac=del", {{"delids", "3"}}, false, "禁止非法访问！"},
      {"/admin/user.asp?ac=modify&id=3 or 1=1", {{"姓名", "x"}}, true, "参数错误！"},
      {"/admin/user.asp?ac=modify&id=3",
       {{"登录账号", "zhangwei"}, {"姓名", "张伟"}, {"性别", "男"}, {"角色", "2"}, {"ID", "9"}},
       true,
       "表单内容有误！"},
      {"/admin/user.asp?ac=add",
       {{"登录账号", "lina"}, {"密码", "p"}, {"姓名", "李娜"}, {"性别", "女"}, {"角色", "2"}},
       true,
       "该登录账号已存在！"},
      {"/admin/user.asp?ac=add",
       {{"登录账号", "new1"}, {"密码", "p"}, {"姓名", "<script>"}, {"性别", "女"}, {"角色", "2"}},
       true,
       "请填写姓名"},
      {"/admin/user.asp?ac=add",
       {{"登录账号", "new1"}, {"密码", "p"}, {"姓名", "新"}, {"性别", "女"}, {"角色", "x"}},
       true,
       "请选择角色！"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    auto res = client->Post(c.target, as(admin, c.referer), c.form);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find(c.message), std::string::npos) << res->body;
    EXPECT_NE(res->body.find("history.go(-1)"), std::string::npos) << res->body;
  }
  EXPECT_EQ(userCount(), "24");
}

TEST_F(SitePages, ProfileWritesOnlyTheOwnNameAndSex) {
  const std::string op = login(kOperatorAccount, kOperatorPassword);
  ASSERT_NE(op, "");
  auto roleOf = [this](const char* account) {
    return kvdn::testing::querySql(databaseFile(root),
                                   std::string("select 角色,姓名 from 用户 where 登录账号='") + account + "'")
        .at(0);
  };
  const char* refused[] = {
      // Another key would become a column: the role among them.
      "/admin/profile.asp?id=2&ac=save&%E5%A7%93%E5%90%8D=x&%E8%A7%92%E8%89%B2=1",
      "/admin/profile.asp?ID=1&id=2&ac=save&%E5%A7%93%E5%90%8D=x",
      // Somebody else's record.
      "/admin/profile.asp?id=1&ac=save&%E5%A7%93%E5%90%8D=x&%E6%80%A7%E5%88%AB=%E7%94%B7",
  };
  for (const char* target : refused) {
    SCOPED_TRACE(target);
    auto res = client->Get(target, as(op));
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("<script>alert("), std::string::npos) << res->body;
  }
  EXPECT_EQ(roleOf(kOperatorAccount), (std::vector<std::string>{"2", "操作员小李"}));
  EXPECT_EQ(roleOf(kAdminAccount), (std::vector<std::string>{"1", "系统管理员"}));

  auto saved = client->Get(
      "/admin/"
      "profile.asp?id=2&ac=save&t=1&%E5%A7%93%E5%90%8D=%E5%B0%8F%E6%9D%8E&%E6%80%A7%E5%88%AB=%E7%94%B7",
      as(op));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->status, 302);
  EXPECT_EQ(roleOf(kOperatorAccount), (std::vector<std::string>{"2", "小李"}));
}

TEST_F(SitePages, OperatorsAreKeptFromAdministratorsAndRefusedPages) {
  const std::string op = login(kOperatorAccount, kOperatorPassword);
  ASSERT_NE(op, "");
  auto maintain = client->Get("/admin/maintain.asp", as(op));
  ASSERT_TRUE(maintain);
  EXPECT_EQ(maintain->body, "<script>alert('对不起,你没有该权限!');history.go(-1);</script>");
  auto backup = client->Post("/admin/maintain.asp", as(op), httplib::Params{{"op", "backup"}});
  ASSERT_TRUE(backup);
  EXPECT_NE(backup->body.find("对不起,你没有该权限!"), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(databaseFile(root).parent_path())) {
    EXPECT_NE(entry.path().extension(), ".bak") << "the refused backup was made";
  }
  auto promote = client->Post(
      "/admin/user.asp?ac=modify&id=3", as(op),
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

}  // namespace
}  // namespace site
