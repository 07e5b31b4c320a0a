// Variant conversions, comparisons and the text forms a page script sees.
#include "kvdn/variant.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

#include "kvdn/error.h"
#include "kvdn/object.h"

namespace kvdn {

// ---------------------------------------------------------------------------
// Date.
//
// The automation date counts days from 1899-12-30; the fraction is the time
// of day. Before the zero day the sign applies to the day only: 1899-12-29
// 06:00 is -1.25, not -0.75. Everything below goes through a linear count of
// seconds so that this quirk lives in two small functions.

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date; month and day may lie
// outside their usual range and are carried over (month 13 is January of the
// next year, day 0 the last day of the previous month).
std::int64_t daysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
  // Normalise the month first so the era arithmetic sees 1..12.
  std::int64_t m0 = m - 1;
  y += (m0 >= 0 ? m0 / 12 : -((11 - m0) / 12));
  m0 -= 12 * (m0 >= 0 ? m0 / 12 : -((11 - m0) / 12));
  m = m0 + 1;
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

// 1899-12-30 in days from 1970-01-01. A constant, not a computed global: a
// computed one is zero while other files' static initialisers run.
constexpr std::int64_t kZeroDay = -25569;

// Serials beyond this are far outside the years 100..9999 the runtime knows;
// clamping keeps the integer arithmetic defined for any double.
constexpr double kSerialLimit = 3.0e6;

double serialFromSeconds(std::int64_t total) {
  std::int64_t day = total / kSecondsPerDay;
  std::int64_t sec = total % kSecondsPerDay;
  if (sec < 0) {
    sec += kSecondsPerDay;
    --day;
  }
  const double frac = static_cast<double>(sec) / kSecondsPerDay;
  return day >= 0 ? static_cast<double>(day) + frac : static_cast<double>(day) - frac;
}

// Seconds from the zero day, rounded to the nearest second.
std::int64_t secondsFromSerial(double serial) {
  if (!std::isfinite(serial)) serial = 0.0;
  if (serial > kSerialLimit) serial = kSerialLimit;
  if (serial < -kSerialLimit) serial = -kSerialLimit;
  const double whole = std::trunc(serial);
  const double frac = std::fabs(serial - whole);
  return static_cast<std::int64_t>(whole) * kSecondsPerDay + std::llround(frac * kSecondsPerDay);
}

bool isLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// A tiny cursor over the text being parsed.
struct Scanner {
  std::string_view s;
  std::size_t i = 0;

  bool done() const { return i == s.size(); }
  bool take(char c) {
    if (i < s.size() && s[i] == c) {
      ++i;
      return true;
    }
    return false;
  }
  // Reads between minDigits and maxDigits decimal digits.
  bool number(int minDigits, int maxDigits, int& out) {
    int n = 0;
    int v = 0;
    while (n < maxDigits && i < s.size() && s[i] >= '0' && s[i] <= '9') {
      v = v * 10 + (s[i] - '0');
      ++i;
      ++n;
    }
    out = v;
    return n >= minDigits;
  }
};

// "h:m" or "h:m:s", each part one or two digits; seconds 0 when absent.
bool parseTime(Scanner& sc, int& h, int& mi, int& se) {
  se = 0;
  if (!sc.number(1, 2, h) || !sc.take(':') || !sc.number(1, 2, mi)) return false;
  if (sc.take(':') && !sc.number(1, 2, se)) return false;
  return h <= 23 && mi <= 59 && se <= 59;
}

void appendTwo(std::string& out, int v) {
  out.push_back(static_cast<char>('0' + v / 10));
  out.push_back(static_cast<char>('0' + v % 10));
}

// Written digit by digit: dates are formatted for every cell of a grid.
void appendDate(std::string& out, const Date::Parts& p) {
  if (p.year >= 0 && p.year <= 9999) {
    appendTwo(out, p.year / 100);
    appendTwo(out, p.year % 100);
  } else {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d", p.year);
    out += buf;
  }
  out.push_back('-');
  appendTwo(out, p.month);
  out.push_back('-');
  appendTwo(out, p.day);
}

void appendTime(std::string& out, const Date::Parts& p) {
  appendTwo(out, p.hour);
  out.push_back(':');
  appendTwo(out, p.minute);
  out.push_back(':');
  appendTwo(out, p.second);
}

}  // namespace

