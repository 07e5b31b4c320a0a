// dbClass: the object a page creates per request and calls by name.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "kvdn/data.h"
#include "kvdn/error.h"
#include "kvdn/export.h"
#include "kvdn/object.h"
#include "kvdn/page.h"

namespace kvdn {

// One object per page request, used by one thread: the apartment model, the
// thread that created it is the only one that calls it (nothing in it is
// locked; the Windows DLL registers its classes "Apartment"). Methods read the request
// and write the response through the page objects stored by OnStartPage, and
// reach the database through `conn`. A method that needs a page object or
// `conn` while it is nothing raises err::kObjectNotSet (91).
//
// Parameters that a page passes by reference and the method does not change
// are `const Variant&`; the one that is written back (strDropDownList's
// `str`) is `Variant&`.
//
// Common ground of every method below:
// - "Raises" means a ComError leaves the method and reaches the page (VB
//   numbers 5, 6, 13, 91, 94, 424, ...; negative numbers come from the data
//   layer, with its description). Methods that "report" a failure instead
//   write a message to the response and end it; they raise nothing.
// - Ending the response (Response::end) is not an error: the method returns
//   normally and the page must not go on writing. Nothing written after the
//   end reaches the client.
// - Markup that a method returns is not escaped unless said: cell values,
//   detail values and option texts are written as the statement gives them.
// - The shared recordset slot (rsValue) holds a method's recordset during the
//   call only; no method relies on what an earlier call left there.
class KVDN_API DbClass final : public Object {
 public:
  DbClass() = default;

  // ---- Properties: plain storage, Empty until set; setting one has no
  // side effect. Only connOpen (and the file maintenance methods, which read
  // `database`) look at them. ----

  // The application database connection: nothing until connOpen or an
  // assignment (a page may hand over a connection it opened itself; every
  // method uses whatever this holds). Owned jointly with whoever assigned it.
  std::shared_ptr<Connection> conn;
  // "SQL" (a database server) or "ACCESS" (the database file), compared
  // without regard to letter case by connOpen; anything else reuses the last
  // recognised connection string.
  Variant dbType;
  // ACCESS: the site-relative (virtual) path of the database file, as
  // Server.MapPath takes it (no folder or extension is added); also the file
  // of createDBfile, backupDBfile, recoveryDBfile and compactDBfile.
  // SQL: the database name.
  Variant database;
  Variant sqlservername;  // SQL only: the server ("host", "host,port", "host\instance")
  Variant sqluid;         // SQL only: the login
  Variant sqlpwd;         // SQL only: the password

  // ---- Methods, in interface order. ----

