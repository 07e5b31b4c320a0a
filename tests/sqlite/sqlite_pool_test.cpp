// When a closed session's connection is handed to the next open of the same
// file, and when it must not be.
#include <gtest/gtest.h>

#include <filesystem>

#include "kvdn/error.h"
#include "kvdn/provider.h"
#include "sqlite/sqlite_provider.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

class SqlitePoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearSqlitePool();
    file = dir.path() / "app.mdb";
    testing::runSql(file, {"CREATE TABLE t (v TEXT)", "INSERT INTO t VALUES ('old')"});
  }
  void TearDown() override { clearSqlitePool(); }

  std::unique_ptr<DataSession> open(const std::filesystem::path& f) {
    return provider->open(
        ConnectionString::parse("Provider=Microsoft.Jet.OLEDB.4.0; Data Source=" + f.string()));
  }
  static std::string firstValue(DataSession& s) {
    auto cursor = s.query("SELECT v FROM t ORDER BY rowid", false);
    std::vector<Variant> row;
    return cursor->next(row) ? row[0].toString() : "<none>";
  }
  std::uint64_t reused() const { return sqlitePoolStats().reused; }

  std::shared_ptr<Provider> provider = makeSqliteProvider();
  testing::TempDir dir;
  std::filesystem::path file;
};

TEST_F(SqlitePoolTest, AClosedSessionsConnectionServesTheNextOpen) {
  const auto before = reused();
  {
    auto s = open(file);
    EXPECT_EQ(firstValue(*s), "old");
  }
  EXPECT_EQ(sqlitePoolStats().kept, 1u);
  // Another name for the same file finds it too; changes made meanwhile by
  // another connection are seen.
  testing::runSql(file, {"UPDATE t SET v = 'new'"});
  auto s = open(dir.path() / "." / "app.mdb");
  EXPECT_EQ(reused(), before + 1);
  EXPECT_EQ(sqlitePoolStats().kept, 0u);
  EXPECT_EQ(firstValue(*s), "new");
  // Two sessions at once: the second opens its own connection.
  auto other = open(file);
  EXPECT_EQ(reused(), before + 1);
}

TEST_F(SqlitePoolTest, AReplacedOrDeletedFileIsNeverReadThroughAnOldConnection) {
  const std::filesystem::path other = dir.path() / "other.mdb";
  testing::runSql(other, {"CREATE TABLE t (v TEXT)", "INSERT INTO t VALUES ('replacement')"});
  struct Case {
    const char* name;
    void (*replace)(const std::filesystem::path& file, const std::filesystem::path& other);
    const char* expected;  // nullptr: the open fails
  };
  const Case cases[] = {
      {"renamed over",
       [](const auto& f, const auto& o) {
         std::filesystem::copy_file(o, f.string() + ".x");
         std::filesystem::rename(f.string() + ".x", f);
       },
       "replacement"},
      {"deleted and made again",
       [](const auto& f, const auto& o) {
         std::filesystem::remove(f);
         std::filesystem::copy_file(o, f);
       },
       "replacement"},
      {"deleted", [](const auto& f, const auto&) { std::filesystem::remove(f); }, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearSqlitePool();
    std::filesystem::remove(file);
    testing::runSql(file, {"CREATE TABLE t (v TEXT)", "INSERT INTO t VALUES ('old')"});
    open(file).reset();
    ASSERT_EQ(sqlitePoolStats().kept, 1u);
    c.replace(file, other);
    const auto before = reused();
    if (c.expected) {
      auto s = open(file);
      EXPECT_EQ(firstValue(*s), c.expected);
    } else {
      EXPECT_THROW(open(file), ComError);
      EXPECT_FALSE(std::filesystem::exists(file));
    }
    EXPECT_EQ(reused(), before);
    // The old connection was closed, not put back; the new one was kept.
    if (c.expected) {
      EXPECT_EQ(sqlitePoolStats().kept, 1u);
    }
  }
}

TEST_F(SqlitePoolTest, OnlyAnIdleConnectionIsKept) {
  {
    // Closed inside a transaction: rolled back and not kept.
    auto s = open(file);
    s->begin();
    s->execute("INSERT INTO t VALUES ('uncommitted')");
  }
  EXPECT_EQ(sqlitePoolStats().kept, 0u);
  EXPECT_EQ(testing::querySql(file, "SELECT count(*) FROM t")[0][0], "1");
  {
    // A database attached by the session stays out of the next one.
    auto s = open(file);
    const auto extra = dir.path() / "extra.db";
    testing::runSql(extra, {"CREATE TABLE e (v TEXT)"});
    s->execute("ATTACH DATABASE '" + extra.string() + "' AS extra");
  }
  EXPECT_EQ(sqlitePoolStats().kept, 0u);
  {
    // A cursor left unfinished is reset by the close; the connection is
    // kept, and the next session reads from the start.
    auto s = open(file);
    auto cursor = s->query("SELECT v FROM t", false);
    std::vector<Variant> row;
    ASSERT_TRUE(cursor->next(row));
    s->close();
    EXPECT_THROW(cursor->next(row), ComError);
  }
  EXPECT_EQ(sqlitePoolStats().kept, 1u);
  auto s = open(file);
  EXPECT_EQ(firstValue(*s), "old");
  s->execute("INSERT INTO t VALUES ('after')");
  EXPECT_EQ(testing::querySql(file, "SELECT count(*) FROM t")[0][0], "2");
}

}  // namespace
}  // namespace kvdn
