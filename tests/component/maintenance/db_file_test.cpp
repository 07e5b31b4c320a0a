// The database file's lifecycle on real files in a temporary site: create,
// back up (also while another thread writes), restore, compact.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "support/fake_files.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

namespace fs = std::filesystem;

struct Report {
  std::string message;
  long long number = 0;
  std::string description;
};

// Splits "message<br>" + number + "<br>" + description.
std::optional<Report> parseReport(const std::string& out, const std::string& message) {
  if (out.rfind(message, 0) != 0) return std::nullopt;
  std::size_t br = out.find("<br>", message.size());
  if (br == std::string::npos) return std::nullopt;
  Report r;
  r.message = message;
  r.number = std::stoll(out.substr(message.size(), br - message.size()));
  r.description = out.substr(br + 4);
  return r;
}

std::string fileBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class DbFileTest : public testing::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setupDatabase(
        {"create table t(ID integer primary key, name text)", "insert into t(name) values('one'),('two')"});
  }

  // A maintenance page: no connection (these methods never use it), a fixed day.
  testing::TestPage adminPage(int year = 2024, int month = 3, int day = 5, std::string url = "/default.asp") {
    PageRequest r;
    r.url = std::move(url);
    auto p = page(r, false);
    p.db->setClock([=] { return Date::fromParts(year, month, day, 23, 59, 59); });
    return p;
  }

  std::vector<std::vector<std::string>> rows(const fs::path& file) {
    return testing::querySql(file, "select ID, name from t order by ID");
  }

  // Installs the fakes for the three ProgIDs with shared switches.
  std::shared_ptr<FileFailures> fakeComponents() {
    auto failures = std::make_shared<FileFailures>();
    host->classes().add("scripting.filesystemobject",
                        [failures] { return std::make_shared<FakeFileSystem>(failures); });
    host->classes().add("adox.catalog", [failures] { return std::make_shared<FakeCatalog>(failures); });
    host->classes().add("jro.jetengine", [failures] { return std::make_shared<FakeJetEngine>(failures); });
    return failures;
  }

  fs::path backupFile(const char* date) const {
    return root / "database" / (std::string("#") + date + ".bak");
  }
};

// ---------------------------------------------------------------------------
// createDBfile

TEST_F(DbFileTest, CreateRefusesAnExistingFileAndKeepsIt) {
  const std::string before = fileBytes(databaseFile());
  auto p = adminPage();
  EXPECT_FALSE(p.db->createDBfile().boolean());
  EXPECT_EQ(p.output(), "对不起，该数据库已经存在!/database/app.mdb");
  EXPECT_TRUE(p.ended());
  EXPECT_EQ(fileBytes(databaseFile()), before);
}

TEST_F(DbFileTest, CreateMakesAnEmptyDatabaseThatOpens) {
  databasePath = "database/new.mdb";
  auto p = adminPage();
  EXPECT_TRUE(p.db->createDBfile().boolean());
  EXPECT_EQ(p.output(), "");
  EXPECT_FALSE(p.ended());
  ASSERT_TRUE(fs::is_regular_file(databaseFile()));
  EXPECT_EQ(testing::querySql(databaseFile(), "select count(*) from sqlite_master"),
            (std::vector<std::vector<std::string>>{{"0"}}));
  auto q = page();  // connOpen on it works: a real database file, not an empty one
  EXPECT_TRUE(q.db->conn->isOpen());
}

