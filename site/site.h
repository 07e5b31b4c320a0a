// The sample back-office site: pages written as a page author writes them,
// one C++ function per page, over the HTTP page host and dbClass.
//
// Site layout below the root (what the host serves and what the pages use):
//   static/                  style sheet and page script (served as files)
//   admin/*.asp              the pages (registered paths, no files)
//   admin/database/app.mdb   the application database (never served)
//   admin/database/*.bak     backups named with date and time; userinfo.xls for
//                            the import, upload.xls while a preview is open
// Pages set `database` to "database/app.mdb", a path relative to the page's
// folder, so the maintenance methods' fixed "database\" folder is the same one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/data.h"
#include "kvdn/http_host.h"
#include "kvdn/text.h"

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

// ---- Offline recovery (kvdn-site --list-backups, --restore NAME), with the
// site stopped: a damaged database cannot be mended through the pages.
struct BackupFile {
  std::string name;  // "#YYYYMMDD-HHMMSS.bak"
  std::uintmax_t size = 0;
  std::filesystem::file_time_type written;
};
// The backups beside the database, newest first.
std::vector<BackupFile> listBackupFiles(const std::filesystem::path& siteRoot);
// Puts backup `name` (one listBackupFiles lists) in place of the database.
// The file there, damaged or not, is kept first as
// "app.mdb.damaged-YYYYMMDD-HHMMSS" with its log files beside it, so the
// restored file never replays the old log. Returns the kept file's name ("" when
// there was none). Throws ComError (the database is then as it was) when
// the name is not a listed backup, is no database, or a file cannot be moved.
std::string restoreOffline(const std::filesystem::path& siteRoot, const std::string& name);

// At start: removes what a backup, restore or compaction killed half-way
// left in the database folder: scratch copies ("NAME.partial-PID-N", with
// their log files) of processes no longer running, and log files beside
// backups ("*.bak-wal", "-shm", "-journal"; backups are never written, so
// their logs hold nothing). Returns the names removed.
std::vector<std::string> removeLeftovers(const std::filesystem::path& siteRoot);

// A server database instead of the file (kvdn-site --odbc): an ODBC
// connection string (PostgreSQL; see the README) that every page opens and
// hands to dbClass through `conn`, with dbType left empty. "" (the default)
// keeps the file database. Set once at start, before the host serves.
void useServerDatabase(std::string connectionString);
const std::string& serverDatabase();
// Makes the tables with their sample rows on the server database when it has
// no table 用户 yet; returns true when it made them. Throws kvdn::ComError.
bool ensureServerDatabase(const std::string& connectionString);

// ---- Chinese names in pinyin order (site/pinyin.cpp, ICU).
//
// The file database's collation "pinyin" (ICU's "zh" collator; texts it
// finds equal ordered by their bytes). usePinyinOrder(true) registers it,
// false removes it; kvdn-site calls it at start (on unless --no-pinyin).
// Returns false when ICU has no collator for "zh" (nothing changed). Call
// before serving.
inline constexpr const char* kPinyinCollation = "pinyin";
bool usePinyinOrder(bool on);
// " collate pinyin" for an ORDER BY (or a comparison) of names while the
// order is on and the site uses the database file; "" otherwise (order by
// character code, or the server database's own).
std::string nameCollation();

// Registers every page of the site on the host.
void registerPages(kvdn::HttpHost& host);

// ---- Helpers shared by the pages (site/common.cpp). ----

// The logged-in user: the id from the session, role and name as the
// database has them now, the session's form token.
struct User {
  int id = 0;
  int role = 0;
  std::string name;
  std::string account;
  std::string token;
};

// The session's user, with the database opened (openDatabase). The role and
// name are read from the database on every request, so a deleted or demoted
// account loses its rights at once. A session names the row, the account it
// logged in and the account's stamp (accountStamp): when the row no longer
// holds that account with that stamp (it was deleted, renamed, its password
// changed, or a restore or import gave the row to another account) the
// session is dropped. Without a live login redirects to the login page;
// when the database cannot be opened its report is the page. Either way the
// response has ended and nothing is returned.
std::optional<User> requireLogin(kvdn::PageEnv& env);
// The account's secret as a session keeps it: a digest of the stored
// password digest, so it changes with the password.
std::string accountStamp(kvdn::PageEnv& env, std::string_view storedPassword);
// Stores the login of the user with row `id` in the session (after
// renewSession): row, account, stamp, role, name and a new form token.
void rememberLogin(kvdn::PageEnv& env, int id);

