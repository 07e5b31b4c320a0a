// Small pieces shared by the renderers: text of values appended without
// copies, and the guard that empties the object's recordset slot.
#pragma once

#include <charconv>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "helpers/trap.h"
#include "kvdn/data.h"
#include "kvdn/error.h"
#include "kvdn/variant.h"

namespace kvdn::render {

// Appends a whole number in decimal.
inline void appendInt(std::string& out, std::int64_t n) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, res.ptr);
}

// Appends formatDouble(d) without its general path for the common case: when
// the shortest text that reads back as d has at most 15 significant digits,
// that text is the 15-digit rounding formatDouble starts from; it is written
// plain while its exponent lies in -4..14. Everything else (longer digit
// strings, E forms, zero, NaN, infinities) goes through formatDouble itself.
inline void appendDouble(std::string& out, double d) {
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e = sci.find('e');
  if (res.ec != std::errc() || d == 0.0 || e == std::string_view::npos) {
    out += formatDouble(d);
    return;
  }
  std::string_view mantissa = sci.substr(0, e);
  const bool negative = mantissa.front() == '-';
  if (negative) mantissa.remove_prefix(1);
  char digits[20];
  std::size_t k = 0;
  for (char c : mantissa) {
    if (c == '.') continue;
    if (k == 15) {  // 16 or 17 digits: formatDouble rounds them
      out += formatDouble(d);
      return;
    }
    digits[k++] = c;
  }
  int exp = 0;
  std::string_view es = sci.substr(e + 1);
  if (!es.empty() && es.front() == '+') es.remove_prefix(1);
  std::from_chars(es.data(), es.data() + es.size(), exp);
  if (exp < -4 || exp > 14) {
    out += formatDouble(d);
    return;
  }
  if (negative) out += '-';
  const std::string_view all(digits, k);
  if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += all;
  } else if (k <= static_cast<std::size_t>(exp) + 1) {
    out += all;
    out.append(static_cast<std::size_t>(exp) + 1 - k, '0');
  } else {
    out += all.substr(0, static_cast<std::size_t>(exp) + 1);
    out += '.';
    out += all.substr(static_cast<std::size_t>(exp) + 1);
  }
}

// Appends the text form a value takes when joined into text (Null and Empty
// give nothing). Strings and numbers are appended in place; an object
// raises 13 as joinText does.
inline void appendText(std::string& out, const Variant& v) {
  switch (v.type()) {
    case VarType::String:
      out += v.str();
      return;
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      appendInt(out, v.integer());
      return;
    case VarType::Double:
      appendDouble(out, v.dbl());
      return;
    case VarType::Empty:
    case VarType::Null:
      return;
    default:
      out += v.joinText();
  }
}

// A page variable that counts as "" in `x <> ""`: Empty, the empty string, and
// Null (the comparison gives Null, which a condition reads as false).
inline bool isBlankText(const Variant& v) {
  return v.isEmpty() || v.isNull() || (v.isString() && v.str().empty());
}

// Holds the recordset of one call in the object's shared slot. release() is
// the normal end: it closes the recordset (a failure goes to the caller) and
// empties the slot. When a call ends by an error instead, the destructor
// closes quietly (the first error is the one the page sees) and empties the
// slot, so no recordset outlives the call either way.
class SlotGuard {
 public:
  explicit SlotGuard(std::shared_ptr<Recordset>& slot) : slot_(slot) {}
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;

  void release() {
    std::shared_ptr<Recordset> rs = std::move(slot_);
    slot_.reset();
    if (rs && rs->isOpen()) rs->close();
  }

  ~SlotGuard() {
    if (!slot_) return;
    std::shared_ptr<Recordset> rs = std::move(slot_);
    slot_.reset();
    // Unwinding already: the earlier failure is the one reported.
    trap::keepGoing([&] {
      if (rs->isOpen()) rs->close();
    });
  }

 private:
  std::shared_ptr<Recordset>& slot_;
};

}  // namespace kvdn::render
