// The catalog and the engine on real SQLite files: what they refuse, and
// that a failed copy leaves its destination as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "kvdn/files.h"
#include "sqlite_engine.h"
#include "support/errors.h"
#include "support/fake_durable_files.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using ::kvdn::testing::errorOf;

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

std::string fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SqliteEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = std::make_unique<testing::TempDir>(); }
  std::string at(const char* name) const { return (dir->path() / name).string(); }
  static std::string jet(const std::string& path) {
    return "Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + path;
  }
  static std::string bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void makeDb(const char* name, const char* value) {
    testing::runSql(at(name),
                    {"create table t(v text)", std::string("insert into t values('") + value + "')"});
  }

  std::unique_ptr<testing::TempDir> dir;
};

TEST_F(SqliteEngineTest, CatalogCreatesOnlyNewFilesFromJetStrings) {
  auto catalog = makeSqliteCatalog();
  catalog->create("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + at("a.mdb"));
  EXPECT_EQ(testing::querySql(at("a.mdb"), "select count(*) from sqlite_master"), (Rows{{"0"}}));
  std::vector<Variant> args{Variant(" provider = microsoft.jet.oledb.4.0 ; DATA SOURCE = " + at("b.mdb"))};
  catalog->invoke("Create", args);
  EXPECT_TRUE(fs::exists(at("b.mdb")));

  const std::string before = bytes(at("a.mdb"));
  struct Case {
    const char* what;
    std::string connection;
  } cases[] = {
      {"file exists", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + at("a.mdb")},
      {"other provider", "Provider=sqloledb;Data Source=" + at("c.mdb")},
      {"no path", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source="},
      {"missing folder", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + at("no/c.mdb")},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errorOf([&] { catalog->create(c.connection); }), err::kDbFail) << c.what;
  EXPECT_EQ(bytes(at("a.mdb")), before);
  EXPECT_FALSE(fs::exists(at("c.mdb")));
}

TEST_F(SqliteEngineTest, CompactRefusesAnExistingDestinationOrMissingSource) {
  makeDb("live.mdb", "live");
  auto engine = makeSqliteJetEngine();
  std::ofstream(at("work")) << "occupied";
  EXPECT_EQ(errorOf([&] { engine->compactDatabase(jet(at("live.mdb")), jet(at("work"))); }), err::kDbFail);
  EXPECT_EQ(bytes(at("work")), "occupied");
  EXPECT_EQ(errorOf([&] { engine->compactDatabase(jet(at("none.mdb")), jet(at("out"))); }), err::kDbFail);
  EXPECT_FALSE(fs::exists(at("none.mdb")));  // never created by trying
  std::vector<Variant> args{Variant(jet(at("live.mdb"))), Variant(jet(at("out.mdb")))};
  engine->invoke("CompactDatabase", args);
  EXPECT_EQ(testing::querySql(at("out.mdb"), "select v from t"), (Rows{{"live"}}));
}

TEST_F(SqliteEngineTest, FailedCopiesLeaveTheDestinationAsItWas) {
  makeDb("good.mdb", "good");
  makeDb("dest.mdb", "dest");
  std::ofstream(at("junk.bak")) << "this is no database, it only has a name";
  const std::string before = bytes(at("dest.mdb"));
  auto engine = makeSqliteJetEngine();
  EXPECT_EQ(errorOf([&] { engine->backupDatabase(at("junk.bak"), at("dest.mdb")); }), err::kDbFail);
  EXPECT_EQ(errorOf([&] { engine->restoreDatabase(at("junk.bak"), at("dest.mdb")); }), err::kDbFail);
  EXPECT_EQ(errorOf([&] { engine->restoreDatabase(at("none.bak"), at("dest.mdb")); }), err::kDbFail);
  EXPECT_EQ(errorOf([&] { engine->backupDatabase(at("good.mdb"), ""); }), err::kDbFail);
  EXPECT_EQ(bytes(at("dest.mdb")), before);
  // No scratch files are left beside it.
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir->path())) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 3);

  engine->backupDatabase(at("good.mdb"), at("dest.mdb"));
  EXPECT_EQ(testing::querySql(at("dest.mdb"), "select v from t"), (Rows{{"good"}}));
}

