// The machine's opt-in setting that makes connOpen's Access kind open the
// database file with the DLL's own engine (a file converted from Access)
// instead of the machine's data objects, so that no page changes.
#pragma once

#include <string>

namespace kvdn {
class DbClass;
}

namespace kvdn::platform::windows {

// HKEY_LOCAL_MACHINE\SOFTWARE\kvdnAspDll, REG_SZ value "AccessEngine" (the
// 64-bit view, for both DLLs):
//   "kvdnAspDll" every Access-kind file with the DLL's own engine;
//   "auto"       a file that is the DLL's own database file (an SQLite 3
//                file, as kvdn-access-convert writes it) with the DLL's own
//                engine, any other with the machine's;
//   missing or anything else: the machine's (Server.CreateObject), as
//                before.
enum class AccessEngine { Machine, Own, ByFile };
// The setting as it is now (read at each call: a change takes effect at the
// next connOpen, without restarting the server). Any thread.
AccessEngine accessEngineSetting();
// True when the file at `path` (UTF-8) begins as an SQLite 3 database file.
// False when it cannot be read.
bool isOwnDatabaseFile(const std::string& path);
// Gives `db` the connection maker that follows the setting.
void followAccessEngineSetting(DbClass& db);

}  // namespace kvdn::platform::windows