Date Date::fromParts(int year, int month, int day, int hour, int minute, int second) {
  const std::int64_t days = daysFromCivil(year, month, day) - kZeroDay;
  const std::int64_t total =
      days * kSecondsPerDay + std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second;
  return Date{serialFromSeconds(total)};
}

std::optional<Date> Date::parse(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  Scanner sc{text};
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;

  // A time alone ("hh:mm:ss", "h:mm"): a time on the zero day.
  if (text.size() >= 3 && (text[1] == ':' || text[2] == ':')) {
    if (!parseTime(sc, h, mi, se) || !sc.done()) return std::nullopt;
    return fromParts(1899, 12, 30, h, mi, se);
  }

  if (!sc.number(4, 4, y)) return std::nullopt;
  char sep = sc.take('-') ? '-' : (sc.take('/') ? '/' : '\0');
  if (sep == '\0' || !sc.number(1, 2, mo) || !sc.take(sep) || !sc.number(1, 2, d)) return std::nullopt;
  if (y < 100 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo)) return std::nullopt;
  if (!sc.done()) {
    if (!sc.take('T')) {
      if (!sc.take(' ')) return std::nullopt;
      while (sc.take(' ')) {
      }
    }
    if (!parseTime(sc, h, mi, se) || !sc.done()) return std::nullopt;
  }
  return fromParts(y, mo, d, h, mi, se);
}

