// Internal to the SQLite provider: the cursors, the dialect and the session
// class, whose methods are spread over sqlite_session/_kept/_seek.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sql_text.h"
#include "sqlite_internal.h"

namespace kvdn::sqlite_internal {

class SqliteCursor final : public Cursor {
 public:
  // `keyed`: column 0 is the rowid added for keys and is not reported.
  SqliteCursor(HandlePtr handle, Statement st, bool keyed) : handle_(std::move(handle)), st_(std::move(st)) {
    const int first = keyed ? 1 : 0;
    if (!st_.meta() || st_.meta()->first != first) {
      auto meta = std::make_shared<Meta>();
      meta->first = first;
      sqlite3_stmt* s = st_.get();
      const int n = sqlite3_column_count(s);
      for (int i = first; i < n; ++i) {
        meta->columns.push_back(
            ColumnInfo{text(sqlite3_column_name(s, i)), text(sqlite3_column_decltype(s, i)),
                       text(sqlite3_column_table_name(s, i)), text(sqlite3_column_origin_name(s, i))});
        meta->dates.push_back(isDateType(sqlite3_column_decltype(s, i)) ? 1 : 0);
      }
      st_.setMeta(std::move(meta));
    }
    meta_ = st_.meta().get();
  }

  const std::vector<ColumnInfo>& columns() const override { return meta_->columns; }

  std::shared_ptr<const std::vector<ColumnInfo>> sharedColumns() const override {
    return std::shared_ptr<const std::vector<ColumnInfo>>(st_.meta(), &meta_->columns);
  }

  bool next(std::vector<Variant>& row) override {
    if (done_) return false;
    if (handle_->closed) raiseClosed();
    sqlite3_stmt* const s = st_.get();
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      const std::size_t n = meta_->columns.size();
      const int first = meta_->first;
      row.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        row[i] = readValue(s, static_cast<int>(i) + first, meta_->dates[i] != 0);
      }
      if (first > 0) key_ = RowKey{Variant(static_cast<std::int64_t>(sqlite3_column_int64(s, 0)))};
      return true;
    }
    done_ = true;
    key_.clear();
    sqlite3_reset(st_.get());  // releases the read lock at once
    if (rc != SQLITE_DONE) raiseFrom(handle_->db, rc);
    return false;
  }

  RowKey rowKey() const override { return key_; }
  const MetaPtr& meta() const { return st_.meta(); }

 private:
  HandlePtr handle_;
  Statement st_;
  const Meta* meta_ = nullptr;  // owned by st_
  RowKey key_;
  bool done_ = false;
};

// A kept result, read again.
class KeptRowsCursor final : public Cursor {
 public:
  explicit KeptRowsCursor(KeptRowsPtr kept) : kept_(std::move(kept)) {}
  const std::vector<ColumnInfo>& columns() const override { return kept_->meta->columns; }
  std::shared_ptr<const std::vector<ColumnInfo>> sharedColumns() const override {
    return std::shared_ptr<const std::vector<ColumnInfo>>(kept_->meta, &kept_->meta->columns);
  }
  bool next(std::vector<Variant>& row) override {
    if (next_ >= kept_->rows.size()) return false;
    row = kept_->rows[next_++];
    return true;
  }
  RowKey rowKey() const override { return {}; }

 private:
  KeptRowsPtr kept_;
  std::size_t next_ = 0;
};

