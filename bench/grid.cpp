// dbSelect against the floor of plain SQLite: 20 rows a page with the number,
// edit and delete columns and the pager, on the first, middle and last page
// of tables of 10^3, 10^5 and 10^6 rows. The floor reads the same count and
// the same page with prepared statements (prepared for each page, as a
// statement that arrives as text must be) and builds nothing. Prints the
// ratios and the peak resident memory after the usual benchmark table.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "kvdn/db_class.h"
#include "kvdn/memory_host.h"
#include "sqlite_provider.h"

namespace {

namespace fs = std::filesystem;

constexpr int kPageSize = 20;
constexpr int kRepetitions = 3;
const std::vector<int> kSizes = {1000, 100000, 1000000};
const char* const kPositions[] = {"first", "middle", "last"};

std::string tableName(int rows) {
  return "表" + std::to_string(rows);
}
std::string statementFor(int rows) {
  return "select ID,标题,作者,数量,价格 from " + tableName(rows) + " order by ID";
}
// Ordered by an indexed column of 97 values: long runs of equal keys.
std::string indexedStatementFor(int rows) {
  return "select ID,标题,作者,数量,价格 from " + tableName(rows) + " order by 作者";
}

int pageFor(int rows, int position) {
  const int pages = (rows + kPageSize - 1) / kPageSize;
  return position == 0 ? 1 : position == 1 ? (pages + 1) / 2 : pages;
}

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    std::exit(1);
  }
}

// The temporary site with one database holding every table, built once.
struct Site {
  fs::path dir;
  fs::path root;
  fs::path file;
  std::unique_ptr<kvdn::MemoryHost> host;

