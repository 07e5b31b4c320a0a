// What only a server shows through the ODBC provider: names folded to lower case,
// UTF-16 text from the driver, keys found with SQLPrimaryKeys, one statement
// at a time.
#include <gtest/gtest.h>

#include "support/errors.h"
#include "support/site_fixture.h"

#include "data/odbc/pg_database.h"
#include "kvdn/provider.h"
#include "kvdn/text.h"
#include "odbc_provider.h"

namespace kvdn::conformance {
namespace {

class PgProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pgtest::hasServer()) GTEST_SKIP() << pgtest::kNoServer;
    db = std::make_unique<pgtest::PgDatabase>();
    db->run(
        {"CREATE TABLE 物品 (ID SERIAL PRIMARY KEY, \"名称\" VARCHAR(100), qty INTEGER, big BIGINT, "
         "price NUMERIC(10,2), day DATE, flag BOOLEAN, note TEXT)",
         "INSERT INTO 物品 (\"名称\", qty, big, price, day, flag, note) VALUES "
         "('苹果', 1, 5000000000, 2.50, '2024-02-29', true, NULL), "
         "('香蕉', 2, 7, 0.10, NULL, false, 'x'), ('樱桃', 3, NULL, NULL, NULL, NULL, NULL)"});
    conn = db->connect();
  }

  std::shared_ptr<Recordset> open(const std::string& sql, int lock = adLockReadOnly) {
    auto rs = makeRecordset(db->providers());
    rs->open(sql, conn, adOpenKeyset, lock, adCmdUnspecified);
    return rs;
  }

  std::unique_ptr<pgtest::PgDatabase> db;
  std::shared_ptr<Connection> conn;
};

TEST_F(PgProviderTest, ValuesMapToTheirKinds) {
  auto rs = conn->execute("SELECT ID, 名称, qty, big, price, day, flag, note FROM 物品 ORDER BY ID");
  struct Expect {
    const char* field;
    VarType type;
    const char* text;
  };
  const std::vector<std::vector<Expect>> rows = {
      {{"名称", VarType::String, "苹果"},
       {"qty", VarType::Long, "1"},
       {"big", VarType::LongLong, "5000000000"},
       {"price", VarType::Double, "2.5"},
       {"day", VarType::Date, "2024-02-29"},
       {"flag", VarType::Boolean, ""},
       {"note", VarType::Null, ""}},
      {{"price", VarType::Double, "0.1"}, {"day", VarType::Null, ""}, {"note", VarType::String, "x"}},
      {{"big", VarType::Null, ""}, {"flag", VarType::Null, ""}},
  };
  for (const auto& row : rows) {
    ASSERT_FALSE(rs->eof());
    for (const Expect& e : row) {
      const Variant v = rs->fields().item(e.field).value();
      EXPECT_EQ(v.type(), e.type) << e.field;
      if (e.type != VarType::Boolean && e.type != VarType::Null) {
        EXPECT_EQ(v.joinText(), e.text) << e.field;
      }
    }
    rs->moveNext();
  }
  EXPECT_TRUE(rs->eof());

  // Booleans are written as the bit they are, whatever number holds True.
  auto edit = open("select * from 物品 where ID = 2", adLockOptimistic);
  edit->fields().item("flag").setValue(Variant(true));
  edit->update();
  EXPECT_EQ(edit->fields().item("flag").value().type(), VarType::Boolean);
  EXPECT_TRUE(edit->fields().item("flag").value().toBool());
  EXPECT_EQ(db->query("SELECT count(*) FROM 物品 WHERE flag"),
            (std::vector<std::vector<std::string>>{{"2"}}));
}

