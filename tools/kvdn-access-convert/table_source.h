// What the converter reads: tables, their columns and indexes, and their
// rows, independent of the reader behind them. The Access reader
// (mdb_source.h) is one implementation; tests feed values through the same
// writing path from memory.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kvdn::access {

// The column kinds of an Access table. Unsupported: a kind the reader cannot
// give values of (attachments, multi-valued fields, anything unknown).
enum class ColumnType {
  YesNo,
  Byte,
  Integer,  // 16 bits
  Long,     // 32 bits
  BigInt,   // 64 bits ("Large Number")
  Single,   // 32-bit float
  Double,
  Currency,  // exact, four decimals
  Decimal,   // exact, precision and scale
  DateTime,
  Text,  // up to `size` characters
  Memo,
  Guid,    // replication ID
  Binary,  // fixed-size binary
  OleObject,
  Unsupported,
};

struct ColumnDef {
  std::string name;
  ColumnType type = ColumnType::Text;
  std::string typeName;  // the source's own name of the type, for messages
  int size = 0;          // Text: characters
  int precision = 0;     // Decimal
  int scale = 0;         // Decimal
  bool required = false;
  bool autoNumber = false;   // a Long the engine numbers itself
  std::string defaultValue;  // the source's default expression, "" for none
};

struct IndexDef {
  std::string name;
  std::vector<std::pair<std::string, bool>> columns;  // name, descending
  bool primary = false;
  bool unique = false;
};

struct TableDef {
  std::string name;
  std::vector<ColumnDef> columns;
  std::vector<IndexDef> indexes;
  std::uint64_t expectedRows = 0;  // what the source says; for progress only
  std::vector<std::string> notes;  // what the source could not read of the definition
};

// One value of a row, in the form its column type needs:
// YesNo..BigInt: Integer (YesNo: 0 for No, anything else Yes);
// Single, Double: Real; Currency, Decimal: Decimal (exact text such as
// "-12.3400", never through a binary fraction); DateTime: Date (the
// automation date serial in `real`); Text, Memo, Guid: Text (UTF-8);
// Binary, OleObject: Bytes. Null for a missing value; an empty text is Text
// with no characters, not Null.
struct Cell {
  enum class Kind { Null, Integer, Real, Decimal, Date, Text, Bytes };
  Kind kind = Kind::Null;
  std::int64_t integer = 0;
  double real = 0.0;
  std::string text;

  static Cell null() { return Cell{}; }
  static Cell ofInteger(std::int64_t v) { return Cell{Kind::Integer, v, 0.0, {}}; }
  static Cell ofReal(double v) { return Cell{Kind::Real, 0, v, {}}; }
  static Cell ofDecimal(std::string v) { return Cell{Kind::Decimal, 0, 0.0, std::move(v)}; }
  static Cell ofDate(double serial) { return Cell{Kind::Date, 0, serial, {}}; }
  static Cell ofText(std::string v) { return Cell{Kind::Text, 0, 0.0, std::move(v)}; }
  static Cell ofBytes(std::string v) { return Cell{Kind::Bytes, 0, 0.0, std::move(v)}; }
};

// A failure of the source: a damaged, encrypted or unreadable file. The
// message says what and where, in words a site's administrator can act on.
class SourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RowReader {
 public:
  virtual ~RowReader() = default;
  // The next row, one Cell per column of the table's definition, in order.
  // False at the end. Throws SourceError.
  virtual bool next(std::vector<Cell>& row) = 0;
};

// What the source holds besides tables, none of which is carried over.
struct LeftBehind {
  int queries = 0;
  int relations = 0;
  int forms = 0;
  int reports = 0;
  int macros = 0;
  int modules = 0;
  int linkedTables = 0;
};

// One database to read. Not thread-safe; one reader at a time.
class TableSource {
 public:
  virtual ~TableSource() = default;
  // The user tables in the source's order. Throws SourceError.
  virtual std::vector<std::string> tableNames() = 0;
  // Throws SourceError.
  virtual TableDef describe(const std::string& table) = 0;
  // The rows of a table described by describe(); the reader may be used
  // only until the next call on the source. Throws SourceError.
  virtual std::unique_ptr<RowReader> rows(const TableDef& table) = 0;
  virtual LeftBehind leftBehind() = 0;
};

}  // namespace kvdn::access