  // Binds the object to the page: stores `context` and its Application,
  // Request, Response, Server and Session, in that order. Nothing else is
  // initialised. Raises 424 for a null context; a page object that cannot
  // be read raises its error, leaving the earlier ones stored.
  void OnStartPage(const std::shared_ptr<ScriptingContext>& context);
  // Releases the page objects (Application, Request, Response, Server,
  // Session, then the context) and closes `conn` when it is open (through
  // connClose, so `conn` becomes nothing). A connection never opened or
  // already closed is tolerated and left as it is. Raises only what closing
  // an open connection raises, after the page objects are released.
  void OnEndPage();
  // The component's MD5 of `str` as 32 lower-case hex digits (see
  // Md5Class::md5). Each call makes a fresh md5Class engine, kept in
  // md5EngineValue until the next call. Raises 94 for Null, 13 for an
  // object. Writes nothing.
  std::string md5(const Variant& str);
  // `str` shortened to the display width `strlen` (a code page 936 double-
  // byte character counts 2, anything else 1): the characters up to and
  // including the one whose running width reaches the limit, then "…". A
  // character that crosses the limit is kept whole (a surrogate pair too); a
  // text whose last character reaches the limit comes back unchanged. When it
  // shortens, it also leaves titleAttrValue = ` title="FULL" ` (FULL HTML-
  // escaped) for the grid; otherwise titleAttr is untouched. Empty or "" gives
  // "". Raises 94 for a Null `str` or width, 13 for a width that is no
  // number, 6 for one beyond 32 bits. Writes nothing.
  Variant getLenTitle(Variant str, Variant strlen);
  // Writes `<script>alert('MSG');history.go(-1);</script>` when `url` is ""
  // (or Empty), else `<script>alert('MSG');this.location.href='URL'</script>`
  // (a Null url is written as ""), then ends the response. MSG and URL are
  // escaped for a single-quoted script string (quotes, backslashes, line
  // breaks, "</"). Raises 91 without a bound page.
  void alert(const Variant& msg, const Variant& url);
  // Makes a new, empty database file at the mapped `database`. True when the
  // file exists afterwards. When the file exists already: writes
  // "对不起，该数据库已经存在!" + `database`, ends the response, returns False.
  // When the engine objects cannot be made or the file was not created:
  // reports "无法建立，请检查错误信息<br>" + number + "<br>" + description,
  // ends the response, returns False. Raises (untrapped) what creating the
  // file-system object or Server.MapPath raise.
  Variant createDBfile();
  // Copies the live database file into "database\#yyyymmdd.bak" (below the
  // calling page's folder; a second backup on the same day replaces the
  // first) through the engine's online backup, so a write in progress is
  // never half copied. True on success. Any failure (no live file: 53)
  // reports "数据库备份失败！<br>" + number + "<br>" + description, ends the
  // response and returns False; nothing is raised.
  Variant backupDBfile();
  // Restores the live database file from "database\" + `bakName` under the
  // database's own locks (other connections see the old or the restored
  // content, never a mixture). True on success. A name with "/", "\" or "..",
  // or an empty one, is refused (5); that and any other failure (no such
  // backup: 53) report "数据库恢复失败！<br>" + number + "<br>" + description,
  // end the response and return False; the live file is then unchanged.
  // Nothing is raised.
  Variant recoveryDBfile(const Variant& bakName);
  // Compacts the live database file in place under its exclusive lock (a
  // leftover "<database>.compact" work file of an older version is removed).
  // True on success. Any failure reports "数据库压缩失败！<br>" + number +
  // "<br>" + description, ends the response and returns False; the live file
  // is then as it was. Nothing is raised.
  Variant compactDBfile();
  // Replaces the accounts of table 用户 (every row with ID > 1) by the rows of
  // worksheet 用户 of "database/userinfo.xls" whose 登录账号 is not empty.
  // `fieldStr` lists the columns to copy, comma-separated, no blanks around
  // the commas ("登录账号,密码"): it is the select list of the worksheet query
  // and, split at ",", the names read from the sheet and written to the
  // table; a name missing on either side leaves that column unset. Values go
  // over as the reader delivers them (nothing trimmed, converted or
  // digested). The deletion and the inserts are one transaction. Returns the
  // number of rows stored (Long); 0 when the spreadsheet, its query or the
  // table cannot be opened, when `conn` is nothing or closed, or when any row
  // fails (then nothing changed). Never raises, writes nothing.
  Variant xlsToDb(const Variant& fieldStr);
  // The names of the files in the folder at Server.MapPath(`folderName`)
  // whose last four characters equal `kzm` exactly (case-sensitive; ".bak"),
  // joined by "|" in the folder's listing order; "" when none. Raises the
  // mapping error (5 outside the site) or 76 (path not found) for a missing
  // folder. Writes nothing.
  Variant folderFiles(const Variant& folderName, const Variant& kzm);
  // Forms the connection string from the properties and opens a new `conn`:
  // dbType SQL gives "Provider=sqloledb; server=S;uid=U;pwd=P;database=D",
  // ACCESS "Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + the mapped
  // `database`; any other dbType reuses the last string formed (empty on a
  // fresh object). A previous connection still open is closed first. For
  // SQL, a property holding a ";" (which would end its attribute and start
  // another) fails the open. A failed open is reported, not raised: writes "数据库打开失败！<br>" +
  // number + "<br>" + description, ends the response, and leaves the
  // unopened connection in `conn`. Raises (untrapped) what Server.MapPath and
  // creating the connection raise (91 without a bound page).
  void connOpen();
  // The version notice written by dbWrite on a modify: always "" in this
  // build. `res` is not read.
  Variant softFabuInfo(const Variant& res);
  // Closes `conn` and sets it to nothing. Raises 91 when `conn` is nothing,
  // and the data layer's error (kDbClosed) when it is not open; `conn` then
  // stays as it was.
  void connClose();
  // Runs `sql` on `conn` and returns column 0 of the first row as the
  // database gives it (a number, text, date or Null); "" when there is no
  // row. Its recordset is its own (not the shared slot) and is closed on
  // every path. Raises 91 without `conn`, the data layer's error for a
  // refused statement or a closed connection. Writes nothing.
  Variant dbShsl(const Variant& sql);
  // True when the host of HTTP_REFERER ("scheme://HOST[:port]/...") equals
  // HTTP_HOST without regard to letter case; the port takes part as text.
  // A missing or malformed referrer is another site: False. Raises 91
  // without a bound page.
  Variant fromHostRight();
  // The word after the first "from" keyword of `sql` (a word of its own,
  // outside quoted texts and [brackets]), lower-cased; any run of blanks,
  // tabs or line breaks separates words; "" when "from" ends the text.
  // Raises 5 when the text holds no "from", 94 for Null.
  Variant findTableName(const Variant& sql);
  // Stores the posted form into table `tableName`, as the query string's
  // `ac` says (any letter case):
  //   "add"    inserts one record from the form fields;
  //   "modify" updates the record whose ID is the query's `id`;
  //   "del"    deletes the records whose IDs the form's `delids` lists
  //            ("3, 5", as the host joins ticked boxes).
  // Form field names are column names; "submit" and "ac" are skipped; a
  // field whose name contains "密码" is stored as md5(md5(value)), and not at
  // all when empty. Values (blanks trimmed) "servertime", "makedanhao" and
  // "servergetip" (any case) become the server's time, the document number
  // (yyyymm + last 4 digits of the next ID) and the client's address (the
  // forwarded address only when it is an IP address, else REMOTE_ADDR).
  // Every value is bound, every name is matched against the real columns.
  // Returns True when the delete or the write was carried out. False without
  // writing anything when `ac` is none of the three, or when `id` / `delids`
  // is empty. False after an alert "禁止非法访问！" (response ended) when the
  // referrer is another site, or when `id` / `delids` are not whole numbers.
  // On a modify it first writes softFabuInfo's notice (""). Raises: 5 for a
  // table name that is not one plain or [bracketed] identifier (parts joined
  // by "."), 91 without `conn`, kDbEofBof when `id` matches no record, the
  // engine's "Field cannot be updated." (-2147217887) for a field named ID,
  // kDbNoSuchColumn for a field that is no column, and every other data
  // layer error (kDbTypeMismatch, kOverflow 6, ...); a failed write stores
  // nothing of the record and leaves it in the shared slot.
  Variant dbWrite(const Variant& tableName);
  // Stores one record of table `tableName` from the query string: an update
  // of the record whose ID is `id` when `id` is given, else an insert. Every
  // key but "id", "t" and "ac" (exact case) is a column; values (blanks
  // trimmed) exactly "servertime" or "servergetip" are replaced as in
  // dbWrite; no digest, no document number, no delete. Returns True when the
  // record was stored. After an alert "禁止非法访问！" (response ended) for
  // another site's referrer: False. Every other failure (an `id` that is no
  // whole number or matches no record, a bad table name, a key that is no
  // column, a value the column refuses, no connection) is swallowed: False,
  // and nothing of the record is stored. Raises only 91 without a bound page.
  Variant dbWriteGet(const Variant& tableName);
  // Runs `sql` (column 0 is the record key, never shown; every further
  // column is a grid column headed by its name) and returns one page of it
  // as the list grid: "<form name='formtablepage' ...><table ... class='
  // cssName'>", header row, one row per record, optional footer with the
  // pager, "</table></form>". The page shown is the query's `page` (absent,
  // empty, not a number or below 1 gives 1; beyond the last gives the last).
  //   psize        rows per page; 0 (or not a whole number) lists every row,
  //                no pager.
  //   xuhao        number column: 0 or less none; 1 (or any positive value
  //                but 2 and 3) "序号" counting up; 2 "序号" counting down
  //                from the record count; 3 "名次" counting up, marked
  //                class='red'.
  //   addName      text of the add link (modalForm('?ac=add')) heading the
  //                edit column; "" for none. Used only with an editName.
  //   delyesno     1: a delete column (check boxes `delids` = key, a tick-all
  //                box, modalForm('?ac=del')); anything else none.
  //   editName     text of each row's modify link
  //                (modalForm('?ac=modify&id=KEY')); "" for no edit column.
  //   pageNavyesno 1: footer with pageNav (only when paged).
  //   cssName      class of the table element (written as given).
  // Cells are written as the statement gives them (unescaped, Null as
  // "&nbsp;"), after the tokens "{qzmLeftN_}text{_qzmLeft}" (text shortened
  // by getLenTitle, left-aligned, with the full text as title) and
  // "{qzmClassNAME_}" (NAME HTML-escaped into class='...'). An empty result
  // gives one row "暂无记录！". Statement failure: writes "<br /><font
  // color=red>SQL语句有误!<br /><br />" + the statement (HTML-escaped) +
  // "</font>", ends the response and returns "". Raises, before anything is
  // written: 5 when delyesno is 1 and the statement has no "from", 13 when
  // delyesno is text that is no number, 91 without `conn`, and what creating
  // the recordset raises (429). After the open every failing step (a value
  // that cannot be read, a refused page position) is skipped and the grid is
  // built from what succeeded. The shared slot is empty afterwards.
  Variant dbSelect(const Variant& sql, const Variant& psize, const Variant& xuhao, const Variant& addName,
                   const Variant& delyesno, const Variant& editName, const Variant& pageNavyesno,
                   const Variant& cssName);
  // The one-line pager for a paged recordset `rs` and its current `page`
  // (a number): "第P页/共N页&nbsp;每页S条/共R条&nbsp;" and then links
  // "第一页", "上一页", "下一页", "最后页" calling
  // callTableData('?ac=call&page=K'), or the bare words where there is no
  // such page. Reads only PageCount, PageSize and RecordCount, by name at
  // each use (through late binding for an object that is no data-layer
  // recordset). Raises 424 when `rs` holds no object, 91 for Nothing, 438
  // for an object without those properties, 13 for a `page` text that is no
  // number. Writes nothing.
  Variant pageNav(const Variant& rs, const Variant& page);
  // The first row of `sql` as a two-column detail table ("<table width='W1+
  // W2+5' ... class='tableWg'>"): a title row spanning both columns holding
  // `title` as given, then one row per column 1..n (name left at `width1`
  // pixels, value right at `width2`, unescaped, Null as "&nbsp;"); column 0
  // is not shown. "对不起，无记录！" when there is no row. Raises 91 without
  // `conn`, the data layer's error for a refused statement, 13 for a width
  // that is no number, 94 for a Null `sql`. Writes nothing.
  Variant xiangxi(const Variant& sql, const Variant& width1, const Variant& width2, const Variant& title);
  // Option elements from `sql`: the placeholder "<option value=''>请选择
  // </option>", then one option per row, value column 0 and text column 1
  // (column 0 again when there is only one; both unescaped), " selected" on
  // every option whose value equals `comp` (numbers by value, texts exactly,
  // Empty equals 0 and "", Null equals nothing). `xuhao` 1 (number or text)
  // puts "N." (the option's position) before its text; anything else does
  // not.
  // Raises 91 without `conn`, the data layer's error for a refused
  // statement, 13 for an `xuhao` text that is no number, 94 for a Null
  // `sql`. Writes nothing.
  Variant rsDropDownList(const Variant& sql, const Variant& comp, const Variant& xuhao);
  // Option elements from `str`, items separated by "," or "，": the
  // placeholder, then one option per item (value and text the item), marked
  // as rsDropDownList marks them. Writes the normalised list back into
  // `str` (blanks removed, "，" made ","). "" gives only the placeholder.
  // Raises 94 for a Null `str` (left as it was). Writes nothing.
  Variant strDropDownList(Variant& str, const Variant& comp);
  // Checks the current page (the last part of the request's "Url", plus "?"
  // and "QUERY_STRING" when there is one) against role `loginUserDegreeID`
  // (a whole number, or a text holding one) and returns that role's menu:
  // per heading of table 功能模块 (层级 0, by 顺序)
  // "<div class='titleNav' onclick=DoMenu('ChildMenuK')>NAME</div><ul
  // class='menu' id='ChildMenuK'" + (">" for the heading of the current page,
  // else " style ='display:none'>") + its entries ("<li class='cMenu'>NAME
  // </li>" for the current page, "<li><a onclick=modalForm(...)>" for a
  // script call, else "<li><a href='FILE'>") + "</ul>". Role 1 sees every
  // heading and entry and is never refused. Any other role sees the entries
  // its 用户身份.权限 lists ("3,5,12"; blanks ignored) and the mandatory ones
  // (必选=1), under the headings that hold one; "" when there is none. A page
  // that is neither listed nor mandatory (or that no module names) is
  // refused: alert "对不起,你没有该权限!" (response ended), result Empty.
  // Raises 13 for a role that is no whole number or a 权限 that is not whole
  // numbers separated by commas or a 层级 that is not a whole number, 94 for
  // a Null 权限 or a Null 层级 of an entry or of the current page's module, 6
  // for a heading ID or 层级 beyond 32 bits, 91 without a bound page or
  // `conn`, and the data layer's errors. The page key goes into the statement
  // as a string literal with its quotes doubled.
  Variant menuNav(const Variant& loginUserDegreeID);

