// The Connection / Recordset contract as the component relies on it, written
// once for every provider: a test program includes this header (once) and
// instantiates DataConformance with its DataBackend, e.g.
//   INSTANTIATE_TEST_SUITE_P(Odbc, DataConformance, ::testing::Values(odbcBackend()));
// Statements stay within what Access, SQL Server and SQLite all accept.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kvdn/data.h"
#include "kvdn/error.h"
#include "kvdn/text.h"
#include "support/errors.h"
#include "support/site_fixture.h"

namespace kvdn::conformance {

struct DataBackend {
  std::string name;
  // An open connection to a fresh, empty database kept in `dir`.
  std::function<std::shared_ptr<Connection>(const std::filesystem::path& dir)> connect;
  // A new, closed recordset of the same implementation.
  std::function<std::shared_ptr<Recordset>()> newRecordset;
  // Column definition of the auto-numbered key column ID.
  std::string autoKey = "ID INTEGER PRIMARY KEY AUTOINCREMENT";

  // What the provider can do; a test that needs more is skipped for it.
  // writable: CREATE TABLE, INSERT / UPDATE / DELETE, Recordset writes and
  // transactions. A provider that is not writable gets no setup statements:
  // `connect` must give a database that already holds the items below.
  bool writable = true;
  // fullSql: WHERE comparisons, ORDER BY on any column, TOP, aliases and
  // functions. Without it only "SELECT * | names FROM table", with ORDER BY
  // the key, is asked for (through `statement`).
  bool fullSql = true;
  // The provider's spelling of a statement written for the database file
  // (another way to name a table, say); unchanged when empty.
  std::function<std::string(const std::string&)> statement;
  // Whole numbers may come back as Double (a worksheet stores every number
  // so); tests that read keys then compare their values, not their types.
  bool wholeNumbersAsLong = true;
  // What a statement naming an unknown column raises: a syntax-level error
  // on the SQL engines, "No value given for one or more required
  // parameters." on the spreadsheet driver.
  std::int32_t unknownColumnError = err::kDbErrorsInCommand;
};

// The items every test starts from, also as rows for a provider that cannot
// be filled with statements: ID 1..23, name "item01".., qty = ID, price =
// ID * 1.5, added on 2024-01-ID 08:30:00; item 7 has no name.
struct Item {
  int id;
  std::string name;  // "" for no name
  int qty;
  double price;
  std::string added;  // yyyy-mm-dd hh:mm:ss
};
inline std::vector<Item> items() {
  std::vector<Item> out;
  for (int i = 1; i <= 23; ++i) {
    const std::string n = (i < 10 ? "0" : "") + std::to_string(i);
    out.push_back({i, i == 7 ? "" : "item" + n, i, i * 1.5, "2024-01-" + n + " 08:30:00"});
  }
  return out;
}

// Skips the test for a backend that lacks `capability` (a DataBackend flag).
#define KVDN_CONFORMANCE_NEEDS(capability)                                              \
  do {                                                                                  \
    if (!GetParam().capability) GTEST_SKIP() << GetParam().name << ": no " #capability; \
  } while (0)

inline std::ostream& operator<<(std::ostream& os, const DataBackend& b) {
  return os << b.name;
}

class DataConformance : public ::testing::TestWithParam<DataBackend> {
 protected:
  // The items of items() in table "items".
  void SetUp() override {
    conn = GetParam().connect(dir.path());
    ASSERT_TRUE(conn && conn->isOpen());
    if (!GetParam().writable) return;
    conn->execute("CREATE TABLE items (" + GetParam().autoKey +
                  ", name VARCHAR(50), qty INTEGER, price REAL, added DATETIME)");
    conn->beginTrans();
    for (const Item& item : items()) {
      const std::string name = item.name.empty() ? "NULL" : "'" + item.name + "'";
      conn->execute("INSERT INTO items (name, qty, price, added) VALUES (" + name + ", " +
                    std::to_string(item.qty) + ", " + std::to_string(item.price) + ", '" + item.added + "')");
    }
    conn->commitTrans();
  }

  // `text` as the backend spells it.
  std::string sql(const std::string& text) const {
    return GetParam().statement ? GetParam().statement(text) : text;
  }

