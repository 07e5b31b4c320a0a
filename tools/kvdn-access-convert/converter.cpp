// The writing half of the converter: definitions to SQL, cells to bound
// values, one transaction per table. Nothing here knows the reader.
#include "converter.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <string_view>

#include "kvdn/object.h"
#include "kvdn/variant.h"
#include "sqlite_handle.h"

namespace kvdn::access {

namespace {

// The automation dates of 100-01-01 and 9999-12-31 23:59:59, the range the
// original engine accepts; anything outside is a damaged value.
constexpr double kFirstDay = -657434.0;
constexpr double kLastDay = 2958465.99999;
// Rows between two progress calls.
constexpr std::uint64_t kProgressEvery = 500;

std::string quoteName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  out.push_back('"');
  return out;
}

std::string quoteText(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  out.push_back('\'');
  return out;
}

std::string trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

bool isNumberLiteral(std::string_view s) {
  if (s.empty()) return false;
  std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  bool digits = false;
  bool dot = false;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9') {
      digits = true;
    } else if (s[i] == '.' && !dot) {
      dot = true;
    } else {
      return false;
    }
  }
  return digits;
}

const char* kindName(Cell::Kind kind) {
  switch (kind) {
    case Cell::Kind::Null:
      return "Null";
    case Cell::Kind::Integer:
      return "a whole number";
    case Cell::Kind::Real:
      return "a floating-point number";
    case Cell::Kind::Decimal:
      return "a decimal number";
    case Cell::Kind::Date:
      return "a date";
    case Cell::Kind::Text:
      return "a text";
    case Cell::Kind::Bytes:
      return "binary data";
  }
  return "a value";
}

class Writer {
 public:
  Writer(const std::string& file, const ConvertOptions& options) : options_(options) {
    std::string message;
    const int rc = SqliteConnection::open(file, SQLITE_OPEN_READWRITE, db_, message);
    if (rc != SQLITE_OK) throw ConvertError("cannot open " + file + ": " + message);
    // The file is a scratch file until it is renamed into place: a failure
    // anywhere throws it away, so no rollback journal is needed.
    exec("PRAGMA journal_mode=OFF");
    exec("PRAGMA synchronous=OFF");
  }

  void table(TableSource& source, const TableDef& def, ConvertReport& report, const ProgressFn& progress) {
    TableReport tr;
    tr.name = def.name;
    tr.notes = def.notes;
    if (asciiUpper(def.name).rfind("SQLITE_", 0) == 0) {
      throw ConvertError("table " + def.name +
                         ": names beginning with sqlite_ are reserved by the database file");
    }
    std::vector<std::size_t> kept;  // columns of def written
    for (std::size_t i = 0; i < def.columns.size(); ++i) {
      const ColumnDef& c = def.columns[i];
      if (c.type != ColumnType::Unsupported) {
        kept.push_back(i);
        continue;
      }
      if (!options_.skipUnsupported) {
        throw ConvertError("table " + def.name + ", column " + c.name + ": its type (" + c.typeName +
                           ") cannot be read (attachments and multi-valued fields are among them); "
                           "--skip-unsupported converts the file without such columns");
      }
      tr.notes.push_back("column " + c.name + " (" + c.typeName + ") left out: its type cannot be read");
    }
    exec("BEGIN");
    exec(createTable(def, kept, tr));
    for (const std::string& sql : createIndexes(def, kept)) exec(sql);

    std::string insert = "INSERT INTO " + quoteName(def.name) + " (";
    std::string values;
    for (std::size_t k = 0; k < kept.size(); ++k) {
      insert += (k ? ", " : "") + quoteName(def.columns[kept[k]].name);
      values += k ? ", ?" : "?";
    }
    insert += ") VALUES (" + values + ")";
    SqliteStatement st;
    if (!kept.empty()) {
      st = db_.prepare(insert);
      if (!st) throw ConvertError("table " + def.name + ": " + db_.errmsg());
    }

    auto rows = source.rows(def);
    std::vector<Cell> row;
    std::uint64_t n = 0;
    while (rows->next(row)) {
      ++n;
      if (row.size() != def.columns.size()) {
        throw ConvertError("table " + def.name + ", row " + std::to_string(n) + ": " +
                           std::to_string(row.size()) + " values for " + std::to_string(def.columns.size()) +
                           " columns");
      }
      if (st) {
        sqlite3_reset(st.get());
        for (std::size_t k = 0; k < kept.size(); ++k) {
          bind(st.get(), static_cast<int>(k) + 1, def, kept[k], row[kept[k]], n, tr, report);
        }
        if (sqlite3_step(st.get()) != SQLITE_DONE) {
          throw ConvertError("table " + def.name + ", row " + std::to_string(n) + ": " + db_.errmsg());
        }
      }
      if (progress && n % kProgressEvery == 0) progress(def, n, false);
    }
    exec("COMMIT");
    if (kept.empty() && n > 0) {
      tr.notes.push_back("its " + std::to_string(n) +
                         " rows were left out: none of its columns could be carried");
      n = 0;
    }
    tr.rows = n;
    report.rows += n;
    report.tables.push_back(std::move(tr));
    if (progress) progress(def, n, true);
  }

