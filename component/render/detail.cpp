// xiangxi: the first record of a statement as a two-column detail table,
// names on the left and values on the right; column 0 (the key) is not shown.
#include <string>

#include "kvdn/db_class.h"
#include "render/common.h"

namespace kvdn {

// No trap: a statement the database rejects, or a width that is no number,
// reaches the page. The recordset is closed and released on every path.
Variant DbClass::xiangxi(const Variant& sql, const Variant& width1, const Variant& width2,
                         const Variant& title) {
  Connection& connection = this->connection();
  rs_ = connection.execute(sql.toString(), adCmdUnspecified);
  const std::shared_ptr<Recordset> holder = rs_;
  render::SlotGuard slot(rs_);
  Recordset& rs = *holder;

  if (rs.eof()) {
    slot.release();
    return Variant(std::string("对不起，无记录！"));
  }

  // The table is as wide as both columns and the cell spacing; the widths
  // are added as numbers (a text that is no number raises 13).
  const std::string tableWidth = formatDouble(width1.toDouble() + width2.toDouble() + 5);
  const std::string nameWidth = width1.joinText();
  const std::string valueWidth = width2.joinText();

  std::string out;
  out.reserve(512);
  out += "<table width='";
  out += tableWidth;
  out +=
      "' border=0 cellpadding=4 cellspacing=0 class='tableWg' align='center'><thead><tr align='center'><td "
      "colspan='2' style='height:25px;font-size:14px;'>";
  render::appendText(out, title);
  out += "</td></tr></thead>";

  Fields& fields = rs.fields();
  const int count = fields.count();
  for (int i = 1; i < count; ++i) {
    Field& field = fields.item(i);
    out += "<tr><td width='";
    out += nameWidth;
    out += "' align='right'>";
    out += field.name();
    out += "</td><td width='";
    out += valueWidth;
    out += "' align='left'>";
    const Variant value = field.value();
    if (value.isNull()) {
      out += "&nbsp;";
    } else {
      render::appendText(out, value);
    }
    out += "</td></tr>";
  }
  out += "</table>";

  slot.release();
  return Variant(std::move(out));
}

}  // namespace kvdn
