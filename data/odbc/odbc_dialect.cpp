#include "odbc_dialect.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>

#include "kvdn/object.h"
#include "kvdn/text.h"
#include "sql_text.h"

namespace kvdn::odbc {

namespace {

using sql::Token;
using sql::TokenKind;

using sql::npos;

// The largest row count a LIMIT takes: "all the rest" where a server needs a
// LIMIT before its OFFSET.
constexpr const char* kNoLimit = "9223372036854775807";

using Parsed = sql::TokenList;

bool isClauseWord(const Parsed& p, std::size_t i) {
  static constexpr std::array<std::string_view, 22> kWords = {
      "where",   "group",     "order", "having", "limit", "offset", "fetch", "union",
      "except",  "intersect", "join",  "inner",  "left",  "right",  "full",  "cross",
      "natural", "on",        "using", "window", "for",   "into"};
  if (i >= p.size() || p.kind(i) != TokenKind::Word) return false;
  for (auto w : kWords) {
    if (iequals(p.str(i), w)) return true;
  }
  return false;
}

std::string quoteWith(std::string_view name, char open, char close) {
  std::string out(1, open);
  for (char c : name) {
    if (c == close) out += close;
    out += c;
  }
  out += close;
  return out;
}

std::string folded(std::string_view name, NameFolding folding) {
  switch (folding) {
    case NameFolding::Lower:
      return asciiLower(name);
    case NameFolding::Upper:
      return asciiUpper(name);
    case NameFolding::None:
      break;
  }
  return std::string(name);
}

// A name token without its brackets or quotes. An unquoted word is folded
// as `words` says, a bracketed name as `brackets` says; a quoted name is
// taken as it stands.
std::string unquote(std::string_view t, NameFolding words, NameFolding brackets = NameFolding::None) {
  if (t.size() >= 2 && t.front() == '[') return folded(t.substr(1, t.size() - 2), brackets);
  if (t.size() >= 2 && (t.front() == '"' || t.front() == '`')) {
    const char q = t.front();
    std::string name;
    for (std::size_t i = 1; i + 1 < t.size(); ++i) {
      name += t[i];
      if (t[i] == q && t[i + 1] == q) ++i;
    }
    return name;
  }
  return folded(t, words);
}

// "SELECT count(*) FROM (...) AS kvdn_count" over the statement without its
// outer ORDER BY, which cannot change the count. The ORDER BY stays when the
// rows are cut by TOP or by a row limit (SQL Server needs it there).
std::string countOf(std::string_view sql, bool keepOrderWithTop) {
  std::string_view statement = sql::trimStatement(sql);
  Parsed p(statement);
  std::string body(statement);
  const std::size_t order = p.outerOrderBy();
  if (order != npos && !(keepOrderWithTop && p.outerTop())) {
    std::size_t to = p.size();
    for (std::size_t i = order; i < p.size(); i = p.skipGroup(i)) {
      if (p.isWord(i, "limit") || p.isWord(i, "offset") || p.isWord(i, "fetch")) {
        to = i;
        break;
      }
    }
    const bool cut = to < p.size();
    if (!(keepOrderWithTop && cut)) {
      const std::size_t from = p.tokens[order].begin;
      const std::size_t end = cut ? p.tokens[to].begin : statement.size();
      body = std::string(statement.substr(0, from)) + " " + std::string(statement.substr(end));
    }
  }
  return "SELECT count(*) FROM (" + body + ") AS kvdn_count";
}

// The characters htmlEncode(x) writes as entities, in the order the nested
// replace() calls apply them ("&" first, so that no entity is escaped twice),
// each as an SQL expression and its entity. The braces are written as chr()
// / CHAR() calls: a "{" in the statement text could be taken by the driver
// for the start of an ODBC escape clause.
struct Entity {
  const char* pg;
  const char* mssql;
  const char* entity;
};
constexpr Entity kEntities[] = {
    {"'&'", "'&'", "'&amp;'"},
    {"'<'", "'<'", "'&lt;'"},
    {"'>'", "'>'", "'&gt;'"},
    {"'\"'", "'\"'", "'&quot;'"},
    {"''''", "''''", "'&#39;'"},
    {"chr(123)", "CHAR(123)", "'&#123;'"},
    {"chr(125)", "CHAR(125)", "'&#125;'"},
};

// htmlEncode(x), the function every provider offers page authors (what
// htmlCellText does to a text), written as the server's own nested replace()
// over x cast to text. Null stays Null. Everything else passes unchanged.
std::string withHtmlEncode(std::string_view sql, bool sqlServer) {
  if (asciiLower(sql).find(asciiLower(kHtmlEncodeFunction)) == std::string::npos) return std::string(sql);
  Parsed p(sql);
  std::vector<bool> opens(p.size(), false);
  std::vector<bool> closes(p.size(), false);
  bool any = false;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (!p.isWord(i, kHtmlEncodeFunction)) continue;
    const std::size_t before = p.prevSig(i);
    if (before != npos && p.isPunct(before, '.')) continue;  // a function of some schema of the server's
    const std::size_t open = p.nextSig(i + 1);
    if (!p.isPunct(open, '(') || p.partner[open] == npos) continue;
    opens[i] = true;
    closes[p.partner[open]] = true;
    any = true;
  }
  if (!any) return std::string(sql);
  std::string prefix;
  for (std::size_t k = 0; k < std::size(kEntities); ++k) prefix += "replace(";
  prefix += "CAST(";
  std::string suffix = sqlServer ? " AS nvarchar(max))" : " AS text)";
  for (const Entity& e : kEntities) {
    suffix += ',';
    suffix += sqlServer ? e.mssql : e.pg;
    suffix += ',';
    suffix += e.entity;
    suffix += ')';
  }
  std::string out;
  out.reserve(sql.size() + 160);
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (opens[i]) {
      out += prefix;
      i = p.nextSig(i + 1);  // the "(": the prefix has opened the cast
      continue;
    }
    if (closes[i]) {
      out += suffix;
      continue;
    }
    out += p.str(i);
  }
  return out;
}

