// Connection strings of the ODBC provider: SQL Server to FreeTDS, other
// sources as they stand, which provider serves which string, and how a
// server that cannot be reached is reported. No server is needed here.
#include "odbc_provider.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

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
      // Braces and "=" inside a value cannot end it early (a ";" is refused).
      {"Provider=sqloledb; server=db1;uid=sa;pwd=\"a=b}c\";database=app",
       "Driver=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so;Server=db1;UID=sa;PWD={a=b}}c};Database=app;"
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
  // Keys reach the driver as the page spelt them (a driver may know DBQ only).
  EXPECT_EQ(odbc::passThroughConnectionString(ConnectionString::parse("Driver={MDBTools}; DBQ =/d/a.mdb")),
            "Driver={MDBTools};DBQ=/d/a.mdb");
  EXPECT_THROW(odbc::passThroughConnectionString(ConnectionString::parse("Driver=x;{Server}=y")), ComError);
  ConnectionString cs = ConnectionString::parse("DSN=site;UID=a;PWD=b");
  cs.set("user id", "web");
  cs.set("password", "pw");
  EXPECT_EQ(odbc::passThroughConnectionString(cs), "DSN=site;UID=web;PWD=pw");
}

// A value can never end early and add attributes of its own: one holding a
// ";" is refused, braced or not (FreeTDS read "{x};Server=other" as two
// attributes); any other is one ODBC value, braced with "}" doubled when it
// needs to be.
TEST(OdbcConnectionStrings, ValuesCannotAddAttributes) {
  auto refused = [](const std::function<void()>& make, const char* attribute) {
    try {
      make();
      ADD_FAILURE() << attribute << " was taken";
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kDbFail);
      EXPECT_NE(e.description().find(std::string("value of ") + attribute + " holds a ';'"),
                std::string::npos)
          << e.description();
    }
  };
  for (const char* injected : {"{x};Database=master;Encrypt={no}", "x;Server=other", "{x;Server=other}"}) {
    SCOPED_TRACE(injected);
    ConnectionString cs = ConnectionString::parse("Provider=sqloledb; server=db1;uid=sa;database=app");
    cs.set("password", injected);
    refused([&] { odbc::sqlServerConnectionString(cs, "{FreeTDS}"); }, "PWD");
    ConnectionString pass = ConnectionString::parse("Driver={PostgreSQL Unicode};Server=h;Database=app");
    pass.set("user id", injected);
    refused([&] { odbc::passThroughConnectionString(pass); }, "UID");
  }
  refused([] { odbc::passThroughConnectionString(ConnectionString::parse("DSN=site;pwd='a;b'")); }, "pwd");
  refused([] { odbc::passThroughConnectionString(ConnectionString::parse("DSN=site;pwd={a;Server=b}")); },
          "pwd");
  ConnectionString cs = ConnectionString::parse("Provider=sqloledb; server=db1;uid=sa;database=app");
  cs.set("password", "{x}=y");
  EXPECT_EQ(odbc::sqlServerConnectionString(cs, "{FreeTDS}"),
            "Driver={FreeTDS};Server=db1;UID=sa;PWD={{x}}=y};Database=app;ClientCharset=UTF-8");

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

// Against FreeTDS itself: a password that would name another server (here a
// listener of the test's own, which closes what it accepts) never reaches
// the driver, braced or not, through connOpen or Connection.Open. FreeTDS
// used to connect there with the braced password of Connection.Open.
TEST_F(SqlKindTest, APasswordCannotSendFreeTdsToAnotherServer) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::atomic<int> reached{0};
  std::atomic<bool> done{false};
  std::thread other([&] {
    while (!done) {
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd >= 0) {
        ++reached;
        ::close(fd);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
  });
  const std::string elsewhere = "127.0.0.1;Port=" + std::to_string(ntohs(addr.sin_port));
  auto refused = [](const std::string& report) { return report.find("holds a ';'") != std::string::npos; };
  for (const std::string& password :
       {"x;Server=" + elsewhere, "{x};Server=" + elsewhere, "{x;Server=" + elsewhere + "}"}) {
    SCOPED_TRACE(password);
    auto p = page({}, false);
    p.db->dbType = Variant("SQL");
    p.db->sqlservername = Variant("127.0.0.1,1");  // nothing listens on port 1
    p.db->sqluid = Variant("sa");
    p.db->sqlpwd = Variant(password);
    p.db->database = Variant("app");
    p.db->connOpen();
    EXPECT_TRUE(p.ended());
    EXPECT_TRUE(refused(p.output())) << p.output();
    auto conn = makeConnection([] {
      auto r = std::make_shared<ProviderRegistry>();
      registerStandardProviders(*r);
      return r;
    }());
    try {
      conn->open("Driver=" + odbc::freeTdsDriver() + ";Server=127.0.0.1;Port=1;Database=app", "sa", password);
      ADD_FAILURE() << "opened";
    } catch (const ComError& e) {
      EXPECT_TRUE(refused(e.description())) << e.description();
    }
  }
  done = true;
  other.join();
  ::close(listener);
  EXPECT_EQ(reached.load(), 0) << "FreeTDS connected to the server a password named";
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
