// Values between the driver and the data layer: how a column is read, its declared type,
// reading a value of the current row, and values bound as statement parameters. Internal to odbc/.
#pragma once

#include <deque>
#include <string>
#include <string_view>

#include "kvdn/provider.h"
#include "odbc_handles.h"

namespace kvdn::odbc {

// How a column's value is fetched from the driver. IntegerText and
// DoubleText fetch the text and convert it here, for drivers whose own
// conversion fails or, worse, succeeds with garbage (mdbtools gives an
// error for a whole number fetched as SQL_C_SBIGINT and copies the digits'
// bytes into the double for a Currency fetched as SQL_C_DOUBLE).
// Unreadable: a column whose type the driver does not know (mdbtools names
// no type for a Large Number and hands out a wrong value): reading raises.
enum class ReadAs { Integer, Double, Date, Time, Bit, Binary, Text, IntegerText, DoubleText, Unreadable };

// The way to fetch a column of this SQL type.
ReadAs readAsFor(SQLSMALLINT type);

// readAsFor for a driver that fetches numbers only as text (mdbtools):
// whole numbers as IntegerText, exact decimals as DoubleText (a whole
// amount as a whole number, as a converted file holds it); the rest as
// readAsFor says.
ReadAs readAsThroughText(SQLSMALLINT type);

// The declared type reported for a column: a standard name the generic
// layer's type checks understand, whatever the driver calls its types.
std::string declaredTypeFor(SQLSMALLINT type);

// A driver's name for a boolean type.
bool isBooleanName(std::string_view typeName);

// A character column (narrow or wide, of any length).
bool isTextType(SQLSMALLINT type);

// One column of a result as the statement describes it.
struct Column {
  ColumnInfo info;
  SQLSMALLINT type = SQL_UNKNOWN_TYPE;
  ReadAs read = ReadAs::Text;
};

// The value of column `index` (from 1) of the current row.
Variant readValue(const Statement& st, SQLUSMALLINT index, ReadAs read);

// Parameters, bound by value: the buffers live until the statement ran.

struct TableColumn {
  std::string name;
  SQLSMALLINT type = SQL_UNKNOWN_TYPE;
  SQLULEN size = 0;
  SQLSMALLINT digits = 0;
};

struct Parameter {
  SQLSMALLINT cType = SQL_C_CHAR;
  SQLSMALLINT sqlType = SQL_VARCHAR;
  SQLULEN size = 1;
  SQLSMALLINT digits = 0;
  SQLBIGINT integer = 0;
  double dbl = 0;
  unsigned char bit = 0;
  SQL_TIMESTAMP_STRUCT timestamp{};
  std::u16string text;
  SQLLEN indicator = 0;

  SQLPOINTER buffer() {
    switch (cType) {
      case SQL_C_SBIGINT:
        return &integer;
      case SQL_C_DOUBLE:
        return &dbl;
      case SQL_C_BIT:
        return &bit;
      case SQL_C_TYPE_TIMESTAMP:
        return &timestamp;
      case SQL_C_WCHAR:
        return text.data();
      default:
        return nullptr;
    }
  }
  SQLLEN bufferLength() const {
    return cType == SQL_C_WCHAR ? static_cast<SQLLEN>((text.size() + 1) * sizeof(SQLWCHAR)) : 0;
  }
};

// A value as a parameter for a column of `column`'s type (unknown: chosen
// from the value).
Parameter parameterFor(const Variant& v, const TableColumn* column);

// Binds every parameter to the statement, in order.
void bindAll(const Statement& st, std::deque<Parameter>& params);

}  // namespace kvdn::odbc
