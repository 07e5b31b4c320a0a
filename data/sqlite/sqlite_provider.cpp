#include "sqlite_provider.h"

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/text.h"
#include "sql_text.h"
#include "sqlite_handle.h"

namespace kvdn {

namespace {

// The database handle, shared by the session and its cursors so that a
// cursor never outlives the handle it reads from. The session's close marks
// it closed and resets every statement (releasing the file locks); the
// handle itself goes when the last cursor goes: its connection, with its
// kept statements and counts, to the pool (SqlitePool) when it may be handed
// on, else closed.
//
// Prepared statements are kept for reuse by their exact text once their
// cursor is done with them: a page that asks for the same count and page
// again (or a session that runs the same insert per row) compiles nothing.
// What a cursor reports about a statement's columns, computed once per
// prepared statement and kept with it.
struct Meta {
  int first = 0;  // columns before this one are hidden (the key)
  std::vector<ColumnInfo> columns;
  std::vector<unsigned char> dates;  // per column: read text as a Date
};
using MetaPtr = std::shared_ptr<const Meta>;

struct Idle {
  std::string sql;
  sqlite3_stmt* st;
  MetaPtr meta;
};

void finalizeAll(std::list<Idle>& idle) noexcept {
  for (auto& entry : idle) sqlite3_finalize(entry.st);
  idle.clear();
}

// Row counts of statements, kept by the connection while the database has
// not changed. The stamp is what the connection saw when they were taken:
// PRAGMA data_version (changes whenever another connection, in this process
// or another, commits) and the connection's own total change count (which
// data_version does not follow). Statements whose text names anything
// whose value changes without a write (the clock, random numbers) are never
// kept. Only used outside explicit transactions: a count taken inside one
// could outlive its rollback.
// The rows of a read-only query, kept with the counts (same stamp): the
// menu's and a page's statements read again between two writes.
struct KeptRows {
  static constexpr std::size_t kMaxRows = 1000;  // larger results are not kept
  MetaPtr meta;
  std::vector<std::vector<Variant>> rows;
};
using KeptRowsPtr = std::shared_ptr<const KeptRows>;

struct KeptCounts {
  static constexpr std::size_t kMax = 256;
  static constexpr std::size_t kMaxResults = 32;

  bool stamped = false;
  std::int64_t dataVersion = 0;
  std::int64_t ownChanges = 0;
  std::unordered_map<std::string, std::int64_t> byStatement;
  std::unordered_map<std::string, KeptRowsPtr> results;

  // Counts every clear: a result read across one is never kept.
  std::uint64_t epoch = 0;

  void clear() noexcept {
    stamped = false;
    byStatement.clear();
    results.clear();
    ++epoch;
  }
};

struct SqlitePoolEntry;

std::atomic<bool> countsKept{true};

struct Handle {
  static constexpr std::size_t kMaxIdle = 16;

  sqlite3* db = nullptr;
  bool closed = false;
  std::list<Idle> idle;  // least recently used first
  // Set when the connection may be kept after its session (see SqlitePool);
  // cleared by a close that found the connection in a state it must not be
  // handed on in. `file` and `generation`: which file it was opened on.
  bool poolable = false;
  std::string file;
  std::uint64_t generation = 0;
  KeptCounts counts;
  // Seek ladders of ordered statements, by statement text (see SeekShape);
  // kept and dropped with the counts.
  std::map<std::string, std::vector<std::int64_t>, std::less<>> ladders;

  ~Handle();

  std::optional<Idle> take(std::string_view sql) {
    for (auto it = idle.rbegin(); it != idle.rend(); ++it) {
      if (it->sql == sql) {
        Idle found = std::move(*it);
        idle.erase(std::next(it).base());
        return found;
      }
    }
    return std::nullopt;
  }

