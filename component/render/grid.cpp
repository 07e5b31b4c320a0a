// dbSelect: one page of a statement's rows as the list grid of a back-office
// page, with number, edit and delete columns, cell formatting tokens and the
// pager in its footer.
//
// Cost: one page costs what the data layer needs for it (a count and that
// page); nothing here holds more than the markup of the page. Cells are
// copied only when they carry a formatting token.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kvdn/db_class.h"
#include "kvdn/text.h"
#include "render/common.h"

namespace kvdn {

namespace {

using render::appendInt;
using render::appendText;

// Formatting tokens. Every token starts with kTokenLead, so a cell without it
// is written as it is.
constexpr std::string_view kTokenLead = "{qzm";
constexpr std::string_view kLeftOpen = "{qzmLeft";
constexpr std::string_view kLeftClose = "{_qzmLeft}";
constexpr std::string_view kClassOpen = "{qzmClass";
constexpr std::string_view kTokenEnd = "_}";

constexpr std::string_view kUserTable = "用户";

// From the open on, a failing step is skipped and the grid goes on with the
// next one. Only ComError is a failing step: Response::end() throws nothing,
// and anything else (memory) is not the page's business to hide.
template <class F>
void step(F&& f) {
  try {
    f();
  } catch (const ComError&) {
  }
}

// A condition of a skipped-on-failure step: when the test itself fails, the
// step it guards does not run.
template <class F>
bool trappedTest(F&& f) {
  try {
    return f();
  } catch (const ComError&) {
    return false;
  }
}

double roundHalfEven(double d) {
  const double lower = std::floor(d);
  const double diff = d - lower;
  if (diff > 0.5) return lower + 1;
  if (diff < 0.5) return lower;
  return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1;
}

// Largest page number kept before the clamp to the page count; any page
// count fits below it, and the arithmetic on it stays exact.
constexpr double kPageCeiling = 9.0e15;

// The `page` key: absent, empty, not a number or below 1 gives 1; otherwise
// the number rounded to a whole one (halves to even). Numbers beyond the
// 16-bit range are rounded as well rather than kept fractional: a table of a
// million rows has pages past 32767, and a fractional page would number the
// rows with fractions.
double requestedPage(const std::string& text) {
  const std::optional<double> n = parseNumber(text);
  if (!n || std::isnan(*n) || *n < 1) return 1;
  if (*n >= kPageCeiling) return kPageCeiling;
  return roundHalfEven(*n);
}

// A whole number held in a double, as its decimal text.
void appendWhole(std::string& out, double d) {
  if (std::fabs(d) < kPageCeiling) {
    appendInt(out, static_cast<std::int64_t>(d));
  } else {
    out += formatDouble(d);
  }
}

// Applies the formatting tokens of one cell to `value` in place: the
// shortened text ({qzmLeftN_}text{_qzmLeft}) first, then the style class
// ({qzmClassNAME_}). Positions are byte offsets into UTF-8: the markers are
// ASCII, so they cut the text exactly where character positions would, and
// getLenTitle counts the widths itself. A malformed token (a missing "_}" or
// closing marker, a width that is not a 16-bit number) leaves the text as it
// stands and adds no attribute.
void applyCellTokens(DbClass& db, std::string& value, bool& alignLeft, std::string& classAttr) {
  std::size_t p = value.find(kLeftOpen);
  if (p != std::string::npos) {
    const std::size_t q = value.find(kTokenEnd, p);
    const std::size_t r = q == std::string::npos ? q : value.find(kLeftClose, q);
    if (r != std::string::npos) {
      try {
        const std::size_t widthStart = p + kLeftOpen.size();
        const std::int16_t width = Variant(value.substr(widthStart, q - widthStart)).toInt16();
        const std::size_t innerStart = q + kTokenEnd.size();
        const Variant shortened =
            db.getLenTitle(Variant(value.substr(innerStart, r - innerStart)), Variant(width));
        std::string next;
        next.reserve(value.size());
        next.append(value, 0, p);
        appendText(next, shortened);
        next.append(value, r + kLeftClose.size());
        value = std::move(next);
        alignLeft = true;
      } catch (const ComError&) {
        // Malformed width: the cell stays as it stands.
      }
    }
  }
  p = value.find(kClassOpen);
  if (p != std::string::npos) {
    const std::size_t q = value.find(kTokenEnd, p);
    if (q != std::string::npos) {
      const std::size_t nameStart = p + kClassOpen.size();
      // The name comes from data: escaped, so that it cannot leave the
      // attribute (an ordinary class name is unchanged).
      classAttr.assign(" class='")
          .append(htmlEscape(std::string_view(value).substr(nameStart, q - nameStart)))
          .append("' ");
      value.erase(p, q + kTokenEnd.size() - p);
    }
  }
}

}  // namespace

Variant DbClass::dbSelect(const Variant& sql, const Variant& psize, const Variant& xuhao,
                          const Variant& addName, const Variant& delyesno, const Variant& editName,
                          const Variant& pageNavyesno, const Variant& cssName) {
  // Before the trap: the table name for the delete column, the connection
  // and the recordset. Their failures go to the caller.
  const bool deleteColumn = numEq(delyesno, 1);
  std::string tableName;
  if (deleteColumn) tableName = findTableName(sql).joinText();
  std::shared_ptr<Connection> connection = conn;
  if (!connection) raise(err::kObjectNotSet);
  rs_ = create<Recordset>("adodb.recordset");
  const std::shared_ptr<Recordset> holder = rs_;
  render::SlotGuard slot(rs_);
  Recordset& rs = *holder;

  try {
    rs.open(sql.toString(), connection, adOpenKeyset, adLockReadOnly, adCmdUnspecified);
  } catch (const ComError&) {
    std::string echo;
    step([&] { echo = sql.joinText(); });
    Response& out = response();
    out.write("<br /><font color=red>SQL语句有误!<br /><br />" + htmlEscape(echo) + "</font>");
    out.end();
    return Variant(std::string());
  }

  // The switches, each decided once. A switch whose comparison fails is off,
  // as the steps it guards would be skipped.
  const bool numbered = trappedTest([&] { return numGt(xuhao, 0); });
  const bool rank = trappedTest([&] { return numEq(xuhao, 3); });
  const bool descending = trappedTest([&] { return numEq(xuhao, 2); });
  std::string editText;
  const bool editColumn = trappedTest([&] {
    if (render::isBlankText(editName)) return false;
    editText = editName.joinText();
    return true;
  });
  std::string addText;
  const bool addLink = trappedTest([&] {
    if (render::isBlankText(addName)) return false;
    addText = addName.joinText();
    return true;
  });
  const bool pagerWanted = trappedTest([&] { return numEq(pageNavyesno, 1); });
  std::string css;
  step([&] { css = cssName.joinText(); });
  // Rows per page; a value that is no whole number counts as 0 (every row,
  // no pager), like the 0 that pages pass for "no paging".
  std::int32_t pageSize = 0;
  step([&] { pageSize = psize.toInt32(); });
  const bool paged = pageSize != 0;

  int count = 0;
  const bool haveCount = trappedTest([&] {
    count = rs.fields().count();
    return true;
  });

  std::string out;
  out.reserve(1024 + (paged && pageSize > 0 ? static_cast<std::size_t>(std::min(pageSize, 1000)) : 20) *
                         (static_cast<std::size_t>(count) * 40 + 200));

  out +=
      "<form name='formtablepage' id='formtablepage' method='post' action=''>"
      "<table width='100%' border=0 cellpadding=5 cellspacing=0 class='";
  out += css;
  out += "'><thead><tr>";
  if (numbered) out += rank ? "<td align='center' class='red'>名次</td>" : "<td align='center'>序号</td>";
  for (int i = 1; i < count; ++i) {
    step([&] {
      std::string name = rs.fields().item(i).name();
      out += "<td>";
      out += name;
      out += "</td>";
    });
  }
  if (editColumn) {
    out += "<td nowrap='nowrap'>";
    if (addLink) {
      out += "<a onclick=modalForm('?ac=add')>";
      out += addText;
      out += "</a>";
    } else {
      out += editText;
    }
    out += "</td>";
  }
  if (deleteColumn) {
    out +=
        "<td nowrap='nowrap'><a onClick=modalForm('?ac=del')>删除</a><br /><input name=chkAll type=checkbox "
        "onClick=CheckAll(this.form)></td><script language=JavaScript>function CheckAll(form){var e = "
        "form.delids; for (var chkhao=0;chkhao<e.length;chkhao++){e[chkhao].checked = "
        "form.chkAll.checked;}}</script>";
  }
  out += "</tr></thead>";

  if (haveCount) {
    step([&] {
      if (rs.bof() && rs.eof()) {
        out += "<tbody><tr><td align='left' colspan=";
        appendInt(out, count + 2);
        out += "><font color='red'>\u3000暂无记录！</font></td></tr></tbody>";
      }
    });
  }

  // The page. With psize 0 every row is listed, whatever the `page` key says.
  double page = 1;
  if (paged) {
    step([&] { rs.setPageSize(pageSize); });
    step([&] { page = requestedPage(request().queryString().item("page")); });
    step([&] {
      const double pageCount = rs.pageCount();
      if (page > pageCount) page = pageCount;
    });
    // Page 0 (an empty result) is refused by the data layer and skipped.
    step([&] { rs.setAbsolutePage(Variant(page).toInt32()); });
  }

  double recordCount = 0;
  const bool haveRecordCount = descending && trappedTest([&] {
                                 recordCount = static_cast<double>(rs.recordCount());
                                 return true;
                               });
  const double firstNumber = (page - 1) * pageSize;

  out += "<tbody>";
  std::string cell;
  std::string classAttr;
  for (std::int64_t counter = 1;; ++counter) {
    if (paged && counter > pageSize) break;
    // A position that cannot be read or moved ends the rows: skipping those
    // steps would list the same row over and over.
    bool atEnd = true;
    step([&] { atEnd = rs.eof(); });
    if (atEnd) break;

    Fields* fields = nullptr;
    step([&] { fields = &rs.fields(); });
    // A value that cannot be read shows as no value.
    auto read = [&](int i) {
      Variant v = Variant::null();
      if (fields) step([&] { v = fields->item(i).value(); });
      return v;
    };
    const Variant key = read(0);

    out += "<tr>";
    if (numbered) {
      out += rank ? "<td align='center' class='red'>" : "<td align='center'>";
      double number = firstNumber + static_cast<double>(counter);
      if (haveRecordCount) number = recordCount - number + 1;
      appendWhole(out, number);
      out += "</td>";
    }
    for (int i = 1; i < count; ++i) {
      const Variant value = read(i);
      if (!(titleAttr_.isString() && titleAttr_.str().empty())) titleAttr_ = Variant(std::string());
      std::string_view text;
      std::string converted;
      bool alignLeft = false;
      classAttr.clear();
      if (value.isString()) {
        text = value.str();
        if (text.find(kTokenLead) != std::string_view::npos) {
          cell.assign(text);
          applyCellTokens(*this, cell, alignLeft, classAttr);
          text = cell;
        }
      } else if (!value.isNull() && !value.isEmpty()) {
        step([&] { appendText(converted, value); });
        text = converted;
      }
      out += "<td";
      out += classAttr;
      if (alignLeft) out += " align='left' ";
      if (!(titleAttr_.isString() && titleAttr_.str().empty())) step([&] { appendText(out, titleAttr_); });
      out += '>';
      if (text.empty()) {
        out += "&nbsp;";
      } else {
        out += text;
      }
      out += "</td>";
    }
    if (editColumn) {
      out += "<td><a onclick=modalForm('?ac=modify&id=";
      step([&] { appendText(out, key); });
      out += "')>";
      out += editText;
      out += "</a></td>";
    }
    if (deleteColumn) {
      if (tableName == kUserTable && trappedTest([&] { return numEq(key, 1); })) {
        // The user with key 1 cannot be ticked for deletion.
        out += "<td>&nbsp;</td>";
      } else {
        out += "<td><input name=delids type=checkbox value='";
        step([&] { appendText(out, key); });
        out += "'></td>";
      }
    }
    out += "</tr>";
    bool moved = false;
    step([&] {
      rs.moveNext();
      moved = true;
    });
    if (!moved) break;
  }
  out += "</tbody>";

  if (pagerWanted && pageSize > 0 && haveCount) {
    step([&] {
      const Variant pageValue =
          std::fabs(page) <= 2147483647.0 ? Variant(static_cast<std::int32_t>(page)) : Variant(page);
      const Variant nav = pageNav(Variant(holder), pageValue);
      std::string footer = "<tfoot><tr><td colspan=";
      appendInt(footer, count + 2);
      footer += '>';
      appendText(footer, nav);
      footer += "</td></tr></tfoot>";
      out += footer;
    });
  }
  out += "</table></form>";

  step([&] { slot.release(); });
  return Variant(std::move(out));
}

}  // namespace kvdn