Date Date::now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
#if defined(_WIN32)
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return fromParts(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

Date::Parts Date::parts() const {
  const std::int64_t total = secondsFromSerial(serial);
  std::int64_t day = total / kSecondsPerDay;
  std::int64_t sec = total % kSecondsPerDay;
  if (sec < 0) {
    sec += kSecondsPerDay;
    --day;
  }
  Parts p{};
  civilFromDays(day + kZeroDay, p.year, p.month, p.day);
  p.hour = static_cast<int>(sec / 3600);
  p.minute = static_cast<int>(sec / 60 % 60);
  p.second = static_cast<int>(sec % 60);
  return p;
}

std::string Date::text() const {
  const Parts p = parts();
  std::string out;
  out.reserve(19);
  if (p.year == 1899 && p.month == 12 && p.day == 30) {
    appendTime(out, p);
  } else if (p.hour == 0 && p.minute == 0 && p.second == 0) {
    appendDate(out, p);
  } else {
    appendDate(out, p);
    out.push_back(' ');
    appendTime(out, p);
  }
  return out;
}

std::string Date::storageText() const {
  const Parts p = parts();
  std::string out;
  out.reserve(19);
  appendDate(out, p);
  out.push_back(' ');
  appendTime(out, p);
  return out;
}

// ---------------------------------------------------------------------------
// Numbers as text.

std::string formatDouble(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-INF" : "INF";
  if (d == 0.0) return "0";  // also -0

  // Round to 15 significant digits first: the exponent that decides between
  // plain and E form is the one of the rounded value (999999999999999.9
  // prints as 1E+15).
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.14e", d);
  std::string_view s(buf);
  std::string out;
  if (s.front() == '-') {
    out.push_back('-');
    s.remove_prefix(1);
  }
  const std::size_t ePos = s.find('e');
  std::string digits;
  for (char c : s.substr(0, ePos)) {
    if (c != '.') digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int exp = 0;
  {
    std::string_view es = s.substr(ePos + 1);
    if (!es.empty() && es.front() == '+') es.remove_prefix(1);
    std::from_chars(es.data(), es.data() + es.size(), exp);
  }

  if (exp < -4 || exp > 14) {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('E');
    out.push_back(exp < 0 ? '-' : '+');
    const int a = exp < 0 ? -exp : exp;
    if (a < 10) out.push_back('0');
    out.append(std::to_string(a));
    return out;
  }
  if (exp < 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out.append(digits);
    return out;
  }
  const auto intLen = static_cast<std::size_t>(exp) + 1;
  if (digits.size() <= intLen) {
    out.append(digits);
    out.append(intLen - digits.size(), '0');
  } else {
    out.append(digits, 0, intLen);
    out.push_back('.');
    out.append(digits, intLen);
  }
  return out;
}

namespace {

// Decimal exponent of the first significant digit of a validated number text
// without sign ("123e2" gives 4, "0.001" gives -3). Only its sign matters.
long decimalMagnitude(std::string_view text) {
  long exp = 0;
  const std::size_t ePos = text.find_first_of("eE");
  if (ePos != std::string_view::npos) {
    std::string_view es = text.substr(ePos + 1);
    const bool neg = !es.empty() && es.front() == '-';
    if (!es.empty() && (es.front() == '+' || es.front() == '-')) es.remove_prefix(1);
    for (char c : es) exp = std::min(exp * 10 + (c - '0'), 1000000L);
    if (neg) exp = -exp;
  }
  const std::string_view mant = text.substr(0, ePos);
  const std::size_t dot = std::min(mant.find('.'), mant.size());
  const std::size_t first = mant.find_first_of("123456789");
  if (first == std::string_view::npos) return -1;  // all zeros: underflow to 0
  const long pos = first < dot ? static_cast<long>(dot - first) - 1 : -static_cast<long>(first - dot);
  return pos + exp;
}

}  // namespace

namespace {

// "&H1F" (hexadecimal) or "&O17" (octal), letters in either case, read as an
// unsigned whole number. More than 64 bits of digits is an overflow.
NumberText parseRadix(std::string_view text, double& value) {
  if (text.size() < 3 || text[0] != '&') return NumberText::NotANumber;
  const char kind = text[1];
  const unsigned base = (kind == 'h' || kind == 'H') ? 16 : ((kind == 'o' || kind == 'O') ? 8 : 0);
  if (base == 0) return NumberText::NotANumber;
  std::uint64_t n = 0;
  bool tooLarge = false;
  for (char c : text.substr(2)) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return NumberText::NotANumber;
    }
    if (digit >= base) return NumberText::NotANumber;
    if (n > (std::numeric_limits<std::uint64_t>::max() - digit) / base) tooLarge = true;
    n = n * base + digit;
  }
  if (tooLarge) return NumberText::TooLarge;
  value = static_cast<double>(n);
  return NumberText::Number;
}

}  // namespace

NumberText parseNumberText(std::string_view text, double& value) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '&') return parseRadix(text, value);

  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // Validate the shape ourselves: from_chars would accept "inf", "nan" and
  // hex forms, and stop early without telling us the rest is not a number.
  // Thousands separators stand between digits of the whole part ("1,000",
  // also "1,0" as the runtime reads it); they are dropped before reading.
  std::string digits;
  std::size_t i = 0;
  std::size_t mantissaDigits = 0;
  bool grouped = false;
  auto isDigit = [&](std::size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
  while (isDigit(i) || (i < text.size() && text[i] == ',' && mantissaDigits > 0 && isDigit(i + 1))) {
    if (text[i] == ',') {
      grouped = true;
    } else {
      ++mantissaDigits;
    }
    ++i;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (isDigit(i)) ++i, ++mantissaDigits;
  }
  if (mantissaDigits == 0) return NumberText::NotANumber;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (isDigit(i)) ++i, ++expDigits;
    if (expDigits == 0) return NumberText::NotANumber;
  }
  if (i != text.size()) return NumberText::NotANumber;
  if (grouped) {
    digits.reserve(text.size());
    for (char c : text) {
      if (c != ',') digits += c;
    }
    text = digits;
  }

  double parsed = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (end != text.data() + text.size()) return NumberText::NotANumber;
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone here, so tell overflow from underflow
    // by the decimal exponent of the first significant digit. Underflow is
    // zero; a value too large for a double is an overflow.
    if (decimalMagnitude(text) > 0) return NumberText::TooLarge;
    parsed = 0.0;
  } else if (ec != std::errc{}) {
    return NumberText::NotANumber;
  }
  value = negative ? -parsed : parsed;
  return NumberText::Number;
}

