// dbWrite against the floor of plain SQLite: inserts and updates per second
// of one record with ten fields (eight texts, two whole numbers).
//
// Both sides run in autocommit mode on the same kind of database file with
// the same pragmas as the data layer's own connections (see floorPragmas):
// every statement is its own transaction. The dbWrite side reuses one bound
// page and its open connection, so a measurement is the writer's work (the
// request reads, the recordset open, ten field assignments with their type
// checks, the bound-parameter statement) and not the page setup. A second
// pair measures a whole page (bind, connOpen, dbWrite, OnEndPage) for
// scale. The floor prepares its statement once and only rebinds.
//
// Successive writes alternate between two forms that differ in one number:
// SQLite skips writing a row whose new content is byte-identical to the old,
// so repeating the same update would measure a no-op on the floor's side.
//
// Prints the usual table, then the ratios dbWrite / floor (target: at most 2).
// Run as: bench_writers --benchmark_repetitions=5 (medians are compared).
// The database lives in the temporary folder, or in KVDN_BENCH_DIR when set
// (a tmpfs there takes the disk's commit latency out and leaves the CPU cost).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_common.h"
#include "kvdn/db_class.h"
#include "kvdn/memory_host.h"

namespace {

namespace fs = std::filesystem;

const char* const kTexts[8] = {
    "张三",     "技术部", "13800138000", "zhangsan@example.com", "北京市海淀区中关村大街1号",
    "备注：无", "A-001",  "正常"};
constexpr std::int64_t kNumbers[2] = {42, 20240309};

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
  }
}