// Sets the connection properties and opens the database. False when it
// cannot be opened: the response is then the site's 503 page (errorPage)
// and has ended. A second call on a page whose connection is open does
// nothing.
bool openDatabase(kvdn::PageEnv& env);

// The site's own error page (Chinese, the site's style, a way back) for
// 404, 500 and 503 (the database cannot be opened); `path` is shown escaped.
std::string errorPage(int status, std::string_view path);

// ---- The audit trail (table 操作日志): who did what and when.
//
// Written with bound values (a recordset's addNew/update), so what a user
// typed never becomes SQL text. A failure to write it is logged on stderr
// and does not fail the page (the action itself has happened).
void audit(kvdn::PageEnv& env, std::string_view account, std::string_view action, std::string_view detail);
// Makes the site's own tables (操作日志, 查询条件) when missing, on an open
// connection of either kind. Throws kvdn::ComError.
void ensureSiteTables(kvdn::Connection& conn, bool server);

// ---- Search terms without SQL text.
//
// The grids take a statement, so a search term is stored (bound) in the
// table 查询条件 under `key` (a site-made key: hex and letters) as a LIKE
// pattern, and the statement joins that row: searchFilter gives the
// condition for the statement. An empty term removes the row.
void storeSearch(kvdn::PageEnv& env, const std::string& key, std::string_view term);
// "(col1 like pattern or col2 like pattern ...)" against the stored row, or
// "" when the term was empty.
std::string searchFilter(const std::string& key, std::string_view term,
                         std::initializer_list<std::string_view> columns);

// ---- Requests from other sites.
//
// Every request that changes something is a POST that carries the session's
// token (128 random bits made at login) in the field or query key "_token";
// a page on another site, or on another port of this host, cannot read it.

inline constexpr const char* kTokenKey = "_token";
// A new random token (hex).
std::string newToken();
// True when the request's "_token" (form field, else query key) equals the
// user's token. Else refuses (status 403, alert) and returns false.
bool checkToken(kvdn::PageEnv& env, const User& user);
// True when the request names its own origin: its Origin header, else its
// Referer, has the host (and port) the request was sent to. A request with
// neither is refused too. For the login form, which has no session yet.
bool sameOrigin(kvdn::PageEnv& env);
// The address of the client for the login throttle and the audit trail:
// the peer's own address (REMOTE_ADDR), except when the peer is the proxy
// named by setTrustedProxy: then the last entry of X-Forwarded-For (the one
// that proxy added) when it is a valid IPv4 or IPv6 address.
std::string clientAddress(kvdn::PageEnv& env);
// The reverse proxy whose X-Forwarded-For is believed (a numeric address;
// "" for none, the default). False, and nothing changed, when `address` is
// not a valid IPv4 or IPv6 address. Set once at start, before serving.
bool setTrustedProxy(const std::string& address);

