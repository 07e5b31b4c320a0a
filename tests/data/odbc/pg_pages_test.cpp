// The page methods over PostgreSQL, with the connection handed to the object
// through `conn` as a page does for a server database: the grid markup byte
// for byte as over the file database, a form written as an insert, an update
// and a delete, and the sample menu.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/odbc/pg_database.h"
#include "kvdn/db_class.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using Rows = std::vector<std::vector<std::string>>;

class PgPagesTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    if (!pgtest::hasServer()) GTEST_SKIP() << pgtest::kNoServer;
    SiteFixture::SetUp();
    db = std::make_unique<pgtest::PgDatabase>();
  }

  // A page whose object works on the test database: dbType left empty,
  // `conn` assigned.
  testing::TestPage pgPage(PageRequest request = {}) {
    auto p = page(std::move(request), false);
    p.db->dbType = Variant("");
    p.db->conn = db->connect();
    return p;
  }

  std::unique_ptr<pgtest::PgDatabase> db;
};

// ---------------------------------------------------------------------------
// dbSelect

// The same grids over the file database and over PostgreSQL: the markup is
// the same byte for byte (the file database's own tests pin the markup).
TEST_F(PgPagesTest, GridMarkupIsTheSameAsOverTheFileDatabase) {
  const std::vector<std::string> tables = {
      "create table 新闻(ID integer primary key, 标题 varchar(50), 作者 varchar(50), 数量 integer, 价格 "
      "real, "
      "时间 datetime)",
      "insert into 新闻 values (1, '甲', '张三', 3, 1.5, '2024-01-02 03:04:05'), (2, '乙', null, null, null, "
      "'2024-01-02 00:00:00'), (3, '丙{qzmClassred_}', '李四', -7, 0.25, null), (4, "
      "'{qzmLeft2_}丁戊己{_qzmLeft}', "
      "'王五', 0, 100, '2024-12-31 23:59:59')"};
  setupDatabase(tables);
  db->run(tables);
  struct Case {
    const char* sql;
    const char* query;
    int psize, xuhao, del, pager;
  } cases[] = {
      {"select ID,标题,作者 as 写者 from 新闻 order by ID", "", 2, 1, 1, 1},
      {"select ID,标题,作者 as 写者 from 新闻 order by ID", "page=2", 2, 2, 1, 1},
      {"select * from 新闻 order by ID desc", "page=2", 3, 3, 0, 1},
      {"select top 3 ID,标题,数量,价格,时间 from 新闻 order by ID", "", 0, 1, 1, 0},
      {"select ID,标题 from 新闻 where ID > 10", "page=3", 10, 1, 1, 1},
  };
  for (const auto& c : cases) {
    PageRequest request;
    request.query = c.query;
    auto run = [&](testing::TestPage p) {
      const std::string html =
          p.db->dbSelect(Variant(c.sql), Variant(c.psize), Variant(c.xuhao), Variant("添加"), Variant(c.del),
                         Variant("修改"), Variant(c.pager), Variant("tableWg"))
              .joinText();
      EXPECT_FALSE(p.ended()) << p.output();
      EXPECT_EQ(p.db->rsValue(), nullptr);
      return html;
    };
    const std::string file = run(page(request));
    EXPECT_NE(file.find("<tbody>"), std::string::npos) << c.sql;
    EXPECT_EQ(run(pgPage(request)), file) << c.sql << " ?" << c.query;
  }
}

TEST_F(PgPagesTest, GridPagesAndProtectedUserOverManyRows) {
  db->run({"create table 用户(ID serial primary key, 用户名 varchar(50))",
           "insert into 用户(用户名) select case when x = 1 then 'admin' else 'u' || x end "
           "from generate_series(1, 45) as x"});
  struct Case {
    const char* query;
    std::vector<std::string> names;
  } cases[] = {
      {"", {"admin", "u2", "u3"}},
      {"page=2", {"u21", "u22", "u23"}},
      {"page=99", {"u41", "u42", "u43"}},
  };
  for (const auto& c : cases) {
    PageRequest request;
    request.query = c.query;
    auto p = pgPage(request);
    const std::string html =
        p.db->dbSelect(Variant("select top 43 ID,用户名 from 用户 order by ID"), Variant(20), Variant(0),
                       Variant(""), Variant(1), Variant(""), Variant(0), Variant("t"))
            .joinText();
    for (const auto& name : c.names) {
      EXPECT_NE(html.find("<td>" + name + "</td>"), std::string::npos) << c.query << " " << name;
    }
    if (std::string(c.query).empty()) {
      // The protected first user has no delete box.
      EXPECT_NE(html.find("<tr><td>admin</td><td>&nbsp;</td></tr>"), std::string::npos);
    }
    EXPECT_EQ(html.find("<td>u44</td>"), std::string::npos) << "TOP 43 limits the rows";
  }
}

TEST_F(PgPagesTest, BadStatementIsReportedAndEndsTheResponse) {
  auto p = pgPage();
  p.db->dbSelect(Variant("select * from 无此表"), Variant(10), Variant(1), Variant(""), Variant(0),
                 Variant(""), Variant(1), Variant("t"));
  EXPECT_TRUE(p.ended());
  EXPECT_EQ(p.output(), "<br /><font color=red>SQL语句有误!<br /><br />select * from 无此表</font>");
}

