// What is particular to the SQLite file provider: opening rules, connection
// strings, locking, one statement per call, names, and the fake provider.
#include "sqlite_provider.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "kvdn/collation.h"
#include "kvdn/provider.h"
#include "support/errors.h"
#include "support/fake_provider.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

std::string accessString(const std::filesystem::path& file) {
  return "Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + file.string();
}

std::shared_ptr<ProviderRegistry> standardProviders() {
  auto r = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*r);
  return r;
}

class SqliteProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = dir.path() / "app.mdb";
    testing::runSql(file,
                    {"CREATE TABLE items (ID INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT COLLATE NOCASE, "
                     "qty INTEGER, added DATETIME, data BLOB)",
                     "INSERT INTO items (name, qty, added) VALUES ('a', 1, '2024-01-02'), ('b', 3000000000, "
                     "'someday'), ('c', 3, '2024-01-03 04:05:06')"});
  }
  std::shared_ptr<Connection> connect(
      std::shared_ptr<const ProviderRegistry> providers = standardProviders()) {
    auto c = makeConnection(std::move(providers));
    c->open(accessString(file));
    return c;
  }
  std::int32_t openError(const std::string& cs, std::string* description = nullptr,
                         std::shared_ptr<const ProviderRegistry> providers = standardProviders()) {
    auto c = makeConnection(std::move(providers));
    try {
      c->open(cs);
    } catch (const ComError& e) {
      EXPECT_FALSE(c->isOpen());
      if (description) *description = e.description();
      return e.number();
    }
    ADD_FAILURE() << "opened: " << cs;
    return 0;
  }

  testing::TempDir dir;
  std::filesystem::path file;
};

TEST(ConnectionStringTest, PairsAreFoundByKeyInAnyCase) {
  struct Case {
    const char* text;
    const char* key;
    const char* value;  // nullptr: absent
  };
  const Case cases[] = {
      {"Provider=Microsoft.Jet.OLEDB.4.0; Data source=/x/a.mdb", "data source", "/x/a.mdb"},
      {"Provider=Microsoft.Jet.OLEDB.4.0; Data source=/x/a.mdb", "PROVIDER", "Microsoft.Jet.OLEDB.4.0"},
      {"Provider=sqloledb; server=db1;uid=sa;pwd=;database=app", "pwd", ""},
      {"Provider=sqloledb; server=db1;uid=sa;pwd=;database=app", "Database", "app"},
      {"  Data Source  =  /a b/c.mdb  ;", "data source", "/a b/c.mdb"},
      {"Driver={Microsoft excel Driver (*.xls)};DBQ=/s/u.xls", "driver", "{Microsoft excel Driver (*.xls)}"},
      {"Driver={Microsoft excel Driver (*.xls)};DBQ=/s/u.xls", "dbq", "/s/u.xls"},
      {"pwd=\"a;b\"\"c\";uid=x", "pwd", "a;b\"c"},
      {"a=1;a=2", "a", "2"},
      {"junk;=v;k=", "k", ""},
      {"junk;=v;k=", "junk", nullptr},
      {"", "provider", nullptr},
  };
  for (const auto& c : cases) {
    auto cs = ConnectionString::parse(c.text);
    auto v = cs.get(c.key);
    if (c.value) {
      EXPECT_EQ(v.value_or("<absent>"), c.value) << c.text << " / " << c.key;
    } else {
      EXPECT_FALSE(v) << c.text << " / " << c.key;
    }
  }
}

TEST_F(SqliteProviderTest, OpensNothingButAnExistingDatabase) {
  std::string description;
  auto missing = dir.path() / "missing.mdb";
  EXPECT_EQ(openError(accessString(missing), &description), err::kDbFail);
  EXPECT_EQ(description, "unable to open database file");
  EXPECT_FALSE(std::filesystem::exists(missing));

  auto text = dir.path() / "notes.mdb";
  std::ofstream(text)
      << "this is not a database, only some text that is long enough to fill a header........";
  EXPECT_EQ(openError(accessString(text), &description), err::kDbFail);
  EXPECT_EQ(description, "file is not a database");

  EXPECT_EQ(openError(accessString(dir.path())), err::kDbFail);
  EXPECT_EQ(openError("Provider=Microsoft.Jet.OLEDB.4.0; Data source="), err::kDbFail);
  // A path is never read as a URI that could create a file.
  EXPECT_EQ(openError("Provider=Microsoft.Jet.OLEDB.4.0; Data source=file:" + (dir.path() / "u.db").string() +
                      "?mode=rwc"),
            err::kDbFail);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "u.db"));
}

