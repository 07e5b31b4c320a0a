#include "sql_text.h"

#include <array>

#include "kvdn/object.h"

namespace kvdn::sql {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isWordStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool isWordChar(char c) {
  return isWordStart(c) || isDigit(c) || c == '$';
}

// The end of a literal opened by `quote` at `i`; a doubled quote stands for
// itself. Unterminated: the end of the text.
std::size_t quotedEnd(std::string_view s, std::size_t i, char quote) {
  std::size_t j = i + 1;
  while (j < s.size()) {
    if (s[j] == quote) {
      if (j + 1 < s.size() && s[j + 1] == quote) {
        j += 2;
        continue;
      }
      return j + 1;
    }
    ++j;
  }
  return s.size();
}

bool allDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!isDigit(c)) return false;
  }
  return true;
}

// A TOP clause found after a SELECT: the tokens to drop and the row count.
struct Top {
  std::size_t begin = npos;
  std::size_t end = npos;
  std::string count;
};

// "SELECT [DISTINCT|ALL] TOP n" / "TOP (n)" in the segment [b, e).
Top findTop(const TokenList& p, std::size_t b, std::size_t e) {
  Top top;
  std::size_t select = p.findWord(b, e, "select");
  if (select == npos) return top;
  std::size_t j = p.nextSig(select + 1, e);
  if (p.isWord(j, "distinct") || p.isWord(j, "all")) j = p.nextSig(j + 1, e);
  if (!p.isWord(j, "top")) return top;
  std::size_t k = p.nextSig(j + 1, e);
  std::size_t last = npos;
  if (k < e && p.tokens[k].kind == TokenKind::Number && allDigits(p.str(k))) {
    top.count = std::string(p.str(k));
    last = k;
  } else if (p.isPunct(k, '(')) {
    std::size_t n = p.nextSig(k + 1, e);
    std::size_t close = p.nextSig(n + 1, e);
    if (n < e && p.tokens[n].kind == TokenKind::Number && allDigits(p.str(n)) && p.isPunct(close, ')')) {
      top.count = std::string(p.str(n));
      last = close;
    }
  }
  if (last == npos) return top;  // "top" used as a name, or TOP with an expression
  // TOP n PERCENT / WITH TIES have no LIMIT form: left for the engine to refuse.
  const std::size_t after = p.nextSig(last + 1, e);
  if (p.isWord(after, "percent") || (p.isWord(after, "with") && p.isWord(p.nextSig(after + 1, e), "ties")))
    return top;
  top.begin = j;
  top.end = last + 1;
  if (top.end < e && p.tokens[top.end].kind == TokenKind::Space) ++top.end;
  return top;
}

void emitLevel(const TokenList& p, std::size_t b, std::size_t e, std::string& out);

// Tokens [b, e) with nested groups translated, leaving out [skipB, skipE).
void emitRange(const TokenList& p, std::size_t b, std::size_t e, std::size_t skipB, std::size_t skipE,
               std::string& out) {
  for (std::size_t i = b; i < e;) {
    if (i >= skipB && i < skipE) {
      i = skipE;
      continue;
    }
    if (p.isPunct(i, '(') && p.partner[i] != npos && p.partner[i] < e) {
      out += '(';
      emitLevel(p, i + 1, p.partner[i], out);
      out += ')';
      i = p.partner[i] + 1;
      continue;
    }
    out += p.str(i);
    ++i;
  }
}

// One nesting level [b, e): its compound arms, each with its TOP turned into
// a LIMIT at the end of that arm.
void emitLevel(const TokenList& p, std::size_t b, std::size_t e, std::string& out) {
  // Arms are separated by compound operators at this level; separator i
  // (operator plus its own ALL / DISTINCT) stands between arm i and arm i+1.
  std::vector<std::pair<std::size_t, std::size_t>> arms;
  std::vector<std::pair<std::size_t, std::size_t>> separators;
  std::size_t armBegin = b;
  for (std::size_t i = b; i < e; i = p.skipGroup(i)) {
    if (!p.isCompoundOperator(i)) continue;
    arms.emplace_back(armBegin, i);
    std::size_t next = i + 1;
    std::size_t k = p.nextSig(next, e);
    if (p.isWord(k, "all") || p.isWord(k, "distinct")) next = k + 1;
    separators.emplace_back(i, next);
    armBegin = next;
    i = next - 1;  // skipGroup(i) steps to `next`
  }
  arms.emplace_back(armBegin, e);
  const bool compound = arms.size() > 1;

  for (std::size_t a = 0; a < arms.size(); ++a) {
    if (a > 0) emitRange(p, separators[a - 1].first, separators[a - 1].second, npos, npos, out);
    const auto [ab, ae] = arms[a];
    Top top = findTop(p, ab, ae);
    if (top.begin == npos) {
      emitRange(p, ab, ae, npos, npos, out);
      continue;
    }
    std::size_t first = p.nextSig(ab, ae);
    std::size_t last = p.lastSig(ab, ae);
    emitRange(p, ab, first, npos, npos, out);
    if (compound) out += "SELECT * FROM (";
    emitRange(p, first, last + 1, top.begin, top.end, out);
    out += " LIMIT ";
    out += top.count;
    if (compound) out += ')';
    emitRange(p, last + 1, ae, npos, npos, out);
  }
}

}  // namespace

