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

#include "helpers/trap.h"
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
// next one (trap::keepGoing); a switch whose test fails is off, as the steps
// it guards would be skipped (trap::holds).
using trap::holds;
using trap::keepGoing;

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
      // A malformed width leaves the cell as it stands.
      keepGoing([&] {
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
      });
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

// The choices of one grid, each decided once from the arguments.
struct GridSwitches {
  bool numbered = false;    // xuhao > 0: a number column
  bool rank = false;        // xuhao = 3: the number column is a red rank
  bool descending = false;  // xuhao = 2: rows numbered down from the count
  bool editColumn = false;  // editName not blank
  std::string editText;
  bool addLink = false;  // addName not blank: the edit heading links to ?ac=add
  std::string addText;
  bool deleteColumn = false;  // delyesno = 1
  bool pagerWanted = false;   // pageNavyesno = 1
  std::string css;
  // Rows per page; a value that is no whole number counts as 0 (every row,
  // no pager), like the 0 that pages pass for "no paging".
  std::int32_t pageSize = 0;
  bool paged() const { return pageSize != 0; }
};

GridSwitches gridSwitches(const Variant& psize, const Variant& xuhao, const Variant& addName,
                          bool deleteColumn, const Variant& editName, const Variant& pageNavyesno,
                          const Variant& cssName) {
  GridSwitches g;
  g.deleteColumn = deleteColumn;
  g.numbered = holds([&] { return numGt(xuhao, 0); });
  g.rank = holds([&] { return numEq(xuhao, 3); });
  g.descending = holds([&] { return numEq(xuhao, 2); });
  g.editColumn = holds([&] {
    if (render::isBlankText(editName)) return false;
    g.editText = editName.joinText();
    return true;
  });
  g.addLink = holds([&] {
    if (render::isBlankText(addName)) return false;
    g.addText = addName.joinText();
    return true;
  });
  g.pagerWanted = holds([&] { return numEq(pageNavyesno, 1); });
  keepGoing([&] { g.css = cssName.joinText(); });
  keepGoing([&] { g.pageSize = psize.toInt32(); });
  return g;
}

// A statement the database refused: the page shows it and ends there.
void reportBadStatement(Response& response, const Variant& sql) {
  std::string echo;
  keepGoing([&] { echo = sql.joinText(); });
  response.write("<br /><font color=red>SQL语句有误!<br /><br />" + htmlEscape(echo) + "</font>");
  response.end();
}

// The form, the table and its heading row.
void appendHead(std::string& out, Recordset& rs, const GridSwitches& g, int count) {
  out +=
      "<form name='formtablepage' id='formtablepage' method='post' action=''>"
      "<table width='100%' border=0 cellpadding=5 cellspacing=0 class='";
  out += g.css;
  out += "'><thead><tr>";
  if (g.numbered) out += g.rank ? "<td align='center' class='red'>名次</td>" : "<td align='center'>序号</td>";
  for (int i = 1; i < count; ++i) {
    keepGoing([&] {
      std::string name = rs.fields().item(i).name();
      out += "<td>";
      out += name;
      out += "</td>";
    });
  }
  if (g.editColumn) {
    out += "<td nowrap='nowrap'>";
    if (g.addLink) {
      out += "<a onclick=modalForm('?ac=add')>";
      out += g.addText;
      out += "</a>";
    } else {
      out += g.editText;
    }
    out += "</td>";
  }
  if (g.deleteColumn) {
    out +=
        "<td nowrap='nowrap'><a onClick=modalForm('?ac=del')>删除</a><br /><input name=chkAll type=checkbox "
        "onClick=CheckAll(this.form)></td><script language=JavaScript>function CheckAll(form){var e = "
        "form.delids; for (var chkhao=0;chkhao<e.length;chkhao++){e[chkhao].checked = "
        "form.chkAll.checked;}}</script>";
  }
  out += "</tr></thead>";
}

// The "no records" body of an empty result; the grid goes on all the same.
void appendNoRecords(std::string& out, Recordset& rs, int count) {
  keepGoing([&] {
    if (rs.bof() && rs.eof()) {
      out += "<tbody><tr><td align='left' colspan=";
      appendInt(out, count + 2);
      out += "><font color='red'>\u3000暂无记录！</font></td></tr></tbody>";
    }
  });
}

// Moves to the page the `page` key asks for, clamped to the page count, and
// returns its number. With psize 0 every row is listed, whatever the key
// says (page 1). `pageKey` reads the key; its failure counts as page 1.
template <class PageKey>
double turnToPage(Recordset& rs, const GridSwitches& g, PageKey&& pageKey) {
  double page = 1;
  if (!g.paged()) return page;
  keepGoing([&] { rs.setPageSize(g.pageSize); });
  keepGoing([&] { page = requestedPage(pageKey()); });
  keepGoing([&] {
    const double pageCount = rs.pageCount();
    if (page > pageCount) page = pageCount;
  });
  // Page 0 (an empty result) is refused by the data layer and skipped.
  keepGoing([&] { rs.setAbsolutePage(Variant(page).toInt32()); });
  return page;
}

