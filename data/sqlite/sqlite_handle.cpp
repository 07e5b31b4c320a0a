#include "sqlite_handle.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

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

std::string sqliteNormalPath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::path(path), ec);
  if (ec) p = std::filesystem::absolute(std::filesystem::path(path), ec).lexically_normal();
  return p.string();
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

}  // namespace kvdn
