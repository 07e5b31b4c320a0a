// The ODBC session: statements run on one connection, keyset paging and updates through
// the table's key, transactions, and opening a session from a connection string.
#include "odbc_session.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/text.h"
#include "odbc_cursor.h"
#include "odbc_dialect.h"
#include "odbc_handles.h"
#include "odbc_values.h"
#include "sql_text.h"

namespace kvdn::odbc {

namespace {

#ifndef _WIN32
// The text of a narrow answer of `length` bytes in a zeroed buffer of
// kBuffer bytes: up to its terminator (some drivers count it in the length:
// mdbtools gives "MDBTOOLS" as 9), never past the buffer's last byte.
template <std::size_t kBuffer>
std::string terminatedText(const SQLCHAR (&buffer)[kBuffer], std::size_t length) {
  std::size_t size = std::min(length, kBuffer - 1);
  for (std::size_t i = 0; i < size; ++i) {
    if (buffer[i] == 0) size = i;
  }
  return std::string(reinterpret_cast<const char*>(buffer), size);
}
#endif

class OdbcSession final : public DataSession {
 public:
  OdbcSession(LinkPtr link, ServerKind kind, NameFolding folding, char quote)
      : link_(std::move(link)), kind_(kind), folding_(folding), dialect_(makeDialect(kind, quote, folding)) {}
  ~OdbcSession() override { close(); }

  const Dialect& dialect() const override { return *dialect_; }