std::optional<double> parseNumber(std::string_view text) {
  double value = 0.0;
  if (parseNumberText(text, value) != NumberText::Number) return std::nullopt;
  return value;
}

double textToDouble(std::string_view text) {
  double value = 0.0;
  switch (parseNumberText(text, value)) {
    case NumberText::Number:
      return value;
    case NumberText::TooLarge:
      raise(err::kOverflow);
    case NumberText::NotANumber:
      break;
  }
  raise(err::kTypeMismatch);
}

// ---------------------------------------------------------------------------
// Variant.

namespace {

// Round half to even, as the runtime's integer conversions do, independent
// of the floating-point environment's rounding mode.
double roundHalfEven(double d) {
  const double r = std::round(d);  // halves away from zero
  if (std::fabs(d - std::trunc(d)) == 0.5 && std::fmod(r, 2.0) != 0.0) return r - std::copysign(1.0, d);
  return r;
}

template <class T>
T checkedFromInt64(std::int64_t v) {
  if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) raise(err::kOverflow);
  return static_cast<T>(v);
}

template <class T>
T checkedFromDouble(double d) {
  if (std::isnan(d)) raise(err::kOverflow);
  const double r = roundHalfEven(d);
  // Compare against the bounds as doubles; for 64 bits the upper bound 2^63
  // itself is exactly representable and already out of range.
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  constexpr double hiExclusive = -lo;
  if (!(r >= lo && r < hiExclusive)) raise(err::kOverflow);
  return static_cast<T>(r);
}

// A value as a number for comparisons and whole-number conversions. Integers
// are kept exact (a 64-bit key must not go through a double).
struct Num {
  bool isInt;
  std::int64_t i;
  double d;
};

// Null raises 94; strings that are not numbers and objects raise 13.
Num numberOf(const Variant& v) {
  switch (v.type()) {
    case VarType::Empty:
      return {true, 0, 0.0};
    case VarType::Null:
      raise(err::kInvalidNull);
    case VarType::Boolean:
      return {true, v.boolean() ? -1 : 0, v.boolean() ? -1.0 : 0.0};
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      return {true, v.integer(), static_cast<double>(v.integer())};
    case VarType::Double:
      return {false, 0, v.dbl()};
    case VarType::Date:
      return {false, 0, v.date().serial};
    case VarType::String: {
      return {false, 0, textToDouble(v.str())};
    }
    case VarType::Object:
      break;
  }
  raise(err::kTypeMismatch);
}

template <class T>
T toWhole(const Variant& v) {
  const Num n = numberOf(v);
  return n.isInt ? checkedFromInt64<T>(n.i) : checkedFromDouble<T>(n.d);
}

int compareNums(const Num& a, const Num& b) {
  if (a.isInt && b.isInt) return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
  const double x = a.isInt ? static_cast<double>(a.i) : a.d;
  const double y = b.isInt ? static_cast<double>(b.i) : b.d;
  return x < y ? -1 : (x > y ? 1 : 0);
}

}  // namespace

bool Variant::isNumber() const noexcept {
  switch (type()) {
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
    case VarType::Double:
      return true;
    default:
      return false;
  }
}

