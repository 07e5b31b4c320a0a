// The data contract, run on every provider: SQLite files, created the way
// pages create them (Server.CreateObject("ADODB.Connection") through the
// class registry), PostgreSQL through the ODBC provider (skipped without a
// server, see data/odbc/pg_database.h), and, for what it can answer (reads
// of a worksheet, no writes), the spreadsheet provider on a workbook that
// holds the items.
#include "data/conformance/conformance.h"

#include <regex>

#include "data/odbc/pg_database.h"
#include "data/xls/test_workbook.h"
#include "kvdn/page.h"
#include "kvdn/provider.h"

namespace kvdn::conformance {
namespace {

DataBackend sqliteBackend() {
  auto classes = std::make_shared<ClassRegistry>();
  registerDataClasses(*classes);
  DataBackend b;
  b.name = "SqliteFile";
  b.connect = [classes](const std::filesystem::path& dir) {
    auto file = dir / "app.mdb";
    ::kvdn::testing::runSql(file, {"PRAGMA user_version = 1"});
    auto conn = std::dynamic_pointer_cast<Connection>(classes->create("ADODB.Connection"));
    conn->open("Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + file.string(), "", "", adCmdUnspecified);
    return conn;
  };
  b.newRecordset = [classes] {
    return std::dynamic_pointer_cast<Recordset>(classes->create("adodb.recordset"));
  };
  return b;
}

INSTANTIATE_TEST_SUITE_P(Sqlite, DataConformance, ::testing::Values(sqliteBackend()),
                         [](const auto& p) { return p.param.name; });

// The database of the current test; replaced by the next test, dropped at exit.
std::unique_ptr<pgtest::PgDatabase>& currentDatabase() {
  static std::unique_ptr<pgtest::PgDatabase> db;
  return db;
}

void skipForNoServer() {
  GTEST_SKIP() << pgtest::kNoServer;
}

DataBackend postgresBackend() {
  auto classes = std::make_shared<ClassRegistry>();
  registerDataClasses(*classes);
  DataBackend b;
  b.name = "PostgreSql";
  b.connect = [classes](const std::filesystem::path& dir) -> std::shared_ptr<Connection> {
    auto conn = std::dynamic_pointer_cast<Connection>(classes->create("ADODB.Connection"));
    if (!pgtest::hasServer()) {
      // The test is skipped; the fixture's setup still wants an open
      // connection, so it gets a file database the skipped body never uses.
      skipForNoServer();
      auto file = dir / "unused.mdb";
      ::kvdn::testing::runSql(file, {"PRAGMA user_version = 1"});
      conn->open("Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + file.string());
      return conn;
    }
    currentDatabase().reset();
    currentDatabase() = std::make_unique<pgtest::PgDatabase>();
    conn->open(currentDatabase()->dsn());
    return conn;
  };
  b.newRecordset = [classes] {
    return std::dynamic_pointer_cast<Recordset>(classes->create("adodb.recordset"));
  };
  b.autoKey = "ID SERIAL PRIMARY KEY";
  return b;
}

// The items as worksheet "items" of a legacy .xls workbook. Statements name
// the sheet as the spreadsheet driver wants it ("[items$]"); the rows are in
// ID order already, so "ORDER BY ID" is left out.
DataBackend spreadsheetBackend() {
  auto classes = std::make_shared<ClassRegistry>();
  registerDataClasses(*classes);
  DataBackend b;
  b.name = "Spreadsheet";
  b.writable = false;
  b.fullSql = false;
  b.wholeNumbersAsLong = false;
  b.unknownColumnError = err::kDbNoSuchColumn;
  b.connect = [classes](const std::filesystem::path& dir) {
    // Written once per run (by a Python script), copied for each test.
    static const ::kvdn::testing::TempDir made;
    static const std::filesystem::path original = [] {
      ::kvdn::testing::TestSheet sheet{"items", {{"ID", "name", "qty", "price", "added"}}};
      for (const Item& item : items()) {
        sheet.rows.push_back({item.id, item.name.empty() ? nlohmann::json() : nlohmann::json(item.name),
                              item.qty, item.price, nlohmann::json{{"datetime", item.added}}});
      }
      const auto file = made.path() / "items.xls";
      ::kvdn::testing::writeWorkbook(file, {sheet});
      return file;
    }();
    const auto book = dir / "items.xls";
    std::filesystem::copy_file(original, book);
    auto conn = std::dynamic_pointer_cast<Connection>(classes->create("ADODB.Connection"));
    conn->open("Driver={Microsoft excel Driver (*.xls)};DBQ=" + book.string());
    return conn;
  };
  b.newRecordset = [classes] {
    return std::dynamic_pointer_cast<Recordset>(classes->create("adodb.recordset"));
  };
  b.statement = [](const std::string& text) {
    static const std::regex table("\\b(FROM|from) ([A-Za-z_][A-Za-z0-9_]*)");
    static const std::regex byKey(" ORDER BY ID$");
    return std::regex_replace(std::regex_replace(text, byKey, ""), table, "$1 [$2$$]");
  };
  return b;
}

INSTANTIATE_TEST_SUITE_P(Xls, DataConformance, ::testing::Values(spreadsheetBackend()),
                         [](const auto& p) { return p.param.name; });

INSTANTIATE_TEST_SUITE_P(Odbc, DataConformance, ::testing::Values(postgresBackend()),
                         [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace kvdn::conformance
