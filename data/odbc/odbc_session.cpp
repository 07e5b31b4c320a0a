#include "odbc_session.h"

#ifdef _WIN32
// The Windows ODBC headers build on the types of <windows.h>.
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/text.h"
#include "odbc_dialect.h"
#include "sql_text.h"

namespace kvdn::odbc {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use 16-bit wide characters");

// OLE DB's DB_E_INTEGRITYVIOLATION: a key or constraint refused the row.
constexpr std::int32_t kDbIntegrityViolation = -2147217873;

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

std::shared_ptr<Environment> makeEnvironment() {
  return std::make_shared<Environment>();
}

namespace {

// ---------------------------------------------------------------------------
// Text between UTF-8 and the driver manager's UTF-16.

std::u16string wide(std::string_view s) {
  return toUtf16(s);
}
SQLWCHAR* wptr(std::u16string& s) {
  return reinterpret_cast<SQLWCHAR*>(s.data());
}
std::string narrow(const SQLWCHAR* p, std::size_t units) {
  return toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(p), units));
}

// ---------------------------------------------------------------------------
// Diagnostics.

struct Diagnostic {
  std::string state;
  std::string text;
};

std::vector<Diagnostic> diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<Diagnostic> out;
  if (handle == SQL_NULL_HANDLE) return out;
  for (SQLSMALLINT rec = 1; rec <= 20; ++rec) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::vector<SQLWCHAR> text(1024);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(type, handle, rec, state, &native, text.data(),
                                  static_cast<SQLSMALLINT>(text.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
      text.resize(static_cast<std::size_t>(length) + 1);
      rc = SQLGetDiagRecW(type, handle, rec, state, &native, text.data(),
                          static_cast<SQLSMALLINT>(text.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) break;
    std::string message =
        narrow(text.data(), std::min<std::size_t>(static_cast<std::size_t>(length), text.size() - 1));
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    out.push_back(Diagnostic{narrow(state, 5), std::move(message)});
  }
  return out;
}

// The OLE DB style number for a failure with this SQLSTATE.
std::int32_t numberForState(std::string_view state) {
  if (state == "42S02" || state == "42P01") return err::kDbNoSuchTable;
  if (state.substr(0, 2) == "22" || state == "07006") return err::kDbTypeMismatch;
  if (state.substr(0, 2) == "23") return kDbIntegrityViolation;
  if (state == "40001" || state == "40P01" || state == "55P03" || state == "57014" || state == "HYT00" ||
      state == "HYT01") {
    return err::kDbBusy;
  }
  if (state.substr(0, 2) == "08") return err::kDbFail;
  return err::kDbErrorsInCommand;
}

// Raises the failure recorded on `handle`: the number from the first record
// that is not a warning (or `number` when given), the description made of
// every record's text.
[[noreturn]] void raiseFrom(SQLSMALLINT type, SQLHANDLE handle, std::optional<std::int32_t> number = {}) {
  const std::vector<Diagnostic> records = diagnostics(type, handle);
  std::string description;
  std::string state;
  for (const auto& r : records) {
    if (!description.empty()) description += "; ";
    description += r.text.empty() ? "[" + r.state + "]" : r.text;
    if (state.empty() && r.state.substr(0, 2) != "01") state = r.state;
  }
  if (state.empty() && !records.empty()) state = records.front().state;
  if (description.empty()) description = "The ODBC driver reported a failure without a description.";
  raise(number ? *number : numberForState(state), std::move(description));
}

[[noreturn]] void raiseClosed() {
  raise(err::kDbClosed, "Operation is not allowed when the object is closed.");
}

// ---------------------------------------------------------------------------
// Values.

enum class ReadAs { Integer, Double, Date, Time, Bit, Binary, Text };

ReadAs readAsFor(SQLSMALLINT type) {
  switch (type) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return ReadAs::Integer;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return ReadAs::Double;
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATETIME:  // SQL_DATE of ODBC 2
    case SQL_TIMESTAMP:
    case -155:  // SQL Server's datetimeoffset
      return ReadAs::Date;
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case -154:  // SQL Server's time
      return ReadAs::Time;
    case SQL_BIT:
      return ReadAs::Bit;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return ReadAs::Binary;
    default:
      return ReadAs::Text;
  }
}

