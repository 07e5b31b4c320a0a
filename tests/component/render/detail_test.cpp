// xiangxi through the in-memory host over a real SQLite file.
#include <gtest/gtest.h>

#include <string>

#include "kvdn/db_class.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

class DetailTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setupDatabase({"create table 人员(ID integer primary key, 姓名 text, 备注 text, 年龄 integer)",
                   "insert into 人员 values (1, '张三', null, 30), (2, '<i>李四</i>', '', 41)"});
  }

  static std::string row(const std::string& name, const std::string& value, const char* w1 = "100",
                         const char* w2 = "300") {
    return std::string("<tr><td width='") + w1 + "' align='right'>" + name + "</td><td width='" + w2 +
           "' align='left'>" + value + "</td></tr>";
  }
  static std::string head(const std::string& width, const std::string& title) {
    return "<table width='" + width +
           "' border=0 cellpadding=4 cellspacing=0 class='tableWg' align='center'><thead><tr "
           "align='center'><td "
           "colspan='2' style='height:25px;font-size:14px;'>" +
           title + "</td></tr></thead>";
  }
};

TEST_F(DetailTest, Tables) {
  struct Case {
    const char* sql;
    Variant width1, width2;
    std::string expected;
  } cases[] = {
      // Several rows: only the first; Null shows &nbsp;; column 0 never shows.
      {"select * from 人员 order by ID", Variant(100), Variant(300),
       head("405", "<b>详细</b>") + row("姓名", "张三") + row("备注", "&nbsp;") + row("年龄", "30") +
           "</table>"},
      // An empty string stays empty; markup passes through; widths in text add as numbers.
      {"select 年龄, 姓名, 备注 from 人员 where ID=2", Variant("100"), Variant("300"),
       head("405", "<b>详细</b>") + row("姓名", "<i>李四</i>") + row("备注", "") + "</table>"},
      {"select 姓名 from 人员 where ID=1", Variant(60), Variant(80.5),
       head("145.5", "<b>详细</b>") + "</table>"},
      {"select * from 人员 where ID=9", Variant("x"), Variant(300), "对不起，无记录！"},
  };
  for (const auto& c : cases) {
    auto p = page();
    EXPECT_EQ(p.db->xiangxi(Variant(c.sql), c.width1, c.width2, Variant("<b>详细</b>")).joinText(),
              c.expected)
        << c.sql;
    EXPECT_EQ(p.db->rsValue(), nullptr);
  }
}

TEST_F(DetailTest, FailuresReachThePage) {
  struct Case {
    const char* sql;
    Variant width1;
    bool connect;
    int number;  // 0: any negative data-layer number
  } cases[] = {
      {"select * from 人员", Variant("宽"), true, err::kTypeMismatch},
      {"select * from 无此表", Variant(100), true, 0},
      {"select * from 人员", Variant(100), false, err::kObjectNotSet},
  };
  for (const auto& c : cases) {
    auto p = page({}, c.connect);
    try {
      p.db->xiangxi(Variant(c.sql), c.width1, Variant(300), Variant("t"));
      ADD_FAILURE() << c.sql << ": no error";
    } catch (const ComError& e) {
      if (c.number != 0) {
        EXPECT_EQ(e.number(), c.number) << c.sql;
      } else {
        EXPECT_LT(e.number(), 0) << c.sql;
      }
    }
    EXPECT_EQ(p.db->rsValue(), nullptr);
    EXPECT_FALSE(p.ended());
  }
}

}  // namespace
}  // namespace kvdn