// What a connection string that no registered provider serves gets (here
// only the SQLite provider is registered).
TEST_F(SqliteProviderTest, OtherKindsFailWithAClearDescription) {
  auto sqliteOnly = std::make_shared<ProviderRegistry>();
  registerSqliteProvider(*sqliteOnly);
  std::string description;
  EXPECT_EQ(
      openError("Provider=sqloledb; server=db;uid=sa;pwd=secret;database=app", &description, sqliteOnly),
      err::kDbFail);
  EXPECT_NE(description.find("ODBC provider"), std::string::npos) << description;
  EXPECT_EQ(description.find("secret"), std::string::npos);
  EXPECT_EQ(openError("", &description, sqliteOnly), err::kDbFail);
  EXPECT_NE(description.find("empty"), std::string::npos) << description;
  EXPECT_EQ(openError("Provider=Nonsense.1; Data source=x", &description, sqliteOnly), err::kDbFail);
  EXPECT_NE(description.find("Nonsense.1"), std::string::npos) << description;
  EXPECT_EQ(openError("Driver={Microsoft excel Driver (*.xls)};DBQ=/x.xls", &description, sqliteOnly),
            err::kDbFail);
  EXPECT_NE(description.find("spreadsheet provider"), std::string::npos) << description;
  // Whatever providers the build includes, an empty string fails the same way.
  EXPECT_EQ(openError(""), err::kDbFail);
}

TEST_F(SqliteProviderTest, OpeningTwiceIsRefusedAndKeepsTheFirstSession) {
  auto c = connect();
  EXPECT_THROW(c->open(accessString(file)), ComError);
  EXPECT_TRUE(c->isOpen());
  EXPECT_EQ(c->execute("SELECT count(*) FROM items")->fields().item(0).value().integer(), 3);
}

TEST_F(SqliteProviderTest, ValueRulesOfTheEngine) {
  auto c = connect();
  auto rs = c->execute("SELECT qty, added, data, x'616263' AS b FROM items ORDER BY ID");
  EXPECT_EQ(rs->fields().item("added").value().date(), Date::fromParts(2024, 1, 2));
  EXPECT_TRUE(rs->fields().item("data").value().isNull());
  EXPECT_EQ(rs->fields().item("b").value().str(), "abc");
  rs->moveNext();
  EXPECT_EQ(rs->fields().item("qty").value().type(), VarType::LongLong);
  EXPECT_EQ(rs->fields().item("qty").value().integer(), 3000000000LL);
  EXPECT_EQ(rs->fields().item("added").value().str(), "someday");  // not a date: stays text
  rs->moveNext();
  EXPECT_EQ(rs->fields().item("added").value().date(), Date::fromParts(2024, 1, 3, 4, 5, 6));
  // Tables we create compare text without regard to case.
  EXPECT_EQ(c->execute("SELECT ID FROM items WHERE name = 'B'")->fields().item(0).value().integer(), 2);
}

// htmlEncode() on the file database: blobs read as text, numbers keep
// their type, and it is there on every connection, also in a view.
TEST_F(SqliteProviderTest, HtmlEncodeOnEveryConnection) {
  auto c = connect();
  auto rs = c->execute(
      "SELECT htmlEncode(x'3c623e7b'), htmlEncode(x''), htmlEncode(1.5), typeof(htmlEncode(2)), "
      "htmlEncode('''{}''')");
  EXPECT_EQ(rs->fields().item(0).value().str(), "&lt;b&gt;&#123;");
  EXPECT_EQ(rs->fields().item(1).value().str(), "");
  EXPECT_EQ(rs->fields().item(2).value().dbl(), 1.5);
  EXPECT_EQ(rs->fields().item(3).value().str(), "integer");
  EXPECT_EQ(rs->fields().item(4).value().str(), "&#39;&#123;&#125;&#39;");
  c->execute("CREATE VIEW shown AS SELECT ID, htmlEncode(name) AS name FROM items");
  c->close();
  auto again = connect();
  EXPECT_EQ(again->execute("SELECT name FROM shown WHERE ID = 1")->fields().item(0).value().str(), "a");
}

TEST_F(SqliteProviderTest, OneStatementPerCall) {
  auto c = connect();
  try {
    c->execute("SELECT 1; DROP TABLE items");
    ADD_FAILURE() << "second statement accepted";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kDbErrorsInCommand);
    EXPECT_EQ(e.description(), "Characters found after end of SQL statement.");
  }
  EXPECT_EQ(c->execute("SELECT count(*) FROM items; -- done")->fields().item(0).value().integer(), 3);
}

