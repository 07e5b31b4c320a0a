// The ODBC handles: the driver manager's environment, the connection link that a session
// shares with its cursors, statements, text in UTF-16 and the driver's diagnostics as ComError.
// Internal to odbc/.
#pragma once

#ifdef _WIN32
// The Windows ODBC headers build on the types of <windows.h>.
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/error.h"

namespace kvdn::odbc {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use 16-bit wide characters");

// The driver manager's environment (ODBC 3). Raises err::kDbFail when the
// driver manager cannot give one.
class Environment {
 public:
  Environment() {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
      env_ = SQL_NULL_HENV;
      raise(err::kDbFail, "The ODBC driver manager could not be initialised.");
    }
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }
  ~Environment() {
    if (env_ != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  SQLHENV handle() const { return env_; }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
};

// Text between UTF-8 and the driver manager's UTF-16 (malformed input
// becomes U+FFFD; never throws).
std::u16string wide(std::string_view s);
SQLWCHAR* wptr(std::u16string& s);
std::string narrow(const SQLWCHAR* p, std::size_t units);

// One diagnostic record of a handle.
struct Diagnostic {
  std::string state;
  std::string text;
};
std::vector<Diagnostic> diagnostics(SQLSMALLINT type, SQLHANDLE handle);

// The OLE DB style number for a failure with this SQLSTATE.
std::int32_t numberForState(std::string_view state);

// Raises the failure recorded on `handle`: the number from the first record
// that is not a warning (or `number` when given), the description made of
// every record's text.
[[noreturn]] void raiseFrom(SQLSMALLINT type, SQLHANDLE handle, std::optional<std::int32_t> number = {});

// Raises err::kDbClosed with its standard text.
[[noreturn]] void raiseClosed();

// ---------------------------------------------------------------------------
// The connection handle, shared by the session and its cursors so that a
// cursor never reads from a freed handle. close() frees every statement and
// disconnects at once; what is left of a cursor then raises kDbClosed.

class Statement;
class OdbcCursor;

struct Link {
  std::shared_ptr<Environment> env;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  bool closed = false;
  bool inTransaction = false;
  // Servers that run one statement at a time: the cursor whose result is
  // still pending, read into memory before another statement runs.
  bool oneActive = false;
  OdbcCursor* active = nullptr;
  std::set<Statement*> live;

  explicit Link(std::shared_ptr<Environment> e) : env(std::move(e)) {}
  ~Link() {
    close();
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  void close();
  // Before a statement runs: the pending result of another cursor is read
  // into memory (one-statement servers only).
  void makeRoom(const OdbcCursor* except);
};
using LinkPtr = std::shared_ptr<Link>;

class Statement {
 public:
  explicit Statement(LinkPtr link) : link_(std::move(link)) {
    if (link_->closed) raiseClosed();
    SQLHSTMT h = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, link_->dbc, &h)))
      raiseFrom(SQL_HANDLE_DBC, link_->dbc);
    h_ = h;
    link_->live.insert(this);
  }
  ~Statement() { release(); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  SQLHSTMT handle() const {
    if (h_ == SQL_NULL_HSTMT) raiseClosed();
    return h_;
  }
  // Raises the statement's diagnostics unless rc succeeded (or is
  // SQL_NO_DATA, which the caller handles).
  void check(SQLRETURN rc) const {
    if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA) return;
    raiseFrom(SQL_HANDLE_STMT, h_);
  }
  void release() {
    if (h_ == SQL_NULL_HSTMT) return;
    // Closed first: PostgreSQL's driver leaks what it learnt describing a
    // prepared statement that is freed without ever running.
    SQLFreeStmt(h_, SQL_CLOSE);
    SQLFreeHandle(SQL_HANDLE_STMT, h_);
    h_ = SQL_NULL_HSTMT;
    link_->live.erase(this);
  }
  // Closes the open result, keeping the statement.
  void closeCursor() {
    if (h_ != SQL_NULL_HSTMT) SQLFreeStmt(h_, SQL_CLOSE);
  }
  const LinkPtr& link() const { return link_; }

 private:
  LinkPtr link_;
  SQLHSTMT h_ = SQL_NULL_HSTMT;
};

}  // namespace kvdn::odbc
