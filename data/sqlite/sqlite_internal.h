// Internal to the SQLite provider: the shared connection handle, its kept
// statements and counts, prepared statements and the value conversions.
#pragma once

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/provider.h"
#include "sqlite_provider.h"

namespace kvdn::sqlite_internal {

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

inline void finalizeAll(std::list<Idle>& idle) noexcept {
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

// The write-ahead log's index header as the file's shared memory holds it
// (48 bytes: its change counter, frame count and salts among them). Every
// commit, from any connection of any process, writes it anew.
using WalIndexHeader = std::array<unsigned char, 48>;

struct KeptCounts {
  static constexpr std::size_t kMax = 256;
  static constexpr std::size_t kMaxResults = 32;

  bool stamped = false;
  std::int64_t dataVersion = 0;
  std::int64_t ownChanges = 0;
  // The log index header read just before the stamp's data_version, when it
  // could be read: while the header is still the same nothing has been
  // committed since, and the stamp holds without asking SQLite (which would
  // begin and end a read, with its file locks).
  bool headerStamped = false;
  WalIndexHeader header{};
  std::unordered_map<std::string, std::int64_t> byStatement;
  std::unordered_map<std::string, KeptRowsPtr> results;

  // Counts every clear: a result read across one is never kept.
  std::uint64_t epoch = 0;

  void clear() noexcept {
    stamped = false;
    headerStamped = false;
    byStatement.clear();
    results.clear();
    ++epoch;
  }
};

// Whether counts and results are kept at all (keepSqliteCounts).
extern std::atomic<bool> countsKept;

// Whether any speed path is taken (setSqliteSpeedPaths): the pool, kept
// counts and results, kept statements and the dialect's memos, seeking.
// Off, every session behaves as a freshly opened connection that prepares
// every statement anew and pages by offset.
bool speedPathsOn() noexcept;

// What a connection's session left on it that a freshly opened connection
// would not have, as far as a statement can see it. One per connection,
// owned by the connection itself (freed when it closes); the authorizer and
// the functions changes()/total_changes() reach it as their user data.
//
// The rule that keeps a handed-on connection indistinguishable from a new
// one: every piece of connection-scoped state a statement can create or set
// (temporary tables, views, triggers, indexes and virtual tables, attached
// databases, every PRAGMA that sets something, a changed schema) is made
// through a statement whose preparation SQLite submits to the authorizer;
// the authorizer marks the connection `tainted` for any such action, and a
// tainted connection is closed, never handed on. What no authorizer sees,
// the change counters and the last inserted rowid, is reset for each
// session instead (last_insert_rowid() directly, changes() and
// total_changes() through our own functions counting from `baseline`).
// Transactions and read locks are checked when the session ends
// (sqliteIsQuiet).
struct ConnectionState {
  bool tainted = false;  // sticky: the connection is closed after its session
  // Set by the authorizer for an action that changes what prepared
  // statements, kept results or plans mean (schema, settings); taken by the
  // next prepare(), which drops everything kept by the connection.
  bool changed = false;
  std::int64_t baseline = 0;  // sqlite3_total_changes64 when the session began
};

// Installs the authorizer and the counting functions on `db`, and gives it
// its state (owned by `db`). Returns SQLite's result code; on failure
// nothing was installed and `db` owns nothing new.
int installConnectionState(sqlite3* db, ConnectionState*& state);

// Starts a session on `db`: the counters a statement can read begin where a
// new connection's would.
void beginSessionState(sqlite3* db, ConnectionState& state) noexcept;

// One remembered step of a seek ladder: the order key's value at that row,
// as an SQL literal (or Null), and the row's rowid (for an order key that is not
// unique, ties are broken by it).
struct SeekStep {
  std::string key;  // unused when `null`
  std::int64_t rowid = 0;
  bool null = false;  // the key is Null there
};

struct Handle {
  static constexpr std::size_t kMaxIdle = 16;

  sqlite3* db = nullptr;
  ConnectionState* state = nullptr;  // owned by db
  bool closed = false;
  std::list<Idle> idle;  // least recently used first
  // Bumped whenever the connection's state changed under its kept
  // statements (see ConnectionState::changed): a statement prepared under
  // an older epoch is finalized when released, not kept.
  std::uint64_t epoch = 0;
  // Set when the connection may be kept after its session (see SqlitePool);
  // cleared by a close that found the connection in a state it must not be
  // handed on in. `file` and `generation`: which file it was opened on.
  bool poolable = false;
  std::string file;
  std::uint64_t generation = 0;
  KeptCounts counts;
  // Seek ladders of ordered statements, by statement text (see SeekShape);
  // kept and dropped with the counts.
  std::map<std::string, std::vector<SeekStep>, std::less<>> ladders;
  // What the session's dialect remembered of its statements' text (a pure
  // function of the text), kept with the connection: the next page on it
  // mostly runs the same statements. Null until a session makes it.
  std::shared_ptr<Dialect> dialect;
  // Set when the connection put its file in write-ahead-log mode: only then
  // is its log index header read (see KeptCounts). Cleared for good when the
  // session names journal_mode in a statement of its own.
  bool walMode = false;
  // The schema version when the connection was opened, and the log index
  // header when its last session ended (when it could be read): a kept
  // connection is handed on only while the schema is still that version.
  std::int64_t schemaVersion = 0;
  std::string statistics;  // readStatistics when the connection was opened
  bool headerKnown = false;
  WalIndexHeader header{};

  ~Handle();

  // Drops everything the connection keeps that a change of its schema or
  // settings can make wrong: statements, counts, results, ladders.
  void invalidate() {
    dropIdle();
    counts.clear();
    ladders.clear();
    ++epoch;
  }

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

  void give(std::string sql, sqlite3_stmt* st, MetaPtr meta, std::uint64_t preparedIn) {
    if (closed || !db || preparedIn != epoch || !speedPathsOn()) {
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

// The process-wide pool of kept connections (sqlite_pool.cpp).
// A kept connection to `file` (normal path) still good for `generation`, or
// nullptr.
HandlePtr takePooled(const std::string& file, std::uint64_t generation);
// Keeps the connection of `h` when it may be handed on, else closes it;
// takes the connection out of `h`.
void givePooled(Handle& h) noexcept;
// Closes the kept connections to `file` (normal path) now. Sessions open on
// it are not affected.
void releasePooled(const std::string& file) noexcept;

// The log index header of `db`'s file (see WalIndexHeader), or nullopt (not
// in write-ahead-log mode, no shared memory, a commit writing it just now).
std::optional<WalIndexHeader> readWalIndexHeader(sqlite3* db) noexcept;

// The schema version of `db`'s main database (PRAGMA schema_version), or
// nullopt when it cannot be read.
std::optional<std::int64_t> readSchemaVersion(sqlite3* db) noexcept;

// The planner's statistics of `db`'s main database (the rows of
// sqlite_stat1) as one text, "" when there are none, nullopt when they
// cannot be read. A connection reads them with the schema only, so an
// ANALYZE by another connection (which leaves the schema version alone)
// changes the plans, and the order of equal keys, of new connections only.
std::optional<std::string> readStatistics(sqlite3* db) noexcept;

// A prepared statement; goes back to its handle's idle list when released.
class Statement {
 public:
  Statement() = default;
  Statement(HandlePtr handle, std::string sql, sqlite3_stmt* st, MetaPtr meta = nullptr)
      : handle_(std::move(handle)),
        sql_(std::move(sql)),
        st_(st),
        meta_(std::move(meta)),
        epoch_(handle_->epoch) {}
  Statement(Statement&& other) noexcept
      : handle_(std::move(other.handle_)),
        sql_(std::move(other.sql_)),
        st_(std::exchange(other.st_, nullptr)),
        meta_(std::move(other.meta_)),
        epoch_(other.epoch_) {}
  Statement& operator=(Statement&& other) noexcept {
    if (this != &other) {
      release();
      handle_ = std::move(other.handle_);
      sql_ = std::move(other.sql_);
      st_ = std::exchange(other.st_, nullptr);
      meta_ = std::move(other.meta_);
      epoch_ = other.epoch_;
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
    if (st_) handle_->give(std::move(sql_), std::exchange(st_, nullptr), std::move(meta_), epoch_);
  }

  HandlePtr handle_;
  std::string sql_;
  sqlite3_stmt* st_ = nullptr;
  MetaPtr meta_;
  std::uint64_t epoch_ = 0;
};

bool startsWithNoCase(std::string_view s, std::string_view prefix);

// An engine failure as the page sees it: the OLE DB style number for its
// kind, SQLite's own description.
[[noreturn]] void raiseEngine(int rc, std::string message);
[[noreturn]] void raiseFrom(sqlite3* db, int rc);
[[noreturn]] void raiseClosed();

// Columns declared DATE, TIME, DATETIME (any declared type naming a date or
// a time) read their text as a Date.
bool isDateType(const char* declared);

// The value of column `i` of the current row (see sqlite_cursor.cpp).
Variant readValue(sqlite3_stmt* st, int i, bool dateColumn);

// Binds `v` to parameter `index`; a String is not copied: `v` must outlive
// the statement's use. Throws ComError.
void bindValue(sqlite3* db, sqlite3_stmt* st, int index, const Variant& v);

// The statement `sql` on `h`, from its kept statements or prepared now.
// Throws ComError (closed handle, engine failure, more than one statement).
Statement prepare(const HandlePtr& h, std::string_view sql);

// `s`, or "" for a null pointer.
std::string text(const char* s);

}  // namespace kvdn::sqlite_internal