  void finish() {
    // The form the component creates its files in (write-ahead log); the
    // log is folded back into the file when the connection closes.
    exec("PRAGMA journal_mode=WAL");
    sqlite3* raw = db_.release();
    if (sqlite3_close(raw) != SQLITE_OK) {
      std::string message = sqlite3_errmsg(raw);
      sqlite3_close_v2(raw);
      throw ConvertError("closing the new database file: " + message);
    }
  }

 private:
  void exec(const std::string& sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
      std::string message = msg ? msg : db_.errmsg();
      sqlite3_free(msg);
      throw ConvertError(message + " (in: " + sql.substr(0, 200) + ")");
    }
  }

  // The column the row key is on (an AutoNumber), or -1.
  static int rowKeyColumn(const TableDef& def, const std::vector<std::size_t>& kept) {
    for (std::size_t i : kept) {
      const ColumnDef& c = def.columns[i];
      if (c.autoNumber && c.type == ColumnType::Long) return static_cast<int>(i);
    }
    return -1;
  }

  static const IndexDef* primaryOf(const TableDef& def) {
    for (const IndexDef& ix : def.indexes)
      if (ix.primary) return &ix;
    return nullptr;
  }

  static bool covers(const std::vector<std::size_t>& kept, const TableDef& def, const IndexDef& ix) {
    if (ix.columns.empty()) return false;
    for (const auto& [name, desc] : ix.columns) {
      (void)desc;
      bool found = false;
      for (std::size_t i : kept) found = found || iequals(def.columns[i].name, name);
      if (!found) return false;
    }
    return true;
  }

  std::string createTable(const TableDef& def, const std::vector<std::size_t>& kept, TableReport& tr) {
    std::string sql = "CREATE TABLE " + quoteName(def.name) + " (";
    const int key = rowKeyColumn(def, kept);
    for (std::size_t k = 0; k < kept.size(); ++k) {
      const ColumnDef& c = def.columns[kept[k]];
      sql += (k ? ", " : "") + quoteName(c.name) + " ";
      if (static_cast<int>(kept[k]) == key) {
        sql += "INTEGER PRIMARY KEY AUTOINCREMENT";
        continue;
      }
      sql += sqlTypeOf(c);
      if (c.required || c.type == ColumnType::YesNo) sql += " NOT NULL";
      std::optional<std::string> dflt;
      if (!c.defaultValue.empty()) {
        dflt = sqlDefaultOf(c.defaultValue, c.type);
        if (!dflt) tr.notes.push_back("default of column " + c.name + " not carried: " + c.defaultValue);
      }
      if (!dflt && c.type == ColumnType::YesNo) dflt = "0";
      if (dflt) sql += " DEFAULT " + *dflt;
    }
    const IndexDef* pk = primaryOf(def);
    if (key < 0 && pk && covers(kept, def, *pk)) {
      sql += kept.empty() ? "" : ", ";
      sql += "PRIMARY KEY (";
      for (std::size_t j = 0; j < pk->columns.size(); ++j)
        sql += (j ? ", " : "") + quoteName(pk->columns[j].first);
      sql += ")";
    }
    if (kept.empty()) sql += "\"(no columns)\" INTEGER";  // SQLite needs at least one column
    return sql + ")";
  }

  std::vector<std::string> createIndexes(const TableDef& def, const std::vector<std::size_t>& kept) {
    std::vector<std::string> out;
    const int key = rowKeyColumn(def, kept);
    for (const IndexDef& ix : def.indexes) {
      if (!covers(kept, def, ix)) continue;
      // The row key is its own index.
      if (key >= 0 && ix.columns.size() == 1 &&
          iequals(ix.columns[0].first, def.columns[static_cast<std::size_t>(key)].name))
        continue;
      // A primary key is part of the table unless the AutoNumber took its
      // place; then it stays a unique index.
      if (ix.primary && key < 0) continue;
      std::string name = def.name + "_" + ix.name;
      while (!indexNames_.insert(asciiUpper(name)).second) name += "_";
      std::string sql = std::string("CREATE ") + (ix.unique || ix.primary ? "UNIQUE " : "") + "INDEX " +
                        quoteName(name) + " ON " + quoteName(def.name) + " (";
      for (std::size_t j = 0; j < ix.columns.size(); ++j) {
        sql += (j ? ", " : "") + quoteName(ix.columns[j].first) + (ix.columns[j].second ? " DESC" : "");
      }
      out.push_back(sql + ")");
    }
    return out;
  }

  [[noreturn]] static void badCell(const TableDef& def, std::size_t col, std::uint64_t row,
                                   const std::string& what) {
    throw ConvertError("table " + def.name + ", row " + std::to_string(row) + ", column " +
                       def.columns[col].name + ": " + what);
  }

  void bind(sqlite3_stmt* st, int index, const TableDef& def, std::size_t col, const Cell& cell,
            std::uint64_t row, TableReport& tr, ConvertReport& report) {
    const ColumnDef& c = def.columns[col];
    auto wrongKind = [&]() {
      badCell(def, col, row,
              std::string("the source gave ") + kindName(cell.kind) + " for a " + c.typeName + " column");
    };
    int rc = SQLITE_OK;
    if (cell.kind == Cell::Kind::Null) {
      rc = sqlite3_bind_null(st, index);
    } else {
      switch (c.type) {
        case ColumnType::YesNo:
          if (cell.kind != Cell::Kind::Integer) wrongKind();
          rc = sqlite3_bind_int64(st, index, cell.integer != 0 ? -1 : 0);
          break;
        case ColumnType::Byte:
        case ColumnType::Integer:
        case ColumnType::Long:
        case ColumnType::BigInt:
          if (cell.kind != Cell::Kind::Integer) wrongKind();
          rc = sqlite3_bind_int64(st, index, cell.integer);
          break;
        case ColumnType::Single:
        case ColumnType::Double: {
          if (cell.kind != Cell::Kind::Real) wrongKind();
          if (std::isnan(cell.real)) badCell(def, col, row, "the value is not a number (a damaged value)");
          const double v =
              c.type == ColumnType::Single ? singleAsDouble(static_cast<float>(cell.real)) : cell.real;
          rc = sqlite3_bind_double(st, index, v);
          break;
        }
        case ColumnType::Currency:
        case ColumnType::Decimal: {
          if (cell.kind != Cell::Kind::Decimal) wrongKind();
          auto n = storedDecimal(cell.text);
          if (!n) badCell(def, col, row, "\"" + cell.text + "\" is not a decimal number");
          if (!n->exact) {
            ++report.rounded;
            tr.notes.push_back("row " + std::to_string(row) + ", column " + c.name + ": " + cell.text +
                               " has more than 15 significant digits and was stored rounded");
          }
          rc = n->isInteger ? sqlite3_bind_int64(st, index, n->integer)
                            : sqlite3_bind_double(st, index, n->real);
          break;
        }
        case ColumnType::DateTime: {
          if (cell.kind != Cell::Kind::Date) wrongKind();
          if (!(cell.real >= kFirstDay && cell.real <= kLastDay)) {
            badCell(def, col, row, "the date lies outside the years 100 to 9999 (a damaged value)");
          }
          const std::string text = Date{cell.real}.storageText();
          rc = sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
          break;
        }
        case ColumnType::Text:
        case ColumnType::Memo:
        case ColumnType::Guid:
          if (cell.kind != Cell::Kind::Text) wrongKind();
          rc = sqlite3_bind_text64(st, index, cell.text.data(), cell.text.size(), SQLITE_STATIC, SQLITE_UTF8);
          break;
        case ColumnType::Binary:
        case ColumnType::OleObject:
          if (cell.kind != Cell::Kind::Bytes) wrongKind();
          // An empty blob, not Null: zeroblob(0) keeps the value present.
          rc = cell.text.empty()
                   ? sqlite3_bind_zeroblob(st, index, 0)
                   : sqlite3_bind_blob64(st, index, cell.text.data(), cell.text.size(), SQLITE_STATIC);
          break;
        case ColumnType::Unsupported:
          wrongKind();
      }
    }
    if (rc != SQLITE_OK) badCell(def, col, row, db_.errmsg());
  }

  ConvertOptions options_;
  SqliteConnection db_;
  std::set<std::string> indexNames_;
};

}  // namespace

