// dbSelect through the in-memory host over a real SQLite file.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/provider.h"
#include "kvdn/text.h"
#include "support/errors.h"
#include "support/fake_provider.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

const std::string kFormOpen =
    "<form name='formtablepage' id='formtablepage' method='post' action=''><table width='100%' border=0 "
    "cellpadding=5 cellspacing=0 class='";
const std::string kDeleteHeading =
    "<td nowrap='nowrap'><a onClick=modalForm('?ac=del')>删除</a><br /><input name=chkAll type=checkbox "
    "onClick=CheckAll(this.form)></td><script language=JavaScript>function CheckAll(form){var e = "
    "form.delids; "
    "for (var chkhao=0;chkhao<e.length;chkhao++){e[chkhao].checked = form.chkAll.checked;}}</script>";

struct Grid {
  std::string sql;
  Variant psize = Variant(10);
  Variant xuhao = Variant(0);
  Variant addName = Variant("");
  Variant delyesno = Variant(0);
  Variant editName = Variant("");
  Variant pageNavyesno = Variant(0);
  Variant cssName = Variant("t");
};

class GridTest : public testing::SiteFixture {
 protected:
  // 数据: IDs 1..n, 名称 "n1".."nN".
  void numberedRows(int n) {
    setupDatabase({"create table 数据(ID integer primary key, 名称 text)",
                   "with recursive c(x) as (select 1 union all select x + 1 from c where x < " +
                       std::to_string(n) + ") insert into 数据 select x, 'n' || x from c"});
  }

  std::string run(const Grid& g, const std::string& query = "") {
    PageRequest request;
    request.query = query;
    auto p = page(request);
    Variant result = p.db->dbSelect(Variant(g.sql), g.psize, g.xuhao, g.addName, g.delyesno, g.editName,
                                    g.pageNavyesno, g.cssName);
    EXPECT_FALSE(p.ended());
    EXPECT_EQ(p.db->rsValue(), nullptr) << "the recordset slot is emptied";
    return result.joinText();
  }

  // The numbers of the number column, in order.
  static std::vector<long> rowNumbers(const std::string& html) {
    std::vector<long> out;
    static const std::regex cell("<td align='center'(?: class='red')?>(\\d+)</td>");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), cell); it != std::sregex_iterator(); ++it) {
      out.push_back(std::stol((*it)[1]));
    }
    return out;
  }

  static std::string body(const std::string& html) {
    const auto last = html.rfind("<tbody>");
    return html.substr(last + 7, html.find("</tbody>", last) - last - 7);
  }
};

TEST_F(GridTest, FullGridWithEveryColumnAndPager) {
  setupDatabase({"create table 新闻(ID integer primary key, 标题 text, 作者 text)",
                 "insert into 新闻 values (1, '甲', '张三'), (2, '乙', null), (3, '丙', '李四')"});
  Grid g{"select ID,标题,作者 as 写者 from 新闻 order by ID",
         Variant(2),
         Variant(1),
         Variant("添加"),
         Variant(1),
         Variant("修改"),
         Variant(1),
         Variant("tableWg")};
  EXPECT_EQ(
      run(g),
      kFormOpen +
          "tableWg'><thead><tr><td align='center'>序号</td><td>标题</td><td>写者</td>"
          "<td nowrap='nowrap'><a onclick=modalForm('?ac=add')>添加</a></td>" +
          kDeleteHeading +
          "</tr></thead><tbody>"
          "<tr><td align='center'>1</td><td>甲</td><td>张三</td>"
          "<td><a onclick=modalForm('?ac=modify&id=1')>修改</a></td>"
          "<td><input name=delids type=checkbox value='1'></td></tr>"
          "<tr><td align='center'>2</td><td>乙</td><td>&nbsp;</td>"
          "<td><a onclick=modalForm('?ac=modify&id=2')>修改</a></td>"
          "<td><input name=delids type=checkbox value='2'></td></tr>"
          "</tbody><tfoot><tr><td colspan=5>第1页/共2页&nbsp;每页2条/共3条&nbsp;第一页&nbsp;上一页&nbsp;"
          "<a onclick=callTableData('?ac=call&page=2')>下一页</a>&nbsp;"
          "<a onclick=callTableData('?ac=call&page=2')>最后页</a>&nbsp;</td></tr></tfoot></table></form>");
}

