// Values between the driver and the data layer: column types, reading the current row's
// values and binding parameters by value.
#include "odbc_values.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <string>

#include "kvdn/error.h"
#include "kvdn/text.h"

namespace kvdn::odbc {

ReadAs readAsFor(SQLSMALLINT type) {
  switch (type) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return ReadAs::Integer;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return ReadAs::Double;
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATETIME:  // SQL_DATE of ODBC 2
    case SQL_TIMESTAMP:
    case -155:  // SQL Server's datetimeoffset
      return ReadAs::Date;
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case -154:  // SQL Server's time
      return ReadAs::Time;
    case SQL_BIT:
      return ReadAs::Bit;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return ReadAs::Binary;
    default:
      return ReadAs::Text;
  }
}

// The declared type reported for a column: a standard name the generic
// layer's type checks understand, whatever the driver calls its types.
std::string declaredTypeFor(SQLSMALLINT type) {
  switch (type) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
      return "SMALLINT";
    case SQL_INTEGER:
      return "INTEGER";
    case SQL_BIGINT:
      return "BIGINT";
    case SQL_REAL:
      return "REAL";
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return "DOUBLE";
    case SQL_NUMERIC:
      return "NUMERIC";
    case SQL_DECIMAL:
      return "DECIMAL";
    case SQL_TYPE_DATE:
    case SQL_DATETIME:
      return "DATE";
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
    case -155:
      return "DATETIME";
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case -154:
      return "TIME";
    case SQL_BIT:
      return "BIT";
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return "BINARY";
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR:
      return "TEXT";
    case SQL_CHAR:
    case SQL_WCHAR:
      return "CHAR";
    case SQL_VARCHAR:
    case SQL_WVARCHAR:
      return "VARCHAR";
    default:
      return "";
  }
}

ReadAs readAsThroughText(SQLSMALLINT type) {
  switch (type) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return ReadAs::IntegerText;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return ReadAs::DoubleText;
    default:
      return readAsFor(type);
  }
}

// A driver's name for a boolean type.
bool isBooleanName(std::string_view typeName) {
  return iequals(typeName, "bool") || iequals(typeName, "boolean");
}

bool isTextType(SQLSMALLINT type) {
  return type == SQL_CHAR || type == SQL_VARCHAR || type == SQL_LONGVARCHAR || type == SQL_WCHAR ||
         type == SQL_WVARCHAR || type == SQL_WLONGVARCHAR;
}

namespace {

// A driver's text of a number as the number. A whole number (for an exact
// decimal also one written with a zero fraction, "3.0000") as Long, 64-bit
// when it does not fit, as a file converted from Access stores it; anything
// else as the nearest Double. Text that is no number raises: a silently
// wrong value is worse.
Variant numberFromText(const std::string& text, bool decimal) {
  std::string_view s = text;
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  std::string_view whole = s;
  if (decimal) {
    const std::size_t dot = s.find('.');
    if (dot != std::string_view::npos && s.find_first_not_of('0', dot + 1) == std::string_view::npos)
      whole = s.substr(0, dot);
  }
  std::int64_t v = 0;
  auto [wend, wec] = std::from_chars(whole.data(), whole.data() + whole.size(), v);
  if (wec == std::errc() && wend == whole.data() + whole.size() && !whole.empty()) {
    if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max())
      return Variant(static_cast<std::int32_t>(v));
    return Variant(v);
  }
  double d = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty())
    raise(err::kDbErrorsInCommand, "The driver gave \"" + text + "\" for a numeric column.");
  return Variant(d);
}

}  // namespace

