// Object: the base of everything a Variant can reference, with late binding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "kvdn/export.h"
#include "kvdn/variant.h"

namespace kvdn {

// One member of a class as a page script reaches it by name: the late
// binding below and the Windows DLL's IDispatch (its names, its DISPIDs and
// its type library) all answer from the one table of each class.
struct Member {
  enum Kind : std::uint8_t { kMethod = 1, kGet = 2, kLet = 4, kSet = 8, kPut = kLet | kSet };
  std::string_view name;
  // Fixed for ever (sites and type libraries keep them): 0 is the default
  // member, -4 the enumerator (_NewEnum), other ids are positive.
  std::int32_t id;
  std::uint8_t kinds;    // Kind bits
  std::uint8_t minArgs;  // arguments of a call or get (a put's value not counted)
  std::uint8_t maxArgs;
  std::uint16_t byRef = 0;  // bit i set: argument i is written back to the caller
};

// The members of one class and the name it goes by (what TypeName shows).
// Tables are constant and live for the program's life.
class KVDN_API MemberTable {
 public:
  constexpr MemberTable(std::string_view className, std::span<const Member> members) noexcept
      : className_(className), members_(members) {}
  std::string_view className() const noexcept { return className_; }
  std::span<const Member> members() const noexcept { return members_; }
  // The member of that name, letter case ignored; "" is the default member.
  // Null when there is none.
  const Member* find(std::string_view name) const noexcept;
  const Member* find(std::int32_t id) const noexcept;

 private:
  std::string_view className_;
  std::span<const Member> members_;
};

// The member `name` of `table` used as one of `kinds` (Kind bits) with `argc`
// arguments. Raises 438 when the table has no such member or none of those
// kinds, 450 when argc is outside its argument count.
KVDN_API const Member& bindMember(const MemberTable& table, std::string_view name, std::uint8_t kinds,
                                  std::size_t argc);

// Late binding as a page script uses it. Names match case-insensitively.
// Arguments are passed as a vector the callee may modify: a by-reference
// parameter writes its new value back into its slot, and the caller copies
// the slots back into its own variables. The defaults raise 438.
//
// Threads: an object is used by one thread at a time (a page's; on Windows
// the apartment model, one thread per object): nothing in it is locked.
class KVDN_API Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object() = default;

  // The class's member table: invoke, getProperty and setProperty answer
  // exactly its members. The default is an empty table named "Object".
  virtual const MemberTable& members() const noexcept;
  // The elements a For Each over the object visits, for a class whose
  // table has _NewEnum; the default raises 438.
  virtual std::vector<Variant> enumerate();

  virtual Variant invoke(std::string_view name, std::vector<Variant>& args);
  virtual Variant getProperty(std::string_view name);
  // Property let (value) and set (object reference) are the same call here.
  virtual void setProperty(std::string_view name, const Variant& value);
};

// Case-insensitive ASCII comparison, used for every lookup by name.
KVDN_API bool iequals(std::string_view a, std::string_view b) noexcept;
KVDN_API std::string asciiLower(std::string_view s);
// Whether `text` holds any of `lowerWords` ignoring ASCII case: the same
// answer as asciiLower(text).find(word) for each word, in one pass over
// `text` without a copy. Each word must be lower case; an empty word is
// found everywhere. Any thread.
KVDN_API bool containsAnyAsciiNoCase(std::string_view text,
                                     std::initializer_list<std::string_view> lowerWords) noexcept;
KVDN_API std::string asciiUpper(std::string_view s);

}  // namespace kvdn
