#include "windows_file_identity.h"

#include <windows.h>

#include "wide.h"

namespace kvdn::platform::windows {

std::optional<FileId> WindowsFileIdentity::identify(const std::string& path) const noexcept {
  try {
    const std::wstring name = widen(path);
    const HANDLE h = ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL ok = ::GetFileInformationByHandle(h, &info);
    ::CloseHandle(h);
    if (!ok) return std::nullopt;
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  } catch (...) {
    return std::nullopt;  // out of memory widening the name
  }
}

std::shared_ptr<const FileIdentity> makeWindowsFileIdentity() {
  return std::make_shared<WindowsFileIdentity>();
}

}  // namespace kvdn::platform::windows