// Reads a query's rows through and, when the whole result was read and is
// small, keeps it in the connection's kept results under `sql` (unless
// they were dropped meanwhile: the stamp is compared).
class KeepingCursor final : public Cursor {
 public:
  KeepingCursor(HandlePtr handle, std::unique_ptr<SqliteCursor> inner, std::string sql)
      : handle_(std::move(handle)),
        inner_(std::move(inner)),
        sql_(std::move(sql)),
        epoch_(handle_->counts.epoch) {}
  const std::vector<ColumnInfo>& columns() const override { return inner_->columns(); }
  std::shared_ptr<const std::vector<ColumnInfo>> sharedColumns() const override {
    return inner_->sharedColumns();
  }
  bool next(std::vector<Variant>& row) override {
    const bool got = inner_->next(row);
    if (!recording_) return got;
    if (got) {
      if (rows_.size() >= KeptRows::kMaxRows) {
        recording_ = false;
        rows_.clear();
      } else {
        rows_.push_back(row);
      }
      return got;
    }
    recording_ = false;
    KeptCounts& kept = handle_->counts;
    if (!handle_->closed && kept.stamped && kept.epoch == epoch_ &&
        sqlite3_total_changes64(handle_->db) == kept.ownChanges) {
      if (kept.results.size() >= KeptCounts::kMaxResults) kept.results.clear();
      auto result = std::make_shared<KeptRows>();
      result->meta = meta_;
      result->rows = std::move(rows_);
      kept.results.insert_or_assign(sql_, std::move(result));
    }
    return got;
  }
  RowKey rowKey() const override { return {}; }
  void setMeta(MetaPtr meta) { meta_ = std::move(meta); }
  ~KeepingCursor() override { finish(); }

  // Virtual machine steps allowed for the step that looks for the end of a
  // result left before it (see finish).
  static constexpr int kFinishBudget = 1000;

 private:
  // A result left before its end is kept too when one more step shows that
  // it has ended: a page window stops at its last row, a lookup after its
  // one row. The step is bounded by kFinishBudget, so that leaving a long
  // scan never costs its rest; interrupted or failed, nothing is kept.
  void finish() noexcept;

  HandlePtr handle_;
  std::unique_ptr<SqliteCursor> inner_;
  std::string sql_;
  std::uint64_t epoch_;
  MetaPtr meta_;
  bool recording_ = true;
  std::vector<std::vector<Variant>> rows_;
};

// False for statement texts naming a function whose value changes without
// any write (the clock, random numbers, change counters); a false alarm
// only costs the count again. Pure; any thread (sqlite_kept.cpp).
bool isStableText(std::string_view sql);
// Whether the text names journal_mode (SqliteSession::noteJournalMode). Pure.
bool namesJournalMode(std::string_view sql);

// The statements of one session are few and repeat (a page asks for the
// count and a page of the same query; a writer inserts row after row), so
// the results of the text work are remembered per session.
class SqliteDialect final : public Dialect {
 public:
  std::string translate(std::string_view s) const override {
    return remember(translated_, s, [](std::string_view t) { return sql::translateTop(t); });
  }
  bool isQuery(std::string_view s) const override { return analysis(s).query; }
  // isStableText and namesJournalMode of `s`, remembered with its analysis:
  // the texts run to kilobytes and are asked about several times a page.
  bool isStable(std::string_view s) const { return analysis(s).stable; }
  bool journalMode(std::string_view s) const { return analysis(s).journalMode; }
  // A window of a statement, as limitRows made it: the session seeks to it
  // instead of scanning the offset when the statement allows (SeekShape).
  struct Window {
    std::string statement;
    std::int64_t limit;
    std::int64_t offset;
  };
  const Window* window(std::string_view limited) const {
    auto it = windows_.find(limited);
    return it == windows_.end() ? nullptr : &it->second;
  }

  std::string limitRows(std::string_view s, std::int64_t limit, std::int64_t offset) const override {
    std::string out = limitRowsText(s, limit, offset);
    if (windows_.size() >= kRemembered) windows_.clear();
    windows_.insert_or_assign(out, Window{std::string(s), limit, offset});
    return out;
  }

  std::string limitRowsText(std::string_view s, std::int64_t limit, std::int64_t offset) const {
    const Analysis& a = analysis(s);
    std::string out;
    if (a.limited) {
      out = "SELECT * FROM (";
      out += a.statement;
      out += ')';
    } else {
      out = a.statement;
    }
    out += " LIMIT ";
    out += std::to_string(limit < 0 ? -1 : limit);
    if (offset > 0) {
      out += " OFFSET ";
      out += std::to_string(offset);
    }
    return out;
  }
  std::string countRows(std::string_view s) const override { return analysis(s).count; }
  std::string quoteIdentifier(std::string_view name) const override { return sql::quoteIdentifier(name); }