// The declared type reported for a column: a standard name the generic
// layer's type checks understand, whatever the driver calls its types.
std::string declaredTypeFor(SQLSMALLINT type) {
  switch (type) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
      return "SMALLINT";
    case SQL_INTEGER:
      return "INTEGER";
    case SQL_BIGINT:
      return "BIGINT";
    case SQL_REAL:
      return "REAL";
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return "DOUBLE";
    case SQL_NUMERIC:
      return "NUMERIC";
    case SQL_DECIMAL:
      return "DECIMAL";
    case SQL_TYPE_DATE:
    case SQL_DATETIME:
      return "DATE";
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
    case -155:
      return "DATETIME";
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case -154:
      return "TIME";
    case SQL_BIT:
      return "BIT";
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return "BINARY";
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR:
      return "TEXT";
    case SQL_CHAR:
    case SQL_WCHAR:
      return "CHAR";
    case SQL_VARCHAR:
    case SQL_WVARCHAR:
      return "VARCHAR";
    default:
      return "";
  }
}

// A driver's name for a boolean type.
bool isBooleanName(std::string_view typeName) {
  return iequals(typeName, "bool") || iequals(typeName, "boolean");
}

bool isTextType(SQLSMALLINT type) {
  return type == SQL_CHAR || type == SQL_VARCHAR || type == SQL_LONGVARCHAR || type == SQL_WCHAR ||
         type == SQL_WVARCHAR || type == SQL_WLONGVARCHAR;
}

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

void Link::close() {
  if (closed) return;
  closed = true;
  active = nullptr;
  for (Statement* s : std::set<Statement*>(live)) s->release();
  live.clear();
  if (connected) {
    if (inTransaction) {
      SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
      inTransaction = false;
    }
    SQLDisconnect(dbc);
    connected = false;
  }
}

// One column of a result as the statement describes it.
struct Column {
  ColumnInfo info;
  SQLSMALLINT type = SQL_UNKNOWN_TYPE;
  ReadAs read = ReadAs::Text;
};