// Writes the rows of the current page into one grid.
class RowWriter {
 public:
  RowWriter(DbClass& db, Recordset& rs, const GridSwitches& g, int count, const std::string& tableName,
            Variant& titleAttr)
      : db_(db), rs_(rs), g_(g), count_(count), tableName_(tableName), titleAttr_(titleAttr) {}

  // The rows from the current position: psize of them when paged, else all.
  // A position that cannot be read or moved ends the rows: skipping those
  // steps would list the same row over and over.
  void appendRows(std::string& out, double page) {
    double recordCount = 0;
    const bool haveRecordCount = g_.descending && holds([&] {
                                   recordCount = static_cast<double>(rs_.recordCount());
                                   return true;
                                 });
    const double firstNumber = (page - 1) * g_.pageSize;
    out += "<tbody>";
    for (std::int64_t counter = 1;; ++counter) {
      if (g_.paged() && counter > g_.pageSize) break;
      bool atEnd = true;
      keepGoing([&] { atEnd = rs_.eof(); });
      if (atEnd) break;
      double number = firstNumber + static_cast<double>(counter);
      if (haveRecordCount) number = recordCount - number + 1;
      appendRow(out, number);
      if (!keepGoing([&] { rs_.moveNext(); })) break;
    }
    out += "</tbody>";
  }

 private:
  // A value that cannot be read shows as no value.
  Variant read(Fields* fields, int i) {
    Variant v = Variant::null();
    if (fields) keepGoing([&] { v = fields->item(i).value(); });
    return v;
  }

  void appendRow(std::string& out, double number) {
    Fields* fields = nullptr;
    keepGoing([&] { fields = &rs_.fields(); });
    const Variant key = read(fields, 0);
    out += "<tr>";
    if (g_.numbered) {
      out += g_.rank ? "<td align='center' class='red'>" : "<td align='center'>";
      appendWhole(out, number);
      out += "</td>";
    }
    for (int i = 1; i < count_; ++i) appendCell(out, read(fields, i));
    if (g_.editColumn) {
      out += "<td><a onclick=modalForm('?ac=modify&id=";
      keepGoing([&] { appendText(out, key); });
      out += "')>";
      out += g_.editText;
      out += "</a></td>";
    }
    if (g_.deleteColumn) {
      if (tableName_ == kUserTable && holds([&] { return numEq(key, 1); })) {
        // The user with key 1 cannot be ticked for deletion.
        out += "<td>&nbsp;</td>";
      } else {
        out += "<td><input name=delids type=checkbox value='";
        keepGoing([&] { appendText(out, key); });
        out += "'></td>";
      }
    }
    out += "</tr>";
  }

  // One data cell, its formatting tokens applied. Cells are copied only when
  // they carry a token; numbers and dates are written straight into the page.
  void appendCell(std::string& out, const Variant& value) {
    if (!(titleAttr_.isString() && titleAttr_.str().empty())) titleAttr_ = Variant(std::string());
    std::string_view text;
    bool alignLeft = false;
    classAttr_.clear();
    if (value.isString()) {
      text = value.str();
      if (text.find(kTokenLead) != std::string_view::npos) {
        cell_.assign(text);
        applyCellTokens(db_, cell_, alignLeft, classAttr_);
        text = cell_;
      }
    }
    out += "<td";
    out += classAttr_;
    if (alignLeft) out += " align='left' ";
    if (!(titleAttr_.isString() && titleAttr_.str().empty())) keepGoing([&] { appendText(out, titleAttr_); });
    out += '>';
    const std::size_t start = out.size();
    if (value.isString()) {
      out += text;
    } else if (!value.isNull() && !value.isEmpty() && !keepGoing([&] { appendText(out, value); })) {
      out.resize(start);  // a value that cannot be written shows as none
    }
    if (out.size() == start) out += "&nbsp;";
    out += "</td>";
  }

  DbClass& db_;
  Recordset& rs_;
  const GridSwitches& g_;
  int count_;
  const std::string& tableName_;
  Variant& titleAttr_;
  std::string cell_;       // a cell being rewritten by its tokens
  std::string classAttr_;  // the class attribute of the cell being written
};

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

  if (!keepGoing(
          [&] { rs.open(sql.toString(), connection, adOpenKeyset, adLockReadOnly, adCmdUnspecified); })) {
    reportBadStatement(response(), sql);
    return Variant(std::string());
  }

  const GridSwitches g = gridSwitches(psize, xuhao, addName, deleteColumn, editName, pageNavyesno, cssName);
  int count = 0;
  const bool haveCount = holds([&] {
    count = rs.fields().count();
    return true;
  });

  std::string out;
  out.reserve(1024 +
              (g.paged() && g.pageSize > 0 ? static_cast<std::size_t>(std::min(g.pageSize, 1000)) : 20) *
                  (static_cast<std::size_t>(count) * 40 + 200));
  appendHead(out, rs, g, count);
  if (haveCount) appendNoRecords(out, rs, count);
  const double page = turnToPage(rs, g, [&] { return request().queryString().item("page"); });
  RowWriter(*this, rs, g, count, tableName, titleAttr_).appendRows(out, page);
  if (g.pagerWanted && g.pageSize > 0 && haveCount) {
    keepGoing([&] {
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

  keepGoing([&] { slot.release(); });
  return Variant(std::move(out));
}

}  // namespace kvdn
