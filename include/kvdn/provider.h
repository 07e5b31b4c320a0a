// Data providers: the small interface behind the one Connection and the one
// Recordset implementation. A provider turns a parsed connection string into
// a DataSession; a session runs statements, hands out cursors whose rows are
// produced lazily, writes single rows by bound parameters and runs
// transactions. The ADO-style objects (Connection, Recordset, Fields) add
// paging, editing and late binding on top, the same for every provider.
//
// Providers are registered explicitly into a ProviderRegistry; the standard
// registry is filled by registerStandardProviders (called from
// registerDataClasses). Nothing registers itself at static initialisation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kvdn/data.h"
#include "kvdn/error.h"
#include "kvdn/export.h"
#include "kvdn/variant.h"

namespace kvdn {

class ClassRegistry;

// A connection string: `key=value` pairs separated by ";". Keys match
// case-insensitively and lose the blanks around them; values lose the blanks
// around them too. A value may be enclosed in double or single quotes (the
// quote doubled inside stands for itself) or in braces ("{...}", the ODBC
// form, braces kept in the value) to hold a ";". Pairs without "=" and empty
// keys are ignored. Never throws.
class KVDN_API ConnectionString {
 public:
  ConnectionString() = default;
  static ConnectionString parse(std::string_view text);

  // The value of the last pair with this key, or nullopt.
  std::optional<std::string> get(std::string_view key) const;
  // The value or "" when absent.
  std::string value(std::string_view key) const { return get(key).value_or(std::string()); }
  bool has(std::string_view key) const { return get(key).has_value(); }
  // Adds (or replaces) a pair; used for the user and password arguments of
  // Connection.Open.
  void set(std::string_view key, std::string_view value);
  bool empty() const { return pairs_.empty(); }
  // The text as given to parse().
  const std::string& text() const { return text_; }
  // Keys in lower case (for lookups) with their values, in order.
  const std::vector<std::pair<std::string, std::string>>& pairs() const { return pairs_; }
  // The key of pairs()[i] as it was written (blanks around it trimmed):
  // what a driver that reads keys by their case is handed.
  const std::string& spelledKey(std::size_t i) const { return spelled_.at(i); }

