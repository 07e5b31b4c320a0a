// What the fuzz targets share: a temporary site with one SQLite database
// made once per process, and a page of the in-memory host bound to it.
// Without the test-support library (it brings googletest, which a fuzzer
// and the replay driver do without).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/memory_host.h"

namespace kvdn::fuzz {

// The input as text (any bytes, embedded NULs included).
inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Splits the input at the first "\n": two texts from one input.
inline std::pair<std::string_view, std::string_view> split2(std::string_view s) {
  const std::size_t nl = s.find('\n');
  if (nl == std::string_view::npos) return {s, {}};
  return {s.substr(0, nl), s.substr(nl + 1)};
}

// Runs statements on the file directly; aborts on failure (a broken setup is
// the harness's fault, never a finding).
inline void runSqlOrDie(const std::filesystem::path& file, const std::vector<std::string>& statements) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) std::abort();
  for (const std::string& sql : statements) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  }
  sqlite3_close(db);
}

// A site folder under the temporary folder, removed at exit, holding
// database/app.mdb (an SQLite file) made by `setup`.
class FuzzSite {
 public:
  explicit FuzzSite(const std::vector<std::string>& setup) {
    std::random_device rd;
    root_ = std::filesystem::temp_directory_path() / ("kvdn-fuzz-" + std::to_string(rd()));
    std::filesystem::create_directories(root_ / "database");
    runSqlOrDie(databaseFile(), setup);
    host_ = std::make_unique<MemoryHost>(root_);
  }
  ~FuzzSite() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FuzzSite(const FuzzSite&) = delete;
  FuzzSite& operator=(const FuzzSite&) = delete;

  std::filesystem::path databaseFile() const { return root_ / "database/app.mdb"; }

  // A page with a dbClass bound to it; connOpen has run when `connect`.
  struct Page {
    std::shared_ptr<MemoryPage> context;
    std::shared_ptr<DbClass> db;
  };
  Page page(bool connect, const PageRequest& request = {}) {
    Page p;
    p.context = host_->newPage(request);
    p.db = std::make_shared<DbClass>();
    p.db->OnStartPage(p.context);
    p.db->dbType = Variant("access");
    p.db->database = Variant("/database/app.mdb");
    if (connect) p.db->connOpen();
    return p;
  }

 private:
  std::filesystem::path root_;
  std::unique_ptr<MemoryHost> host_;
};

}  // namespace kvdn::fuzz
