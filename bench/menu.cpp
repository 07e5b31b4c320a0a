// menuNav on a menu of 20 headings and 200 entries, for another role and for
// the administrator, over a real SQLite file through the in-memory host.
// Prints calls per second and the statements each call sends.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <string>

#include "bench_common.h"
#include "kvdn/db_class.h"
#include "kvdn/memory_host.h"
#include "kvdn/provider.h"
#include "sqlite_provider.h"
#include "support/fake_provider.h"

namespace {

constexpr int kHeadings = 20;
constexpr int kEntries = 200;

void run(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::cerr << sql << ": " << (message ? message : "") << "\n";
    std::abort();
  }
}

// A site whose database holds the menu; role 2 lists every second entry, and
// every 25th entry is mandatory.
struct Site {
  std::filesystem::path root;
  std::unique_ptr<kvdn::MemoryHost> host;
  std::shared_ptr<kvdn::FakeSwitches> fake;  // logs every statement, fails none

  Site() {
    root = std::filesystem::temp_directory_path() /
           ("kvdn-bench-menu-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(root / "database");
    sqlite3* db = nullptr;
    if (sqlite3_open((root / "database" / "app.mdb").c_str(), &db) != SQLITE_OK) std::abort();
    run(db,
        "create table 功能模块 (ID integer primary key, 名称 text collate nocase, 文件名 text collate "
        "nocase, "
        "层级 integer, 必选 integer, 顺序 integer)");
    run(db, "create table 用户身份 (ID integer primary key, 权限 text collate nocase)");
    run(db, "begin");
    for (int h = 1; h <= kHeadings; ++h) {
      run(db, "insert into 功能模块 values (" + std::to_string(h) + ", '栏目" + std::to_string(h) +
                  "', '', 0, 0, " + std::to_string(kHeadings - h) + ")");
    }
    std::string rights;
    for (int i = 0; i < kEntries; ++i) {
      const int id = 100 + i;
      const std::string file = i % 10 == 9
                                   ? "modalForm(''info.asp?ac=add&t=" + std::to_string(i) + "'')"
                                   : "page" + std::to_string(i) + ".asp?type=" + std::to_string(i % 3);
      run(db, "insert into 功能模块 values (" + std::to_string(id) + ", '功能" + std::to_string(i) + "', '" +
                  file + "', " + std::to_string(1 + i % kHeadings) + ", " + (i % 25 == 0 ? "1" : "0") + ", " +
                  std::to_string(i) + ")");
      if (i % 2 == 0) rights += (rights.empty() ? "" : ",") + std::to_string(id);
    }
    run(db, "insert into 用户身份 values (2, '" + rights + "')");
    run(db, "commit");
    sqlite3_close(db);
    host = std::make_unique<kvdn::MemoryHost>(root);
    auto providers = std::make_shared<kvdn::ProviderRegistry>();
    kvdn::registerStandardProviders(*providers);
    fake = kvdn::installFakeProvider(*providers);
    kvdn::registerDataClasses(host->classes(), providers);
  }
  // Statements sent, not counting the row counts keyset cursors take.
  std::size_t statements() const {
    std::size_t n = 0;
    for (const auto& entry : fake->log) n += entry.rfind("count: ", 0) == 0 ? 0U : 1U;
    return n;
  }
  ~Site() {
    host.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

// `kept`: the menu's rows are kept by the connection between calls (the
// database does not change meanwhile); else read again for every call.
void menuNav(benchmark::State& state, int role, bool kept = true) {
  kvdn::keepSqliteCounts(kept);
  Site site;
  kvdn::PageRequest request;
  request.url = "/admin/page42.asp";  // entry 42: listed for role 2
  request.query = "type=0";
  auto context = site.host->newPage(request);
  auto db = std::make_shared<kvdn::DbClass>();
  db->OnStartPage(context);
  db->dbType = kvdn::Variant("access");
  db->database = kvdn::Variant("/database/app.mdb");
  db->connOpen();
  const kvdn::Variant roleId(role);
  std::size_t bytes = db->menuNav(roleId).joinText().size();

  site.fake->log.clear();
  for (auto _ : state) {
    kvdn::Variant menu = db->menuNav(roleId);
    benchmark::DoNotOptimize(menu);
  }
  const double calls = static_cast<double>(state.iterations());
  state.counters["calls/s"] = benchmark::Counter(calls, benchmark::Counter::kIsRate);
  state.counters["statements/call"] = static_cast<double>(site.statements()) / calls;
  state.counters["menu_bytes"] = static_cast<double>(bytes);
  db->OnEndPage();
  kvdn::keepSqliteCounts(true);
}

void BM_MenuNavRole(benchmark::State& state) {
  menuNav(state, 2);
}
void BM_MenuNavAdministrator(benchmark::State& state) {
  menuNav(state, 1);
}

void BM_MenuNavRoleRowsReadAgain(benchmark::State& state) {
  menuNav(state, 2, false);
}
void BM_MenuNavAdministratorRowsReadAgain(benchmark::State& state) {
  menuNav(state, 1, false);
}

BENCHMARK(BM_MenuNavRole)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MenuNavRoleRowsReadAgain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MenuNavAdministratorRowsReadAgain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MenuNavAdministrator)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (const int status = kvdn::bench::startBenchmark(
          argc, argv,
          "menuNav on a menu of 20 headings and 200 entries, for a role and for the administrator.");
      status >= 0)
    return status;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
