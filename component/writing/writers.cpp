// The record writers: dbWrite (posted form, with add / modify / del) and
// dbWriteGet (query string, insert or update).
//
// What travels where:
// - Values from the request only ever reach the database through
//   Field::setValue, i.e. as bound parameters of the recordset's Update.
// - Names from the request (form or query keys) are only ever looked up
//   among the recordset's columns (Fields::item), never written into SQL.
// - Into SQL text go: the page's table name, after a check that it is one
//   plain or bracketed identifier; the record key and the delete list, after
//   they were parsed as whole numbers, written back as their decimal text.
//   Anything else in `id` or `delids` is refused before the database is
//   touched.
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/text.h"
#include "writing/client_address.h"

namespace kvdn {

namespace {

constexpr std::string_view kForbidden = "禁止非法访问！";
constexpr std::int32_t kFieldNotUpdatable = -2147217887;  // the engine's "Field cannot be updated."
constexpr std::string_view kPasswordMark = "密码";

// A whole number, blanks (U+0020) allowed around it, optional sign. Returns
// nullopt for anything else, including numbers beyond 64 bits.
std::optional<std::int64_t> parseWholeNumber(std::string_view text) {
  const std::string trimmed = trimBlanks(text);
  std::string_view s = trimmed;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  // from_chars takes a leading '-' but no blanks; "+-1" and "--1" fail here.
  if (s.front() == '+') return std::nullopt;
  std::int64_t value = 0;
  const char* end = s.data() + s.size();
  auto [ptr, ec] = std::from_chars(s.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// "3, 5,7" -> {3, 5, 7}. Every item must be a whole number; an empty item
// ("3,,5", a trailing comma) makes the list invalid.
std::optional<std::vector<std::int64_t>> parseIdList(std::string_view text) {
  std::vector<std::int64_t> ids;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const auto id =
        parseWholeNumber(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    if (!id) return std::nullopt;
    ids.push_back(*id);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return ids;
}

// Decodes one UTF-8 code point at `i`, advancing it; nullopt when malformed.
std::optional<char32_t> nextCodePoint(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xe ? 3 : (b0 >> 3) == 0x1e ? 4 : 0;
  if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) return std::nullopt;
  char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1fu) : len == 3 ? (b0 & 0x0fu) : (b0 & 0x07u);
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((b & 0xc0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (b & 0x3fu);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return std::nullopt;
  i += static_cast<std::size_t>(len);
  return cp;
}

// Letters of the scripts table names are written in: Latin (with its
// accented forms), Greek, Cyrillic, the CJK ideographs, kana and Hangul.
// Deliberately a short list: anything else (full-width punctuation, blanks
// of other scripts, symbols) is not a letter here.
bool isNameLetter(char32_t c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') return true;
  if (c >= 0xc0 && c <= 0x24f) return c != 0xd7 && c != 0xf7;
  return (c >= 0x370 && c <= 0x3ff && c != 0x37e && c != 0x387) ||  // Greek (without its punctuation)
         (c >= 0x400 && c <= 0x4ff) ||                              // Cyrillic
         (c >= 0x3040 && c <= 0x30ff && c != 0x30fb) ||             // kana (without the middle dot)
         c == 0x3007 ||                                             // ideographic zero
         (c >= 0x3400 && c <= 0x4dbf) || (c >= 0x4e00 && c <= 0x9fff) || (c >= 0xf900 && c <= 0xfaff) ||
         (c >= 0x20000 && c <= 0x3134f) ||  // CJK ideographs
         (c >= 0xac00 && c <= 0xd7a3);      // Hangul syllables
}

// One part of a table name: letters, digits and underscores not starting
// with a digit, or any text in brackets without brackets or control
// characters.
bool isNamePart(std::string_view name) {
  if (name.size() >= 3 && name.front() == '[' && name.back() == ']') {
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
      const auto c = static_cast<unsigned char>(name[i]);
      if (c == ']' || c == '[' || c < 0x20 || c == 0x7f) return false;
    }
    const std::string_view inner = name.substr(1, name.size() - 2);
    for (std::size_t i = 0; i < inner.size();) {
      if (!nextCodePoint(inner, i)) return false;
    }
    return true;
  }
  if (name.empty() || (name.front() >= '0' && name.front() <= '9')) return false;
  std::size_t i = 0;
  while (i < name.size()) {
    const auto cp = nextCodePoint(name, i);
    if (!cp) return false;
    if (!(isNameLetter(*cp) || (*cp >= '0' && *cp <= '9'))) return false;
  }
  return true;
}

// A table name as the page passes it: one part, or parts joined by "." (a
// schema-qualified name such as dbo.users). The name is placed into SQL
// unquoted, so this is the one gate between the page's argument and the
// statement text.
bool isPlainTableName(std::string_view name) {
  std::size_t start = 0;
  bool inBracket = false;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] == '[') inBracket = true;
    if (i < name.size() && name[i] == ']') inBracket = false;
    if (i == name.size() || (name[i] == '.' && !inBracket)) {
      if (!isNamePart(name.substr(start, i - start))) return false;
      start = i + 1;
    }
  }
  return true;
}

// The key column is numbered by the database; a posted field of that name
// would move a record to another key (or take one chosen by the request).
// Refused as the engine refuses writing an AutoNumber column, before anything
// is stored.
void refuseKeyColumn(std::string_view key) {
  if (iequals(key, "ID")) raise(kFieldNotUpdatable, "Field '" + std::string(key) + "' cannot be updated.");
}

std::string checkedTableName(const Variant& tableName) {
  std::string name = tableName.joinText();
  if (!isPlainTableName(name)) raise(err::kInvalidCall, "Invalid procedure call or argument: table name");
  return name;
}

// "3, 5" for {3, 5}: the form the host gives two ticked boxes.
std::string joinIds(const std::vector<std::int64_t>& ids) {
  std::string out;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(ids[i]);
  }
  return out;
}