  std::unique_ptr<Cursor> query(std::string_view sql, bool wantKeys) override {
    checkOne(sql);
    if (kind_ == ServerKind::MdbTools) return queryMdbTools(sql);
    auto st = prepare(sql);
    std::vector<Column> columns = describe(*st, sql);
    if (!wantKeys) return std::make_unique<OdbcCursor>(std::move(st), std::move(columns), 0, noKeys(), false);

    // The one table the columns come from: as the driver reports it, else
    // as the statement names it (columns matched by name).
    std::string table;
    bool several = false;
    for (const Column& c : columns) {
      if (c.info.table.empty()) continue;
      if (table.empty()) {
        table = c.info.table;
      } else if (c.info.table != table) {
        several = true;
      }
    }
    if (several) return std::make_unique<OdbcCursor>(std::move(st), std::move(columns), 0, noKeys(), false);
    if (table.empty()) {
      table = singleTable(sql, folding_);
      if (table.empty())
        return std::make_unique<OdbcCursor>(std::move(st), std::move(columns), 0, noKeys(), false);
      const std::vector<TableColumn>& real = tableColumns(table);
      for (Column& c : columns) {
        for (const TableColumn& r : real) {
          if (iequals(r.name, c.info.name)) {
            c.info.table = table;
            c.info.origin = r.name;
            break;
          }
        }
      }
    }
    const std::vector<std::string>& key = primaryKey(table);
    if (key.empty())
      return std::make_unique<OdbcCursor>(std::move(st), std::move(columns), 0, noKeys(), false);

    // The key columns among the selected ones, else added in front.
    std::vector<std::size_t> positions;
    for (const std::string& k : key) {
      for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i].info.table == table && columns[i].info.origin == k) {
          positions.push_back(i);
          break;
        }
      }
    }
    if (positions.size() == key.size()) {
      return std::make_unique<OdbcCursor>(std::move(st), std::move(columns), 0, std::move(positions), false);
    }
    std::string names;
    for (const std::string& k : key) {
      if (!names.empty()) names += ", ";
      names += dialect_->quoteIdentifier(k);
    }
    const std::string keyed = withLeadingColumns(sql, names);
    if (!keyed.empty()) {
      try {
        auto keyedSt = prepare(keyed);
        std::vector<Column> keyedColumns = describe(*keyedSt, keyed);
        if (keyedColumns.size() == columns.size() + key.size()) {
          // The visible columns keep what was learnt about them above.
          for (std::size_t i = 0; i < columns.size(); ++i) keyedColumns[key.size() + i] = columns[i];
          std::vector<std::size_t> leading;
          for (std::size_t i = 0; i < key.size(); ++i) leading.push_back(i);
          return std::make_unique<OdbcCursor>(std::move(keyedSt), std::move(keyedColumns), key.size(),
                                              std::move(leading), false);
        }
      } catch (const ComError&) {
        // The key cannot be selected with this statement: open without keys.
      }
    }
    return std::make_unique<OdbcCursor>(std::move(st), std::move(columns), 0, noKeys(), false);
  }

  ExecuteResult execute(std::string_view sql) override {
    checkOne(sql);
    checked()->makeRoom(nullptr);
    auto st = std::make_unique<Statement>(link_);
    std::u16string text = wide(sql);
    st->check(SQLExecDirectW(st->handle(), wptr(text), static_cast<SQLINTEGER>(text.size())));
    ExecuteResult result;
    SQLSMALLINT n = 0;
    st->check(SQLNumResultCols(st->handle(), &n));
    if (n > 0) {
      std::vector<Column> columns = describe(*st, sql);
      result.rows = std::make_unique<OdbcCursor>(std::move(st), std::move(columns), 0, noKeys(), true);
      return result;
    }
    SQLLEN affected = 0;
    if (SQL_SUCCEEDED(SQLRowCount(st->handle(), &affected)) && affected > 0) result.affected = affected;
    return result;
  }

  std::int64_t count(std::string_view sql) override {
    if (kind_ == ServerKind::MdbTools) {
      // Its count(*) fails with a WHERE: the rows are counted as read.
      auto rows = queryMdbTools(sql);
      std::vector<Variant> row;
      std::int64_t n = 0;
      while (rows->next(row)) ++n;
      return n;
    }
    checked()->makeRoom(nullptr);
    Statement st(link_);
    std::u16string text = wide(dialect_->countRows(sql));
    st.check(SQLExecDirectW(st.handle(), wptr(text), static_cast<SQLINTEGER>(text.size())));
    SQLRETURN rc = SQLFetch(st.handle());
    if (rc == SQL_NO_DATA) raise(err::kDbErrorsInCommand, "The count of the rows gave no row.");
    st.check(rc);
    const Variant v = readValue(st, 1, ReadAs::Integer);
    return v.isNull() ? 0 : v.integer();
  }

  StoredRow insertRow(const RowWrite& row) override {
    const std::vector<std::string>& key = primaryKey(row.table);
    std::string returned;  // the key columns the statement hands back
    for (const std::string& k : key) {
      if (!returned.empty()) returned += ", ";
      returned += kind_ == ServerKind::SqlServer ? "INSERTED." + dialect_->quoteIdentifier(k)
                                                 : dialect_->quoteIdentifier(k);
    }
    const bool returning =
        !key.empty() && (kind_ == ServerKind::SqlServer || kind_ == ServerKind::PostgreSql);
    std::string sql = "INSERT INTO " + dialect_->quoteIdentifier(row.table);
    std::string output = returning && kind_ == ServerKind::SqlServer ? " OUTPUT " + returned : "";
    if (row.columns.empty()) {
      sql += output + " DEFAULT VALUES";
    } else {
      const sql::InsertLists lists =
          sql::insertLists(row.columns, [this](std::string_view c) { return dialect_->quoteIdentifier(c); });
      sql += " " + lists.names + output + " VALUES " + lists.markers;
    }
    if (returning && kind_ == ServerKind::PostgreSql) sql += " RETURNING " + returned;

    std::deque<Parameter> params;
    for (std::size_t i = 0; i < row.columns.size(); ++i) {
      params.push_back(parameterFor(row.values[i], findColumn(row.table, row.columns[i])));
    }
    const auto prepared = prepare(sql);
    Statement& st = *prepared;
    bindAll(st, params);
    st.check(SQLExecute(st.handle()));

    RowKey stored;
    if (returning) {
      SQLRETURN rc = SQLFetch(st.handle());
      st.check(rc);
      if (rc != SQL_NO_DATA) {
        for (std::size_t i = 0; i < key.size(); ++i) {
          stored.push_back(readValue(st, static_cast<SQLUSMALLINT>(i + 1), readAsOf(row.table, key[i])));
        }
      }
      st.closeCursor();
    } else if (!key.empty()) {
      // A server without a way to hand the key back: the key as written.
      for (const std::string& k : key) {
        for (std::size_t i = 0; i < row.columns.size(); ++i) {
          if (row.columns[i] == k) stored.push_back(row.values[i]);
        }
      }
      if (stored.size() != key.size()) stored.clear();
    }
    if (!stored.empty()) {
      if (std::optional<StoredRow> back = readBack(row, stored)) return *back;
    }
    // The row cannot be read again: the values as written.
    StoredRow written{stored, std::vector<Variant>(row.readBack.size(), Variant::null())};
    for (std::size_t i = 0; i < row.readBack.size(); ++i) {
      for (std::size_t j = 0; j < row.columns.size(); ++j) {
        if (row.columns[j] == row.readBack[i]) written.values[i] = row.values[j];
      }
    }
    return written;
  }

  std::optional<StoredRow> updateRow(const RowWrite& row, const RowKey& key) override {
    const std::vector<std::string>& keyColumns = primaryKey(row.table);
    if (keyColumns.empty() || key.size() != keyColumns.size()) {
      raise(err::kDbNoRecord, "Row cannot be located for updating.");
    }
    RowKey newKey = key;
    if (!row.columns.empty()) {
      std::string sql = "UPDATE " + dialect_->quoteIdentifier(row.table) + " SET ";
      std::deque<Parameter> params;
      for (std::size_t i = 0; i < row.columns.size(); ++i) {
        if (i > 0) sql += ", ";
        sql += dialect_->quoteIdentifier(row.columns[i]) + " = ?";
        params.push_back(parameterFor(row.values[i], findColumn(row.table, row.columns[i])));
        // A written key column moves the row to its new key.
        for (std::size_t k = 0; k < keyColumns.size(); ++k) {
          if (keyColumns[k] == row.columns[i]) newKey[k] = row.values[i];
        }
      }
      sql += " WHERE " + keyCondition(row.table, key, params);
      const auto prepared = prepare(sql);
      Statement& st = *prepared;
      bindAll(st, params);
      SQLRETURN rc = SQLExecute(st.handle());
      st.check(rc);
      SQLLEN affected = 0;
      if (rc == SQL_NO_DATA || (SQL_SUCCEEDED(SQLRowCount(st.handle(), &affected)) && affected == 0)) {
        return std::nullopt;
      }
    }
    return readBack(row, newKey);
  }

  void begin() override {
    checked();
    if (link_->inTransaction) raise(err::kDbErrorsInCommand, "A transaction is already in progress.");
    checked()->makeRoom(nullptr);
    setAutocommit(false);
    link_->inTransaction = true;
  }

  void commit() override { endTransaction(SQL_COMMIT); }
  void rollback() override { endTransaction(SQL_ROLLBACK); }

  void close() override {
    if (link_) link_->close();
    link_.reset();
  }

  bool isOpen() const override { return link_ && !link_->closed; }

 private:
  static std::vector<std::size_t> noKeys() { return {}; }

  // MdbTools describes a statement only once it has run, and it is
  // read-only: the statement runs at once, without keys, and a trailing
  // OFFSET (its dialect's page window) is skipped here.
  std::unique_ptr<Cursor> queryMdbTools(std::string_view sql) {
    std::string text(sql);
    const std::int64_t skip = takeTrailingOffset(text);
    checked()->makeRoom(nullptr);
    auto st = std::make_unique<Statement>(link_);
    std::u16string wideText = wide(text);
    st->check(SQLExecDirectW(st->handle(), wptr(wideText), static_cast<SQLINTEGER>(wideText.size())));
    std::vector<Column> columns = describe(*st, text);
    auto cursor = std::make_unique<OdbcCursor>(std::move(st), std::move(columns), 0, noKeys(), true);
    std::vector<Variant> row;
    for (std::int64_t i = 0; i < skip && cursor->next(row); ++i) {
    }
    return cursor;
  }

  const LinkPtr& checked() const {
    if (!link_ || link_->closed) raiseClosed();
    return link_;
  }

  static void checkOne(std::string_view sql) {
    if (hasSecondStatement(sql))
      raise(err::kDbErrorsInCommand, "Characters found after end of SQL statement.");
  }

  void setAutocommit(bool on) {
    const SQLRETURN rc = SQLSetConnectAttr(link_->dbc, SQL_ATTR_AUTOCOMMIT,
                                           reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(
                                               on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                                           SQL_IS_UINTEGER);
    if (!SQL_SUCCEEDED(rc)) raiseFrom(SQL_HANDLE_DBC, link_->dbc);
  }

  void endTransaction(SQLSMALLINT completion) {
    checked();
    if (!link_->inTransaction) {
      raise(err::kDbErrorsInCommand, completion == SQL_COMMIT
                                         ? "Cannot commit: no transaction is active."
                                         : "Cannot roll back: no transaction is active.");
    }
    checked()->makeRoom(nullptr);
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, link_->dbc, completion);
    link_->inTransaction = false;
    setAutocommit(true);
    if (!SQL_SUCCEEDED(rc)) raiseFrom(SQL_HANDLE_DBC, link_->dbc);
  }

  // A prepared statement whose result columns are known; not run yet.
  std::unique_ptr<Statement> prepare(std::string_view sql) {
    checked()->makeRoom(nullptr);
    auto st = std::make_unique<Statement>(link_);
    std::u16string text = wide(sql);
    st->check(SQLPrepareW(st->handle(), wptr(text), static_cast<SQLINTEGER>(text.size())));
    return st;
  }

  // The result columns of a prepared or executed statement. Asking for them
  // makes the server check the statement (names, syntax).
  std::vector<Column> describe(const Statement& st, std::string_view sql) const {
    SQLSMALLINT n = 0;
    st.check(SQLNumResultCols(st.handle(), &n));
    std::vector<Column> columns;
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(std::max<SQLSMALLINT>(n, 0)); ++i) {
      std::vector<SQLWCHAR> name(256);
      SQLSMALLINT nameLength = 0;
      SQLSMALLINT type = 0;
      SQLULEN size = 0;
      SQLSMALLINT digits = 0;
      SQLSMALLINT nullable = 0;
      SQLRETURN rc = SQLDescribeColW(st.handle(), i, name.data(), static_cast<SQLSMALLINT>(name.size()),
                                     &nameLength, &type, &size, &digits, &nullable);
      if (SQL_SUCCEEDED(rc) && nameLength >= static_cast<SQLSMALLINT>(name.size())) {
        name.resize(static_cast<std::size_t>(nameLength) + 1);
        rc = SQLDescribeColW(st.handle(), i, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLength,
                             &type, &size, &digits, &nullable);
      }
      st.check(rc);
      Column c;
      c.type = type;
      c.read = kind_ == ServerKind::MdbTools ? readAsThroughText(type) : readAsFor(type);
      c.info.name = restoreNameCase(narrow(name.data(), static_cast<std::size_t>(nameLength)), sql, folding_);
      if (kind_ == ServerKind::MdbTools && type == SQL_LONGVARCHAR) {
        // mdbtools reports as long text Access's Decimal ("NUMERIC"), the
        // replication ID ("REPID") and every type it cannot read (no name;
        // through Wine's odbc32 a stray character), whose values it gets
        // wrong: reading those is refused.
        const std::string typeName = asciiAttribute(st, i, SQL_DESC_TYPE_NAME);
        if (iequals(typeName, "numeric")) {
          c.type = SQL_NUMERIC;
          c.read = ReadAs::DoubleText;
        } else if (!iequals(typeName, "repid")) {
          c.read = ReadAs::Unreadable;
        }
      }
      if (c.read == ReadAs::Text && isBooleanName(attribute(st, i, SQL_DESC_TYPE_NAME))) {
        // PostgreSQL's driver reports booleans as text unless told otherwise.
        c.type = SQL_BIT;
        c.read = ReadAs::Bit;
      }
      c.info.declaredType = declaredTypeFor(c.type);
      const std::string table = attribute(st, i, SQL_DESC_BASE_TABLE_NAME);
      if (!table.empty()) {
        const std::string origin = attribute(st, i, SQL_DESC_BASE_COLUMN_NAME);
        if (!origin.empty()) {
          c.info.table = table;
          c.info.origin = origin;
        }
      }
      columns.push_back(std::move(c));
    }
    return columns;
  }

  // A text attribute of a result column; "" when the driver has none.
  static std::string attribute(const Statement& st, SQLUSMALLINT column, SQLUSMALLINT field) {
    SQLWCHAR buffer[256];
    SQLSMALLINT length = 0;
    const SQLRETURN rc =
        SQLColAttributeW(st.handle(), column, field, buffer, sizeof buffer, &length, nullptr);
    if (!SQL_SUCCEEDED(rc) || length <= 0) return {};
    const std::size_t units =
        std::min<std::size_t>(static_cast<std::size_t>(length) / sizeof(SQLWCHAR), std::size(buffer) - 1);
    return narrow(buffer, units);
  }

  // An ASCII text attribute of a result column, through the narrow call into
  // a zeroed buffer of our own: through the wide call unixODBC gives a
  // narrow driver a buffer of its own and measures the answer with strlen,
  // and mdbtools writes no terminator for a type it does not know.
  static std::string asciiAttribute(const Statement& st, SQLUSMALLINT column, SQLUSMALLINT field) {
#ifdef _WIN32
    // Windows' driver manager has no such fault, and Wine's odbc32 fails in
    // the narrow entry points: the wide call there.
    return attribute(st, column, field);
#else
    SQLCHAR buffer[256] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN rc =
        SQLColAttributeA(st.handle(), static_cast<SQLSMALLINT>(column), static_cast<SQLSMALLINT>(field),
                         buffer, sizeof buffer - 1, &length, nullptr);
    if (!SQL_SUCCEEDED(rc) || length <= 0) return {};
    return terminatedText(buffer, static_cast<std::size_t>(length));
#endif
  }

  // The columns of a table (SQLColumns), cached for the session.
  const std::vector<TableColumn>& tableColumns(const std::string& table) {
    auto it = columnsCache_.find(table);
    if (it != columnsCache_.end()) return it->second;
    std::vector<TableColumn> out;
    checked()->makeRoom(nullptr);
    Statement st(link_);
    std::u16string name = wide(table);
    st.check(SQLColumnsW(st.handle(), nullptr, 0, nullptr, 0, wptr(name),
                         static_cast<SQLSMALLINT>(name.size()), nullptr, 0));
    for (SQLRETURN rc = SQLFetch(st.handle()); rc != SQL_NO_DATA; rc = SQLFetch(st.handle())) {
      st.check(rc);
      // The table argument is a pattern ("_" matches any character): only
      // the table itself counts.
      if (readValue(st, 3, ReadAs::Text).joinText() != table) continue;
      TableColumn c;
      c.name = readValue(st, 4, ReadAs::Text).joinText();
      const Variant type = readValue(st, 5, ReadAs::Integer);
      const Variant size = readValue(st, 7, ReadAs::Integer);
      const Variant digits = readValue(st, 9, ReadAs::Integer);
      c.type = static_cast<SQLSMALLINT>(type.isNull() ? SQL_UNKNOWN_TYPE : type.integer());
      if (isBooleanName(readValue(st, 6, ReadAs::Text).joinText())) c.type = SQL_BIT;
      c.size = size.isNull() || size.integer() < 0 ? 0 : static_cast<SQLULEN>(size.integer());
      c.digits = static_cast<SQLSMALLINT>(digits.isNull() ? 0 : digits.integer());
      out.push_back(std::move(c));
    }
    return columnsCache_.emplace(table, std::move(out)).first->second;
  }

  const TableColumn* findColumn(const std::string& table, const std::string& column) {
    for (const TableColumn& c : tableColumns(table)) {
      if (c.name == column) return &c;
    }
    for (const TableColumn& c : tableColumns(table)) {
      if (iequals(c.name, column)) return &c;
    }
    return nullptr;
  }

  ReadAs readAsOf(const std::string& table, const std::string& column) {
    const TableColumn* c = findColumn(table, column);
    return c ? readAsFor(c->type) : ReadAs::Text;
  }

  // The primary key columns of a table in key order (SQLPrimaryKeys), cached.
  const std::vector<std::string>& primaryKey(const std::string& table) {
    auto it = keyCache_.find(table);
    if (it != keyCache_.end()) return it->second;
    std::map<std::int64_t, std::string> ordered;
    checked()->makeRoom(nullptr);
    Statement st(link_);
    std::u16string name = wide(table);
    st.check(SQLPrimaryKeysW(st.handle(), nullptr, 0, nullptr, 0, wptr(name),
                             static_cast<SQLSMALLINT>(name.size())));
    for (SQLRETURN rc = SQLFetch(st.handle()); rc != SQL_NO_DATA; rc = SQLFetch(st.handle())) {
      st.check(rc);
      if (readValue(st, 3, ReadAs::Text).joinText() != table) continue;
      const std::string column = readValue(st, 4, ReadAs::Text).joinText();
      const Variant seq = readValue(st, 5, ReadAs::Integer);
      ordered.emplace(seq.isNull() ? static_cast<std::int64_t>(ordered.size()) : seq.integer(), column);
    }
    std::vector<std::string> out;
    for (auto& [seq, column] : ordered) out.push_back(std::move(column));
    return keyCache_.emplace(table, std::move(out)).first->second;
  }

  // "k1 = ? AND k2 = ?" for the key, its values appended to `params`.
  std::string keyCondition(const std::string& table, const RowKey& key, std::deque<Parameter>& params) {
    const std::vector<std::string>& keyColumns = primaryKey(table);
    std::string where;
    for (std::size_t k = 0; k < keyColumns.size(); ++k) {
      if (k > 0) where += " AND ";
      where += dialect_->quoteIdentifier(keyColumns[k]) + " = ?";
      params.push_back(parameterFor(key[k], findColumn(table, keyColumns[k])));
    }
    return where;
  }

  // The row with `key` as now stored: the readBack columns, read with the
  // same value rules as every query.
  std::optional<StoredRow> readBack(const RowWrite& row, const RowKey& key) {
    StoredRow stored{key, {}};
    if (row.readBack.empty()) return stored;
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < row.readBack.size(); ++i) {
      if (i > 0) sql += ", ";
      sql += dialect_->quoteIdentifier(row.readBack[i]);
    }
    std::deque<Parameter> params;
    sql += " FROM " + dialect_->quoteIdentifier(row.table) + " WHERE " + keyCondition(row.table, key, params);
    const auto prepared = prepare(sql);
    Statement& st = *prepared;
    bindAll(st, params);
    st.check(SQLExecute(st.handle()));
    std::vector<Column> columns = describe(st, sql);
    SQLRETURN rc = SQLFetch(st.handle());
    if (rc == SQL_NO_DATA) return std::nullopt;
    st.check(rc);
    for (std::size_t i = 0; i < columns.size(); ++i) {
      stored.values.push_back(readValue(st, static_cast<SQLUSMALLINT>(i + 1), columns[i].read));
    }
    st.closeCursor();
    return stored;
  }

  LinkPtr link_;
  ServerKind kind_;
  NameFolding folding_;
  std::unique_ptr<Dialect> dialect_;
  std::map<std::string, std::vector<TableColumn>> columnsCache_;
  std::map<std::string, std::vector<std::string>> keyCache_;
};

