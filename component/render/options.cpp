// rsDropDownList / strDropDownList: the option elements of a select box,
// after an empty "请选择" placeholder, with the caller's current value marked
// " selected". The page writes its own select element around them.
#include <cstdint>
#include <string>
#include <string_view>

#include "kvdn/db_class.h"
#include "kvdn/text.h"
#include "render/common.h"

namespace kvdn {

namespace {

constexpr std::string_view kPlaceholder = "<option value=''>请选择</option>";

void appendOption(std::string& out, const Variant& value, const Variant& text, const Variant& comp,
                  std::int64_t position) {
  out += "<option value='";
  render::appendText(out, value);
  out += '\'';
  if (selectionEquals(value, comp)) out += " selected";
  out += '>';
  if (position > 0) {
    render::appendInt(out, position);
    out += '.';
  }
  render::appendText(out, text);
  out += "</option>";
}

}  // namespace

// Column 0 gives the values, column 1 (when there is one) the texts. No
// trap: a rejected statement, or an `xuhao` that is text but no number
// (raised when the first row compares it with 1), reaches the page.
Variant DbClass::rsDropDownList(const Variant& sql, const Variant& comp, const Variant& xuhao) {
  Connection& connection = this->connection();
  rs_ = connection.execute(sql.toString(), adCmdUnspecified);
  const std::shared_ptr<Recordset> holder = rs_;
  render::SlotGuard slot(rs_);
  Recordset& rs = *holder;

  std::string out(kPlaceholder);
  Fields& fields = rs.fields();
  const int count = fields.count();
  std::int64_t position = 0;
  while (!rs.eof()) {
    ++position;
    const Variant value = fields.item(0).value();
    const Variant text = count == 1 ? value : fields.item(1).value();
    appendOption(out, value, text, comp, numEq(xuhao, 1) ? position : 0);
    rs.moveNext();
  }

  slot.release();
  return Variant(std::move(out));
}

// `str` is written back normalised (every blank removed, full-width commas
// made ASCII) before it is split; a Null `str` raises 94 and stays as it is.
Variant DbClass::strDropDownList(Variant& str, const Variant& comp) {
  std::string items = replaceAll(str.toString(), " ", "");
  str = Variant(items);
  items = replaceAll(items, "，", ",");
  str = Variant(items);

  std::string out(kPlaceholder);
  if (items.empty()) return Variant(std::move(out));
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = items.find(',', start);
    const std::string item =
        items.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const Variant value(item);
    appendOption(out, value, value, comp, 0);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return Variant(std::move(out));
}

}  // namespace kvdn
