// When a closed session's connection is handed to the next open of the same
// file and when it must not be; what a kept connection may still hold (no
// lock at all); write-ahead-log mode; counts kept until the file changes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "file_identity.h"
#include "kvdn/error.h"
#include "kvdn/files.h"
#include "kvdn/provider.h"
#include "sqlite_handle.h"
#include "sqlite_provider.h"
#include "support/fake_file_identity.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

namespace fs = std::filesystem;

// Runs `sql` (no double quote in it) on `f` with the sqlite3 program: the
// work of another process, waiting up to 5 s for its locks. Its exit status.
int inAnotherProcess(const fs::path& f, const std::string& sql) {
  const std::string command = "sqlite3 -cmd '.timeout 5000' '" + f.string() + "' \"" + sql + "\" > /dev/null";
  return std::system(command.c_str());
}

// Writes 4,096 bytes of 'x' over the start of `f`, in place (same inode).
void writeOverInPlace(const fs::path& f) {
  std::FILE* out = std::fopen(f.string().c_str(), "r+b");
  ASSERT_NE(out, nullptr);
  const std::string junk(4096, 'x');
  std::fwrite(junk.data(), 1, junk.size(), out);
  std::fclose(out);
}

class SqlitePoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearSqlitePool();
    file = dir.path() / "app.mdb";
    testing::runSql(file, {"CREATE TABLE t (v TEXT)", "INSERT INTO t VALUES ('old')"});
  }
  void TearDown() override { clearSqlitePool(); }

  std::unique_ptr<DataSession> open(const fs::path& f) {
    return provider->open(
        ConnectionString::parse("Provider=Microsoft.Jet.OLEDB.4.0; Data Source=" + f.string()));
  }
  static std::string firstValue(DataSession& s) {
    auto cursor = s.query("SELECT v FROM t ORDER BY rowid", false);
    std::vector<Variant> row;
    return cursor->next(row) ? row[0].toString() : "<none>";
  }
  static std::uint64_t reused() { return sqlitePoolStats().reused; }
  static std::size_t kept() { return sqlitePoolStats().kept; }

  std::shared_ptr<Provider> provider = makeSqliteProvider();
  testing::TempDir dir;
  fs::path file;
};

TEST_F(SqlitePoolTest, AClosedSessionsConnectionServesTheNextOpen) {
  const auto before = reused();
  {
    auto s = open(file);
    EXPECT_EQ(firstValue(*s), "old");
  }
  EXPECT_EQ(kept(), 1u);
  // Another spelling of the same file finds it; changes made meanwhile by
  // another connection are seen.
  testing::runSql(file, {"UPDATE t SET v = 'new'"});
  auto s = open(dir.path() / "." / "app.mdb");
  EXPECT_EQ(reused(), before + 1);
  EXPECT_EQ(kept(), 0u);
  EXPECT_EQ(firstValue(*s), "new");
  // Two sessions at once: the second opens its own connection.
  auto other = open(file);
  EXPECT_EQ(reused(), before + 1);
}

