// The statements the spreadsheet reader answers, parsed:
//
//   SELECT * | name [, name ...] FROM [SHEET$]
//          [WHERE name IS [NOT] NULL] [LIMIT n [OFFSET m]] [;]
//   SELECT count(*) FROM (one of the above)
//
// Keywords in any letter case; names bare (no blanks or ",[]()*;" in them)
// or bracketed ("]]" inside stands for "]"). LIMIT/OFFSET are what the
// data layer appends for paging.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvdn::xls {

struct SheetQuery {
  bool count = false;       // SELECT count(*) FROM (...): one row, one column
  bool allColumns = false;  // SELECT *
  std::vector<std::string> columns;
  std::string sheet;         // the worksheet's name, without the "$"
  std::string filterColumn;  // "" when there is no WHERE
  bool filterNotNull = true;
  std::int64_t limit = -1;  // < 0: all rows
  std::int64_t offset = 0;
};

// Raises ComError err::kDbErrorsInCommand naming what is wrong for any
// other statement.
SheetQuery parseSheetQuery(std::string_view sql);

// `name` bracketed so that parseSheetQuery reads it back unchanged.
std::string bracketName(std::string_view name);

}  // namespace kvdn::xls
