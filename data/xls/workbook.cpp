#include "workbook.h"

#include <freexl.h>

#include <cstdio>

#include "kvdn/error.h"
#include "kvdn/object.h"
#include "workbook_wire.h"

namespace kvdn::xls {

namespace {

[[noreturn]] void raiseXls(int rc, const std::string& path) {
  if (rc == FREEXL_FILE_NOT_FOUND) raise(err::kDbFail, "Could not find file '" + path + "'");
  if (rc == FREEXL_INSUFFICIENT_MEMORY) raise(err::kDbFail, "Not enough memory to read '" + path + "'");
  raise(err::kDbFail, "External table is not in the expected format: '" + path + "' (FreeXL error " +
                          std::to_string(rc) + ")");
}

}  // namespace

Workbook::Workbook(const std::string& path) : path_(path) {
  int rc = freexl_open(path.c_str(), &handle_);
  if (rc != FREEXL_OK) {
    if (handle_) freexl_close(handle_);
    handle_ = nullptr;
    raiseXls(rc, path);
  }
  try {
    unsigned int info = 0;
    if (freexl_get_info(handle_, FREEXL_BIFF_PASSWORD, &info) == FREEXL_OK &&
        info == FREEXL_BIFF_OBFUSCATED) {
      raise(err::kDbFail, "Could not decrypt file: '" + path + "' is password-protected");
    }
    unsigned int count = 0;
    rc = freexl_get_info(handle_, FREEXL_BIFF_SHEET_COUNT, &count);
    if (rc != FREEXL_OK) raiseXls(rc, path);
    for (unsigned int i = 0; i < count; ++i) {
      const char* name = nullptr;
      rc = freexl_get_worksheet_name(handle_, static_cast<unsigned short>(i), &name);
      if (rc != FREEXL_OK) raiseXls(rc, path);
      sheetNames_.emplace_back(name ? name : "");
    }
  } catch (...) {
    freexl_close(handle_);
    throw;
  }
}

Workbook::~Workbook() {
  if (handle_) freexl_close(handle_);
}

int Workbook::findSheet(std::string_view name) const {
  for (std::size_t i = 0; i < sheetNames_.size(); ++i) {
    if (iequals(sheetNames_[i], name)) return static_cast<int>(i);
  }
  return -1;
}

void Workbook::select(int index) {
  if (index == active_) return;
  int rc = freexl_select_active_worksheet(handle_, static_cast<unsigned short>(index));
  if (rc != FREEXL_OK) raiseXls(rc, path_);
  active_ = index;
}

Workbook::Size Workbook::size(int index) {
  select(index);
  unsigned int rows = 0;
  unsigned short columns = 0;
  int rc = freexl_worksheet_dimensions(handle_, &rows, &columns);
  if (rc != FREEXL_OK) raiseXls(rc, path_);
  return {rows, columns};
}

Variant Workbook::cell(int index, unsigned row, unsigned column) {
  select(index);
  FreeXL_CellValue value;
  int rc = freexl_get_cell_value(handle_, row, static_cast<unsigned short>(column), &value);
  if (rc != FREEXL_OK) raiseXls(rc, path_);
  switch (value.type) {
    case FREEXL_CELL_INT:
      return Variant(static_cast<double>(value.value.int_value));
    case FREEXL_CELL_DOUBLE:
      return Variant(value.value.double_value);
    case FREEXL_CELL_TEXT:
    case FREEXL_CELL_SST_TEXT: {
      const char* text = value.value.text_value;
      if (!text || !*text) return Variant::null();
      return Variant(std::string(text));
    }
    case FREEXL_CELL_DATE:
    case FREEXL_CELL_DATETIME:
    case FREEXL_CELL_TIME: {
      const char* text = value.value.text_value;
      if (!text || !*text) return Variant::null();
      if (auto date = Date::parse(text)) return Variant(*date);
      return Variant(std::string(text));
    }
    default:
      return Variant::null();
  }
}

std::string Workbook::heading(int index, unsigned column) {
  std::string text = cell(index, 0, column).joinText();
  if (!text.empty()) return text;
  // Formatted in a buffer: GCC 12 at -O3 warns falsely (-Wrestrict) about
  // string concatenation here.
  char name[16];
  std::snprintf(name, sizeof name, "F%u", column + 1);
  return std::string(name);
}

WorkbookContent readWorkbookInProcess(const std::string& path) {
  Workbook book(path);
  WorkbookContent content;
  std::size_t text = 0;
  for (std::size_t i = 0; i < book.sheetNames().size(); ++i) {
    const int index = static_cast<int>(i);
    WorkbookSheet sheet;
    sheet.name = book.sheetNames()[i];
    const Workbook::Size size = book.size(index);
    sheet.rows = size.rows;
    sheet.columns = size.columns;
    for (unsigned r = 0; r < size.rows; ++r) {
      std::vector<Variant> row;
      for (unsigned c = 0; c < size.columns; ++c) {
        Variant v = book.cell(index, r, c);
        if (v.isNull()) continue;
        if (v.isString() && (text += v.str().size()) > kMaxWorkbookText)
          raise(err::kDbFail,
                "The workbook '" + path + "' holds more than " + std::to_string(kMaxWorkbookText >> 20) +
                    " MB of text in its cells (one text repeated in many cells counts each time)");
        row.resize(c + 1, Variant::null());  // empty cells only up to the last value
        row[c] = std::move(v);
      }
      if (row.empty()) continue;
      sheet.cells.resize(r + 1);
      sheet.cells[r] = std::move(row);
    }
    content.sheets.push_back(std::move(sheet));
  }
  return content;
}

}  // namespace kvdn::xls