// The file object's operations on a database file first close what the
// pool keeps for it: on Windows a kept connection holds the file open, and
// it could be neither deleted nor renamed over.
TEST_F(SqlitePoolTest, FileOperationsReleaseKeptConnections) {
  auto files = makeLocalFileSystem();
  const std::string name = file.string();
  const std::string copy = (dir.path() / "copy.mdb").string();
  const std::string moved = name + ".moved";
  files->copyFile(name, copy);
  struct Case {
    std::string touched;  // the file kept before the operation
    std::function<void()> operation;
  };
  const Case cases[] = {
      {copy, [&] { files->copyFile(name, copy); }},
      {name, [&] { files->moveFile(name, moved); }},
      {moved, [&] { files->moveFile(moved, name); }},
      {copy, [&] { files->deleteFile(copy); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.touched);
    clearSqlitePool();
    open(c.touched).reset();
    ASSERT_EQ(kept(), 1u);
    c.operation();
    EXPECT_EQ(kept(), 0u);
  }
}

TEST_F(SqlitePoolTest, AReplacedRestoredCompactedOrDeletedFileIsNeverReadThroughAKeptConnection) {
  const fs::path other = dir.path() / "other.mdb";
  testing::runSql(other, {"CREATE TABLE t (v TEXT)", "INSERT INTO t VALUES ('replacement')"});
  auto engine = makeSqliteJetEngine();
  struct Case {
    const char* name;
    std::function<void(const fs::path& f, const fs::path& o)> change;
    const char* expected;  // nullptr: the open fails
  };
  const Case cases[] = {
      {"renamed over",
       [](const fs::path& f, const fs::path& o) {
         fs::copy_file(o, f.string() + ".x");
         fs::rename(f.string() + ".x", f);
       },
       "replacement"},
      {"deleted and made again",
       [](const fs::path& f, const fs::path& o) {
         fs::remove(f);
         fs::remove(f.string() + "-wal");
         fs::remove(f.string() + "-shm");
         fs::copy_file(o, f);
       },
       "replacement"},
      {"deleted", [](const fs::path& f, const fs::path&) { fs::remove(f); }, nullptr},
      {"written over in place with what is not a database",
       [](const fs::path& f, const fs::path&) { writeOverInPlace(f); }, nullptr},
      {"restored in place",
       [&](const fs::path& f, const fs::path& o) { engine->restoreDatabase(o.string(), f.string()); },
       "replacement"},
      {"compacted in place", [&](const fs::path& f, const fs::path&) { engine->compactInPlace(f.string()); },
       "old"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearSqlitePool();
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix);
    testing::runSql(file, {"CREATE TABLE t (v TEXT)", "INSERT INTO t VALUES ('old')"});
    open(file).reset();
    ASSERT_EQ(kept(), 1u);
    c.change(file, other);
    const auto before = reused();
    if (c.expected) {
      auto s = open(file);
      EXPECT_EQ(firstValue(*s), c.expected);
    } else {
      EXPECT_THROW(open(file), ComError);
      // A failed open makes no file.
      if (std::string(c.name) == "deleted") {
        EXPECT_FALSE(fs::exists(file));
      }
    }
    // The old connection was closed, not handed on.
    EXPECT_EQ(reused(), before);
  }
}

// A file written over in place while its log still holds pages (a process
// that died left them, or a kept connection has not copied them back yet):
// closing the last connection must not copy those pages into the foreign
// content and make the file look like a database again.
TEST_F(SqlitePoolTest, AFileWrittenOverInPlaceIsNotPatchedFromItsLog) {
  {
    // The reader's connection stays open (and is then kept) while the
    // writer's closes: the log is not copied back by the last close.
    auto reader = open(file);
    EXPECT_EQ(firstValue(*reader), "old");
    auto s = open(file);
    // A new table changes the first page (the schema), so the log holds it.
    s->execute("CREATE TABLE u (v TEXT)");
    s->execute("INSERT INTO u VALUES ('only in the log')");
  }
  ASSERT_EQ(kept(), 1u);
  ASSERT_GT(fs::file_size(file.string() + "-wal"), 0u);
  writeOverInPlace(file);
  EXPECT_THROW(open(file), ComError);
  clearSqlitePool();
  EXPECT_THROW(open(file), ComError);
  std::FILE* in = std::fopen(file.string().c_str(), "rb");
  ASSERT_NE(in, nullptr);
  std::string head(16, '\0');
  EXPECT_EQ(std::fread(head.data(), 1, head.size(), in), head.size());
  std::fclose(in);
  EXPECT_EQ(head, std::string(16, 'x'));
}

TEST_F(SqlitePoolTest, OnlyAQuietConnectionIsKept) {
  {
    // Closed inside a transaction: rolled back and not kept.
    auto s = open(file);
    s->begin();
    s->execute("INSERT INTO t VALUES ('uncommitted')");
  }
  EXPECT_EQ(kept(), 0u);
  EXPECT_EQ(testing::querySql(file, "SELECT count(*) FROM t")[0][0], "1");
  {
    // A database attached by the session stays out of the next one.
    auto s = open(file);
    const auto extra = dir.path() / "extra.db";
    testing::runSql(extra, {"CREATE TABLE e (v TEXT)"});
    s->execute("ATTACH DATABASE '" + extra.string() + "' AS extra");
  }
  EXPECT_EQ(kept(), 0u);
  {
    // A cursor left unfinished is reset by the close; the connection is
    // kept and the next session reads from the start.
    auto s = open(file);
    auto cursor = s->query("SELECT v FROM t", false);
    std::vector<Variant> row;
    ASSERT_TRUE(cursor->next(row));
    s->close();
    EXPECT_THROW(cursor->next(row), ComError);
  }
  EXPECT_EQ(kept(), 1u);
  auto s = open(file);
  EXPECT_EQ(firstValue(*s), "old");
  s->execute("INSERT INTO t VALUES ('after')");
  EXPECT_EQ(testing::querySql(file, "SELECT count(*) FROM t")[0][0], "2");
}

TEST_F(SqlitePoolTest, AFullPoolHoldsNoLockAnotherConnectionWaitsFor) {
  testing::runSql(file,
                  {"INSERT INTO t SELECT 'row' FROM (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                   "FROM n WHERE i < 500) SELECT i FROM n)"});
  {
    // Eight sessions at once (the most kept per file), each left in a
    // different state: reading, half-way through a cursor, after a write,
    // after a rolled-back transaction.
    std::vector<std::unique_ptr<DataSession>> sessions;
    std::vector<std::unique_ptr<Cursor>> cursors;
    for (int i = 0; i < 8; ++i) sessions.push_back(open(file));
    for (int i = 0; i < 8; ++i) {
      auto& s = *sessions[static_cast<std::size_t>(i)];
      std::vector<Variant> row;
      switch (i % 4) {
        case 0:
          EXPECT_GE(s.count("SELECT * FROM t"), 501);
          break;
        case 1:
          cursors.push_back(s.query("SELECT v FROM t", true));
          ASSERT_TRUE(cursors.back()->next(row));
          break;
        case 2:
          s.execute("INSERT INTO t VALUES ('w')");
          break;
        case 3:
          s.begin();
          s.execute("DELETE FROM t WHERE v = 'w'");
          s.rollback();
          break;
      }
    }
    for (auto& s : sessions) s->close();
  }
  EXPECT_EQ(kept(), 8u);
  SqliteConnection other;
  std::string message;
  ASSERT_EQ(SqliteConnection::open(file.string(), SQLITE_OPEN_READWRITE, other, message), SQLITE_OK)
      << message;
  sqlite3_busy_timeout(other.get(), 0);  // no waiting at all
  // No kept connection holds a read mark: a checkpoint can empty the log...
  auto checkpoint = other.prepare("PRAGMA wal_checkpoint(TRUNCATE)");
  ASSERT_TRUE(checkpoint);
  ASSERT_EQ(sqlite3_step(checkpoint.get()), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(checkpoint.get(), 0), 0) << "a reader blocked the checkpoint";
  checkpoint = SqliteStatement();
  // ...nor a transaction: the exclusive lock is free at once.
  EXPECT_EQ(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK) << other.errmsg();
  EXPECT_EQ(other.exec("DELETE FROM t"), SQLITE_OK) << other.errmsg();
  EXPECT_EQ(other.exec("COMMIT"), SQLITE_OK) << other.errmsg();
  auto s = open(file);
  EXPECT_EQ(reused(), sqlitePoolStats().reused);
  EXPECT_EQ(s->count("SELECT * FROM t"), 0);
}

TEST_F(SqlitePoolTest, FilesAreUsedInWriteAheadLogMode) {
  auto s = open(file);
  auto mode = s->query("PRAGMA journal_mode", false);
  std::vector<Variant> row;
  ASSERT_TRUE(mode->next(row));
  EXPECT_EQ(row[0].toString(), "wal");
  // The mode stays with the file, for every other connection.
  EXPECT_EQ(testing::querySql(file, "PRAGMA journal_mode")[0][0], "wal");
}

TEST_F(SqlitePoolTest, KeptCountsEndWithAnyChange) {
  auto count = [&](DataSession& s) { return s.count("SELECT * FROM t WHERE v <> 'x'"); };
  auto s = open(file);
  EXPECT_EQ(count(*s), 1);
  EXPECT_EQ(count(*s), 1);
  struct Case {
    const char* name;
    std::function<void()> change;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"own insert", [&] { s->execute("INSERT INTO t VALUES ('a')"); }, 2},
      {"own row write",
       [&] {
         s->insertRow(RowWrite{"t", {"v"}, {Variant("b")}, {}});
       },
       3},
      {"own schema change",
       [&] {
         s->execute("ALTER TABLE t RENAME TO t_old");
         s->execute("CREATE TABLE t (v TEXT)");
       },
       0},
      {"another connection in this process", [&] { testing::runSql(file, {"INSERT INTO t VALUES ('c')"}); },
       1},
      {"another process", [&] { ASSERT_EQ(inAnotherProcess(file, "INSERT INTO t VALUES ('d')"), 0); }, 2},
      {"own rolled-back transaction",
       [&] {
         s->begin();
         s->execute("INSERT INTO t VALUES ('e')");
         EXPECT_EQ(count(*s), 3);
         s->rollback();
       },
       2},
      // Out of write-ahead-log mode, commits no longer write the log index.
      {"own switch out of the log mode, then another process",
       [&] {
         s->execute("PRAGMA journal_mode = DELETE");
         ASSERT_EQ(inAnotherProcess(file, "INSERT INTO t VALUES ('f')"), 0);
       },
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    EXPECT_EQ(count(*s), c.expected);
    EXPECT_EQ(count(*s), c.expected);
  }
  // Counted after the switch, then another process commits.
  ASSERT_EQ(inAnotherProcess(file, "INSERT INTO t VALUES ('g')"), 0);
  EXPECT_EQ(count(*s), 4);
}

TEST_F(SqlitePoolTest, KeptResultsAndCountsOfOnePageAreNotTheNextPagesAfterAnotherProcessWrites) {
  const std::string list = "SELECT v FROM t ORDER BY rowid";
  auto rows = [&](DataSession& s) {
    std::vector<std::string> out;
    auto result = s.execute(list);
    std::vector<Variant> row;
    while (result.rows->next(row)) out.push_back(row[0].toString());
    return out;
  };
  const auto before = reused();
  {
    auto first = open(file);  // one page: rows and count read twice, the second time kept
    EXPECT_EQ(rows(*first), std::vector<std::string>{"old"});
    EXPECT_EQ(rows(*first), std::vector<std::string>{"old"});
    EXPECT_EQ(first->count(list), 1);
  }
  ASSERT_EQ(inAnotherProcess(file, "INSERT INTO t VALUES ('other process')"), 0);
  auto second = open(file);  // the next page, on the kept connection
  EXPECT_EQ(reused(), before + 1);
  EXPECT_EQ(second->count(list), 2);
  EXPECT_EQ(rows(*second), (std::vector<std::string>{"old", "other process"}));
  // A result read across the session's own schema change is not kept.
  auto reading = second->execute(list);
  std::vector<Variant> row;
  ASSERT_TRUE(reading.rows->next(row));
  second->execute("CREATE TABLE extra (x)");
  second->execute("DROP TABLE extra");
  while (reading.rows->next(row)) {
  }
  second->execute("DELETE FROM t WHERE v = 'old'");
  EXPECT_EQ(rows(*second), std::vector<std::string>{"other process"});
  EXPECT_EQ(second->count(list), 1);
}

// The name connections are kept under follows what a spelling leads to now,
// though resolved names are remembered per spelling.
TEST(SqliteNormalPath, FollowsLinksChangedBetweenCalls) {
  testing::TempDir dir;
  const fs::path a = fs::canonical(dir.path()) / "a";
  const fs::path b = fs::canonical(dir.path()) / "b";
  fs::create_directories(a);
  fs::create_directories(b);
  const fs::path link = dir.path() / "current";
  auto touch = [](const fs::path& p) { std::fclose(std::fopen(p.string().c_str(), "w")); };
  auto point = [&](const fs::path& to) {
    fs::remove(link);
    fs::create_directory_symlink(to, link);
  };
  const std::string spelling = (link / "." / "x.mdb").string();
  touch(a / "x.mdb");
  touch(b / "x.mdb");
  struct Case {
    const char* name;
    std::function<void()> change;
    fs::path expected;
  };
  const Case cases[] = {
      {"link to a", [&] { point(a); }, a / "x.mdb"},
      {"link turned to b", [&] { point(b); }, b / "x.mdb"},
      {"back to a", [&] { point(a); }, a / "x.mdb"},
      {"file moved to b, the link following it",
       [&] {
         fs::remove(b / "x.mdb");
         fs::rename(a / "x.mdb", b / "x.mdb");
         point(b);
       },
       b / "x.mdb"},
      {"file gone", [&] { fs::remove(b / "x.mdb"); }, b / "x.mdb"},
  };
  // Remembered through the platform's file identity; without one, or when
  // it cannot tell, resolved every time: the same names either way.
  auto identity = std::make_shared<testing::FakeFileIdentity>();
  for (const bool failing : {false, true}) {
    identity->fail = failing;
    setFileIdentity(identity);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (failing ? ", identity failing" : ""));
      c.change();
      EXPECT_EQ(sqliteNormalPath(spelling), c.expected.string());
      EXPECT_EQ(sqliteNormalPath(spelling), c.expected.string());
    }
    touch(a / "x.mdb");
    touch(b / "x.mdb");
  }
  EXPECT_GT(identity->lookups, 0);
  setFileIdentity(nullptr);
}

