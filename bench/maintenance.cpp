// backupDBfile of a 100 MB database next to a plain copy of the same file
// (without and with fsync: the backup makes its copy durable), and xlsToDb of
// a workbook of 10,000 accounts, with the reading of that workbook alone in
// this process and through the isolated reader (a child process per read).
// Prints the usual table, then the ratios, the time per imported row and
// what the isolation adds to an import. The source file is in the page cache for every
// run, so the figures compare the copying work, not the disk's reads.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_common.h"
#include "data/xls/test_workbook.h"
#include "isolated_workbook_reader.h"
#include "kvdn/db_class.h"
#include "kvdn/memory_host.h"
#include "workbook.h"

namespace {

namespace fs = std::filesystem;

constexpr int kImportRows = 10000;
constexpr int kSmallRows = 20;
constexpr std::int64_t kTargetBytes = 100ll * 1024 * 1024;

void exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "%s: %s\n", sql.c_str(), message ? message : "");
    std::abort();
  }
}

struct Site {
  fs::path root;
  std::unique_ptr<kvdn::MemoryHost> host;

  Site() {
    root = fs::temp_directory_path() / ("kvdn-bench-maintenance-" + std::to_string(std::random_device{}()));
    fs::create_directories(root / "database");
    buildBigDatabase();
    buildAccounts();
    host = std::make_unique<kvdn::MemoryHost>(root);
  }
  ~Site() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  // About 100 MB of rows like an application table's.
  void buildBigDatabase() {
    sqlite3* db = nullptr;
    sqlite3_open((root / "database" / "big.mdb").c_str(), &db);
    exec(db, "create table 记录(ID integer primary key, 标题 text, 内容 text, 时间 datetime)");
    exec(db, "begin");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(
        db, "insert into 记录(标题, 内容, 时间) values(?1, hex(randomblob(450)), '2024-03-05 10:00:00')", -1,
        &st, nullptr);
    for (int i = 0; i < 1000000; ++i) {
      const std::string title = "标题" + std::to_string(i);
      sqlite3_bind_text(st, 1, title.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_reset(st);
      if (i % 10000 == 9999) {
        exec(db, "commit");
        if (static_cast<std::int64_t>(fs::file_size(root / "database" / "big.mdb")) >= kTargetBytes) break;
        exec(db, "begin");
      }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
  }

  void buildAccounts() {
    sqlite3* db = nullptr;
    sqlite3_open((root / "database" / "users.mdb").c_str(), &db);
    exec(db,
         "create table 用户(ID integer primary key, 登录账号 text collate nocase unique, 密码 text, 姓名 "
         "text, "
         "部门 text)");
    exec(db, "insert into 用户(ID, 登录账号, 密码, 姓名) values(1, 'admin', 'x', '管理员')");
    sqlite3_close(db);
    std::vector<std::vector<nlohmann::json>> rows{{"登录账号", "密码", "姓名", "部门"}};
    for (int i = 1; i <= kImportRows; ++i) {
      rows.push_back(
          {"user" + std::to_string(i), "e10adc3949ba59abbe56e057f20f883e", "用户" + std::to_string(i),
           i % 7 == 0 ? nlohmann::json(nullptr) : nlohmann::json("部门" + std::to_string(i % 20))});
    }
    kvdn::testing::writeWorkbook(root / "database" / "userinfo.xls", {{"用户", rows}});
    rows.resize(kSmallRows + 1);  // an office's usual import: a few accounts
    kvdn::testing::writeWorkbook(root / "database" / "small.xls", {{"用户", rows}});
  }

  std::shared_ptr<kvdn::DbClass> page(const char* database, bool connect) {
    kvdn::PageRequest request;
    auto context = host->newPage(request);
    auto db = std::make_shared<kvdn::DbClass>();
    db->OnStartPage(context);
    db->dbType = kvdn::Variant("access");
    db->database = kvdn::Variant(database);
    db->setClock([] { return kvdn::Date::fromParts(2024, 3, 5); });
    if (connect) db->connOpen();
    pages.push_back(context);
    return db;
  }
  std::vector<std::shared_ptr<kvdn::MemoryPage>> pages;
};

Site* site = nullptr;

void BM_backupDBfile(benchmark::State& state) {
  for (auto _ : state) {
    auto db = site->page("/database/big.mdb", false);
    if (!db->backupDBfile().boolean()) state.SkipWithError(site->pages.back()->output().c_str());
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(fs::file_size(site->root / "database" / "big.mdb")));
}

void copyPlain(bool sync) {
  const fs::path from = site->root / "database" / "big.mdb";
  const fs::path to = site->root / "database" / "plain.copy";
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  if (sync) {
    int fd = ::open(to.c_str(), O_RDONLY);
    ::fsync(fd);
    ::close(fd);
  }
}

void BM_plainCopy(benchmark::State& state) {
  for (auto _ : state) copyPlain(false);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(fs::file_size(site->root / "database" / "big.mdb")));
}

void BM_plainCopyFsync(benchmark::State& state) {
  for (auto _ : state) copyPlain(true);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(fs::file_size(site->root / "database" / "big.mdb")));
}