// A site folder with database/bench.mdb holding the table t.
class Site {
 public:
  Site() {
    std::random_device rd;
    const char* base = std::getenv("KVDN_BENCH_DIR");
    root_ = (base && *base ? fs::path(base) : fs::temp_directory_path()) /
            ("kvdn-bench-writers-" + std::to_string(rd()));
    fs::create_directories(root_ / "database");
    sqlite3* db = nullptr;
    check(sqlite3_open(file().c_str(), &db), db, "create");
    check(
        sqlite3_exec(db,
                     "create table t(ID integer primary key autoincrement, 姓名 text, 部门 text, 电话 text, "
                     "邮箱 text, 地址 text, 备注 text, 编号 text, 状态 text, 数量 integer, 日期码 integer);"
                     "insert into t(姓名) values('seed');",
                     nullptr, nullptr, nullptr),
        db, "schema");
    sqlite3_close(db);
    host_ = std::make_unique<kvdn::MemoryHost>(root_);
  }
  ~Site() {
    host_.reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path file() const { return root_ / "database" / "bench.mdb"; }
  kvdn::MemoryHost& host() { return *host_; }

 private:
  fs::path root_;
  std::unique_ptr<kvdn::MemoryHost> host_;
};

std::string enc(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

const char* const kColumns[10] = {"姓名", "部门", "电话", "邮箱", "地址",
                                  "备注", "编号", "状态", "数量", "日期码"};

// The posted form: the ten fields and the submit button; `variant` (0 or 1)
// is added to the first number.
std::string tenFieldForm(int variant) {
  std::string form;
  for (int i = 0; i < 10; ++i) {
    const std::string value =
        i < 8 ? enc(kTexts[i]) : std::to_string(kNumbers[i - 8] + (i == 8 ? variant : 0));
    form += enc(kColumns[i]) + "=" + value + "&";
  }
  return form + "submit=" + enc("保存");
}

kvdn::PageRequest writeRequest(const std::string& query, int variant) {
  kvdn::PageRequest r;
  r.url = "/admin/list.asp";
  r.query = query;
  r.form = tenFieldForm(variant);
  r.serverVariables = {{"HTTP_REFERER", "http://localhost/admin/list.asp"}};
  return r;
}

std::shared_ptr<kvdn::DbClass> boundPage(Site& site, const kvdn::PageRequest& request,
                                         std::shared_ptr<kvdn::MemoryPage>& context) {
  context = site.host().newPage(request);
  auto db = std::make_shared<kvdn::DbClass>();
  db->OnStartPage(context);
  db->dbType = kvdn::Variant("ACCESS");
  db->database = kvdn::Variant("/database/bench.mdb");
  db->connOpen();
  if (context->ended()) throw std::runtime_error("connOpen failed: " + context->output());
  return db;
}

void BM_dbWrite(benchmark::State& state, bool modify) {
  Site site;
  const std::string query = modify ? "ac=modify&id=1" : "ac=add";
  std::shared_ptr<kvdn::MemoryPage> contexts[2];
  std::shared_ptr<kvdn::DbClass> pages[2] = {boundPage(site, writeRequest(query, 0), contexts[0]),
                                             boundPage(site, writeRequest(query, 1), contexts[1])};
  const kvdn::Variant table("t");
  std::size_t n = 0;
  for (auto _ : state) {
    if (!pages[n++ & 1]->dbWrite(table).toBool()) state.SkipWithError("dbWrite returned False");
  }
  for (auto& db : pages) db->OnEndPage();
  state.SetItemsProcessed(state.iterations());
}

void BM_dbWritePage(benchmark::State& state, bool modify) {
  Site site;
  const std::string query = modify ? "ac=modify&id=1" : "ac=add";
  const kvdn::PageRequest requests[2] = {writeRequest(query, 0), writeRequest(query, 1)};
  const kvdn::Variant table("t");
  std::size_t n = 0;
  for (auto _ : state) {
    std::shared_ptr<kvdn::MemoryPage> context;
    auto db = boundPage(site, requests[n++ & 1], context);
    if (!db->dbWrite(table).toBool()) state.SkipWithError("dbWrite returned False");
    db->OnEndPage();
  }
  state.SetItemsProcessed(state.iterations());
}

// The data layer's connection settings (write-ahead log, synchronous
// NORMAL), so that both sides pay the same commit cost; `synchronous` other
// than NORMAL measures what another level would cost (the floor only).
void floorPragmas(sqlite3* db, const char* synchronous) {
  sqlite3_busy_timeout(db, 5000);
  check(sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr), db, "wal");
  const std::string sync = std::string("PRAGMA synchronous = ") + synchronous;
  check(sqlite3_exec(db, sync.c_str(), nullptr, nullptr, nullptr), db, "synchronous");
}

void BM_floor(benchmark::State& state, bool modify, const char* synchronous) {
  Site site;
  sqlite3* db = nullptr;
  check(sqlite3_open_v2(site.file().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), db, "open");
  floorPragmas(db, synchronous);
  const char* sql =
      modify ? "update t set 姓名=?, 部门=?, 电话=?, 邮箱=?, 地址=?, 备注=?, 编号=?, 状态=?, 数量=?, "
               "日期码=? where ID=1"
             : "insert into t(姓名, 部门, 电话, 邮箱, 地址, 备注, 编号, 状态, 数量, 日期码) "
               "values(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
  sqlite3_stmt* st = nullptr;
  check(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), db, "prepare");
  std::int64_t n = 0;
  for (auto _ : state) {
    for (int i = 0; i < 8; ++i) sqlite3_bind_text(st, i + 1, kTexts[i], -1, SQLITE_STATIC);
    sqlite3_bind_int64(st, 9, kNumbers[0] + (n++ & 1));
    sqlite3_bind_int64(st, 10, kNumbers[1]);
    check(sqlite3_step(st), db, "step");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}

// Keeps the console output and remembers each benchmark's time per write:
// the median when repetitions are asked for (recommended: the commit cost
// varies a lot from one fsync to the next), else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = run.run_name.str();
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || (run.run_type == Run::RT_Iteration && !medians_.count(name))) {
        times[name] = run.GetAdjustedRealTime();
        cpuTimes[name] = run.GetAdjustedCPUTime();
        if (median) medians_.insert(name);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
  std::map<std::string, double> cpuTimes;

 private:
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  if (const int status = kvdn::bench::startBenchmark(
          argc, argv, "dbWrite against a plain SQLite insert and update of one record of ten fields.");
      status >= 0)
    return status;
  for (bool modify : {false, true}) {
    const std::string kind = modify ? "update" : "insert";
    benchmark::RegisterBenchmark(("dbWrite/" + kind).c_str(), BM_dbWrite, modify)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("sqlite_floor/" + kind).c_str(), BM_floor, modify, "NORMAL")
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("sqlite_floor_full/" + kind).c_str(), BM_floor, modify, "FULL")
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("dbWrite_page/" + kind).c_str(), BM_dbWritePage, modify)
        ->Unit(benchmark::kMicrosecond);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf(
      "\ndbWrite / plain SQLite prepared statement, autocommit, write-ahead log, synchronous=NORMAL, 10 "
      "fields (target <= 2.00; at least 500 records/s)\n");
  for (const char* kind : {"insert", "update"}) {
    const auto ours = reporter.times.find(std::string("dbWrite/") + kind);
    const auto page = reporter.times.find(std::string("dbWrite_page/") + kind);
    const auto floor = reporter.times.find(std::string("sqlite_floor/") + kind);
    if (ours == reporter.times.end() || floor == reporter.times.end()) continue;
    std::printf("  %-6s dbWrite %9.1f us (%8.0f/s)  floor %9.1f us (%8.0f/s)  ratio %.2f", kind, ours->second,
                1e6 / ours->second, floor->second, 1e6 / floor->second, ours->second / floor->second);
    if (page != reporter.times.end()) {
      std::printf("  | whole page %9.1f us, ratio %.2f", page->second, page->second / floor->second);
    }
    const double cpuOurs = reporter.cpuTimes[std::string("dbWrite/") + kind];
    const double cpuFloor = reporter.cpuTimes[std::string("sqlite_floor/") + kind];
    const auto full = reporter.times.find(std::string("sqlite_floor_full/") + kind);
    if (full != reporter.times.end()) {
      std::printf("\n         plain SQLite with synchronous=FULL: %9.1f us (%8.0f/s)", full->second,
                  1e6 / full->second);
    }
    std::printf("\n         cpu: dbWrite %9.1f us  floor %9.1f us  ratio %.2f\n", cpuOurs, cpuFloor,
                cpuOurs / cpuFloor);
  }
  benchmark::Shutdown();
  return 0;
}
