// The catalog and the engine over SQLite: empty database files, compaction
// by VACUUM INTO, and copies through the online backup API.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

#include "kvdn/files.h"
#include "kvdn/text.h"
#include "sqlite_engine.h"
#include "sqlite_handle.h"
#include "utf8_path.h"

namespace kvdn {

namespace fs = std::filesystem;

namespace {

// How long a copy keeps retrying when the lock still is not free.
constexpr auto kCopyDeadline = std::chrono::seconds(10);

[[noreturn]] void raiseEngine(int rc, std::string_view message, std::string_view path) {
  const std::int32_t number = (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) ? err::kDbBusy : err::kDbFail;
  raise(number, std::string(message) + " (" + std::string(path) + ")");
}

// Waits for a lock by trying again every millisecond until the busy timeout
// has passed. SQLite's own handler backs off to 100 ms between tries, and
// its locks are not queued: a page that takes the write lock again a few
// microseconds after each commit was starving a restore or a compaction for
// seconds (past the copy deadline under load). Trying often takes the gaps
// between that page's transactions.
int pollEveryMillisecond(void* start, int tries) {
  auto* since = static_cast<std::chrono::steady_clock::time_point*>(start);
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) *since = now;
  if (now - *since >= std::chrono::milliseconds(kSqliteBusyTimeoutMs)) return 0;
  sqlite3_sleep(1);
  return 1;
}

// One database handle of the engine, closed on scope exit.
class Db {
 public:
  // Opens `path` read-write (read-only when the file is); `create` allows a
  // new file. An empty path would give SQLite's private temporary database:
  // refused.
  Db(const std::string& path, bool create) : path_(path) {
    if (path.empty()) raise(err::kDbFail, "No database file was named");
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    std::string message;
    int rc = SqliteConnection::open(path, flags, db_, message);
    if (rc != SQLITE_OK) raiseEngine(rc, message, path);
    sqlite3_busy_handler(db_.get(), pollEveryMillisecond, &waitingSince_);
    sqlite3_extended_result_codes(db_.get(), 0);
  }

  sqlite3* get() const { return db_.get(); }
  const std::string& path() const { return path_; }

  // Runs one statement to its end; `bind` is bound to ?1 when given.
  // Returns SQLite's result code; raises nothing.
  int run(const char* sql, const std::string* bind = nullptr) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr);
    SqliteStatement st(raw);
    if (rc == SQLITE_OK) {
      if (bind) sqlite3_bind_text(raw, 1, bind->c_str(), static_cast<int>(bind->size()), SQLITE_TRANSIENT);
      while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
      }
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    return rc;
  }
  void runOrRaise(const char* sql, const std::string* bind = nullptr) {
    int rc = run(sql, bind);
    if (rc != SQLITE_OK) raiseEngine(rc, sqlite3_errmsg(db_.get()), path_);
  }
  // Reads the schema: this is where a file that is not a database shows.
  int probe() { return run("SELECT count(*) FROM sqlite_master"); }

 private:
  std::string path_;
  SqliteConnection db_;
  std::chrono::steady_clock::time_point waitingSince_{};
};

bool isRegularFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(pathFromUtf8(path), ec);
}

bool existsAtAll(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(pathFromUtf8(path), ec));
}

// The log and shared-memory files beside a database file: they belong to
// the file that wrote them. Left beside a new file under the same name, the
// log would be replayed over it (its frames carry no mark of the file).
void removeLogOf(const std::string& path) {
  std::error_code ec;
  for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(pathFromUtf8(path + suffix), ec);
}

void removeQuietly(const std::string& path) {
  std::error_code ec;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) fs::remove(pathFromUtf8(path + suffix), ec);
}

// A name beside `path` that no other copy in this process or another uses.
std::string scratchNameBeside(const DurableFiles& files, const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".partial-" + std::to_string(files.processId()) + "-" + std::to_string(counter++);
}

// Copies the whole of `from` into `to` in one backup step, so that the source
// is read under one read lock (a consistent snapshot) and the destination is
// written in one transaction. Retries while a lock stays taken.
void onlineCopy(Db& from, Db& to) {
  sqlite3_backup* backup = sqlite3_backup_init(to.get(), "main", from.get(), "main");
  if (!backup) raiseEngine(sqlite3_errcode(to.get()), sqlite3_errmsg(to.get()), to.path());
  const auto deadline = std::chrono::steady_clock::now() + kCopyDeadline;
  int rc;
  for (;;) {
    rc = sqlite3_backup_step(backup, -1);
    if (rc == SQLITE_DONE) break;
    if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && std::chrono::steady_clock::now() < deadline) {
      sqlite3_sleep(20);
      continue;
    }
    break;
  }
  int finish = sqlite3_backup_finish(backup);
  if (rc == SQLITE_DONE && finish == SQLITE_OK) return;
  if (rc == SQLITE_DONE) rc = finish;
  // The failing side: the source when it is not a readable database.
  const bool sourceSide = rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
  if (sourceSide && from.probe() != SQLITE_OK) raiseEngine(rc, sqlite3_errmsg(from.get()), from.path());
  raiseEngine(rc, sqlite3_errstr(rc), to.path());
}