  // ---- Late binding: methods and properties by name (case-insensitive). ----
  // invoke calls the method of that name with `args` (a by-reference
  // argument such as strDropDownList's `str` is written back into args);
  // an unknown name raises 438, a wrong argument count 450. OnStartPage
  // takes the context as an object (13 for any other object, 424 for no
  // object). getProperty / setProperty read and write the six properties;
  // setting conn takes a Connection (424 for no object, 13 for another kind,
  // Nothing clears it); an unknown name raises 438.
  // The members are those of members() ("dbClass"), with fixed ids.
  const MemberTable& members() const noexcept override;
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
  Variant getProperty(std::string_view name) override;
  void setProperty(std::string_view name, const Variant& value) override;

  // ---- Inspection of private state (tests and hosts; read only). ----
  const Variant& connStringValue() const { return connString_; }
  const Variant& titleAttrValue() const { return titleAttr_; }
  const Variant& sqlTextValue() const { return sqlText_; }
  const std::shared_ptr<Recordset>& rsValue() const { return rs_; }
  const Variant& md5EngineValue() const { return md5Engine_; }
  bool boundToPage() const { return scriptContext_ != nullptr; }
  const std::shared_ptr<Application>& applicationValue() const { return application_; }
  const std::shared_ptr<Request>& requestValue() const { return request_; }
  const std::shared_ptr<Response>& responseValue() const { return response_; }
  const std::shared_ptr<Server>& serverValue() const { return server_; }
  const std::shared_ptr<Session>& sessionValue() const { return session_; }