 private:
  static constexpr std::size_t kRemembered = 64;
  static constexpr std::size_t kLongText = 64 * 1024;

  struct Analysis {
    bool query = false;
    bool limited = false;
    bool stable = false;
    bool journalMode = false;
    std::string statement;  // without a trailing ";" and comments
    std::string count;
  };

  // With the speed paths off nothing is remembered: each call works anew.
  // A text past kLongText (a statement carrying a large posted value) is
  // kept alone, so that a memo holds at most one such text besides
  // kRemembered short ones.
  template <class T, class F>
  static const T& remember(std::map<std::string, T, std::less<>>& memo, std::string_view key, F make) {
    if (!speedPathsOn()) memo.clear();
    if (auto it = memo.find(key); it != memo.end()) return it->second;
    if (memo.size() >= kRemembered || key.size() > kLongText) memo.clear();
    return memo.emplace(std::string(key), make(key)).first->second;
  }

  const Analysis& analysis(std::string_view s) const {
    return remember(analyses_, s, [](std::string_view t) {
      sql::Shape shape = sql::shapeOf(t);
      Analysis a;
      a.query = shape.query;
      a.limited = shape.limited;
      a.stable = isStableText(t);
      a.journalMode = namesJournalMode(t);
      a.statement = std::string(sql::trimStatement(t));
      a.count = sql::countRows(t);
      return a;
    });
  }

  mutable std::map<std::string, std::string, std::less<>> translated_;
  mutable std::map<std::string, Analysis, std::less<>> analyses_;
  mutable std::map<std::string, Window, std::less<>> windows_;
};

// A statement whose pages can be found by seeking on its order key instead
// of scanning past the rows before them:
//   SELECT columns FROM table [WHERE condition] ORDER BY key [ASC|DESC]
// with one table (no join, alias, grouping, DISTINCT, compound, LIMIT or
// WITH), ordered by one column that no column of the result renames, and
// that is either
// - the table's whole primary key of declared type INTEGER (the row key:
//   unique, never Null), or rowid itself; or
// - a column that SQLite's plan for the statement reads in the order of an
//   index on that column alone (no sorting of its own), so that equal keys
//   come in rowid order; its pages then seek on (key, rowid), Null runs
//   named by IS NULL. Such a statement takes the fast path only while no
//   remembered step holds a blob or a value that has no literal.
// Every other statement pages by OFFSET as before.
struct SeekShape {
  std::string head;       // "SELECT columns FROM table"
  std::string condition;  // the WHERE condition, or ""
  std::string table;      // unquoted
  std::string key;        // the ORDER BY column as written
  bool descending = false;
  // Set by the session: the key is the row key (else an indexed column
  // whose index orders the statement, ties by rowid).
  bool rowKey = false;
};

// `name` without its quotes ("", [] or ``).
std::string unquotedName(std::string_view name);

// The seek shape of `statement` as written, or nullopt; whether its key is
// the row key is checked against the schema by the session.
std::optional<SeekShape> seekShapeOf(std::string_view statement);

class SqliteSession final : public DataSession {
 public:
  explicit SqliteSession(HandlePtr handle) : handle_(std::move(handle)) {
    if (handle_->state) beginSessionState(handle_->db, *handle_->state);
    if (handle_->dialect) {
      dialect_ = std::static_pointer_cast<SqliteDialect>(handle_->dialect);
    } else {
      dialect_ = std::make_shared<SqliteDialect>();
      handle_->dialect = dialect_;
    }
  }
  ~SqliteSession() override { close(); }

  const Dialect& dialect() const override { return *dialect_; }

  std::unique_ptr<Cursor> query(std::string_view requested, bool wantKeys) override;
  ExecuteResult execute(std::string_view sql) override;
  std::int64_t count(std::string_view sql) override;
  StoredRow insertRow(const RowWrite& row) override;
  std::optional<StoredRow> updateRow(const RowWrite& row, const RowKey& key) override;

