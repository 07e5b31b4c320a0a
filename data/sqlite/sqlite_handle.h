// The one small owner of SQLite handles for every part of the library that
// talks to SQLite directly (the provider, the database engine, the tests'
// fixtures): a connection and a statement that close themselves, the one
// busy timeout, and the identity checks a kept connection needs.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <utility>

namespace kvdn {

// How long a session waits for a locked database before failing.
inline constexpr int kSqliteBusyTimeoutMs = 5000;

// Remembers the identity of the file `db` has just opened as "main", for
// sqliteFileHasMoved on a file layer that cannot answer SQLITE_FCNTL_HAS_MOVED
// itself (SQLite's Windows layer): then the registered FileIdentity is
// asked, and what it answers kept with `db` until sqliteForgetFileId. Does
// nothing where SQLite answers the question. Never throws.
void sqliteRememberFileId(sqlite3* db) noexcept;
// Drops what sqliteRememberFileId kept for `db`; call before closing it.
void sqliteForgetFileId(sqlite3* db) noexcept;

// One prepared statement, finalized on scope exit.
class SqliteStatement {
 public:
  SqliteStatement() = default;
  explicit SqliteStatement(sqlite3_stmt* st) noexcept : st_(st) {}
  SqliteStatement(SqliteStatement&& other) noexcept : st_(std::exchange(other.st_, nullptr)) {}
  SqliteStatement& operator=(SqliteStatement&& other) noexcept {
    if (this != &other) {
      sqlite3_finalize(st_);
      st_ = std::exchange(other.st_, nullptr);
    }
    return *this;
  }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;
  ~SqliteStatement() { sqlite3_finalize(st_); }

  sqlite3_stmt* get() const noexcept { return st_; }
  explicit operator bool() const noexcept { return st_ != nullptr; }

 private:
  sqlite3_stmt* st_ = nullptr;
};

// One connection, closed on scope exit (sqlite3_close_v2: statements still
// alive keep it until they are finalized).
class SqliteConnection {
 public:
  SqliteConnection() = default;
  explicit SqliteConnection(sqlite3* db) noexcept : db_(db) {}
  SqliteConnection(SqliteConnection&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
  SqliteConnection& operator=(SqliteConnection&& other) noexcept {
    if (this != &other) {
      sqliteForgetFileId(db_);
      sqlite3_close_v2(db_);
      db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
  }
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;
  ~SqliteConnection() {
    sqliteForgetFileId(db_);
    sqlite3_close_v2(db_);
  }

  // Opens `path` (never as a URI) with `flags` and the busy timeout. Returns
  // SQLite's result code; on failure `message` holds its description and the
  // connection is empty.
  static int open(const std::string& path, int flags, SqliteConnection& out, std::string& message) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
      message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
      sqlite3_close_v2(db);
      out = SqliteConnection();
      return rc;
    }
    sqlite3_busy_timeout(db, kSqliteBusyTimeoutMs);
    sqliteRememberFileId(db);
    out = SqliteConnection(db);
    return SQLITE_OK;
  }

  sqlite3* get() const noexcept { return db_; }
  explicit operator bool() const noexcept { return db_ != nullptr; }
  sqlite3* release() noexcept { return std::exchange(db_, nullptr); }

  // Prepares one statement; an empty statement on failure (see errmsg()).
  SqliteStatement prepare(const std::string& sql) const {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK) {
      sqlite3_finalize(st);
      return SqliteStatement();
    }
    return SqliteStatement(st);
  }

  // Runs `sql` (any number of statements, no rows wanted). Returns SQLite's
  // result code.
  int exec(const std::string& sql) const { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }

  const char* errmsg() const noexcept { return db_ ? sqlite3_errmsg(db_) : "no connection"; }

 private:
  sqlite3* db_ = nullptr;
};

// True when the file `db` has open as "main" is no longer the file under its
// name (renamed over, deleted): SQLite compares the name's inode with the
// one it opened; where its file layer cannot, the name's FileIdentity now is
// compared with the one remembered at the open (sqliteRememberFileId); with
// neither, every file counts as moved. A connection in that state must never
// be handed on.
bool sqliteFileHasMoved(sqlite3* db) noexcept;

// False when the file `db` has open as "main" has content and that content
// does not begin with SQLite's header (written over in place, say, which
// neither the inode nor the generation shows). Read through SQLite's own
// file handle: opening and closing the file with another descriptor would
// drop every POSIX lock this process holds on it (the locks belong to the
// process, and any close releases them), after which another process can
// take the file for unused and delete its log under our connections. An
// empty file is an empty database to SQLite; a read failure is left to
// SQLite's own reading to report. Costs one fstat and one 16-byte read.
bool sqliteStartsAsDatabase(sqlite3* db) noexcept;

// Closes `db` (sqlite3_close_v2; null is allowed). The last connection to a
// file in log mode normally copies the log back into the file as it closes;
// when the file no longer starts as a database (written over in place, or
// truncated by something other than SQLite) that copy would write our old
// pages into someone else's file and make a destroyed database look whole
// again, so it is left out and the log stays beside the file.
void closeSqliteConnection(sqlite3* db) noexcept;

// Nothing of a finished session is left in `db`: no statement running, no
// transaction, no read lock (a read transaction in the log), no database
// attached. Only such a connection may be handed to another session.
inline bool sqliteIsQuiet(sqlite3* db) noexcept {
  if (!sqlite3_get_autocommit(db) || sqlite3_txn_state(db, nullptr) != SQLITE_TXN_NONE) return false;
  for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s))
    if (sqlite3_stmt_busy(s)) return false;
  return sqlite3_db_name(db, 2) == nullptr;  // 0 main, 1 temp, 2.. attached
}

// `path` made absolute, with symbolic links and "." / ".." resolved as far as
// the path exists: the name under which a file's connections are kept.
std::string sqliteNormalPath(const std::string& path);

// Whatever replaces, restores, compacts or deletes a database file bumps its
// generation (any spelling of its path); a kept connection opened under an
// older generation of its file is closed instead of handed on, and the
// connections kept idle for it now are closed at once. Bumping before such
// an operation as well releases the file: on Windows a kept connection
// holds the file open, and it can be neither deleted nor renamed over.
// Thread-safe.
void bumpSqliteFileGeneration(const std::string& path);
// The generation of the file at `normalPath` (from sqliteNormalPath); 0 until
// the first bump.
std::uint64_t sqliteFileGeneration(const std::string& normalPath);

}  // namespace kvdn