Variant readValue(const Statement& st, SQLUSMALLINT index, ReadAs read) {
  SQLHSTMT h = st.handle();
  SQLLEN indicator = 0;
  switch (read) {
    case ReadAs::Integer: {
      SQLBIGINT v = 0;
      st.check(SQLGetData(h, index, SQL_C_SBIGINT, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max()) {
        return Variant(static_cast<std::int32_t>(v));
      }
      return Variant(static_cast<std::int64_t>(v));
    }
    case ReadAs::Double: {
      double v = 0;
      st.check(SQLGetData(h, index, SQL_C_DOUBLE, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      return Variant(v);
    }
    case ReadAs::Bit: {
      unsigned char v = 0;
      st.check(SQLGetData(h, index, SQL_C_BIT, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      return Variant(v != 0);
    }
    case ReadAs::Date: {
      SQL_TIMESTAMP_STRUCT v{};
      st.check(SQLGetData(h, index, SQL_C_TYPE_TIMESTAMP, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      return Variant(Date::fromParts(v.year, v.month, v.day, v.hour, v.minute, v.second));
    }
    case ReadAs::Time: {
      SQL_TIME_STRUCT v{};
      st.check(SQLGetData(h, index, SQL_C_TYPE_TIME, &v, sizeof v, &indicator));
      if (indicator == SQL_NULL_DATA) return Variant::null();
      return Variant(Date::fromParts(1899, 12, 30, v.hour, v.minute, v.second));
    }
    case ReadAs::Binary: {
      std::string bytes;
      char buffer[4096];
      for (;;) {
        SQLRETURN rc = SQLGetData(h, index, SQL_C_BINARY, buffer, sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA) break;
        st.check(rc);
        if (indicator == SQL_NULL_DATA) return Variant::null();
        const bool partial = indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(sizeof buffer);
        bytes.append(buffer, partial ? sizeof buffer : static_cast<std::size_t>(indicator));
        if (!partial) break;
      }
      return Variant(std::move(bytes));
    }
    case ReadAs::IntegerText:
    case ReadAs::DoubleText: {
      const Variant text = readValue(st, index, ReadAs::Text);
      if (text.isNull()) return text;
      return numberFromText(text.str(), read == ReadAs::DoubleText);
    }
    case ReadAs::Unreadable:
      raise(err::kDbErrorsInCommand, "The driver cannot read column " + std::to_string(index) +
                                         ": it does not know the column's type (mdbtools cannot read an "
                                         "Access Large Number, for one).");
    case ReadAs::Text:
      break;
  }
  // Text as UTF-16 from the driver: independent of the process locale and of
  // the driver's own notion of a narrow character set.
  std::u16string text;
  SQLWCHAR buffer[1024];
  constexpr SQLLEN kBytes = sizeof buffer;
  constexpr std::size_t kUnits = sizeof buffer / sizeof(SQLWCHAR) - 1;  // room for the terminator
  for (;;) {
    SQLRETURN rc = SQLGetData(h, index, SQL_C_WCHAR, buffer, kBytes, &indicator);
    if (rc == SQL_NO_DATA) break;
    st.check(rc);
    if (indicator == SQL_NULL_DATA) return Variant::null();
    const bool partial =
        indicator == SQL_NO_TOTAL || static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR) > kUnits;
    const std::size_t units = partial ? kUnits : static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
    text.append(reinterpret_cast<const char16_t*>(buffer), units);
    if (!partial) break;
  }
  return Variant(toUtf8(text));
}

Parameter parameterFor(const Variant& v, const TableColumn* column) {
  Parameter p;
  const SQLSMALLINT columnType = column ? column->type : static_cast<SQLSMALLINT>(SQL_UNKNOWN_TYPE);
  switch (v.type()) {
    case VarType::Empty:
    case VarType::Null:
      p.cType = SQL_C_CHAR;
      p.sqlType = column ? columnType : static_cast<SQLSMALLINT>(SQL_VARCHAR);
      p.indicator = SQL_NULL_DATA;
      break;
    case VarType::Boolean:
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      if (columnType == SQL_BIT) {
        // A bit takes 1 or 0 (True is -1 where booleans are stored as numbers).
        p.cType = SQL_C_BIT;
        p.bit = v.integer() != 0 ? 1 : 0;
        p.sqlType = SQL_BIT;
        break;
      }
      p.cType = SQL_C_SBIGINT;
      p.integer = v.type() == VarType::Boolean ? (v.boolean() ? -1 : 0) : v.integer();
      p.sqlType = SQL_BIGINT;
      break;
    case VarType::Double:
      p.cType = SQL_C_DOUBLE;
      p.dbl = v.dbl();
      p.sqlType = SQL_DOUBLE;
      break;
    case VarType::Date: {
      p.cType = SQL_C_TYPE_TIMESTAMP;
      const Date::Parts d = v.date().parts();
      p.timestamp.year = static_cast<SQLSMALLINT>(d.year);
      p.timestamp.month = static_cast<SQLUSMALLINT>(d.month);
      p.timestamp.day = static_cast<SQLUSMALLINT>(d.day);
      p.timestamp.hour = static_cast<SQLUSMALLINT>(d.hour);
      p.timestamp.minute = static_cast<SQLUSMALLINT>(d.minute);
      p.timestamp.second = static_cast<SQLUSMALLINT>(d.second);
      p.sqlType = SQL_TYPE_TIMESTAMP;
      p.size = 19;
      break;
    }
    case VarType::String:
      p.cType = SQL_C_WCHAR;
      p.text = wide(v.str());
      p.indicator = static_cast<SQLLEN>(p.text.size() * sizeof(SQLWCHAR));
      p.sqlType = SQL_WVARCHAR;
      p.size = std::max<SQLULEN>(1, p.text.size());
      break;
    case VarType::Object:
      raise(err::kDbTypeMismatch, "An object cannot be stored in a column.");
  }
  if (column && p.indicator != SQL_NULL_DATA && p.cType != SQL_C_BIT) {
    // The column's own type, so that the server converts nothing
    // unexpectedly; text keeps its own length.
    p.sqlType = column->type;
    if (isTextType(column->type)) {
      if (p.cType != SQL_C_WCHAR) {  // a number into a text column: as its text
        const std::string t = v.joinText();
        p.cType = SQL_C_WCHAR;
        p.text = wide(t);
        p.indicator = static_cast<SQLLEN>(p.text.size() * sizeof(SQLWCHAR));
      }
      p.size = std::max<SQLULEN>(1, p.text.size());
    } else if (column->size > 0) {
      p.size = column->size;
      p.digits = column->digits;
    }
  }
  if (p.indicator == SQL_NULL_DATA && column && column->size > 0) {
    p.size = column->size;
    p.digits = column->digits;
  }
  return p;
}

void bindAll(const Statement& st, std::deque<Parameter>& params) {
  SQLUSMALLINT n = 1;
  for (Parameter& p : params) {
    st.check(SQLBindParameter(st.handle(), n++, SQL_PARAM_INPUT, p.cType, p.sqlType, p.size, p.digits,
                              p.buffer(), p.bufferLength(), &p.indicator));
  }
}

}  // namespace kvdn::odbc