// What "servergetip" stores: the forwarded address only when it is one.
std::string clientAddress(const Request& request) {
  return clientAddressOf(request.serverVariable("HTTP_X_FORWARDED_FOR"),
                         request.serverVariable("REMOTE_ADDR"));
}

// The document number: yyyy + mm + the last four digits of the table's next
// ID. Read, not reserved: two pages inserting at once can get the same one.
std::string documentNumber(DbClass& db, const std::string& table, const Date& now) {
  const Variant highest = db.dbShsl(Variant("select top 1 ID from " + table + " order by ID desc"));
  std::string next;
  if (highest.isString() && highest.str().empty()) {
    next = "1";
  } else if (highest.type() == VarType::Integer || highest.type() == VarType::Long ||
             highest.type() == VarType::LongLong) {
    next = std::to_string(highest.integer() + 1);
  } else {
    next = formatDouble(highest.toDouble() + 1);  // Null raises 94, as the addition would
  }
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on "lit" + string.
  const Date::Parts p = now.parts();
  std::string out = std::to_string(p.year);
  if (p.month < 10) out += '0';
  out += std::to_string(p.month);
  if (next.size() < 4) out.append(4 - next.size(), '0');
  out.append(next, next.size() < 4 ? 0 : next.size() - 4);
  return out;
}

constexpr const char* kNoCurrentRecord =
    "Either BOF or EOF is True, or the current record has been deleted. "
    "Requested operation requires a current record.";

}  // namespace

