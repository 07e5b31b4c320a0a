// SQL text helpers: the table a SELECT lists, and single-value statements.
#include <cstddef>
#include <string>
#include <string_view>

#include "helpers/trap.h"
#include "kvdn/db_class.h"
#include "kvdn/text.h"

namespace kvdn {

namespace {

bool isSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Part of a name: ASCII letters, digits, underscore and every non-ASCII byte
// (names may be Chinese).
bool isNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || u >= 0x80;
}

// Position of the first "from" that stands as a word of its own in the
// lower-cased statement `s`, outside quoted texts and [bracketed] names;
// npos when there is none.
std::size_t findFromKeyword(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\'' || c == '"') {
      // A quoted text; a doubled quote inside it stands for the quote itself.
      std::size_t j = i + 1;
      while (j < s.size()) {
        if (s[j] == c) {
          if (j + 1 < s.size() && s[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      i = j + 1;
      continue;
    }
    if (c == '[') {
      const std::size_t close = s.find(']', i + 1);
      if (close == std::string_view::npos) return std::string_view::npos;
      i = close + 1;
      continue;
    }
    if (isNameChar(c)) {
      std::size_t j = i;
      while (j < s.size() && isNameChar(s[j])) ++j;
      if (s.substr(i, j - i) == "from") return i;
      i = j;
      continue;
    }
    ++i;
  }
  return std::string_view::npos;
}

// Closes the method's own recordset when a failure leaves the method early;
// the failure itself goes on to the caller.
class CloseOnExit {
 public:
  explicit CloseOnExit(Recordset& rs) : rs_(&rs) {}
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;
  ~CloseOnExit() {
    if (!rs_) return;
    // The failure already on its way to the caller is the one that counts.
    trap::keepGoing([this] {
      if (rs_->isOpen()) rs_->close();
    });
  }
  void release() { rs_ = nullptr; }

 private:
  Recordset* rs_;
};

}  // namespace

// The word after the keyword "from", lower-cased. Any run of blanks, tabs
// and line breaks separates words; a [bracketed name] is one word. A statement without the keyword raises
// err::kInvalidCall; "from" at the very end gives "".
Variant DbClass::findTableName(const Variant& sql) {
  const std::string s = lowerCase(sql.toString());
  const std::size_t from = findFromKeyword(s);
  if (from == std::string::npos) raise(err::kInvalidCall);
  std::size_t begin = from + 4;
  while (begin < s.size() && isSeparator(s[begin])) ++begin;
  std::size_t end = begin;
  if (end < s.size() && s[end] == '[') {
    // A bracketed name is one word, blanks and all.
    const std::size_t close = s.find(']', end + 1);
    if (close != std::string::npos) end = close + 1;
  }
  while (end < s.size() && !isSeparator(s[end])) ++end;
  return Variant(trimBlanks(std::string_view(s).substr(begin, end - begin)));
}

// First column of the first row, "" when there is no row; Null stays Null.
// The recordset is the method's own, never the shared rs_.
Variant DbClass::dbShsl(const Variant& sql) {
  Connection& c = connection();
  const std::shared_ptr<Recordset> rs = c.execute(sql.toString(), adCmdUnspecified);
  if (!rs) raise(err::kObjectNotSet);
  CloseOnExit guard(*rs);
  if (!rs->isOpen()) raise(err::kDbClosed);
  Variant result = rs->eof() ? Variant(std::string()) : rs->fields().item(0).value();
  guard.release();
  rs->close();
  return result;
}

}  // namespace kvdn