 private:
  std::string text_;
  std::vector<std::pair<std::string, std::string>> pairs_;
  std::vector<std::string> spelled_;  // parallel to pairs_
};

// One column of a result. `table` and `origin` name the table column the
// value comes from when the engine knows it (empty for expressions); only
// such columns can be written through an updatable recordset.
struct KVDN_API ColumnInfo {
  std::string name;          // as the statement names it (aliases included)
  std::string declaredType;  // the column's declared type, "" when unknown
  std::string table;         // source table, "" when not a plain column
  std::string origin;        // source column name, "" when not a plain column
};

// What identifies a row of a table again (the rowid for SQLite, the primary
// key for other engines). Empty when the cursor cannot identify its rows.
using RowKey = std::vector<Variant>;

// The rows of one query, produced lazily: nothing is read before the first
// next(). Columns are known as soon as the cursor exists. A cursor keeps what
// it needs of its session alive; once the session is closed next() raises
// err::kDbClosed.
class KVDN_API Cursor {
 public:
  virtual ~Cursor() = default;
  virtual const std::vector<ColumnInfo>& columns() const = 0;
  // The same columns as a value the caller may keep after the cursor is
  // gone (a recordset keeps them across the cursors of its pages). The
  // default copies them; a provider that already holds them shared hands
  // out its own.
  virtual std::shared_ptr<const std::vector<ColumnInfo>> sharedColumns() const {
    return std::make_shared<const std::vector<ColumnInfo>>(columns());
  }
  // Moves to the next row and stores its values (one per column, as the
  // value types of data.h: Long or 64-bit integer, Double, String, Date, Null)
  // into `row`. Returns false, leaving `row` alone, when there is no further
  // row. Raises ComError on an engine failure.
  virtual bool next(std::vector<Variant>& row) = 0;
  // The key of the current row, when the cursor was asked for keys and the
  // statement allows them; else empty.
  virtual RowKey rowKey() const = 0;
};

// The engine's own SQL, for the few statements the generic layer builds.
class KVDN_API Dialect {
 public:
  virtual ~Dialect() = default;
  // Rewrites a statement written in the Access / SQL Server dialect (TOP n,
  // [bracketed] names) into the engine's own. Never throws; text the
  // translation does not understand passes unchanged and the engine judges it.
  virtual std::string translate(std::string_view sql) const = 0;
  // True when `sql` (translated) is a query whose rows can be counted and
  // paged (a SELECT, also with WITH).
  virtual bool isQuery(std::string_view sql) const = 0;
  // A statement giving the rows offset .. offset+limit-1 of the query `sql`
  // (translated); limit < 0 means all rows from offset.
  virtual std::string limitRows(std::string_view sql, std::int64_t limit, std::int64_t offset) const = 0;
  // A statement giving one row with one column: the number of rows of `sql`.
  virtual std::string countRows(std::string_view sql) const = 0;
  // `name` as a quoted identifier, safe to place into SQL text whatever it
  // holds. Callers quote only names matched against the real columns first.
  virtual std::string quoteIdentifier(std::string_view name) const = 0;
};

// The result of DataSession::execute: rows when the statement yields any, else
// the number of rows it changed.
struct KVDN_API ExecuteResult {
  std::unique_ptr<Cursor> rows;  // null for a statement without result columns
  std::int64_t affected = 0;
};

// One row to store: real column names (already matched against the table)
// and their values, checked and converted by the caller (Null, 64-bit
// integer, Double, String, Date).
struct KVDN_API RowWrite {
  std::string table;
  std::vector<std::string> columns;
  std::vector<Variant> values;
  // The columns whose stored values the caller wants back, in this order.
  std::vector<std::string> readBack;
};

// A stored row as the engine now holds it.
struct KVDN_API StoredRow {
  RowKey key;
  std::vector<Variant> values;  // one per RowWrite::readBack column
};

// An open session on one database. Used by one thread at a time. Every
// failure raises ComError: err::kDbErrorsInCommand for a rejected statement,
// err::kDbNoSuchTable for a missing table, err::kDbBusy when the database
// stayed locked, err::kDbClosed after close(); the description is the
// engine's own.
class KVDN_API DataSession {
 public:
  virtual ~DataSession() = default;
  virtual const Dialect& dialect() const = 0;
  // A cursor over a query (translated SQL). With wantKeys the cursor also
  // reports each row's key when the statement selects from one table (a
  // statement that does not allow that still opens, without keys). Prepares
  // the statement (syntax and names are checked here) but reads no row.
  virtual std::unique_ptr<Cursor> query(std::string_view sql, bool wantKeys = false) = 0;
  // Runs any statement (translated SQL). A statement with result columns
  // gives a cursor on which nothing has been read yet; any other runs to the
  // end here.
  virtual ExecuteResult execute(std::string_view sql) = 0;
  // The number of rows of the query `sql` (translated).
  virtual std::int64_t count(std::string_view sql) = 0;
  // INSERT of one row with bound parameters and quoted identifiers.
  virtual StoredRow insertRow(const RowWrite& row) = 0;
  // UPDATE of the row with `key`; nullopt when no such row exists any more.
  virtual std::optional<StoredRow> updateRow(const RowWrite& row, const RowKey& key) = 0;
  virtual void begin() = 0;
  virtual void commit() = 0;
  virtual void rollback() = 0;
  // Ends the session; an open transaction is rolled back. Idempotent.
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
};

class KVDN_API Provider {
 public:
  virtual ~Provider() = default;
  // A short name for messages ("SQLite file").
  virtual std::string name() const = 0;
  // True when this provider serves the connection string.
  virtual bool accepts(const ConnectionString& cs) const = 0;
  // Opens a session; raises ComError (err::kDbFail with the engine's
  // description when the database cannot be opened).
  virtual std::unique_ptr<DataSession> open(const ConnectionString& cs) = 0;
};

// The providers a Connection may choose from. The provider registered last
// that accepts a connection string serves it, so a test can put a fake in
// front of a real provider.
class KVDN_API ProviderRegistry {
 public:
  void add(std::shared_ptr<Provider> provider);
  // The provider for `cs`; raises err::kDbFail with a description that says
  // what is missing (no provider for SQL Server connections in this build,
  // an empty connection string, an unknown provider) otherwise.
  std::shared_ptr<Provider> find(const ConnectionString& cs) const;
  const std::vector<std::shared_ptr<Provider>>& providers() const { return providers_; }

 private:
  std::vector<std::shared_ptr<Provider>> providers_;
};

// The Access kind ("Provider=Microsoft.Jet.OLEDB.4.0; Data
// source=PATH"): an existing SQLite 3 file, never created by an open.
KVDN_API void registerSqliteProvider(ProviderRegistry& registry);
// The one switch for every speed path of the provider: the pool of kept
// connections, kept counts and results, kept prepared statements and the
// remembered text work, deep pages by seeking. Off, each open is a new
// connection that prepares every statement anew and pages by offset; the
// answers are the same either way (a differential test holds them to it).
// On by default; the environment variable KVDN_SPEED_PATHS=off turns it off
// when the library is first used. Thread-safe; takes effect at the next
// statement or open.
KVDN_API void setSqliteSpeedPaths(bool on);
KVDN_API bool sqliteSpeedPaths();

// Every provider this build includes. Other provider folders add their
// registration call here.
KVDN_API void registerStandardProviders(ProviderRegistry& registry);

// The ADO-style objects over a registry (which they keep alive). Both are
// closed when made.
KVDN_API std::shared_ptr<Connection> makeConnection(std::shared_ptr<const ProviderRegistry> providers);
KVDN_API std::shared_ptr<Recordset> makeRecordset(std::shared_ptr<const ProviderRegistry> providers);

// Registers "adodb.connection" and "adodb.recordset" over `providers`.
KVDN_API void registerDataClasses(ClassRegistry& registry, std::shared_ptr<const ProviderRegistry> providers);
// The same over a new registry of the standard providers.
KVDN_API void registerDataClasses(ClassRegistry& registry);

}  // namespace kvdn