TEST_F(GridTest, EmptyResultWithPager) {
  setupDatabase({"create table 新闻(ID integer primary key, 标题 text)"});
  Grid g{"select ID,标题 from 新闻"};
  g.pageNavyesno = Variant(1);
  EXPECT_EQ(run(g, "page=3"),
            kFormOpen +
                "t'><thead><tr><td>标题</td></tr></thead>"
                "<tbody><tr><td align='left' colspan=4><font color='red'>\u3000暂无记录！</font></td></tr>"
                "</tbody><tbody></tbody><tfoot><tr><td colspan=4>第0页/共0页&nbsp;每页10条/共0条&nbsp;"
                "第一页&nbsp;上一页&nbsp;下一页&nbsp;最后页</td></tr></tfoot></table></form>");
}

TEST_F(GridTest, PlainGridAddWithoutEditShowsNeither) {
  setupDatabase({"create table 新闻(ID integer primary key, 标题 text)", "insert into 新闻 values (7, '')"});
  Grid g{"select * from 新闻"};
  g.addName = Variant("添加");
  EXPECT_EQ(run(g), kFormOpen +
                        "t'><thead><tr><td>标题</td></tr></thead><tbody><tr><td>&nbsp;</td></tr>"
                        "</tbody></table></form>");
}

TEST_F(GridTest, PageKeyChoosesThePage) {
  numberedRows(23);  // 5 pages of 5
  struct Case {
    const char* query;
    long first;
    long last;
  } cases[] = {
      {"", 1, 5},          {"page=", 1, 5},        {"page=0", 1, 5},    {"page=-3", 1, 5},
      {"page=abc", 1, 5},  {"page=2", 6, 10},      {"page=2.5", 6, 10}, {"page=3.5", 16, 20},
      {"page=99", 21, 23}, {"page=40000", 21, 23}, {"page=5", 21, 23},
  };
  for (const auto& c : cases) {
    Grid g{"select ID,名称 from 数据 order by ID", Variant(5), Variant(1)};
    const std::string html = run(g, c.query);
    std::vector<long> expected;
    for (long n = c.first; n <= c.last; ++n) expected.push_back(n);
    EXPECT_EQ(rowNumbers(html), expected) << c.query;
    EXPECT_NE(html.find("<td>n" + std::to_string(c.first) + "</td>"), std::string::npos) << c.query;
  }
}

TEST_F(GridTest, NumberingAscendingDescendingAndRank) {
  numberedRows(23);
  struct Case {
    Variant xuhao;
    const char* query;
    std::vector<long> numbers;
  } cases[] = {
      {Variant(2), "", {23, 22, 21, 20, 19, 18, 17, 16, 15, 14}},
      {Variant(2), "page=3", {3, 2, 1}},
      {Variant("2"), "page=3", {3, 2, 1}},
      {Variant(3), "page=3", {21, 22, 23}},
      {Variant(7), "page=3", {21, 22, 23}},
      {Variant(0), "", {}},
      {Variant(-1), "", {}},
      {Variant("abc"), "", {}},
  };
  for (const auto& c : cases) {
    Grid g{"select ID,名称 from 数据 order by ID", Variant(10), c.xuhao};
    const std::string html = run(g, c.query);
    EXPECT_EQ(rowNumbers(html), c.numbers) << c.xuhao.joinText() << " " << c.query;
  }

  Grid rank{"select ID,名称 from 数据 order by ID", Variant(10), Variant(3)};
  const std::string html = run(rank, "page=3");
  EXPECT_NE(html.find("<thead><tr><td align='center' class='red'>名次</td><td>名称</td></tr></thead>"),
            std::string::npos);
  EXPECT_NE(html.find("<tr><td align='center' class='red'>21</td><td>n21</td></tr>"), std::string::npos);
}

TEST_F(GridTest, PageSizeZeroListsEveryRowWithoutPager) {
  numberedRows(23);
  Grid g{"select ID,名称 from 数据 order by ID", Variant(0), Variant(1)};
  g.pageNavyesno = Variant(1);
  for (const char* query : {"", "page=3"}) {
    const std::string html = run(g, query);
    std::vector<long> all;
    for (long n = 1; n <= 23; ++n) all.push_back(n);
    EXPECT_EQ(rowNumbers(html), all) << query;
    EXPECT_EQ(html.find("<tfoot>"), std::string::npos);
  }
}

TEST_F(GridTest, SwitchesHeldAsTextWorkAsNumbers) {
  numberedRows(3);
  Grid numbers{"select ID,名称 from 数据 order by ID",
               Variant(2),
               Variant(1),
               Variant(""),
               Variant(1),
               Variant("改"),
               Variant(1)};
  Grid texts = numbers;
  texts.psize = Variant("2");
  texts.xuhao = Variant("1");
  texts.delyesno = Variant("1");
  texts.pageNavyesno = Variant("1");
  EXPECT_EQ(run(texts, "page=2"), run(numbers, "page=2"));
}

