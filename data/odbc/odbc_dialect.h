// The SQL of server databases reached through ODBC. Statements arrive in the
// Access / SQL Server dialect (TOP n, [bracketed] names); SQL Server takes them
// as they are, every other server gets its row limit (LIMIT / OFFSET) and its
// own quoted names. All work is done on tokens (sqlite/sql_dialect.h), so text
// inside literals and quoted names is never touched.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/provider.h"

namespace kvdn::odbc {

// The server behind a connection, from SQLGetInfo(SQL_DBMS_NAME). MdbTools
// is Debian's read-only Access driver (odbc-mdbtools), whose SQL is a small
// subset: one table, WHERE, TOP or LIMIT (not both), no OFFSET, no ORDER BY,
// no sub-queries, no aliases, no parameters.
enum class ServerKind { SqlServer, PostgreSql, MdbTools, Other };
ServerKind serverKindOf(std::string_view dbmsName);

// How the server stores names written without quotes
// (SQLGetInfo(SQL_IDENTIFIER_CASE)): PostgreSQL folds them to lower case.
enum class NameFolding { None, Lower, Upper };

// The dialect of `kind`. `quote` is the server's identifier quote character
// (SQL_IDENTIFIER_QUOTE_CHAR; '"' when the driver gives none); SQL Server
// always quotes with brackets. On a server that folds unquoted names, a
// [bracketed] name is folded the same way before it is quoted: in Access and
// SQL Server brackets only delimit a name, they never make its letter case
// count, so [ID] and ID must find the same column.
std::unique_ptr<Dialect> makeDialect(ServerKind kind, char quote = '"',
                                     NameFolding folding = NameFolding::None);

// A column name as a page expects to see it. A server that folds unquoted
// names reports "SELECT ID ..." as "id"; when `label` is exactly the folded
// form of an unquoted name written in `sql`, that spelling comes back (the
// first one in the text); otherwise the label as the server gave it.
std::string restoreNameCase(std::string_view label, std::string_view sql, NameFolding folding);

// The table named by the outer FROM of a query on one table ("select ... from
// T [alias] [where ...]"): its name without brackets or quotes, folded as the
// server folds unquoted names. Empty for joins, several tables, sub-queries
// in FROM and compound queries.
std::string singleTable(std::string_view sql, NameFolding folding);

// `sql` with `columns` (SQL text, no trailing comma) placed before the
// outer select list, after SELECT [ALL] [TOP n]. Empty when the statement
// does not allow it (DISTINCT, GROUP BY, a compound query, no outer SELECT).
std::string withLeadingColumns(std::string_view sql, std::string_view columns);

// True when `sql` holds more than one statement (text after a ";" that is not
// a comment). Such text is refused rather than run: the servers would run
// every statement.
bool hasSecondStatement(std::string_view sql);

// MdbTools has no OFFSET: its dialect's limitRows ends the statement with
// "OFFSET n", which the session takes off again here and skips n rows itself
// (linear in n). Returns n and removes the clause; 0 and `sql` unchanged
// when it does not end so.
std::int64_t takeTrailingOffset(std::string& sql);

}  // namespace kvdn::odbc
