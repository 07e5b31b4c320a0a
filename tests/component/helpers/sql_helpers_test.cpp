// findTableName and dbShsl.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kvdn/db_class.h"
#include "support/errors.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using ::kvdn::testing::errorOf;

TEST(FindTableName, TakesTheWordAfterFrom) {
  const std::pair<const char*, const char*> cases[] = {
      {"select ID,姓名 from 用户 where ID>1", "用户"},
      {"SELECT * FROM Users", "users"},
      {"select * from news", "news"},
      {"select * from  news where 1=1", "news"},
      {"select * from     news where 1=1", "news"},  // any run of blanks
      {"select *\r\nfrom\tnews\nwhere ID=2", "news"},
      {"select fromCity, ID from trips order by ID", "trips"},
      {"select a.ID from [Order Lines] a", "[order lines]"},
      {"select * from [用户] where ID=1", "[用户]"},
      {"select 'from here' as t, [from] from logs", "logs"},
      {"select 'it''s from me' from notes", "notes"},
      {"select count(*) as n from users", "users"},
      {"select * from", ""},
      {"select * from   ", ""},
      // Every letter is lower-cased, not only ASCII ones.
      {"SELECT * FROM ÄRZTE", "ärzte"},
      {"SELECT * FROM ДАННЫЕ WHERE ID=1", "данные"},
      {"Select ID From ＵＳＥＲ用户", "ｕｓｅｒ用户"},
  };
  DbClass db;
  for (const auto& [sql, table] : cases) EXPECT_EQ(db.findTableName(sql).joinText(), table) << sql;
}

TEST(FindTableName, WithoutFromFails) {
  DbClass db;
  for (const char* sql : {"select 1", "", "select fromCity", "update t set a=1", "select 'from' as x"}) {
    EXPECT_EQ(errorOf([&] { db.findTableName(sql); }), err::kInvalidCall) << sql;
  }
  EXPECT_EQ(errorOf([&] { db.findTableName(Variant::null()); }), err::kInvalidNull);
}

class DbShslTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setupDatabase({"create table t(ID integer primary key, name text, born date)",
                   "insert into t values (1, 'ann', '2001-02-03 00:00:00')",
                   "insert into t values (2, null, null)",
                   "insert into t values (3, '张三', '1999-12-31 08:30:00')"});
  }
};

TEST_F(DbShslTest, FirstColumnOfTheFirstRow) {
  auto p = page();
  const Variant count = p.db->dbShsl("select count(*) from t");
  EXPECT_TRUE(count.isNumber());
  EXPECT_TRUE(numEq(count, 3));
  EXPECT_TRUE(numEq(p.db->dbShsl("select max(ID) from t"), 3));
  EXPECT_EQ(p.db->dbShsl("select name, ID from t order by ID desc").joinText(), "张三");
  EXPECT_EQ(p.db->dbShsl("select born from t where ID=1").type(), VarType::Date);

  const Variant none = p.db->dbShsl("select name from t where ID=99");
  ASSERT_TRUE(none.isString());
  EXPECT_EQ(none.str(), "");
  EXPECT_TRUE(p.db->dbShsl("select name from t where ID=2").isNull());
  // Its recordset is its own: the shared slot is left alone.
  EXPECT_EQ(p.db->rsValue(), nullptr);
}

TEST_F(DbShslTest, LeavesNoLockBehind) {
  auto p = page();
  p.db->dbShsl("select name from t order by ID");  // more rows than it reads
  // A recordset left open would hold the file's read lock.
  testing::runSql(databaseFile(), {"insert into t values (4, 'dan', null)"});
  EXPECT_TRUE(numEq(p.db->dbShsl("select count(*) from t"), 4));
}

TEST_F(DbShslTest, FailuresGoToTheCaller) {
  auto p = page();
  EXPECT_LT(errorOf([&] { p.db->dbShsl("select * from nosuch"); }), 0);
  EXPECT_LT(errorOf([&] { p.db->dbShsl("selec nonsense"); }), 0);
  // A statement without rows leaves nothing to read.
  EXPECT_LT(errorOf([&] { p.db->dbShsl("update t set name='x' where ID=1"); }), 0);
  EXPECT_FALSE(p.ended());

  auto unconnected = page({}, false);
  EXPECT_EQ(errorOf([&] { unconnected.db->dbShsl("select 1"); }), err::kObjectNotSet);
}

}  // namespace
}  // namespace kvdn
