// The data contract over SQLite files, created the way pages create them:
// Server.CreateObject("ADODB.Connection") through the class registry.
#include "sqlite/conformance.h"

#include "component/registration.h"
#include "kvdn/page.h"

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
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kvdn::conformance