TEST_F(GridTest, DeleteBoxesAndTheProtectedUser) {
  setupDatabase({"create table 用户(ID integer primary key, 用户名 text)",
                 "insert into 用户 values (1, 'admin'), (2, 'li')",
                 "create table 其他(ID integer primary key, 名 text)",
                 "insert into 其他 values (1, 'a'), (2, 'b')"});
  Grid users{"select ID,用户名 from 用户 order by ID"};
  users.delyesno = Variant(1);
  EXPECT_EQ(body(run(users)),
            "<tr><td>admin</td><td>&nbsp;</td></tr>"
            "<tr><td>li</td><td><input name=delids type=checkbox value='2'></td></tr>");

  Grid others{"SELECT ID,名 FROM 其他 order by ID"};
  others.delyesno = Variant(1);
  EXPECT_EQ(body(run(others)),
            "<tr><td>a</td><td><input name=delids type=checkbox value='1'></td></tr>"
            "<tr><td>b</td><td><input name=delids type=checkbox value='2'></td></tr>");
}

TEST_F(GridTest, CellTokens) {
  struct Case {
    const char* value;  // SQL literal
    const char* cell;
  } cases[] = {
      {"'ab{qzmLeft4_}一二三四五{_qzmLeft}cd'", "<td align='left'  title=\"一二三四五\" >ab一二…cd</td>"},
      {"'{qzmLeft10_}abc{_qzmLeft}'", "<td align='left' >abc</td>"},
      {"'王{qzmClassblue_}'", "<td class='blue' >王</td>"},
      {"'x{qzmClassblue_}y{qzmClassred_}'", "<td class='blue' >xy{qzmClassred_}</td>"},
      {"'{qzmLeft3_}abcdef{_qzmLeft}{qzmClassk_}'",
       "<td class='k'  align='left'  title=\"abcdef\" >abc…</td>"},
      {"'{qzmClassblue_}'", "<td class='blue' >&nbsp;</td>"},
      {"null", "<td>&nbsp;</td>"},
      {"''", "<td>&nbsp;</td>"},
      {"'<b>粗</b>'", "<td><b>粗</b></td>"},
      // Malformed tokens leave the text as it stands.
      {"'a{qzmLeft3_}bcdef'", "<td>a{qzmLeft3_}bcdef</td>"},
      {"'a{qzmLeft3bcdef{_qzmLeft}'", "<td>a{qzmLeft3bcdef{_qzmLeft}</td>"},
      {"'{qzmLeftx_}abcdef{_qzmLeft}'", "<td>{qzmLeftx_}abcdef{_qzmLeft}</td>"},
      {"'{qzmLeft99999_}abcdef{_qzmLeft}'", "<td>{qzmLeft99999_}abcdef{_qzmLeft}</td>"},
      {"'王{qzmClassblue'", "<td>王{qzmClassblue</td>"},
      {"'{qzmLeft_}ab{_qzmLeft}{qzmClassc_}'", "<td class='c' >{qzmLeft_}ab{_qzmLeft}</td>"},
      // A class name from data cannot leave its attribute.
      {"'x{qzmClassa'' onmouseover=alert(1) b_}'", "<td class='a&#39; onmouseover=alert(1) b' >x</td>"},
      {"'{qzmClass\"><script>s()</script>_}y'",
       "<td class='&quot;&gt;&lt;script&gt;s()&lt;/script&gt;' >y</td>"},
      {"'{qzmClassred big_}z'", "<td class='red big' >z</td>"},
  };
  std::vector<std::string> setup = {"create table 格(ID integer primary key, 值 text)"};
  int id = 0;
  for (const auto& c : cases)
    setup.push_back("insert into 格 values (" + std::to_string(++id) + ", " + c.value + ")");
  setupDatabase(setup);

  id = 0;
  for (const auto& c : cases) {
    // A plain column after the token cell: its title must be cleared.
    Grid g{"select ID,值,'后' as 后 from 格 where ID=" + std::to_string(++id), Variant(0)};
    EXPECT_EQ(body(run(g)), std::string("<tr>") + c.cell + "<td>后</td></tr>") << c.value;
  }
}