// SQL Server: statements are its own dialect already.
class SqlServerDialect final : public Dialect {
 public:
  std::string translate(std::string_view s) const override { return withHtmlEncode(s, true); }
  bool isQuery(std::string_view s) const override { return sql::shapeOf(s).query; }

  // OFFSET ... FETCH needs an ORDER BY at the outer level and no TOP: a
  // statement without one is wrapped and ordered by nothing in particular.
  std::string limitRows(std::string_view s, std::int64_t limit, std::int64_t offset) const override {
    std::string statement(sql::trimStatement(s));
    if (limit < 0 && offset <= 0) return statement;
    std::string fetch = " OFFSET " + std::to_string(offset < 0 ? 0 : offset) + " ROWS";
    if (limit >= 0) fetch += " FETCH NEXT " + std::to_string(limit) + " ROWS ONLY";
    Parsed p(statement);
    const bool ordered = p.outerOrderBy() != npos;
    const bool cut = p.outerTop() || p.findOuter(0, "offset") != npos;
    if (ordered && !cut) return statement + fetch;
    return "SELECT * FROM (" + statement + ") AS kvdn_page ORDER BY (SELECT NULL)" + fetch;
  }

  std::string countRows(std::string_view s) const override { return countOf(s, true); }
  std::string quoteIdentifier(std::string_view name) const override { return quoteWith(name, '[', ']'); }
};

// Every other server: TOP becomes LIMIT, [names] become quoted names, and a
// derived table gets the alias PostgreSQL (before 16) and others require.
class LimitDialect final : public Dialect {
 public:
  LimitDialect(char quote, NameFolding folding) : quote_(quote), folding_(folding) {}

