// Object: the base of everything a Variant can reference, with late binding.
#pragma once

#include <string_view>
#include <vector>

#include "kvdn/export.h"
#include "kvdn/variant.h"

namespace kvdn {

// Late binding as a page script uses it. Names match case-insensitively.
// Arguments are passed as a vector the callee may modify: a by-reference
// parameter writes its new value back into its slot, and the caller copies
// the slots back into its own variables. The defaults raise 438.
class KVDN_API Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object() = default;

  virtual Variant invoke(std::string_view name, std::vector<Variant>& args);
  virtual Variant getProperty(std::string_view name);
  // Property let (value) and set (object reference) are the same call here.
  virtual void setProperty(std::string_view name, const Variant& value);
};

// Case-insensitive ASCII comparison, used for every lookup by name.
KVDN_API bool iequals(std::string_view a, std::string_view b) noexcept;
KVDN_API std::string asciiLower(std::string_view s);
KVDN_API std::string asciiUpper(std::string_view s);

}  // namespace kvdn
