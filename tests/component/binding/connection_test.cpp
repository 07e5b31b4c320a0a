// connOpen / connClose through the in-memory host over a real SQLite file.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "kvdn/db_class.h"
#include "kvdn/provider.h"
#include "support/errors.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using ::kvdn::testing::errorOf;

class ConnectionTest : public testing::SiteFixture {
 protected:
  static bool reportsOpenFailure(const testing::TestPage& p) {
    const std::string prefix = "数据库打开失败！<br>";
    const std::string out = p.output();
    if (out.rfind(prefix, 0) != 0 || !p.ended()) return false;
    // number, "<br>", description
    std::size_t br = out.find("<br>", prefix.size());
    if (br == std::string::npos) return false;
    std::string number = out.substr(prefix.size(), br - prefix.size());
    return !number.empty() && std::stoll(number) != 0 && out.size() > br + 4;
  }
};

TEST_F(ConnectionTest, AccessKindFormsExactStringAndOpens) {
  setupDatabase({"create table t(ID integer primary key)"});
  for (const char* kind : {"access", "ACCESS", "AcCeSs"}) {
    auto p = page({}, false);
    p.db->dbType = Variant(kind);
    p.db->connOpen();
    EXPECT_FALSE(p.ended()) << p.output();
    EXPECT_EQ(p.db->connStringValue().joinText(),
              "Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + databaseFile().string());
    ASSERT_NE(p.db->conn, nullptr);
    EXPECT_TRUE(p.db->conn->isOpen());
    p.db->OnEndPage();
    EXPECT_EQ(p.db->conn, nullptr);
  }
}

TEST_F(ConnectionTest, SqlKindFormsExactString) {
  struct Case {
    const char* kind;
    Variant pwd;
    const char* expected;
  } cases[] = {
      {"Sql", Variant("secret"), "Provider=sqloledb; server=db1;uid=sa;pwd=secret;database=app"},
      {"sQL", Variant(), "Provider=sqloledb; server=db1;uid=sa;pwd=;database=app"},
      {"SQL", Variant::null(), "Provider=sqloledb; server=db1;uid=sa;pwd=;database=app"},
  };
  for (const auto& c : cases) {
    auto p = page({}, false);
    p.db->dbType = Variant(c.kind);
    p.db->sqlservername = Variant("db1");
    p.db->sqluid = Variant("sa");
    p.db->sqlpwd = c.pwd;
    p.db->database = Variant("app");
    p.db->connOpen();
    EXPECT_EQ(p.db->connStringValue().joinText(), c.expected);
    // No server provider in this build, or no server: reported, not raised.
    EXPECT_TRUE(reportsOpenFailure(p)) << p.output();
  }
}

TEST_F(ConnectionTest, OpenFailuresAreReportedAndEndTheResponse) {
  {  // unrecognised kind on a fresh object: empty connection string
    auto p = page({}, false);
    p.db->dbType = Variant();
    p.db->connOpen();
    EXPECT_TRUE(p.db->connStringValue().isEmpty());
    EXPECT_TRUE(reportsOpenFailure(p)) << p.output();
    ASSERT_NE(p.db->conn, nullptr);
    EXPECT_FALSE(p.db->conn->isOpen());
  }
  {  // missing file: reported, and never created by the open
    auto p = page({}, false);
    p.db->database = Variant("/database/missing.mdb");
    p.db->connOpen();
    EXPECT_TRUE(reportsOpenFailure(p)) << p.output();
    EXPECT_FALSE(std::filesystem::exists(root / "database/missing.mdb"));
  }
  {  // a file that is no database
    std::filesystem::create_directories(root / "database");
    { std::ofstream(root / "database/junk.mdb") << "this is not a database file at all, just some text"; }
    auto p = page({}, false);
    p.db->database = Variant("/database/junk.mdb");
    p.db->connOpen();
    EXPECT_TRUE(reportsOpenFailure(p)) << p.output();
  }
}

TEST_F(ConnectionTest, UntrappedFailuresBeforeTheOpen) {
  auto p = page({}, false);
  host->failures().mapPath = true;
  EXPECT_EQ(errorOf([&] { p.db->connOpen(); }), err::kInvalidCall);
  EXPECT_FALSE(p.ended());
  host->failures().mapPath = false;
  host->failures().progIds.insert("ADODB.CONNECTION");
  EXPECT_EQ(errorOf([&] { p.db->connOpen(); }), err::kCannotCreate);
  EXPECT_EQ(p.db->conn, nullptr);
  EXPECT_FALSE(p.ended());
}

// The Access kind's connection maker (what the Windows server installs for
// the AccessEngine setting): used instead of Server.CreateObject for the
// Access kind only, with the mapped file; a null answer falls back to
// Server.CreateObject; its error reaches the page untrapped.
TEST_F(ConnectionTest, AccessConnectionMakerTakesThePlaceOfCreateObject) {
  setupDatabase({"create table t(ID integer primary key)"});
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  struct Case {
    const char* kind;
    int answer;  // 0: null, 1: a connection, 2: raises
    bool hostCreates;
    bool opens;
    std::int32_t error;
  } cases[] = {
      {"access", 1, false, true, 0}, {"access", 1, true, true, 0},
      {"access", 0, true, true, 0},  {"access", 0, false, false, err::kCannotCreate},
      {"access", 2, true, false, 7}, {"sql", 1, false, false, err::kCannotCreate},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " answer " + std::to_string(c.answer));
    host->failures().progIds.clear();
    if (!c.hostCreates) host->failures().progIds.insert("ADODB.CONNECTION");
    auto p = page({}, false);
    p.db->dbType = Variant(c.kind);
    std::vector<std::string> asked;
    int recordsets = 0;
    p.db->setAccessConnectionMaker(
        [&](const std::string& path) -> std::shared_ptr<Connection> {
          asked.push_back(path);
          if (c.answer == 2) raise(7);
          return c.answer == 1 ? makeConnection(providers) : nullptr;
        },
        [&] {
          ++recordsets;
          return makeRecordset(providers);
        });
    const std::int32_t error = errorOf([&] { p.db->connOpen(); });
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(asked, std::string(c.kind) == "access" ? std::vector<std::string>{databaseFile().string()}
                                                     : std::vector<std::string>{});
    EXPECT_EQ(p.db->conn != nullptr && p.db->conn->isOpen(), c.opens) << p.output();
    EXPECT_FALSE(p.ended()) << p.output();
    if (!c.opens) continue;
    // The grid's recordset follows the connection: the maker's with the
    // maker's connection (the host's would fail here), else the host's.
    if (c.answer == 1) host->failures().progIds.insert("ADODB.RECORDSET");
    const std::string grid = p.db->dbSelect(Variant("select ID from t"), Variant(10), Variant(1), Variant(""),
                                            Variant(0), Variant(""), Variant(0), Variant("tableWg"))
                                 .joinText();
    EXPECT_NE(grid.find("<table"), std::string::npos) << grid << p.output();
    EXPECT_EQ(recordsets, c.answer == 1 ? 1 : 0);
  }
  host->failures().progIds.clear();
}