// The source must be a database file; its schema is read once to show it.
void requireDatabase(Db& source) {
  int rc = source.probe();
  if (rc != SQLITE_OK) raiseEngine(rc, sqlite3_errmsg(source.get()), source.path());
}

void requireSourceFile(const std::string& path) {
  if (!isRegularFile(path)) raise(err::kDbFail, "Could not find file '" + path + "'");
}

// A fresh copy of `source` written beside `destination` and renamed over it.
void copyAsNewFile(const DurableFiles& files, Db& source, const std::string& destination) {
  const std::string scratch = scratchNameBeside(files, destination);
  removeQuietly(scratch);
  try {
    {
      Db target(scratch, true);
      // The scratch file is nobody's database until it is renamed into
      // place complete, so it needs no journal; it is made durable once,
      // below, instead of at each of SQLite's commit steps.
      target.runOrRaise("PRAGMA journal_mode = OFF");
      target.runOrRaise("PRAGMA synchronous = OFF");
      onlineCopy(source, target);
    }
    files.syncFile(scratch);
    // Whatever log the file under this name left is not the new file's.
    // Kept connections to it go first (on Windows they hold it open).
    bumpSqliteFileGeneration(destination);
    removeLogOf(destination);
    std::error_code ec;
    fs::rename(pathFromUtf8(scratch), pathFromUtf8(destination), ec);
    bumpSqliteFileGeneration(destination);
    if (ec) raise(err::kDbFail, ec.message() + " (" + destination + ")");
    files.syncFolderOf(destination);
  } catch (...) {
    removeQuietly(scratch);
    throw;
  }
}

// "Data Source" of a Jet connection string. Keys match case-insensitively,
// blanks around keys and values are dropped.
std::string jetDataSource(std::string_view connection) {
  std::string provider;
  std::string source;
  bool hasSource = false;
  std::size_t pos = 0;
  while (pos <= connection.size()) {
    std::size_t semi = connection.find(';', pos);
    if (semi == std::string_view::npos) semi = connection.size();
    std::string_view pair = connection.substr(pos, semi - pos);
    std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos) {
      std::string key = trimBlanks(pair.substr(0, eq));
      std::string value = trimBlanks(pair.substr(eq + 1));
      if (iequals(key, "Provider")) provider = value;
      if (iequals(key, "Data Source")) {
        source = value;
        hasSource = true;
      }
    }
    pos = semi + 1;
  }
  if (!iequals(provider, "Microsoft.Jet.OLEDB.4.0")) {
    raise(err::kDbFail, "Provider cannot be found. It may not be properly installed.");
  }
  if (!hasSource || source.empty()) raise(err::kDbFail, "The connection string names no database file");
  return source;
}

class SqliteCatalog final : public Catalog {
 public:
  explicit SqliteCatalog(std::shared_ptr<const DurableFiles> files) : files_(std::move(files)) {}
  void create(std::string_view connectionString) override {
    const std::string path = jetDataSource(connectionString);
    if (!files_->createNewFile(path)) raise(err::kDbFail, "Database already exists (" + path + ")");
    try {
      // A log left by an older file of this name would replay into this one.
      removeLogOf(path);
      Db db(path, false);
      // An empty file is a database to SQLite only by convention; writing the
      // header makes it one that every tool recognises. Created in
      // write-ahead-log mode, as every open would make it.
      db.runOrRaise("PRAGMA user_version = 0");
      db.runOrRaise("PRAGMA journal_mode = WAL");
    } catch (...) {
      removeQuietly(path);
      throw;
    }
    bumpSqliteFileGeneration(path);
    files_->syncFolderOf(path);
  }

 private:
  std::shared_ptr<const DurableFiles> files_;
};