TEST_F(PgProviderTest, NamesComeBackAsWritten) {
  // PostgreSQL folds unquoted names to lower case; the names a statement
  // writes come back as written, the rest as stored.
  auto rs = conn->execute("SELECT ID, Qty AS Menge, 名称, count(*) OVER () AS Total FROM 物品 WHERE ID = 1");
  std::vector<std::string> names;
  for (int i = 0; i < rs->fields().count(); ++i) names.push_back(rs->fields().item(i).name());
  EXPECT_EQ(names, (std::vector<std::string>{"ID", "Menge", "名称", "Total"}));
  rs = conn->execute("SELECT * FROM [物品] WHERE [ID] = 1");
  EXPECT_EQ(rs->fields().item(0).name(), "id");
  EXPECT_EQ(rs->fields().item("ID").value().integer(), 1);
}

TEST_F(PgProviderTest, LongChineseTextSurvivesTheRoundTrip) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += i % 7 == 0 ? "a" : "汉";  // beyond one read of the driver
  auto rs = open("SELECT TOP 1 * FROM 物品 WHERE ID = -1", adLockOptimistic);
  rs->addNew();
  rs->fields().item("note").setValue(Variant(text));
  rs->fields().item("名称").setValue(Variant("引号'\"；分号"));
  rs->update();
  const std::int64_t id = rs->fields().item("id").value().integer();
  rs->close();
  auto check = conn->execute("SELECT note, 名称 FROM 物品 WHERE ID = " + std::to_string(id));
  EXPECT_EQ(check->fields().item("note").value().str(), text);
  EXPECT_EQ(check->fields().item("名称").value().str(), "引号'\"；分号");
}

TEST_F(PgProviderTest, EditsFindTheirRowByThePrimaryKey) {
  // The key is not selected: the provider adds it for itself.
  auto rs = open("select top 1 名称 from 物品 where ID = 2", adLockOptimistic);
  ASSERT_EQ(rs->fields().count(), 1);
  rs->fields().item(0).setValue(Variant("梨"));
  rs->update();
  rs->close();
  EXPECT_EQ(db->query("SELECT ID, 名称 FROM 物品 ORDER BY ID"),
            (std::vector<std::vector<std::string>>{{"1", "苹果"}, {"2", "梨"}, {"3", "樱桃"}}));

  // Writing the key column moves the row; it is found at its new key.
  rs = open("select * from 物品 where ID = 3", adLockOptimistic);
  rs->fields().item("ID").setValue(Variant(std::int32_t{30}));
  rs->fields().item("qty").setValue(Variant("33"));
  rs->update();
  EXPECT_EQ(rs->fields().item("qty").value().integer(), 33);
  EXPECT_EQ(db->query("SELECT ID, qty FROM 物品 WHERE ID > 2"),
            (std::vector<std::vector<std::string>>{{"30", "33"}}));
}

TEST_F(PgProviderTest, FailuresCarryTheirNumbersAndTheDriversText) {
  try {
    conn->execute("INSERT INTO 物品 (ID, 名称) VALUES (1, 'dup')");
    ADD_FAILURE() << "duplicate key stored";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), -2147217873);  // integrity violation
    EXPECT_NE(e.description().find("duplicate key"), std::string::npos) << e.description();
  }
  KVDN_EXPECT_DB_ERROR(conn->execute("SELECT * FROM 物品; DELETE FROM 物品"), err::kDbErrorsInCommand);
  EXPECT_EQ(db->query("SELECT count(*) FROM 物品"), (std::vector<std::vector<std::string>>{{"3"}}));
  KVDN_EXPECT_DB_ERROR(conn->execute("SELECT * FROM 物品 WHERE day = 'no date'"), err::kDbTypeMismatch);

  auto other = makeConnection(db->providers());
  try {
    other->open(pgtest::serverDsn() + ";Database=no_such_database_here");
    ADD_FAILURE() << "opened a missing database";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kDbFail);
    EXPECT_NE(e.description().find("no_such_database_here"), std::string::npos) << e.description();
  }
  EXPECT_FALSE(other->isOpen());
}

