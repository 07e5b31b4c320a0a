// Values written through a recordset, checked against the declared type of their column:
// what each kind of column takes and the form in which the provider stores it.
#include <cstdint>

#include "ado_internal.h"
#include "kvdn/error.h"
#include "kvdn/text.h"

namespace kvdn::ado {

namespace {

enum class ColumnKind { Number, Date, Text, Other };

ColumnKind kindOf(std::string_view declared) {
  const std::string t = asciiUpper(declared);
  auto has = [&](std::string_view part) { return t.find(part) != std::string::npos; };
  if (has("DATE") || has("TIME")) return ColumnKind::Date;
  if (has("INT") || has("REAL") || has("FLOA") || has("DOUB") || has("NUMERIC") || has("DECIMAL") ||
      has("MONEY") || has("CURRENCY")) {
    return ColumnKind::Number;
  }
  if (has("CHAR") || has("CLOB") || has("TEXT")) return ColumnKind::Text;
  return ColumnKind::Other;
}

[[noreturn]] void mismatch(const ColumnInfo& column, const char* needs) {
  raise(err::kDbTypeMismatch, "Data type mismatch: column '" + column.name + "' (" + column.declaredType +
                                  ") " + needs + "; nothing of the record was stored.");
}

// A number from text as stored: whole numbers as 64-bit integers.
Variant numberValue(double d) {
  if (d == static_cast<double>(static_cast<std::int64_t>(d)) && d >= -9.2e18 && d <= 9.2e18) {
    return Variant(static_cast<std::int64_t>(d));
  }
  return Variant(d);
}

}  // namespace

Variant storable(const ColumnInfo& column, const Variant& v) {
  if (v.isEmpty() || v.isNull()) return Variant::null();
  if (v.isObject()) mismatch(column, "cannot take an object");
  const ColumnKind kind = kindOf(column.declaredType);
  const bool boolean = v.type() == VarType::Boolean;
  switch (kind) {
    case ColumnKind::Number:
      if (boolean) return Variant(static_cast<std::int64_t>(v.boolean() ? -1 : 0));
      if (v.isNumber()) return v.type() == VarType::Double ? v : Variant(v.integer());
      if (v.isString()) {
        double d = 0.0;
        const NumberText read = parseNumberText(v.str(), d);
        if (read == NumberText::Number) return numberValue(d);
        if (read == NumberText::TooLarge) raise(err::kOverflow);  // as the runtime's own conversion
      }
      mismatch(column, "takes a number");
    case ColumnKind::Date:
      if (v.type() == VarType::Date) return v;
      if (v.isString()) {
        if (auto d = Date::parse(trimBlanks(v.str()))) return Variant(*d);
      }
      mismatch(column, "takes a date");
    case ColumnKind::Text:
      // Numbers as the page would show them, not in the engine's own format.
      if (boolean) return Variant(static_cast<std::int64_t>(v.boolean() ? -1 : 0));
      if (v.isNumber()) return Variant(v.joinText());
      return v;
    case ColumnKind::Other:
      if (boolean) return Variant(static_cast<std::int64_t>(v.boolean() ? -1 : 0));
      if (v.isNumber()) return v.type() == VarType::Double ? v : Variant(v.integer());
      return v;
  }
  return v;
}

}  // namespace kvdn::ado
