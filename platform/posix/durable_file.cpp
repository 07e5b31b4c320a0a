// Durable file operations over POSIX descriptors.
#include "durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "kvdn/error.h"

namespace kvdn::platform {

void syncFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) raise(err::kDbFail, std::system_category().message(errno) + " (" + path + ")");
  const int rc = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (rc != 0) raise(err::kDbFail, std::system_category().message(error) + " (" + path + ")");
}

void syncFolderOf(const std::string& path) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool createNewFile(const std::string& path) {
  // O_EXCL: two pages creating the same file cannot both believe they made it.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    if (error == EEXIST) return false;
    raise(err::kDbFail, std::system_category().message(error) + " (" + path + ")");
  }
  ::close(fd);
  return true;
}

std::uint32_t currentProcessId() noexcept {
  return static_cast<std::uint32_t>(::getpid());
}

}  // namespace kvdn::platform