std::string Variant::joinText() const {
  switch (type()) {
    case VarType::Empty:
    case VarType::Null:
      return {};
    case VarType::Boolean:
      return boolean() ? "True" : "False";
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      return std::to_string(integer());
    case VarType::Double:
      return formatDouble(dbl());
    case VarType::Date:
      return date().text();
    case VarType::String:
      return str();
    case VarType::Object:
      break;
  }
  raise(err::kTypeMismatch);
}

std::string Variant::toString() const {
  if (isNull()) raise(err::kInvalidNull);
  return joinText();
}

double Variant::toDouble() const {
  const Num n = numberOf(*this);
  return n.isInt ? static_cast<double>(n.i) : n.d;
}

std::int16_t Variant::toInt16() const {
  return toWhole<std::int16_t>(*this);
}
std::int32_t Variant::toInt32() const {
  return toWhole<std::int32_t>(*this);
}
std::int64_t Variant::toInt64() const {
  return toWhole<std::int64_t>(*this);
}

std::int64_t Variant::integer() const {
  switch (type()) {
    case VarType::Integer:
      return std::get<std::int16_t>(v_);
    case VarType::Long:
      return std::get<std::int32_t>(v_);
    case VarType::LongLong:
      return std::get<std::int64_t>(v_);
    default:
      raise(err::kTypeMismatch);
  }
}

bool Variant::toBool() const {
  if (isString()) {
    if (iequals(str(), "True")) return true;
    if (iequals(str(), "False")) return false;
  }
  if (type() == VarType::Boolean) return boolean();
  const Num n = numberOf(*this);
  return n.isInt ? n.i != 0 : n.d != 0.0;
}

bool Variant::isNumeric() const {
  if (isNumber()) return true;
  return isString() && parseNumber(str()).has_value();
}

ObjectPtr Variant::toObject() const {
  if (!isObject()) raise(err::kObjectRequired);
  if (!object()) raise(err::kObjectNotSet);
  return object();
}

// ---------------------------------------------------------------------------
// Comparisons.

std::optional<int> compareNumber(const Variant& v, double n) {
  if (v.isNull()) return std::nullopt;
  const Num a = numberOf(v);
  if (!a.isInt && std::isnan(a.d)) return std::nullopt;
  if (std::isnan(n)) return std::nullopt;
  return compareNums(a, Num{false, 0, n});
}

bool numEq(const Variant& v, double n) {
  auto c = compareNumber(v, n);
  return c && *c == 0;
}

bool numGt(const Variant& v, double n) {
  auto c = compareNumber(v, n);
  return c && *c > 0;
}

bool numLt(const Variant& v, double n) {
  auto c = compareNumber(v, n);
  return c && *c < 0;
}

bool selectionEquals(const Variant& a, const Variant& b) {
  if (a.isNull() || b.isNull()) return false;
  if (a.isObject() || b.isObject()) return a.isObject() && b.isObject() && a.object() == b.object();
  if (a.isEmpty() && b.isEmpty()) return true;
  if (a.isString() && b.isString()) return a.str() == b.str();
  // Empty against a string is the empty text.
  if (a.isEmpty() && b.isString()) return b.str().empty();
  if (b.isEmpty() && a.isString()) return a.str().empty();

  // Now at least one side is a number, boolean, date or Empty. A string on
  // the other side counts when it holds a number (request text against a
  // numeric key) or, against a date, when it names the same moment.
  const Variant& s = a.isString() ? a : b;
  const Variant& other = a.isString() ? b : a;
  if (s.isString()) {
    if (auto n = parseNumber(s.str())) return compareNums(numberOf(other), Num{false, 0, *n}) == 0;
    if (other.type() == VarType::Date) {
      auto d = Date::parse(s.str());
      return d && *d == other.date();
    }
    return false;
  }
  return compareNums(numberOf(a), numberOf(b)) == 0;
}

}  // namespace kvdn
