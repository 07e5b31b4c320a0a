// The spreadsheet reader as a data provider, behind the same Connection and
// Recordset as the database: "Driver={Microsoft Excel Driver (*.xls)};
// DBQ=PATH" (the driver's name in any letter case, braces optional) opens the
// legacy .xls workbook at PATH read-only.
//
// A worksheet is named as [NAME$]; its first row holds the column headings.
// The reader answers the statements of xls/sheet_query.h; cells come as
// Double, String, Date or Null (an empty text is Null, so "NAME is not null"
// skips rows whose cell is empty). Writes and transactions raise.
//
// The workbook is read once, whole, when the connection opens, through the
// WorkbookReader the provider was made with (never parsed in this process
// by the provider itself); a reader's failure is the open's failure.
#pragma once

#include <memory>

#include "kvdn/provider.h"
#include "kvdn/workbook_reader.h"

namespace kvdn {

// `reader` must not be null (err::kInvalidCall).
std::shared_ptr<Provider> makeXlsProvider(std::shared_ptr<WorkbookReader> reader);
void registerXlsProvider(ProviderRegistry& registry, std::shared_ptr<WorkbookReader> reader);
// The same with the platform's reader (makeSystemWorkbookReader).
std::shared_ptr<Provider> makeXlsProvider();
void registerXlsProvider(ProviderRegistry& registry);

}  // namespace kvdn