TEST_F(DbFileTest, CreateFailuresAreReportedAndLeaveNoFile) {
  struct Case {
    const char* name;
    std::string database;
    std::function<void()> arrange;
    long long number;
  } cases[] = {
      {"catalog cannot be created", "database/a.mdb",
       [this] { host->failures().progIds.insert("ADOX.Catalog"); }, err::kCannotCreate},
      {"Create fails", "database/b.mdb", [this] { fakeComponents()->operations = {"Create"}; },
       err::kPermissionDenied},
      {"folder missing", "nofolder/c.mdb", [] {}, err::kDbFail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    databasePath = c.database;
    c.arrange();
    auto p = adminPage();
    EXPECT_FALSE(p.db->createDBfile().boolean());
    auto report = parseReport(p.output(), "无法建立，请检查错误信息<br>");
    ASSERT_TRUE(report) << p.output();
    EXPECT_EQ(report->number, c.number);
    EXPECT_FALSE(report->description.empty());
    EXPECT_TRUE(p.ended());
    EXPECT_FALSE(fs::exists(databaseFile()));
    host = std::make_unique<MemoryHost>(root);  // fresh switches and classes
  }
}

// ---------------------------------------------------------------------------
// backupDBfile

TEST_F(DbFileTest, BackupIsDatedAndReplacedOnTheSameDay) {
  auto p = adminPage(2024, 3, 5);
  EXPECT_TRUE(p.db->backupDBfile().boolean());
  EXPECT_EQ(p.output(), "");
  EXPECT_EQ(rows(backupFile("20240305")), rows(databaseFile()));

  setupDatabase({"insert into t(name) values('three')"});
  auto later = adminPage(2024, 3, 5);
  EXPECT_TRUE(later.db->backupDBfile().boolean());
  EXPECT_EQ(rows(backupFile("20240305")).size(), 3u);  // the later copy

  auto newYear = adminPage(2025, 1, 1);  // two-digit month and day
  EXPECT_TRUE(newYear.db->backupDBfile().boolean());
  EXPECT_TRUE(fs::exists(backupFile("20250101")));
  auto list = adminPage();
  EXPECT_EQ(list.db->folderFiles(Variant("database"), Variant(".bak")).joinText(),
            "#20240305.bak|#20250101.bak");
}

TEST_F(DbFileTest, BackupGoesBelowTheCallingPagesFolder) {
  fs::create_directories(root / "admin" / "database");
  auto p = adminPage(2024, 3, 5, "/admin/tools.asp");
  EXPECT_TRUE(p.db->backupDBfile().boolean()) << p.output();
  EXPECT_TRUE(fs::exists(root / "admin" / "database" / "#20240305.bak"));
  EXPECT_FALSE(fs::exists(backupFile("20240305")));
}

TEST_F(DbFileTest, BackupFailuresAreReported) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string url;
    long long number;
  } cases[] = {
      {"live file missing", [this] { fs::remove(databaseFile()); }, "/default.asp", err::kFileNotFound},
      {"backup folder missing", [] {}, "/nowhere/page.asp", err::kDbFail},
      // The file-system object is nothing afterwards; the call on it is the last failure.
      {"file-system object cannot be created",
       [this] { host->failures().progIds.insert("Scripting.FileSystemObject"); }, "/default.asp",
       err::kObjectRequired},
      {"copy fails", [this] { fakeComponents()->operations = {"BackupDatabase"}; }, "/default.asp",
       err::kPermissionDenied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setupDatabase({});
    c.arrange();
    auto p = adminPage(2024, 3, 5, c.url);
    EXPECT_FALSE(p.db->backupDBfile().boolean());
    auto report = parseReport(p.output(), "数据库备份失败！<br>");
    ASSERT_TRUE(report) << p.output();
    EXPECT_EQ(report->number, c.number) << report->description;
    EXPECT_TRUE(p.ended());
    EXPECT_FALSE(fs::exists(backupFile("20240305")));
    host = std::make_unique<MemoryHost>(root);
  }
}

// Commits transactions of five rows on its own connection until destroyed.
class BusyWriter {
 public:
  explicit BusyWriter(const fs::path& file) : thread_([this, file] { run(file); }) {}
  ~BusyWriter() {
    stop_ = true;
    thread_.join();
  }
  long long committed() const { return committed_; }
  void waitFor(long long rows) const {
    while (committed_ < rows) std::this_thread::yield();
  }

 private:
  void run(const fs::path& file) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) std::abort();
    sqlite3_busy_timeout(db, 10000);
    sqlite3_exec(db, "pragma synchronous=off", nullptr, nullptr, nullptr);
    const std::string payload(2000, 'x');
    while (!stop_) {
      // Several statements per transaction: a torn copy would show part of one.
      std::string sql = "begin immediate;";
      for (int k = 0; k < 5; ++k) sql += "insert into w(payload) values('" + payload + "');";
      sql += "commit;";
      if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db, "rollback", nullptr, nullptr, nullptr);
        continue;
      }
      committed_ += 5;
    }
    sqlite3_close(db);
  }

  std::atomic<bool> stop_{false};
  std::atomic<long long> committed_{0};
  std::thread thread_;
};

