// SQL text work for the SQLite dialect, done on tokens (string literals,
// quoted and bracketed names, comments are single tokens), never by pattern
// matching over the raw text: a "top 5" inside a literal stays untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvdn::sql {

enum class TokenKind { Space, Comment, String, QuotedName, Word, Number, Punct };

struct Token {
  TokenKind kind;
  std::size_t begin;
  std::size_t end;  // one past the last byte
};

// Splits `sql` into tokens covering every byte. Unterminated literals,
// names and comments run to the end of the text.
std::vector<Token> tokenize(std::string_view sql);

// "SELECT [DISTINCT|ALL] TOP n ..." (also "TOP (n)", any letter case, at any
// nesting depth) becomes that SELECT with " LIMIT n" after its last clause,
// inside its parentheses for a sub-query. A SELECT with TOP that is one arm
// of a UNION / EXCEPT / INTERSECT is wrapped as "SELECT * FROM (... LIMIT n)"
// because SQLite allows LIMIT only after the last arm. Everything else passes
// unchanged, [bracketed] names included (SQLite accepts them).
std::string translateTop(std::string_view sql);

// The facts about a statement's outer level the data layer needs.
struct Shape {
  bool query = false;     // SELECT (possibly after WITH) or VALUES
  bool limited = false;   // has a LIMIT at the outer level
  bool compound = false;  // UNION / EXCEPT / INTERSECT at the outer level
  bool distinct = false;  // the outer SELECT is DISTINCT
  bool grouped = false;   // GROUP BY at the outer level
};
Shape shapeOf(std::string_view sql);

// Rows offset..offset+limit-1 of the query `sql`: LIMIT/OFFSET appended to the
// outer level, or the query wrapped as a sub-query when it already has a
// LIMIT. limit < 0: no upper bound.
std::string limitRows(std::string_view sql, std::int64_t limit, std::int64_t offset);

// "SELECT count(*) FROM (sql)", without an outer ORDER BY (it cannot change
// the count but may make SQLite sort).
std::string countRows(std::string_view sql);

// `sql` with `column` (SQL text ending without a comma) placed as the first
// column of the outer SELECT. Empty when the statement does not allow it
// (no outer SELECT, DISTINCT, GROUP BY, compound).
std::string withLeadingColumn(std::string_view sql, std::string_view column);

// `sql` without a trailing ";" and blanks/comments after the statement.
std::string_view trimStatement(std::string_view sql);

// `name` as a double-quoted identifier (quotes doubled).
std::string quoteIdentifier(std::string_view name);

// The name when `source` is one bare or bracketed/quoted table name and
// nothing else (a Recordset opened on a table); else empty.
std::string tableNameOnly(std::string_view source);

}  // namespace kvdn::sql