TokenList::TokenList(std::string_view sql) : text(sql), tokens(tokenize(sql)), partner(tokens.size(), npos) {
  std::vector<std::size_t> open;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (isPunct(i, '(')) {
      open.push_back(i);
    } else if (isPunct(i, ')') && !open.empty()) {
      partner[open.back()] = i;
      partner[i] = open.back();
      open.pop_back();
    }
  }
}

bool TokenList::isWord(std::size_t i, std::string_view word) const {
  return i < tokens.size() && tokens[i].kind == TokenKind::Word && iequals(str(i), word);
}

std::size_t TokenList::outerOrderBy() const {
  for (std::size_t i = 0; i < tokens.size(); i = skipGroup(i)) {
    if (isWord(i, "order") && isWord(nextSig(i + 1), "by")) return i;
  }
  return npos;
}

std::size_t TokenList::afterSelect(std::size_t* select) const {
  std::size_t s = findOuter(0, "select");
  if (select) *select = s;
  if (s == npos) return npos;
  std::size_t j = nextSig(s + 1);
  if (isWord(j, "distinct") || isWord(j, "all")) j = nextSig(j + 1);
  return j;
}

std::vector<Token> tokenize(std::string_view s) {
  std::vector<Token> out;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const char c = s[i];
    std::size_t j = i + 1;
    TokenKind kind = TokenKind::Punct;
    if (isSpace(c)) {
      while (j < n && isSpace(s[j])) ++j;
      kind = TokenKind::Space;
    } else if (c == '-' && j < n && s[j] == '-') {
      while (j < n && s[j] != '\n') ++j;
      kind = TokenKind::Comment;
    } else if (c == '/' && j < n && s[j] == '*') {
      std::size_t close = s.find("*/", i + 2);
      j = close == std::string_view::npos ? n : close + 2;
      kind = TokenKind::Comment;
    } else if (c == '\'') {
      j = quotedEnd(s, i, '\'');
      kind = TokenKind::String;
    } else if (c == '"' || c == '`') {
      j = quotedEnd(s, i, c);
      kind = TokenKind::QuotedName;
    } else if (c == '[') {
      std::size_t close = s.find(']', i + 1);
      j = close == std::string_view::npos ? n : close + 1;
      kind = TokenKind::QuotedName;
    } else if (isWordStart(c)) {
      while (j < n && isWordChar(s[j])) ++j;
      kind = TokenKind::Word;
    } else if (isDigit(c)) {
      while (j < n && (isDigit(s[j]) || s[j] == '.')) ++j;
      if (j < n && (s[j] == 'e' || s[j] == 'E')) {
        std::size_t k = j + 1;
        if (k < n && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < n && isDigit(s[k])) j = k;
      }
      while (j < n && isWordChar(s[j])) ++j;
      kind = TokenKind::Number;
    }
    out.push_back(Token{kind, i, j});
    i = j;
  }
  return out;
}

std::string translateTop(std::string_view sql) {
  TokenList p(sql);
  std::string out;
  out.reserve(sql.size() + 16);
  emitLevel(p, 0, p.tokens.size(), out);
  return out;
}

std::string_view trimStatement(std::string_view sql) {
  TokenList p(sql);
  std::size_t last = p.lastSig(0, p.tokens.size());
  if (last == npos) return sql.substr(0, 0);
  return sql.substr(0, p.tokens[last].end);
}

