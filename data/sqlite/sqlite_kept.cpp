// Counts and read-only results kept by a connection between two writes,
// and the checks that say when they may be used or must be dropped.
#include "kvdn/text.h"
#include "sqlite_session.h"

namespace kvdn {
namespace sqlite_internal {

std::atomic<bool> countsKept{true};

// Whether the count statement `counting` may be answered from, and kept
// in, the connection's kept counts; drops them when the database changed
// since they were taken (see KeptCounts).
bool SqliteSession::mayKeepCount(const std::string& counting) {
  if (!countsKept.load(std::memory_order_relaxed) || !speedPathsOn() || !dialect_->isStable(counting))
    return false;
  return keptStillValid();
}

// Whether the rows of the query `sql` may be answered from, and kept in,
// the connection's kept results: a SELECT (or VALUES) whose text names
// nothing that changes without a write, outside transactions.
bool SqliteSession::mayKeepRows(std::string_view sql) {
  if (!countsKept.load(std::memory_order_relaxed) || !speedPathsOn() || !dialect_->isQuery(sql) ||
      !dialect_->isStable(sql))
    return false;
  return keptStillValid();
}

std::unique_ptr<Cursor> SqliteSession::keeping(std::string_view sql, Statement st) {
  if (!sqlite3_stmt_readonly(st.get())) return std::make_unique<SqliteCursor>(handle_, std::move(st), false);
  auto inner = std::make_unique<SqliteCursor>(handle_, std::move(st), false);
  MetaPtr meta = inner->meta();
  auto cursor = std::make_unique<KeepingCursor>(handle_, std::move(inner), std::string(sql));
  cursor->setMeta(std::move(meta));
  return cursor;
}

void KeepingCursor::finish() noexcept {
  // Outside explicit transactions only, as the kept results themselves; an
  // interrupted read-only statement rolls nothing back.
  // A cursor never read from (a keyset recordset that reads pages through
  // other statements) is left alone: its step would begin a read of its own.
  if (!recording_ || rows_.empty() || handle_->closed || !sqlite3_get_autocommit(handle_->db)) return;
  sqlite3* db = handle_->db;
  sqlite3_progress_handler(
      db, kFinishBudget, [](void*) { return 1; }, nullptr);
  try {
    std::vector<Variant> row;
    next(row);  // keeps the result when this was its end
  } catch (...) {
    // Interrupted (a longer result) or failed: not kept.
  }
  sqlite3_progress_handler(db, 0, nullptr, nullptr);
}

// Whether what the connection keeps (counts, ladders) may be used now:
// outside explicit transactions only; everything kept is dropped when
// the database changed since it was taken (see KeptCounts).
bool SqliteSession::keptStillValid() {
  sqlite3* db = checked()->db;
  if (!sqlite3_get_autocommit(db)) return false;
  const std::int64_t own = sqlite3_total_changes64(db);
  KeptCounts& kept = handle_->counts;
  // Read before data_version: a commit between the two then shows as a
  // changed header next time, never as an unchanged one.
  const std::optional<WalIndexHeader> header = walIndexHeader();
  if (header && kept.stamped && kept.headerStamped && kept.ownChanges == own && kept.header == *header)
    return true;
  std::int64_t version = 0;
  {
    Statement st = prepare(handle_, "PRAGMA data_version");
    if (sqlite3_step(st.get()) != SQLITE_ROW) return false;
    version = sqlite3_column_int64(st.get(), 0);
  }
  if (!kept.stamped || kept.dataVersion != version || kept.ownChanges != own) {
    kept.clear();
    handle_->ladders.clear();
    kept.stamped = true;
    kept.dataVersion = version;
    kept.ownChanges = own;
  }
  kept.headerStamped = header.has_value();
  if (header) kept.header = *header;
  return true;
}

std::optional<WalIndexHeader> SqliteSession::walIndexHeader() const {
  if (!handle_->walMode) return std::nullopt;
  return readWalIndexHeader(handle_->db);
}

void SqliteSession::noteJournalMode(std::string_view sql) {
  if (handle_ && handle_->walMode && dialect_->journalMode(sql)) {
    handle_->walMode = false;
    handle_->counts.headerStamped = false;
  }
}

bool namesJournalMode(std::string_view sql) {
  return containsAnyAsciiNoCase(sql, {"journal_mode"});
}

bool isStableText(std::string_view sql) {
  return !containsAnyAsciiNoCase(sql, {"random", "now", "current_", "changes", "last_insert_rowid", "date",
                                       "time", "julianday", "unixepoch", "data_version", "sqlite_"});
}

}  // namespace sqlite_internal

void keepSqliteCounts(bool on) {
  sqlite_internal::countsKept.store(on, std::memory_order_relaxed);
}

}  // namespace kvdn
