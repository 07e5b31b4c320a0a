// A temporary site with the in-memory host and real SQLite databases.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/memory_host.h"

namespace kvdn::testing {

// One temporary folder per test, removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs statements on an SQLite file directly (not through the library),
// creating it and its folders when missing. Fails the test on error.
void runSql(const std::filesystem::path& file, const std::vector<std::string>& statements);
// Reads rows directly, every value as text ("NULL" for null).
std::vector<std::vector<std::string>> querySql(const std::filesystem::path& file, const std::string& sql);

// A page of the site: the context and a dbClass bound to it.
struct TestPage {
  std::shared_ptr<MemoryPage> context;
  std::shared_ptr<DbClass> db;
  std::string output() const { return context->output(); }
  bool ended() const { return context->ended(); }
};

class SiteFixture : public ::testing::Test {
 protected:
  void SetUp() override;

  // Site-relative path of the database the pages open (Access kind).
  std::string databasePath = "database/app.mdb";
  std::filesystem::path databaseFile() const;
  // Creates the database (when missing) and runs the statements on it.
  void setupDatabase(const std::vector<std::string>& statements);

  // A new page bound with OnStartPage; dbType/database set; when
  // `connect`, connOpen has run (and must not have ended the response).
  TestPage page(PageRequest request = {}, bool connect = true);

  std::unique_ptr<TempDir> dir;
  std::filesystem::path root;  // site root
  std::unique_ptr<MemoryHost> host;
};

}  // namespace kvdn::testing