  // Where connOpen's Access kind takes its connection from. Unset (the
  // default, and always on Linux): the page host's
  // Server.CreateObject("adodb.Connection"). The Windows server sets it
  // when the machine's setting asks for the DLL's own engine (README,
  // "Moving from Access files"); it is called with the file's physical path
  // before the connection string is opened, on the page's thread, and a
  // null result falls back to Server.CreateObject. What it raises reaches
  // the page untrapped, as a failing Server.CreateObject does. While `conn`
  // is a connection it made, the methods' recordsets come from `recordsets`
  // (when set) instead of Server.CreateObject("adodb.Recordset"): the
  // machine's recordset cannot run on another engine's connection.
  using AccessConnectionMaker = std::function<std::shared_ptr<Connection>(const std::string& path)>;
  using RecordsetMaker = std::function<std::shared_ptr<Recordset>()>;
  void setAccessConnectionMaker(AccessConnectionMaker maker, RecordsetMaker recordsets = {}) {
    accessMaker_ = std::move(maker);
    recordsetMaker_ = std::move(recordsets);
  }

  // The clock used for "servertime", document numbers and backup names.
  // Defaults to the server's local time; tests may fix it.
  void setClock(std::function<Date()> clock) { clock_ = std::move(clock); }
  Date now() const { return clock_ ? clock_() : Date::now(); }

