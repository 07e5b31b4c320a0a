// The data contract, run on every provider that can hold the tables: SQLite
// files, created the way pages create them (Server.CreateObject("ADODB.
// Connection") through the class registry), and PostgreSQL through the ODBC
// provider (skipped without a server, see data/odbc/pg_database.h).
#include "data/conformance/conformance.h"

#include "data/odbc/pg_database.h"
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

INSTANTIATE_TEST_SUITE_P(Odbc, DataConformance, ::testing::Values(postgresBackend()),
                         [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace kvdn::conformance