void BM_xlsToDb(benchmark::State& state) {
  for (auto _ : state) {
    auto db = site->page("/database/users.mdb", true);
    kvdn::Variant n = db->xlsToDb(kvdn::Variant("登录账号,密码,姓名,部门"));
    if (n.toInt32() != kImportRows) state.SkipWithError("the import did not store every row");
    db->OnEndPage();
  }
  state.SetItemsProcessed(state.iterations() * kImportRows);
}

void readWorkbook(benchmark::State& state, kvdn::WorkbookReader& reader) {
  const bool small = state.range(0) == kSmallRows;
  const std::string path = (site->root / "database" / (small ? "small.xls" : "userinfo.xls")).string();
  for (auto _ : state) {
    kvdn::WorkbookContent content = reader.read(path);
    if (content.sheets.empty() || content.sheets[0].rows != state.range(0) + 1) {
      state.SkipWithError("the workbook was not read whole");
    }
    benchmark::DoNotOptimize(content);
  }
}

void BM_readInProcess(benchmark::State& state) {
  kvdn::xls::InProcessWorkbookReader reader;
  readWorkbook(state, reader);
}

void BM_readIsolated(benchmark::State& state) {
  kvdn::IsolatedWorkbookReader reader;
  readWorkbook(state, reader);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  if (const int status = kvdn::bench::startBenchmark(
          argc, argv, "backupDBfile of a 100 MB database against a plain copy; xlsToDb of 10,000 accounts.");
      status >= 0)
    return status;
  std::printf("building a 100 MB database and a workbook of %d accounts ...\n", kImportRows);
  Site theSite;
  site = &theSite;
  const double megabytes =
      static_cast<double>(fs::file_size(theSite.root / "database" / "big.mdb")) / (1024 * 1024);
  std::printf("database: %.1f MB\n", megabytes);

  benchmark::RegisterBenchmark("backupDBfile", BM_backupDBfile)->Unit(benchmark::kMillisecond)->Iterations(5);
  benchmark::RegisterBenchmark("plain copy", BM_plainCopy)->Unit(benchmark::kMillisecond)->Iterations(5);
  benchmark::RegisterBenchmark("plain copy + fsync", BM_plainCopyFsync)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(5);
  benchmark::RegisterBenchmark("xlsToDb 10000 rows", BM_xlsToDb)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(5);
  for (int rows : {kSmallRows, kImportRows}) {
    benchmark::RegisterBenchmark("read workbook in process", BM_readInProcess)
        ->Arg(rows)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(20);
    benchmark::RegisterBenchmark("read workbook isolated", BM_readIsolated)
        ->Arg(rows)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(20);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto time = [&](const std::string& name, int iterations = 5) {
    auto it = reporter.times.find(name + "/iterations:" + std::to_string(iterations));
    return it == reporter.times.end() ? 0.0 : it->second;
  };
  const double backup = time("backupDBfile");
  const double plain = time("plain copy");
  const double plainSync = time("plain copy + fsync");
  const double import = time("xlsToDb 10000 rows");
  std::printf("\n%.1f MB database, times in ms\n", megabytes);
  if (backup > 0 && plain > 0) {
    std::printf("  backupDBfile %.1f vs plain copy %.1f: ratio %.2f\n", backup, plain, backup / plain);
  }
  if (backup > 0 && plainSync > 0) {
    std::printf("  backupDBfile %.1f vs plain copy + fsync %.1f: ratio %.2f\n", backup, plainSync,
                backup / plainSync);
  }
  if (import > 0) {
    std::printf("  xlsToDb: %d rows in %.1f ms, %.1f us a row\n", kImportRows, import,
                import * 1000 / kImportRows);
  }
  for (int rows : {kSmallRows, kImportRows}) {
    const std::string arg = "/" + std::to_string(rows);
    const double inProcess = time("read workbook in process" + arg, 20);
    const double isolated = time("read workbook isolated" + arg, 20);
    if (inProcess <= 0 || isolated <= 0) continue;
    std::printf("  reading a %d-row workbook: %.2f ms in process, %.2f ms isolated: +%.2f ms a read", rows,
                inProcess, isolated, isolated - inProcess);
    if (rows == kImportRows && import > 0) {
      std::printf(", %.1f%% of the %d-row import", (isolated - inProcess) * 100 / import, rows);
    }
    std::printf("\n");
  }
  benchmark::Shutdown();
  return 0;
}
