// dbSelect over PostgreSQL through the ODBC provider against the floor of
// plain libpq: 20 rows a page with the number, edit and delete columns and
// the pager, on the first, middle and last page of a table of 10^5 rows. The
// floor sends the count a hand-written page would ("select count(*) from
// 表") and the same page as prepared statements
// (prepared for each page, as a statement that arrives as text must be; and
// "kept": prepared once) and builds nothing. Both keep their connection open
// across pages; opening one is measured on its own. Prints the ratios after
// the usual benchmark table.
//
// Needs the server that KVDN_PG_DSN names (scripts/pg-test-server.sh start);
// without it the benchmark says so and does nothing.
#include <benchmark/benchmark.h>
#include <unistd.h>

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
#include "kvdn/provider.h"

#if __has_include(<libpq-fe.h>)
#include <libpq-fe.h>
#define KVDN_HAVE_LIBPQ 1
#endif

#ifdef KVDN_HAVE_LIBPQ
namespace {

namespace fs = std::filesystem;

constexpr int kRows = 100000;
constexpr int kPageSize = 20;
constexpr int kRepetitions = 3;
const char* const kPositions[] = {"first", "middle", "last"};
const std::string kStatement = "select ID,标题,作者,数量,价格 from 表 order by ID";

int pageFor(int position) {
  const int pages = (kRows + kPageSize - 1) / kPageSize;
  return position == 0 ? 1 : position == 1 ? (pages + 1) / 2 : pages;
}

[[noreturn]] void fail(const std::string& what, PGconn* pg) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), pg ? PQerrorMessage(pg) : "");
  std::exit(1);
}

void exec(PGconn* pg, const std::string& sql) {
  PGresult* r = PQexec(pg, sql.c_str());
  const ExecStatusType s = PQresultStatus(r);
  PQclear(r);
  if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) fail(sql, pg);
}

// The benchmark's own schema on the server, with the table, built once.
struct Site {
  std::string dsn;
  std::string schema;
  std::vector<std::string> keys, values;  // libpq connection parameters
  fs::path dir;
  std::unique_ptr<kvdn::MemoryHost> host;

  explicit Site(std::string serverDsn) : dsn(std::move(serverDsn)) {
    schema = "kvdn_bench_" + std::to_string(::getpid());
    const kvdn::ConnectionString cs = kvdn::ConnectionString::parse(dsn);
    auto param = [&](const char* key, const std::string& value) {
      if (value.empty()) return;
      keys.push_back(key);
      values.push_back(value);
    };
    param("host", cs.value("server"));
    param("port", cs.value("port"));
    param("dbname", cs.value("database"));
    param("user", cs.value("uid"));
    param("password", cs.value("pwd"));
    param("options", "-c search_path=" + schema);
    PGconn* pg = connect();
    exec(pg, "CREATE SCHEMA " + schema);
    exec(pg,
         "CREATE TABLE 表 (ID serial PRIMARY KEY, 标题 varchar(100), 作者 varchar(50), 数量 integer, 价格 "
         "real)");
    exec(pg,
         "INSERT INTO 表 (标题, 作者, 数量, 价格) SELECT '第' || x || '号记录的标题', '作者' || (x % 97), "
         "x % 1000, x * 0.25 FROM generate_series(1, " +
             std::to_string(kRows) + ") AS x");
    exec(pg, "ANALYZE 表");
    PQfinish(pg);
    dsn += ";ConnSettings=SET search_path TO " + schema;
    dir = fs::temp_directory_path() / ("kvdn-bench-odbc-" + std::to_string(::getpid()));
    fs::create_directories(dir / "site");
    host = std::make_unique<kvdn::MemoryHost>(dir / "site");
  }
  ~Site() {
    host.reset();
    PGconn* pg = connect();
    exec(pg, "SET client_min_messages TO warning");
    exec(pg, "DROP SCHEMA " + schema + " CASCADE");
    PQfinish(pg);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  PGconn* connect() const {
    std::vector<const char*> k, v;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      k.push_back(keys[i].c_str());
      v.push_back(values[i].c_str());
    }
    k.push_back(nullptr);
    v.push_back(nullptr);
    PGconn* pg = PQconnectdbParams(k.data(), v.data(), 0);
    if (PQstatus(pg) != CONNECTION_OK) fail("connect", pg);
    return pg;
  }

