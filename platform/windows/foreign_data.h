// Adapters from the machine's own data objects to the component's data
// interfaces (see foreign_data.cpp).
#pragma once

#include <string_view>

#include "automation.h"

namespace kvdn::platform::windows {

// A late-bound object of the given kind ("adodb.connection",
// "adodb.recordset", letter case ignored) as the component's Connection or
// Recordset; our own objects and other kinds come back unchanged.
ObjectPtr adaptForeign(const ObjectPtr& object, std::string_view kind);
// The IDispatch behind an adapter made by adaptForeign, else null (no
// reference added).
IDispatch* foreignDispatch(const ObjectPtr& object);

}  // namespace kvdn::platform::windows
