// Server databases through ODBC (unixODBC), behind the same Connection and
// Recordset as the file database:
//
//   "Provider=sqloledb; server=S;uid=U;pwd=P;database=D" (also SQLNCLI*,
//   MSOLEDBSQL): SQL Server through the FreeTDS ODBC driver, with UTF-8 as
//   the client character set;
//   "Driver={...};..." (any driver but the spreadsheet's) or "DSN=...", with
//   or without "Provider=MSDASQL": that ODBC data source as it stands.
//
// The session asks the server who it is (SQL_DBMS_NAME) and speaks its
// dialect (odbc/odbc_dialect.h). Failures raise ComError with the OLE DB
// style number of their kind and the driver's own diagnostic text.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "kvdn/provider.h"

namespace kvdn {

namespace odbc {

struct Options {
  // How long an open waits for the server (SQL_ATTR_LOGIN_TIMEOUT).
  int loginTimeoutSeconds = 15;
  // Treat every server as one that runs one statement at a time (as SQL
  // Server without MARS does): a pending result is read into memory before
  // another statement runs. For tests on servers without that limit.
  bool oneActiveStatement = false;
};

// True for the SQL Server provider names of ADO connection strings.
bool isSqlServerString(const ConnectionString& cs);
// True for an ODBC data source named by Driver= (not the spreadsheet driver)
// or DSN= / FileDSN=, with no provider or Provider=MSDASQL.
bool isOdbcString(const ConnectionString& cs);

// The FreeTDS driver as the driver manager should load it: the name it is
// registered under with odbcinst (in braces) when there is one, else the
// driver file at its Debian place, else "{FreeTDS}" (whose failure to load
// then names what is missing).
std::string freeTdsDriver();

// The FreeTDS connection string for a SQL Server connection string:
// server (also "data source"; "host,port", "host\instance", "tcp:" and
// "(local)" understood), uid / user id, pwd / password, database / initial
// catalog, app / application name; always ClientCharset=UTF-8. A value
// that holds a character ODBC reserves (braces, "=" and the like) is braced
// with "}" doubled, unless it is one ODBC braced value already; a value
// holding a ";" is refused, braced or not (raises err::kDbFail naming the
// attribute): no value can add attributes, whichever way a driver reads
// braces. `driver` is used as given.
std::string sqlServerConnectionString(const ConnectionString& cs, std::string_view driver);

// The connection string handed to the driver manager for an ODBC data
// source: every pair as given except Provider, with "user id" and "password"
// (from Connection.Open's arguments) as UID and PWD; values quoted as for
// sqlServerConnectionString. Pure.
std::string passThroughConnectionString(const ConnectionString& cs);

}  // namespace odbc

std::shared_ptr<Provider> makeOdbcProvider(odbc::Options options = {});
void registerOdbcProvider(ProviderRegistry& registry);

}  // namespace kvdn
