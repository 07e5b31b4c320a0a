// The standard texts that pages see with a number when a method raises it
// without a text of its own.
#include "kvdn/error.h"

#include <gtest/gtest.h>

#include <string>

namespace kvdn {
namespace {

TEST(StandardDescription, RaiseGivesTheNumberWithItsStandardText) {
  struct Case {
    std::int32_t number;
    const char* text;
  } cases[] = {
      {err::kTypeMismatch, "Type mismatch"},
      {err::kObjectNotSet, "Object variable or With block variable not set"},
      {err::kFileNotFound, "File not found"},
      {err::kPathNotFound, "Path not found"},
      {err::kDbClosed, "Operation is not allowed when the object is closed."},
      {err::kAdObjectOpen, "Operation is not allowed when the object is open."},
      {err::kDbEofBof,
       "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a "
       "current record."},
      {err::kAdArguments,
       "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another."},
      {err::kUnexpected, "Catastrophic failure"},
      {12345, "Unspecified error"},
  };
  for (const auto& c : cases) {
    try {
      raise(c.number);
      ADD_FAILURE() << c.number << " did not raise";
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), c.number);
      EXPECT_EQ(e.description(), c.text);
    }
  }
}

}  // namespace
}  // namespace kvdn
