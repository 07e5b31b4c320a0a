// The Access / SQL Server dialect as SQLite runs it: every translation is
// checked as text and then run, so a LIMIT in the wrong place fails here.
#include "sql_text.h"

#include <gtest/gtest.h>

#include "support/site_fixture.h"

namespace kvdn::sql {
namespace {

struct Translation {
  const char* in;
  const char* out;
};

const Translation kTranslations[] = {
    {"select top 5 * from t", "select * from t LIMIT 5"},
    {"SELECT TOP 1 * FROM t WHERE id=2", "SELECT * FROM t WHERE id=2 LIMIT 1"},
    {"select Top 3 a from t order by a desc", "select a from t order by a desc LIMIT 3"},
    {"SELECT DISTINCT TOP 2 a FROM t ORDER BY a", "SELECT DISTINCT a FROM t ORDER BY a LIMIT 2"},
    {"select top (2) a from t;", "select a from t LIMIT 2;"},
    {"select top 1 a from t -- the newest\n", "select a from t LIMIT 1 -- the newest\n"},
    // Sub-queries: the LIMIT closes that sub-select, after its ORDER BY.
    {"select * from t where id in (select top 1 id from u order by b desc)",
     "select * from t where id in (select id from u order by b desc LIMIT 1)"},
    {"select top 2 * from (select top 4 * from t order by a) order by b",
     "select * from (select * from t order by a LIMIT 4) order by b LIMIT 2"},
    {"select a, (SELECT TOP 1 b FROM u WHERE u.id = t.id) from t",
     "select a, (SELECT b FROM u WHERE u.id = t.id LIMIT 1) from t"},
    // Compound arms cannot carry their own LIMIT in SQLite: wrapped.
    {"select top 1 a from t union all select top 2 b from u",
     "SELECT * FROM (select a from t LIMIT 1) union all SELECT * FROM (select b from u LIMIT 2)"},
    {"insert into u (id, b) select top 2 id, a from t order by id",
     "insert into u (id, b) select id, a from t order by id LIMIT 2"},
    // Untouched: literals, names, TOP that is not a row limit.
    {"select 'top 5' from t", "select 'top 5' from t"},
    {"select [top] from t", "select [top] from t"},
    {"select top from t", "select top from t"},
    {"select \"select top 3\" from t", "select \"select top 3\" from t"},
    {"select [a b] from [t] where a='it''s top 1'", "select [a b] from [t] where a='it''s top 1'"},
    {"update t set a = 1 where id in (1, 2)", "update t set a = 1 where id in (1, 2)"},
};

class TranslationTest : public ::testing::TestWithParam<Translation> {};

TEST_P(TranslationTest, TranslatesAndRuns) {
  const Translation& t = GetParam();
  std::string out = translateTop(t.in);
  EXPECT_EQ(out, t.out);

  kvdn::testing::TempDir dir;
  auto file = dir.path() / "d.db";
  kvdn::testing::runSql(file,
                        {"create table t (id integer primary key, a text, b text, [top] text, [a b] text)",
                         "create table u (id integer primary key, b text)",
                         "insert into t (id, a, b) values (1, 'x', 'p'), (2, 'y', 'q'), (3, 'z', 'r')",
                         "insert into u (id, b) values (10, 'k')"});
  kvdn::testing::runSql(file, {out});
}

INSTANTIATE_TEST_SUITE_P(Dialect, TranslationTest, ::testing::ValuesIn(kTranslations));

TEST(SqlDialect, TopWithoutARowLimitFormIsLeftForTheEngine) {
  EXPECT_EQ(translateTop("select top 10 percent * from t"), "select top 10 percent * from t");
  EXPECT_EQ(translateTop("select top 3 with ties a from t order by a"),
            "select top 3 with ties a from t order by a");
}

TEST(SqlDialect, TokensCoverEveryByteAndKeepLiteralsWhole) {
  std::string sql = "select 'a;b', [x y], \"q\"\"r\" /* c */ from t -- end";
  auto tokens = tokenize(sql);
  std::size_t at = 0;
  int strings = 0, names = 0, comments = 0;
  for (const auto& t : tokens) {
    EXPECT_EQ(t.begin, at);
    at = t.end;
    strings += t.kind == TokenKind::String;
    names += t.kind == TokenKind::QuotedName;
    comments += t.kind == TokenKind::Comment;
  }
  EXPECT_EQ(at, sql.size());
  EXPECT_EQ(strings, 1);
  EXPECT_EQ(names, 2);
  EXPECT_EQ(comments, 2);
}

TEST(SqlDialect, ShapeOfStatements) {
  EXPECT_TRUE(shapeOf("select * from t").query);
  EXPECT_TRUE(shapeOf(" with c as (select 1) select * from c").query);
  EXPECT_FALSE(shapeOf("with c as (select 1) delete from t where id in c").query);
  EXPECT_FALSE(shapeOf("delete from t").query);
  EXPECT_FALSE(shapeOf("select * from t where id in (select id from u limit 1)").limited);
  EXPECT_TRUE(shapeOf("select * from t limit 1").limited);
  EXPECT_TRUE(shapeOf("select a from t union select b from u").compound);
  EXPECT_TRUE(shapeOf("select distinct a from t").distinct);
  EXPECT_TRUE(shapeOf("select a, count(*) from t group by a").grouped);
}

TEST(SqlDialect, PagesAndCounts) {
  EXPECT_EQ(limitRows("select * from t order by a;", 20, 40),
            "select * from t order by a LIMIT 20 OFFSET 40");
  EXPECT_EQ(limitRows("select * from t", -1, 0), "select * from t LIMIT -1");
  EXPECT_EQ(limitRows("select * from t LIMIT 5", 2, 2),
            "SELECT * FROM (select * from t LIMIT 5) LIMIT 2 OFFSET 2");
  EXPECT_EQ(countRows("select * from t order by a desc"), "SELECT count(*) FROM (select * from t  )");
  EXPECT_EQ(countRows("select * from t order by a LIMIT 5 -- x"),
            "SELECT count(*) FROM (select * from t  LIMIT 5)");
  EXPECT_EQ(countRows("select * from t where id in (select id from u order by b)"),
            "SELECT count(*) FROM (select * from t where id in (select id from u order by b))");
}

TEST(SqlDialect, LeadingKeyColumnOnlyWhereRowsAreTableRows) {
  EXPECT_EQ(withLeadingColumn("select * from t LIMIT 1", "rowid"), "select rowid, * from t LIMIT 1");
  EXPECT_EQ(withLeadingColumn("with c as (select 1) select * from t", "rowid"),
            "with c as (select 1) select rowid, * from t");
  EXPECT_EQ(withLeadingColumn("select distinct a from t", "rowid"), "");
  EXPECT_EQ(withLeadingColumn("select a, count(*) from t group by a", "rowid"), "");
  EXPECT_EQ(withLeadingColumn("select a from t union select b from u", "rowid"), "");
  EXPECT_EQ(withLeadingColumn("delete from t", "rowid"), "");
}

TEST(SqlDialect, NamesAndTables) {
  EXPECT_EQ(quoteIdentifier("a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(tableNameOnly(" 用户 "), "用户");
  EXPECT_EQ(tableNameOnly("[my table];"), "my table");
  EXPECT_EQ(tableNameOnly("\"a\"\"b\""), "a\"b");
  EXPECT_EQ(tableNameOnly("select"), "");
  EXPECT_EQ(tableNameOnly("select * from t"), "");
  EXPECT_EQ(trimStatement("select 1 ; -- c\n "), "select 1");
}

}  // namespace
}  // namespace kvdn::sql
