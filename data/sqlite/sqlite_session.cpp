// The SQLite session: queries, statements, counts, row writes and the
// transaction calls of one connection (kept counts and seeking elsewhere).
#include "sqlite_session.h"

namespace kvdn::sqlite_internal {

std::unique_ptr<Cursor> SqliteSession::query(std::string_view requested, bool wantKeys) {
  noteJournalMode(requested);
  std::string seeking = seekingWindow(requested);
  const std::string_view sql = seeking.empty() ? requested : std::string_view(seeking);
  if (wantKeys) {
    const std::string& keyed = withRowid(sql);
    if (!keyed.empty()) {
      try {
        Statement st = prepare(handle_, keyed);
        // The rowid must belong to a table (not to a sub-query or view).
        if (sqlite3_column_table_name(st.get(), 0) != nullptr) {
          return std::make_unique<SqliteCursor>(handle_, std::move(st), true);
        }
      } catch (const ComError&) {
        // Several tables, a view, a table without rowid: open without keys.
      }
    }
  }
  if (seeking.empty() && mayKeepRows(sql)) {
    if (auto it = handle_->counts.results.find(std::string(sql)); it != handle_->counts.results.end())
      return std::make_unique<KeptRowsCursor>(it->second);
    return keeping(sql, prepare(handle_, sql));
  }
  return std::make_unique<SqliteCursor>(handle_, prepare(handle_, sql), false);
}

ExecuteResult SqliteSession::execute(std::string_view sql) {
  noteJournalMode(sql);
  // Checked once: each check is a read of the file's change counter.
  const bool keep = mayKeepRows(sql);
  if (keep) {
    if (auto it = handle_->counts.results.find(std::string(sql)); it != handle_->counts.results.end()) {
      ExecuteResult kept;
      kept.rows = std::make_unique<KeptRowsCursor>(it->second);
      return kept;
    }
  }
  Statement st = prepare(handle_, sql);
  ExecuteResult result;
  // A statement that may change anything (the schema too, which the
  // change counts do not follow) ends every kept count.
  if (!sqlite3_stmt_readonly(st.get())) {
    handle_->counts.clear();
    handle_->ladders.clear();
  }
  if (sqlite3_column_count(st.get()) > 0) {
    if (keep && sqlite3_stmt_readonly(st.get())) {
      result.rows = keeping(sql, std::move(st));
    } else {
      result.rows = std::make_unique<SqliteCursor>(handle_, std::move(st), false);
    }
    return result;
  }
  int rc = sqlite3_step(st.get());
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) raiseFrom(handle_->db, rc);
  result.affected = sqlite3_changes64(handle_->db);
  return result;
}

std::int64_t SqliteSession::count(std::string_view sql) {
  const std::string& counting = dialect_->countRows(sql);
  const bool keep = mayKeepCount(counting);
  if (keep) {
    auto it = handle_->counts.byStatement.find(counting);
    if (it != handle_->counts.byStatement.end()) return it->second;
  }
  Statement st = prepare(handle_, counting);
  int rc = sqlite3_step(st.get());
  if (rc != SQLITE_ROW) raiseFrom(handle_->db, rc);
  const std::int64_t n = sqlite3_column_int64(st.get(), 0);
  if (keep) {
    KeptCounts& kept = handle_->counts;
    if (kept.byStatement.size() >= KeptCounts::kMax) kept.byStatement.clear();
    kept.byStatement.emplace(counting, n);
  }
  return n;
}

StoredRow SqliteSession::insertRow(const RowWrite& row) {
  std::string sql = "INSERT INTO " + sql::quoteIdentifier(row.table);
  if (row.columns.empty()) {
    sql += " DEFAULT VALUES";
  } else {
    const sql::InsertLists lists = sql::insertLists(row.columns, sql::quoteIdentifier);
    sql += " " + lists.names + " VALUES " + lists.markers;
  }
  Statement st = prepare(handle_, sql);
  for (std::size_t i = 0; i < row.values.size(); ++i)
    bindValue(handle_->db, st.get(), static_cast<int>(i) + 1, row.values[i]);
  OwnTransaction txn(*this);
  int rc = sqlite3_step(st.get());
  if (rc != SQLITE_DONE) raiseFrom(handle_->db, rc);
  RowKey key{Variant(static_cast<std::int64_t>(sqlite3_last_insert_rowid(handle_->db)))};
  std::optional<StoredRow> stored = readBackThenCommit(row, key, txn);
  if (!stored) stored = StoredRow{key, std::vector<Variant>(row.readBack.size(), Variant::null())};
  return std::move(*stored);
}

