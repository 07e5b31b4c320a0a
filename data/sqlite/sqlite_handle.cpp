#include "sqlite_handle.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "file_identity.h"
#include "sqlite_internal.h"

namespace kvdn {

namespace {

// Generations by normal absolute path. Never destroyed: sessions may close
// on other threads while the process exits.
struct Generations {
  std::mutex mutex;
  std::map<std::string, std::uint64_t, std::less<>> byPath;
};

Generations& generations() {
  static Generations* const all = new Generations;
  return *all;
}

}  // namespace

namespace {

std::string resolvedPath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::path(path), ec);
  if (ec) p = std::filesystem::absolute(std::filesystem::path(path), ec).lexically_normal();
  return p.string();
}

// Resolving a path costs a system call or more per component, and every
// page opens its database by the same spelling: the answer is remembered
// per spelling, and used while that spelling still leads to the same file
// as the remembered name does (two identity lookups). A link or directory
// changed to lead elsewhere, a file renamed over or deleted: resolved
// again. Never destroyed, like the generations.
struct ResolvedPaths {
  static constexpr std::size_t kMax = 64;
  struct Entry {
    std::string normal;
    FileId id;
  };
  std::mutex mutex;
  std::map<std::string, Entry, std::less<>> bySpelling;
};

ResolvedPaths& resolvedPaths() {
  static ResolvedPaths* const all = new ResolvedPaths;
  return *all;
}

struct IdentityHolder {
  std::mutex mutex;
  std::shared_ptr<const FileIdentity> identity;
};

IdentityHolder& identityHolder() {
  static IdentityHolder* const holder = new IdentityHolder;  // never destroyed, like the generations
  return *holder;
}

}  // namespace

void setFileIdentity(std::shared_ptr<const FileIdentity> identity) {
  IdentityHolder& h = identityHolder();
  std::lock_guard lock(h.mutex);
  h.identity = std::move(identity);
}

std::shared_ptr<const FileIdentity> fileIdentity() {
  IdentityHolder& h = identityHolder();
  std::lock_guard lock(h.mutex);
  return h.identity;
}

namespace {

// The identities remembered for connections whose file layer cannot tell
// whether their file has moved (see sqliteRememberFileId), by connection.
struct OpenedIds {
  std::mutex mutex;
  std::map<const sqlite3*, FileId> byConnection;
};

OpenedIds& openedIds() {
  static OpenedIds* const all = new OpenedIds;  // never destroyed: connections may close at exit
  return *all;
}

bool layerAnswersHasMoved(sqlite3* db, int& moved) noexcept {
  moved = 0;
  return sqlite3_file_control(db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK;
}

std::optional<FileId> identifyMain(sqlite3* db, const FileIdentity& identity) noexcept {
  const char* name = sqlite3_db_filename(db, "main");
  if (!name || !*name) return std::nullopt;  // in memory or temporary: nothing to move
  return identity.identify(name);
}

}  // namespace

void sqliteRememberFileId(sqlite3* db) noexcept {
  if (!db) return;
  std::optional<FileId> id;
  int moved = 0;
  if (!layerAnswersHasMoved(db, moved)) {
    if (const std::shared_ptr<const FileIdentity> identity = fileIdentity()) id = identifyMain(db, *identity);
  }
  OpenedIds& all = openedIds();
  std::lock_guard lock(all.mutex);
  // Set or cleared: an address reused by a later connection never finds an
  // earlier connection's identity.
  try {
    if (id)
      all.byConnection.insert_or_assign(db, *id);
    else
      all.byConnection.erase(db);
  } catch (...) {
    all.byConnection.erase(db);  // out of memory: nothing remembered, the file counts as moved
  }
}

void sqliteForgetFileId(sqlite3* db) noexcept {
  if (!db) return;
  OpenedIds& all = openedIds();
  std::lock_guard lock(all.mutex);
  all.byConnection.erase(db);
}

bool sqliteFileHasMoved(sqlite3* db) noexcept {
  int moved = 0;
  if (layerAnswersHasMoved(db, moved)) return moved != 0;
  std::optional<FileId> opened;
  {
    OpenedIds& all = openedIds();
    std::lock_guard lock(all.mutex);
    auto it = all.byConnection.find(db);
    if (it != all.byConnection.end()) opened = it->second;
  }
  const std::shared_ptr<const FileIdentity> identity = fileIdentity();
  if (!opened || !identity) return true;
  return identifyMain(db, *identity) != opened;
}

std::string sqliteNormalPath(const std::string& path) {
  const std::shared_ptr<const FileIdentity> identity = fileIdentity();
  if (!identity || !sqlite_internal::speedPathsOn()) return resolvedPath(path);
  const std::optional<FileId> now = identity->identify(path);
  if (!now) return resolvedPath(path);
  ResolvedPaths& memo = resolvedPaths();
  std::string known;
  {
    std::lock_guard lock(memo.mutex);
    auto it = memo.bySpelling.find(path);
    if (it != memo.bySpelling.end() && it->second.id == *now) known = it->second.normal;
  }
  // And the remembered name is still that same file (not moved away with
  // the file while the spelling's links were changed to follow it).
  if (!known.empty() && identity->identify(known) == now) return known;
  std::string normal = resolvedPath(path);
  std::lock_guard lock(memo.mutex);
  if (memo.bySpelling.size() >= ResolvedPaths::kMax) memo.bySpelling.clear();
  memo.bySpelling.insert_or_assign(path, ResolvedPaths::Entry{normal, *now});
  return normal;
}

void bumpSqliteFileGeneration(const std::string& path) {
  const std::string key = sqliteNormalPath(path);
  {
    Generations& g = generations();
    std::lock_guard lock(g.mutex);
    ++g.byPath[key];
  }
  sqlite_internal::releasePooled(key);
}

std::uint64_t sqliteFileGeneration(const std::string& normalPath) {
  Generations& g = generations();
  std::lock_guard lock(g.mutex);
  auto it = g.byPath.find(normalPath);
  return it == g.byPath.end() ? 0 : it->second;
}

bool sqliteStartsAsDatabase(sqlite3* db) noexcept {
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

void closeSqliteConnection(sqlite3* db) noexcept {
  if (!db) return;
  sqliteForgetFileId(db);
  if (!sqliteStartsAsDatabase(db)) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_close_v2(db);
}

}  // namespace kvdn
