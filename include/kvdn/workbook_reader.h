// Reading a legacy .xls workbook: every worksheet's cells, read in one go.
//
// The spreadsheet provider (xls/) reads workbooks only through this
// interface. A workbook is a file a user uploaded and the parsing library
// has been crashed and hung by crafted files, so the platform's reader
// parses it outside the calling process (platform/posix/): whatever the
// file holds, read() returns the content or raises, it never takes the
// caller down and never blocks it for longer than its time limit.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/variant.h"

namespace kvdn {

struct WorkbookSheet {
  std::string name;
  // The worksheet's dimensions as the workbook states them; row 0 holds the
  // headings.
  unsigned rows = 0;
  unsigned columns = 0;
  // cells[r][c]; a row may be shorter than `columns` and `cells` shorter
  // than `rows`: the cells left out are empty. Values: numbers as Double
  // (the workbook stores every number as one), texts as String, dates and
  // times as Date, empty cells and empty texts as Null.
  std::vector<std::vector<Variant>> cells;

  // The cell at (row, column); Null for an empty one or outside the sheet.
  Variant cell(unsigned row, unsigned column) const;
};

struct WorkbookContent {
  std::vector<WorkbookSheet> sheets;

  // The index of the worksheet named `name` (letter case of ASCII letters
  // ignored, as the original driver did), or -1.
  int findSheet(std::string_view name) const;
};

class WorkbookReader {
 public:
  virtual ~WorkbookReader() = default;
  // Reads every worksheet of the workbook at `path`. Raises ComError
  // err::kDbFail with a description naming the file when it is missing, is
  // not a readable workbook, is password-protected, or could not be read
  // within the reader's limits (time, memory, size of the content).
  virtual WorkbookContent read(const std::string& path) = 0;
};

// The reader of this platform (the isolated one on POSIX systems), with its
// default limits. The provider registration passes it to the spreadsheet
// provider; defined by the platform folder the build includes.
std::shared_ptr<WorkbookReader> makeSystemWorkbookReader();

}  // namespace kvdn