  std::shared_ptr<kvdn::Connection> odbcConnection() const {
    auto providers = std::make_shared<kvdn::ProviderRegistry>();
    kvdn::registerStandardProviders(*providers);
    auto conn = kvdn::makeConnection(providers);
    conn->open(dsn);
    return conn;
  }
};

Site* site = nullptr;

// A page of the grid through dbClass, the connection handed over in conn.
void BM_dbSelect(benchmark::State& state, int position) {
  kvdn::PageRequest request;
  request.query = "ac=call&page=" + std::to_string(pageFor(position));
  auto context = site->host->newPage(request);
  auto db = std::make_shared<kvdn::DbClass>();
  db->OnStartPage(context);
  db->conn = site->odbcConnection();
  const kvdn::Variant sql(kStatement), psize(kPageSize), xuhao(1), addName("添加"), delyesno(1),
      editName("修改"), pageNavyesno(1), cssName("tableWg");
  std::size_t bytes = 0;
  for (auto _ : state) {
    kvdn::Variant grid = db->dbSelect(sql, psize, xuhao, addName, delyesno, editName, pageNavyesno, cssName);
    bytes = grid.str().size();
    benchmark::DoNotOptimize(grid);
  }
  if (context->ended()) state.SkipWithError(context->output().c_str());
  state.counters["bytes"] = static_cast<double>(bytes);
  db->OnEndPage();
}

// The floor: the count and the page with plain libpq, every value read.
void BM_floor(benchmark::State& state, int position, bool kept) {
  PGconn* pg = site->connect();
  const std::string countSql = "select count(*) from 表";
  const std::string pageSql = kStatement + " LIMIT $1 OFFSET $2";
  const std::string limit = std::to_string(kPageSize);
  const std::string offset = std::to_string((pageFor(position) - 1) * kPageSize);
  const char* params[] = {limit.c_str(), offset.c_str()};
  auto prepare = [&] {
    PQclear(PQprepare(pg, "kvdn_count", countSql.c_str(), 0, nullptr));
    PQclear(PQprepare(pg, "kvdn_page", pageSql.c_str(), 2, nullptr));
  };
  auto release = [&] { exec(pg, "DEALLOCATE ALL"); };
  if (kept) prepare();
  for (auto _ : state) {
    if (!kept) prepare();
    PGresult* count = PQexecPrepared(pg, "kvdn_count", 0, nullptr, nullptr, nullptr, 0);
    if (PQresultStatus(count) != PGRES_TUPLES_OK) fail("count", pg);
    benchmark::DoNotOptimize(std::atoll(PQgetvalue(count, 0, 0)));
    PQclear(count);
    PGresult* page = PQexecPrepared(pg, "kvdn_page", 2, params, nullptr, nullptr, 0);
    if (PQresultStatus(page) != PGRES_TUPLES_OK) fail("page", pg);
    for (int r = 0, n = PQntuples(page); r < n; ++r) {
      for (int c = 0, m = PQnfields(page); c < m; ++c) {
        benchmark::DoNotOptimize(PQgetvalue(page, r, c));
        benchmark::DoNotOptimize(PQgetlength(page, r, c));
      }
    }
    PQclear(page);
    if (!kept) release();
  }
  if (kept) release();
  PQfinish(pg);
}

// Opening and closing a connection: ODBC through the library, and libpq.
void BM_openOdbc(benchmark::State& state) {
  for (auto _ : state) site->odbcConnection()->close();
}
void BM_openLibpq(benchmark::State& state) {
  for (auto _ : state) PQfinish(site->connect());
}

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

}  // namespace

