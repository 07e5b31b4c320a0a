// What the ADO-like objects share across their files: the check of a value against its
// column, a connection's session, the recordset over a statement's rows, late-binding arguments.
// Internal to data/ado.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/data.h"
#include "kvdn/provider.h"
#include "kvdn/variant.h"

namespace kvdn::ado {

inline constexpr const char* kBadConnectionText =
    "The connection cannot be used to perform this operation. It is either closed or invalid in this "
    "context.";

// The value as the provider stores it (Null, 64-bit integer, Double, String,
// Date) in `column`. Raises err::kDbTypeMismatch for a value the column's
// declared type cannot take (nothing of the record is stored then), and
// err::kOverflow for a number text beyond the range of a Double.
Variant storable(const ColumnInfo& column, const Variant& v);

// The open session of a connection that makeConnection made. Raises
// err::kAdArguments for any other connection and err::kDbClosed (with
// kBadConnectionText) for a closed one.
std::shared_ptr<DataSession> sessionOf(const std::shared_ptr<Connection>& connection);

// A forward-only, read-only recordset over the rows that statement `sql`
// returned on `session`; it owns `rows`.
std::shared_ptr<Recordset> forwardRecordset(std::shared_ptr<const ProviderRegistry> providers,
                                            std::shared_ptr<DataSession> session,
                                            std::unique_ptr<Cursor> rows, std::string sql);

// Arguments of a late-bound call: an argument is given when present and not
// Empty; the text and number forms fall back when it is not given.
using Args = std::vector<Variant>;
bool given(const Args& args, std::size_t i);
std::string textArg(const Args& args, std::size_t i, std::string_view fallback);
int intArg(const Args& args, std::size_t i, int fallback);

}  // namespace kvdn::ado
