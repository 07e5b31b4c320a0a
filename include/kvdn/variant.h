// Variant: the value type of every public parameter and result.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "kvdn/export.h"

namespace kvdn {

class Object;
using ObjectPtr = std::shared_ptr<Object>;

// A point in time as the automation date: days since 1899-12-30 00:00:00,
// the fraction being the time of day. Second precision is all that is kept
// in text forms.
struct KVDN_API Date {
  double serial = 0.0;

  static Date fromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
  // Parses "yyyy-mm-dd", "yyyy-mm-dd hh:mm:ss" or "hh:mm:ss" as the runtime
  // reads them: "/" for "-", "T" or blanks between date and time, seconds
  // optional, month, day, hour, minute and second one or two digits
  // ("2024/3/5 9:5"). Blanks around are ignored. Returns nullopt when the
  // text is not such a date or names an impossible day or time.
  static std::optional<Date> parse(std::string_view text);
  // The server's local clock, to the second.
  static Date now();

  struct Parts {
    int year, month, day, hour, minute, second;
  };
  Parts parts() const;
  // "yyyy-mm-dd hh:mm:ss"; "yyyy-mm-dd" at midnight; "hh:mm:ss" on 1899-12-30.
  std::string text() const;
  // Always "yyyy-mm-dd hh:mm:ss" (the storage form of the data layer).
  std::string storageText() const;

  friend bool operator==(const Date& a, const Date& b) { return a.serial == b.serial; }
};

enum class VarType { Empty, Null, Boolean, Integer, Long, LongLong, Double, Date, String, Object };

// A script value. Strings are UTF-8; where a rule counts characters it counts
// UTF-16 code units (see text.h). Copying a Variant copies the value; an
// Object variant shares the referenced object.
class KVDN_API Variant {
 public:
  Variant() = default;  // Empty
  Variant(bool v) : v_(v) {}
  Variant(std::int16_t v) : v_(v) {}
  Variant(std::int32_t v) : v_(v) {}
  Variant(std::int64_t v) : v_(v) {}
  Variant(double v) : v_(v) {}
  Variant(Date v) : v_(v) {}
  Variant(std::string v) : v_(std::move(v)) {}
  Variant(std::string_view v) : v_(std::string(v)) {}
  Variant(const char* v) : v_(std::string(v)) {}
  Variant(ObjectPtr v) : v_(std::move(v)) {}
  template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
  Variant(std::shared_ptr<T> v) : v_(ObjectPtr(std::move(v))) {}

  static Variant null() {
    Variant v;
    v.v_ = NullTag{};
    return v;
  }
  static Variant empty() { return Variant(); }

  VarType type() const noexcept { return static_cast<VarType>(v_.index()); }
  bool isEmpty() const noexcept { return type() == VarType::Empty; }
  bool isNull() const noexcept { return type() == VarType::Null; }
  bool isString() const noexcept { return type() == VarType::String; }
  bool isObject() const noexcept { return type() == VarType::Object; }
  bool isNumber() const noexcept;  // Boolean is not a number here; Integer..Double are.
  // The string held (only for VarType::String).
  const std::string& str() const { return std::get<std::string>(v_); }
  const ObjectPtr& object() const { return std::get<ObjectPtr>(v_); }
  bool boolean() const { return std::get<bool>(v_); }
  Date date() const { return std::get<Date>(v_); }

  // Text form when joined into text: Empty and Null give "", numbers their
  // decimal text, doubles up to 15 significant digits, True/False, dates as
  // Date::text(). An Object raises 13.
  std::string joinText() const;
  // Conversion to a string where a value is required: as joinText, but Null
  // raises 94.
  std::string toString() const;
  // Numeric value: numbers, booleans (True is -1), dates (serial), Empty (0)
  // and strings holding a number. Null raises 94; other strings raise 13.
  double toDouble() const;
  // Whole-number conversions: round halves to even; out of range raises 6.
  std::int16_t toInt16() const;
  std::int32_t toInt32() const;
  std::int64_t toInt64() const;
  // The 64-bit integer held (VarType::LongLong), Long or Integer widened.
  std::int64_t integer() const;
  double dbl() const { return std::get<double>(v_); }
  bool toBool() const;  // Null raises 94; strings "True"/"False" or numbers.
  // True when the value is a number, or a string that parses as one.
  bool isNumeric() const;
  // The object held; Empty/Null/non-objects raise 424 (object required).
  ObjectPtr toObject() const;

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };
  std::variant<std::monostate, NullTag, bool, std::int16_t, std::int32_t, std::int64_t, double, Date,
               std::string, ObjectPtr>
      v_;
};

// Comparison of a value with a number constant, as "If v > 0" in a page
// script: Empty counts 0, a string holding a number counts as that number,
// a string that does not raises 13. Null makes every comparison false
// (returns nullopt from compareNumber).
KVDN_API std::optional<int> compareNumber(const Variant& v, double n);
KVDN_API bool numEq(const Variant& v, double n);
KVDN_API bool numGt(const Variant& v, double n);
KVDN_API bool numLt(const Variant& v, double n);

// Equality of two values for selection marks: numbers by value, strings
// exactly, Empty equals 0 and "", Null equals nothing, a number equals a
// string that holds the same number.
KVDN_API bool selectionEquals(const Variant& a, const Variant& b);

// Text of a double as a page sees it (15 significant digits, E notation
// outside 1e-4..1e15).
KVDN_API std::string formatDouble(double d);

// What a text holds when the runtime reads it as a number.
enum class NumberText { Number, NotANumber, TooLarge };

// Reads a whole text as a number the way the runtime does: blanks around
// allowed, leading sign, decimal point, exponent, thousands separators
// between the digits of the whole part ("1,000"), "&H" hexadecimal and "&O"
// octal (unsigned, up to 64 bits). Sets `value` only for Number; TooLarge
// is a number beyond a double ("1e400") or a radix form beyond 64 bits.
KVDN_API NumberText parseNumberText(std::string_view text, double& value);
// parseNumberText as an optional: nullopt for NotANumber and TooLarge.
KVDN_API std::optional<double> parseNumber(std::string_view text);
// The conversion to a double that a page sees: raises 13 (type mismatch)
// for a text that is no number and 6 (overflow) for one too large.
KVDN_API double textToDouble(std::string_view text);

}  // namespace kvdn
