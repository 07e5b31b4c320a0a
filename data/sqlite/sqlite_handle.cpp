#include "sqlite_handle.h"

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

}  // namespace kvdn