Variant DbClass::dbWrite(const Variant& tableName) {
  Request& req = request();
  const std::string ac = asciiLower(req.queryString().item("ac"));
  if (ac != "add" && ac != "modify" && ac != "del") return Variant(false);

  if (!fromHostRight().toBool()) {
    alert(Variant(kForbidden), Variant(std::string()));
    return Variant(false);
  }

  // The request's keys are checked before anything touches the database: a
  // key or list that is not whole numbers is treated as a forged request.
  std::optional<std::int64_t> id;
  std::optional<std::vector<std::int64_t>> delids;
  if (ac == "modify") {
    const std::string raw = req.queryString().item("id");
    // An empty id would select the table's first row: never written.
    if (trimBlanks(raw).empty()) return Variant(false);
    id = parseWholeNumber(raw);
    if (!id) {
      alert(Variant(kForbidden), Variant(std::string()));
      return Variant(false);
    }
  } else if (ac == "del") {
    const std::string raw = req.form().item("delids");
    if (trimBlanks(raw).empty()) return Variant(false);
    delids = parseIdList(raw);
    if (!delids) {
      alert(Variant(kForbidden), Variant(std::string()));
      return Variant(false);
    }
  }

  const std::string table = checkedTableName(tableName);

  if (delids) {
    connection().execute("delete from " + table + " where ID in (" + joinIds(*delids) + ")",
                         adCmdUnspecified);
    return Variant(true);
  }

  rs_ = create<Recordset>("adodb.recordset");
  std::string sql = "select top 1 * from " + table;
  if (id) {
    sql += " where ID=" + std::to_string(*id);
    sqlText_ = Variant(sql);
    response().write(softFabuInfo(Variant(std::string())).joinText());
  } else {
    sqlText_ = Variant(sql);
  }
  connection();  // raises 91 when there is no connection object
  rs_->open(sql, conn, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  if (ac == "add") {
    rs_->addNew();
  } else if (rs_->eof()) {
    raise(err::kDbEofBof, kNoCurrentRecord);
  }

  const RequestCollection& form = req.form();
  Fields& fields = rs_->fields();
  for (const std::string& key : form.keys()) {
    Variant value(trimBlanks(form.item(key)));
    if (asciiLower(value.str()) == "servertime") value = Variant(now());
    if (value.isString()) {
      const std::string lower = asciiLower(value.str());
      if (lower == "makedanhao") {
        value = Variant(documentNumber(*this, table, now()));
      } else if (lower == "servergetip") {
        value = Variant(clientAddress(req));
      }
    }
    const bool password = key.find(kPasswordMark) != std::string::npos;
    const bool blank = value.isString() && value.str().empty();
    if (password && !blank) value = Variant(md5(Variant(md5(value))));
    if (key == "submit" || key == "ac") continue;
    if (password && blank) continue;  // an empty password leaves the stored one as it is
    refuseKeyColumn(key);
    fields.item(key).setValue(value);
  }

  rs_->update();
  rs_->close();
  rs_.reset();
  return Variant(true);
}

Variant DbClass::dbWriteGet(const Variant& tableName) {
  Request& req = request();
  if (!fromHostRight().toBool()) {
    alert(Variant(kForbidden), Variant(std::string()));
    return Variant(false);
  }

  const RequestCollection& query = req.queryString();
  const std::string rawId = query.item("id");
  std::optional<std::int64_t> id;
  if (!rawId.empty()) {
    id = parseWholeNumber(rawId);
    if (!id) return Variant(false);  // quietly, as every other failure of this method
  }
  // From here on a failure is the result False, never an error to the page,
  // and it stops before Update: a record is stored whole or not at all.
  bool stored = false;
  try {
    const std::string table = checkedTableName(tableName);
    rs_ = create<Recordset>("adodb.recordset");
    std::string sql = "select top 1 * from " + table;
    if (id) sql += " where ID=" + std::to_string(*id);
    sqlText_ = Variant(sql);
    connection();
    rs_->open(sql, conn, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
    if (!id) {
      rs_->addNew();
    } else if (rs_->eof()) {
      raise(err::kDbEofBof, kNoCurrentRecord);
    }
    Fields& fields = rs_->fields();
    for (const std::string& key : query.keys()) {
      Variant value(trimBlanks(query.item(key)));
      if (value.str() == "servertime") {
        value = Variant(now());
      } else if (value.str() == "servergetip") {
        value = Variant(clientAddress(req));
      }
      if (key == "id" || key == "t" || key == "ac") continue;
      refuseKeyColumn(key);
      fields.item(key).setValue(value);
    }
    rs_->update();
    stored = true;
  } catch (const ComError&) {
    stored = false;
  }
  try {
    if (rs_ && rs_->isOpen()) rs_->close();
  } catch (const ComError&) {
  }
  rs_.reset();
  return Variant(stored);
}

}  // namespace kvdn
