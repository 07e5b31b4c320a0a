// rsDropDownList over a real SQLite file; strDropDownList and its write-back.
#include <gtest/gtest.h>

#include <string>

#include "kvdn/db_class.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

const std::string kPlaceholder = "<option value=''>请选择</option>";

std::string option(const std::string& value, const std::string& text, bool selected = false) {
  return "<option value='" + value + "'" + (selected ? " selected" : "") + ">" + text + "</option>";
}

class OptionsTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setupDatabase({"create table 类别(ID integer primary key, 名称 text)",
                   "insert into 类别 values (1, '甲'), (2, '乙'), (3, '丙')",
                   // Untyped 值: 0 stays a number, '' a string.
                   "create table 选项(序 integer, 值, 文 text)",
                   "insert into 选项 values (1, 0, '零'), (2, '', '空'), (3, null, null), (4, 'a', 'A')"});
  }
};

TEST_F(OptionsTest, FromAQuery) {
  const char* byId = "select ID,名称 from 类别 order by ID";
  struct Case {
    const char* sql;
    Variant comp, xuhao;
    std::string expected;
  } cases[] = {
      {byId, Variant(3), Variant(),
       kPlaceholder + option("1", "甲") + option("2", "乙") + option("3", "丙", true)},
      // Request text against the numeric key.
      {byId, Variant("2"), Variant(0),
       kPlaceholder + option("1", "甲") + option("2", "乙", true) + option("3", "丙")},
      {byId, Variant(), Variant(1),
       kPlaceholder + option("1", "1.甲") + option("2", "2.乙") + option("3", "3.丙")},
      {byId, Variant(9), Variant("1"),
       kPlaceholder + option("1", "1.甲") + option("2", "2.乙") + option("3", "3.丙")},
      {"select 名称 from 类别 order by ID", Variant("乙"), Variant(2),
       kPlaceholder + option("甲", "甲") + option("乙", "乙", true) + option("丙", "丙")},
      // Empty comp marks 0 and ''; Null is never marked and has no text.
      {"select 值,文 from 选项 order by 序", Variant(), Variant(),
       kPlaceholder + option("0", "零", true) + option("", "空", true) + option("", "") + option("a", "A")},
      {"select 值,文 from 选项 order by 序", Variant::null(), Variant(),
       kPlaceholder + option("0", "零") + option("", "空") + option("", "") + option("a", "A")},
      {"select ID,名称 from 类别 where ID > 9", Variant(), Variant("abc"), kPlaceholder},
  };
  for (const auto& c : cases) {
    auto p = page();
    EXPECT_EQ(p.db->rsDropDownList(Variant(c.sql), c.comp, c.xuhao).joinText(), c.expected) << c.sql;
    EXPECT_EQ(p.db->rsValue(), nullptr);
  }
}

TEST_F(OptionsTest, QueryFailuresReachThePage) {
  auto p = page();
  EXPECT_THROW(p.db->rsDropDownList(Variant("select * from 无此表"), Variant(), Variant()), ComError);
  EXPECT_EQ(p.db->rsValue(), nullptr);
  try {
    p.db->rsDropDownList(Variant("select ID,名称 from 类别"), Variant(), Variant("abc"));
    ADD_FAILURE() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kTypeMismatch);
  }
  EXPECT_EQ(p.db->rsValue(), nullptr);
}

TEST(StrDropDownListTest, ItemsMarksAndWriteBack) {
  struct Case {
    Variant str, comp;
    std::string expected;
    const char* after;
  } cases[] = {
      {Variant("男，女"), Variant("女"), kPlaceholder + option("男", "男") + option("女", "女", true),
       "男,女"},
      {Variant("男, 女"), Variant(), kPlaceholder + option("男", "男") + option("女", "女"), "男,女"},
      {Variant(" 北 京 ,上海"), Variant("北京"),
       kPlaceholder + option("北京", "北京", true) + option("上海", "上海"), "北京,上海"},
      {Variant("a,b,"), Variant(), kPlaceholder + option("a", "a") + option("b", "b") + option("", "", true),
       "a,b,"},
      {Variant("Abc"), Variant("abc"), kPlaceholder + option("Abc", "Abc"), "Abc"},
      {Variant("甲、乙；丙"), Variant(), kPlaceholder + option("甲、乙；丙", "甲、乙；丙"), "甲、乙；丙"},
      {Variant(""), Variant(), kPlaceholder, ""},
      {Variant(), Variant(), kPlaceholder, ""},
      {Variant(12), Variant(12), kPlaceholder + option("12", "12", true), "12"},
      {Variant("1,2"), Variant(2), kPlaceholder + option("1", "1") + option("2", "2", true), "1,2"},
  };
  DbClass db;
  for (auto& c : cases) {
    Variant str = c.str;
    EXPECT_EQ(db.strDropDownList(str, c.comp).joinText(), c.expected) << c.str.joinText();
    EXPECT_TRUE(str.isString());
    EXPECT_EQ(str.joinText(), c.after);
  }

  Variant null = Variant::null();
  try {
    db.strDropDownList(null, Variant());
    ADD_FAILURE() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kInvalidNull);
  }
  EXPECT_TRUE(null.isNull());
}

}  // namespace
}  // namespace kvdn
