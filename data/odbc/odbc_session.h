// The ODBC session: one connection handle, its statements and cursors.
// Internal to odbc/; the provider (odbc_provider.cpp) is the only user.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "kvdn/provider.h"
#include "odbc_provider.h"

namespace kvdn::odbc {

// The driver manager's environment (ODBC 3), shared by the provider and every
// session it opened; freed with the last of them.
class Environment;
// Raises err::kDbFail when the driver manager cannot give one.
std::shared_ptr<Environment> makeEnvironment();

// The name of the first installed driver (odbcinst) whose name contains
// `part` (case-insensitively), or "".
std::string installedDriver(Environment& env, std::string_view part);

// Connects with the ODBC connection string `odbcString` (never shown in
// messages: it may hold a password). Raises err::kDbFail with the driver's
// diagnostics when the server cannot be reached or refuses the login.
std::unique_ptr<DataSession> openSession(std::shared_ptr<Environment> env, const std::string& odbcString,
                                         const Options& options);

}  // namespace kvdn::odbc
