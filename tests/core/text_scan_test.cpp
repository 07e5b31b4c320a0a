// The shared scanners: the UTF-8 decoder that table names and lower-casing
// rely on, and the whole-number parser behind every key that reaches SQL.
#include "text_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kvdn {
namespace {

TEST(DecodeUtf8, DecodesOneSequenceOrRefusesIt) {
  struct Case {
    std::string in;
    std::optional<char32_t> cp;
    std::size_t length;  // how far i moves on success
  } cases[] = {
      {"a", U'a', 1},
      {std::string(1, '\0'), U'\0', 1},
      {"\xC2\x80", 0x80, 2},
      {"中x", 0x4E2D, 3},
      {"\xF0\x9F\x98\x80", 0x1F600, 4},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
      {"\xC0\x80", std::nullopt, 0},          // overlong NUL
      {"\xE0\x80\xAF", std::nullopt, 0},      // overlong
      {"\xED\xA0\x80", std::nullopt, 0},      // encoded surrogate
      {"\xF4\x90\x80\x80", std::nullopt, 0},  // above U+10FFFF
      {"\xF8\x88\x80\x80", std::nullopt, 0},  // no such lead byte
      {"\x80", std::nullopt, 0},              // stray continuation
      {"\xE4\xB8", std::nullopt, 0},          // cut short
      {"\xE4\x41\xAD", std::nullopt, 0},      // continuation missing
  };
  for (const auto& c : cases) {
    std::size_t i = 0;
    EXPECT_EQ(decodeUtf8(c.in, i), c.cp) << c.in;
    EXPECT_EQ(i, c.length) << c.in;
  }
}

TEST(DecodeUtf8, StartsWhereItIsTold) {
  const std::string s = "a中b";
  std::size_t i = 1;
  EXPECT_EQ(decodeUtf8(s, i), std::optional<char32_t>(0x4E2D));
  EXPECT_EQ(i, 4u);
  EXPECT_EQ(decodeUtf8(s, i), std::optional<char32_t>(U'b'));
  EXPECT_EQ(i, 5u);
}

TEST(ParseWholeNumber, TakesASignedWholeNumberAndNothingElse) {
  struct Case {
    const char* in;
    std::optional<std::int64_t> value;
  } cases[] = {
      {"0", 0},
      {"42", 42},
      {"+7", 7},
      {"-7", -7},
      {"007", 7},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"--1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1.0", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"1;drop table x", std::nullopt},
      {"１", std::nullopt},  // full-width digit
  };
  for (const auto& c : cases) EXPECT_EQ(parseWholeNumber(c.in), c.value) << c.in;
}

}  // namespace
}  // namespace kvdn
