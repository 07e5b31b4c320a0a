// dbSelect when the data layer fails part-way, through the fake provider's
// switches: a failure of the open is reported on the page; every later
// failure (the count, the page's rows, a row write elsewhere) is skipped and
// the grid is built from what succeeded, without raising and without ending
// the response.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/provider.h"
#include "support/errors.h"
#include "support/fake_provider.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

class GridFaultTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setupDatabase({"create table 数据(ID integer primary key, 名称 text)",
                   "with recursive c(x) as (select 1 union all select x + 1 from c where x < 23) "
                   "insert into 数据 select x, 'n' || x from c"});
    auto providers = std::make_shared<ProviderRegistry>();
    registerStandardProviders(*providers);
    fake = installFakeProvider(*providers);
    registerDataClasses(host->classes(), providers);
  }

  struct Outcome {
    std::string html;
    std::string output;
    bool ended = false;
    std::int32_t error = 0;
  };

  // Page 2 of 5 rows, numbered downwards, with the edit and delete columns
  // and the pager: every branch of the grid that reads the recordset.
  Outcome render(const std::string& sql = "select ID,名称 from 数据 order by ID") {
    PageRequest request;
    request.query = "page=2";
    auto p = page(request);
    Outcome o;
    o.error = testing::errorOf([&] {
      o.html = p.db->dbSelect(Variant(sql), Variant(5), Variant(2), Variant("添加"), Variant(1),
                              Variant("修改"), Variant(1), Variant("t"))
                   .joinText();
    });
    o.output = p.output();
    o.ended = p.ended();
    EXPECT_EQ(p.db->rsValue(), nullptr) << "the recordset slot is emptied";
    return o;
  }

  static int rows(const std::string& html) {
    int n = 0;
    for (std::size_t at = html.find("name=delids"); at != std::string::npos;
         at = html.find("name=delids", at + 1))
      ++n;
    return n;
  }

  std::shared_ptr<FakeSwitches> fake;
};

TEST_F(GridFaultTest, HealthyGridForComparison) {
  const Outcome o = render();
  EXPECT_EQ(o.error, 0);
  EXPECT_FALSE(o.ended);
  EXPECT_EQ(rows(o.html), 5);
  EXPECT_NE(o.html.find("n6"), std::string::npos);
  EXPECT_NE(o.html.find("第2页/共5页"), std::string::npos);
}

TEST_F(GridFaultTest, FailedOpenIsReportedOnThePageNotRaised) {
  fake->failStatement = true;
  fake->number = err::kDbBusy;
  fake->description = "database is locked <now>";
  const Outcome o = render("select ID,名称 from 数据 where 名称 <> '<b>'");
  EXPECT_EQ(o.error, 0);
  EXPECT_TRUE(o.ended);
  EXPECT_EQ(o.html, "");
  // The statement is echoed escaped; the driver's text is not shown.
  EXPECT_EQ(o.output,
            "<br /><font color=red>SQL语句有误!<br /><br />select ID,名称 from 数据 where 名称 &lt;&gt; "
            "&#39;&lt;b&gt;&#39;</font>");
}

TEST_F(GridFaultTest, LaterFailuresAreSkippedAndTheGridStillComes) {
  // The statements that fail, by a piece of their log line: the count
  // (which the page count, the page position and the descending numbers
  // need), then the page's own rows.
  for (const char* failing : {"count: ", "LIMIT"}) {
    SCOPED_TRACE(failing);
    fake->failStatement = true;
    fake->failStatementMatching = failing;
    const Outcome o = render();
    fake->failStatement = false;
    fake->failStatementMatching.clear();
    EXPECT_EQ(o.error, 0);
    EXPECT_FALSE(o.ended) << o.output;
    EXPECT_EQ(o.output, "");
    // A whole grid: header, body and frame closed, never more than a page.
    EXPECT_EQ(o.html.rfind("<form name='formtablepage'", 0), 0u) << o.html;
    EXPECT_NE(o.html.find("<td>名称</td>"), std::string::npos);
    EXPECT_NE(o.html.find("<tbody>"), std::string::npos);
    EXPECT_EQ(o.html.size() - o.html.rfind("</table></form>"), std::string("</table></form>").size());
    EXPECT_LE(rows(o.html), 5);
    // A pager, when there is one, tells the real figures.
    if (o.html.find("<tfoot>") != std::string::npos) {
      EXPECT_NE(o.html.find("每页5条/共23条"), std::string::npos) << o.html;
    }
    // The injected failure's text reaches nobody.
    EXPECT_EQ(o.html.find("Injected"), std::string::npos);
  }
}

// The same object renders a whole grid right after a call whose count
// failed: nothing of the failure stays in it.
TEST_F(GridFaultTest, AFailureLeavesNothingInTheObject) {
  PageRequest request;
  request.query = "page=2";
  auto p = page(request);
  auto grid = [&] {
    return p.db
        ->dbSelect(Variant("select ID,名称 from 数据 order by ID"), Variant(5), Variant(2), Variant(""),
                   Variant(1), Variant(""), Variant(1), Variant("t"))
        .joinText();
  };
  fake->failStatement = true;
  fake->failStatementMatching = "count: ";
  grid();
  fake->failStatement = false;
  const std::string html = grid();
  EXPECT_FALSE(p.ended());
  EXPECT_EQ(p.db->rsValue(), nullptr);
  EXPECT_EQ(rows(html), 5);
  EXPECT_NE(html.find("value='6'"), std::string::npos);
  EXPECT_NE(html.find("第2页/共5页"), std::string::npos);
}

}  // namespace
}  // namespace kvdn
