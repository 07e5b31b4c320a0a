// Reading and binding values, preparing statements and the engine's errors
// as the page sees them: what every SQLite cursor and session shares.
#include <limits>

#include "kvdn/text.h"
#include "sql_text.h"
#include "sqlite_internal.h"

namespace kvdn::sqlite_internal {

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

// An engine failure as the page sees it: the OLE DB style number for its
// kind, SQLite's own description.
[[noreturn]] void raiseEngine(int rc, std::string message) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      raise(err::kDbBusy, std::move(message));
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_IOERR:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_FULL:
      raise(err::kDbFail, std::move(message));
    case SQLITE_MISMATCH:
      raise(err::kDbTypeMismatch, std::move(message));
    default:
      break;
  }
  if (startsWithNoCase(message, "no such table")) raise(err::kDbNoSuchTable, std::move(message));
  raise(err::kDbErrorsInCommand, std::move(message));
}

[[noreturn]] void raiseFrom(sqlite3* db, int rc) {
  raiseEngine(rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

[[noreturn]] void raiseClosed() {
  raise(err::kDbClosed, "Operation is not allowed when the object is closed.");
}

// Columns declared DATE, TIME, DATETIME (any declared type naming a date or
// a time) read their text as a Date.
bool isDateType(const char* declared) {
  if (!declared) return false;
  std::string upper = asciiUpper(declared);
  return upper.find("DATE") != std::string::npos || upper.find("TIME") != std::string::npos;
}

// The value of column `i` of the current row. Read through the column's
// sqlite3_value: the sqlite3_column_* calls would take the connection's
// mutex for each call, which a session used by one thread at a time (and
// opened without mutexes) does not need.
Variant readValue(sqlite3_stmt* st, int i, bool dateColumn) {
  sqlite3_value* value = sqlite3_column_value(st, i);
  switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER: {
      sqlite3_int64 v = sqlite3_value_int64(value);
      if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max()) {
        return Variant(static_cast<std::int32_t>(v));
      }
      return Variant(static_cast<std::int64_t>(v));
    }
    case SQLITE_FLOAT:
      return Variant(sqlite3_value_double(value));
    case SQLITE_NULL:
      return Variant::null();
    case SQLITE_BLOB: {
      const void* p = sqlite3_value_blob(value);
      int n = sqlite3_value_bytes(value);
      return Variant(std::string(static_cast<const char*>(p), p ? static_cast<std::size_t>(n) : 0u));
    }
    default: {  // SQLITE_TEXT
      const unsigned char* p = sqlite3_value_text(value);
      int n = sqlite3_value_bytes(value);
      std::string_view text(reinterpret_cast<const char*>(p), p ? static_cast<std::size_t>(n) : 0u);
      if (dateColumn) {
        if (auto d = Date::parse(text)) return Variant(*d);
      }
      return Variant(text);
    }
  }
}

void bindValue(sqlite3* db, sqlite3_stmt* st, int index, const Variant& v) {
  int rc = SQLITE_OK;
  switch (v.type()) {
    case VarType::Empty:
    case VarType::Null:
      rc = sqlite3_bind_null(st, index);
      break;
    case VarType::Boolean:  // stored as the original engine did: True is -1
      rc = sqlite3_bind_int64(st, index, v.boolean() ? -1 : 0);
      break;
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      rc = sqlite3_bind_int64(st, index, v.integer());
      break;
    case VarType::Double:
      rc = sqlite3_bind_double(st, index, v.dbl());
      break;
    case VarType::Date: {
      std::string text = v.date().storageText();
      rc = sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      break;
    }
    case VarType::String:
      // Not copied: every caller keeps `v` alive until the statement is
      // released, and a released statement has its bindings cleared.
      rc = sqlite3_bind_text(st, index, v.str().data(), static_cast<int>(v.str().size()), SQLITE_STATIC);
      break;
    case VarType::Object:
      raise(err::kDbTypeMismatch, "An object cannot be stored in a column.");
  }
  if (rc != SQLITE_OK) raiseFrom(db, rc);
}

// Takes a change the authorizer saw (in a preparation, or in a statement
// SQLite prepared again by itself while it ran) out of the connection's
// state: everything the connection kept is dropped.
static void takeChange(Handle& h) {
  if (h.state && h.state->changed) {
    h.state->changed = false;
    h.invalidate();
  }
}

Statement prepare(const HandlePtr& h, std::string_view sql) {
  if (!h || h->closed) raiseClosed();
  takeChange(*h);
  if (auto cached = speedPathsOn() ? h->take(sql) : std::nullopt)
    return Statement(h, std::move(cached->sql), cached->st, std::move(cached->meta));
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  // Persistent: the statement is likely to be kept for reuse (see Handle).
  int rc = sqlite3_prepare_v3(h->db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                              &raw, &tail);
  // A statement that changes the schema or a setting drops what was kept
  // before it runs; itself it carries the new epoch.
  takeChange(*h);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(raw);
    raiseFrom(h->db, rc);
  }
  if (!raw) raise(err::kDbErrorsInCommand, "The statement is empty.");
  // One statement per call: text after it (a second statement) is refused
  // rather than silently ignored or run (and never kept for reuse).
  std::string_view rest = tail ? sql.substr(static_cast<std::size_t>(tail - sql.data())) : std::string_view();
  if (!sql::trimStatement(rest).empty()) {
    sqlite3_finalize(raw);
    raise(err::kDbErrorsInCommand, "Characters found after end of SQL statement.");
  }
  return Statement(h, std::string(sql), raw);
}

std::string text(const char* s) {
  return s ? std::string(s) : std::string();
}

}  // namespace kvdn::sqlite_internal
