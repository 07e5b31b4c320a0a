// The server dialects as text: what each server is sent for the statements
// pages write, for a page of rows and for a count.
#include "odbc_dialect.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kvdn::odbc {
namespace {

struct Case {
  const char* in;
  const char* out;
};

TEST(OdbcDialect, ServerKindFromTheDbmsName) {
  EXPECT_EQ(serverKindOf("Microsoft SQL Server"), ServerKind::SqlServer);
  EXPECT_EQ(serverKindOf("PostgreSQL"), ServerKind::PostgreSql);
  EXPECT_EQ(serverKindOf("MySQL"), ServerKind::Other);
  EXPECT_EQ(serverKindOf(""), ServerKind::Other);
  EXPECT_EQ(serverKindOf("MDBTOOLS"), ServerKind::MdbTools);
}

// mdbtools: Access SQL as it is; a page window is a LIMIT to its end plus
// an OFFSET that the session takes off again (and skips itself); TOP and
// LIMIT never together; an OFFSET inside a literal or a name is no clause.
TEST(OdbcDialect, MdbToolsWindowsAndTheOffsetTakenBack) {
  auto d = makeDialect(ServerKind::MdbTools);
  EXPECT_EQ(d->translate("select top 2 [A] from [T 1]"), "select top 2 [A] from [T 1]");
  EXPECT_EQ(d->quoteIdentifier("a]b"), "[a]]b]");
  struct Window {
    const char* sql;
    std::int64_t limit, offset;
    const char* sent;  // after the offset is taken back
    std::int64_t skipped;
  } cases[] = {
      {"select A from T", 2, 0, "select A from T LIMIT 2", 0},
      {"select A from T where B = 1;", 2, 3, "select A from T where B = 1 LIMIT 5", 3},
      {"select A from T", -1, 4, "select A from T", 4},
      {"select top 4 A from T", 2, 1, "select top 4 A from T", 1},
      {"select A from T limit 9", 1, 1, "select A from T limit 9", 1},
      {"select A from T", -1, 0, "select A from T", 0},
  };
  for (const auto& c : cases) {
    std::string sql = d->limitRows(c.sql, c.limit, c.offset);
    EXPECT_EQ(takeTrailingOffset(sql), c.skipped) << c.sql;
    EXPECT_EQ(sql, c.sent) << c.sql;
  }
  for (const char* kept : {"select A from T where B = 'x OFFSET 3'", "select [OFFSET 3] from T",
                           "select A from T offset", "select A from T OFFSET x"}) {
    std::string sql = kept;
    EXPECT_EQ(takeTrailingOffset(sql), 0) << kept;
    EXPECT_EQ(sql, kept);
  }
  EXPECT_EQ(d->countRows("select A from T where B = 1"), "select A from T where B = 1");
}

TEST(OdbcDialect, PostgresTranslationLimitsQuotesAndNamesDerivedTables) {
  auto d = makeDialect(ServerKind::PostgreSql, '"', NameFolding::Lower);
  const Case cases[] = {
      {"select top 5 * from t order by ID", "select * from t order by ID LIMIT 5"},
      {"SELECT DISTINCT TOP (3) a FROM t", "SELECT DISTINCT a FROM t LIMIT 3"},
      // Brackets delimit a name without making its case count.
      {"select [ID],[名称],[First Name] from [数据]", "select \"id\",\"名称\",\"first name\" from \"数据\""},
      {"select a from t where b = '[x] top 5'", "select a from t where b = '[x] top 5'"},
      {"select \"Mixed\" from t", "select \"Mixed\" from t"},
      {"select ID from t where ID in (select top 2 ID from t order by q desc)",
       "select ID from t where ID in (select ID from t order by q desc LIMIT 2)"},
      {"select top 1 a from t union select top 1 a from u",
       "SELECT * FROM (select a from t LIMIT 1) AS kvdn_d1 union SELECT * FROM (select a from u LIMIT 1) AS "
       "kvdn_d2"},
      {"select * from (select a from t) x", "select * from (select a from t) x"},
      {"select * from (select a from t) as x where a > 1",
       "select * from (select a from t) as x where a > 1"},
      {"select * from (select a from t) where a > 1",
       "select * from (select a from t) AS kvdn_d1 where a > 1"},
      {"select * from t where a in (select a from u)", "select * from t where a in (select a from u)"},
      {"update t set a = 1 where ID = 3", "update t set a = 1 where ID = 3"},
  };
  for (const Case& c : cases) EXPECT_EQ(d->translate(c.in), c.out) << c.in;
  EXPECT_EQ(d->quoteIdentifier("Mixed\"Name"), "\"Mixed\"\"Name\"");
  EXPECT_TRUE(d->isQuery("with c as (select 1) select * from c"));
  EXPECT_FALSE(d->isQuery("delete from t"));
}

TEST(OdbcDialect, PostgresPagesAndCounts) {
  auto d = makeDialect(ServerKind::PostgreSql);
  EXPECT_EQ(d->limitRows("select a from t order by a;", 20, 40),
            "select a from t order by a LIMIT 20 OFFSET 40");
  EXPECT_EQ(d->limitRows("select a from t", 20, 0), "select a from t LIMIT 20");
  EXPECT_EQ(d->limitRows("select a from t", -1, 0), "select a from t");
  EXPECT_EQ(d->limitRows("select a from t", -1, 7), "select a from t LIMIT 9223372036854775807 OFFSET 7");
  EXPECT_EQ(d->limitRows("select a from t order by a LIMIT 5", 2, 2),
            "SELECT * FROM (select a from t order by a LIMIT 5) AS kvdn_page LIMIT 2 OFFSET 2");
  EXPECT_EQ(d->countRows("select a from t where b = 1 order by a desc"),
            "SELECT count(*) FROM (select a from t where b = 1  ) AS kvdn_count");
  EXPECT_EQ(d->countRows("select a from t order by a LIMIT 5"),
            "SELECT count(*) FROM (select a from t  LIMIT 5) AS kvdn_count");
  EXPECT_EQ(d->countRows("select a, (select b from u order by b LIMIT 1) from t"),
            "SELECT count(*) FROM (select a, (select b from u order by b LIMIT 1) from t) AS kvdn_count");
}

TEST(OdbcDialect, SqlServerKeepsItsOwnSyntax) {
  auto d = makeDialect(ServerKind::SqlServer, '"', NameFolding::None);
  for (const char* sql : {"select top 5 [ID] from [数据] order by ID", "select \"a\" from t"}) {
    EXPECT_EQ(d->translate(sql), sql);
  }
  EXPECT_EQ(d->quoteIdentifier("a]b"), "[a]]b]");
  const Case pages[] = {
      {"select a from t order by a", "select a from t order by a OFFSET 40 ROWS FETCH NEXT 20 ROWS ONLY"},
      {"select a from t",
       "SELECT * FROM (select a from t) AS kvdn_page ORDER BY (SELECT NULL) OFFSET 40 ROWS FETCH NEXT 20 "
       "ROWS "
       "ONLY"},
      {"select top 100 a from t order by a",
       "SELECT * FROM (select top 100 a from t order by a) AS kvdn_page ORDER BY (SELECT NULL) OFFSET 40 "
       "ROWS "
       "FETCH NEXT 20 ROWS ONLY"},
      {"select a from t union select a from u order by a",
       "select a from t union select a from u order by a OFFSET 40 ROWS FETCH NEXT 20 ROWS ONLY"},
  };
  for (const Case& c : pages) EXPECT_EQ(d->limitRows(c.in, 20, 40), c.out) << c.in;
  EXPECT_EQ(d->limitRows("select a from t order by a", -1, 3), "select a from t order by a OFFSET 3 ROWS");
  EXPECT_EQ(d->countRows("select a from t order by a"),
            "SELECT count(*) FROM (select a from t  ) AS kvdn_count");
  EXPECT_EQ(d->countRows("select top 3 a from t order by a"),
            "SELECT count(*) FROM (select top 3 a from t order by a) AS kvdn_count");
}

// htmlEncode(x), which every provider offers pages, as each server's own
// replace() calls: "&" first, the apostrophe and the braces included, the
// braces never written into the statement (drivers read "{" as an escape).
TEST(OdbcDialect, HtmlEncodeBecomesTheServersReplaceCalls) {
  const std::string pgOpen = "replace(replace(replace(replace(replace(replace(replace(CAST(";
  const std::string pgEntities =
      ",'&','&amp;'),'<','&lt;'),'>','&gt;'),'\"','&quot;'),'''','&#39;'),chr(123),'&#123;'),chr(125),'&#125;"
      "')";
  auto pg = makeDialect(ServerKind::PostgreSql, '"', NameFolding::Lower);
  const std::pair<std::string, std::string> cases[] = {
      {"select ID, htmlEncode(u.姓名) as 姓名 from 用户 u",
       "select ID, replace(replace(replace(replace(replace(replace(replace(CAST(u.姓名 AS text)"
       ",'&','&amp;'),'<','&lt;'),'>','&gt;'),'\"','&quot;'),'''','&#39;'),chr(123),'&#123;'),chr(125),"
       "'&#125;') as 姓名 from 用户 u"},
      {"select '{qzmLeft9_}' || HTMLENCODE ( [名称] ) || '{_qzmLeft}' from t",
       "select '{qzmLeft9_}' || " + pgOpen + " \"名称\"  AS text)" + pgEntities + " || '{_qzmLeft}' from t"},
      {"select htmlEncode(coalesce(a, 'x)')) from t",
       "select " + pgOpen + "coalesce(a, 'x)') AS text)" + pgEntities + " from t"},
      {"select htmlEncode(htmlEncode(a)) from t",
       "select " + pgOpen + pgOpen + "a AS text)" + pgEntities + " AS text)" + pgEntities + " from t"},
      // Not a call of the function: untouched.
      {"select htmlEncode from t where x = 'htmlEncode(a)'",
       "select htmlEncode from t where x = 'htmlEncode(a)'"},
      {"select s.htmlEncode(a) from t", "select s.htmlEncode(a) from t"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(pg->translate(in), out) << in;
  // Translated before TOP becomes LIMIT.
  EXPECT_EQ(pg->translate("select top 2 htmlEncode(a) from t"),
            "select " + pgOpen + "a AS text)" + pgEntities + " from t LIMIT 2");

  auto mssql = makeDialect(ServerKind::SqlServer, '"', NameFolding::None);
  EXPECT_EQ(
      mssql->translate("select top 2 htmlEncode([名称]) from t"),
      "select top 2 replace(replace(replace(replace(replace(replace(replace(CAST([名称] AS nvarchar(max))"
      ",'&','&amp;'),'<','&lt;'),'>','&gt;'),'\"','&quot;'),'''','&#39;'),CHAR(123),'&#123;'),"
      "CHAR(125),'&#125;') from t");
}

TEST(OdbcDialect, NamesComeBackInTheStatementsSpelling) {
  struct NameCase {
    const char* label;
    const char* sql;
    NameFolding folding;
    const char* expected;
  } cases[] = {
      {"id", "select ID, name from t", NameFolding::Lower, "ID"},
      {"title", "select name as Title from t", NameFolding::Lower, "Title"},
      {"name", "select ID, name from t", NameFolding::Lower, "name"},
      {"id", "select * from t", NameFolding::Lower, "id"},
      {"id", "select 'ID' as x, \"id\" from t", NameFolding::Lower, "id"},  // literals and quoted names
      {"id", "select ID from t", NameFolding::None, "id"},
      {"NAME", "select Name from t", NameFolding::Upper, "Name"},
      {"名称", "select 名称 from t", NameFolding::Lower, "名称"},
  };
  for (const auto& c : cases) EXPECT_EQ(restoreNameCase(c.label, c.sql, c.folding), c.expected) << c.sql;
}

TEST(OdbcDialect, SingleTableOfAQuery) {
  struct TableCase {
    const char* sql;
    const char* table;
  } cases[] = {
      {"select top 1 * from news where ID=5", "news"},
      {"select * from News", "news"},
      {"select * from \"News\" n order by ID", "News"},
      {"select * from [News] as n", "news"},
      {"select * from dbo.news where x = 1", "news"},
      {"select 名称 from 功能模块 order by 顺序", "功能模块"},
      {"select * from a, b", ""},
      {"select * from a join b on a.x = b.x", ""},
      {"select * from a left join b on a.x = b.x", ""},
      {"select * from (select * from a) x", ""},
      {"select * from a union select * from b", ""},
      {"delete from a", ""},
      {"select 1", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(singleTable(c.sql, NameFolding::Lower), c.table) << c.sql;
}

TEST(OdbcDialect, KeyColumnsGoBeforeTheSelectList) {
  const Case cases[] = {
      {"select name from t where ID = 2", "select \"id\", name from t where ID = 2"},
      {"select all name from t", "select all \"id\", name from t"},
      {"select top 1 name from t", "select top 1 \"id\", name from t"},
      {"select top (1) name from t", "select top (1) \"id\", name from t"},
      {"select top 10 percent with ties name from t order by name",
       "select top 10 percent with ties \"id\", name from t order by name"},
      {"select distinct name from t", ""},
      {"select name, count(*) from t group by name", ""},
      {"select a from t union select a from u", ""},
      {"update t set a = 1", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(withLeadingColumns(c.in, "\"id\""), c.out) << c.in;
}

TEST(OdbcDialect, OneStatementPerCall) {
  EXPECT_FALSE(hasSecondStatement("select 1"));
  EXPECT_FALSE(hasSecondStatement("select 1;  -- done\n"));
  EXPECT_FALSE(hasSecondStatement("select ';drop table t' from t;"));
  EXPECT_TRUE(hasSecondStatement("select 1; drop table t"));
  EXPECT_TRUE(hasSecondStatement("select 1;;select 2"));
}

}  // namespace
}  // namespace kvdn::odbc
