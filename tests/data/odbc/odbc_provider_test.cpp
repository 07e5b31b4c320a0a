// Connection strings of the ODBC provider: SQL Server to FreeTDS, other
// sources as they stand, which provider serves which string, and how a
// server that cannot be reached is reported. No server is needed here.
#include "odbc_provider.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "kvdn/db_class.h"
#include "support/site_fixture.h"
#include "xls_provider.h"

namespace kvdn {
namespace {

constexpr const char* kDriver = "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so";

TEST(OdbcConnectionStrings, SqlServerMapsToFreeTds) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      // What connOpen forms for dbType "SQL".
      {"Provider=sqloledb; server=db1;uid=sa;pwd=secret;database=app",
       "Driver=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so;Server=db1;UID=sa;PWD=secret;Database=app;"
       "ClientCharset=UTF-8"},
      {"Provider=sqloledb; server=db1;uid=sa;pwd=;database=app",
       "Driver=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so;Server=db1;UID=sa;PWD=;Database=app;"
       "ClientCharset=UTF-8"},
      {"Provider=SQLOLEDB.1; server=tcp:10.0.0.5, 1444;uid=web;pwd=p;database=app",
       "Driver=/usr/lib/x86_64-linux-gnu/odbc/"
       "libtdsodbc.so;Server=10.0.0.5;Port=1444;UID=web;PWD=p;Database=app;"
       "ClientCharset=UTF-8"},
      {"Provider=SQLNCLI11;Data Source=(local)\\SQLEXPRESS;User ID=u;Password=p;Initial Catalog=库",
       "Driver=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so;Server=localhost\\SQLEXPRESS;UID=u;PWD=p;"
       "Database=库;ClientCharset=UTF-8"},
      // Separators and braces inside a value cannot end it early.
      {"Provider=sqloledb; server=db1;uid=sa;pwd=\"a;b}c\";database=app",
       "Driver=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so;Server=db1;UID=sa;PWD={a;b}}c};Database=app;"
       "ClientCharset=UTF-8"},
      {"Provider=sqloledb; server=db1;database=app;app=kvdn",
       "Driver=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so;Server=db1;Database=app;APP=kvdn;"
       "ClientCharset=UTF-8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(odbc::sqlServerConnectionString(ConnectionString::parse(c.in), kDriver), c.out) << c.in;
  }
  // Connection.Open's user and password win over the string's.
  ConnectionString cs = ConnectionString::parse("Provider=sqloledb; server=s;uid=a;pwd=b;database=d");
  cs.set("user id", "web");
  cs.set("password", "pw");
  EXPECT_EQ(odbc::sqlServerConnectionString(cs, "{FreeTDS}"),
            "Driver={FreeTDS};Server=s;UID=web;PWD=pw;Database=d;ClientCharset=UTF-8");
}

TEST(OdbcConnectionStrings, OtherSourcesPassAsTheyStand) {
  EXPECT_EQ(odbc::passThroughConnectionString(ConnectionString::parse(
                "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=app;Uid=web;Pwd=x")),
            "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=app;Uid=web;Pwd=x");
  EXPECT_EQ(odbc::passThroughConnectionString(ConnectionString::parse("Provider=MSDASQL;DSN=site;pwd='a;b'")),
            "DSN=site;pwd={a;b}");
  // Keys reach the driver as the page spelt them (a driver may know DBQ only).
  EXPECT_EQ(odbc::passThroughConnectionString(ConnectionString::parse("Driver={MDBTools}; DBQ =/d/a.mdb")),
            "Driver={MDBTools};DBQ=/d/a.mdb");
  EXPECT_THROW(odbc::passThroughConnectionString(ConnectionString::parse("Driver=x;{Server}=y")), ComError);
  ConnectionString cs = ConnectionString::parse("DSN=site;UID=a;PWD=b");
  cs.set("user id", "web");
  cs.set("password", "pw");
  EXPECT_EQ(odbc::passThroughConnectionString(cs), "DSN=site;UID=web;PWD=pw");
}

// A value can never end early and add attributes of its own: whatever it
// holds, it is one ODBC value, braced with "}" doubled when it needs to be.
TEST(OdbcConnectionStrings, ValuesCannotAddAttributes) {
  const char* const kInjected = "{x};Database=master;Encrypt={no}";
  ConnectionString cs = ConnectionString::parse("Provider=sqloledb; server=db1;uid=sa;database=app");
  cs.set("password", kInjected);
  EXPECT_EQ(odbc::sqlServerConnectionString(cs, "{FreeTDS}"),
            "Driver={FreeTDS};Server=db1;UID=sa;PWD={{x}};Database=master;Encrypt={no}}};Database=app;"
            "ClientCharset=UTF-8");

  ConnectionString pass = ConnectionString::parse("Driver={PostgreSQL Unicode};Server=h;Database=app");
  pass.set("user id", "web}");
  pass.set("password", kInjected);
  EXPECT_EQ(odbc::passThroughConnectionString(pass),
            "Driver={PostgreSQL Unicode};Server=h;Database=app;UID={web}}};"
            "PWD={{x}};Database=master;Encrypt={no}}}");

  // Each value as the string carries it: unchanged when plain or already one
  // braced value, braced otherwise.
  const std::pair<const char*, const char*> cases[] = {
      {"Driver=x;pwd=plain text", "Driver=x;pwd=plain text"},
      {"Driver=x;pwd={a}}b}", "Driver=x;pwd={a}}b}"},
      {"Driver=x;pwd=\"{a}b}\"", "Driver=x;pwd={{a}}b}}}"},
      {"Driver=x;pwd=\"a=b\"", "Driver=x;pwd={a=b}"},
      {"Driver=x;pwd=\" a\"", "Driver=x;pwd={ a}"},
      {"Driver=x;pwd=\"{}\"", "Driver=x;pwd={}"},
      {"Driver=x;pwd=\"{\"", "Driver=x;pwd={{}"},
      {"Driver=x;pwd=\"}\"", "Driver=x;pwd={}}}"},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(odbc::passThroughConnectionString(ConnectionString::parse(in)), out) << in;
}

TEST(OdbcConnectionStrings, EachStringFindsItsProvider) {
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  registerXlsProvider(*providers);
  struct Case {
    const char* cs;
    const char* provider;
  } cases[] = {
      {"Provider=sqloledb; server=s;uid=u;pwd=p;database=d", "ODBC"},
      {"Provider=SQLNCLI10;Server=s", "ODBC"},
      {"Provider=MSOLEDBSQL;Server=s", "ODBC"},
      {"Driver={PostgreSQL Unicode};Server=h", "ODBC"},
      {"DSN=site", "ODBC"},
      {"Provider=MSDASQL;DSN=site", "ODBC"},
      {"Provider=Microsoft.Jet.OLEDB.4.0; Data source=/x.mdb", "SQLite file"},
      {"Driver={Microsoft Excel Driver (*.xls)};DBQ=/x.xls", "Excel"},
  };
  for (const auto& c : cases) {
    const std::string name = providers->find(ConnectionString::parse(c.cs))->name();
    EXPECT_NE(asciiLower(name).find(asciiLower(c.provider)), std::string::npos) << c.cs << " -> " << name;
  }
  auto odbc = makeOdbcProvider();
  EXPECT_FALSE(
      odbc->accepts(ConnectionString::parse("Provider=Microsoft.Jet.OLEDB.4.0; Data source=/x.mdb")));
  EXPECT_FALSE(
      odbc->accepts(ConnectionString::parse("Provider=MSDASQL;Driver={Microsoft Excel Driver (*.xls)}")));
  EXPECT_FALSE(odbc->accepts(ConnectionString::parse("Provider=Other;DSN=site")));
  EXPECT_FALSE(odbc->accepts(ConnectionString::parse("")));
}

TEST(OdbcConnectionStrings, FreeTdsDriverIsFound) {
  const std::string driver = odbc::freeTdsDriver();
  const bool registered = driver.size() > 2 && driver.front() == '{' && driver.back() == '}';
  EXPECT_TRUE(registered || std::filesystem::exists(driver)) << driver;
}

class SqlKindTest : public testing::SiteFixture {};

TEST_F(SqlKindTest, UnreachableServerIsReportedByConnOpen) {
  auto p = page({}, false);
  p.db->dbType = Variant("SQL");
  p.db->sqlservername = Variant("127.0.0.1,1");  // nothing listens on port 1
  p.db->sqluid = Variant("sa");
  p.db->sqlpwd = Variant("Very$ecret1");
  p.db->database = Variant("app");
  p.db->connOpen();
  EXPECT_TRUE(p.ended());
  const std::string prefix = "数据库打开失败！<br>" + std::to_string(err::kDbFail) + "<br>";
  const std::string out = p.output();
  ASSERT_EQ(out.rfind(prefix, 0), 0u) << out;
  EXPECT_NE(out.find("Unable to connect"), std::string::npos) << out;
  EXPECT_EQ(out.find("Very$ecret1"), std::string::npos) << "the password must not be shown";
  ASSERT_NE(p.db->conn, nullptr);
  EXPECT_FALSE(p.db->conn->isOpen());
}

TEST_F(SqlKindTest, MissingDriverIsReportedByTheDriverManager) {
  auto conn = makeConnection([] {
    auto r = std::make_shared<ProviderRegistry>();
    registerStandardProviders(*r);
    return r;
  }());
  try {
    conn->open("Driver={No Such Driver 42};Server=x");
    ADD_FAILURE() << "opened through a missing driver";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kDbFail);
    EXPECT_NE(e.description().find("No Such Driver 42"), std::string::npos) << e.description();
    EXPECT_NE(e.description().find("(SQLSTATE 01000)"), std::string::npos) << e.description();
  }
  EXPECT_FALSE(conn->isOpen());
}

}  // namespace
}  // namespace kvdn