  std::string translate(std::string_view s) const override {
    const std::string limited = sql::translateTop(withHtmlEncode(s, false));
    Parsed p(limited);
    std::vector<bool> aliasAfter(p.size(), false);
    for (std::size_t i = 0; i < p.size(); ++i) {
      if (!p.isPunct(i, '(') || p.partner[i] == npos) continue;
      const std::size_t before = p.prevSig(i);
      if (before == npos || !(p.isWord(before, "from") || p.isWord(before, "join"))) continue;
      const std::size_t inner = p.nextSig(i + 1);
      if (!(p.isWord(inner, "select") || p.isWord(inner, "with") || p.isWord(inner, "values"))) continue;
      const std::size_t after = p.nextSig(p.partner[i] + 1);
      const bool aliased = p.isName(after) && !isClauseWord(p, after);
      if (!aliased) aliasAfter[p.partner[i]] = true;
    }
    std::string out;
    out.reserve(limited.size() + 16);
    int aliases = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
      std::string_view t = p.str(i);
      if (p.kind(i) == TokenKind::QuotedName && t.size() >= 2 && t.front() == '[' && t.back() == ']') {
        out += quoteWith(unquote(t, NameFolding::None, folding_), quote_, quote_);
      } else {
        out += t;
      }
      if (aliasAfter[i]) out += " AS kvdn_d" + std::to_string(++aliases);
    }
    return out;
  }

  bool isQuery(std::string_view s) const override { return sql::shapeOf(s).query; }

  std::string limitRows(std::string_view s, std::int64_t limit, std::int64_t offset) const override {
    std::string statement(sql::trimStatement(s));
    if (limit < 0 && offset <= 0) return statement;
    std::string tail = " LIMIT " + (limit >= 0 ? std::to_string(limit) : std::string(kNoLimit));
    if (offset > 0) tail += " OFFSET " + std::to_string(offset);
    Parsed p(statement);
    bool cut = false;
    for (std::size_t i = 0; i < p.size(); i = p.skipGroup(i)) {
      if (p.isWord(i, "limit") || p.isWord(i, "offset") || p.isWord(i, "fetch")) cut = true;
    }
    if (cut) return "SELECT * FROM (" + statement + ") AS kvdn_page" + tail;
    return statement + tail;
  }

  std::string countRows(std::string_view s) const override { return countOf(s, false); }
  std::string quoteIdentifier(std::string_view name) const override {
    return quoteWith(name, quote_, quote_);
  }

 private:
  char quote_;
  NameFolding folding_;
};

// MdbTools: Access names ([brackets]) and TOP are its own; a page window
// is a LIMIT over the rows up to its end, the rows before it skipped by the
// session (see takeTrailingOffset). It cannot count a statement with a WHERE
// (the count comes back without a column): the session counts by reading.
class MdbToolsDialect final : public Dialect {
 public:
  std::string translate(std::string_view s) const override { return std::string(s); }
  bool isQuery(std::string_view s) const override { return sql::shapeOf(s).query; }

  std::string limitRows(std::string_view s, std::int64_t limit, std::int64_t offset) const override {
    std::string statement(sql::trimStatement(s));
    if (limit < 0 && offset <= 0) return statement;
    Parsed p(statement);
    bool cut = p.outerTop();
    for (std::size_t i = 0; i < p.size(); i = p.skipGroup(i)) cut = cut || p.isWord(i, "limit");
    // TOP and LIMIT together are refused: with a TOP the rows past the
    // window are simply not read.
    if (limit >= 0 && !cut)
      statement += " LIMIT " + std::to_string(limit + std::max<std::int64_t>(offset, 0));
    if (offset > 0) statement += " OFFSET " + std::to_string(offset);
    return statement;
  }

  std::string countRows(std::string_view s) const override { return std::string(sql::trimStatement(s)); }
  std::string quoteIdentifier(std::string_view name) const override { return quoteWith(name, '[', ']'); }
};

}  // namespace

ServerKind serverKindOf(std::string_view dbmsName) {
  const std::string name = asciiLower(dbmsName);
  if (name.find("sql server") != std::string::npos) return ServerKind::SqlServer;
  if (name.find("postgres") != std::string::npos) return ServerKind::PostgreSql;
  if (name == "mdbtools") return ServerKind::MdbTools;
  return ServerKind::Other;
}

std::unique_ptr<Dialect> makeDialect(ServerKind kind, char quote, NameFolding folding) {
  if (kind == ServerKind::SqlServer) return std::make_unique<SqlServerDialect>();
  if (kind == ServerKind::MdbTools) return std::make_unique<MdbToolsDialect>();
  if (quote == ' ' || quote == '\0') quote = '"';
  return std::make_unique<LimitDialect>(quote, folding);
}

std::string restoreNameCase(std::string_view label, std::string_view sql, NameFolding folding) {
  if (folding == NameFolding::None || label.empty()) return std::string(label);
  const std::vector<Token> tokens = sql::tokenize(sql);
  for (const Token& t : tokens) {
    if (t.kind != TokenKind::Word) continue;
    std::string_view word = sql.substr(t.begin, t.end - t.begin);
    if (word.size() != label.size() || word == label) continue;
    const std::string folded = folding == NameFolding::Lower ? asciiLower(word) : asciiUpper(word);
    if (folded == label) return std::string(word);
  }
  return std::string(label);
}