  std::shared_ptr<Recordset> open(const std::string& text, int cursor = adOpenKeyset,
                                  int lock = adLockReadOnly) {
    auto rs = GetParam().newRecordset();
    rs->open(sql(text), conn, cursor, lock, adCmdUnspecified);
    return rs;
  }

  std::shared_ptr<Recordset> execute(const std::string& text) { return conn->execute(sql(text)); }

  Variant scalar(const std::string& text) {
    auto rs = execute(text);
    return rs->eof() ? Variant(std::string()) : rs->fields().item(0).value();
  }

  // A whole number as the provider gives it: Long (or Double where the
  // backend says so, which must still hold a whole number).
  std::int64_t whole(const Variant& v) const {
    if (GetParam().wholeNumbersAsLong || v.type() != VarType::Double) return v.integer();
    const double d = v.dbl();
    EXPECT_EQ(d, static_cast<double>(static_cast<std::int64_t>(d))) << "not a whole number";
    return static_cast<std::int64_t>(d);
  }

  std::vector<std::int64_t> ids(Recordset& rs, int max = 1000) {
    std::vector<std::int64_t> out;
    while (!rs.eof() && max-- > 0) {
      out.push_back(whole(rs.fields().item(0).value()));
      rs.moveNext();
    }
    return out;
  }

