// The one error model of the library: what a page sees when a call fails.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "kvdn/export.h"

namespace kvdn {

// Error numbers as a page script sees them, every one the library raises:
// a number is defined here and nowhere else, and its standard text lives
// beside it in standardDescription(). Positive numbers are the scripting
// runtime's; negative ones come from the data layer and the object registry
// (HRESULT values read as signed 32-bit integers).
namespace err {
inline constexpr std::int32_t kInvalidCall = 5;         // invalid procedure call or argument
inline constexpr std::int32_t kOverflow = 6;            // overflow
inline constexpr std::int32_t kTypeMismatch = 13;       // type mismatch
inline constexpr std::int32_t kFileNotFound = 53;       // file not found
inline constexpr std::int32_t kFileAlreadyExists = 58;  // file already exists
inline constexpr std::int32_t kPermissionDenied = 70;   // permission denied
inline constexpr std::int32_t kPathNotFound = 76;       // path not found
inline constexpr std::int32_t kObjectNotSet = 91;       // object variable not set
inline constexpr std::int32_t kInvalidNull = 94;        // invalid use of Null
inline constexpr std::int32_t kObjectRequired = 424;    // object required
inline constexpr std::int32_t kCannotCreate = 429;      // ActiveX component cannot create object
inline constexpr std::int32_t kNotSupported = 438;      // object doesn't support this property or method
inline constexpr std::int32_t kWrongArgCount = 450;     // wrong number of arguments
inline constexpr std::int32_t kNotImplemented = 32811;  // method not built yet (component's own)
// Data layer (OLE DB style).
inline constexpr std::int32_t kDbFail = -2147467259;  // E_FAIL: generic failure, file cannot be opened
inline constexpr std::int32_t kDbErrorsInCommand = -2147217900;  // statement rejected
inline constexpr std::int32_t kDbNoSuchTable = -2147217865;      // table does not exist
inline constexpr std::int32_t kDbNoSuchColumn = -2147217904;     // item not found in collection / column
inline constexpr std::int32_t kDbTypeMismatch = -2147217913;     // data type mismatch in criteria / value
inline constexpr std::int32_t kDbClosed =
    -2147217843;  // operation not allowed when object is closed (3704 style)
inline constexpr std::int32_t kDbEofBof = -2147217842;    // BOF or EOF is true, or the record was deleted
inline constexpr std::int32_t kDbNoRecord = -2147217885;  // row handle refers to a deleted row / no row
inline constexpr std::int32_t kDbBusy = -2147217871;      // timeout / locked
inline constexpr std::int32_t kDbIntegrityViolation = -2147217873;  // a key or constraint refused the row
inline constexpr std::int32_t kDbFieldNotUpdatable = -2147217887;   // the engine refuses writing a column
// The ADO objects' own errors (their 3000 range), for misuse of the objects.
inline constexpr std::int32_t kAdArguments = -2146825287;  // 3001: arguments wrong, out of range, in conflict
inline constexpr std::int32_t kAdNotSupported = -2146825037;  // 3251: the object cannot do that
inline constexpr std::int32_t kAdObjectOpen = -2146824581;    // 3705: not allowed while open
// The object registry and the host.
inline constexpr std::int32_t kInvalidClassString = -2147221005;  // CO_E_CLASSSTRING
inline constexpr std::int32_t kUnexpected = -2147418113;  // E_UNEXPECTED: a fault of the library itself
}  // namespace err

// A failure as the page sees it: a number and a description. Thrown by every
// layer of the library; trapped only where a method's contract says so.
class KVDN_API ComError : public std::runtime_error {
 public:
  ComError(std::int32_t number, std::string description)
      : std::runtime_error(description), number_(number), description_(std::move(description)) {}

  std::int32_t number() const noexcept { return number_; }
  const std::string& description() const noexcept { return description_; }

 private:
  std::int32_t number_;
  std::string description_;
};

// The standard description of a number above ("Unspecified error" for a
// number without one). Methods that know more (the column, the file) raise
// their own text with the same number.
KVDN_API const char* standardDescription(std::int32_t number) noexcept;

// Throws ComError(number, standardDescription(number)).
[[noreturn]] KVDN_API void raise(std::int32_t number);
// Throws ComError(number, description).
[[noreturn]] KVDN_API void raise(std::int32_t number, std::string description);

}  // namespace kvdn