// The way pages show user text: htmlEncode() in the statement. Markup is
// inert and the braces of a {qzm...} token typed by a user are entities, so
// the grid finds no token in it.
TEST_F(GridTest, UserTextThroughHtmlEncodeIsShownInert) {
  struct Case {
    const char* typed;
    const char* cell;
  } cases[] = {
      {"<img src=x onerror=alert(1)>", "<td>&lt;img src=x onerror=alert(1)&gt;</td>"},
      {"x{qzmClassa' onclick=alert(1) b_}", "<td>x&#123;qzmClassa&#39; onclick=alert(1) b_&#125;</td>"},
      {"{qzmLeft2_}abcdef{_qzmLeft}", "<td>&#123;qzmLeft2_&#125;abcdef&#123;_qzmLeft&#125;</td>"},
      {"Tom & \"Jerry\"", "<td>Tom &amp; &quot;Jerry&quot;</td>"},
      {"王小明", "<td>王小明</td>"},
  };
  std::vector<std::string> setup = {"create table 人(ID integer primary key, 姓名 text, 年龄 integer)"};
  int id = 0;
  for (const auto& c : cases) {
    ++id;
    setup.push_back("insert into 人 values (" + std::to_string(id) + ", '" + replaceAll(c.typed, "'", "''") +
                    "', " + std::to_string(20 + id) + ")");
  }
  setup.push_back("insert into 人 values (99, null, null)");
  setupDatabase(setup);

  id = 0;
  for (const auto& c : cases) {
    Grid g{"select ID, htmlEncode(姓名) as 姓名 from 人 where ID=" + std::to_string(++id), Variant(0)};
    EXPECT_EQ(body(run(g)), std::string("<tr>") + c.cell + "</tr>") << c.typed;
  }
  // Null stays Null (an empty cell); a number stays a number.
  Grid g{"select ID, htmlEncode(姓名), HTMLENCODE(年龄) + 1 from 人 where ID in (1, 99) order by ID",
         Variant(0)};
  EXPECT_EQ(body(run(g)),
            "<tr><td>&lt;img src=x onerror=alert(1)&gt;</td><td>22</td></tr>"
            "<tr><td>&nbsp;</td><td>&nbsp;</td></tr>");
}

TEST_F(GridTest, BadStatementIsReportedEscapedAndEndsTheResponse) {
  auto p = page();
  const std::string sql = "select * from 无此表 where 名='<script>alert(1)</script>' & \"x\"";
  Variant result = p.db->dbSelect(Variant(sql), Variant(10), Variant(1), Variant(""), Variant(0), Variant(""),
                                  Variant(1), Variant("t"));
  EXPECT_EQ(result.joinText(), "");
  EXPECT_TRUE(p.ended());
  EXPECT_EQ(p.output(),
            "<br /><font color=red>SQL语句有误!<br /><br />select * from 无此表 where 名=&#39;&lt;script&gt;"
            "alert(1)&lt;/script&gt;&#39; &amp; &quot;x&quot;</font>");
  EXPECT_EQ(p.db->rsValue(), nullptr);
}

TEST_F(GridTest, FailuresBeforeTheOpenReachTheCaller) {
  numberedRows(2);
  auto errorOf = [&](const Variant& sql, const Variant& delyesno, bool connect) {
    auto p = page({}, connect);
    const std::int32_t number = testing::errorOf([&] {
      p.db->dbSelect(sql, Variant(10), Variant(0), Variant(""), delyesno, Variant(""), Variant(0),
                     Variant("t"));
    });
    EXPECT_FALSE(p.ended());
    return number;
  };
  EXPECT_EQ(errorOf(Variant("select 1"), Variant(1), true), err::kInvalidCall);  // no "from"
  EXPECT_EQ(errorOf(Variant("select * from 数据"), Variant("abc"), true), err::kTypeMismatch);
  EXPECT_EQ(errorOf(Variant("select * from 数据"), Variant(0), false), err::kObjectNotSet);  // no conn

  auto p = page();
  host->failures().progIds.insert("ADODB.Recordset");
  EXPECT_THROW(p.db->dbSelect(Variant("select * from 数据"), Variant(10), Variant(0), Variant(""), Variant(0),
                              Variant(""), Variant(0), Variant("t")),
               ComError);
}

TEST_F(GridTest, APageCostsACountAndThatPage) {
  numberedRows(23);
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  auto fake = installFakeProvider(*providers);
  registerDataClasses(host->classes(), providers);

  PageRequest request;
  request.query = "page=3";
  auto p = page(request);
  fake->log.clear();
  const std::string sql = "select ID,名称 from 数据 order by ID";
  const std::string html = p.db->dbSelect(Variant(sql), Variant(5), Variant(2), Variant(""), Variant(0),
                                          Variant(""), Variant(1), Variant("t"))
                               .joinText();
  EXPECT_EQ(rowNumbers(html), (std::vector<long>{13, 12, 11, 10, 9}));
  // Opening prepares the statement without reading it; then the count and
  // the one page.
  EXPECT_EQ(fake->log, (std::vector<std::string>{sql, "count: " + sql, sql + " LIMIT 5 OFFSET 10"}));
}

}  // namespace
}  // namespace kvdn
