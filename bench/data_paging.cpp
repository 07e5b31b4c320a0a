// One page of a keyset recordset (PageSize 20) against plain SQLite reading
// the same page with a prepared count and a prepared LIMIT/OFFSET query.
// Tables of 10^3, 10^5 and 10^6 rows, pages first, middle and last. Prints
// the time ratio per case and the peak resident memory: paging must not read
// the whole result, so memory stays flat as the table grows.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench_common.h"
#include "kvdn/provider.h"

namespace {

constexpr int kPageSize = 20;
const std::vector<std::int64_t> kSizes = {1000, 100000, 1000000};

std::filesystem::path gDir;
std::filesystem::path gFile;

void exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::cerr << sql << ": " << (message ? message : "") << "\n";
    std::abort();
  }
}

std::string table(std::int64_t rows) {
  std::string name = "t";
  name += std::to_string(rows);
  return name;
}

// One temporary file; each size's table is built once, when a benchmark
// first needs it (a filtered run builds only what it reads).
void createDatabase() {
  gDir = std::filesystem::temp_directory_path() /
         ("kvdn-bench-paging-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(gDir);
  gFile = gDir / "big.mdb";
  sqlite3* db = nullptr;
  if (sqlite3_open(gFile.c_str(), &db) != SQLITE_OK) std::abort();
  exec(db, "PRAGMA user_version = 1");
  sqlite3_close(db);
}

void ensureTable(std::int64_t n) {
  static std::set<std::int64_t> built;
  if (!built.insert(n).second) return;
  sqlite3* db = nullptr;
  if (sqlite3_open(gFile.c_str(), &db) != SQLITE_OK) std::abort();
  exec(db,
       "CREATE TABLE " + table(n) +
           " (ID INTEGER PRIMARY KEY, name TEXT COLLATE NOCASE, qty INTEGER, price REAL, added DATETIME)");
  exec(db, "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < " + std::to_string(n) +
               ") INSERT INTO " + table(n) +
               " SELECT i, printf('name %07d', i), i % 1000, i * 0.25, "
               "printf('2024-%02d-%02d 12:00:00', i % 12 + 1, i % 28 + 1) FROM s");
  sqlite3_close(db);
}

std::int64_t pageOf(std::int64_t rows, int position) {
  const std::int64_t pages = (rows + kPageSize - 1) / kPageSize;
  return position == 0 ? 1 : position == 1 ? pages / 2 : pages;
}

const char* positionName(int position) {
  return position == 0 ? "first" : position == 1 ? "middle" : "last";
}

std::string caseName(const char* kind, std::int64_t rows, int position) {
  std::string name = kind;
  name += '/';
  name += std::to_string(rows);
  name += '/';
  name += positionName(position);
  return name;
}

std::string statement(std::int64_t rows) {
  return "SELECT ID, name, qty, price, added FROM " + table(rows) + " ORDER BY ID";
}

long peakKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Through the data layer, as the grid does it: a new keyset recordset on the
// page's open connection, page size, page, 20 rows of 5 values.
void pageThroughRecordset(benchmark::State& state, std::int64_t rows, int position) {
  ensureTable(rows);
  auto providers = std::make_shared<kvdn::ProviderRegistry>();
  kvdn::registerStandardProviders(*providers);
  auto conn = kvdn::makeConnection(providers);
  conn->open("Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + gFile.string());
  const std::string sql = statement(rows);
  const std::int64_t page = pageOf(rows, position);
  for (auto _ : state) {
    auto rs = kvdn::makeRecordset(providers);
    rs->open(sql, conn, kvdn::adOpenKeyset, kvdn::adLockReadOnly, kvdn::adCmdUnspecified);
    rs->setPageSize(kPageSize);
    rs->setAbsolutePage(static_cast<std::int32_t>(page));
    benchmark::DoNotOptimize(rs->recordCount());
    auto& fields = rs->fields();
    for (int i = 0; i < kPageSize && !rs->eof(); ++i) {
      for (int c = 0; c < fields.count(); ++c) benchmark::DoNotOptimize(fields.item(c).value());
      rs->moveNext();
    }
    rs->close();
  }
  state.counters["peak_rss_kb"] = static_cast<double>(peakKb());
}

// Plain SQLite: prepared once, reset and bound per page; each statement is
// reset as soon as it is read, as a well-behaved reader does.
void pageThroughSqlite(benchmark::State& state, std::int64_t rows, int position) {
  ensureTable(rows);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(gFile.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) std::abort();
  sqlite3_stmt* count = nullptr;
  sqlite3_stmt* pageQuery = nullptr;
  const std::string countSql = "SELECT count(*) FROM " + table(rows);
  const std::string pageSql = statement(rows) + " LIMIT ? OFFSET ?";
  if (sqlite3_prepare_v2(db, countSql.c_str(), -1, &count, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, pageSql.c_str(), -1, &pageQuery, nullptr) != SQLITE_OK) {
    std::abort();
  }
  const std::int64_t page = pageOf(rows, position);
  for (auto _ : state) {
    sqlite3_step(count);
    benchmark::DoNotOptimize(sqlite3_column_int64(count, 0));
    sqlite3_reset(count);  // done with it: no read lock held past this point
    sqlite3_reset(pageQuery);
    sqlite3_bind_int64(pageQuery, 1, kPageSize);
    sqlite3_bind_int64(pageQuery, 2, (page - 1) * kPageSize);
    while (sqlite3_step(pageQuery) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_int64(pageQuery, 0));
      std::string name(reinterpret_cast<const char*>(sqlite3_column_text(pageQuery, 1)));
      benchmark::DoNotOptimize(name);
      benchmark::DoNotOptimize(sqlite3_column_int64(pageQuery, 2));
      benchmark::DoNotOptimize(sqlite3_column_double(pageQuery, 3));
      std::string added(reinterpret_cast<const char*>(sqlite3_column_text(pageQuery, 4)));
      benchmark::DoNotOptimize(added);
    }
  }
  sqlite3_finalize(count);
  sqlite3_finalize(pageQuery);
  sqlite3_close(db);
  state.counters["peak_rss_kb"] = static_cast<double>(peakKb());
}

// Keeps each run's wall and CPU time per iteration by name for the ratio
// table. On a shared, loaded machine the CPU ratio is the steadier figure.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = 0;
    double cpu = 0;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the median stands for the case.
    for (const auto& run : runs) {
      const std::string name = run.run_name.str();
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || (run.run_type == Run::RT_Iteration && !medians.count(name))) {
        times[name] = Times{run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
        if (median) medians.insert(name);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, Times> times;
  std::set<std::string> medians;
};

}  // namespace

int main(int argc, char** argv) {
  if (const int status = kvdn::bench::startBenchmark(
          argc, argv, "One page of a keyset recordset against plain SQLite (tables of 10^3 to 10^6 rows).");
      status >= 0)
    return status;
  createDatabase();
  for (std::int64_t rows : kSizes) {
    for (int position = 0; position < 3; ++position) {
      benchmark::RegisterBenchmark(caseName("recordset", rows, position).c_str(), pageThroughRecordset, rows,
                                   position)
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(caseName("sqlite", rows, position).c_str(), pageThroughSqlite, rows,
                                   position)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nrecordset / plain SQLite, one page of %d rows (target <= 1.3)\n", kPageSize);
  std::printf("%9s %7s %12s %12s %6s %12s %12s %6s\n", "rows", "page", "recordset", "sqlite", "ratio",
              "recordset", "sqlite", "ratio");
  std::printf("%9s %7s %12s %12s %6s %12s %12s %6s\n", "", "", "wall us", "wall us", "wall", "cpu us",
              "cpu us", "cpu");
  for (std::int64_t rows : kSizes) {
    for (int position = 0; position < 3; ++position) {
      auto ours = reporter.times.find(caseName("recordset", rows, position));
      auto plain = reporter.times.find(caseName("sqlite", rows, position));
      if (ours == reporter.times.end() || plain == reporter.times.end()) continue;
      const auto& o = ours->second;
      const auto& p = plain->second;
      std::printf("%9lld %7s %12.1f %12.1f %6.2f %12.1f %12.1f %6.2f\n", static_cast<long long>(rows),
                  positionName(position), o.real, p.real, o.real / p.real, o.cpu, p.cpu, o.cpu / p.cpu);
    }
  }
  std::printf("peak resident memory: %ld kB\n", peakKb());
  std::error_code ec;
  std::filesystem::remove_all(gDir, ec);
  return 0;
}