TEST_F(SqliteEngineTest, CompactInPlaceKeepsTheContentAndRefusesWhatIsNoDatabase) {
  makeDb("live.mdb", "kept");
  testing::runSql(at("live.mdb"), {"create table big(p text)",
                                   "insert into big values(hex(randomblob(200000)))", "drop table big"});
  const auto before = fs::file_size(at("live.mdb"));
  auto engine = makeSqliteJetEngine();
  engine->compactInPlace(at("live.mdb"));
  EXPECT_LT(fs::file_size(at("live.mdb")), before);
  EXPECT_EQ(testing::querySql(at("live.mdb"), "select v from t"), (Rows{{"kept"}}));
  EXPECT_FALSE(fs::exists(at("live.mdb-journal")));

  std::ofstream(at("text.mdb")) << "not a database";
  struct Case {
    const char* what;
    std::string path;
    int number;
  } cases[] = {
      {"missing file", at("missing.mdb"), err::kDbFail},
      {"not a database", at("text.mdb"), err::kDbFail},
      {"a folder", dir->path().string(), err::kDbFail},
  };
  for (const auto& c : cases) {
    const std::string content = fs::is_regular_file(c.path) ? bytes(c.path) : "";
    EXPECT_EQ(errorOf([&] { engine->compactInPlace(c.path); }), c.number) << c.what;
    if (fs::is_regular_file(c.path)) {
      EXPECT_EQ(bytes(c.path), content) << c.what;
    }
  }
  EXPECT_FALSE(fs::exists(at("missing.mdb")));
}

}  // namespace
}  // namespace kvdn

namespace kvdn {
namespace {

// Every durable step of a backup, a restore over a damaged file and a
// catalog create failed in turn: the operation raises and leaves the
// destination as it was, with no scratch copy beside it, or it succeeds
// whole.
TEST(SqliteEngineFaults, EveryDurableStepFailedLeavesNothingHalfDone) {
  testing::TempDir dir;
  const fs::path source = dir.path() / "app.mdb";
  testing::runSql(source, {"create table t(v text)", "insert into t values('kept')"});
  auto files = std::make_shared<testing::FakeDurableFiles>();
  auto engine = makeSqliteJetEngineOver(files);
  auto catalog = makeSqliteCatalogOver(files);
  auto leftovers = [&] {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir.path()))
      n += e.path().filename().string().find(".partial-") != std::string::npos;
    return n;
  };
  const fs::path damaged = dir.path() / "damaged.mdb";
  struct Operation {
    const char* name;
    std::function<void()> run;
    fs::path destination;
    std::function<void()> reset;
  } operations[] = {
      {"backup", [&] { engine->backupDatabase(source.string(), (dir.path() / "b.bak").string()); },
       dir.path() / "b.bak", [&] { fs::remove(dir.path() / "b.bak"); }},
      {"restore over a damaged file", [&] { engine->restoreDatabase(source.string(), damaged.string()); },
       damaged, [&] { std::ofstream(damaged, std::ios::binary) << std::string(4096, 'x'); }},
      {"create",
       [&] {
         catalog->create("Provider=Microsoft.Jet.OLEDB.4.0; Data Source=" +
                         (dir.path() / "new.mdb").string());
       },
       dir.path() / "new.mdb", [&] { fs::remove(dir.path() / "new.mdb"); }},
  };
  for (const auto& op : operations) {
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE(std::string(op.name) + ", durable step " + std::to_string(n) + " failing");
      op.reset();
      std::error_code ec;
      const bool existed = fs::exists(op.destination, ec);
      const std::string before = existed ? fileBytes(op.destination) : "";
      files->countdown.reset(n);
      const std::int32_t error = testing::errorOf(op.run);
      const bool reached = files->countdown.calls() >= n;
      files->countdown.reset(0);
      EXPECT_EQ(leftovers(), 0);
      if (error != 0) {
        EXPECT_EQ(fs::exists(op.destination, ec), existed);
        if (existed) {
          EXPECT_EQ(fileBytes(op.destination), before);
        }
      } else {
        EXPECT_EQ(testing::querySql(op.destination, "select count(*) from sqlite_master")[0][0] != "", true);
      }
      if (!reached) break;
    }
  }
}

}  // namespace
}  // namespace kvdn