class SqliteJetEngine final : public JetEngine {
 public:
  explicit SqliteJetEngine(std::shared_ptr<const DurableFiles> files) : files_(std::move(files)) {}
  void compactDatabase(std::string_view sourceConnection, std::string_view destinationConnection) override {
    const std::string source = jetDataSource(sourceConnection);
    const std::string destination = jetDataSource(destinationConnection);
    requireSourceFile(source);
    if (existsAtAll(destination)) raise(err::kDbFail, "Database already exists (" + destination + ")");
    Db db(source, false);
    removeLogOf(destination);
    int rc = db.run("VACUUM INTO ?1", &destination);
    bumpSqliteFileGeneration(destination);
    if (rc != SQLITE_OK) {
      std::string message = sqlite3_errmsg(db.get());
      removeQuietly(destination);
      raiseEngine(rc, message, source);
    }
    files_->syncFolderOf(destination);
  }

  void compactInPlace(std::string_view path) override {
    const std::string file(path);
    requireSourceFile(file);
    Db db(file, false);
    requireDatabase(db);
    // VACUUM takes the database's exclusive lock first and keeps it to its
    // commit; its rollback journal makes it all or nothing. Its busy
    // handler is the handle's timeout: a long transaction of another page
    // makes the compaction fail, never wait for ever.
    int rc = db.run("VACUUM");
    if (rc != SQLITE_OK) raiseEngine(rc, sqlite3_errmsg(db.get()), file);
    // Connections kept for this file start again from the compacted file.
    bumpSqliteFileGeneration(file);
    // In write-ahead-log mode the compacted pages sit in the log: fold them
    // into the file and empty the log, so that the file shrinks now. A page
    // reading meanwhile only delays that to a later checkpoint.
    db.run("PRAGMA wal_checkpoint(TRUNCATE)");
  }

  void backupDatabase(std::string_view source, std::string_view destination) override {
    const std::string from(source);
    const std::string to(destination);
    requireSourceFile(from);
    if (to.empty()) raise(err::kDbFail, "No backup file was named");
    Db db(from, false);
    copyAsNewFile(*files_, db, to);
  }

  void restoreDatabase(std::string_view source, std::string_view destination) override {
    const std::string from(source);
    const std::string to(destination);
    requireSourceFile(from);
    Db src(from, false);
    requireDatabase(src);
    if (!isRegularFile(to)) {
      copyAsNewFile(*files_, src, to);
      return;
    }
    {
      Db dst(to, false);
      int rc = dst.probe();
      if (rc == SQLITE_OK) {
        onlineCopy(src, dst);
        bumpSqliteFileGeneration(to);
        // In write-ahead-log mode the new content sits in the log (the old
        // pages in it are superseded, never replayed over it); fold it into
        // the file so that the file shows its new size. Failing that is
        // harmless.
        dst.run("PRAGMA wal_checkpoint(TRUNCATE)");
        return;
      }
      if (rc != SQLITE_NOTADB && rc != SQLITE_CORRUPT) raiseEngine(rc, sqlite3_errmsg(dst.get()), to);
    }
    // The destination is not a database any more (the usual reason to
    // restore): nothing can be open on it usefully, so replace the file.
    copyAsNewFile(*files_, src, to);
  }

 private:
  std::shared_ptr<const DurableFiles> files_;
};

}  // namespace

namespace {
// The ids are the classes' DISPIDs: never renumber one.
constexpr Member kCatalogMembers[] = {{"Create", 1, Member::kMethod, 1, 1}};
constexpr MemberTable kCatalogTable("Catalog", kCatalogMembers);
constexpr Member kJetEngineMembers[] = {{"CompactDatabase", 1, Member::kMethod, 2, 2}};
constexpr MemberTable kJetEngineTable("JetEngine", kJetEngineMembers);
}  // namespace

const MemberTable& Catalog::members() const noexcept {
  return kCatalogTable;
}

Variant Catalog::invoke(std::string_view name, std::vector<Variant>& args) {
  bindMember(kCatalogTable, name, Member::kMethod, args.size());
  create(args[0].toString());
  return Variant();
}

const MemberTable& JetEngine::members() const noexcept {
  return kJetEngineTable;
}

Variant JetEngine::invoke(std::string_view name, std::vector<Variant>& args) {
  bindMember(kJetEngineTable, name, Member::kMethod, args.size());
  compactDatabase(args[0].toString(), args[1].toString());
  return Variant();
}

std::shared_ptr<Catalog> makeSqliteCatalogOver(std::shared_ptr<const DurableFiles> files) {
  if (!files) raise(err::kDbFail, "No durable file operations were given to the database engine");
  return std::make_shared<SqliteCatalog>(std::move(files));
}
std::shared_ptr<JetEngine> makeSqliteJetEngineOver(std::shared_ptr<const DurableFiles> files) {
  if (!files) raise(err::kDbFail, "No durable file operations were given to the database engine");
  return std::make_shared<SqliteJetEngine>(std::move(files));
}

}  // namespace kvdn
