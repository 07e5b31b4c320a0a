// The audit trail (操作日志) and the stored search terms (查询条件): the
// site's own tables, written with bound values only.
#include <ctime>
#include <iostream>
#include <string>

#include "kvdn/data.h"
#include "kvdn/error.h"
#include "kvdn/object.h"
#include "kvdn/text.h"
#include "site.h"

namespace site {

using kvdn::PageEnv;
using kvdn::Variant;

namespace {

std::shared_ptr<kvdn::Recordset> openForAdding(PageEnv& env, const std::string& table) {
  auto rs = std::dynamic_pointer_cast<kvdn::Recordset>(env.server().createObject("ADODB.Recordset"));
  if (!rs) kvdn::raise(kvdn::err::kTypeMismatch);
  rs->open("select * from " + table + " where 1=0", env.db->conn, kvdn::adOpenKeyset, kvdn::adLockOptimistic,
           kvdn::adCmdUnspecified);
  return rs;
}

std::string nowText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// At most `limit` bytes of UTF-8, never cutting a character.
std::string clip(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

}  // namespace

void ensureSiteTables(kvdn::Connection& conn, bool server) {
  const std::string key = server ? "ID serial primary key" : "ID integer primary key autoincrement";
  const std::string time = server ? "timestamp(0)" : "DATETIME";
  conn.execute("create table if not exists 操作日志 (" + key + ", 时间 " + time +
               ", 账号 text, 地址 text, 动作 text, 内容 text)");
  conn.execute(
      "create table if not exists 查询条件 (键 varchar(80) primary key, 模式 text, 时间 varchar(20))");
  if (server) {
    // Accounts are one regardless of letter case, as on the database file
    // (where the column compares without case).
    try {
      conn.execute("create unique index if not exists 用户_登录账号_小写 on 用户 (lower(登录账号))");
    } catch (const kvdn::ComError& e) {
      std::cerr
          << "kvdn-site: accounts differing only in letter case are in 用户 (the pages still refuse new "
             "ones): error "
          << e.number() << ": " << e.description() << std::endl;
    }
  }
}

void audit(PageEnv& env, std::string_view account, std::string_view action, std::string_view detail) {
  try {
    if (!openDatabase(env)) return;
    auto rs = openForAdding(env, "操作日志");
    rs->addNew();
    rs->fields().item("时间").setValue(Variant(nowText()));
    rs->fields().item("账号").setValue(Variant(clip(account, 64)));
    rs->fields().item("地址").setValue(Variant(clip(clientAddress(env), 64)));
    rs->fields().item("动作").setValue(Variant(action));
    rs->fields().item("内容").setValue(Variant(clip(detail, 400)));
    rs->update();
    rs->close();
  } catch (const kvdn::ComError& e) {
    std::cerr << "kvdn-site: the audit trail could not be written (" << action << "): error " << e.number()
              << ": " << e.description() << std::endl;
  }
}

void storeSearch(PageEnv& env, const std::string& key, std::string_view term) {
  // `key` is made by the site (hex token and a letter suffix).
  if (term.empty()) {
    // Every list view without a search comes here. A delete would be a
    // write (the file's write lock, and every count and result the
    // connection keeps dropped) even when it finds nothing, so it runs only
    // when the key has a row; the unchanging query is itself answered from
    // the connection's kept results while nothing is written.
    auto rs = env.db->conn->execute("select count(*) from 查询条件 where 键='" + sqlLiteral(key) + "'");
    const bool stored = !rs->eof() && rs->fields().item(0).value().toInt32() != 0;
    rs->close();
    if (!stored) return;
  }
  // Terms of sessions long gone (a day without a search) go with every
  // change: rows are only added here, so the table stays small.
  const std::time_t dayAgo = std::time(nullptr) - 24 * 60 * 60;
  std::tm local{};
  localtime_r(&dayAgo, &local);
  char cutoff[32];
  std::strftime(cutoff, sizeof cutoff, "%Y-%m-%d %H:%M:%S", &local);
  env.db->conn->execute("delete from 查询条件 where 键='" + sqlLiteral(key) + "' or 时间<'" + cutoff + "'");
  if (term.empty()) return;
  // A LIKE pattern with '!' as the escape: the user's % and _ match
  // themselves; compared lower-cased on both sides.
  std::string pattern = "%";
  for (char c : kvdn::asciiLower(term)) {
    if (c == '%' || c == '_' || c == '!') pattern += '!';
    pattern += c;
  }
  pattern += '%';
  auto rs = openForAdding(env, "查询条件");
  rs->addNew();
  rs->fields().item("键").setValue(Variant(key));
  rs->fields().item("模式").setValue(Variant(pattern));
  rs->fields().item("时间").setValue(Variant(nowText()));
  rs->update();
  rs->close();
}

std::string searchFilter(const std::string& key, std::string_view term,
                         std::initializer_list<std::string_view> columns) {
  if (term.empty()) return {};
  std::string out = "exists (select 1 from 查询条件 s where s.键='" + sqlLiteral(key) + "' and (";
  bool first = true;
  for (std::string_view column : columns) {
    if (!first) out += " or ";
    first = false;
    out += "lower(" + std::string(column) + ") like s.模式 escape '!'";
  }
  out += "))";
  return out;
}

}  // namespace site
