// Writes every table of a TableSource into a new SQLite database file in the
// form the component's Access-kind provider reads back as the same values:
//
//   Yes/No            SMALLINT, -1 and 0 (the engine's True and False)
//   Byte/Integer/Long TINYINT/SMALLINT/INTEGER; Large Number BIGINT
//   Single/Double     REAL/DOUBLE (a Single as the decimal it shows)
//   Currency/Decimal  CURRENCY/DECIMAL(p,s): whole values as integers,
//                     others as the double nearest the exact decimal
//   Date/Time         DATETIME, text "yyyy-mm-dd hh:mm:ss"
//   Text/Memo         VARCHAR(n)/TEXT, COLLATE NOCASE
//   Replication ID    VARCHAR(38), "{xxxxxxxx-...}"
//   Binary/OLE object BLOB
//
// An AutoNumber becomes the table's row key (INTEGER PRIMARY KEY
// AUTOINCREMENT: numbers are never handed out twice, as in the original); a
// primary key on other columns then stays as a unique index. Required
// columns are NOT NULL; defaults the converter understands (numbers, quoted
// text, Yes/No, Now(), Date(), Time()) are carried, others are named in the
// report.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "table_source.h"

namespace kvdn::access {

// A failure to write, or a value or definition the destination cannot take
// as it is (the message names the table, the row and the column).
class ConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ConvertOptions {
  // Leave out columns of unsupported types (named in the report) instead of
  // refusing the file.
  bool skipUnsupported = false;
};

struct TableReport {
  std::string name;
  std::uint64_t rows = 0;
  std::vector<std::string> notes;  // what of this table was not carried
};

struct ConvertReport {
  std::vector<TableReport> tables;
  std::uint64_t rows = 0;
  // Currency and decimal values with more than 15 significant digits, which
  // a double cannot hold exactly (each named in the table's notes).
  std::uint64_t rounded = 0;
};

// Called after each batch of rows of a table and once when it is done.
using ProgressFn = std::function<void(const TableDef& table, std::uint64_t rowsDone, bool finished)>;

// Writes `source` into the database file at `file`, which must exist and be
// empty (the caller creates it under a name nobody else uses and renames it
// into place afterwards). The file is complete and closed when this returns;
// the caller flushes it to the disk. Throws SourceError from the source and
// ConvertError; the file is then incomplete and must be removed.
ConvertReport convertToSqlite(TableSource& source, const std::string& file, const ConvertOptions& options,
                              const ProgressFn& progress = {});

// The parts of the mapping that tests check on their own.

// The SQL type (with constraints of the type itself) for a column.
std::string sqlTypeOf(const ColumnDef& column);
// An exact decimal text ("-12.3400", "5", ".5") as stored: a whole value
// that fits in 64 bits as an integer, anything else as the double nearest
// to it. `exact` is set false when the double cannot give the decimal back
// at 15 significant digits. nullopt for text that is not a decimal number.
struct StoredNumber {
  bool isInteger = false;
  std::int64_t integer = 0;
  double real = 0.0;
  bool exact = true;
};
std::optional<StoredNumber> storedDecimal(const std::string& text);
// A Single as the double nearest the shortest decimal that reads back as
// the same Single (0.1f gives 0.1, not 0.100000001490116).
double singleAsDouble(float value);
// An Access default expression as an SQLite DEFAULT clause value, or
// nullopt when it is not one the converter understands.
std::optional<std::string> sqlDefaultOf(const std::string& expression, ColumnType type);

}  // namespace kvdn::access