  void give(std::string sql, sqlite3_stmt* st, MetaPtr meta) {
    if (closed || !db) {
      sqlite3_finalize(st);
      return;
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    idle.push_back(Idle{std::move(sql), st, std::move(meta)});
    if (idle.size() > kMaxIdle) {
      sqlite3_finalize(idle.front().st);
      idle.pop_front();
    }
  }

  void dropIdle() { finalizeAll(idle); }
};
using HandlePtr = std::shared_ptr<Handle>;

// Connections of closed sessions, kept for the next open of the same file:
// opening a file and reading its schema costs far more than a page's
// statements, and a kept connection keeps its prepared statements and
// counts too.
//
// Kept only when nothing of its session survives in it (sqliteIsQuiet: no
// statement running, no transaction, no read lock, nothing attached), so
// that a full pool never stands in the way of a writer, a checkpoint or an
// exclusive lock. Handed out again only while its file is still the file
// under that name (SQLite's own inode check: not renamed over, not deleted)
// and has not been restored, compacted or replaced by this process since
// (the file's generation).
//
// Bounded per file and in all; connections idle for a minute, or whose file
// has gone, are closed on the next visit to the pool (at most once a
// second), and every kept connection is closed at exit. The pool itself is
// never destroyed (sessions may still close on other threads while the
// process exits); after the exit hook it keeps nothing more.
struct SqlitePoolEntry {
  sqlite3* db;
  std::list<Idle> idle;
  std::string file;
  std::uint64_t generation;
  KeptCounts counts;
  std::map<std::string, std::vector<std::int64_t>, std::less<>> ladders;
  std::chrono::steady_clock::time_point since;
};

class SqlitePool {
 public:
  static constexpr std::size_t kPerFile = 8;
  static constexpr std::size_t kTotal = 64;
  static constexpr auto kMaxIdleTime = std::chrono::seconds(60);
  static constexpr auto kSweepEvery = std::chrono::seconds(1);

  static SqlitePool& instance() {
    static SqlitePool* const pool = [] {
      auto* p = new SqlitePool;  // never deleted, see above
      std::atexit([] { instance().clear(true); });
      return p;
    }();
    return *pool;
  }

  // A kept connection to `file` (normal path) that is still good for its
  // current `generation`, or nullptr. Kept connections found stale on the
  // way are closed.
  HandlePtr take(const std::string& file, std::uint64_t generation) {
    std::vector<SqlitePoolEntry> doomed;
    HandlePtr found;
    {
      std::lock_guard lock(mutex_);
      sweepLocked(doomed);
      auto it = byPath_.find(file);
      if (it != byPath_.end()) {
        auto& list = it->second;
        while (!list.empty() && !found) {
          SqlitePoolEntry entry = std::move(list.back());
          list.pop_back();
          --total_;
          if (entry.generation == generation && !sqliteFileHasMoved(entry.db)) {
            found = std::make_shared<Handle>();
            found->db = entry.db;
            found->idle = std::move(entry.idle);
            found->file = std::move(entry.file);
            found->generation = entry.generation;
            found->counts = std::move(entry.counts);
            found->ladders = std::move(entry.ladders);
            found->poolable = true;
            ++reused_;
          } else {
            doomed.push_back(std::move(entry));
          }
        }
        if (list.empty()) byPath_.erase(it);
      }
    }
    closeAll(doomed);
    return found;
  }

  // Keeps the connection of `h` when it is quiet, still on its file and
  // generation, and there is room; else closes it. Takes the connection out
  // of `h`.
  void give(Handle& h) noexcept {
    std::vector<SqlitePoolEntry> doomed;
    try {
      doomed.push_back(SqlitePoolEntry{std::exchange(h.db, nullptr), std::move(h.idle), std::move(h.file),
                                       h.generation, std::move(h.counts), std::move(h.ladders),
                                       std::chrono::steady_clock::now()});
      SqlitePoolEntry& entry = doomed.front();
      if (sqliteIsQuiet(entry.db) && !sqliteFileHasMoved(entry.db) &&
          sqliteFileGeneration(entry.file) == entry.generation) {
        std::lock_guard lock(mutex_);
        sweepLocked(doomed);
        if (!shutDown_ && total_ < kTotal) {
          auto& list = byPath_[doomed.front().file];
          if (list.size() < kPerFile) {
            list.push_back(std::move(doomed.front()));
            doomed.erase(doomed.begin());
            ++total_;
          }
        }
      }
    } catch (...) {
      // No room to keep it (out of memory): closed below.
    }
    if (h.db) {  // not moved out (out of memory before that)
      finalizeAll(h.idle);
      sqlite3_close_v2(std::exchange(h.db, nullptr));
    }
    closeAll(doomed);
  }

