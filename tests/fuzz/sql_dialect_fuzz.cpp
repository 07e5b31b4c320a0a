// The SQL rewriting every provider does on page text: the tokenizer and its
// rewrites, and the ODBC dialects of each server kind. Any text must come
// back as text (never a crash, a hang or a read past the input), and the
// checks below hold for every input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_site.h"
#include "odbc_dialect.h"
#include "sql_text.h"

using namespace kvdn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view sql = fuzz::textOf(data, size);

  const auto tokens = sql::tokenize(sql);
  std::size_t at = 0;
  for (const auto& t : tokens) {
    // The tokens cover the text without gaps or overlaps.
    if (t.begin != at || t.end < t.begin || t.end > sql.size()) std::abort();
    at = t.end;
  }
  if (at != sql.size()) std::abort();
  const sql::TokenList list(sql);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::size_t p = list.partner[i];
    if (p != sql::npos && (p >= list.size() || list.partner[p] != i)) std::abort();
  }
  (void)list.outerOrderBy();
  (void)list.afterSelect();
  (void)sql::translateTop(sql);
  (void)sql::shapeOf(sql);
  (void)sql::limitRows(sql, 10, 20);
  (void)sql::limitRows(sql, -1, 0);
  (void)sql::countRows(sql);
  (void)sql::withLeadingColumn(sql, "\"k\"");
  (void)sql::trimStatement(sql);
  (void)sql::tableNameOnly(sql);
  // A quoted name is one token whatever the name holds.
  const std::string quoted = sql::quoteIdentifier(sql);
  if (sql::tokenize(quoted).size() != 1) std::abort();

  using odbc::NameFolding;
  using odbc::ServerKind;
  for (ServerKind kind : {ServerKind::SqlServer, ServerKind::PostgreSql, ServerKind::Other}) {
    for (NameFolding folding : {NameFolding::None, NameFolding::Lower, NameFolding::Upper}) {
      const auto dialect = odbc::makeDialect(kind, kind == ServerKind::Other ? '`' : '"', folding);
      const std::string translated = dialect->translate(sql);
      if (dialect->isQuery(translated)) {
        (void)dialect->limitRows(translated, 5, 3);
        (void)dialect->countRows(translated);
      }
      (void)dialect->quoteIdentifier(sql);
      (void)odbc::singleTable(sql, folding);
      (void)odbc::restoreNameCase(sql.substr(0, 8), sql, folding);
    }
  }
  (void)odbc::serverKindOf(sql);
  (void)odbc::withLeadingColumns(sql, "\"a\", \"b\"");
  (void)odbc::hasSecondStatement(sql);
  return 0;
}
