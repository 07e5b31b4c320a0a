// The component's SQL text helpers as a page calls them: findTableName on
// any text, and dbShsl running a query over a small SQLite database (the
// input after "select ", so the text goes through the provider's rewriting
// and the engine). A failure must be a ComError (what the page sees), never
// a crash; the database must stay usable.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_site.h"
#include "kvdn/error.h"

using namespace kvdn;

namespace {
fuzz::FuzzSite& site() {
  static fuzz::FuzzSite s({"create table 用户 (ID integer primary key, 姓名 text, 角色 integer)",
                           "insert into 用户 values (1, '张伟', 1), (2, 'a''b', 2)"});
  return s;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(fuzz::textOf(data, size));
  auto p = site().page(true);
  try {
    (void)p.db->findTableName(Variant(text));
  } catch (const ComError&) {
  }
  if (text.find('\0') == std::string::npos) {
    try {
      (void)p.db->dbShsl(Variant("select " + text));
    } catch (const ComError&) {
    }
  }
  p.db->connClose();
  return 0;
}
