// pageNav: the one-line pager under a grid: where the page stands, then links
// to the first, previous, next and last page that call the page's
// callTableData with "?ac=call&page=N".
#include <string>
#include <string_view>

#include "kvdn/db_class.h"
#include "render/common.h"

namespace kvdn {

namespace {

// `page` plus a whole number, as the page's own arithmetic would give it:
// Null stays Null (no text), Empty counts 0, a string must hold a number.
std::string pageOffsetText(const Variant& page, int delta) {
  if (page.isNull()) return {};
  return formatDouble(page.toDouble() + delta);
}

// `page` < `count`, compared as numbers; Null on either side is false.
bool pageBelow(const Variant& page, const Variant& count) {
  if (count.isNull()) return false;
  return numLt(page, count.toDouble());
}

}  // namespace

// The three figures are read by name at each use, as a page reading them off
// its own recordset would: PageCount for the first piece, for the test of the
// third and for the last-page link. A recordset of the data layer is read
// directly; any other object through late binding (an object without them
// raises 438). A value that is no object raises 424, Nothing 91.
Variant DbClass::pageNav(const Variant& rs, const Variant& page) {
  const ObjectPtr object = rs.toObject();
  const auto recordset = std::dynamic_pointer_cast<Recordset>(object);
  auto read = [&](std::string_view name) -> Variant {
    if (!recordset) return object->getProperty(name);
    if (name == "PageCount") return Variant(recordset->pageCount());
    if (name == "PageSize") return Variant(recordset->pageSize());
    return Variant(recordset->recordCount());
  };

  std::string out;
  out.reserve(512);
  out += "第";
  render::appendText(out, page);
  out += "页/共";
  render::appendText(out, read("PageCount"));
  out += "页&nbsp;每页";
  render::appendText(out, read("PageSize"));
  out += "条/共";
  render::appendText(out, read("RecordCount"));
  out += "条&nbsp;";

  if (numGt(page, 1)) {
    out +=
        "<a onclick=callTableData('?ac=call&page=1')>第一页</a>&nbsp;<a "
        "onclick=callTableData('?ac=call&page=";
    out += pageOffsetText(page, -1);
    out += "')>上一页</a>&nbsp;";
  } else {
    out += "第一页&nbsp;上一页&nbsp;";
  }

  if (pageBelow(page, read("PageCount"))) {
    out += "<a onclick=callTableData('?ac=call&page=";
    out += pageOffsetText(page, 1);
    out += "')>下一页</a>&nbsp;<a onclick=callTableData('?ac=call&page=";
    render::appendText(out, read("PageCount"));
    out += "')>最后页</a>&nbsp;";
  } else {
    out += "下一页&nbsp;最后页";
  }
  return Variant(std::move(out));
}

}  // namespace kvdn
