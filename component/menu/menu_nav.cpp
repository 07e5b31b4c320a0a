// menuNav: the role's navigation menu and the permission check of the
// current page, both driven by the tables 功能模块 (one row per heading or
// page) and 用户身份 (one row per role, its 权限 listing module IDs).
//
// Statements per call: three for the administrator role (current module,
// headings, entries) and five for every other role (also the role's rights
// and the distinct levels). The rights are read once and reused.
//
// Nothing that comes from the request or the database is placed into SQL
// text unchecked: the page key goes in as a literal with its quotes doubled,
// the role ID, the rights and the levels only as canonical decimal integers
// after they have been validated.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/db_class.h"
#include "text_scan.h"

namespace kvdn {

namespace {

constexpr std::int64_t kAdministratorRole = 1;
constexpr std::string_view kRefusal = "对不起,你没有该权限!";

// A double that holds a whole number exactly representable as int64.
std::optional<std::int64_t> wholeOf(double d) {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (!std::isfinite(d) || std::trunc(d) != d || d < -kLimit || d >= kLimit) return std::nullopt;
  return static_cast<std::int64_t>(d);
}

// loginUserDegreeID: a number holding a whole value, or a text holding a
// whole number (blanks around it allowed, as the runtime's own conversion
// allows them). Anything else, Empty and Null included, raises 13: the role
// ID goes into a statement and must not be able to change it.
std::int64_t roleIdOf(const Variant& v) {
  switch (v.type()) {
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      return v.integer();
    case VarType::Double:
      if (auto whole = wholeOf(v.dbl())) return *whole;
      break;
    case VarType::String: {
      std::string_view text = v.str();
      auto blank = [](char c) { return c == ' ' || c == '\t'; };
      while (!text.empty() && blank(text.front())) text.remove_prefix(1);
      while (!text.empty() && blank(text.back())) text.remove_suffix(1);
      if (auto exact = parseWholeNumber(text)) return *exact;
      if (auto number = parseNumber(text)) {
        if (auto whole = wholeOf(*number)) return *whole;
      }
      break;
    }
    default:
      break;
  }
  raise(err::kTypeMismatch,
        "Type mismatch: loginUserDegreeID must be a role ID (a whole number or a text holding one)");
}

// The role's 权限 in canonical form: blanks (U+0020) dropped, every item a
// whole number written without leading zeros, items joined by ",". The
// empty text stays empty (the role lists no module). Raises 13 for anything
// that is not such a list, before the list reaches a statement.
std::string moduleListOf(const std::string& rights, std::int64_t roleId) {
  std::string compact;
  compact.reserve(rights.size());
  for (char c : rights) {
    if (c != ' ') compact += c;
  }
  std::string list;
  if (compact.empty()) return list;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = compact.find(',', start);
    const std::string_view item = std::string_view(compact).substr(
        start, comma == std::string::npos ? std::string::npos : comma - start);
    const auto id = parseWholeNumber(item);
    if (!id) {
      raise(err::kTypeMismatch, "Type mismatch: the 权限 of role " + std::to_string(roleId) +
                                    " must be whole numbers separated by commas");
    }
    if (!list.empty()) list += ',';
    list += std::to_string(*id);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return list;
}

// The distinct levels as GetString gives them ("1,4,": every value followed
// by a comma) turned into a list for "ID in (...)". A Null level gives an
// empty item, which names no heading and is left out; a level that is not a
// whole number is a broken table and raises 13 rather than reach a
// statement.
std::string levelListOf(std::string_view clip) {
  std::string list;
  std::size_t start = 0;
  while (start < clip.size()) {
    std::size_t comma = clip.find(',', start);
    if (comma == std::string_view::npos) comma = clip.size();
    const std::string_view item = clip.substr(start, comma - start);
    start = comma + 1;
    if (item.empty()) continue;
    std::optional<std::int64_t> level = parseWholeNumber(item);
    if (!level) {
      // A REAL column gives a Double, whose text may be "2" or "1E+20".
      if (auto number = parseNumber(item)) level = wholeOf(*number);
    }
    if (!level) raise(err::kTypeMismatch, "Type mismatch: 功能模块 holds a 层级 that is not a whole number");
    if (!list.empty()) list += ',';
    list += std::to_string(*level);
  }
  return list;
}

// A text as an SQL string literal: single quotes doubled, so that nothing in
// the text can end the literal.
std::string quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

// The file part of "Url" (after its last "/"), then "?" and the raw query
// string when there is one. Nothing is decoded.
std::string pageKeyOf(const Request& request) {
  const std::string url = request.serverVariable("Url");
  const std::size_t slash = url.rfind('/');
  std::string key = slash == std::string::npos ? url : url.substr(slash + 1);
  const std::string query = request.serverVariable("QUERY_STRING");
  if (!query.empty()) key += "?" + query;
  return key;
}

// True when the first nine characters are "modalform" in any letter case.
// Only ASCII letters can lower-case to these, so bytes compare as characters.
bool isScriptCall(std::string_view target) {
  return target.size() >= 9 && asciiLower(target.substr(0, 9)) == "modalform";
}

// The module row that names the current page: its ID, 层级 and 必选, all
// Empty when no row names it.
struct CurrentModule {
  bool found = false;
  Variant id;
  Variant level;
  Variant mandatory;
};

// Matched by the database's own comparison, so it is case-insensitive where
// the database compares text that way.
std::string currentModuleStatement(const std::string& pageKey) {
  return "select top 1 ID,层级,必选 from 功能模块 where 文件名 =" + quoted(pageKey);
}

CurrentModule currentModuleOf(Recordset& rs) {
  CurrentModule current;
  current.found = !rs.eof();
  if (current.found) {
    current.id = rs.fields().item(0).value();
    current.level = rs.fields().item(1).value();
    current.mandatory = rs.fields().item(2).value();
  }
  return current;
}

// The page is refused when the role's list does not name the current module
// (as a whole item; a page that no module row names is never listed, and an
// empty list must not "contain" an empty ID) and the module is not
// mandatory. Empty 必选 (no module matched) counts as 0; Null lets the page
// through.
bool isRefused(const std::string& modules, const CurrentModule& current) {
  const std::string currentIdText = current.found ? current.id.joinText() : std::string();
  const bool listed = !modules.empty() && !currentIdText.empty() &&
                      ("," + modules + ",").find("," + currentIdText + ",") != std::string::npos;
  return !listed && numEq(current.mandatory, 0);
}

// The condition on 功能模块 of the modules a role may see: those it lists and
// the mandatory ones. With an empty list only the mandatory modules count;
// "ID in ()" is never sent.
std::string allowedModules(const std::string& modules) {
  return modules.empty() ? "必选=1" : "ID in (" + modules + ") or 必选=1";
}

// The heading levels of the role's modules, from the open result of the
// distinct levels. GetString fails on an empty result; a role without any
// module simply sees no heading ("").
std::string headingLevelsOf(Recordset& rs) {
  return rs.eof() ? std::string() : levelListOf(rs.getString(adClipString, -1, ",", ",", ""));
}

// The two statements of a menu: its headings and its entries.
struct MenuStatements {
  std::string headings;
  std::string entries;
};

MenuStatements administratorMenu() {
  return {"select ID,名称 from 功能模块 where 层级=0 order by 顺序 asc",
          "select 名称,文件名,层级 from 功能模块 where 层级>0 order by 顺序 asc"};
}

MenuStatements roleMenu(const std::string& levels, const std::string& allowed) {
  return {"select ID,名称 from 功能模块 where ID in (" + levels + ") order by 顺序 asc",
          "select 名称,文件名,层级 from 功能模块 where " + allowed + " order by 顺序 asc"};
}

// A menu group under construction: its heading's ID and its markup, the list
// tag opened and not yet closed.
struct Group {
  std::int32_t headingId;
  std::string markup;
};

// One group per heading row, in order; the group of the current module's
// level is open, the others hidden. The keyset cursor gives the count up
// front.
std::vector<Group> headingGroups(Recordset& rs, const Variant& currentLevel) {
  std::vector<Group> groups;
  groups.reserve(static_cast<std::size_t>(std::max<std::int64_t>(rs.recordCount(), 0)));
  std::optional<std::int32_t> openLevel;  // converted at the first heading; Empty gives 0
  for (; !rs.eof(); rs.moveNext()) {
    Fields& row = rs.fields();
    const std::string k = std::to_string(groups.size());
    Group group{row.item(0).value().toInt32(), std::string()};
    if (!openLevel) openLevel = currentLevel.toInt32();
    group.markup.reserve(160);
    group.markup += "<div class='titleNav' onclick=DoMenu('ChildMenu";
    group.markup += k;
    group.markup += "')>";
    group.markup += row.item(1).value().joinText();
    group.markup += "</div><ul class='menu' id='ChildMenu";
    group.markup += k;
    group.markup += "'";
    group.markup += group.headingId == *openLevel ? ">" : " style ='display:none'>";
    groups.push_back(std::move(group));
  }
  return groups;
}

// The first shown heading whose ID is `level`, or null.
Group* groupOfLevel(std::vector<Group>& groups, std::int32_t level) {
  for (Group& group : groups) {
    if (group.headingId == level) return &group;
  }
  return nullptr;
}

// One entry's list item: the current page without a link, a stored script
// call as the onclick, anything else as the link's address.
void appendEntry(std::string& out, const std::string& name, const Variant& fileValue,
                 const std::string& pageKey) {
  const std::string file = fileValue.joinText();
  if (!fileValue.isNull() && file == pageKey) {
    out += "<li class='cMenu'>";
    out += name;
    out += "</li>";
  } else if (isScriptCall(file)) {
    out += "<li><a onclick=";
    out += file;
    out += ">";
    out += name;
    out += "</a></li>";
  } else {
    out += "<li><a href='";
    out += file;
    out += "'>";
    out += name;
    out += "</a></li>";
  }
}

// Entries, each under the first shown heading whose ID is its level; the
// rest (headings among another role's rows included: their level is 0) are
// dropped.
void placeEntries(Recordset& rs, std::vector<Group>& groups, const std::string& pageKey) {
  for (; !rs.eof(); rs.moveNext()) {
    if (groups.empty()) continue;
    Fields& row = rs.fields();
    Group* target = groupOfLevel(groups, row.item(2).value().toInt32());
    if (!target) continue;
    appendEntry(target->markup, row.item(0).value().joinText(), row.item(1).value(), pageKey);
  }
}

// The groups, each list closed, one after the other.
std::string joinGroups(const std::vector<Group>& groups) {
  std::string menu;
  std::size_t size = 0;
  for (const Group& group : groups) size += group.markup.size() + 5;
  menu.reserve(size);
  for (const Group& group : groups) {
    menu += group.markup;
    menu += "</ul>";
  }
  return menu;
}

}  // namespace

Variant DbClass::menuNav(const Variant& loginUserDegreeID) {
  const std::int64_t roleId = roleIdOf(loginUserDegreeID);
  const std::string pageKey = pageKeyOf(request());
  Connection& db = connection();

  rs_ = db.execute(currentModuleStatement(pageKey), adCmdUnspecified);
  const CurrentModule current = currentModuleOf(*rs_);

  MenuStatements menu = administratorMenu();
  if (roleId != kAdministratorRole) {
    // No row for the role reads as "": the role lists no module.
    const Variant rights = dbShsl(Variant("select 权限 from 用户身份 where ID=" + std::to_string(roleId)));
    const std::string modules = moduleListOf(rights.toString(), roleId);  // Null raises 94
    if (isRefused(modules, current)) {
      alert(Variant(std::string(kRefusal)), Variant(std::string()));
      return Variant();
    }
    const std::string allowed = allowedModules(modules);
    sqlText_ = Variant("select distinct 层级 from 功能模块 where " + allowed);
    rs_ = create<Recordset>("adodb.recordset");
    rs_->open(sqlText_.str(), conn, adOpenKeyset, adLockReadOnly, adCmdUnspecified);
    const std::string levels = headingLevelsOf(*rs_);
    if (levels.empty()) {
      rs_->close();
      rs_.reset();
      return Variant(std::string());
    }
    menu = roleMenu(levels, allowed);
  }

  sqlText_ = Variant(menu.headings);
  rs_ = create<Recordset>("adodb.recordset");
  rs_->open(menu.headings, conn, adOpenKeyset, adLockReadOnly, adCmdUnspecified);
  std::vector<Group> groups = headingGroups(*rs_, current.level);

  sqlText_ = Variant(menu.entries);
  rs_ = db.execute(menu.entries, adCmdUnspecified);
  placeEntries(*rs_, groups, pageKey);
  rs_->close();
  rs_.reset();
  return Variant(joinGroups(groups));
}

}  // namespace kvdn