// A result left before its end (a page window after its last row, a lookup
// after its row) may be kept when it had in fact ended; a longer one never,
// and a kept one never outlives another process's write.
TEST_F(SqlitePoolTest, ResultsLeftBeforeTheirEndAreReadWholeAgain) {
  testing::runSql(file, {"INSERT INTO t VALUES ('b')", "INSERT INTO t VALUES ('c')", "CREATE TABLE big (v)",
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000) "
                         "INSERT INTO big SELECT i FROM n"});
  auto s = open(file);
  auto read = [&](const std::string& sql, std::size_t upTo) {
    std::vector<std::string> out;
    auto result = s->execute(sql);
    std::vector<Variant> row;
    while (out.size() < upTo && result.rows->next(row)) out.push_back(row[0].toString());
    return out;
  };
  const std::size_t all = 100000;
  struct Case {
    const char* name;
    std::string sql;
    std::size_t left;  // rows read before the result is left
    std::size_t whole;
  };
  const Case cases[] = {
      {"window left after its last row", "SELECT v FROM t ORDER BY rowid LIMIT 2", 2, 2},
      {"lookup left after its row", "SELECT v FROM t WHERE rowid = 3", 1, 1},
      {"long scan left after its first row", "SELECT v FROM big", 1, 5000},
      {"scan left before its last row", "SELECT v FROM big WHERE v > 4990", 9, 10},
      {"scan left far from its next row", "SELECT v FROM big WHERE v = 1 OR v = 5000", 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read(c.sql, c.left).size(), c.left);
    EXPECT_EQ(read(c.sql, all).size(), c.whole);
    EXPECT_EQ(read(c.sql, all).size(), c.whole);
  }
  EXPECT_EQ(read("SELECT v FROM t ORDER BY rowid LIMIT 2", all), (std::vector<std::string>{"old", "b"}));
  ASSERT_EQ(inAnotherProcess(file, "UPDATE t SET v = 'new' WHERE v = 'old'"), 0);
  EXPECT_EQ(read("SELECT v FROM t ORDER BY rowid LIMIT 2", 2), (std::vector<std::string>{"new", "b"}));
  EXPECT_EQ(read("SELECT v FROM t WHERE rowid = 3", 1), std::vector<std::string>{"c"});
}