// The value of column `index` (from 1) of the current row.
Variant readValue(const Statement& st, SQLUSMALLINT index, ReadAs read) {
  SQLHSTMT h = st.handle();
  SQLLEN indicator = 0;
  switch (read) {
    case ReadAs::Integer: {
      SQLBIGINT v = 0;
      st.check(SQLGetData(h, index, SQL_C_SBIGINT, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max()) {
        return Variant(static_cast<std::int32_t>(v));
      }
      return Variant(static_cast<std::int64_t>(v));
    }
    case ReadAs::Double: {
      double v = 0;
      st.check(SQLGetData(h, index, SQL_C_DOUBLE, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      return Variant(v);
    }
    case ReadAs::Bit: {
      unsigned char v = 0;
      st.check(SQLGetData(h, index, SQL_C_BIT, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      return Variant(v != 0);
    }
    case ReadAs::Date: {
      SQL_TIMESTAMP_STRUCT v{};
      st.check(SQLGetData(h, index, SQL_C_TYPE_TIMESTAMP, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      return Variant(Date::fromParts(v.year, v.month, v.day, v.hour, v.minute, v.second));
    }
    case ReadAs::Time: {
      SQL_TIME_STRUCT v{};
      st.check(SQLGetData(h, index, SQL_C_TYPE_TIME, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      return Variant(Date::fromParts(1899, 12, 30, v.hour, v.minute, v.second));
    }
    case ReadAs::Binary: {
      std::string bytes;
      char buffer[4096];
      for (;;) {
        SQLRETURN rc = SQLGetData(h, index, SQL_C_BINARY, buffer, sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA) break;
        st.check(rc);
        if (indicator == SQL_NULL_DATA) return Variant::null();
        const bool partial = indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(sizeof buffer);
        bytes.append(buffer, partial ? sizeof buffer : static_cast<std::size_t>(indicator));
        if (!partial) break;
      }
      return Variant(std::move(bytes));
    }
    case ReadAs::Text:
      break;
  }
  // Text as UTF-16 from the driver: independent of the process locale and of
  // the driver's own notion of a narrow character set.
  std::u16string text;
  SQLWCHAR buffer[1024];
  constexpr SQLLEN kBytes = sizeof buffer;
  constexpr std::size_t kUnits = sizeof buffer / sizeof(SQLWCHAR) - 1;  // room for the terminator
  for (;;) {
    SQLRETURN rc = SQLGetData(h, index, SQL_C_WCHAR, buffer, kBytes, &indicator);
    if (rc == SQL_NO_DATA) break;
    st.check(rc);
    if (indicator == SQL_NULL_DATA) return Variant::null();
    const bool partial =
        indicator == SQL_NO_TOTAL || static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR) > kUnits;
    const std::size_t units = partial ? kUnits : static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
    text.append(reinterpret_cast<const char16_t*>(buffer), units);
    if (!partial) break;
  }
  return Variant(toUtf8(text));
}

// ---------------------------------------------------------------------------
// Parameters, bound by value: the buffers live until the statement ran.

struct TableColumn {
  std::string name;
  SQLSMALLINT type = SQL_UNKNOWN_TYPE;
  SQLULEN size = 0;
  SQLSMALLINT digits = 0;
};

struct Parameter {
  SQLSMALLINT cType = SQL_C_CHAR;
  SQLSMALLINT sqlType = SQL_VARCHAR;
  SQLULEN size = 1;
  SQLSMALLINT digits = 0;
  SQLBIGINT integer = 0;
  double dbl = 0;
  unsigned char bit = 0;
  SQL_TIMESTAMP_STRUCT timestamp{};
  std::u16string text;
  SQLLEN indicator = 0;

  SQLPOINTER buffer() {
    switch (cType) {
      case SQL_C_SBIGINT:
        return &integer;
      case SQL_C_DOUBLE:
        return &dbl;
      case SQL_C_BIT:
        return &bit;
      case SQL_C_TYPE_TIMESTAMP:
        return &timestamp;
      case SQL_C_WCHAR:
        return text.data();
      default:
        return nullptr;
    }
  }
  SQLLEN bufferLength() const {
    return cType == SQL_C_WCHAR ? static_cast<SQLLEN>((text.size() + 1) * sizeof(SQLWCHAR)) : 0;
  }
};

// A value as a parameter for a column of `column`'s type (unknown: chosen
// from the value).
Parameter parameterFor(const Variant& v, const TableColumn* column) {
  Parameter p;
  const SQLSMALLINT columnType = column ? column->type : static_cast<SQLSMALLINT>(SQL_UNKNOWN_TYPE);
  switch (v.type()) {
    case VarType::Empty:
    case VarType::Null:
      p.cType = SQL_C_CHAR;
      p.sqlType = column ? columnType : static_cast<SQLSMALLINT>(SQL_VARCHAR);
      p.indicator = SQL_NULL_DATA;
      break;
    case VarType::Boolean:
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      if (columnType == SQL_BIT) {
        // A bit takes 1 or 0 (True is -1 where booleans are stored as numbers).
        p.cType = SQL_C_BIT;
        p.bit = v.integer() != 0 ? 1 : 0;
        p.sqlType = SQL_BIT;
        break;
      }
      p.cType = SQL_C_SBIGINT;
      p.integer = v.type() == VarType::Boolean ? (v.boolean() ? -1 : 0) : v.integer();
      p.sqlType = SQL_BIGINT;
      break;
    case VarType::Double:
      p.cType = SQL_C_DOUBLE;
      p.dbl = v.dbl();
      p.sqlType = SQL_DOUBLE;
      break;
    case VarType::Date: {
      p.cType = SQL_C_TYPE_TIMESTAMP;
      const Date::Parts d = v.date().parts();
      p.timestamp.year = static_cast<SQLSMALLINT>(d.year);
      p.timestamp.month = static_cast<SQLUSMALLINT>(d.month);
      p.timestamp.day = static_cast<SQLUSMALLINT>(d.day);
      p.timestamp.hour = static_cast<SQLUSMALLINT>(d.hour);
      p.timestamp.minute = static_cast<SQLUSMALLINT>(d.minute);
      p.timestamp.second = static_cast<SQLUSMALLINT>(d.second);
      p.sqlType = SQL_TYPE_TIMESTAMP;
      p.size = 19;
      break;
    }
    case VarType::String:
      p.cType = SQL_C_WCHAR;
      p.text = wide(v.str());
      p.indicator = static_cast<SQLLEN>(p.text.size() * sizeof(SQLWCHAR));
      p.sqlType = SQL_WVARCHAR;
      p.size = std::max<SQLULEN>(1, p.text.size());
      break;
    case VarType::Object:
      raise(err::kDbTypeMismatch, "An object cannot be stored in a column.");
  }
  if (column && p.indicator != SQL_NULL_DATA && p.cType != SQL_C_BIT) {
    // The column's own type, so that the server converts nothing
    // unexpectedly; text keeps its own length.
    p.sqlType = column->type;
    if (isTextType(column->type)) {
      if (p.cType != SQL_C_WCHAR) {  // a number into a text column: as its text
        const std::string t = v.joinText();
        p.cType = SQL_C_WCHAR;
        p.text = wide(t);
        p.indicator = static_cast<SQLLEN>(p.text.size() * sizeof(SQLWCHAR));
      }
      p.size = std::max<SQLULEN>(1, p.text.size());
    } else if (column->size > 0) {
      p.size = column->size;
      p.digits = column->digits;
    }
  }
  if (p.indicator == SQL_NULL_DATA && column && column->size > 0) {
    p.size = column->size;
    p.digits = column->digits;
  }
  return p;
}

void bindAll(const Statement& st, std::deque<Parameter>& params) {
  SQLUSMALLINT n = 1;
  for (Parameter& p : params) {
    st.check(SQLBindParameter(st.handle(), n++, SQL_PARAM_INPUT, p.cType, p.sqlType, p.size, p.digits,
                              p.buffer(), p.bufferLength(), &p.indicator));
  }
}

// ---------------------------------------------------------------------------

class OdbcCursor final : public Cursor {
 public:
  // `hidden`: leading columns added for the keys, not reported. `keys`: the
  // positions (in the full row) of the key columns; empty without keys.
  OdbcCursor(std::unique_ptr<Statement> st, std::vector<Column> columns, std::size_t hidden,
             std::vector<std::size_t> keys, bool executed)
      : st_(std::move(st)),
        all_(std::move(columns)),
        hidden_(hidden),
        keys_(std::move(keys)),
        executed_(executed) {
    for (std::size_t i = hidden_; i < all_.size(); ++i) columns_.push_back(all_[i].info);
    if (executed_ && st_->link()->oneActive) st_->link()->active = this;
  }
  ~OdbcCursor() override {
    if (st_ && st_->link()->active == this) st_->link()->active = nullptr;
  }

  const std::vector<ColumnInfo>& columns() const override { return columns_; }

  bool next(std::vector<Variant>& row) override {
    if (!buffered_.empty()) {
      auto& [values, key] = buffered_.front();
      row = std::move(values);
      key_ = std::move(key);
      buffered_.pop_front();
      return true;
    }
    if (done_) {
      key_.clear();
      return false;
    }
    std::vector<Variant> full;
    if (!fetch(full)) {
      key_.clear();
      return false;
    }
    split(std::move(full), row, key_);
    return true;
  }

  RowKey rowKey() const override { return key_; }

  // Reads every remaining row into memory and ends the result, so that the
  // connection is free for another statement.
  void drain() {
    std::vector<Variant> full;
    while (fetch(full)) {
      std::vector<Variant> values;
      RowKey key;
      split(std::move(full), values, key);
      buffered_.emplace_back(std::move(values), std::move(key));
      full.clear();
    }
  }

 private:
  // The next row with every column, or false at the end (the result is then
  // closed).
  bool fetch(std::vector<Variant>& full) {
    const LinkPtr& link = st_->link();
    if (link->closed) raiseClosed();
    if (done_) return false;
    if (!executed_) {
      link->makeRoom(this);
      st_->check(SQLExecute(st_->handle()));
      executed_ = true;
      if (link->oneActive) link->active = this;
    }
    SQLRETURN rc = SQLFetch(st_->handle());
    if (rc == SQL_NO_DATA) {
      finish();
      return false;
    }
    if (!SQL_SUCCEEDED(rc)) {
      try {
        st_->check(rc);
      } catch (...) {
        finish();
        throw;
      }
    }
    full.resize(all_.size());
    for (std::size_t i = 0; i < all_.size(); ++i) {
      full[i] = readValue(*st_, static_cast<SQLUSMALLINT>(i + 1), all_[i].read);
    }
    return true;
  }

  void finish() {
    done_ = true;
    st_->closeCursor();
    if (st_->link()->active == this) st_->link()->active = nullptr;
  }

  void split(std::vector<Variant> full, std::vector<Variant>& row, RowKey& key) const {
    key.clear();
    for (std::size_t k : keys_) key.push_back(full[k]);
    if (hidden_ == 0) {
      row = std::move(full);
    } else {
      row.assign(std::make_move_iterator(full.begin() + static_cast<std::ptrdiff_t>(hidden_)),
                 std::make_move_iterator(full.end()));
    }
  }

  std::unique_ptr<Statement> st_;
  std::vector<Column> all_;
  std::vector<ColumnInfo> columns_;
  std::size_t hidden_;
  std::vector<std::size_t> keys_;
  bool executed_;
  bool done_ = false;
  RowKey key_;
  std::deque<std::pair<std::vector<Variant>, RowKey>> buffered_;
};

void Link::makeRoom(const OdbcCursor* except) {
  if (!oneActive || !active || active == except) return;
  OdbcCursor* pending = active;
  active = nullptr;
  pending->drain();
}

// ---------------------------------------------------------------------------

class OdbcSession final : public DataSession {
 public:
  OdbcSession(LinkPtr link, ServerKind kind, NameFolding folding, char quote)
      : link_(std::move(link)), kind_(kind), folding_(folding), dialect_(makeDialect(kind, quote, folding)) {}
  ~OdbcSession() override { close(); }

  const Dialect& dialect() const override { return *dialect_; }

  std::unique_ptr<Cursor> query(std::string_view sql, bool wantKeys) override {
    checkOne(sql);
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
    const bool returning = !key.empty() && kind_ != ServerKind::Other;
    std::string sql = "INSERT INTO " + dialect_->quoteIdentifier(row.table);
    std::string output = returning && kind_ == ServerKind::SqlServer ? " OUTPUT " + returned : "";
    if (row.columns.empty()) {
      sql += output + " DEFAULT VALUES";
    } else {
      std::string names;
      std::string marks;
      for (const auto& c : row.columns) {
        if (!names.empty()) {
          names += ", ";
          marks += ", ";
        }
        names += dialect_->quoteIdentifier(c);
        marks += '?';
      }
      sql += " (" + names + ")" + output + " VALUES (" + marks + ")";
    }
    if (returning && kind_ == ServerKind::PostgreSql) sql += " RETURNING " + returned;

    std::deque<Parameter> params;
    for (std::size_t i = 0; i < row.columns.size(); ++i) {
      params.push_back(parameterFor(row.values[i], findColumn(row.table, row.columns[i])));
    }
    checked()->makeRoom(nullptr);
    Statement st(link_);
    std::u16string text = wide(sql);
    st.check(SQLPrepareW(st.handle(), wptr(text), static_cast<SQLINTEGER>(text.size())));
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
      checked()->makeRoom(nullptr);
      Statement st(link_);
      std::u16string text = wide(sql);
      st.check(SQLPrepareW(st.handle(), wptr(text), static_cast<SQLINTEGER>(text.size())));
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
      c.read = readAsFor(type);
      c.info.name = restoreNameCase(narrow(name.data(), static_cast<std::size_t>(nameLength)), sql, folding_);
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
    checked()->makeRoom(nullptr);
    Statement st(link_);
    std::u16string text = wide(sql);
    st.check(SQLPrepareW(st.handle(), wptr(text), static_cast<SQLINTEGER>(text.size())));
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
  SQLWCHAR buffer[256];
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, what, buffer, sizeof buffer, &length)) || length <= 0) return {};
  return narrow(buffer, std::min<std::size_t>(static_cast<std::size_t>(length) / sizeof(SQLWCHAR),
                                              std::size(buffer) - 1));
}

SQLUSMALLINT infoShort(SQLHDBC dbc, SQLUSMALLINT what, SQLUSMALLINT fallback) {
  SQLUSMALLINT value = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, what, &value, sizeof value, nullptr))) return fallback;
  return value;
}

}  // namespace

std::string installedDriver(Environment& env, std::string_view part) {
  const std::string wanted = asciiLower(part);
  SQLWCHAR name[256];
  SQLWCHAR attributes[1024];
  SQLSMALLINT nameLength = 0;
  SQLSMALLINT attributesLength = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDriversW(env.handle(), direction, name, static_cast<SQLSMALLINT>(std::size(name)),
                                   &nameLength, attributes, static_cast<SQLSMALLINT>(std::size(attributes)),
                                   &attributesLength))) {
    direction = SQL_FETCH_NEXT;
    const std::string driver =
        narrow(name, std::min<std::size_t>(static_cast<std::size_t>(nameLength), std::size(name) - 1));
    if (asciiLower(driver).find(wanted) != std::string::npos) return driver;
  }
  return {};
}

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
