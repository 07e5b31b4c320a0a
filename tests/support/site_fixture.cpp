#include "support/site_fixture.h"

#include <sqlite3.h>

#include "sqlite_handle.h"

#include <atomic>
#include <random>

namespace kvdn::testing {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate = base / ("kvdn-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void runSql(const std::filesystem::path& file, const std::vector<std::string>& statements) {
  std::filesystem::create_directories(file.parent_path());
  SqliteConnection db;
  std::string message;
  ASSERT_EQ(SqliteConnection::open(file.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, db, message),
            SQLITE_OK)
      << message;
  for (const auto& sql : statements) {
    char* msg = nullptr;
    int rc = sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &msg);
    EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (msg ? msg : "");
    sqlite3_free(msg);
  }
}

std::vector<std::vector<std::string>> querySql(const std::filesystem::path& file, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  SqliteConnection db;
  std::string message;
  if (SqliteConnection::open(file.string(), SQLITE_OPEN_READONLY, db, message) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << file << ": " << message;
    return rows;
  }
  SqliteStatement st = db.prepare(sql);
  if (!st) {
    ADD_FAILURE() << sql << ": " << db.errmsg();
    return rows;
  }
  while (sqlite3_step(st.get()) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(st.get()); ++i) {
      const unsigned char* text = sqlite3_column_text(st.get(), i);
      row.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

void SiteFixture::SetUp() {
  dir = std::make_unique<TempDir>();
  root = dir->path() / "site";
  std::filesystem::create_directories(root / "database");
  host = std::make_unique<MemoryHost>(root);
}

std::filesystem::path SiteFixture::databaseFile() const {
  return root / databasePath;
}

void SiteFixture::setupDatabase(const std::vector<std::string>& statements) {
  runSql(databaseFile(), statements);
}

TestPage SiteFixture::page(PageRequest request, bool connect) {
  TestPage p;
  p.context = host->newPage(request);
  p.db = std::make_shared<DbClass>();
  p.db->OnStartPage(p.context);
  p.db->dbType = Variant("access");
  p.db->database = Variant("/" + databasePath);
  if (connect) {
    if (!std::filesystem::exists(databaseFile())) runSql(databaseFile(), {});
    p.db->connOpen();
    EXPECT_FALSE(p.ended()) << "connOpen ended the response: " << p.output();
  }
  return p;
}

}  // namespace kvdn::testing
