// The statements the spreadsheet reader understands, and those it refuses.
#include "sheet_query.h"

#include <gtest/gtest.h>

#include "kvdn/error.h"

namespace kvdn::xls {
namespace {

TEST(SheetQueryTest, ParsesTheStatementsItAnswers) {
  struct Case {
    const char* sql;
    std::vector<std::string> columns;
    bool all;
    const char* sheet;
    const char* filter;
    bool notNull;
    std::int64_t limit;
    std::int64_t offset;
  } cases[] = {
      {"select 登录账号,密码 from [用户$] where 登录账号 is not null",
       {"登录账号", "密码"},
       false,
       "用户",
       "登录账号",
       true,
       -1,
       0},
      {"SELECT * FROM [Sheet1$]", {}, true, "Sheet1", "", true, -1, 0},
      {"  Select [姓 名] , [a]]b] From [用户 表$] Where [姓 名] Is Null ;",
       {"姓 名", "a]b"},
       false,
       "用户 表",
       "姓 名",
       false,
       -1,
       0},
      {"select a from 用户$ limit 10 offset 20", {"a"}, false, "用户", "", true, 10, 20},
      {"select a from [s$] where a is not null LIMIT -1 OFFSET 3", {"a"}, false, "s", "a", true, -1, 3},
      {"select\n登录账号\tfrom\r\n[用户$]", {"登录账号"}, false, "用户", "", true, -1, 0},
      {"SELECT count(*) FROM (select a from [用户$] where a is not null)",
       {"a"},
       false,
       "用户",
       "a",
       true,
       -1,
       0},
  };
  for (const auto& c : cases) {
    SheetQuery q = parseSheetQuery(c.sql);
    EXPECT_EQ(q.count, std::string(c.sql).find("count(*)") != std::string::npos) << c.sql;
    EXPECT_EQ(q.columns, c.columns) << c.sql;
    EXPECT_EQ(q.allColumns, c.all) << c.sql;
    EXPECT_EQ(q.sheet, c.sheet) << c.sql;
    EXPECT_EQ(q.filterColumn, c.filter) << c.sql;
    if (*c.filter) {
      EXPECT_EQ(q.filterNotNull, c.notNull) << c.sql;
    }
    EXPECT_EQ(q.limit, c.limit) << c.sql;
    EXPECT_EQ(q.offset, c.offset) << c.sql;
  }
}

TEST(SheetQueryTest, RefusesOtherStatements) {
  for (const char* sql : {
           "",
           "delete from [用户$]",
           "select from [用户$]",
           "select a from 用户",                         // not a worksheet
           "select a from [用户]",                       // no "$"
           "select a, from [用户$]",                     // empty name
           "select a from [用户$] where a = 1",          // only IS [NOT] NULL
           "select a from [用户$] where a is not",       // unfinished
           "select a from [用户$",                       // unterminated bracket
           "select a from [用户$] limit x",              // not a number
           "select a from [用户$] limit 1 offset -2",    // negative offset
           "select a from [用户$] extra",                // trailing text
           "select a from [用户$]; select b from [s$]",  // two statements
           "select count(*) from (select count(*) from (select a from [s$]))",
       }) {
    try {
      parseSheetQuery(sql);
      ADD_FAILURE() << "accepted: " << sql;
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kDbErrorsInCommand) << sql;
    }
  }
}

}  // namespace
}  // namespace kvdn::xls