TEST_F(SqliteProviderTest, WaitsForALockedDatabase) {
  auto c = connect();
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::thread release([other] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(c->execute("INSERT INTO items (name) VALUES ('late')"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  release.join();
  sqlite3_close(other);
  EXPECT_EQ(c->execute("SELECT count(*) FROM items")->fields().item(0).value().integer(), 4);
}

TEST_F(SqliteProviderTest, ClosingTheConnectionEndsItsRecordsets) {
  auto c = connect();
  auto rs = c->execute("SELECT ID FROM items ORDER BY ID");
  c->close();
  EXPECT_EQ(rs->fields().item(0).value().integer(), 1);  // the row already read
  KVDN_EXPECT_DB_ERROR(rs->moveNext(), err::kDbClosed);
  // The file is no longer locked by the released statement.
  testing::runSql(file, {"DELETE FROM items"});
}

TEST_F(SqliteProviderTest, NamesAreQuotedWhateverTheyHold) {
  testing::runSql(file, {"CREATE TABLE [用户] (ID INTEGER PRIMARY KEY, [登录账号] TEXT COLLATE NOCASE, "
                         "[my \"odd\" col] TEXT, [密码] TEXT)"});
  auto c = connect();
  auto rs = makeRecordset(standardProviders());
  rs->open("select top 1 * from [用户]", c, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  rs->addNew();
  rs->fields().item("登录账号").setValue(Variant("admin"));
  rs->fields().item("MY \"ODD\" COL").setValue(Variant("x'); DROP TABLE items; --"));
  rs->update();
  rs->close();
  auto rows = testing::querySql(file, "SELECT [登录账号], [my \"odd\" col] FROM [用户]");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "admin");
  EXPECT_EQ(rows[0][1], "x'); DROP TABLE items; --");
  EXPECT_EQ(testing::querySql(file, "SELECT count(*) FROM items")[0][0], "3");
}

TEST_F(SqliteProviderTest, OnlyRowsOfOneTableCanBeWritten) {
  testing::runSql(file, {"CREATE TABLE tags (ID INTEGER PRIMARY KEY, item INTEGER, tag TEXT)",
                         "INSERT INTO tags (item, tag) VALUES (1, 'red')"});
  auto c = connect();
  auto rs = makeRecordset(standardProviders());
  rs->open("SELECT items.name, tags.tag FROM items JOIN tags ON tags.item = items.ID", c, adOpenKeyset,
           adLockOptimistic, adCmdUnspecified);
  rs->fields().item("tag").setValue(Variant("blue"));
  EXPECT_THROW(rs->update(), ComError);
  EXPECT_EQ(testing::querySql(file, "SELECT tag FROM tags")[0][0], "red");

  auto expr = makeRecordset(standardProviders());
  expr->open("SELECT ID, qty * 2 AS twice FROM items WHERE ID = 1", c, adOpenKeyset, adLockOptimistic,
             adCmdUnspecified);
  expr->fields().item("twice").setValue(Variant(static_cast<std::int32_t>(5)));
  EXPECT_THROW(expr->update(), ComError);
  // A bare table name opens the table.
  auto table = makeRecordset(standardProviders());
  table->open("items", c, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  EXPECT_EQ(table->recordCount(), 3);
  table->fields().item("name").setValue(Variant("A1"));
  table->update();
  EXPECT_EQ(testing::querySql(file, "SELECT name FROM items WHERE ID = 1")[0][0], "A1");
}

TEST_F(SqliteProviderTest, FakeProviderInjectsFailures) {
  auto providers = standardProviders();
  auto fake = installFakeProvider(*providers);
  fake->failOpen = true;
  auto refused = makeConnection(providers);
  KVDN_EXPECT_DB_ERROR(refused->open(accessString(file)), err::kDbFail);
  EXPECT_FALSE(refused->isOpen());
  fake->failOpen = false;
  auto c = connect(providers);
  EXPECT_EQ(fake->opens, 2);

  fake->failStatement = true;
  fake->failStatementMatching = "DELETE";
  fake->number = err::kDbBusy;
  KVDN_EXPECT_DB_ERROR(c->execute("DELETE FROM items"), err::kDbBusy);
  EXPECT_NO_THROW(c->execute("SELECT * FROM items"));
  fake->failStatement = false;

  fake->failRowWrite = true;
  auto rs = makeRecordset(providers);
  rs->open("select top 1 * from items", c, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  rs->addNew();
  rs->fields().item("name").setValue(Variant("lost"));
  KVDN_EXPECT_DB_ERROR(rs->update(), err::kDbBusy);
  fake->failRowWrite = false;
  rs->update();  // nothing pending any more: the failed record was dropped
  EXPECT_EQ(testing::querySql(file, "SELECT count(*) FROM items")[0][0], "3");
  rs->addNew();
  rs->fields().item("name").setValue(Variant("kept"));
  rs->update();
  EXPECT_EQ(testing::querySql(file, "SELECT count(*) FROM items WHERE name = 'kept'")[0][0], "1");
  EXPECT_EQ(fake->log.back(), "insert: items");
}

// A row written through a recordset and the read of the stored row: the
// values read are those committed (an AFTER trigger's work included), a
// failed write stores nothing and leaves no transaction behind, and inside
// the caller's own transaction nothing is committed or ended early.
TEST_F(SqliteProviderTest, RowWritesAreCommittedWholeOrNotAtAll) {
  testing::runSql(file,
                  {"CREATE TABLE notes (ID INTEGER PRIMARY KEY, body TEXT NOT NULL, stamp TEXT DEFAULT 'x')",
                   "CREATE TRIGGER notes_stamp AFTER INSERT ON notes BEGIN UPDATE notes SET stamp = "
                   "'by trigger ' || NEW.ID WHERE ID = NEW.ID; END"});
  auto c = connect();
  auto count = [&] { return testing::querySql(file, "SELECT count(*) FROM notes")[0][0]; };
  auto add = [&](const Variant& body) {
    auto rs = makeRecordset(standardProviders());
    rs->open("select top 1 * from notes", c, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
    rs->addNew();
    rs->fields().item("body").setValue(body);
    rs->update();
    return rs;
  };

  auto rs = add(Variant("one"));
  EXPECT_EQ(rs->fields().item("ID").value().integer(), 1);
  EXPECT_EQ(rs->fields().item("stamp").value().str(), "by trigger 1");
  EXPECT_EQ(count(), "1");  // seen by another connection: committed

  KVDN_EXPECT_DB_ERROR(add(Variant::null()), err::kDbErrorsInCommand);
  EXPECT_EQ(count(), "1");
  auto edit = makeRecordset(standardProviders());
  edit->open("select top 1 * from notes where ID = 1", c, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  edit->fields().item("body").setValue(Variant::null());
  KVDN_EXPECT_DB_ERROR(edit->update(), err::kDbErrorsInCommand);
  edit->close();
  EXPECT_EQ(testing::querySql(file, "SELECT body FROM notes WHERE ID = 1")[0][0], "one");

  c->beginTrans();  // would fail inside a transaction left open
  add(Variant("two"));
  KVDN_EXPECT_DB_ERROR(add(Variant::null()), err::kDbErrorsInCommand);
  EXPECT_EQ(c->execute("SELECT count(*) FROM notes")->fields().item(0).value().integer(), 2);
  c->rollbackTrans();
  EXPECT_EQ(count(), "1");
  add(Variant("three"));
  EXPECT_EQ(count(), "2");
}

// An added collation orders the statements of connections opened after it,
// pooled ones included; replaced, the new order holds; removed, a statement
// naming it fails.
TEST_F(SqliteProviderTest, AddedCollationsOrderLaterConnections) {
  auto order = [&] {
    auto c = connect();
    auto rs = c->execute("select name from items order by name collate testorder");
    std::string names;
    for (; !rs->eof(); rs->moveNext()) names += rs->fields().item(0).value().joinText();
    rs->close();
    c->close();  // kept in the pool
    return names;
  };
  auto reverse = [](std::string_view a, std::string_view b) { return b.compare(a); };
  auto forward = [](std::string_view a, std::string_view b) { return a.compare(b); };
  setSqliteCollation("testorder", reverse);
  EXPECT_EQ(order(), "cba");
  setSqliteCollation("testorder", forward);
  EXPECT_EQ(order(), "abc") << "a pooled connection kept the replaced order";
  setSqliteCollation("testorder", nullptr);
  auto c = connect();
  EXPECT_THROW(c->execute("select name from items order by name collate testorder"), ComError);
  for (const char* bad : {"", "with space", "semi;colon"}) {
    EXPECT_THROW(setSqliteCollation(bad, forward), ComError) << bad;
  }
}

}  // namespace
}  // namespace kvdn
