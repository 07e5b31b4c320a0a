#include "kvdn/error.h"

namespace kvdn {

const char* standardDescription(std::int32_t number) noexcept {
  switch (number) {
    case err::kInvalidCall:
      return "Invalid procedure call or argument";
    case err::kOverflow:
      return "Overflow";
    case err::kTypeMismatch:
      return "Type mismatch";
    case err::kObjectNotSet:
      return "Object variable or With block variable not set";
    case err::kInvalidNull:
      return "Invalid use of Null";
    case err::kObjectRequired:
      return "Object required";
    case err::kCannotCreate:
      return "ActiveX component can't create object";
    case err::kNotSupported:
      return "Object doesn't support this property or method";
    case err::kWrongArgCount:
      return "Wrong number of arguments or invalid property assignment";
    case err::kFileNotFound:
      return "File not found";
    case err::kFileAlreadyExists:
      return "File already exists";
    case err::kPermissionDenied:
      return "Permission denied";
    case err::kPathNotFound:
      return "Path not found";
    case err::kDbClosed:
      return "Operation is not allowed when the object is closed.";
    case err::kDbEofBof:
      return "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
             "requires a "
             "current record.";
    case err::kDbFieldNotUpdatable:
      return "Field cannot be updated.";
    case err::kAdArguments:
      return "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one "
             "another.";
    case err::kAdNotSupported:
      return "Object or provider is not capable of performing requested operation.";
    case err::kAdObjectOpen:
      return "Operation is not allowed when the object is open.";
    case err::kInvalidClassString:
      return "Invalid class string";
    case err::kUnexpected:
      return "Catastrophic failure";
    default:
      return "Unspecified error";
  }
}

void raise(std::int32_t number) {
  throw ComError(number, standardDescription(number));
}

void raise(std::int32_t number, std::string description) {
  throw ComError(number, std::move(description));
}

}  // namespace kvdn