TEST_F(PgProviderTest, ClosingRollsBackAnOpenTransaction) {
  conn->beginTrans();
  KVDN_EXPECT_DB_ERROR(conn->beginTrans(), err::kDbErrorsInCommand);
  conn->execute("DELETE FROM 物品");
  auto rs = conn->execute("SELECT ID FROM 物品");
  EXPECT_TRUE(rs->eof());
  conn->close();
  EXPECT_EQ(db->query("SELECT count(*) FROM 物品"), (std::vector<std::vector<std::string>>{{"3"}}));
  KVDN_EXPECT_DB_ERROR(rs->moveNext(), err::kDbEofBof);
  conn = db->connect();
  KVDN_EXPECT_DB_ERROR(conn->commitTrans(), err::kDbErrorsInCommand);
}

TEST_F(PgProviderTest, CursorsLeftOpenByAClosedConnectionRefuseToRead) {
  auto rs = open("SELECT ID FROM 物品 ORDER BY ID");
  EXPECT_EQ(rs->recordCount(), 3);
  conn->close();
  KVDN_EXPECT_DB_ERROR(rs->fields().item(0).value(), err::kDbClosed);
}

TEST_F(PgProviderTest, OneStatementAtATimeKeepsEveryPendingRow) {
  // As SQL Server without MARS: a second statement reads the pending result
  // of the first into memory before it runs.
  auto providers = std::make_shared<ProviderRegistry>();
  odbc::Options options;
  options.oneActiveStatement = true;
  providers->add(makeOdbcProvider(options));
  auto single = makeConnection(providers);
  single->open(db->dsn());
  auto outer = single->execute("SELECT ID FROM 物品 ORDER BY ID");
  std::vector<std::string> seen;
  while (!outer->eof()) {
    const std::int64_t id = outer->fields().item(0).value().integer();
    auto inner = single->execute("SELECT 名称 FROM 物品 WHERE ID = " + std::to_string(id));
    seen.push_back(std::to_string(id) + inner->fields().item(0).value().str());
    single->execute("UPDATE 物品 SET qty = qty + 10 WHERE ID = " + std::to_string(id));
    outer->moveNext();
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1苹果", "2香蕉", "3樱桃"}));
  EXPECT_EQ(db->query("SELECT sum(qty) FROM 物品"), (std::vector<std::vector<std::string>>{{"36"}}));
}

// Against psqlodbc itself: a password that would name another database is
// refused before the driver sees it, braced or not.
TEST_F(PgProviderTest, APasswordCannotAddAttributes) {
  for (const char* password : {"{x};Database=postgres;ConnSettings={SET search_path TO nowhere}",
                               "x;Database=postgres", "{x;Database=postgres}"}) {
    SCOPED_TRACE(password);
    auto other = makeConnection(db->providers());
    try {
      other->open(pgtest::serverDsn(), "", password);
      ADD_FAILURE() << "opened, on "
                    << other->execute("SELECT current_database()")->fields().item(0).value().str();
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kDbFail);
      EXPECT_NE(e.description().find("holds a ';'"), std::string::npos) << e.description();
    }
    EXPECT_FALSE(other->isOpen());
  }
}

// htmlEncode() on the server gives exactly what the file database gives.
TEST_F(PgProviderTest, HtmlEncodeMatchesTheFileDatabase) {
  const std::string texts[] = {"<a href='x'>&amp;</a>", "{qzmClassa' b_}{qzmLeft3_}abcd{_qzmLeft}",
                               "\"引号\"", "a\\b", ""};
  for (const std::string& text : texts) {
    auto rs = open("SELECT TOP 1 * FROM 物品 WHERE ID = 3", adLockOptimistic);
    rs->fields().item("note").setValue(Variant(text));
    rs->update();
    rs->close();
    const Variant shown =
        conn->execute("SELECT htmlEncode(note) FROM 物品 WHERE ID = 3")->fields().item(0).value();
    EXPECT_EQ(shown.str(), htmlCellText(text)) << text;
  }
}

}  // namespace
}  // namespace kvdn::conformance