  // Closes every kept connection; `forGood`: and keeps none from now on.
  void clear(bool forGood) noexcept {
    std::vector<SqlitePoolEntry> doomed;
    {
      std::lock_guard lock(mutex_);
      if (forGood) shutDown_ = true;
      for (auto& [path, list] : byPath_)
        for (auto& entry : list) doomed.push_back(std::move(entry));
      byPath_.clear();
      total_ = 0;
    }
    closeAll(doomed);
  }

  SqlitePoolStats stats() {
    std::lock_guard lock(mutex_);
    return SqlitePoolStats{total_, reused_};
  }

 private:
  // Moves expired connections, and those whose file has gone or changed,
  // into `doomed`. Called with the mutex held.
  void sweepLocked(std::vector<SqlitePoolEntry>& doomed) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSweep_ < kSweepEvery) return;
    lastSweep_ = now;
    for (auto it = byPath_.begin(); it != byPath_.end();) {
      auto& list = it->second;
      for (auto e = list.begin(); e != list.end();) {
        if (now - e->since > kMaxIdleTime || sqliteFileHasMoved(e->db)) {
          doomed.push_back(std::move(*e));
          e = list.erase(e);
          --total_;
        } else {
          ++e;
        }
      }
      it = list.empty() ? byPath_.erase(it) : std::next(it);
    }
  }

  static void closeAll(std::vector<SqlitePoolEntry>& doomed) noexcept {
    for (auto& entry : doomed) {
      finalizeAll(entry.idle);
      sqlite3_close_v2(entry.db);
    }
    doomed.clear();
  }

  std::mutex mutex_;
  std::unordered_map<std::string, std::vector<SqlitePoolEntry>> byPath_;
  std::size_t total_ = 0;
  std::uint64_t reused_ = 0;
  bool shutDown_ = false;
  std::chrono::steady_clock::time_point lastSweep_{};
};

Handle::~Handle() {
  if (db && poolable && closed) {
    SqlitePool::instance().give(*this);
    return;
  }
  dropIdle();
  if (db) sqlite3_close_v2(db);
}

// A prepared statement; goes back to its handle's idle list when released.
class Statement {
 public:
  Statement() = default;
  Statement(HandlePtr handle, std::string sql, sqlite3_stmt* st, MetaPtr meta = nullptr)
      : handle_(std::move(handle)), sql_(std::move(sql)), st_(st), meta_(std::move(meta)) {}
  Statement(Statement&& other) noexcept
      : handle_(std::move(other.handle_)),
        sql_(std::move(other.sql_)),
        st_(std::exchange(other.st_, nullptr)),
        meta_(std::move(other.meta_)) {}
  Statement& operator=(Statement&& other) noexcept {
    if (this != &other) {
      release();
      handle_ = std::move(other.handle_);
      sql_ = std::move(other.sql_);
      st_ = std::exchange(other.st_, nullptr);
      meta_ = std::move(other.meta_);
    }
    return *this;
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { release(); }

  sqlite3_stmt* get() const { return st_; }
  const MetaPtr& meta() const { return meta_; }
  void setMeta(MetaPtr meta) { meta_ = std::move(meta); }

 private:
  void release() {
    if (st_) handle_->give(std::move(sql_), std::exchange(st_, nullptr), std::move(meta_));
  }

  HandlePtr handle_;
  std::string sql_;
  sqlite3_stmt* st_ = nullptr;
  MetaPtr meta_;
};

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

Statement prepare(const HandlePtr& h, std::string_view sql) {
  if (!h || h->closed) raiseClosed();
  if (auto cached = h->take(sql))
    return Statement(h, std::move(cached->sql), cached->st, std::move(cached->meta));
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  // Persistent: the statement is likely to be kept for reuse (see Handle).
  int rc = sqlite3_prepare_v3(h->db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                              &raw, &tail);
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

 private:
  HandlePtr handle_;
  std::unique_ptr<SqliteCursor> inner_;
  std::string sql_;
  std::uint64_t epoch_;
  MetaPtr meta_;
  bool recording_ = true;
  std::vector<std::vector<Variant>> rows_;
};

// The statements of one session are few and repeat (a page asks for the
// count and a page of the same query; a writer inserts row after row), so
// the results of the text work are remembered per session.
class SqliteDialect final : public Dialect {
 public:
  std::string translate(std::string_view s) const override {
    return remember(translated_, s, [](std::string_view t) { return sql::translateTop(t); });
  }
  bool isQuery(std::string_view s) const override { return analysis(s).query; }
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

