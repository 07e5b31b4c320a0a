#include "sqlite_handle.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

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

#if !defined(_WIN32)
// Resolving a path costs a system call or more per component, and every
// page opens its database by the same spelling: the answer is remembered
// per spelling, and used while that spelling still leads to the same file
// (device and inode) as the remembered name does (two stats). A link or
// directory changed to lead elsewhere, a file renamed over or deleted:
// resolved again. Never destroyed, like the generations.
struct ResolvedPaths {
  static constexpr std::size_t kMax = 64;
  struct Entry {
    std::string normal;
    dev_t device;
    ino_t inode;
  };
  std::mutex mutex;
  std::map<std::string, Entry, std::less<>> bySpelling;
};

ResolvedPaths& resolvedPaths() {
  static ResolvedPaths* const all = new ResolvedPaths;
  return *all;
}
#endif

}  // namespace

std::string sqliteNormalPath(const std::string& path) {
#if defined(_WIN32)
  return resolvedPath(path);
#else
  struct stat now {};
  if (::stat(path.c_str(), &now) != 0) return resolvedPath(path);
  ResolvedPaths& memo = resolvedPaths();
  std::string known;
  {
    std::lock_guard lock(memo.mutex);
    auto it = memo.bySpelling.find(path);
    if (it != memo.bySpelling.end() && it->second.device == now.st_dev && it->second.inode == now.st_ino)
      known = it->second.normal;
  }
  // And the remembered name is still that same file (not moved away with
  // the file while the spelling's links were changed to follow it).
  struct stat there {};
  if (!known.empty() && ::stat(known.c_str(), &there) == 0 && there.st_dev == now.st_dev &&
      there.st_ino == now.st_ino)
    return known;
  std::string normal = resolvedPath(path);
  std::lock_guard lock(memo.mutex);
  if (memo.bySpelling.size() >= ResolvedPaths::kMax) memo.bySpelling.clear();
  memo.bySpelling.insert_or_assign(path, ResolvedPaths::Entry{normal, now.st_dev, now.st_ino});
  return normal;
#endif
}

void bumpSqliteFileGeneration(const std::string& path) {
  const std::string key = sqliteNormalPath(path);
  Generations& g = generations();
  std::lock_guard lock(g.mutex);
  ++g.byPath[key];
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
  if (!sqliteStartsAsDatabase(db)) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_close_v2(db);
}

}  // namespace kvdn