  Site() {
    dir = fs::temp_directory_path() / ("kvdn-bench-grid-" + std::to_string(::getpid()));
    root = dir / "site";
    fs::create_directories(root / "database");
    file = root / "database" / "bench.mdb";
    sqlite3* db = nullptr;
    check(sqlite3_open(file.c_str(), &db), db, "open");
    for (int rows : kSizes) {
      const std::string sql =
          "create table " + tableName(rows) +
          "(ID integer primary key, 标题 text, 作者 text, 数量 integer, 价格 real);"
          "with recursive c(x) as (select 1 union all select x + 1 from c where x < " +
          std::to_string(rows) + ") insert into " + tableName(rows) +
          " select x, '第' || x || '号记录的标题', '作者' || (x % 97), x % 1000, x * 0.25 "
          "from c; create index " +
          tableName(rows) + "_作者 on " + tableName(rows) + " (作者);";
      check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, "build");
    }
    sqlite3_close(db);
    host = std::make_unique<kvdn::MemoryHost>(root);
  }
  ~Site() {
    host.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Site* site = nullptr;

// `keptCount`: the count is kept by the connection between pages (the
// database does not change meanwhile); else taken again for every page.
// `byIndex`: the statement ordered by the indexed column instead of ID.
void BM_dbSelect(benchmark::State& state, int rows, int position, bool keptCount, bool byIndex) {
  kvdn::keepSqliteCounts(keptCount);
  kvdn::PageRequest request;
  request.query = "ac=call&page=" + std::to_string(pageFor(rows, position));
  auto context = site->host->newPage(request);
  auto db = std::make_shared<kvdn::DbClass>();
  db->OnStartPage(context);
  db->dbType = kvdn::Variant("access");
  db->database = kvdn::Variant("/database/bench.mdb");
  db->connOpen();
  if (context->ended()) {
    state.SkipWithError(context->output().c_str());
    return;
  }
  const kvdn::Variant sql(byIndex ? indexedStatementFor(rows) : statementFor(rows)), psize(kPageSize),
      xuhao(1), addName("添加"), delyesno(1), editName("修改"), pageNavyesno(1), cssName("tableWg");
  std::size_t bytes = 0;
  for (auto _ : state) {
    kvdn::Variant grid = db->dbSelect(sql, psize, xuhao, addName, delyesno, editName, pageNavyesno, cssName);
    bytes = grid.str().size();
    benchmark::DoNotOptimize(grid);
  }
  if (context->ended()) state.SkipWithError(context->output().c_str());
  state.counters["bytes"] = static_cast<double>(bytes);
  db->OnEndPage();
  kvdn::keepSqliteCounts(true);
}

// Reads every value of a stepped page row as its type; builds nothing.
void readRow(sqlite3_stmt* page) {
  for (int i = 0, n = sqlite3_column_count(page); i < n; ++i) {
    switch (sqlite3_column_type(page, i)) {
      case SQLITE_INTEGER:
        benchmark::DoNotOptimize(sqlite3_column_int64(page, i));
        break;
      case SQLITE_FLOAT:
        benchmark::DoNotOptimize(sqlite3_column_double(page, i));
        break;
      case SQLITE_TEXT:
        benchmark::DoNotOptimize(sqlite3_column_text(page, i));
        benchmark::DoNotOptimize(sqlite3_column_bytes(page, i));
        break;
      default:
        break;
    }
  }
}

// The floor: the count of the table and the same page, read with plain
// SQLite. `kept`: both statements prepared once and only reset and bound per
// page; otherwise prepared for each page, as a statement that arrives as
// text must be.
void BM_floor(benchmark::State& state, int rows, int position, bool kept) {
  sqlite3* db = nullptr;
  check(sqlite3_open_v2(site->file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), db, "open");
  const std::string countSql = "select count(*) from " + tableName(rows);
  const std::string pageSql = statementFor(rows) + " limit ? offset ?";
  const int offset = (pageFor(rows, position) - 1) * kPageSize;
  sqlite3_stmt* count = nullptr;
  sqlite3_stmt* page = nullptr;
  auto prepare = [&] {
    check(sqlite3_prepare_v2(db, countSql.c_str(), -1, &count, nullptr), db, "prepare count");
    check(sqlite3_prepare_v2(db, pageSql.c_str(), -1, &page, nullptr), db, "prepare page");
  };
  auto finalize = [&] {
    sqlite3_finalize(count);
    sqlite3_finalize(page);
  };
  if (kept) prepare();
  for (auto _ : state) {
    if (!kept) prepare();
    check(sqlite3_step(count), db, "count");
    benchmark::DoNotOptimize(sqlite3_column_int64(count, 0));
    sqlite3_reset(count);
    sqlite3_bind_int(page, 1, kPageSize);
    sqlite3_bind_int(page, 2, offset);
    int rc;
    while ((rc = sqlite3_step(page)) == SQLITE_ROW) readRow(page);
    check(rc, db, "page");
    sqlite3_reset(page);
    if (!kept) finalize();
  }
  if (kept) finalize();
  sqlite3_close(db);
}

// Keeps the console output and remembers each benchmark's best time per
// iteration over its repetitions (the least disturbed on a shared machine),
// by wall clock and by CPU time.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      keepBest(times, run.run_name.function_name, run.GetAdjustedRealTime());
      keepBest(cpuTimes, run.run_name.function_name, run.GetAdjustedCPUTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
  std::map<std::string, double> cpuTimes;

 private:
  static void keepBest(std::map<std::string, double>& m, const std::string& name, double t) {
    auto [it, fresh] = m.emplace(name, t);
    if (!fresh && t < it->second) it->second = t;
  }
};

long peakResidentKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int status = kvdn::bench::startBenchmark(
          argc, argv, "dbSelect against plain SQLite: one grid page of tables of 10^3 to 10^6 rows.");
      status >= 0)
    return status;
  std::printf("building the tables ...\n");
  Site theSite;
  site = &theSite;
  std::printf("peak resident memory after building: %ld KiB\n", peakResidentKb());

  for (int rows : kSizes) {
    for (int position = 0; position < 3; ++position) {
      const std::string suffix = std::to_string(rows) + "/" + kPositions[position];
      benchmark::RegisterBenchmark(("dbSelect/" + suffix).c_str(), BM_dbSelect, rows, position, false, false)
          ->Unit(benchmark::kMicrosecond)
          ->Repetitions(kRepetitions);
      benchmark::RegisterBenchmark(("dbSelectKeptCount/" + suffix).c_str(), BM_dbSelect, rows, position, true,
                                   false)
          ->Unit(benchmark::kMicrosecond)
          ->Repetitions(kRepetitions);
      benchmark::RegisterBenchmark(("dbSelectIndexKeptCount/" + suffix).c_str(), BM_dbSelect, rows, position,
                                   true, true)
          ->Unit(benchmark::kMicrosecond)
          ->Repetitions(kRepetitions);
      benchmark::RegisterBenchmark(("floor/" + suffix).c_str(), BM_floor, rows, position, false)
          ->Unit(benchmark::kMicrosecond)
          ->Repetitions(kRepetitions);
      benchmark::RegisterBenchmark(("floorKept/" + suffix).c_str(), BM_floor, rows, position, true)
          ->Unit(benchmark::kMicrosecond)
          ->Repetitions(kRepetitions);
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  // Ratios of the time per page, by wall-clock time and by CPU time (the
  // latter is steadier on a shared machine).
  auto ratio = [&](const std::map<std::string, double>& t, const std::string& a, const std::string& b) {
    const auto x = t.find(a), y = t.find(b);
    return x == t.end() || y == t.end() ? 0.0 : x->second / y->second;
  };
  std::printf("\ndbSelect against plain SQLite (count + one page of %d rows); times per page in us\n",
              kPageSize);
  std::printf("  best of %d repetitions. floor: statements prepared per page; kept: prepared once.\n",
              kRepetitions);
  std::printf("  ratios: by wall-clock time / by CPU time.\n");
  std::printf("  dbSelect: the count taken for every page; +count kept: the count kept between pages.\n");
  std::printf("  %8s %-6s %6s %10s %12s %10s %10s  %-13s %-13s\n", "rows", "page", "number", "dbSelect",
              "+count kept", "floor", "kept", "vs floor", "vs kept");
  for (int rows : kSizes) {
    double worstWall = 0, worstCpu = 0;
    for (int position = 0; position < 3; ++position) {
      const std::string suffix = std::to_string(rows) + "/" + kPositions[position];
      const std::string ours = "dbSelect/" + suffix, floor = "floor/" + suffix, kept = "floorKept/" + suffix;
      if (!reporter.times.count(ours) || !reporter.times.count(floor) || !reporter.times.count(kept))
        continue;
      const double wall = ratio(reporter.times, ours, floor), cpu = ratio(reporter.cpuTimes, ours, floor);
      worstWall = std::max(worstWall, wall);
      worstCpu = std::max(worstCpu, cpu);
      std::printf("  %8d %-6s %6d %10.1f %12.1f %10.1f %10.1f  %5.2f / %5.2f %5.2f / %5.2f\n", rows,
                  kPositions[position], pageFor(rows, position), reporter.times[ours],
                  reporter.times["dbSelectKeptCount/" + suffix], reporter.times[floor], reporter.times[kept],
                  wall, cpu, ratio(reporter.times, ours, kept), ratio(reporter.cpuTimes, ours, kept));
    }
    if (worstWall > 0) {
      std::printf("  %8d rows: worst ratio against the floor %.2f (wall) / %.2f (cpu)\n", rows, worstWall,
                  worstCpu);
    }
  }
  std::printf("\nordered by an indexed column of 97 values (order by 作者), count kept; us per page\n");
  for (int rows : kSizes) {
    std::printf("  %8d", rows);
    for (int position = 0; position < 3; ++position) {
      const std::string name = "dbSelectIndexKeptCount/" + std::to_string(rows) + "/" + kPositions[position];
      if (reporter.times.count(name)) std::printf("  %s %.1f", kPositions[position], reporter.times[name]);
    }
    std::printf("\n");
  }
  std::printf("peak resident memory: %ld KiB\n", peakResidentKb());
  benchmark::Shutdown();
  return 0;
}