std::string sqlTypeOf(const ColumnDef& column) {
  switch (column.type) {
    case ColumnType::YesNo:
    case ColumnType::Integer:
      return "SMALLINT";
    case ColumnType::Byte:
      return "TINYINT";
    case ColumnType::Long:
      return "INTEGER";
    case ColumnType::BigInt:
      return "BIGINT";
    case ColumnType::Single:
      return "REAL";
    case ColumnType::Double:
      return "DOUBLE";
    case ColumnType::Currency:
      return "CURRENCY";
    case ColumnType::Decimal:
      return "DECIMAL(" + std::to_string(column.precision) + "," + std::to_string(column.scale) + ")";
    case ColumnType::DateTime:
      return "DATETIME";
    case ColumnType::Text:
      return "VARCHAR(" + std::to_string(column.size > 0 ? column.size : 255) + ") COLLATE NOCASE";
    case ColumnType::Memo:
      return "TEXT COLLATE NOCASE";
    case ColumnType::Guid:
      return "VARCHAR(38) COLLATE NOCASE";
    case ColumnType::Binary:
    case ColumnType::OleObject:
      return "BLOB";
    case ColumnType::Unsupported:
      break;
  }
  throw ConvertError("column " + column.name + ": no SQL type for " + column.typeName);
}

