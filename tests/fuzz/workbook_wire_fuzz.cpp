// What the spreadsheet provider reads back from the isolated reader: the
// bytes come from a child that parsed a crafted file, so they are hostile.
// Anything but one complete encoding raises ComError; what decodes encodes
// to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_site.h"
#include "kvdn/error.h"
#include "workbook_wire.h"

using namespace kvdn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzz::textOf(data, size);
  try {
    const WorkbookContent content = xls::decodeWorkbook(bytes, "fuzz.xls");
    const std::string again = xls::encodeWorkbook(content);
    const WorkbookContent decoded = xls::decodeWorkbook(again, "fuzz.xls");
    if (xls::encodeWorkbook(decoded) != again) std::abort();
    for (const WorkbookSheet& sheet : content.sheets) {
      (void)content.findSheet(sheet.name);
      (void)sheet.cell(sheet.rows, sheet.columns);
    }
  } catch (const ComError&) {
  }
  return 0;
}
