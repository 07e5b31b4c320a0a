// The ODBC handles: the environment, text conversion, diagnostics raised as ComError, the
// connection link's close and the list of installed drivers.
#include "odbc_handles.h"

#include <algorithm>
#include <iterator>

#include "kvdn/text.h"
#include "odbc_session.h"

namespace kvdn::odbc {

std::shared_ptr<Environment> makeEnvironment() {
  return std::make_shared<Environment>();
}

std::u16string wide(std::string_view s) {
  return toUtf16(s);
}
SQLWCHAR* wptr(std::u16string& s) {
  return reinterpret_cast<SQLWCHAR*>(s.data());
}
std::string narrow(const SQLWCHAR* p, std::size_t units) {
  return toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(p), units));
}

std::vector<Diagnostic> diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<Diagnostic> out;
  if (handle == SQL_NULL_HANDLE) return out;
  for (SQLSMALLINT rec = 1; rec <= 20; ++rec) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::vector<SQLWCHAR> text(1024);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(type, handle, rec, state, &native, text.data(),
                                  static_cast<SQLSMALLINT>(text.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
      text.resize(static_cast<std::size_t>(length) + 1);
      rc = SQLGetDiagRecW(type, handle, rec, state, &native, text.data(),
                          static_cast<SQLSMALLINT>(text.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) break;
    std::string message =
        narrow(text.data(), std::min<std::size_t>(static_cast<std::size_t>(length), text.size() - 1));
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    out.push_back(Diagnostic{narrow(state, 5), std::move(message)});
  }
  return out;
}

std::int32_t numberForState(std::string_view state) {
  if (state == "42S02" || state == "42P01") return err::kDbNoSuchTable;
  if (state.substr(0, 2) == "22" || state == "07006") return err::kDbTypeMismatch;
  if (state.substr(0, 2) == "23") return err::kDbIntegrityViolation;
  if (state == "40001" || state == "40P01" || state == "55P03" || state == "57014" || state == "HYT00" ||
      state == "HYT01") {
    return err::kDbBusy;
  }
  if (state.substr(0, 2) == "08") return err::kDbFail;
  return err::kDbErrorsInCommand;
}

[[noreturn]] void raiseFrom(SQLSMALLINT type, SQLHANDLE handle, std::optional<std::int32_t> number) {
  const std::vector<Diagnostic> records = diagnostics(type, handle);
  std::string description;
  std::string state;
  for (const auto& r : records) {
    if (!description.empty()) description += "; ";
    // The driver's SQLSTATE with its text: the one thing that names the
    // failure the same way on every driver (and what a search finds).
    description += r.text.empty() ? "[" + r.state + "]" : r.text + " (SQLSTATE " + r.state + ")";
    if (state.empty() && r.state.substr(0, 2) != "01") state = r.state;
  }
  if (state.empty() && !records.empty()) state = records.front().state;
  if (description.empty()) description = "The ODBC driver reported a failure without a description.";
  raise(number ? *number : numberForState(state), std::move(description));
}

[[noreturn]] void raiseClosed() {
  raise(err::kDbClosed);
}

void Link::close() {
  if (closed) return;
  closed = true;
  active = nullptr;
  for (Statement* s : std::set<Statement*>(live)) s->release();
  live.clear();
  if (connected) {
    if (inTransaction) {
      SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
      inTransaction = false;
    }
    SQLDisconnect(dbc);
    connected = false;
  }
}

std::string installedDriver(Environment& env, std::string_view part) {
  const std::string wanted = asciiLower(part);
  SQLWCHAR name[256];
  SQLWCHAR attributes[1024];
  SQLSMALLINT nameLength = 0;
  SQLSMALLINT attributesLength = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDriversW(env.handle(), direction, name, static_cast<SQLSMALLINT>(std::size(name)),
                                   &nameLength, attributes, static_cast<SQLSMALLINT>(std::size(attributes)),
                                   &attributesLength))) {
    direction = SQL_FETCH_NEXT;
    const std::string driver =
        narrow(name, std::min<std::size_t>(static_cast<std::size_t>(nameLength), std::size(name) - 1));
    if (asciiLower(driver).find(wanted) != std::string::npos) return driver;
  }
  return {};
}

}  // namespace kvdn::odbc
