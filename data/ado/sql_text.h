// SQL text work shared by every provider's dialect, done on tokens (string
// literals, quoted and bracketed names, comments are single tokens), never by
// pattern matching over the raw text: a "top 5" inside a literal stays
// untouched. The rewrites turn the Access / SQL Server forms pages write into
// the LIMIT / OFFSET form of SQLite and most servers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Splits `sql` into tokens covering every byte. Unterminated literals,
// names and comments run to the end of the text.
std::vector<Token> tokenize(std::string_view sql);

// The tokens of one statement with the partner of every balanced
// parenthesis, and the questions the dialects ask of them. Indexes run over
// `tokens`; npos means "none". Keeps a view of the text: the text must
// outlive it.
class TokenList {
 public:
  explicit TokenList(std::string_view sql);

  std::string_view text;
  std::vector<Token> tokens;
  std::vector<std::size_t> partner;  // npos for unbalanced and non-parentheses

  std::size_t size() const { return tokens.size(); }
  std::string_view str(std::size_t i) const {
    return text.substr(tokens[i].begin, tokens[i].end - tokens[i].begin);
  }
  TokenKind kind(std::size_t i) const { return tokens[i].kind; }
  bool trivia(std::size_t i) const {
    return tokens[i].kind == TokenKind::Space || tokens[i].kind == TokenKind::Comment;
  }
  bool isPunct(std::size_t i, char c) const {
    return i < tokens.size() && tokens[i].kind == TokenKind::Punct && text[tokens[i].begin] == c;
  }
  // A word token equal to `word`, letter case ignored.
  bool isWord(std::size_t i, std::string_view word) const;
  bool isName(std::size_t i) const {
    return i < tokens.size() &&
           (tokens[i].kind == TokenKind::Word || tokens[i].kind == TokenKind::QuotedName);
  }
  // The first significant token at or after i, before e (else e; e defaults
  // to the end).
  std::size_t nextSig(std::size_t i, std::size_t e = npos) const {
    if (e > tokens.size()) e = tokens.size();
    while (i < e && trivia(i)) ++i;
    return i;
  }
  // The significant token before i, or npos.
  std::size_t prevSig(std::size_t i) const {
    while (i > 0) {
      --i;
      if (!trivia(i)) return i;
    }
    return npos;
  }
  // The last significant token in [b, e) that is not a ";", or npos.
  std::size_t lastSig(std::size_t b, std::size_t e) const {
    for (std::size_t i = e; i > b; --i) {
      if (!trivia(i - 1) && !isPunct(i - 1, ';')) return i - 1;
    }
    return npos;
  }
  // Steps over a balanced parenthesis group starting at i.
  std::size_t skipGroup(std::size_t i) const {
    return isPunct(i, '(') && partner[i] != npos ? partner[i] + 1 : i + 1;
  }
  // The first token in [b, e) at this level that is the word, or npos.
  std::size_t findWord(std::size_t b, std::size_t e, std::string_view word) const {
    for (std::size_t i = b; i < e && i < tokens.size(); i = skipGroup(i)) {
      if (isWord(i, word)) return i;
    }
    return npos;
  }
  // The same from `b` to the end.
  std::size_t findOuter(std::size_t b, std::string_view word) const {
    return findWord(b, tokens.size(), word);
  }
  bool isCompoundOperator(std::size_t i) const {
    return isWord(i, "union") || isWord(i, "except") || isWord(i, "intersect");
  }
  // "ORDER BY" at the outer level: the ORDER token, or npos.
  std::size_t outerOrderBy() const;
  // The token after "SELECT [ALL|DISTINCT]" of the first outer SELECT (npos
  // when there is none); `select` receives the SELECT token.
  std::size_t afterSelect(std::size_t* select = nullptr) const;
  // The first outer SELECT has a TOP.
  bool outerTop() const {
    std::size_t j = afterSelect();
    return j != npos && isWord(j, "top");
  }
};

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

// The parts of an INSERT for `columns` (at least one): "(a, b)" with each
// name as `quote` writes it, and "(?, ?)" with a marker per column.
struct InsertLists {
  std::string names;
  std::string markers;
};
InsertLists insertLists(const std::vector<std::string>& columns,
                        const std::function<std::string(std::string_view)>& quote);

// The name when `source` is one bare or bracketed/quoted table name and
// nothing else (a Recordset opened on a table); else empty.
std::string tableNameOnly(std::string_view source);

}  // namespace kvdn::sql