  ::kvdn::testing::TempDir dir;
  std::shared_ptr<Connection> conn;
};

TEST_P(DataConformance, ExecuteGivesRecordsetOnFirstRowThenWalksForward) {
  KVDN_CONFORMANCE_NEEDS(fullSql);
  auto rs = conn->execute("SELECT ID, name AS title FROM items WHERE ID <= 3 ORDER BY ID");
  ASSERT_TRUE(rs->isOpen());
  EXPECT_FALSE(rs->bof());
  EXPECT_EQ(rs->fields().count(), 2);
  EXPECT_EQ(rs->fields().item(1).name(), "title");
  EXPECT_EQ(rs->fields().item("TITLE").value().str(), "item01");
  EXPECT_EQ(ids(*rs), (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_TRUE(rs->eof());
  KVDN_EXPECT_DB_ERROR(rs->moveNext(), err::kDbEofBof);
  KVDN_EXPECT_DB_ERROR(rs->fields().item(0).value(), err::kDbEofBof);
  EXPECT_EQ(rs->recordCount(), -1);  // forward-only
  rs->close();
  EXPECT_FALSE(rs->isOpen());
  KVDN_EXPECT_DB_ERROR(rs->close(), err::kDbClosed);
}

TEST_P(DataConformance, StatementWithoutRowsGivesClosedRecordset) {
  KVDN_CONFORMANCE_NEEDS(writable);
  auto rs = conn->execute("UPDATE items SET qty = 0 WHERE ID = 1");
  ASSERT_TRUE(rs);
  EXPECT_FALSE(rs->isOpen());
  KVDN_EXPECT_DB_ERROR(rs->eof(), err::kDbClosed);
  EXPECT_EQ(scalar("SELECT qty FROM items WHERE ID = 1").integer(), 0);
}

TEST_P(DataConformance, FieldsByNameAndPosition) {
  auto rs = execute("SELECT ID, name, qty FROM items ORDER BY ID");
  rs->moveNext();
  EXPECT_EQ(whole(rs->fields().item("Qty").value()), 2);
  EXPECT_EQ(rs->fields().item(2).name(), "qty");
  try {
    rs->fields().item("nosuch");
    ADD_FAILURE() << "unknown field found";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kDbNoSuchColumn);
    EXPECT_EQ(e.description(),
              "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  }
  KVDN_EXPECT_DB_ERROR(rs->fields().item(3), err::kDbNoSuchColumn);
  KVDN_EXPECT_DB_ERROR(rs->fields().item(-1), err::kDbNoSuchColumn);
}

TEST_P(DataConformance, ValuesComeBackAsTheirTypes) {
  KVDN_CONFORMANCE_NEEDS(fullSql);
  auto rs = conn->execute("SELECT ID, name, qty, price, added FROM items WHERE ID = 7");
  EXPECT_EQ(rs->fields().item("ID").value().type(), VarType::Long);
  EXPECT_TRUE(rs->fields().item("name").value().isNull());
  EXPECT_EQ(rs->fields().item("qty").value().type(), VarType::Long);
  Variant price = rs->fields().item("price").value();
  ASSERT_EQ(price.type(), VarType::Double);
  EXPECT_DOUBLE_EQ(price.dbl(), 10.5);
  Variant added = rs->fields().item("added").value();
  ASSERT_EQ(added.type(), VarType::Date);
  EXPECT_EQ(added.date(), Date::fromParts(2024, 1, 7, 8, 30, 0));
}

TEST_P(DataConformance, TopLimitsRowsAlsoInSubqueries) {
  KVDN_CONFORMANCE_NEEDS(fullSql);
  auto rs = conn->execute("select top 3 ID from items order by ID desc");
  EXPECT_EQ(ids(*rs), (std::vector<std::int64_t>{23, 22, 21}));
  rs = conn->execute(
      "SELECT ID FROM items WHERE ID IN (SELECT TOP 2 ID FROM items ORDER BY qty DESC) ORDER BY ID");
  EXPECT_EQ(ids(*rs), (std::vector<std::int64_t>{22, 23}));
}

TEST_P(DataConformance, KeysetKnowsItsCountAndReadsPages) {
  auto rs = open("SELECT ID, name FROM items ORDER BY ID");
  EXPECT_EQ(rs->recordCount(), 23);
  EXPECT_EQ(rs->pageSize(), 10);
  EXPECT_EQ(rs->pageCount(), 3);
  rs->setPageSize(5);
  EXPECT_EQ(rs->pageCount(), 5);
  rs->setAbsolutePage(5);
  EXPECT_EQ(rs->absolutePage(), 5);
  EXPECT_EQ(ids(*rs), (std::vector<std::int64_t>{21, 22, 23}));
  rs->setAbsolutePage(2);
  EXPECT_EQ(ids(*rs, 5), (std::vector<std::int64_t>{6, 7, 8, 9, 10}));
  // A caller that reads on past the page gets the following rows.
  EXPECT_EQ(rs->absolutePage(), 3);
  EXPECT_EQ(ids(*rs, 3), (std::vector<std::int64_t>{11, 12, 13}));
  rs->setAbsolutePage(1);
  EXPECT_FALSE(rs->bof());
  EXPECT_EQ(whole(rs->fields().item(0).value()), 1);
}

TEST_P(DataConformance, PagePositionsOutOfRangeAreRefused) {
  auto rs = open("SELECT ID FROM items");
  rs->setPageSize(10);
  EXPECT_THROW(rs->setAbsolutePage(0), ComError);
  EXPECT_THROW(rs->setAbsolutePage(4), ComError);
  EXPECT_THROW(rs->setPageSize(0), ComError);
  EXPECT_EQ(rs->pageSize(), 10);
  rs->setAbsolutePage(3);
  EXPECT_EQ(ids(*rs).size(), 3u);
}

TEST_P(DataConformance, EmptyKeysetResult) {
  KVDN_CONFORMANCE_NEEDS(fullSql);
  auto rs = open("SELECT * FROM items WHERE ID < 0");
  EXPECT_TRUE(rs->bof());
  EXPECT_TRUE(rs->eof());
  EXPECT_EQ(rs->recordCount(), 0);
  EXPECT_EQ(rs->pageCount(), 0);
  EXPECT_EQ(rs->fields().count(), 5);
  EXPECT_EQ(rs->fields().item(1).name(), "name");
  KVDN_EXPECT_DB_ERROR(rs->fields().item(0).value(), err::kDbEofBof);
  EXPECT_THROW(rs->setAbsolutePage(1), ComError);
}

TEST_P(DataConformance, GetStringClipFormat) {
  KVDN_CONFORMANCE_NEEDS(fullSql);
  auto rs = open("SELECT ID, name FROM items WHERE ID BETWEEN 6 AND 8 ORDER BY ID");
  EXPECT_EQ(rs->getString(adClipString, -1, ",", ";", "-"), "6,item06;7,-;8,item08;");
  EXPECT_TRUE(rs->eof());
  KVDN_EXPECT_DB_ERROR(rs->getString(adClipString, -1, ",", ",", ""), err::kDbEofBof);
  rs = open("SELECT qty FROM items WHERE ID <= 3 ORDER BY ID");
  EXPECT_EQ(rs->getString(adClipString, 2, ",", ",", ""), "1,2,");
  EXPECT_EQ(rs->fields().item(0).value().integer(), 3);
  rs = open("SELECT qty FROM items WHERE ID < 0");
  EXPECT_THROW(rs->getString(adClipString, -1, ",", ",", ""), ComError);
}

TEST_P(DataConformance, AddNewOnEmptyMatchInsertsWithTheTableColumns) {
  KVDN_CONFORMANCE_NEEDS(writable);
  auto rs = open("select top 1 * from items where ID = -1", adOpenKeyset, adLockOptimistic);
  EXPECT_TRUE(rs->eof());
  ASSERT_EQ(rs->fields().count(), 5);
  rs->addNew();
  rs->fields().item("name").setValue(Variant("new one"));
  rs->fields().item("QTY").setValue(Variant("42"));
  rs->fields().item("added").setValue(Variant(Date::fromParts(2025, 2, 3, 4, 5, 6)));
  EXPECT_EQ(rs->fields().item("name").value().str(), "new one");
  rs->update();
  EXPECT_EQ(rs->fields().item("ID").value().integer(), 24);
  EXPECT_EQ(rs->fields().item("qty").value().integer(), 42);
  rs->close();
  auto check = conn->execute("SELECT name, qty, price, added FROM items WHERE ID = 24");
  ASSERT_FALSE(check->eof());
  EXPECT_EQ(check->fields().item(0).value().str(), "new one");
  EXPECT_EQ(check->fields().item(1).value().integer(), 42);
  EXPECT_TRUE(check->fields().item(2).value().isNull());
  EXPECT_EQ(check->fields().item(3).value().date(), Date::fromParts(2025, 2, 3, 4, 5, 6));
}

TEST_P(DataConformance, EditingTheCurrentRowUpdatesOnlyThatRow) {
  KVDN_CONFORMANCE_NEEDS(writable);
  auto rs = open("select top 1 * from items where ID = 4", adOpenKeyset, adLockOptimistic);
  rs->fields().item("qty").setValue(Variant(static_cast<std::int32_t>(99)));
  EXPECT_EQ(rs->fields().item("qty").value().integer(), 99);
  rs->update();
  rs->close();
  EXPECT_EQ(scalar("SELECT qty FROM items WHERE ID = 4").integer(), 99);
  EXPECT_EQ(scalar("SELECT name FROM items WHERE ID = 4").str(), "item04");
  EXPECT_EQ(scalar("SELECT count(*) FROM items WHERE qty = 99").integer(), 1);
}

TEST_P(DataConformance, WritesNeedARowAndARealField) {
  KVDN_CONFORMANCE_NEEDS(writable);
  auto rs = open("select top 1 * from items where ID = 999", adOpenKeyset, adLockOptimistic);
  KVDN_EXPECT_DB_ERROR(rs->fields().item("qty").setValue(Variant("1")), err::kDbEofBof);
  rs->addNew();
  KVDN_EXPECT_DB_ERROR(rs->fields().item("nosuch"), err::kDbNoSuchColumn);
  auto ro = open("SELECT * FROM items WHERE ID = 1");
  EXPECT_THROW(ro->addNew(), ComError);
  EXPECT_THROW(ro->fields().item("qty").setValue(Variant("1")), ComError);
}

TEST_P(DataConformance, TypeMismatchStoresNothingOfTheRecord) {
  KVDN_CONFORMANCE_NEEDS(writable);
  auto rs = open("select top 1 * from items where ID = -1", adOpenKeyset, adLockOptimistic);
  rs->addNew();
  rs->fields().item("name").setValue(Variant("half"));
  rs->fields().item("qty").setValue(Variant("abc"));
  KVDN_EXPECT_DB_ERROR(rs->update(), err::kDbTypeMismatch);
  EXPECT_EQ(scalar("SELECT count(*) FROM items").integer(), 23);
  // The failed record is dropped; the next one stores normally.
  rs->addNew();
  rs->fields().item("name").setValue(Variant("whole"));
  rs->update();
  EXPECT_EQ(scalar("SELECT count(*) FROM items WHERE name = 'half' OR name = 'whole'").integer(), 1);

  auto edit = open("select top 1 * from items where ID = 5", adOpenKeyset, adLockOptimistic);
  edit->fields().item("name").setValue(Variant("changed"));
  edit->fields().item("added").setValue(Variant("not a date"));
  KVDN_EXPECT_DB_ERROR(edit->update(), err::kDbTypeMismatch);
  EXPECT_EQ(scalar("SELECT name FROM items WHERE ID = 5").str(), "item05");
}

// htmlEncode(x) is there on every provider, for pages that list what users
// typed: the text as htmlCellText gives it, Null as Null, also in a paged
// keyset (whose count statement wraps the query).
TEST_P(DataConformance, HtmlEncodeGivesInertText) {
  KVDN_CONFORMANCE_NEEDS(writable);
  const std::string typed[] = {
      "<script>alert(1)</script>",
      "x{qzmClassa' onclick=f() b_}",
      "Tom & \"Jerry\" {}",
      "王小明",
  };
  auto rs = open("select top 1 * from items where ID = -1", adOpenKeyset, adLockOptimistic);
  for (const std::string& text : typed) {
    rs->addNew();
    rs->fields().item("name").setValue(Variant(text));
    rs->fields().item("qty").setValue(Variant(static_cast<std::int32_t>(1000)));
    rs->update();
  }
  rs->close();
  auto list = open("SELECT ID, htmlEncode(name) AS shown FROM items WHERE qty = 1000 ORDER BY ID");
  ASSERT_EQ(list->recordCount(), 4);
  list->setPageSize(3);
  list->setAbsolutePage(1);
  for (const std::string& text : typed) {
    ASSERT_FALSE(list->eof());
    EXPECT_EQ(list->fields().item("shown").value().str(), htmlCellText(text)) << text;
    list->moveNext();
  }
  EXPECT_TRUE(scalar("SELECT HTMLENCODE(name) FROM items WHERE ID = 7").isNull());
  EXPECT_EQ(scalar("SELECT htmlEncode(qty) FROM items WHERE ID = 3").joinText(), "3");
}

// Texts written into number and date columns are read as the script engine
// reads them: thousands separators, &H / &O, dates without seconds, with "T"
// or "/", single-digit parts, a time alone; too large a number is an
// overflow, and nothing of that record is stored.
TEST_P(DataConformance, NumbersAndDatesInTheScriptEnginesForms) {
  KVDN_CONFORMANCE_NEEDS(writable);
  struct Case {
    const char* column;
    const char* text;
    Variant stored;
  } cases[] = {
      {"qty", "1,000", Variant(static_cast<std::int32_t>(1000))},
      {"qty", "&H10", Variant(static_cast<std::int32_t>(16))},
      {"qty", "&O17", Variant(static_cast<std::int32_t>(15))},
      {"price", "1,234.5", Variant(1234.5)},
      {"added", "2024-03-05 14:05", Variant(Date::fromParts(2024, 3, 5, 14, 5, 0))},
      {"added", "2024-03-05T14:05", Variant(Date::fromParts(2024, 3, 5, 14, 5, 0))},
      {"added", "2024/3/5", Variant(Date::fromParts(2024, 3, 5))},
      {"added", "2024-3-5 9:5", Variant(Date::fromParts(2024, 3, 5, 9, 5, 0))},
      {"added", "14:05", Variant(Date::fromParts(1899, 12, 30, 14, 5, 0))},
  };
  for (const Case& c : cases) {
    auto rs = open("select top 1 * from items where ID = 2", adOpenKeyset, adLockOptimistic);
    rs->fields().item(c.column).setValue(Variant(c.text));
    rs->update();
    rs->close();
    const Variant v = scalar(std::string("SELECT ") + c.column + " FROM items WHERE ID = 2");
    EXPECT_TRUE(selectionEquals(v, c.stored)) << c.column << " <- " << c.text << ": " << v.joinText();
  }
  auto rs = open("select top 1 * from items where ID = 3", adOpenKeyset, adLockOptimistic);
  rs->fields().item("name").setValue(Variant("changed"));
  rs->fields().item("qty").setValue(Variant("1e400"));
  KVDN_EXPECT_DB_ERROR(rs->update(), err::kOverflow);
  rs->close();
  EXPECT_EQ(scalar("SELECT name FROM items WHERE ID = 3").str(), "item03");
  EXPECT_EQ(scalar("SELECT qty FROM items WHERE ID = 3").integer(), 3);
}

TEST_P(DataConformance, TransactionsCommitAndRollBack) {
  KVDN_CONFORMANCE_NEEDS(writable);
  conn->beginTrans();
  conn->execute("DELETE FROM items WHERE ID > 20");
  conn->rollbackTrans();
  EXPECT_EQ(scalar("SELECT count(*) FROM items").integer(), 23);
  conn->beginTrans();
  conn->execute("DELETE FROM items WHERE ID > 20");
  conn->commitTrans();
  EXPECT_EQ(scalar("SELECT count(*) FROM items").integer(), 20);
}

TEST_P(DataConformance, StatementErrorsCarryTheirNumbers) {
  KVDN_EXPECT_DB_ERROR(execute("SELEC * FROM items"), err::kDbErrorsInCommand);
  KVDN_EXPECT_DB_ERROR(execute("SELECT * FROM no_such_table"), err::kDbNoSuchTable);
  KVDN_EXPECT_DB_ERROR(open("SELECT * FROM no_such_table"), err::kDbNoSuchTable);
  KVDN_EXPECT_DB_ERROR(execute("SELECT nosuchcolumn FROM items"), GetParam().unknownColumnError);
}

TEST_P(DataConformance, ClosedConnectionRefusesWork) {
  conn->close();
  EXPECT_FALSE(conn->isOpen());
  try {
    conn->close();
    ADD_FAILURE() << "second close succeeded";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kDbClosed);
    EXPECT_EQ(e.description(), "Operation is not allowed when the object is closed.");
  }
  KVDN_EXPECT_DB_ERROR(execute("SELECT * FROM items"), err::kDbClosed);
  auto rs = GetParam().newRecordset();
  EXPECT_THROW(rs->open(sql("SELECT * FROM items"), conn, adOpenKeyset, adLockReadOnly, adCmdUnspecified),
               ComError);
}

TEST_P(DataConformance, LateBoundAsAPageScriptUsesIt) {
  KVDN_CONFORMANCE_NEEDS(fullSql);
  std::vector<Variant> args{Variant("SELECT ID, name FROM items WHERE ID = 3")};
  Variant rsv = conn->invoke("Execute", args);
  ASSERT_TRUE(rsv.isObject());
  ObjectPtr rs = rsv.object();
  EXPECT_FALSE(rs->getProperty("EOF").toBool());
  std::vector<Variant> byName{Variant("NAME")};
  EXPECT_EQ(rs->invoke("", byName).str(), "item03");
  std::vector<Variant> byPos{Variant(static_cast<std::int32_t>(0))};
  ObjectPtr field = rs->invoke("Fields", byPos).object();
  EXPECT_EQ(field->getProperty("Value").integer(), 3);
  EXPECT_EQ(field->getProperty("Name").str(), "ID");
  EXPECT_EQ(rs->getProperty("Fields").object()->getProperty("Count").integer(), 2);

  auto paged = GetParam().newRecordset();
  std::vector<Variant> openArgs{Variant("SELECT ID FROM items ORDER BY ID"), Variant(ObjectPtr(conn)),
                                Variant(static_cast<std::int32_t>(1)), Variant(static_cast<std::int32_t>(1)),
                                Variant(static_cast<std::int32_t>(-1))};
  paged->invoke("Open", openArgs);
  paged->setProperty("PageSize", Variant(static_cast<std::int32_t>(4)));
  paged->setProperty("AbsolutePage", Variant(static_cast<std::int32_t>(2)));
  EXPECT_EQ(paged->getProperty("RecordCount").integer(), 23);
  EXPECT_EQ(paged->getProperty("PageCount").integer(), 6);
  EXPECT_EQ(paged->getProperty("AbsolutePage").integer(), 2);
  std::vector<Variant> none;
  std::vector<Variant> first{Variant(static_cast<std::int32_t>(0))};
  EXPECT_EQ(paged->invoke("Fields", first).object()->getProperty("Value").integer(), 5);
  paged->invoke("MoveNext", none);
  EXPECT_EQ(paged->invoke("Fields", first).object()->getProperty("Value").integer(), 6);
  paged->invoke("Close", none);
  EXPECT_EQ(paged->getProperty("State").integer(), 0);
}

}  // namespace kvdn::conformance