// ---------------------------------------------------------------------------
// dbWrite

// A posted form on this site's list page.
PageRequest formRequest(std::string query, std::string form) {
  PageRequest r;
  r.url = "/list.asp";
  r.query = std::move(query);
  r.form = std::move(form);
  r.serverVariables = {{"HTTP_REFERER", "http://localhost/list.asp"}, {"REMOTE_ADDR", "10.1.2.3"}};
  return r;
}

TEST_F(PgPagesTest, FormWritesAddModifyAndDelete) {
  db->run(
      {"create table news(ID serial primary key, 标题 text, 数量 integer, 时间 datetime, 单号 text, ip text)",
       "insert into news(ID, 标题, 数量) values (3, 'a', 1), (5, 'b', 2), (7, 'c', 3)",
       "select setval(pg_get_serial_sequence('news', 'id'), 7)"});
  const Date clock = Date::fromParts(2024, 3, 9, 10, 11, 12);
  auto write = [&](std::string query, std::string form) {
    auto p = pgPage(formRequest(std::move(query), std::move(form)));
    p.db->setClock([clock] { return clock; });
    const Variant result = p.db->dbWrite(Variant("news"));
    EXPECT_FALSE(p.ended()) << p.output();
    return result.toBool();
  };
  // %E6%96%B0 = 新, %E6%A0%87%E9%A2%98 = 标题, %E6%95%B0%E9%87%8F = 数量,
  // %E6%97%B6%E9%97%B4 = 时间, %E5%8D%95%E5%8F%B7 = 单号
  EXPECT_TRUE(write("ac=add",
                    "%E6%A0%87%E9%A2%98=%E6%96%B0&%E6%95%B0%E9%87%8F=42&%E6%97%B6%E9%97%B4=servertime&"
                    "%E5%8D%95%E5%8F%B7=makedanhao&ip=servergetip&submit=ok"));
  EXPECT_TRUE(write("ac=modify&id=5", "%E6%A0%87%E9%A2%98=O%27Brien&%E6%95%B0%E9%87%8F=20"));
  EXPECT_TRUE(write("ac=del", "delids=3&delids=7"));
  EXPECT_EQ(db->query("select ID, 标题, 数量, 时间, 单号, ip from news order by ID"),
            (Rows{{"5", "O'Brien", "20", "NULL", "NULL", "NULL"},
                  {"8", "新", "42", "2024-03-09 10:11:12", "2024030008", "10.1.2.3"}}));

  // A value the column cannot take stores nothing and reaches the page.
  auto p = pgPage(formRequest("ac=modify&id=5", "%E6%A0%87%E9%A2%98=x&%E6%95%B0%E9%87%8F=abc"));
  EXPECT_THROW(p.db->dbWrite(Variant("news")), ComError);
  EXPECT_EQ(db->query("select 标题 from news where ID = 5"), (Rows{{"O'Brien"}}));
}

// ---------------------------------------------------------------------------
// menuNav

TEST_F(PgPagesTest, SampleMenu) {
  db->run(
      {"create table 功能模块 (ID integer primary key, 名称 text, 文件名 text, 层级 integer, 必选 integer, "
       "顺序 integer)",
       "create table 用户身份 (ID integer primary key, 权限 text)",
       "insert into 功能模块 values (1, 'System', '', 0, 0, 1), (4, 'Data', '', 0, 0, 2), "
       "(2, 'Users', 'user.asp', 1, 0, 1), (3, 'Password', 'pwd.asp', 1, 1, 2), "
       "(5, 'New', 'modalForm(''info.asp?ac=add'')', 4, 0, 1)",
       "insert into 用户身份 values (2, '2')"});
  auto at = [&](const std::string& file) {
    PageRequest request;
    request.url = "/admin/" + file;
    return pgPage(request);
  };
  auto p = at("pwd.asp");
  EXPECT_EQ(p.db->menuNav(Variant(std::int32_t{2})).joinText(),
            "<div class='titleNav' onclick=DoMenu('ChildMenu0')>System</div>"
            "<ul class='menu' id='ChildMenu0'><li><a href='user.asp'>Users</a></li>"
            "<li class='cMenu'>Password</li></ul>");
  EXPECT_EQ(p.output(), "");

  auto admin = at("pwd.asp");
  EXPECT_EQ(admin.db->menuNav(Variant("1")).joinText(),
            "<div class='titleNav' onclick=DoMenu('ChildMenu0')>System</div>"
            "<ul class='menu' id='ChildMenu0'><li><a href='user.asp'>Users</a></li>"
            "<li class='cMenu'>Password</li></ul>"
            "<div class='titleNav' onclick=DoMenu('ChildMenu1')>Data</div>"
            "<ul class='menu' id='ChildMenu1' style ='display:none'>"
            "<li><a onclick=modalForm('info.asp?ac=add')>New</a></li></ul>");

  auto refused = at("user.asp");
  db->run({"update 用户身份 set 权限 = '' where ID = 2"});
  EXPECT_TRUE(refused.db->menuNav(Variant(2)).isEmpty());
  EXPECT_TRUE(refused.ended());
  EXPECT_EQ(refused.output(), "<script>alert('对不起,你没有该权限!');history.go(-1);</script>");
}

}  // namespace
}  // namespace kvdn