TEST_F(DbFileTest, BackupWhileAnotherThreadWritesIsConsistent) {
  setupDatabase({"create table w(ID integer primary key, payload text)"});
  BusyWriter writer(databaseFile());
  // A few backups of a growing database, each on its own day.
  for (int day = 1; day <= 3; ++day) {
    SCOPED_TRACE(day);
    writer.waitFor(1500 * day);
    const long long before = writer.committed();
    auto p = adminPage(2024, 3, day);
    const bool ok = p.db->backupDBfile().boolean();
    const long long after = writer.committed();
    ASSERT_TRUE(ok) << p.output();

    const fs::path bak = backupFile(("2024030" + std::to_string(day)).c_str());
    EXPECT_EQ(testing::querySql(bak, "pragma integrity_check"),
              (std::vector<std::vector<std::string>>{{"ok"}}));
    auto stats = testing::querySql(bak, "select count(*), min(ID), max(ID) from w");
    ASSERT_EQ(stats.size(), 1u);
    const long long count = std::stoll(stats[0][0]);
    EXPECT_GE(count, before);  // every row committed before the backup began
    EXPECT_LE(count, after + 5);
    EXPECT_EQ(count % 5, 0);  // whole transactions only
    EXPECT_EQ(stats[0][1], "1");
    EXPECT_EQ(std::stoll(stats[0][2]), count);  // no gaps
  }
}

TEST_F(DbFileTest, RestoreWhileAnotherThreadWritesKeepsTheDatabaseWhole) {
  setupDatabase({"create table w(ID integer primary key, payload text)"});
  {
    BusyWriter writer(databaseFile());
    writer.waitFor(1000);
  }
  auto b = adminPage();
  ASSERT_TRUE(b.db->backupDBfile().boolean()) << b.output();
  const long long saved =
      std::stoll(testing::querySql(backupFile("20240305"), "select count(*) from w")[0][0]);
  {
    BusyWriter writer(databaseFile());
    for (int round = 1; round <= 3; ++round) {
      writer.waitFor(500 * round);
      auto p = adminPage();
      ASSERT_TRUE(p.db->recoveryDBfile(Variant("#20240305.bak")).boolean()) << p.output();
    }
  }
  EXPECT_EQ(testing::querySql(databaseFile(), "pragma integrity_check"),
            (std::vector<std::vector<std::string>>{{"ok"}}));
  // The restored rows, then whole transactions the writer committed since.
  auto stats = testing::querySql(databaseFile(), "select count(*), max(ID) from w");
  const long long count = std::stoll(stats[0][0]);
  EXPECT_GE(count, saved);
  EXPECT_EQ((count - saved) % 5, 0);
  EXPECT_EQ(std::stoll(stats[0][1]), count);
}

// ---------------------------------------------------------------------------
// recoveryDBfile

TEST_F(DbFileTest, RestoreReplacesTheContentUnderAnOpenConnection) {
  auto b = adminPage();
  ASSERT_TRUE(b.db->backupDBfile().boolean());
  setupDatabase({"delete from t", "insert into t(name) values('changed')"});

  auto p = page();  // the page's own connection stays open through the restore
  p.db->setClock([] { return Date::fromParts(2024, 3, 5); });
  EXPECT_EQ(p.db->conn->execute("select count(*) from t")->fields().item(0).value().joinText(), "1");
  EXPECT_TRUE(p.db->recoveryDBfile(Variant("#20240305.bak")).boolean()) << p.output();
  EXPECT_FALSE(p.ended());
  EXPECT_EQ(rows(databaseFile()), (std::vector<std::vector<std::string>>{{"1", "one"}, {"2", "two"}}));
  // The open connection sees the restored database, not a stale or torn one.
  auto rs = p.db->conn->execute("select name from t order by ID");
  EXPECT_EQ(rs->fields().item(0).value().joinText(), "one");
  rs->close();
  p.db->conn->execute("insert into t(name) values('after')");
  EXPECT_EQ(testing::querySql(databaseFile(), "pragma integrity_check"),
            (std::vector<std::vector<std::string>>{{"ok"}}));
  EXPECT_EQ(rows(databaseFile()).size(), 3u);
}