TEST_F(ConnectionTest, UnrecognisedKindReusesPreviousString) {
  setupDatabase({"create table t(ID integer primary key)"});
  auto p = page();
  const std::string first = p.db->connStringValue().joinText();
  p.db->dbType = Variant("other");
  p.db->connOpen();
  EXPECT_EQ(p.db->connStringValue().joinText(), first);
  EXPECT_TRUE(p.db->conn->isOpen());
}

TEST_F(ConnectionTest, SecondOpenClosesThePreviousConnection) {
  setupDatabase({"create table t(ID integer primary key)"});
  auto p = page();
  auto first = p.db->conn;
  ASSERT_TRUE(first->isOpen());
  p.db->connOpen();
  EXPECT_NE(p.db->conn, first);
  EXPECT_FALSE(first->isOpen());
  EXPECT_TRUE(p.db->conn->isOpen());
}

TEST_F(ConnectionTest, CloseTwiceAndCloseUnopened) {
  setupDatabase({"create table t(ID integer primary key)"});
  auto p = page();
  p.db->connClose();
  EXPECT_EQ(p.db->conn, nullptr);
  EXPECT_EQ(errorOf([&] { p.db->connClose(); }), err::kObjectNotSet);

  auto q = page({}, false);
  q.db->database = Variant("/database/missing.mdb");
  q.db->connOpen();  // reported; conn holds the unopened object
  auto unopened = q.db->conn;
  ASSERT_NE(unopened, nullptr);
  EXPECT_LT(errorOf([&] { q.db->connClose(); }), 0);
  EXPECT_EQ(q.db->conn, unopened);
  // OnEndPage tolerates it and still releases the page objects.
  q.db->OnEndPage();
  EXPECT_EQ(q.db->requestValue(), nullptr);
}

}  // namespace
}  // namespace kvdn
