#include "kvdn/error.h"

namespace kvdn {

const char* standardDescription(std::int32_t number) noexcept {
  switch (number) {
    case err::kInvalidCall: return "Invalid procedure call or argument";
    case err::kOverflow: return "Overflow";
    case err::kTypeMismatch: return "Type mismatch";
    case err::kObjectNotSet: return "Object variable or With block variable not set";
    case err::kInvalidNull: return "Invalid use of Null";
    case err::kObjectRequired: return "Object required";
    case err::kCannotCreate: return "ActiveX component can't create object";
    case err::kNotSupported: return "Object doesn't support this property or method";
    case err::kWrongArgCount: return "Wrong number of arguments or invalid property assignment";
    case err::kInvalidClassString: return "Invalid class string";
    default: return "Unspecified error";
  }
}

void raise(std::int32_t number) { throw ComError(number, standardDescription(number)); }

void raise(std::int32_t number, std::string description) { throw ComError(number, std::move(description)); }

}  // namespace kvdn