  void begin() override { run("BEGIN"); }
  void commit() override { run("COMMIT"); }
  void rollback() override;
  void close() override;

  bool isOpen() const override { return handle_ && !handle_->closed; }

 private:
  HandlePtr checked() const {
    if (!handle_ || handle_->closed) raiseClosed();
    return handle_;
  }

  // A row write and the read of the stored row in one transaction when
  // they would otherwise take the file's locks twice: BEGIN when the session
  // is in autocommit mode and holds no read lock (an unfinished cursor of
  // the session keeps one, and then the two statements share it anyway);
  // else nothing. commit() ends it (a failed COMMIT rolls back and raises);
  // leaving the scope without commit() rolls back, so a failed write stores
  // nothing, as the autocommit statement would.
  class OwnTransaction {
   public:
    explicit OwnTransaction(SqliteSession& session)
        : session_(session),
          active_(sqlite3_get_autocommit(session.handle_->db) != 0 &&
                  sqlite3_txn_state(session.handle_->db, "main") == SQLITE_TXN_NONE) {
      if (active_) session_.run("BEGIN");
    }
    OwnTransaction(const OwnTransaction&) = delete;
    OwnTransaction& operator=(const OwnTransaction&) = delete;
    ~OwnTransaction() {
      if (active_) session_.rollbackQuietly();
    }
    void commit() {
      if (!active_) return;
      active_ = false;
      try {
        session_.run("COMMIT");
      } catch (...) {
        session_.rollbackQuietly();
        throw;
      }
    }

   private:
    SqliteSession& session_;
    bool active_;
  };

  void rollbackQuietly() noexcept {
    if (handle_ && !handle_->closed && !sqlite3_get_autocommit(handle_->db))
      sqlite3_exec(handle_->db, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  // Kept counts and results (sqlite_kept.cpp).
  bool mayKeepCount(const std::string& counting);
  bool mayKeepRows(std::string_view sql);
  std::unique_ptr<Cursor> keeping(std::string_view sql, Statement st);
  bool keptStillValid();
  // The log index header of the connection's file, or nullopt (not in
  // write-ahead-log mode, no shared memory, a commit writing it just now).
  std::optional<WalIndexHeader> walIndexHeader() const;
  // A statement naming journal_mode may take the file out of write-ahead-log
  // mode, after which commits no longer write the log index: its header is
  // not read again on this connection.
  void noteJournalMode(std::string_view sql);

  // Deep pages by seeking (sqlite_seek.cpp).
  // Rows per step of a seek ladder: a page starts at most this many rows
  // past the nearest remembered key.
  static constexpr std::int64_t kLadderStep = 256;
  static constexpr std::size_t kMaxLadders = 16;
  std::string seekingWindow(std::string_view limited);
  const std::optional<SeekShape>& seekShape(const std::string& statement, std::string_view limited);
  bool isRowKey(const SeekShape& shape);
  bool isIndexOrdered(const SeekShape& shape, const std::string& statement);
  const std::vector<SeekStep>* ladderOf(const std::string& statement, const SeekShape& shape);

  void run(std::string_view sql);
  std::optional<StoredRow> readBackThenCommit(const RowWrite& row, const RowKey& key, OwnTransaction& txn);
  std::optional<StoredRow> readBack(const RowWrite& row, const RowKey& key);
  const std::string& withRowid(std::string_view sql);

  static constexpr std::size_t kRememberedKeyed = 64;

  HandlePtr handle_;
  // Shared with the handle (see Handle::dialect); one session at a time
  // uses a connection, so its memos need no lock.
  std::shared_ptr<SqliteDialect> dialect_;
  std::map<std::string, std::string, std::less<>> keyed_;
  std::map<std::string, std::optional<SeekShape>, std::less<>> shapes_;
  std::uint64_t shapesEpoch_ = 0;  // the handle's epoch shapes_ was found in
};

}  // namespace kvdn::sqlite_internal