// ---- Failed logins, slowed down per account and per address.
//
// After kFreeFailures failures of an account (kFreeFailuresPerAddress of an
// address) every further try must wait 2, 4, 8 ... seconds (at most 15
// minutes) after the last failure; a login in that time is refused without
// looking at the password. An account's count is cleared by a successful
// login, any count by an hour without failures. Thread-safe; the tables
// are bounded (the oldest entries go first).
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kFreeFailures = 5;
  static constexpr int kFreeFailuresPerAddress = 20;
  static constexpr std::chrono::seconds kMaxDelay{15 * 60};
  static constexpr std::chrono::seconds kForget{60 * 60};
  static constexpr std::size_t kMaxEntries = 10000;

  // Seconds the caller must still wait before trying `account` from
  // `address` (0: may try now). `account` is compared without letter case.
  long long waitSeconds(std::string_view account, std::string_view address, Clock::time_point now);
  struct Counts {
    int account = 0;
    int address = 0;
  };
  // Records a failure; the counts after it.
  Counts failed(std::string_view account, std::string_view address, Clock::time_point now);
  void succeeded(std::string_view account);
  void clear();
  // Whether a failed login at `now` gets its row in the audit trail: at
  // most kAuditedPerWindow a window, so that a flood of failures does not
  // flood the trail; the failures left out are only counted, and reported
  // (unauditedBefore) with the first failure of a later window.
  static constexpr int kAuditedPerWindow = 100;
  static constexpr std::chrono::seconds kAuditWindow{60};
  struct AuditTurn {
    bool write = false;
    long long unauditedBefore = 0;
  };
  AuditTurn auditFailure(Clock::time_point now);
  // From now on the counts are kept in the server database
  // `connectionString` names (table kvdn_login_failures, made when missing)
  // instead of this process's memory, so that every site process serving
  // the site counts the same failures. Two failures at the same instant on
  // two processes may count as one. The calls above then raise ComError
  // when the database cannot be used. Throws ComError when the table
  // cannot be made.
  void useDatabase(const std::string& connectionString);

 private:
  struct Entry {
    int failures = 0;
    Clock::time_point last;
    bool stored = false;  // read from the database
  };
  using Table = std::map<std::string, Entry>;
  // The database's rows of `keys` ("a:" account or "ip:" address) as a
  // table of their own; write() stores the entries of `keys` back.
  Table read(kvdn::Connection& conn, std::initializer_list<std::string> keys, Clock::time_point now);
  void write(kvdn::Connection& conn, const Table& table, std::initializer_list<std::string> keys,
             Clock::time_point now);
  std::shared_ptr<kvdn::Connection> connect();
  std::string database_;  // "" while the counts are in memory
  static long long wait(const std::map<std::string, Entry>& table, const std::string& key, int free,
                        Clock::time_point now);
  // Counts a failure of `key` (whose first `free` failures cost no wait).
  static int bump(std::map<std::string, Entry>& table, const std::string& key, int free,
                  Clock::time_point now);
  // Room for one more entry in a full table: what is forgotten anyway, else
  // the oldest entry that holds no one back. False when every entry still
  // holds someone back (none is dropped).
  static bool makeRoom(std::map<std::string, Entry>& table, int free, Clock::time_point now);
  std::mutex mutex_;
  std::map<std::string, Entry> accounts_;
  std::map<std::string, Entry> addresses_;
  Clock::time_point auditWindow_{};  // start of the current audit window
  int audited_ = 0;
  long long unaudited_ = 0;
};
// The site's one throttle (the login page uses it).
LoginThrottle& loginThrottle();

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
// A CSV cell: the text in double quotes (inner ones doubled), with a "'"
// before a text that a spreadsheet program would take for a formula: one
// starting with = + - @, a tab or a carriage return, or with blanks (spaces,
// tabs, line breaks) before = + - @.
std::string csvCell(std::string_view text);
// Text for an HTML element or a quoted attribute.
inline std::string html(std::string_view text) {
  return kvdn::htmlEscape(text);
}
// The condition "the row's 登录账号 is `account`" (checked with isAccount),
// without regard to letter case on either kind of database.
std::string accountIs(std::string_view account);
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

// One-shot message kept in the session for the next page (after a redirect);
// `failed` shows it as a failure (red, announced at once) instead of a
// success.
void setFlash(kvdn::PageEnv& env, std::string_view message, bool failed = false);
// The kept message as a message box (markup), or "" when there is none.
std::string takeFlash(kvdn::PageEnv& env);

// Refusals of a form's fields: field id -> message. A page shown again
// after a refused save marks each refused field (invalidField: its
// attributes, naming the message "err_ID") and writes the message beside it
// (fieldMessage: announced, role=alert); both "" for a field not refused.
using FieldErrors = std::map<std::string, std::string>;
std::string invalidField(const FieldErrors& errors, const std::string& field);
std::string fieldMessage(const FieldErrors& errors, const std::string& field);

// dbClass.alert with the message and an empty address: the browser shows the
// message and goes back; the response has ended.
void refuse(kvdn::PageEnv& env, std::string_view message);
// The record writers compare the referring page's host with this one and
// fail outright (not with their alert) when there is no referrer at all; a
// page refuses such requests first. False when it refused.
bool hasReferrer(kvdn::PageEnv& env);

}  // namespace site