Shape shapeOf(std::string_view sql) {
  TokenList p(sql);
  Shape shape;
  const std::size_t e = p.tokens.size();
  std::size_t first = p.nextSig(0, e);
  std::size_t select = npos;
  if (p.isWord(first, "select") || p.isWord(first, "values")) {
    shape.query = true;
    select = p.isWord(first, "select") ? first : npos;
  } else if (p.isWord(first, "with")) {
    for (std::size_t i = first + 1; i < e; i = p.skipGroup(i)) {
      if (p.isWord(i, "select") || p.isWord(i, "values")) {
        shape.query = true;
        select = p.isWord(i, "select") ? i : npos;
        break;
      }
      if (p.isWord(i, "insert") || p.isWord(i, "update") || p.isWord(i, "delete") || p.isWord(i, "replace"))
        break;
    }
  }
  if (!shape.query) return shape;
  if (select != npos) shape.distinct = p.isWord(p.nextSig(select + 1, e), "distinct");
  for (std::size_t i = first; i < e; i = p.skipGroup(i)) {
    if (p.isWord(i, "limit")) shape.limited = true;
    if (p.isCompoundOperator(i)) shape.compound = true;
    if (p.isWord(i, "group") && p.isWord(p.nextSig(i + 1, e), "by")) shape.grouped = true;
  }
  return shape;
}

std::string limitRows(std::string_view sql, std::int64_t limit, std::int64_t offset) {
  std::string_view statement = trimStatement(sql);
  std::string tail = " LIMIT " + std::to_string(limit < 0 ? -1 : limit);
  if (offset > 0) tail += " OFFSET " + std::to_string(offset);
  if (shapeOf(statement).limited) return "SELECT * FROM (" + std::string(statement) + ")" + tail;
  return std::string(statement) + tail;
}

std::string countRows(std::string_view sql) {
  std::string_view statement = trimStatement(sql);
  TokenList p(statement);
  const std::size_t e = p.tokens.size();
  std::string body(statement);
  for (std::size_t i = 0; i < e; i = p.skipGroup(i)) {
    if (p.isWord(i, "order") && p.isWord(p.nextSig(i + 1, e), "by")) {
      std::size_t limit = p.findWord(i, e, "limit");
      std::size_t from = p.tokens[i].begin;
      std::size_t to = limit == npos ? statement.size() : p.tokens[limit].begin;
      body = std::string(statement.substr(0, from)) + " " + std::string(statement.substr(to));
      break;
    }
  }
  return "SELECT count(*) FROM (" + body + ")";
}

std::string withLeadingColumn(std::string_view sql, std::string_view column) {
  Shape shape = shapeOf(sql);
  if (!shape.query || shape.distinct || shape.grouped || shape.compound) return {};
  TokenList p(sql);
  const std::size_t e = p.tokens.size();
  std::size_t select = p.findWord(0, e, "select");
  if (select == npos) return {};
  std::size_t after = select;
  std::size_t next = p.nextSig(select + 1, e);
  if (p.isWord(next, "all")) after = next;
  std::size_t at = p.tokens[after].end;
  return std::string(sql.substr(0, at)) + " " + std::string(column) + "," + std::string(sql.substr(at));
}

std::string quoteIdentifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

InsertLists insertLists(const std::vector<std::string>& columns,
                        const std::function<std::string(std::string_view)>& quote) {
  InsertLists out{"(", "("};
  for (const auto& c : columns) {
    if (out.names.size() > 1) {
      out.names += ", ";
      out.markers += ", ";
    }
    out.names += quote(c);
    out.markers += '?';
  }
  out.names += ')';
  out.markers += ')';
  return out;
}

std::string tableNameOnly(std::string_view source) {
  TokenList p(source);
  const std::size_t e = p.tokens.size();
  std::size_t only = p.nextSig(0, e);
  if (only >= e) return {};
  std::size_t after = p.nextSig(only + 1, e);
  while (after < e && p.isPunct(after, ';')) after = p.nextSig(after + 1, e);
  if (after < e) return {};
  std::string_view t = p.str(only);
  if (p.tokens[only].kind == TokenKind::Word) {
    static constexpr std::array<std::string_view, 8> kVerbs = {"select", "insert", "update", "delete",
                                                               "create", "drop",   "alter",  "pragma"};
    for (auto verb : kVerbs) {
      if (iequals(t, verb)) return {};
    }
    return std::string(t);
  }
  if (p.tokens[only].kind != TokenKind::QuotedName || t.size() < 2) return {};
  if (t.front() == '[') return std::string(t.substr(1, t.size() - 2));
  std::string name;
  const char quote = t.front();
  for (std::size_t i = 1; i + 1 < t.size(); ++i) {
    name += t[i];
    if (t[i] == quote && t[i + 1] == quote) ++i;
  }
  return name;
}

}  // namespace kvdn::sql
