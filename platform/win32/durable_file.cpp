// Durable file operations over Win32 handles. Paths arrive as UTF-8 and are
// opened by their UTF-16 form.
#include "durable_file.h"

// <windows.h> must come first.
// clang-format off
#include <windows.h>
// clang-format on

#include "kvdn/error.h"
#include "wide.h"

namespace kvdn::platform {

namespace {

[[noreturn]] void raiseLastError(const std::string& path) {
  raise(err::kDbFail, windows::describeSystemError(::GetLastError()) + " (" + path + ")");
}

}  // namespace

void syncFile(const std::string& path) {
  // FlushFileBuffers needs write access to the handle.
  HANDLE h = ::CreateFileW(windows::widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) raiseLastError(path);
  const BOOL ok = ::FlushFileBuffers(h);
  const DWORD error = ::GetLastError();
  ::CloseHandle(h);
  if (!ok) raise(err::kDbFail, windows::describeSystemError(error) + " (" + path + ")");
}

void syncFolderOf(const std::string&) {
  // NTFS journals its directory entries; a folder cannot be flushed through a
  // handle without privileges, and there is nothing more to do.
}

bool createNewFile(const std::string& path) {
  // CREATE_NEW fails when the name exists: of two racing callers one wins.
  HANDLE h = ::CreateFileW(windows::widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return false;
    raise(err::kDbFail, windows::describeSystemError(error) + " (" + path + ")");
  }
  ::CloseHandle(h);
  return true;
}

std::uint32_t currentProcessId() noexcept {
  return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

}  // namespace kvdn::platform