TEST_F(DbFileTest, RestoreOverALiveFileThatIsNoDatabase) {
  auto b = adminPage();
  ASSERT_TRUE(b.db->backupDBfile().boolean());
  std::ofstream(databaseFile(), std::ios::trunc) << "garbage, not a database";
  auto p = adminPage();
  EXPECT_TRUE(p.db->recoveryDBfile(Variant("#20240305.bak")).boolean()) << p.output();
  EXPECT_EQ(rows(databaseFile()).size(), 2u);
}

TEST_F(DbFileTest, RestoreRefusesAndKeepsTheLiveFile) {
  auto b = adminPage();
  ASSERT_TRUE(b.db->backupDBfile().boolean());
  std::ofstream(root / "database" / "broken.bak") << "not a database";
  fs::copy_file(backupFile("20240305"), root / "outside.bak");
  setupDatabase({"insert into t(name) values('live')"});
  const std::string before = fileBytes(databaseFile());

  struct Case {
    Variant name;
    long long number;
  } cases[] = {
      {Variant("../outside.bak"), err::kInvalidCall},
      {Variant("..\\outside.bak"), err::kInvalidCall},
      {Variant("sub/#20240305.bak"), err::kInvalidCall},
      {Variant("\\#20240305.bak"), err::kInvalidCall},
      {Variant(".."), err::kInvalidCall},
      {Variant(""), err::kInvalidCall},
      {Variant::null(), err::kInvalidCall},
      {Variant("#19990101.bak"), err::kFileNotFound},
      {Variant("broken.bak"), err::kDbFail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.joinText());
    auto p = adminPage();
    EXPECT_FALSE(p.db->recoveryDBfile(c.name).boolean());
    auto report = parseReport(p.output(), "数据库恢复失败！<br>");
    ASSERT_TRUE(report) << p.output();
    EXPECT_EQ(report->number, c.number) << report->description;
    EXPECT_FALSE(report->description.empty());
    EXPECT_TRUE(p.ended());
    EXPECT_EQ(fileBytes(databaseFile()), before);
  }
}

// ---------------------------------------------------------------------------
// compactDBfile

TEST_F(DbFileTest, CompactShrinksKeepsEveryRowAndLeavesNoWorkFile) {
  std::vector<std::string> fill{"create table big(ID integer primary key, payload text)", "begin"};
  for (int i = 0; i < 400; ++i) fill.push_back("insert into big(payload) values(hex(randomblob(1000)))");
  fill.push_back("commit");
  fill.push_back("delete from big where ID > 20");
  setupDatabase(fill);
  const auto sizeBefore = fs::file_size(databaseFile());
  const auto rowsBefore = rows(databaseFile());
  // A work file left by an interrupted run is replaced, not an obstacle.
  std::ofstream(databaseFile().string() + ".compact") << "left over";

  auto p = page();  // an open connection on the file, as an admin page has
  EXPECT_TRUE(p.db->compactDBfile().boolean()) << p.output();
  EXPECT_EQ(p.output(), "");
  EXPECT_FALSE(fs::exists(databaseFile().string() + ".compact"));
  EXPECT_LT(fs::file_size(databaseFile()), sizeBefore / 4);
  EXPECT_EQ(rows(databaseFile()), rowsBefore);
  EXPECT_EQ(testing::querySql(databaseFile(), "select count(*) from big"),
            (std::vector<std::vector<std::string>>{{"20"}}));
  EXPECT_EQ(p.db->conn->execute("select count(*) from big")->fields().item(0).value().joinText(), "20");
}