  struct Analysis {
    bool query = false;
    bool limited = false;
    std::string statement;  // without a trailing ";" and comments
    std::string count;
  };

  template <class T, class F>
  static const T& remember(std::map<std::string, T, std::less<>>& memo, std::string_view key, F make) {
    if (auto it = memo.find(key); it != memo.end()) return it->second;
    if (memo.size() >= kRemembered) memo.clear();
    return memo.emplace(std::string(key), make(key)).first->second;
  }

  const Analysis& analysis(std::string_view s) const {
    return remember(analyses_, s, [](std::string_view t) {
      sql::Shape shape = sql::shapeOf(t);
      Analysis a;
      a.query = shape.query;
      a.limited = shape.limited;
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
// WITH), ordered by one column that is the table's whole primary key of
// declared type INTEGER (the row key: unique, never Null), or by rowid
// itself, and that no column of the result renames. Every other statement
// pages by OFFSET as before.
struct SeekShape {
  std::string head;       // "SELECT columns FROM table"
  std::string condition;  // the WHERE condition, or ""
  std::string table;      // unquoted
  std::string key;        // the ORDER BY column as written
  bool descending = false;
};

std::string unquotedName(std::string_view name) {
  if (name.size() >= 2 &&
      ((name.front() == '"' && name.back() == '"') || (name.front() == '[' && name.back() == ']') ||
       (name.front() == '`' && name.back() == '`'))) {
    return std::string(name.substr(1, name.size() - 2));
  }
  return std::string(name);
}

std::optional<SeekShape> seekShapeOf(std::string_view statement) {
  const sql::Shape shape = sql::shapeOf(statement);
  if (!shape.query || shape.limited || shape.compound || shape.distinct || shape.grouped) return std::nullopt;
  const std::string_view text = sql::trimStatement(statement);
  const sql::TokenList t(text);
  std::size_t select = sql::npos;
  const std::size_t columns = t.afterSelect(&select);
  if (columns == sql::npos || select != t.nextSig(0) || t.isWord(columns, "top")) return std::nullopt;
  const std::size_t from = t.findOuter(columns, "from");
  const std::size_t order = t.outerOrderBy();
  if (from == sql::npos || order == sql::npos || order < from) return std::nullopt;
  const std::size_t table = t.nextSig(from + 1);
  if (!t.isName(table)) return std::nullopt;
  const std::size_t afterTable = t.nextSig(table + 1);
  std::size_t where = sql::npos;
  if (t.isWord(afterTable, "where")) {
    where = afterTable;
  } else if (afterTable != order) {
    return std::nullopt;  // an alias, a join, a list of tables
  }
  for (const char* word : {"having", "window"}) {
    if (t.findWord(from, order, word) != sql::npos) return std::nullopt;
  }
  const std::size_t by = t.nextSig(order + 1);
  const std::size_t key = t.nextSig(by + 1);
  if (!t.isWord(by, "by") || !t.isName(key)) return std::nullopt;
  std::size_t last = key;
  bool descending = false;
  const std::size_t direction = t.nextSig(key + 1);
  if (t.isWord(direction, "asc") || t.isWord(direction, "desc")) {
    descending = t.isWord(direction, "desc");
    last = direction;
  }
  if (t.lastSig(0, t.size()) != last) return std::nullopt;  // more after the key
  // The key as a result column may only be the column itself: "x AS key",
  // "x key" or "t.key" would make the seek compare another value.
  const std::string keyName = asciiLower(unquotedName(t.str(key)));
  for (std::size_t i = columns; i < from; i = t.skipGroup(i)) {
    if (t.trivia(i) || !t.isName(i) || asciiLower(unquotedName(t.str(i))) != keyName) continue;
    const std::size_t before = t.prevSig(i);
    const std::size_t after = t.nextSig(i + 1);
    if (!(i == columns || t.isPunct(before, ',')) || !(after == from || t.isPunct(after, ','))) {
      return std::nullopt;
    }
  }
  SeekShape out;
  out.head = std::string(text.substr(0, t.tokens[where != sql::npos ? where : order].begin));
  if (where != sql::npos) {
    const std::size_t b = t.tokens[where].end;
    out.condition = std::string(text.substr(b, t.tokens[order].begin - b));
    if (sql::trimStatement(out.condition).empty()) return std::nullopt;
  }
  out.table = unquotedName(t.str(table));
  out.key = std::string(t.str(key));
  out.descending = descending;
  return out;
}

class SqliteSession final : public DataSession {
 public:
  explicit SqliteSession(HandlePtr handle) : handle_(std::move(handle)) {}
  ~SqliteSession() override { close(); }

  const Dialect& dialect() const override { return dialect_; }

  std::unique_ptr<Cursor> query(std::string_view requested, bool wantKeys) override {
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

  ExecuteResult execute(std::string_view sql) override {
    if (mayKeepRows(sql)) {
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
      if (sqlite3_stmt_readonly(st.get()) && mayKeepRows(sql)) {
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

  std::int64_t count(std::string_view sql) override {
    const std::string& counting = dialect_.countRows(sql);
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

  StoredRow insertRow(const RowWrite& row) override {
    std::string sql = "INSERT INTO " + sql::quoteIdentifier(row.table);
    if (row.columns.empty()) {
      sql += " DEFAULT VALUES";
    } else {
      std::string names;
      std::string marks;
      for (const auto& c : row.columns) {
        if (!names.empty()) {
          names += ", ";
          marks += ", ";
        }
        names += sql::quoteIdentifier(c);
        marks += '?';
      }
      sql += " (" + names + ") VALUES (" + marks + ")";
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

  std::optional<StoredRow> updateRow(const RowWrite& row, const RowKey& key) override {
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

  void begin() override { run("BEGIN"); }
  void commit() override { run("COMMIT"); }
  void rollback() override {
    handle_->counts.clear();
    handle_->ladders.clear();
    run("ROLLBACK");
  }

  void close() override {
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

  // Whether the count statement `counting` may be answered from, and kept
  // in, the connection's kept counts; drops them when the database changed
  // since they were taken (see KeptCounts).
  bool mayKeepCount(const std::string& counting) {
    if (!countsKept.load(std::memory_order_relaxed) || !isStableText(counting)) return false;
    return keptStillValid();
  }

  // Whether the rows of the query `sql` may be answered from, and kept in,
  // the connection's kept results: a SELECT (or VALUES) whose text names
  // nothing that changes without a write, outside transactions.
  bool mayKeepRows(std::string_view sql) {
    if (!countsKept.load(std::memory_order_relaxed) || !dialect_.isQuery(sql) || !isStableText(sql))
      return false;
    return keptStillValid();
  }

  std::unique_ptr<Cursor> keeping(std::string_view sql, Statement st) {
    if (!sqlite3_stmt_readonly(st.get()))
      return std::make_unique<SqliteCursor>(handle_, std::move(st), false);
    auto inner = std::make_unique<SqliteCursor>(handle_, std::move(st), false);
    MetaPtr meta = inner->meta();
    auto cursor = std::make_unique<KeepingCursor>(handle_, std::move(inner), std::string(sql));
    cursor->setMeta(std::move(meta));
    return cursor;
  }

  // Rows per step of a seek ladder: a page starts at most this many rows
  // past the nearest remembered key.
  static constexpr std::int64_t kLadderStep = 256;
  static constexpr std::size_t kMaxLadders = 16;

  // The statement to run for `limited` when it is a window (limitRows) of a
  // statement of the seek shape, beyond its first step: the page's rows are
  // found by seeking to the remembered key of the nearest step before them,
  // then skipping fewer than kLadderStep rows. "" when the window is read as
  // it stands (not a window, not of that shape, near the start, inside a
  // transaction, or the ladder cannot be had).
  std::string seekingWindow(std::string_view limited) {
    const SqliteDialect::Window* window = dialect_.window(limited);
    if (!window || window->offset < kLadderStep) return {};
    const std::optional<SeekShape>& shape = seekShape(window->statement);
    if (!shape || !keptStillValid()) return {};
    const std::vector<std::int64_t>* ladder = ladderOf(window->statement, *shape);
    if (!ladder) return {};
    const auto step = static_cast<std::size_t>(window->offset / kLadderStep);
    if (step >= ladder->size()) return {};
    std::string out = shape->head;
    out += shape->condition.empty() ? " WHERE " : " WHERE (" + shape->condition + ") AND ";
    out += shape->key;
    out += shape->descending ? " <= " : " >= ";
    out += std::to_string((*ladder)[step]);
    out += " ORDER BY " + shape->key + (shape->descending ? " DESC" : "");
    out += " LIMIT " + std::to_string(window->limit < 0 ? -1 : window->limit);
    const std::int64_t skip = window->offset - static_cast<std::int64_t>(step) * kLadderStep;
    if (skip > 0) out += " OFFSET " + std::to_string(skip);
    return out;
  }

  // The seek shape of `statement` on this connection's schema, remembered.
  const std::optional<SeekShape>& seekShape(const std::string& statement) {
    if (auto it = shapes_.find(statement); it != shapes_.end()) return it->second;
    if (shapes_.size() >= kRememberedKeyed) shapes_.clear();
    std::optional<SeekShape> shape = seekShapeOf(statement);
    if (shape && !isRowKey(*shape)) shape.reset();
    return shapes_.emplace(statement, std::move(shape)).first->second;
  }

  // The key is the table's row key: rowid by one of its names, or the only
  // primary-key column, declared INTEGER.
  bool isRowKey(const SeekShape& shape) {
    const std::string key = asciiLower(unquotedName(shape.key));
    if (key == "rowid" || key == "_rowid_" || key == "oid") return true;
    try {
      Statement st =
          prepare(handle_, "SELECT lower(name), upper(type) FROM pragma_table_info(?1) WHERE pk > 0");
      bindValue(handle_->db, st.get(), 1, Variant(shape.table));
      int keys = 0;
      bool match = false;
      while (sqlite3_step(st.get()) == SQLITE_ROW) {
        ++keys;
        const std::string name = text(reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0)));
        const std::string type = text(reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 1)));
        match = name == key && type == "INTEGER";
      }
      return keys == 1 && match;
    } catch (const ComError&) {
      return false;
    }
  }

  // Every kLadderStep-th key of `statement` in its order, built with one
  // pass over the keys and kept until the database changes.
  const std::vector<std::int64_t>* ladderOf(const std::string& statement, const SeekShape& shape) {
    auto& ladders = handle_->ladders;
    if (auto it = ladders.find(statement); it != ladders.end()) return &it->second;
    if (ladders.size() >= kMaxLadders) ladders.clear();
    std::string keys = "SELECT " + shape.key + " FROM " + sql::quoteIdentifier(shape.table);
    if (!shape.condition.empty()) keys += " WHERE " + shape.condition;
    keys += " ORDER BY " + shape.key + (shape.descending ? " DESC" : "");
    std::vector<std::int64_t> ladder;
    try {
      Statement st = prepare(handle_, keys);
      std::int64_t n = 0;
      int rc;
      while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        if (n++ % kLadderStep == 0) {
          if (sqlite3_column_type(st.get(), 0) != SQLITE_INTEGER) return nullptr;
          ladder.push_back(sqlite3_column_int64(st.get(), 0));
        }
      }
      if (rc != SQLITE_DONE) return nullptr;
    } catch (const ComError&) {
      return nullptr;
    }
    return &ladders.emplace(statement, std::move(ladder)).first->second;
  }

  // Whether what the connection keeps (counts, ladders) may be used now:
  // outside explicit transactions only; everything kept is dropped when
  // the database changed since it was taken (see KeptCounts).
  bool keptStillValid() {
    sqlite3* db = checked()->db;
    if (!sqlite3_get_autocommit(db)) return false;
    std::int64_t version = 0;
    {
      Statement st = prepare(handle_, "PRAGMA data_version");
      if (sqlite3_step(st.get()) != SQLITE_ROW) return false;
      version = sqlite3_column_int64(st.get(), 0);
    }
    const std::int64_t own = sqlite3_total_changes64(db);
    KeptCounts& kept = handle_->counts;
    if (!kept.stamped || kept.dataVersion != version || kept.ownChanges != own) {
      kept.clear();
      handle_->ladders.clear();
      kept.stamped = true;
      kept.dataVersion = version;
      kept.ownChanges = own;
    }
    return true;
  }

  // False for statement texts naming a function whose value changes without
  // any write (the clock, random numbers, change counters); a false alarm
  // only costs the count again.
  static bool isStableText(std::string_view sql) {
    const std::string lower = asciiLower(sql);
    for (const char* word : {"random", "now", "current_", "changes", "last_insert_rowid", "date", "time",
                             "julianday", "unixepoch", "data_version", "sqlite_"}) {
      if (lower.find(word) != std::string::npos) return false;
    }
    return true;
  }

  void run(std::string_view sql) {
    Statement st = prepare(checked(), sql);
    int rc = sqlite3_step(st.get());
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) raiseFrom(handle_->db, rc);
  }

  // readBack() within `txn`, which is then committed. A failed read still
  // keeps the row written (as two autocommit statements would) and reports
  // the read's failure.
  std::optional<StoredRow> readBackThenCommit(const RowWrite& row, const RowKey& key, OwnTransaction& txn) {
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
  std::optional<StoredRow> readBack(const RowWrite& row, const RowKey& key) {
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
  const std::string& withRowid(std::string_view sql) {
    if (auto it = keyed_.find(sql); it != keyed_.end()) return it->second;
    if (keyed_.size() >= kRememberedKeyed) keyed_.clear();
    return keyed_.emplace(std::string(sql), sql::withLeadingColumn(sql, "rowid")).first->second;
  }

  static constexpr std::size_t kRememberedKeyed = 64;

  HandlePtr handle_;
  SqliteDialect dialect_;
  std::map<std::string, std::string, std::less<>> keyed_;
  std::map<std::string, std::optional<SeekShape>, std::less<>> shapes_;
};

// The SQL function htmlEncode(x): texts (and blobs, read as text) as
// htmlCellText gives them, Null as Null, numbers unchanged (they hold no
// markup, and their type stays a number).
void htmlEncodeFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (argc != 1) return sqlite3_result_null(context);
  sqlite3_value* value = argv[0];
  switch (sqlite3_value_type(value)) {
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const unsigned char* p = sqlite3_value_text(value);
      const int n = sqlite3_value_bytes(value);
      if (!p) {
        // A zero-length blob may read as no text at all; otherwise out of memory.
        if (n == 0) return sqlite3_result_text(context, "", 0, SQLITE_STATIC);
        return sqlite3_result_error_nomem(context);
      }
      const std::string out =
          htmlCellText(std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)));
      return sqlite3_result_text64(context, out.data(), out.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    case SQLITE_NULL:
      return sqlite3_result_null(context);
    default:
      return sqlite3_result_value(context, value);
  }
}

// Readers never wait for a writer: the file is put in write-ahead-log mode
// (once; the mode is kept in the file). synchronous=NORMAL: a commit is
// written to the log before it is answered, so a crash of the process loses
// nothing answered as stored (the log is in the operating system's hands
// and the next open replays it); the log is synced at each checkpoint, so
// only a crash of the whole machine can lose the last commits, never the
// file's consistency. A file that cannot be switched (read-only, locked by
// a long writer) keeps its mode and is used as it is.
void useWriteAheadLog(sqlite3* db) {
  sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
}

// False when the file `db` has open as "main" has content and that content
// does not begin with SQLite's header. Read through SQLite's own file
// handle: opening and closing the file with another descriptor would drop
// every POSIX lock this process holds on it (the locks belong to the
// process, and any close releases them), after which another process can
// take the file for unused and delete its log under our connections. An
// empty file is an empty database to SQLite; a read failure is left to
// SQLite's own reading to report.
bool startsAsDatabase(sqlite3* db) {
  static constexpr char kHeader[] = "SQLite format 3";  // with its terminating zero: 16 bytes
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
      !file->pMethods)
    return true;
  sqlite3_int64 size = 0;
  if (file->pMethods->xFileSize(file, &size) != SQLITE_OK || size == 0) return true;
  char head[sizeof kHeader] = {};
  const int rc = file->pMethods->xRead(file, head, static_cast<int>(sizeof head), 0);
  if (rc == SQLITE_IOERR_SHORT_READ) return false;
  if (rc != SQLITE_OK) return true;
  return std::memcmp(head, kHeader, sizeof head) == 0;
}

class SqliteProvider final : public Provider {
 public:
  std::string name() const override { return "SQLite file"; }

  bool accepts(const ConnectionString& cs) const override {
    const std::string provider = asciiLower(cs.value("provider"));
    return provider == "microsoft.jet.oledb.4.0" || provider == "microsoft.jet.oledb.3.51" ||
           provider == "microsoft.ace.oledb.12.0";
  }

  std::unique_ptr<DataSession> open(const ConnectionString& cs) override {
    std::string path = cs.value("data source");
    if (path.empty()) raise(err::kDbFail, "The connection string names no database file (Data Source).");
    // A path is a path: never let SQLite read it as a URI (which could ask for
    // the file to be created or opened in another mode).
    if (startsWithNoCase(path, "file:")) path = "./" + path;
    // Named once as the pool names it; a kept connection of the same file
    // and generation serves the open.
    std::string file = sqliteNormalPath(path);
    const std::uint64_t generation = sqliteFileGeneration(file);
    if (HandlePtr pooled = SqlitePool::instance().take(file, generation))
      return std::make_unique<SqliteSession>(std::move(pooled));
    auto handle = std::make_shared<Handle>();
    {
      SqliteConnection connection;
      std::string message;
      int rc = SqliteConnection::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, connection, message);
      if (rc != SQLITE_OK) raiseEngine(SQLITE_CANTOPEN, std::move(message));
      handle->db = connection.release();
    }
    // A file that does not start as a database is refused before anything
    // is read from it: in write-ahead-log mode a log left beside it by the
    // database that used to be there would otherwise be read in its place.
    if (!startsAsDatabase(handle->db)) raiseEngine(SQLITE_CANTOPEN, sqlite3_errstr(SQLITE_NOTADB));
    int rc = SQLITE_OK;
    // Pure and harmless: usable in views, indexes and triggers too.
    rc = sqlite3_create_function_v2(handle->db, std::string(kHtmlEncodeFunction).c_str(), 1,
                                    SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                    htmlEncodeFunction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) raiseEngine(rc, sqlite3_errmsg(handle->db));
    // A file that is not a database opens without complaint; the first read
    // of the schema tells.
    {
      Statement st = prepare(handle, "SELECT count(*) FROM sqlite_master");
      rc = sqlite3_step(st.get());
      if (rc != SQLITE_ROW) {
        std::string message = sqlite3_errmsg(handle->db);
        raiseEngine((rc & 0xff) == SQLITE_BUSY ? rc : SQLITE_CANTOPEN, std::move(message));
      }
    }
    useWriteAheadLog(handle->db);
    handle->file = std::move(file);
    handle->generation = generation;
    handle->poolable = true;
    return std::make_unique<SqliteSession>(std::move(handle));
  }
};

}  // namespace

std::shared_ptr<Provider> makeSqliteProvider() {
  return std::make_shared<SqliteProvider>();
}

SqlitePoolStats sqlitePoolStats() {
  return SqlitePool::instance().stats();
}

void keepSqliteCounts(bool on) {
  countsKept.store(on, std::memory_order_relaxed);
}

void clearSqlitePool() {
  SqlitePool::instance().clear(false);
}

void registerSqliteProvider(ProviderRegistry& registry) {
  registry.add(makeSqliteProvider());
}

}  // namespace kvdn