std::string infoText(SQLHDBC dbc, SQLUSMALLINT what) {
#ifdef _WIN32
  // Windows' driver manager has no such fault (below), and Wine's odbc32
  // fails in the narrow entry points: the wide call there.
  SQLWCHAR buffer[256];
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, what, buffer, sizeof buffer, &length)) || length <= 0) return {};
  std::size_t units =
      std::min<std::size_t>(static_cast<std::size_t>(length) / sizeof(SQLWCHAR), std::size(buffer) - 1);
  // Some drivers count the terminator in the length (mdbtools: "MDBTOOLS"
  // as 9 units).
  for (std::size_t i = 0; i < units; ++i) {
    if (buffer[i] == 0) units = i;
  }
  return narrow(buffer, units);
#else
  // The narrow call, into a zeroed buffer of our own. Through the wide call
  // unixODBC hands a narrow driver a buffer of its own and measures the
  // answer with strlen; a driver that writes no terminator (mdbtools) makes
  // it read past that buffer's end. The texts asked for here (the server's
  // name, the quote character) are ASCII.
  SQLCHAR buffer[256] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoA(dbc, what, buffer, sizeof buffer - 1, &length)) || length <= 0) return {};
  return terminatedText(buffer, static_cast<std::size_t>(length));
#endif
}

