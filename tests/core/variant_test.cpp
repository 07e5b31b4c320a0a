#include "kvdn/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "support/errors.h"

namespace kvdn {
namespace {

using ::kvdn::testing::errorOf;

const Variant kNull = Variant::null();

TEST(FormatDouble, PlainAndExponentForms) {
  struct Case {
    double d;
    const char* text;
  } cases[] = {
      {0.1, "0.1"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {0.0001, "0.0001"},
      {0.00012345, "0.00012345"},
      {1.5e-5, "1.5E-05"},
      {1e-5, "1E-05"},
      {123456789012345.0, "123456789012345"},
      {1e15, "1E+15"},
      {999999999999999.9, "1E+15"},  // rounding to 15 digits moves the exponent
      {1.25e100, "1.25E+100"},
      {-2.5, "-2.5"},
      {100.0, "100"},
      {0.1 + 0.2, "0.3"},
      {0.0, "0"},
      {-0.0, "0"},
      {1234.5678, "1234.5678"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatDouble(c.d), c.text) << c.d;
}

TEST(ParseNumber, AcceptsWholeNumbersOnly) {
  struct Case {
    const char* text;
    std::optional<double> value;
  } cases[] = {
      {"42", 42.0},
      {" 42 ", 42.0},
      {"-1.5", -1.5},
      {"+3", 3.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"1e3", 1000.0},
      {"1E-2", 0.01},
      {"\t7", 7.0},
      {"", std::nullopt},
      {" ", std::nullopt},
      {".", std::nullopt},
      {"-", std::nullopt},
      {"1e", std::nullopt},
      {"12abc", std::nullopt},
      {"1 2", std::nullopt},
      {"inf", std::nullopt},
      {"nan", std::nullopt},
      {"0x10", std::nullopt},
      {"&H10", 16.0},
      {"1e999", std::nullopt},
      {"1000e306", std::nullopt},
      {"1e-999", 0.0},
      {"-0.001e-400", -0.0},
      {"1,000", 1000.0},
  };
  for (const auto& c : cases) EXPECT_EQ(parseNumber(c.text), c.value) << '"' << c.text << '"';
}

// The forms the script engine's own conversion reads, with its values, and
// what it refuses: "1,000" is a thousand, "&H10" sixteen, "1e400" too large.
TEST(ParseNumber, ThousandsSeparatorsRadixFormsAndOverflow) {
  struct Case {
    const char* text;
    NumberText kind;
    double value;  // when kind is Number
  } cases[] = {
      {"1,000", NumberText::Number, 1000.0},
      {" -1,234,567.5 ", NumberText::Number, -1234567.5},
      {"1,0", NumberText::Number, 10.0},
      {"1,000e3", NumberText::Number, 1000000.0},
      {"&H10", NumberText::Number, 16.0},
      {"&h1f", NumberText::Number, 31.0},
      {" &HFFFF ", NumberText::Number, 65535.0},
      {"&O17", NumberText::Number, 15.0},
      {"&o7", NumberText::Number, 7.0},
      {"&HFFFFFFFFFFFFFFFF", NumberText::Number, 18446744073709551615.0},
      {"&H10000000000000000", NumberText::TooLarge, 0},
      {"1e400", NumberText::TooLarge, 0},
      {"-1e400", NumberText::TooLarge, 0},
      {"1,000e400", NumberText::TooLarge, 0},
      {"1e-400", NumberText::Number, 0.0},
      {",5", NumberText::NotANumber, 0},
      {"1,", NumberText::NotANumber, 0},
      {"1,,000", NumberText::NotANumber, 0},
      {"1.000,5", NumberText::NotANumber, 0},
      {"3, 5", NumberText::NotANumber, 0},  // two ticked boxes, as the host joins them
      {"&H", NumberText::NotANumber, 0},
      {"&HG", NumberText::NotANumber, 0},
      {"&O8", NumberText::NotANumber, 0},
      {"-&H10", NumberText::NotANumber, 0},
      {"&X10", NumberText::NotANumber, 0},
      {"&", NumberText::NotANumber, 0},
  };
  for (const auto& c : cases) {
    double value = -99.0;
    EXPECT_EQ(parseNumberText(c.text, value), c.kind) << '"' << c.text << '"';
    if (c.kind == NumberText::Number) {
      EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
  }
  EXPECT_EQ(Variant("1,000").toDouble(), 1000.0);
  EXPECT_EQ(Variant("&H10").toInt32(), 16);
  EXPECT_TRUE(numEq(Variant("&O17"), 15));
  EXPECT_EQ(errorOf([] { Variant("1e400").toDouble(); }), err::kOverflow);
  EXPECT_EQ(errorOf([] { Variant("1e400").toInt32(); }), err::kOverflow);
  EXPECT_EQ(errorOf([] { textToDouble("&H10000000000000000"); }), err::kOverflow);
  EXPECT_EQ(errorOf([] { textToDouble("1,,0"); }), err::kTypeMismatch);
  EXPECT_FALSE(Variant("1e400").isNumeric());
}

TEST(Variant, JoinTextOfEachType) {
  struct Case {
    Variant v;
    const char* text;
  } cases[] = {
      {Variant(), ""},
      {kNull, ""},
      {Variant(true), "True"},
      {Variant(false), "False"},
      {Variant(std::int16_t{-7}), "-7"},
      {Variant(std::int32_t{123456}), "123456"},
      {Variant(std::int64_t{9007199254740993}), "9007199254740993"},  // not through a double
      {Variant(0.5), "0.5"},
      {Variant(Date::fromParts(2024, 2, 29)), "2024-02-29"},
      {Variant("abc"), "abc"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.v.joinText(), c.text);
  EXPECT_EQ(Variant().toString(), "");
}

TEST(Variant, WholeNumberConversionsRoundHalfToEvenAndCheckRange) {
  struct Case {
    Variant v;
    std::int64_t expected;  // ignored when err != 0
    int err16, err32;
  } cases[] = {
      {Variant(2.5), 2, 0, 0},
      {Variant(3.5), 4, 0, 0},
      {Variant(-2.5), -2, 0, 0},
      {Variant(-3.5), -4, 0, 0},
      {Variant(2.4999), 2, 0, 0},
      {Variant(0.5), 0, 0, 0},
      {Variant(1.5), 2, 0, 0},
      {Variant(" 7.5 "), 8, 0, 0},
      {Variant(true), -1, 0, 0},
      {Variant(), 0, 0, 0},
      {Variant(32767.4), 32767, 0, 0},
      {Variant(32767.5), 32768, 6, 0},
      {Variant(-32768.5), -32768, 0, 0},
      {Variant(std::int32_t{40000}), 40000, 6, 0},
      {Variant(2147483647.5), 2147483648LL, 6, 6},
      {Variant(std::int64_t{-2147483649LL}), -2147483649LL, 6, 6},
      {Variant(Date{1.5}), 2, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.v.joinText());
    EXPECT_EQ(errorOf([&] { EXPECT_EQ(c.v.toInt16(), c.expected); }), c.err16);
    EXPECT_EQ(errorOf([&] { EXPECT_EQ(c.v.toInt32(), c.expected); }), c.err32);
    EXPECT_EQ(c.v.toInt64(), c.expected);
  }
  EXPECT_EQ(errorOf([] { Variant(1e19).toInt64(); }), err::kOverflow);
  EXPECT_EQ(errorOf([] { Variant(std::nan("")).toInt32(); }), err::kOverflow);
  EXPECT_EQ(Variant(std::numeric_limits<std::int64_t>::min()).toInt64(),
            std::numeric_limits<std::int64_t>::min());
}

struct PlainObject : Object {};

TEST(Variant, ErrorNumbersOfConversions) {
  const Variant obj(std::make_shared<PlainObject>());
  const Variant nothing{ObjectPtr()};
  struct Case {
    const char* what;
    std::function<void()> f;
    int err;
  } cases[] = {
      {"toString Null", [] { kNull.toString(); }, err::kInvalidNull},
      {"toDouble Null", [] { kNull.toDouble(); }, err::kInvalidNull},
      {"toInt32 Null", [] { kNull.toInt32(); }, err::kInvalidNull},
      {"toBool Null", [] { kNull.toBool(); }, err::kInvalidNull},
      {"toDouble text", [] { Variant("abc").toDouble(); }, err::kTypeMismatch},
      {"toDouble empty text", [] { Variant("").toDouble(); }, err::kTypeMismatch},
      {"toInt16 text", [] { Variant("1x").toInt16(); }, err::kTypeMismatch},
      {"toBool text", [] { Variant("yes").toBool(); }, err::kTypeMismatch},
      {"joinText object", [&] { obj.joinText(); }, err::kTypeMismatch},
      {"toObject Empty", [] { Variant().toObject(); }, err::kObjectRequired},
      {"toObject Null", [] { kNull.toObject(); }, err::kObjectRequired},
      {"toObject text", [] { Variant("x").toObject(); }, err::kObjectRequired},
      {"toObject Nothing", [&] { nothing.toObject(); }, err::kObjectNotSet},
      {"toObject object", [&] { obj.toObject(); }, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf(c.f), c.err) << c.what;
}

TEST(Variant, BooleanAndNumericPredicates) {
  EXPECT_TRUE(Variant("TRUE").toBool());
  EXPECT_FALSE(Variant("false").toBool());
  EXPECT_TRUE(Variant("-1").toBool());
  EXPECT_FALSE(Variant("0").toBool());
  EXPECT_FALSE(Variant().toBool());
  EXPECT_TRUE(Variant(0.1).toBool());

  EXPECT_TRUE(Variant(" 12 ").isNumeric());
  EXPECT_TRUE(Variant(std::int16_t{1}).isNumeric());
  EXPECT_FALSE(Variant("").isNumeric());
  EXPECT_FALSE(kNull.isNumeric());
  EXPECT_FALSE(Variant(true).isNumber());
  EXPECT_TRUE(Variant(std::int64_t{1}).isNumber());
  EXPECT_EQ(Variant(std::int16_t{-3}).integer(), -3);
  EXPECT_DOUBLE_EQ(Variant(true).toDouble(), -1.0);
  EXPECT_DOUBLE_EQ(Variant(" 2.5e1").toDouble(), 25.0);
}

TEST(CompareNumber, AsAPageScriptCompares) {
  struct Case {
    Variant v;
    double n;
    std::optional<int> cmp;
  } cases[] = {
      {Variant(), 0, 0},
      {Variant(), 1, -1},
      {Variant("10"), 9, 1},  // numerically, not as text
      {Variant(" 2 "), 10, -1},
      {Variant(true), -1, 0},
      {Variant(false), 0, 0},
      {Variant(std::int64_t{5}), 5, 0},
      {Variant(0.1 + 0.2), 0.3, 1},
      {Variant(Date{45000.5}), 45000, 1},
      {kNull, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.v.joinText() + " vs " + std::to_string(c.n));
    EXPECT_EQ(compareNumber(c.v, c.n), c.cmp);
    EXPECT_EQ(numEq(c.v, c.n), c.cmp == 0);
    EXPECT_EQ(numGt(c.v, c.n), c.cmp == 1);
    EXPECT_EQ(numLt(c.v, c.n), c.cmp == -1);
  }
  EXPECT_EQ(errorOf([] { numGt(Variant("abc"), 0); }), err::kTypeMismatch);
  EXPECT_EQ(errorOf([] { numEq(Variant(""), 0); }), err::kTypeMismatch);
}

TEST(SelectionEquals, MatchesRequestTextAgainstValues) {
  struct Case {
    Variant a, b;
    bool equal;
  } cases[] = {
      {Variant(std::int32_t{3}), Variant("3"), true},
      {Variant("3"), Variant(std::int64_t{3}), true},
      {Variant(std::int32_t{3}), Variant(" 3.0 "), true},
      {Variant(std::int32_t{3}), Variant("03"), true},
      {Variant("3"), Variant("03"), false},  // strings compare exactly
      {Variant("a"), Variant("A"), false},
      {Variant("a"), Variant("a"), true},
      {Variant(), Variant(std::int32_t{0}), true},
      {Variant(), Variant(""), true},
      {Variant(), Variant(), true},
      {Variant(), Variant("0"), false},
      {Variant(), Variant(1.0), false},
      {kNull, kNull, false},
      {kNull, Variant(""), false},
      {Variant(std::int32_t{0}), kNull, false},
      {Variant(true), Variant(std::int16_t{-1}), true},
      {Variant(true), Variant("-1"), true},
      {Variant(false), Variant(0.0), true},
      {Variant(std::int32_t{1}), Variant("x"), false},
      {Variant(2.5), Variant(std::int32_t{2}), false},
      {Variant(std::int64_t{9007199254740993}), Variant(std::int64_t{9007199254740992}), false},
      {Variant(Date::fromParts(2024, 5, 1)), Variant("2024-05-01"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.joinText() + " / " + c.b.joinText());
    EXPECT_EQ(selectionEquals(c.a, c.b), c.equal);
    EXPECT_EQ(selectionEquals(c.b, c.a), c.equal);
  }
}

TEST(Date, SerialsOfKnownDays) {
  struct Case {
    Date::Parts p;
    double serial;
  } cases[] = {
      {{1899, 12, 30, 0, 0, 0}, 0.0},
      {{1899, 12, 31, 0, 0, 0}, 1.0},
      {{1900, 1, 1, 0, 0, 0}, 2.0},
      {{2000, 1, 1, 0, 0, 0}, 36526.0},
      {{2024, 2, 29, 12, 0, 0}, 45351.5},
      {{1899, 12, 29, 6, 0, 0}, -1.25},  // the sign belongs to the day only
      {{1800, 1, 1, 0, 0, 0}, -36522.0},
  };
  for (const auto& c : cases) {
    const Date d = Date::fromParts(c.p.year, c.p.month, c.p.day, c.p.hour, c.p.minute, c.p.second);
    EXPECT_DOUBLE_EQ(d.serial, c.serial);
    const Date::Parts back = Date{c.serial}.parts();
    EXPECT_EQ(std::tie(back.year, back.month, back.day, back.hour, back.minute, back.second),
              std::tie(c.p.year, c.p.month, c.p.day, c.p.hour, c.p.minute, c.p.second))
        << c.serial;
  }
  // Out-of-range parts carry over.
  EXPECT_EQ(Date::fromParts(2023, 13, 1), Date::fromParts(2024, 1, 1));
  EXPECT_EQ(Date::fromParts(2024, 3, 0), Date::fromParts(2024, 2, 29));
}

TEST(Date, ParseAndText) {
  struct Case {
    const char* in;
    const char* text;  // nullptr: rejected
    const char* storage;
  } cases[] = {
      {"2024-05-01", "2024-05-01", "2024-05-01 00:00:00"},
      {"2024-05-01 13:04:05", "2024-05-01 13:04:05", "2024-05-01 13:04:05"},
      {"2024-05-01T13:04:05", "2024-05-01 13:04:05", "2024-05-01 13:04:05"},
      {"2024/5/1 9:04:05", "2024-05-01 09:04:05", "2024-05-01 09:04:05"},
      {"2024-5-1", "2024-05-01", "2024-05-01 00:00:00"},
      {"13:04:05", "13:04:05", "1899-12-30 13:04:05"},
      {"00:00:00", "00:00:00", "1899-12-30 00:00:00"},
      {"2024-02-29", "2024-02-29", "2024-02-29 00:00:00"},
      {"2023-02-29", nullptr, nullptr},
      {"1900-02-29", nullptr, nullptr},
      {"2024-04-31", nullptr, nullptr},
      {"2024-13-01", nullptr, nullptr},
      {"2024-00-10", nullptr, nullptr},
      {"2024-05-01 24:00:00", nullptr, nullptr},
      {"2024-05-01 10:60:00", nullptr, nullptr},
      {"2024-05-01 10:00", "2024-05-01 10:00:00", "2024-05-01 10:00:00"},
      // Without seconds, single-digit parts, what an HTML date-time field posts.
      {"2024-03-05 14:05", "2024-03-05 14:05:00", "2024-03-05 14:05:00"},
      {"2024-03-05T14:05", "2024-03-05 14:05:00", "2024-03-05 14:05:00"},
      {"14:05", "14:05:00", "1899-12-30 14:05:00"},
      {"9:5", "09:05:00", "1899-12-30 09:05:00"},
      {"9:05:7", "09:05:07", "1899-12-30 09:05:07"},
      {"2024/3/5", "2024-03-05", "2024-03-05 00:00:00"},
      {"2024/3/5 9:5", "2024-03-05 09:05:00", "2024-03-05 09:05:00"},
      {" 2024-3-5  8:07 ", "2024-03-05 08:07:00", "2024-03-05 08:07:00"},
      {"2024-03-05 14:05:", nullptr, nullptr},
      {"2024-03-05 14", nullptr, nullptr},
      {"2024-03-05T", nullptr, nullptr},
      {"14:5:60", nullptr, nullptr},
      {"14:60", nullptr, nullptr},
      {"1:2:3:4", nullptr, nullptr},
      {"2024-03-05 123:05", nullptr, nullptr},
      {"2024-05-01x", nullptr, nullptr},
      {"2024-05/01", nullptr, nullptr},
      {"24-05-01", nullptr, nullptr},
      {"", nullptr, nullptr},
      {"abc", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    const auto d = Date::parse(c.in);
    ASSERT_EQ(d.has_value(), c.text != nullptr);
    if (!d) continue;
    EXPECT_EQ(d->text(), c.text);
    EXPECT_EQ(d->storageText(), c.storage);
    EXPECT_EQ(Date::parse(d->storageText()), d);
  }
}

// The digit-by-digit text against printf's, over dates from before year 0
// to past 9999, with and without a time, and times alone.
TEST(Date, TextAsPrintfWritesIt) {
  std::mt19937 rng(1209);
  for (int n = 0; n < 20000; ++n) {
    double serial = std::uniform_real_distribution<double>(-800000.0, 3000000.0)(rng);
    if (n % 3 == 0) serial = std::floor(serial);           // midnight
    if (n % 7 == 0) serial = serial - std::floor(serial);  // the time alone
    const Date d{serial};
    const Date::Parts p = d.parts();
    char date[32], time[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", p.year, p.month, p.day);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", p.hour, p.minute, p.second);
    const std::string both = std::string(date) + ' ' + time;
    ASSERT_EQ(d.storageText(), both) << serial;
    const std::string expected = (p.year == 1899 && p.month == 12 && p.day == 30)  ? std::string(time)
                                 : (p.hour == 0 && p.minute == 0 && p.second == 0) ? std::string(date)
                                                                                   : both;
    ASSERT_EQ(d.text(), expected) << serial;
  }
}

TEST(Date, RoundsToTheNearestSecond) {
  const double oneSecond = 1.0 / 86400;
  EXPECT_EQ(Date{45000 + 0.4 * oneSecond}.text(), "2023-03-15");
  EXPECT_EQ(Date{45000 + 0.6 * oneSecond}.text(), "2023-03-15 00:00:01");
  EXPECT_EQ(Date{45000 + 1 - 0.4 * oneSecond}.text(), "2023-03-16");  // carries into the next day
  EXPECT_EQ(Date{std::nan("")}.storageText(), "1899-12-30 00:00:00");
}

TEST(Date, NowIsWholeSecondsOfTheLocalClock) {
  const Date d = Date::now();
  EXPECT_EQ(Date::parse(d.storageText()), d);
  EXPECT_GT(d.serial, Date::fromParts(2020, 1, 1).serial);
}

}  // namespace
}  // namespace kvdn