 private:
  // Page objects and conn, raising err::kObjectNotSet when nothing.
  Request& request() const;
  Response& response() const;
  Server& server() const;
  Connection& connection() const;
  // Server.CreateObject(progId) cast to T; a wrong kind raises 13.
  template <class T>
  std::shared_ptr<T> create(std::string_view progId) const;

  // Private members, in declaration order.
  std::shared_ptr<ScriptingContext> scriptContext_;
  std::shared_ptr<Application> application_;
  std::shared_ptr<Response> response_;
  std::shared_ptr<Request> request_;
  std::shared_ptr<Session> session_;
  std::shared_ptr<Server> server_;
  std::shared_ptr<Recordset> rs_;
  Variant md5Engine_;
  Variant sqlText_;
  Variant connString_;
  Variant titleAttr_;
  std::function<Date()> clock_;
  AccessConnectionMaker accessMaker_;
  RecordsetMaker recordsetMaker_;
  std::weak_ptr<Connection> madeConn_;  // the last connection accessMaker_ gave
};

template <class T>
std::shared_ptr<T> DbClass::create(std::string_view progId) const {
  if constexpr (std::is_same_v<T, Recordset>) {
    if (recordsetMaker_ && conn && conn == madeConn_.lock()) {
      if (auto own = recordsetMaker_()) return own;
    }
  }
  ObjectPtr object = server().createObject(progId);
  auto typed = std::dynamic_pointer_cast<T>(object);
  if (!typed) raise(13);
  return typed;
}

// md5Class (ProgID kvdnAspDll.md5Class): the digest alone. No state carries
// from one call to the next; one instance serves one call at a time (the
// apartment model, as dbClass).
class Md5Class final : public Object {
 public:
  // 32 lower-case hex digits of the component's MD5 of `message`: RFC 1321
  // compression over message words packed one slot per UTF-16 unit with the
  // unit's code page 936 code, a double-byte code sign-extended and ORed
  // over the following slots of its word; the length counts 8 bits per
  // unit. For ASCII this is the standard MD5 of the bytes; for Chinese text
  // it is not (中 gives 6cba308f8d5f2b49971dbb43879a078c), and stored
  // password digests depend on it. Numbers, dates and booleans are digested
  // in their text form, Empty as "". Raises 94 for Null, 13 for an object.
  std::string md5(const Variant& message);
  // Late binding: only "md5" (any case) with one argument; another name
  // raises 438, another argument count 450. No page binding (OnStartPage).
  const MemberTable& members() const noexcept override;
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
};

}  // namespace kvdn