std::optional<StoredRow> SqliteSession::updateRow(const RowWrite& row, const RowKey& key) {
  if (key.size() != 1) raise(err::kDbNoRecord, "Row cannot be located for updating.");
  if (!row.columns.empty()) {
    std::string sql = "UPDATE " + sql::quoteIdentifier(row.table) + " SET ";
    for (std::size_t i = 0; i < row.columns.size(); ++i) {
      if (i > 0) sql += ", ";
      sql += sql::quoteIdentifier(row.columns[i]) + " = ?";
    }
    sql += " WHERE rowid = ?";
    Statement st = prepare(handle_, sql);
    int index = 1;
    for (const auto& v : row.values) bindValue(handle_->db, st.get(), index++, v);
    bindValue(handle_->db, st.get(), index, key.front());
    OwnTransaction txn(*this);
    int rc = sqlite3_step(st.get());
    if (rc != SQLITE_DONE) raiseFrom(handle_->db, rc);
    if (sqlite3_changes64(handle_->db) == 0) {
      txn.commit();
      return std::nullopt;
    }
    return readBackThenCommit(row, key, txn);
  }
  return readBack(row, key);
}

void SqliteSession::rollback() {
  handle_->counts.clear();
  handle_->ladders.clear();
  run("ROLLBACK");
}

void SqliteSession::close() {
  if (!handle_ || handle_->closed) return;
  sqlite3* db = handle_->db;
  for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s)) sqlite3_reset(s);
  if (!sqlite3_get_autocommit(db)) {
    // Closed in the middle of a transaction: rolled back, and the
    // connection is not handed on (whatever the session set up for its
    // transaction stays out of the next session).
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    handle_->poolable = false;
  }
  // A kept connection keeps its prepared statements for the next session.
  if (!handle_->poolable) handle_->dropIdle();
  handle_->closed = true;
  handle_.reset();
}

void SqliteSession::run(std::string_view sql) {
  Statement st = prepare(checked(), sql);
  int rc = sqlite3_step(st.get());
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) raiseFrom(handle_->db, rc);
}

// readBack() within `txn`, which is then committed. A failed read still
// keeps the row written (as two autocommit statements would) and reports
// the read's failure.
std::optional<StoredRow> SqliteSession::readBackThenCommit(const RowWrite& row, const RowKey& key,
                                                           OwnTransaction& txn) {
  std::optional<StoredRow> stored;
  try {
    stored = readBack(row, key);
  } catch (const ComError&) {
    txn.commit();
    throw;
  }
  txn.commit();
  return stored;
}

// The row with `key` as now stored: the readBack columns, read with the
// same value rules as every query.
std::optional<StoredRow> SqliteSession::readBack(const RowWrite& row, const RowKey& key) {
  StoredRow stored{key, {}};
  if (row.readBack.empty()) return stored;
  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < row.readBack.size(); ++i) {
    if (i > 0) sql += ", ";
    sql += sql::quoteIdentifier(row.readBack[i]);
  }
  sql += " FROM " + sql::quoteIdentifier(row.table) + " WHERE rowid = ?";
  Statement st = prepare(handle_, sql);
  bindValue(handle_->db, st.get(), 1, key.front());
  SqliteCursor cursor(handle_, std::move(st), false);
  if (!cursor.next(stored.values)) return std::nullopt;
  return stored;
}

// `sql` with the rowid as its first column, or "" (see
// sql::withLeadingColumn); remembered, as an updatable recordset opens the
// same statement again for every record it writes.
const std::string& SqliteSession::withRowid(std::string_view sql) {
  if (!speedPathsOn()) keyed_.clear();
  if (auto it = keyed_.find(sql); it != keyed_.end()) return it->second;
  if (keyed_.size() >= kRememberedKeyed) keyed_.clear();
  return keyed_.emplace(std::string(sql), sql::withLeadingColumn(sql, "rowid")).first->second;
}

}  // namespace kvdn::sqlite_internal