SQLUSMALLINT infoShort(SQLHDBC dbc, SQLUSMALLINT what, SQLUSMALLINT fallback) {
  SQLUSMALLINT value = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, what, &value, sizeof value, nullptr))) return fallback;
  return value;
}

}  // namespace

std::unique_ptr<DataSession> openSession(std::shared_ptr<Environment> env, const std::string& odbcString,
                                         const Options& options) {
  auto link = std::make_shared<Link>(env);
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env->handle(), &link->dbc))) {
    link->dbc = SQL_NULL_HDBC;
    raiseFrom(SQL_HANDLE_ENV, env->handle(), err::kDbFail);
  }
  SQLSetConnectAttr(link->dbc, SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(options.loginTimeoutSeconds)),
                    SQL_IS_UINTEGER);
  std::u16string text = wide(odbcString);
  const SQLRETURN rc =
      SQLDriverConnectW(link->dbc, nullptr, wptr(text), static_cast<SQLSMALLINT>(text.size()), nullptr, 0,
                        nullptr, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) raiseFrom(SQL_HANDLE_DBC, link->dbc, err::kDbFail);
  link->connected = true;

  const ServerKind kind = serverKindOf(infoText(link->dbc, SQL_DBMS_NAME));
  NameFolding folding = NameFolding::None;
  switch (infoShort(link->dbc, SQL_IDENTIFIER_CASE, SQL_IC_MIXED)) {
    case SQL_IC_LOWER:
      folding = NameFolding::Lower;
      break;
    case SQL_IC_UPPER:
      folding = NameFolding::Upper;
      break;
    default:
      break;
  }
  const std::string quote = infoText(link->dbc, SQL_IDENTIFIER_QUOTE_CHAR);
  link->oneActive = options.oneActiveStatement || kind == ServerKind::SqlServer ||
                    infoShort(link->dbc, SQL_MAX_CONCURRENT_ACTIVITIES, 0) == 1;
  return std::make_unique<OdbcSession>(std::move(link), kind, folding, quote.size() == 1 ? quote[0] : '"');
}

}  // namespace kvdn::odbc
