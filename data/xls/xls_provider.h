// The spreadsheet reader as a data provider, behind the same Connection and
// Recordset as the database: "Driver={Microsoft Excel Driver (*.xls)};
// DBQ=PATH" (the driver's name in any letter case, braces optional) opens the
// legacy .xls workbook at PATH read-only.
//
// A worksheet is named as [NAME$]; its first row holds the column headings.
// The reader answers the statements of xls/sheet_query.h; cells come as
// Double, String, Date or Null (an empty text is Null, so "NAME is not null"
// skips rows whose cell is empty). Writes and transactions raise.
#pragma once

#include <memory>

#include "kvdn/provider.h"

namespace kvdn {

std::shared_ptr<Provider> makeXlsProvider();
void registerXlsProvider(ProviderRegistry& registry);

}  // namespace kvdn