TEST_F(SqlitePoolTest, AnotherProcessSeesEveryCommitWhileSessionsOpenAndClose) {
  // Opening a session must not drop the process's locks on the file (a
  // second descriptor closed releases them all): another process would then
  // take itself for the file's last user and delete the log under us, and
  // every later commit would go into a log nobody else reads.
  auto first = open(file);
  first->execute("INSERT INTO t VALUES ('one')");
  for (int round = 0; round < 3; ++round) {
    auto other = open(file);  // a new connection beside the open one
    EXPECT_EQ(firstValue(*other), "old");
    ASSERT_EQ(inAnotherProcess(file, "SELECT count(*) FROM t"),
              0);  // another process opens and closes the file
    first->execute("INSERT INTO t VALUES ('more')");
  }
  EXPECT_TRUE(fs::exists(file.string() + "-wal"));
  const std::string command = "sqlite3 -cmd '.timeout 5000' '" + file.string() + "' 'SELECT count(*) FROM t'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[64] = {};
  ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
  pclose(pipe);
  EXPECT_EQ(std::string(line), "5\n");
}

TEST(SqliteEngineLog, ARestoreOrReplacementNeverReplaysAStaleLog) {
  // A log left beside a file that is then replaced (deleted, or not a
  // database any more) must not replay its pages into the new file.
  clearSqlitePool();
  testing::TempDir dir;
  const fs::path live = dir.path() / "app.mdb";
  const fs::path backup = dir.path() / "app.bak";
  testing::runSql(live,
                  {"PRAGMA journal_mode=WAL", "CREATE TABLE t (v TEXT)", "INSERT INTO t VALUES ('saved')"});
  auto engine = makeSqliteJetEngine();
  engine->backupDatabase(live.string(), backup.string());
  {
    // A connection that never checkpoints leaves its commits in the log.
    SqliteConnection writer;
    std::string message;
    ASSERT_EQ(SqliteConnection::open(live.string(), SQLITE_OPEN_READWRITE, writer, message), SQLITE_OK);
    ASSERT_EQ(writer.exec("PRAGMA wal_autocheckpoint=0; INSERT INTO t VALUES ('stale')"), SQLITE_OK);
    const fs::path saved = dir.path() / "saved-wal";
    fs::copy_file(live.string() + "-wal", saved);
    writer = SqliteConnection();
    // The live file is lost; its log is still there (as a crash leaves it).
    fs::remove(live);
    fs::copy_file(saved, live.string() + "-wal");
  }
  engine->restoreDatabase(backup.string(), live.string());
  EXPECT_EQ(testing::querySql(live, "SELECT v FROM t"), (std::vector<std::vector<std::string>>{{"saved"}}));
  EXPECT_EQ(testing::querySql(live, "PRAGMA integrity_check")[0][0], "ok");
}

}  // namespace
}  // namespace kvdn

