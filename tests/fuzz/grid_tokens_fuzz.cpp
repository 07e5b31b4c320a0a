// The grid over stored user text: the input is split at its first line
// break into two cell values (the grid's {qzm...} tokens act inside them)
// and a third part after a second line break is the page's query string
// (the page number the pager reads). Whatever the cells hold, dbSelect
// renders or reports; it never crashes or reads past a value.
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_site.h"
#include "kvdn/error.h"

using namespace kvdn;

namespace {
struct Grid {
  fuzz::FuzzSite site{{"create table 数据 (ID integer primary key, 名称 text, 备注 text)"}};
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  Grid() {
    if (sqlite3_open(site.databaseFile().c_str(), &db) != SQLITE_OK) std::abort();
    // The harness's own writes need no durability: a throw-away file.
    if (sqlite3_exec(db, "pragma synchronous=off", nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
    if (sqlite3_prepare_v2(db, "insert into 数据 values (?, ?, ?)", -1, &insert, nullptr) != SQLITE_OK)
      std::abort();
  }
  void put(std::string_view a, std::string_view b) {
    if (sqlite3_exec(db, "begin; delete from 数据", nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
    for (int id = 1; id <= 3; ++id) {
      sqlite3_reset(insert);
      sqlite3_bind_int(insert, 1, id);
      sqlite3_bind_text(insert, 2, a.data(), static_cast<int>(a.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 3, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    }
    if (sqlite3_exec(db, "commit", nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  }
};
Grid& grid() {
  static Grid g;
  return g;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [first, rest] = fuzz::split2(fuzz::textOf(data, size));
  const auto [second, query] = fuzz::split2(rest);
  grid().put(first, second);
  for (int psize : {2, 10}) {
    PageRequest request;
    request.query = std::string(query);
    fuzz::FuzzSite::Page p;
    try {
      p = grid().site.page(true, request);
      (void)p.db->dbSelect(Variant("select ID, 名称, 备注 from 数据 order by ID"), Variant(psize), Variant(1),
                           Variant("add.asp"), Variant(1), Variant("edit.asp"), Variant(1), Variant("t"));
    } catch (const ComError&) {
    }
    if (p.db) p.db->connClose();
  }
  return 0;
}