int main(int argc, char** argv) {
  if (const int status = kvdn::bench::startBenchmark(
          argc, argv, "dbSelect over PostgreSQL (ODBC, KVDN_PG_DSN) against plain libpq.");
      status >= 0)
    return status;
  const char* dsn = std::getenv("KVDN_PG_DSN");
  if (!dsn || !*dsn) {
    std::printf(
        "SKIP odbc_grid: KVDN_PG_DSN is not set. Start a server with scripts/pg-test-server.sh start and "
        "export the KVDN_PG_DSN it prints, or run: scripts/pg-test-server.sh run "
        "build/bin/bench_odbc_grid\n");
    return 0;
  }
  std::printf("building the table of %d rows ...\n", kRows);
  Site theSite(dsn);
  site = &theSite;

  for (int position = 0; position < 3; ++position) {
    const std::string suffix = kPositions[position];
    benchmark::RegisterBenchmark(("dbSelect/" + suffix).c_str(), BM_dbSelect, position)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark(("libpq/" + suffix).c_str(), BM_floor, position, false)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark(("libpqKept/" + suffix).c_str(), BM_floor, position, true)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->Repetitions(kRepetitions);
  }
  benchmark::RegisterBenchmark("open/odbc", BM_openOdbc)->Unit(benchmark::kMicrosecond)->UseRealTime();
  benchmark::RegisterBenchmark("open/libpq", BM_openLibpq)->Unit(benchmark::kMicrosecond)->UseRealTime();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto ratio = [](const std::map<std::string, double>& t, const std::string& a, const std::string& b) {
    const auto x = t.find(a), y = t.find(b);
    return x == t.end() || y == t.end() ? 0.0 : x->second / y->second;
  };
  std::printf("\ndbSelect over PostgreSQL (ODBC) against plain libpq: count + one page of %d rows of %d\n",
              kPageSize, kRows);
  std::printf("  times per page in us, best of %d repetitions; ratios by wall-clock time (the server's\n",
              kRepetitions);
  std::printf("  work is not in this process's CPU time). libpq: prepared per page; kept: prepared once.\n");
  std::printf("  %-6s %6s %10s %10s %10s  %8s %8s\n", "page", "number", "dbSelect", "libpq", "kept", "ratio",
              "vs kept");
  double worst = 0;
  for (int position = 0; position < 3; ++position) {
    const std::string suffix = kPositions[position];
    const std::string ours = "dbSelect/" + suffix, floor = "libpq/" + suffix, kept = "libpqKept/" + suffix;
    if (!reporter.times.count(ours) || !reporter.times.count(floor) || !reporter.times.count(kept)) continue;
    const double r = ratio(reporter.times, ours, floor);
    worst = std::max(worst, r);
    std::printf("  %-6s %6d %10.1f %10.1f %10.1f  %8.2f %8.2f\n", kPositions[position], pageFor(position),
                reporter.times[ours], reporter.times[floor], reporter.times[kept], r,
                ratio(reporter.times, ours, kept));
  }
  std::printf("  worst ratio against libpq: %.2f (target: at most 1.5)\n", worst);
  if (reporter.times.count("open/odbc") && reporter.times.count("open/libpq")) {
    std::printf("  opening a connection: ODBC %.1f us, libpq %.1f us\n", reporter.times["open/odbc"],
                reporter.times["open/libpq"]);
  }
  benchmark::Shutdown();
  return 0;
}

#else  // no libpq headers

int main(int argc, char** argv) {
  if (const int status = kvdn::bench::answerStandardOptions(
          argc, argv, "dbSelect over PostgreSQL (ODBC, KVDN_PG_DSN) against plain libpq.");
      status >= 0)
    return status;
  std::printf("SKIP odbc_grid: built without libpq (install libpq-dev and reconfigure)\n");
  return 0;
}

#endif