namespace kvdn {
namespace {

// Pages found by seeking on the row key are the pages OFFSET gives, for
// statements of that shape and every other one, before and after changes.
class SeekPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearSqlitePool();
    file = dir.path() / "app.mdb";
    testing::runSql(
        file,
        {"CREATE TABLE t (ID INTEGER PRIMARY KEY, name TEXT, grp INTEGER)",
         "CREATE TABLE pair (a INTEGER, b INTEGER, PRIMARY KEY (a, b))",
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
         "INSERT INTO t SELECT i * 3, 'n' || (i % 17), i % 5 FROM n",
         "INSERT INTO pair SELECT ID % 7, ID FROM t",
         // Indexed columns with long runs of equal keys
         // (ties across many ladder steps), mixed case
         // under NOCASE, quotes, reals, and Nulls.
         "CREATE TABLE w (ID INTEGER PRIMARY KEY, name TEXT COLLATE NOCASE, score REAL, "
         "grp INTEGER, note TEXT)",
         "INSERT INTO w SELECT ID, CASE WHEN ID % 2 THEN 'N''' || (ID % 13) ELSE 'n''' || "
         "(ID % 13) END, (ID % 7) / 4.0 + 0.125, ID % 5, CASE WHEN ID % 11 THEN 'x' END FROM t",
         "CREATE INDEX w_name ON w (name)", "CREATE INDEX w_score ON w (score, grp)",
         "CREATE INDEX w_id ON w (ID)", "CREATE INDEX w_grp ON w (grp)", "CREATE INDEX w_note ON w (note)"});
    session = makeSqliteProvider()->open(
        ConnectionString::parse("Provider=Microsoft.Jet.OLEDB.4.0; Data Source=" + file.string()));
  }
  void TearDown() override {
    session.reset();
    clearSqlitePool();
  }

