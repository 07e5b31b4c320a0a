// Extra text orders for the file databases' SQL: a page (or a program using
// the library) names one in a statement, "ORDER BY 姓名 COLLATE pinyin".
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "kvdn/error.h"
#include "kvdn/export.h"

namespace kvdn {

// Orders two UTF-8 texts: negative, zero or positive as `a` sorts before,
// with or after `b`. Must be a total order (zero only for texts that are
// the same for the caller's purpose), pure, and callable from any thread at
// once: statements of every page use it.
using TextOrder = std::function<int(std::string_view a, std::string_view b)>;

// Registers `order` as the collation `name` (letters, digits and "_") on
// every SQLite file connection opened from now on; connections kept in the
// pool are closed, so that none misses it. Registering a name again
// replaces the order; an empty `order` removes the name (statements naming
// it then fail with "no such collation sequence"). Call at start, before
// pages run. Throws ComError (kInvalidCall) for a bad name.
KVDN_API void setSqliteCollation(const std::string& name, TextOrder order);

}  // namespace kvdn
