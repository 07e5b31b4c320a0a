// connOpen's Access kind on the DLL's own engine when the machine's setting
// asks for it (see access_engine.h).
// <windows.h> must come first.
// clang-format off
#include <windows.h>
// clang-format on

#include "access_engine.h"

#include <cstring>
#include <memory>

#include "automation.h"
#include "kvdn/db_class.h"
#include "wide.h"

namespace kvdn::platform::windows {

AccessEngine accessEngineSetting() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\kvdnAspDll", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
    return AccessEngine::Machine;
  wchar_t value[32] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t);
  const LONG rc = ::RegGetValueW(key, nullptr, L"AccessEngine", RRF_RT_REG_SZ, nullptr, value, &size);
  ::RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return AccessEngine::Machine;
  if (_wcsicmp(value, L"kvdnAspDll") == 0) return AccessEngine::Own;
  if (_wcsicmp(value, L"auto") == 0) return AccessEngine::ByFile;
  return AccessEngine::Machine;
}

bool isOwnDatabaseFile(const std::string& path) {
  const HANDLE file =
      ::CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char header[16] = {};
  DWORD read = 0;
  const BOOL ok = ::ReadFile(file, header, sizeof header, &read, nullptr);
  ::CloseHandle(file);
  return ok && read == sizeof header && std::memcmp(header, "SQLite format 3", 16) == 0;
}

void followAccessEngineSetting(DbClass& db) {
  db.setAccessConnectionMaker(
      [](const std::string& path) -> std::shared_ptr<Connection> {
        const AccessEngine engine = accessEngineSetting();
        if (engine == AccessEngine::Machine) return nullptr;
        if (engine == AccessEngine::ByFile && !isOwnDatabaseFile(path)) return nullptr;
        return std::dynamic_pointer_cast<Connection>(libraryClasses().create("adodb.connection"));
      },
      [] { return std::dynamic_pointer_cast<Recordset>(libraryClasses().create("adodb.recordset")); });
}

}  // namespace kvdn::platform::windows
