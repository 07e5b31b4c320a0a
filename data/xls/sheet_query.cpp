#include "sheet_query.h"

#include <charconv>
#include <optional>

#include "kvdn/error.h"
#include "kvdn/object.h"

namespace kvdn::xls {

namespace {

enum class Kind { Word, Name, Punct, End };

struct Token {
  Kind kind;
  std::string text;  // a bracketed name without its brackets
};

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool isPunct(char c) {
  return c == ',' || c == '(' || c == ')' || c == '*' || c == ';';
}

[[noreturn]] void syntaxError(std::string_view sql, std::string_view what) {
  raise(err::kDbErrorsInCommand, "Syntax error in query (" + std::string(what) + "): " + std::string(sql));
}

std::vector<Token> tokenize(std::string_view sql) {
  std::vector<Token> out;
  std::size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (isBlank(c)) {
      ++i;
    } else if (c == '[') {
      std::string name;
      std::size_t j = i + 1;
      for (;;) {
        if (j >= sql.size()) syntaxError(sql, "unterminated [name]");
        if (sql[j] == ']') {
          if (j + 1 < sql.size() && sql[j + 1] == ']') {
            name += ']';
            j += 2;
            continue;
          }
          break;
        }
        name += sql[j++];
      }
      out.push_back({Kind::Name, std::move(name)});
      i = j + 1;
    } else if (c == ']') {
      syntaxError(sql, "unexpected ]");
    } else if (isPunct(c)) {
      out.push_back({Kind::Punct, std::string(1, c)});
      ++i;
    } else {
      std::size_t j = i;
      while (j < sql.size() && !isBlank(sql[j]) && !isPunct(sql[j]) && sql[j] != '[' && sql[j] != ']') ++j;
      out.push_back({Kind::Word, std::string(sql.substr(i, j - i))});
      i = j;
    }
  }
  out.push_back({Kind::End, {}});
  return out;
}

class Parser {
 public:
  explicit Parser(std::string_view sql) : sql_(sql), tokens_(tokenize(sql)) {}

  SheetQuery statement() {
    SheetQuery q = select();
    if (peekPunct(";")) ++pos_;
    if (tokens_[pos_].kind != Kind::End) fail("unexpected text after the statement");
    return q;
  }

 private:
  SheetQuery select() {
    expectKeyword("SELECT");
    SheetQuery q;
    if (peekKeyword("count") && tokens_[pos_ + 1].kind == Kind::Punct && tokens_[pos_ + 1].text == "(") {
      pos_ += 2;
      expectPunct("*");
      expectPunct(")");
      expectKeyword("FROM");
      expectPunct("(");
      q = select();
      expectPunct(")");
      if (q.count) fail("nested count");
      q.count = true;
      return q;
    }
    if (peekPunct("*")) {
      ++pos_;
      q.allColumns = true;
    } else {
      q.columns.push_back(name("a column name"));
      while (peekPunct(",")) {
        ++pos_;
        q.columns.push_back(name("a column name"));
      }
    }
    expectKeyword("FROM");
    q.sheet = sheet();
    if (peekKeyword("WHERE")) {
      ++pos_;
      q.filterColumn = name("a column name after WHERE");
      expectKeyword("IS");
      q.filterNotNull = false;
      if (peekKeyword("NOT")) {
        ++pos_;
        q.filterNotNull = true;
      }
      expectKeyword("NULL");
    }
    if (peekKeyword("LIMIT")) {
      ++pos_;
      q.limit = number();
      if (peekKeyword("OFFSET")) {
        ++pos_;
        q.offset = number();
        if (q.offset < 0) fail("negative OFFSET");
      }
    }
    return q;
  }

  std::string sheet() {
    const Token& t = tokens_[pos_];
    if ((t.kind != Kind::Name && t.kind != Kind::Word) || t.text.size() < 2 || t.text.back() != '$') {
      fail("expected a worksheet as [NAME$]");
    }
    ++pos_;
    return t.text.substr(0, t.text.size() - 1);
  }

  std::string name(const char* what) {
    const Token& t = tokens_[pos_];
    if (t.kind == Kind::Name && !t.text.empty()) {
      ++pos_;
      return t.text;
    }
    if (t.kind == Kind::Word && !isKeyword(t.text)) {
      ++pos_;
      return t.text;
    }
    fail(std::string("expected ") + what);
  }

  std::int64_t number() {
    const Token& t = tokens_[pos_];
    std::int64_t value = 0;
    if (t.kind == Kind::Word) {
      const char* first = t.text.data();
      const char* last = first + t.text.size();
      auto [ptr, ec] = std::from_chars(first, last, value);
      if (ec == std::errc() && ptr == last) {
        ++pos_;
        return value;
      }
    }
    fail("expected a whole number");
  }

  static bool isKeyword(std::string_view word) {
    for (const char* k : {"SELECT", "FROM", "WHERE", "IS", "NOT", "NULL", "LIMIT", "OFFSET"}) {
      if (iequals(word, k)) return true;
    }
    return false;
  }
  bool peekKeyword(const char* keyword) const {
    return tokens_[pos_].kind == Kind::Word && iequals(tokens_[pos_].text, keyword);
  }
  bool peekPunct(const char* punct) const {
    return tokens_[pos_].kind == Kind::Punct && tokens_[pos_].text == punct;
  }
  void expectKeyword(const char* keyword) {
    if (!peekKeyword(keyword)) fail(std::string("expected ") + keyword);
    ++pos_;
  }
  void expectPunct(const char* punct) {
    if (!peekPunct(punct)) fail(std::string("expected ") + punct);
    ++pos_;
  }
  [[noreturn]] void fail(const std::string& what) const { syntaxError(sql_, what); }

  std::string_view sql_;
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
};

}  // namespace

SheetQuery parseSheetQuery(std::string_view sql) {
  return Parser(sql).statement();
}

std::string bracketName(std::string_view name) {
  std::string out = "[";
  for (char c : name) {
    out += c;
    if (c == ']') out += ']';
  }
  out += ']';
  return out;
}

}  // namespace kvdn::xls
