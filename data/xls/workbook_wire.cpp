#include "workbook_wire.h"

#include <cstring>

#include "kvdn/error.h"
#include "kvdn/object.h"

namespace kvdn {

// The in-memory content, shared by every reader.

Variant WorkbookSheet::cell(unsigned row, unsigned column) const {
  if (row >= cells.size() || column >= cells[row].size()) return Variant::null();
  return cells[row][column];
}

int WorkbookContent::findSheet(std::string_view name) const {
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    if (iequals(sheets[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

namespace xls {

namespace {

constexpr std::string_view kMagic = "KVXW1";
// What a legacy workbook can hold (BIFF8: 65,536 rows of 256 columns), with
// room to spare; larger stated dimensions are malformed.
constexpr std::uint32_t kMaxRows = 1u << 20;
constexpr std::uint32_t kMaxColumns = 1u << 14;
constexpr std::uint32_t kMaxSheets = 1u << 16;
constexpr std::size_t kMaxDescription = 4096;
// Rows held in all (each costs memory even when empty), so that a short
// stream cannot make the decoder allocate without bound.
constexpr std::size_t kMaxRowsInAll = 1u << 23;

enum Tag : char {
  kSheet = 'S',
  kRow = 'R',
  kFailure = 'E',
  kEnd = 'Z',
  kNull = 'N',
  kDouble = 'F',
  kText = 'T',
  kDate = 'D',
};

void putU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void putDouble(std::string& out, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
}

void putText(std::string& out, std::string_view text) {
  putU32(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
}

class Reader {
 public:
  Reader(std::string_view bytes, const std::string& path) : bytes_(bytes), path_(path) {}

  [[noreturn]] void malformed(const char* what) const {
    raise(err::kDbFail, "External table is not in the expected format: '" + path_ +
                            "' (the spreadsheet reader's answer was malformed: " + what + ")");
  }
  bool atEnd() const { return pos_ == bytes_.size(); }
  char tag() {
    need(1);
    return bytes_[pos_++];
  }
  std::uint32_t u32() {
    need(4);
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
      v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes_[pos_ + i])) << (8 * i);
    pos_ += 4;
    return v;
  }
  double f64() {
    need(8);
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < 8; ++i)
      bits |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[pos_ + i])) << (8 * i);
    pos_ += 8;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  std::string text() {
    const std::uint32_t size = u32();
    need(size);
    std::string s(bytes_.substr(pos_, size));
    pos_ += size;
    return s;
  }
  bool startsWith(std::string_view magic) {
    if (bytes_.substr(0, magic.size()) != magic) return false;
    pos_ = magic.size();
    return true;
  }

 private:
  void need(std::size_t n) const {
    if (bytes_.size() - pos_ < n) malformed("cut off");
  }
  std::string_view bytes_;
  const std::string& path_;
  std::size_t pos_ = 0;
};

Variant readValue(Reader& in, std::size_t& textInAll) {
  switch (in.tag()) {
    case kNull:
      return Variant::null();
    case kDouble:
      return Variant(in.f64());
    case kText: {
      std::string text = in.text();
      textInAll += text.size();
      if (textInAll > kMaxWorkbookText) in.malformed("more text than a workbook may hold");
      return Variant(std::move(text));
    }
    case kDate: {
      Date d;
      d.serial = in.f64();
      return Variant(d);
    }
    default:
      in.malformed("unknown value");
  }
}

}  // namespace

std::string encodeWorkbook(const WorkbookContent& content) {
  std::string out(kMagic);
  for (const auto& sheet : content.sheets) {
    out.push_back(kSheet);
    putText(out, sheet.name);
    putU32(out, sheet.rows);
    putU32(out, sheet.columns);
    for (std::size_t r = 0; r < sheet.cells.size(); ++r) {
      const auto& row = sheet.cells[r];
      if (row.empty()) continue;
      out.push_back(kRow);
      putU32(out, static_cast<std::uint32_t>(r));
      putU32(out, static_cast<std::uint32_t>(row.size()));
      for (const auto& v : row) {
        switch (v.type()) {
          case VarType::Null:
          case VarType::Empty:
            out.push_back(kNull);
            break;
          case VarType::Date:
            out.push_back(kDate);
            putDouble(out, v.date().serial);
            break;
          case VarType::String:
            out.push_back(kText);
            putText(out, v.joinText());
            break;
          default:
            out.push_back(kDouble);
            putDouble(out, v.toDouble());
            break;
        }
      }
    }
  }
  out.push_back(kEnd);
  return out;
}

std::string encodeFailure(std::int32_t number, std::string_view description) {
  std::string out(kMagic);
  out.push_back(kFailure);
  putU32(out, static_cast<std::uint32_t>(number));
  putText(out, description.substr(0, kMaxDescription));
  out.push_back(kEnd);
  return out;
}

WorkbookContent decodeWorkbook(std::string_view bytes, const std::string& path) {
  Reader in(bytes, path);
  if (!in.startsWith(kMagic)) in.malformed("no header");
  WorkbookContent content;
  WorkbookSheet* sheet = nullptr;
  std::size_t rowsInAll = 0;
  std::size_t textInAll = 0;
  for (;;) {
    const char tag = in.tag();
    if (tag == kEnd) break;
    if (tag == kFailure) {
      const auto number = static_cast<std::int32_t>(in.u32());
      std::string description = in.text();
      if (in.tag() != kEnd || !in.atEnd()) in.malformed("data after a failure");
      if (description.size() > kMaxDescription) description.resize(kMaxDescription);
      raise(number, description);
    }
    if (tag == kSheet) {
      if (content.sheets.size() >= kMaxSheets) in.malformed("too many worksheets");
      WorkbookSheet next;
      next.name = in.text();
      next.rows = in.u32();
      next.columns = in.u32();
      if (next.rows > kMaxRows || next.columns > kMaxColumns) in.malformed("dimensions out of range");
      content.sheets.push_back(std::move(next));
      sheet = &content.sheets.back();
      continue;
    }
    if (tag == kRow) {
      if (!sheet) in.malformed("a row outside a worksheet");
      const std::uint32_t row = in.u32();
      const std::uint32_t count = in.u32();
      if (row >= sheet->rows || row < sheet->cells.size()) in.malformed("row out of order");
      if (count == 0 || count > sheet->columns) in.malformed("row wider than its worksheet");
      rowsInAll += row + 1 - sheet->cells.size();
      if (rowsInAll > kMaxRowsInAll) in.malformed("too many rows");
      sheet->cells.resize(row + 1);
      auto& cells = sheet->cells[row];
      cells.reserve(count);
      for (std::uint32_t c = 0; c < count; ++c) cells.push_back(readValue(in, textInAll));
      continue;
    }
    in.malformed("unknown record");
  }
  if (!in.atEnd()) in.malformed("data after the end");
  return content;
}

}  // namespace xls
}  // namespace kvdn