std::optional<StoredNumber> storedDecimal(const std::string& text) {
  std::string_view s = text;
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  const std::size_t dot = s.find('.');
  std::string_view whole = s.substr(0, dot);
  std::string_view frac = dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
  if (whole.empty() && frac.empty()) return std::nullopt;
  auto allDigits = [](std::string_view d) {
    return std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!allDigits(whole) || !allDigits(frac)) return std::nullopt;
  while (!frac.empty() && frac.back() == '0') frac.remove_suffix(1);
  while (!whole.empty() && whole.front() == '0') whole.remove_prefix(1);

  StoredNumber n;
  if (frac.empty() && whole.size() <= 19) {
    // Whole: an integer when it fits in 64 bits.
    unsigned long long magnitude = 0;
    if (whole.empty() ||
        std::from_chars(whole.data(), whole.data() + whole.size(), magnitude).ec == std::errc()) {
      const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
      if (magnitude <= limit) {
        n.isInteger = true;
        n.integer =
            negative ? static_cast<std::int64_t>(0ULL - magnitude) : static_cast<std::int64_t>(magnitude);
        return n;
      }
    }
  }
  std::string digits = std::string(whole) + std::string(frac);
  std::size_t lead = digits.find_first_not_of('0');
  std::size_t significant = 0;
  if (lead != std::string::npos) {
    std::size_t last = digits.find_last_not_of('0');
    significant = last - lead + 1;
  }
  n.exact = significant <= 15;
  const std::string normal = std::string(negative ? "-" : "") + (whole.empty() ? "0" : std::string(whole)) +
                             "." + (frac.empty() ? "0" : std::string(frac));
  double v = 0.0;
  auto [ptr, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), v);
  if (ec != std::errc() || ptr != normal.data() + normal.size()) return std::nullopt;
  n.real = v;
  return n;
}

double singleAsDouble(float value) {
  if (!std::isfinite(value)) return static_cast<double>(value);
  char buf[64];
  // The fewest digits that read back as `value`. Scientific: the plain
  // form writes every digit of a large whole Single (906099968, not the
  // 906100000 that was typed).
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  double d = 0.0;
  std::from_chars(buf, res.ptr, d);
  return d;
}

std::optional<std::string> sqlDefaultOf(const std::string& expression, ColumnType type) {
  std::string e = trimmed(expression);
  if (!e.empty() && e[0] == '=') e = trimmed(std::string_view(e).substr(1));
  if (e.empty()) return std::nullopt;
  const std::string word = asciiUpper(e);
  if (word == "YES" || word == "TRUE" || word == "ON") return "-1";
  if (word == "NO" || word == "FALSE" || word == "OFF") return "0";
  if (isNumberLiteral(e)) {
    if (type == ColumnType::YesNo) {
      const auto n = storedDecimal(e[0] == '+' ? e.substr(1) : e);
      return std::string(n && n->isInteger && n->integer == 0 ? "0" : "-1");
    }
    return e[0] == '+' ? e.substr(1) : e;
  }
  if (e.size() >= 2 && (e.front() == '"' || e.front() == '\'') && e.back() == e.front()) {
    const char q = e.front();
    std::string inner;
    for (std::size_t i = 1; i + 1 < e.size(); ++i) {
      if (e[i] == q) {
        if (i + 2 < e.size() && e[i + 1] == q) {
          inner.push_back(q);
          ++i;
          continue;
        }
        return std::nullopt;  // a quote in the middle: an expression, not one text
      }
      inner.push_back(e[i]);
    }
    return quoteText(inner);
  }
  if (word == "NOW()") return "(strftime('%Y-%m-%d %H:%M:%S','now','localtime'))";
  if (word == "DATE()") return "(strftime('%Y-%m-%d 00:00:00','now','localtime'))";
  if (word == "TIME()") return "('1899-12-30 ' || strftime('%H:%M:%S','now','localtime'))";
  return std::nullopt;
}

ConvertReport convertToSqlite(TableSource& source, const std::string& file, const ConvertOptions& options,
                              const ProgressFn& progress) {
  Writer writer(file, options);
  ConvertReport report;
  for (const std::string& name : source.tableNames()) {
    const TableDef def = source.describe(name);
    writer.table(source, def, report, progress);
  }
  writer.finish();
  return report;
}

}  // namespace kvdn::access
