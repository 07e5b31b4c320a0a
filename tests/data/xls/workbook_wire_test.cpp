// The workbook content as it crosses from the parsing process: a round trip
// keeps every value and type, and no malformed stream decodes or crashes
// the decoder.
#include "workbook_wire.h"

#include <gtest/gtest.h>

#include <functional>

#include "kvdn/error.h"

namespace kvdn {
namespace {

WorkbookContent sample() {
  WorkbookContent c;
  WorkbookSheet users;
  users.name = "用户";
  users.rows = 4;
  users.columns = 3;
  users.cells = {
      {Variant("登录账号"), Variant("密码"), Variant("入职")},
      {Variant("zhang"), Variant(123456.0), Variant(Date::fromParts(2024, 3, 5, 8, 30, 0))},
      {},
      {Variant::null(), Variant("")},
  };
  c.sheets.push_back(users);
  WorkbookSheet empty;
  empty.name = "空";
  c.sheets.push_back(empty);
  return c;
}

int decodeError(std::string_view bytes) {
  try {
    xls::decodeWorkbook(bytes, "x.xls");
  } catch (const ComError& e) {
    return e.number();
  }
  return 0;
}

TEST(WorkbookWireTest, RoundTripKeepsValuesAndTypes) {
  const WorkbookContent in = sample();
  const WorkbookContent out = xls::decodeWorkbook(xls::encodeWorkbook(in), "x.xls");
  ASSERT_EQ(out.sheets.size(), 2u);
  EXPECT_EQ(out.findSheet("用户"), 0);
  EXPECT_EQ(out.findSheet("空"), 1);
  const WorkbookSheet& s = out.sheets[0];
  EXPECT_EQ(s.rows, 4u);
  EXPECT_EQ(s.columns, 3u);
  for (unsigned r = 0; r < 5; ++r) {
    for (unsigned c = 0; c < 4; ++c) {
      SCOPED_TRACE(std::to_string(r) + "," + std::to_string(c));
      const Variant a = in.sheets[0].cell(r, c);
      const Variant b = s.cell(r, c);
      EXPECT_EQ(a.type(), b.type());
      if (!a.isNull()) {
        EXPECT_EQ(a.joinText(), b.joinText());
      }
    }
  }
  EXPECT_EQ(s.cell(1, 2).type(), VarType::Date);
  EXPECT_EQ(s.cell(1, 1).type(), VarType::Double);
  EXPECT_TRUE(out.sheets[1].cells.empty());
}

TEST(WorkbookWireTest, EveryCutOffStreamIsRefused) {
  const std::string bytes = xls::encodeWorkbook(sample());
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_EQ(decodeError(std::string_view(bytes).substr(0, n)), err::kDbFail) << n;
  }
}

TEST(WorkbookWireTest, MalformedStreamsAreRefused) {
  auto u32 = [](std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return s;
  };
  const std::string sheet = std::string("S") + u32(1) + "A" + u32(10) + u32(2);
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"no header", "hello"},
      {"data after the end", "KVXW1Z!"},
      {"unknown record", "KVXW1?Z"},
      {"row outside a sheet", "KVXW1R" + u32(0) + u32(1) + "NZ"},
      {"row beyond the stated rows", "KVXW1" + sheet + "R" + u32(10) + u32(1) + "NZ"},
      {"rows out of order", "KVXW1" + sheet + "R" + u32(3) + u32(1) + "N" + "R" + u32(2) + u32(1) + "NZ"},
      {"row wider than the sheet", "KVXW1" + sheet + "R" + u32(0) + u32(3) + "NNNZ"},
      {"unknown value", "KVXW1" + sheet + "R" + u32(0) + u32(1) + "QZ"},
      {"text longer than the stream", "KVXW1" + sheet + "R" + u32(0) + u32(1) + "T" + u32(0xffffffff) + "Z"},
      {"dimensions out of range", std::string("KVXW1S") + u32(0) + u32(0xffffffff) + u32(0xffffffff) + "Z"},
      {"data after a failure", "KVXW1E" + u32(5) + u32(1) + "xZZ"},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeError(c.bytes), err::kDbFail) << c.name;
  // One text of 1 MB in 33 cells: more text than a workbook may hold.
  std::string many = "KVXW1" + std::string("S") + u32(1) + "A" + u32(40) + u32(1);
  const std::string mb(1 << 20, 'x');
  for (std::uint32_t r = 0; r < 33; ++r) many += "R" + u32(r) + u32(1) + "T" + u32(1 << 20) + mb;
  EXPECT_EQ(decodeError(many + "Z"), err::kDbFail) << "33 MB of text";
}

TEST(WorkbookWireTest, AnEncodedFailureIsRaisedWithItsNumber) {
  try {
    xls::decodeWorkbook(xls::encodeFailure(err::kDbFail, "Could not find file 'a.xls'"), "a.xls");
    ADD_FAILURE() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kDbFail);
    EXPECT_EQ(e.description(), "Could not find file 'a.xls'");
  }
}

}  // namespace
}  // namespace kvdn
