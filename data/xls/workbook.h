// A legacy .xls workbook opened with FreeXL, read-only, in the calling
// process. FreeXL has been crashed (and made to read out of bounds) by
// crafted files: only the isolated reader's helper program parses workbooks
// this way; the server reads them through WorkbookReader.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kvdn/variant.h"
#include "kvdn/workbook_reader.h"

namespace kvdn::xls {

class Workbook {
 public:
  // Reads the whole workbook into memory (FreeXL does). Raises
  // err::kDbFail when the file is missing, is not a readable workbook or is
  // password-protected.
  explicit Workbook(const std::string& path);
  ~Workbook();
  Workbook(const Workbook&) = delete;
  Workbook& operator=(const Workbook&) = delete;

  const std::string& path() const { return path_; }
  const std::vector<std::string>& sheetNames() const { return sheetNames_; }
  // The index of the worksheet named `name` (letter case of ASCII letters
  // ignored, as the original driver did), or -1.
  int findSheet(std::string_view name) const;

  // Rows and columns of worksheet `index`, row 0 being the headings.
  struct Size {
    unsigned rows = 0;
    unsigned columns = 0;
  };
  Size size(int index);
  // One cell of worksheet `index`: numbers as Double (the workbook stores
  // every number as one), texts as String, dates and times as Date, empty
  // cells and empty texts as Null.
  Variant cell(int index, unsigned row, unsigned column);
  // The heading text of a column: the cell's text form; an empty heading
  // gets the name the original driver gave it, "F" + column number from 1.
  std::string heading(int index, unsigned column);

 private:
  void select(int index);

  std::string path_;
  const void* handle_ = nullptr;
  std::vector<std::string> sheetNames_;
  int active_ = -1;
};

// Every worksheet of the workbook at `path`, parsed in this process; raises
// as Workbook does.
WorkbookContent readWorkbookInProcess(const std::string& path);

// readWorkbookInProcess behind the interface: for the helper program and
// for measuring what the isolation costs, never for the server itself.
class InProcessWorkbookReader final : public WorkbookReader {
 public:
  WorkbookContent read(const std::string& path) override { return readWorkbookInProcess(path); }
};

}  // namespace kvdn::xls
