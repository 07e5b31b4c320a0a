// The spreadsheet import of user accounts, and the folder listing.
#include <string>
#include <vector>

#include "helpers/trap.h"
#include "kvdn/db_class.h"
#include "kvdn/files.h"
#include "kvdn/text.h"
#include "maintenance/error_record.h"

namespace kvdn {

using maintenance::ErrorRecord;
using maintenance::need;

namespace {

// Every piece between commas, blanks kept: the names must match exactly.
std::vector<std::string> splitNames(const std::string& list) {
  std::vector<std::string> names;
  std::size_t pos = 0;
  for (;;) {
    std::size_t comma = list.find(',', pos);
    names.push_back(list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return names;
}

// The field of that name, or null when the recordset has none: a name
// missing on either side leaves the column unset. Other failures pass.
Field* findField(Recordset& rs, const std::string& name) {
  try {
    return &rs.fields().item(name);
  } catch (const ComError& e) {
    if (e.number() == err::kDbNoSuchColumn) return nullptr;
    throw;
  }
}

}  // namespace

Variant DbClass::xlsToDb(const Variant& fieldStr) {
  ErrorRecord errors;
  std::string fields;
  std::shared_ptr<Connection> sheet;
  std::shared_ptr<Recordset> sheetRows;
  // Everything that can fail before a row changes comes first: the
  // spreadsheet, its query and the table. Deleting the accounts before the
  // spreadsheet had been read lost them to a missing or broken file.
  errors.step([&] { fields = fieldStr.joinText(); });
  errors.step([&] {
    sheet = create<Connection>("ADODB.Connection");
    sheet->open("Driver={Microsoft excel Driver (*.xls)};DBQ=" + server().mapPath("database/userinfo.xls"));
  });
  errors.step([&] {
    sheetRows = need(sheet).execute("select " + fields + " from [用户$] where 登录账号 is not null");
  });
  errors.step([&] {
    rs_ = create<Recordset>("adodb.recordset");
    connection();  // nothing in conn: 91
    rs_->open("select top 1 * from 用户", conn, adOpenKeyset, adLockOptimistic, adCmdUnspecified);
  });
  auto closeSheet = [&] {
    if (sheetRows) trap::keepGoing([&] { sheetRows->close(); });
    sheetRows.reset();
    if (sheet && sheet->isOpen()) trap::keepGoing([&] { sheet->close(); });
    sheet.reset();
  };
  if (errors.failed()) {
    errors.clear();
    closeSheet();
    return Variant(std::int32_t{0});
  }

  // One transaction: the old accounts go only when every new row is stored.
  std::int32_t n = 0;
  bool stored = false;
  bool begun = false;
  try {
    conn->beginTrans();
    begun = true;
    conn->execute("delete from 用户 where ID>1", adCmdUnspecified);
    const std::vector<std::string> names = splitNames(fields);
    while (!sheetRows->eof()) {
      ++n;
      rs_->addNew();
      for (const auto& name : names) {
        Field* target = findField(*rs_, name);
        Field* source = target ? findField(*sheetRows, name) : nullptr;
        // Passed on as the reader delivers it: nothing trimmed, converted or digested.
        if (source) target->setValue(source->value());
      }
      rs_->update();
      sheetRows->moveNext();
    }
    conn->commitTrans();
    begun = false;
    stored = true;
  } catch (const ComError&) {
    if (begun) trap::keepGoing([&] { conn->rollbackTrans(); });
  }

  trap::keepGoing([&] { rs_->close(); });
  rs_.reset();
  closeSheet();
  return Variant(stored ? n : std::int32_t{0});
}

Variant DbClass::folderFiles(const Variant& folderName, const Variant& kzm) {
  // Made directly, not through Server.CreateObject. No trap: a folder that
  // does not exist reaches the page as the method's error.
  auto fso = makeLocalFileSystem();
  auto folder = fso->getFolder(server().mapPath(folderName.joinText()));
  const std::u16string extension = toUtf16(kzm.joinText());
  std::string list;
  for (const auto& file : folder->files()) {
    const std::string name = file->name();
    const std::u16string units = toUtf16(name);
    const std::u16string last = units.size() <= 4 ? units : units.substr(units.size() - 4);
    if (last == extension) list += name + "|";
  }
  if (!list.empty()) list.pop_back();
  return Variant(list);
}

}  // namespace kvdn
