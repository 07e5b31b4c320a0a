// findTableName and dbShsl.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kvdn/db_class.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

int errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ComError& e) {
    return e.number();
  }
  return 0;
}

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

}  // namespace
}  // namespace kvdn