std::string singleTable(std::string_view sql, NameFolding folding) {
  std::string_view statement = sql::trimStatement(sql);
  const sql::Shape shape = sql::shapeOf(statement);
  if (!shape.query || shape.compound) return {};
  Parsed p(statement);
  const std::size_t from = p.findOuter(0, "from");
  if (from == npos) return {};
  std::size_t j = p.nextSig(from + 1);
  if (!p.isName(j) || isClauseWord(p, j)) return {};
  std::size_t name = j;
  std::size_t k = p.nextSig(j + 1);
  while (p.isPunct(k, '.')) {  // schema.table: the last part names the table
    const std::size_t part = p.nextSig(k + 1);
    if (!p.isName(part)) return {};
    name = part;
    k = p.nextSig(part + 1);
  }
  if (p.isWord(k, "as")) {
    k = p.nextSig(k + 1);
    if (!p.isName(k)) return {};
    k = p.nextSig(k + 1);
  } else if (p.isName(k) && !isClauseWord(p, k)) {
    k = p.nextSig(k + 1);
  }
  const bool ends =
      k >= p.size() || p.isPunct(k, ';') ||
      (isClauseWord(p, k) && !p.isWord(k, "join") && !p.isWord(k, "inner") && !p.isWord(k, "left") &&
       !p.isWord(k, "right") && !p.isWord(k, "full") && !p.isWord(k, "cross") && !p.isWord(k, "natural") &&
       !p.isWord(k, "on") && !p.isWord(k, "using") && !p.isWord(k, "union") && !p.isWord(k, "except") &&
       !p.isWord(k, "intersect"));
  if (!ends) return {};
  return unquote(p.str(name), folding, folding);
}

std::string withLeadingColumns(std::string_view sql, std::string_view columns) {
  const sql::Shape shape = sql::shapeOf(sql);
  if (!shape.query || shape.distinct || shape.grouped || shape.compound) return {};
  Parsed p(sql);
  std::size_t select = npos;
  std::size_t next = p.afterSelect(&select);
  if (select == npos || p.isWord(p.nextSig(select + 1), "distinct")) return {};
  std::size_t after = p.prevSig(next);  // SELECT or ALL
  if (p.isWord(next, "top")) {
    std::size_t n = p.nextSig(next + 1);
    if (p.isPunct(n, '(') && p.partner[n] != npos) {
      after = p.partner[n];
    } else if (n < p.size() && p.kind(n) == TokenKind::Number) {
      after = n;
    } else {
      return {};
    }
    std::size_t more = p.nextSig(after + 1);
    if (p.isWord(more, "percent")) {
      after = more;
      more = p.nextSig(more + 1);
    }
    if (p.isWord(more, "with") && p.isWord(p.nextSig(more + 1), "ties")) after = p.nextSig(more + 1);
  }
  if (after == npos) return {};
  const std::size_t at = p.tokens[after].end;
  return std::string(sql.substr(0, at)) + " " + std::string(columns) + "," + std::string(sql.substr(at));
}

bool hasSecondStatement(std::string_view sql) {
  Parsed p(sql);
  bool ended = false;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p.trivia(i)) continue;
    if (p.isPunct(i, ';')) {
      ended = true;
    } else if (ended) {
      return true;
    }
  }
  return false;
}

std::int64_t takeTrailingOffset(std::string& sql) {
  Parsed p(sql);
  std::size_t last = npos;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (!p.trivia(i) && !p.isPunct(i, ';')) last = i;
  }
  if (last == npos || p.kind(last) != TokenKind::Number) return 0;
  const std::size_t word = p.prevSig(last);
  if (!p.isWord(word, "offset")) return 0;
  std::int64_t n = 0;
  for (char c : p.str(last)) {
    if (c < '0' || c > '9' || n > (std::numeric_limits<std::int64_t>::max() - 9) / 10) return 0;
    n = n * 10 + (c - '0');
  }
  sql.erase(p.tokens[word].begin);
  while (!sql.empty() && sql.back() == ' ') sql.pop_back();
  return n;
}

}  // namespace kvdn::odbc