TEST_F(DbFileTest, CompactFailureKeepsTheLiveFile) {
  std::unique_ptr<sqlite3*> locker;
  struct Case {
    const char* name;
    std::function<void()> arrange;
    long long number;
  } cases[] = {
      {"compaction fails", [this] { fakeComponents()->operations = {"CompactDatabase"}; },
       err::kPermissionDenied},
      {"the database stays locked",
       [this, &locker] {
         // Another page's open write transaction outlasts the busy timeout.
         locker = std::make_unique<sqlite3*>(nullptr);
         ASSERT_EQ(sqlite3_open(databaseFile().c_str(), locker.get()), SQLITE_OK);
         ASSERT_EQ(sqlite3_exec(*locker, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
       },
       err::kDbBusy},
      {"engine cannot be created", [this] { host->failures().progIds.insert("JRO.JetEngine"); },
       err::kObjectRequired},
  };
  const std::string before = fileBytes(databaseFile());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    auto p = adminPage();
    EXPECT_FALSE(p.db->compactDBfile().boolean());
    auto report = parseReport(p.output(), "数据库压缩失败！<br>");
    ASSERT_TRUE(report) << p.output();
    EXPECT_EQ(report->number, c.number) << report->description;
    EXPECT_TRUE(p.ended());
    if (locker) sqlite3_close(*locker);  // rolls the transaction back
    locker.reset();
    EXPECT_EQ(fileBytes(databaseFile()), before);
    host = std::make_unique<MemoryHost>(root);
  }
}

// Sixteen pages add rows one statement at a time while compactions run, two
// of them at once: every insert that returned is in the database afterwards,
// and both compactions of a pair succeed.
TEST_F(DbFileTest, CompactionsDuringWritesLoseNoStoredRow) {
  std::vector<std::string> fill{
      "create table w(ID integer primary key, tag text collate nocase, payload text)", "begin"};
  for (int i = 0; i < 300; ++i)
    fill.push_back("insert into w(tag, payload) values('seed', hex(randomblob(800)))");
  fill.push_back("commit");
  fill.push_back("delete from w where ID % 2 = 0");  // something for the compaction to do
  setupDatabase(fill);

  constexpr int kWriters = 16;
  std::atomic<bool> stop{false};
  std::atomic<long long> attempts{0};
  std::vector<std::vector<std::string>> stored(kWriters);
  std::vector<testing::TestPage> pages;  // each writer its own page and connection
  for (int w = 0; w < kWriters; ++w) {
    pages.push_back(page());
    // Durability of each commit is not what is tested here; sparing the
    // disk keeps the test short. Locking is the same.
    pages.back().db->conn->execute("pragma synchronous = off");
  }
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      auto& p = pages[w];
      for (int i = 0; !stop; ++i) {
        // Paced like pages, not a tight loop: sixteen of those would starve
        // one another of the lock, which is no compaction's doing.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::string tag = "w" + std::to_string(w) + "-" + std::to_string(i);
        ++attempts;
        try {
          p.db->conn->execute("insert into w(tag, payload) values('" + tag + "', hex(randomblob(200)))");
        } catch (const ComError&) {
          continue;  // not answered as stored (the lock stayed taken): may be missing
        }
        stored[w].push_back(tag);
      }
    });
  }
  auto compact = [&] {
    auto p = adminPage();
    const bool ok = p.db->compactDBfile().boolean();
    EXPECT_TRUE(ok) << p.output();
  };
  for (int round = 0; round < 3; ++round) {
    const long long target = attempts + 100;
    while (attempts < target) std::this_thread::yield();
    std::thread second(compact);
    compact();
    second.join();
  }
  const long long target = attempts + 100;
  while (attempts < target) std::this_thread::yield();
  stop = true;
  for (auto& t : writers) t.join();

  EXPECT_EQ(testing::querySql(databaseFile(), "pragma integrity_check"),
            (std::vector<std::vector<std::string>>{{"ok"}}));
  std::set<std::string> present;
  for (const auto& row : testing::querySql(databaseFile(), "select tag from w")) present.insert(row[0]);
  long long missing = 0;
  long long total = 0;
  for (const auto& tags : stored) {
    for (const auto& tag : tags) {
      ++total;
      if (!present.count(tag)) ++missing;
    }
  }
  EXPECT_GT(total, 300);
  EXPECT_EQ(missing, 0) << "of " << total << " rows answered as stored";
  for (const char* suffix : {".compact", "-journal"})
    EXPECT_FALSE(fs::exists(databaseFile().string() + suffix));
}

}  // namespace
}  // namespace kvdn
