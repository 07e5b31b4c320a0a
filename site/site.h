// The sample back-office site: pages written as a page author writes them,
// one C++ function per page, over the HTTP page host and dbClass.
//
// Site layout below the root (what the host serves and what the pages use):
//   static/                  style sheet and page script (served as files)
//   admin/*.asp              the pages (registered paths, no files)
//   admin/database/app.mdb   the application database (never served)
//   admin/database/*.bak     dated backups; userinfo.xls for the import
// Pages set `database` to "database/app.mdb", a path relative to the page's
// folder, so the maintenance methods' fixed "database\" folder is the same one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "kvdn/text.h"
#include "kvdn/http_host.h"

namespace site {

// The administrator's login printed at start and made on first start.
inline constexpr const char* kAdminAccount = "admin";
inline constexpr const char* kAdminPassword = "admin123";
// The second role's sample login.
inline constexpr const char* kOperatorAccount = "caozuo";
inline constexpr const char* kOperatorPassword = "caozuo123";
// Password of the other sample users.
inline constexpr const char* kSamplePassword = "123456";

// Site-relative path of the database, as the pages set `database`.
inline constexpr const char* kDatabase = "database/app.mdb";
// Physical file of the database below a site root.
std::filesystem::path databaseFile(const std::filesystem::path& siteRoot);

// Creates admin/database/app.mdb with the tables and sample rows when it does
// not exist; returns true when it made it. Throws kvdn::ComError on failure.
bool ensureDatabase(const std::filesystem::path& siteRoot);

// A server database instead of the file (kvdn-site --odbc): an ODBC
// connection string (PostgreSQL; see the README) that every page opens and
// hands to dbClass through `conn`, with dbType left empty. "" (the default)
// keeps the file database. Set once at start, before the host serves.
void useServerDatabase(std::string connectionString);
const std::string& serverDatabase();
// Makes the tables with their sample rows on the server database when it has
// no table 用户 yet; returns true when it made them. Throws kvdn::ComError.
bool ensureServerDatabase(const std::string& connectionString);

// Registers every page of the site on the host.
void registerPages(kvdn::HttpHost& host);

// ---- Helpers shared by the pages (site/common.cpp). ----

// The logged-in user, from the session.
struct User {
  int id = 0;
  int role = 0;
  std::string name;
};

// The session's user; without one, redirects to the login page (ending the
// response) and returns nothing.
std::optional<User> requireLogin(kvdn::PageEnv& env);

// Sets the connection properties and opens the database. False when connOpen
// reported a failure (the response has then ended).
bool openDatabase(kvdn::PageEnv& env);

// True when the text is a whole number 1..2^31-1 in plain digits: the only
// form of key a page passes on into SQL text.
bool isKey(std::string_view text);
// True when the text is "N" or "N, N, ..." of keys (the host joins ticked
// boxes with ", ").
bool isKeyList(std::string_view text);
// A login account: 1 to 32 letters, digits, "_", "-", "." or "@". Checked
// before an account goes into SQL text.
bool isAccount(std::string_view text);
// A name or similar typed text: 1 to 40 characters (UTF-8 bytes up to 120),
// none of < > & " ' or control characters. Such text shows the same whether
// escaped or not, and the grid shortens it without cutting an entity.
bool isPlainText(std::string_view text);
// Text for an HTML element or a quoted attribute.
inline std::string html(std::string_view text) { return kvdn::htmlEscape(text); }
// A SQL string literal: the text between single quotes, quotes doubled. Only
// for values already checked (isAccount and the like).
std::string sqlLiteral(std::string_view text);
// A SQL expression that yields `column` through the data layer's
// htmlEncode(): markup characters, the apostrophe and the braces of the
// grid's {qzm...} tokens written as entities. The grid and the detail table
// emit values unescaped, so a page that lists what users typed escapes it in
// the statement.
std::string htmlColumn(std::string_view column);

// Whether the role may open the page keyed `fileName` (a 功能模块 文件名):
// the administrator role always; others when the module is mandatory or
// listed in the role's 权限. For requests whose page key carries a query
// (dialogs, grid reloads), where menuNav's own check would not find the page.
bool roleMayOpen(kvdn::PageEnv& env, int role, std::string_view fileName);

// The page frame around the content: head, top bar, the role menu, the
// dialog. `menu` is menuNav's markup.
std::string pageHead(std::string_view title);
std::string frameTop(const User& user, std::string_view title, std::string_view menu);
std::string frameBottom();

// One-shot message kept in the session for the next page (after a redirect).
void setFlash(kvdn::PageEnv& env, std::string_view message);
// The kept message as a message box (markup), or "" when there is none.
std::string takeFlash(kvdn::PageEnv& env);

// dbClass.alert with the message and an empty address: the browser shows the
// message and goes back; the response has ended.
void refuse(kvdn::PageEnv& env, std::string_view message);
// The record writers compare the referring page's host with this one and
// fail outright (not with their alert) when there is no referrer at all; a
// page refuses such requests first. False when it refused.
bool hasReferrer(kvdn::PageEnv& env);

}  // namespace site
