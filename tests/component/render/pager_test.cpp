// pageNav over any object that answers PageCount, PageSize and RecordCount by
// name (the grid tests cover it over a real recordset).
#include <gtest/gtest.h>

#include <string>

#include "kvdn/db_class.h"
#include "support/errors.h"

namespace kvdn {
namespace {

// A late-bound object with the three figures, as a page's own recordset
// wrapper would be.
class Figures final : public Object {
 public:
  Figures(Variant pageCount, Variant pageSize, Variant recordCount)
      : pageCount_(std::move(pageCount)),
        pageSize_(std::move(pageSize)),
        recordCount_(std::move(recordCount)) {}
  Variant getProperty(std::string_view name) override {
    if (iequals(name, "PageCount")) return pageCount_;
    if (iequals(name, "PageSize")) return pageSize_;
    if (iequals(name, "RecordCount")) return recordCount_;
    return Object::getProperty(name);
  }

 private:
  Variant pageCount_, pageSize_, recordCount_;
};

std::string link(const std::string& page, const std::string& text) {
  return "<a onclick=callTableData('?ac=call&page=" + page + "')>" + text + "</a>&nbsp;";
}

TEST(PagerTest, EnabledAndDisabledForms) {
  struct Case {
    Variant page;
    int pageCount, pageSize, recordCount;
    std::string expected;
  } cases[] = {
      {Variant(1), 1, 10, 7,
       "第1页/共1页&nbsp;每页10条/共7条&nbsp;第一页&nbsp;上一页&nbsp;下一页&nbsp;最后页"},
      {Variant(2), 5, 10, 45,
       "第2页/共5页&nbsp;每页10条/共45条&nbsp;" + link("1", "第一页") + link("1", "上一页") +
           link("3", "下一页") + link("5", "最后页")},
      {Variant(5), 5, 10, 45,
       "第5页/共5页&nbsp;每页10条/共45条&nbsp;" + link("1", "第一页") + link("4", "上一页") +
           "下一页&nbsp;最后页"},
      {Variant(0), 0, 10, 0,
       "第0页/共0页&nbsp;每页10条/共0条&nbsp;第一页&nbsp;上一页&nbsp;下一页&nbsp;最后页"},
      {Variant(7), 5, 10, 45,
       "第7页/共5页&nbsp;每页10条/共45条&nbsp;" + link("1", "第一页") + link("6", "上一页") +
           "下一页&nbsp;最后页"},
      {Variant("3"), 5, 20, 90,
       "第3页/共5页&nbsp;每页20条/共90条&nbsp;" + link("1", "第一页") + link("2", "上一页") +
           link("4", "下一页") + link("5", "最后页")},
      {Variant(), 2, 10, 15,
       "第页/共2页&nbsp;每页10条/共15条&nbsp;第一页&nbsp;上一页&nbsp;" + link("1", "下一页") +
           link("2", "最后页")},
  };
  DbClass db;
  for (const auto& c : cases) {
    auto figures =
        std::make_shared<Figures>(Variant(c.pageCount), Variant(c.pageSize), Variant(c.recordCount));
    EXPECT_EQ(db.pageNav(Variant(figures), c.page).joinText(), c.expected) << c.page.joinText();
  }
}

TEST(PagerTest, WhatIsNoRecordsetFails) {
  DbClass db;
  auto errorOf = [&](const Variant& rs, const Variant& page) {
    return testing::errorOf([&] { db.pageNav(rs, page); });
  };
  auto figures = std::make_shared<Figures>(Variant(5), Variant(10), Variant(45));
  EXPECT_EQ(errorOf(Variant(), Variant(1)), err::kObjectRequired);
  EXPECT_EQ(errorOf(Variant("rs"), Variant(1)), err::kObjectRequired);
  EXPECT_EQ(errorOf(Variant(ObjectPtr()), Variant(1)), err::kObjectNotSet);
  EXPECT_EQ(errorOf(Variant(std::make_shared<Object>()), Variant(1)), err::kNotSupported);
  EXPECT_EQ(errorOf(Variant(figures), Variant("abc")), err::kTypeMismatch);
}

}  // namespace
}  // namespace kvdn