  std::vector<std::vector<std::string>> page(const std::string& sql, std::int64_t limit,
                                             std::int64_t offset) {
    auto cursor = session->query(session->dialect().limitRows(sql, limit, offset), false);
    std::vector<std::vector<std::string>> rows;
    std::vector<Variant> row;
    while (cursor->next(row)) {
      std::vector<std::string> texts;
      for (const auto& v : row) texts.push_back(v.isNull() ? "NULL" : v.joinText());
      rows.push_back(std::move(texts));
    }
    return rows;
  }
  std::vector<std::vector<std::string>> expected(const std::string& sql, std::int64_t limit,
                                                 std::int64_t offset) {
    return testing::querySql(file,
                             sql + " LIMIT " + std::to_string(limit) + " OFFSET " + std::to_string(offset));
  }

  testing::TempDir dir;
  fs::path file;
  std::unique_ptr<DataSession> session;
};

TEST_F(SeekPagesTest, EveryPageMatchesTheOffsetPage) {
  const char* statements[] = {
      // the seek shape
      "select ID, name from t order by ID",
      "SELECT * FROM t ORDER BY ID DESC",
      "select name, ID from t where grp in (1, 3) and name <> 'n4' order by ID",
      "select name from [t] where grp = 2 order by rowid desc",
      // others: renamed key, several keys, composite key, not a key, join
      "select name as ID, ID as k from t order by ID",
      "select ID, name from t order by ID, name",
      "select a, b from pair order by a",
      "select ID from t order by grp",
      "select t.ID from t, pair where pair.b = t.ID order by t.ID",
      // indexed columns, not unique: seek on (key, rowid) when the index
      // orders the statement; a Null key (note) or a sort of its own
      // (grp with a condition on name) falls back
      "select ID, name from w order by name",
      "select * from w order by name desc",
      "select ID, score from w where grp <> 2 order by score",  // index of two columns: ties by grp
      "select ID, grp from w order by grp desc",
      "select ID, note from w order by note",
      "select ID from w where name = 'n''3' order by grp",
  };
  for (const char* sql : statements) {
    SCOPED_TRACE(sql);
    for (std::int64_t offset : {0, 20, 255, 256, 257, 1000, 1999, 2980, 2999, 3000, 5000}) {
      SCOPED_TRACE(offset);
      EXPECT_EQ(page(sql, 20, offset), expected(sql, 20, offset));
    }
    // Reading on past a window (limit -1) as a recordset does.
    EXPECT_EQ(page(sql, -1, 2900).size(), expected(sql, -1, 2900).size());
  }
}

TEST_F(SeekPagesTest, ChangesAreSeenOnTheNextPage) {
  const std::string sql = "select ID, name from t order by ID";
  EXPECT_EQ(page(sql, 10, 1500), expected(sql, 10, 1500));
  struct Case {
    const char* name;
    std::function<void()> change;
  };
  const Case cases[] = {
      {"another connection deletes", [&] { testing::runSql(file, {"DELETE FROM t WHERE ID < 900"}); }},
      {"own insert", [&] { session->execute("INSERT INTO t (ID, name) VALUES (1, 'first')"); }},
      {"another process inserts",
       [&] { ASSERT_EQ(inAnotherProcess(file, "INSERT INTO t (ID, name) VALUES (2, 'x')"), 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    for (std::int64_t offset : {300, 1500, 2000}) EXPECT_EQ(page(sql, 10, offset), expected(sql, 10, offset));
  }
}

}  // namespace
}  // namespace kvdn
