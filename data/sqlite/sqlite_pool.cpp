// The pool of kept SQLite connections: closed sessions' connections handed
// to the next open of the same file, with their statements and counts.
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "sqlite_handle.h"
#include "sqlite_internal.h"

namespace kvdn {
namespace sqlite_internal {

namespace {

// Connections of closed sessions, kept for the next open of the same file:
// opening a file and reading its schema costs far more than a page's
// statements, and a kept connection keeps its prepared statements and
// counts too.
//
// Kept only when nothing of its session survives in it (sqliteIsQuiet: no
// statement running, no transaction, no read lock, nothing attached), so
// that a full pool never stands in the way of a writer, a checkpoint or an
// exclusive lock. Handed out again only while its file is still the file
// under that name (SQLite's own inode check: not renamed over, not deleted),
// has not been restored, compacted or replaced by this process since (the
// file's generation), and still begins as a database (not written over in
// place by something that is not SQLite).
//
// Bounded per file and in all; connections idle for a minute, or whose file
// has gone, are closed on the next visit to the pool (at most once a
// second), and every kept connection is closed at exit. The pool itself is
// never destroyed (sessions may still close on other threads while the
// process exits); after the exit hook it keeps nothing more.
struct SqlitePoolEntry {
  sqlite3* db;
  ConnectionState* state;
  std::list<Idle> idle;
  std::string file;
  std::uint64_t generation;
  KeptCounts counts;
  std::map<std::string, std::vector<SeekStep>, std::less<>> ladders;
  std::shared_ptr<Dialect> dialect;
  bool walMode;
  std::int64_t schemaVersion;
  std::string statistics;
  std::optional<WalIndexHeader> header;  // when the session ended
  std::chrono::steady_clock::time_point since;
};

// The schema and the planner's statistics are still the ones the connection
// was opened with: nothing was committed since its session ended (the log
// index header is the same), or the schema version and the statistics say
// so. A connection whose schema changed under it would describe statements
// by the old schema until each runs (SQLite prepares by the schema it last
// read), and one whose statistics changed would plan by the old ones (and
// so order equal keys otherwise than a new connection): neither is handed
// on.
bool schemaStillCurrent(const SqlitePoolEntry& entry) noexcept {
  if (entry.header) {
    const std::optional<WalIndexHeader> now = readWalIndexHeader(entry.db);
    if (now && *now == *entry.header) return true;
  }
  const std::optional<std::int64_t> version = readSchemaVersion(entry.db);
  if (!version || *version != entry.schemaVersion) return false;
  const std::optional<std::string> statistics = readStatistics(entry.db);
  return statistics && *statistics == entry.statistics;
}

class SqlitePool {
 public:
  static constexpr std::size_t kPerFile = 8;
  static constexpr std::size_t kTotal = 64;
  static constexpr auto kMaxIdleTime = std::chrono::seconds(60);
  static constexpr auto kSweepEvery = std::chrono::seconds(1);

  static SqlitePool& instance() {
    static SqlitePool* const pool = [] {
      auto* p = new SqlitePool;  // never deleted, see above
#if !defined(_WIN32)
      // Not in the Windows DLL: there the hook would run while the library
      // is unloaded, under the loader lock, where closing connections is
      // unsafe. Commits are in the log already; the next open recovers it.
      std::atexit([] { instance().clear(true); });
#endif
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
    while (!found) {
      std::optional<SqlitePoolEntry> candidate;
      {
        std::lock_guard lock(mutex_);
        sweepLocked(doomed);
        auto it = byPath_.find(file);
        if (it == byPath_.end()) break;
        auto& list = it->second;
        candidate.emplace(std::move(list.back()));
        list.pop_back();
        --total_;
        if (list.empty()) byPath_.erase(it);
      }
      // The file checks (a stat, a read) are made outside the lock: the
      // entry is this thread's alone now, and other opens need not wait.
      SqlitePoolEntry& entry = *candidate;
      if (entry.generation == generation && !sqliteFileHasMoved(entry.db) &&
          sqliteStartsAsDatabase(entry.db) && schemaStillCurrent(entry)) {
        found = std::make_shared<Handle>();
        found->db = entry.db;
        found->state = entry.state;
        found->schemaVersion = entry.schemaVersion;
        found->statistics = std::move(entry.statistics);
        found->idle = std::move(entry.idle);
        found->file = std::move(entry.file);
        found->generation = entry.generation;
        found->counts = std::move(entry.counts);
        found->ladders = std::move(entry.ladders);
        found->dialect = std::move(entry.dialect);
        found->walMode = entry.walMode;
        found->poolable = true;
        std::lock_guard lock(mutex_);
        ++reused_;
      } else {
        doomed.push_back(std::move(entry));
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
      doomed.push_back(SqlitePoolEntry{
          std::exchange(h.db, nullptr), h.state, std::move(h.idle), std::move(h.file), h.generation,
          std::move(h.counts), std::move(h.ladders), std::move(h.dialect), h.walMode, h.schemaVersion,
          std::move(h.statistics), std::nullopt, std::chrono::steady_clock::now()});
      SqlitePoolEntry& entry = doomed.front();
      if (speedPathsOn() && entry.state && !entry.state->tainted && sqliteIsQuiet(entry.db) &&
          !sqliteFileHasMoved(entry.db) && sqliteFileGeneration(entry.file) == entry.generation) {
        if (entry.walMode) entry.header = readWalIndexHeader(entry.db);
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
      closeSqliteConnection(std::exchange(h.db, nullptr));
    }
    closeAll(doomed);
  }

  // Closes the kept connections to `file` (normal path).
  void release(const std::string& file) noexcept {
    std::vector<SqlitePoolEntry> doomed;
    {
      std::lock_guard lock(mutex_);
      auto it = byPath_.find(file);
      if (it == byPath_.end()) return;
      for (auto& entry : it->second) doomed.push_back(std::move(entry));
      total_ -= it->second.size();
      byPath_.erase(it);
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
      closeSqliteConnection(entry.db);
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

}  // namespace

Handle::~Handle() {
  if (db && poolable && closed) {
    givePooled(*this);
    return;
  }
  dropIdle();
  closeSqliteConnection(db);
}

HandlePtr takePooled(const std::string& file, std::uint64_t generation) {
  return SqlitePool::instance().take(file, generation);
}

void givePooled(Handle& h) noexcept {
  SqlitePool::instance().give(h);
}

void releasePooled(const std::string& file) noexcept {
  SqlitePool::instance().release(file);
}

}  // namespace sqlite_internal

SqlitePoolStats sqlitePoolStats() {
  return sqlite_internal::SqlitePool::instance().stats();
}

void clearSqlitePool() {
  sqlite_internal::SqlitePool::instance().clear(false);
}

}  // namespace kvdn
