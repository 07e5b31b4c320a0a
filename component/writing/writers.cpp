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
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helpers/trap.h"
#include "kvdn/db_class.h"
#include "kvdn/text.h"
#include "text_scan.h"
#include "writing/client_address.h"

namespace kvdn {

namespace {

constexpr std::string_view kForbidden = "禁止非法访问！";
constexpr std::string_view kPasswordMark = "密码";

// A whole number with blanks (U+0020) allowed around it, as the keys arrive
// from the request. nullopt for anything else, numbers beyond 64 bits
// included.
std::optional<std::int64_t> parseKey(std::string_view text) {
  return parseWholeNumber(trimBlanks(text));
}

// "3, 5,7" -> {3, 5, 7}. Every item must be a whole number; an empty item
// ("3,,5", a trailing comma) makes the list invalid.
std::optional<std::vector<std::int64_t>> parseIdList(std::string_view text) {
  std::vector<std::int64_t> ids;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const auto id = parseKey(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    if (!id) return std::nullopt;
    ids.push_back(*id);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return ids;
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
      if (!decodeUtf8(inner, i)) return false;
    }
    return true;
  }
  if (name.empty() || (name.front() >= '0' && name.front() <= '9')) return false;
  std::size_t i = 0;
  while (i < name.size()) {
    const auto cp = decodeUtf8(name, i);
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
  if (iequals(key, "ID"))
    raise(err::kDbFieldNotUpdatable, "Field '" + std::string(key) + "' cannot be updated.");
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

// ---------------------------------------------------------------------------
// The steps of the writers.

// What dbWrite is asked to do: the query string's `ac`, in lower case.
enum class WriteAction { None, Add, Modify, Delete };

WriteAction writeActionOf(const Request& request) {
  const std::string ac = asciiLower(request.queryString().item("ac"));
  if (ac == "add") return WriteAction::Add;
  if (ac == "modify") return WriteAction::Modify;
  if (ac == "del") return WriteAction::Delete;
  return WriteAction::None;
}

// The record keys of a dbWrite request, checked before anything touches the
// database: the `id` of a modify, the posted `delids` of a delete. A key or
// list that is not whole numbers is treated as a forged request.
struct RecordKeys {
  enum class Verdict { Usable, Missing, Forged };
  Verdict verdict = Verdict::Usable;
  std::optional<std::int64_t> id;
  std::vector<std::int64_t> deleteIds;
};

RecordKeys recordKeysOf(const Request& request, WriteAction action) {
  RecordKeys keys;
  if (action == WriteAction::Modify) {
    const std::string raw = request.queryString().item("id");
    // An empty id would select the table's first row: never written.
    if (trimBlanks(raw).empty()) return {RecordKeys::Verdict::Missing, std::nullopt, {}};
    keys.id = parseKey(raw);
    if (!keys.id) keys.verdict = RecordKeys::Verdict::Forged;
  } else if (action == WriteAction::Delete) {
    const std::string raw = request.form().item("delids");
    if (trimBlanks(raw).empty()) return {RecordKeys::Verdict::Missing, std::nullopt, {}};
    auto ids = parseIdList(raw);
    if (ids) {
      keys.deleteIds = std::move(*ids);
    } else {
      keys.verdict = RecordKeys::Verdict::Forged;
    }
  }
  return keys;
}

// The statement that selects the one record a writer fills: the record with
// key `id`, or (no id) a row to add to.
std::string oneRecordStatement(const std::string& table, const std::optional<std::int64_t>& id) {
  std::string sql = "select top 1 * from " + table;
  if (id) sql += " where ID=" + std::to_string(*id);
  return sql;
}

// Opens `rs` on the record to write, for update, and makes it current: a new
// record when `adding`, else the selected one, which must exist.
void openRecordToWrite(Recordset& rs, const std::string& sql, const std::shared_ptr<Connection>& conn,
                       bool adding) {
  rs.open(sql, conn, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  if (adding) {
    rs.addNew();
  } else if (rs.eof()) {
    raise(err::kDbEofBof);
  }
}

// One posted form field, as dbWrite stores it: the value trimmed, a magic
// word ("servertime", "makedanhao", "servergetip", in any letter case)
// replaced by what it asks for, a password digested twice.
Variant formFieldValue(DbClass& db, const Request& request, const std::string& table,
                       const std::string& key) {
  Variant value(trimBlanks(request.form().item(key)));
  if (asciiLower(value.str()) == "servertime") value = Variant(db.now());
  if (value.isString()) {
    const std::string lower = asciiLower(value.str());
    if (lower == "makedanhao") {
      value = Variant(documentNumber(db, table, db.now()));
    } else if (lower == "servergetip") {
      value = Variant(clientAddress(request));
    }
  }
  const bool password = key.find(kPasswordMark) != std::string::npos;
  if (password && !(value.isString() && value.str().empty())) value = Variant(db.md5(Variant(db.md5(value))));
  return value;
}

// Whether a posted field reaches a column: never the form's own "submit"
// and "ac", and an empty password leaves the stored one as it is.
bool isStoredFormField(const std::string& key, const Variant& value) {
  if (key == "submit" || key == "ac") return false;
  const bool password = key.find(kPasswordMark) != std::string::npos;
  return !(password && value.isString() && value.str().empty());
}

// Every posted field of the form into the record, in the order the host
// enumerates them.
void copyFormFields(DbClass& db, const Request& request, const std::string& table, Recordset& rs) {
  Fields& fields = rs.fields();
  for (const std::string& key : request.form().keys()) {
    const Variant value = formFieldValue(db, request, table, key);
    if (!isStoredFormField(key, value)) continue;
    refuseKeyColumn(key);
    fields.item(key).setValue(value);
  }
}

// Every query-string key into the record, but the writer's own keys (`id`,
// `t`, `ac`). Only the exact lower-case words "servertime" and "servergetip"
// are replaced here.
void copyQueryFields(DbClass& db, const Request& request, Recordset& rs) {
  const RequestCollection& query = request.queryString();
  Fields& fields = rs.fields();
  for (const std::string& key : query.keys()) {
    Variant value(trimBlanks(query.item(key)));
    if (value.str() == "servertime") {
      value = Variant(db.now());
    } else if (value.str() == "servergetip") {
      value = Variant(clientAddress(request));
    }
    if (key == "id" || key == "t" || key == "ac") continue;
    refuseKeyColumn(key);
    fields.item(key).setValue(value);
  }
}

}  // namespace

Variant DbClass::dbWrite(const Variant& tableName) {
  Request& req = request();
  const WriteAction action = writeActionOf(req);
  if (action == WriteAction::None) return Variant(false);

  auto refuse = [&] {
    alert(Variant(kForbidden), Variant(std::string()));
    return Variant(false);
  };
  if (!fromHostRight().toBool()) return refuse();
  const RecordKeys keys = recordKeysOf(req, action);
  if (keys.verdict == RecordKeys::Verdict::Missing) return Variant(false);
  if (keys.verdict == RecordKeys::Verdict::Forged) return refuse();
  const std::string table = checkedTableName(tableName);

  if (action == WriteAction::Delete) {
    connection().execute("delete from " + table + " where ID in (" + joinIds(keys.deleteIds) + ")",
                         adCmdUnspecified);
    return Variant(true);
  }

  // Untrapped from here: a failure stops before Update, and rs keeps the
  // opened recordset until the next writer call replaces it.
  rs_ = create<Recordset>("adodb.recordset");
  sqlText_ = Variant(oneRecordStatement(table, keys.id));
  if (keys.id) response().write(softFabuInfo(Variant(std::string())).joinText());
  connection();  // raises 91 when there is no connection object
  openRecordToWrite(*rs_, sqlText_.str(), conn, action == WriteAction::Add);
  copyFormFields(*this, req, table, *rs_);
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

  const std::string rawId = req.queryString().item("id");
  std::optional<std::int64_t> id;
  if (!rawId.empty()) {
    id = parseKey(rawId);
    if (!id) return Variant(false);  // quietly, as every other failure of this method
  }
  // From here on a failure is the result False, never an error to the page,
  // and it stops before Update: a record is stored whole or not at all.
  const bool stored = trap::keepGoing([&] {
    const std::string table = checkedTableName(tableName);
    rs_ = create<Recordset>("adodb.recordset");
    sqlText_ = Variant(oneRecordStatement(table, id));
    connection();
    openRecordToWrite(*rs_, sqlText_.str(), conn, !id);
    copyQueryFields(*this, req, *rs_);
    rs_->update();
  });
  trap::keepGoing([&] {
    if (rs_ && rs_->isOpen()) rs_->close();
  });
  rs_.reset();
  return Variant(stored);
}

}  // namespace kvdn
