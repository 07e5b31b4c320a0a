// Small pieces shared by the renderers: text of values appended without
// copies, and the guard that empties the object's recordset slot.
#pragma once

#include <charconv>
#include <cstdint>
#include <memory>
#include <string>

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

// Appends the text form a value takes when joined into text (Null and Empty
// give nothing). Strings and integers are appended in place; an object
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
    try {
      if (rs->isOpen()) rs->close();
    } catch (const ComError&) {
      // Unwinding already: the earlier failure is the one reported.
    }
  }

 private:
  std::shared_ptr<Recordset>& slot_;
};

}  // namespace kvdn::render
