#include "registry_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kvdn/error.h"
#include "kvdn/object.h"

namespace kvdn::com {

namespace {

std::string envValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::vector<std::string_view> splitTabs(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  for (;;) {
    std::size_t tab = line.find('\t', pos);
    out.push_back(line.substr(pos, tab == std::string_view::npos ? std::string_view::npos : tab - pos));
    if (tab == std::string_view::npos) return out;
    pos = tab + 1;
  }
}

bool hasBreakOrTab(std::string_view s) {
  return s.find_first_of("\t\r\n") != std::string_view::npos;
}

std::string systemError(const std::string& what, const std::filesystem::path& file, int error) {
  return what + " '" + file.string() + "': " + std::strerror(error);
}

// Holds an exclusive flock on a side file for the duration of a rewrite.
// The registry file itself is replaced by rename, so locking it would lock
// the old inode only.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& lockFile) {
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) raise(err::kDbFail, systemError("Cannot open the lock file", lockFile, errno));
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        int e = errno;
        ::close(fd_);
        raise(err::kDbFail, systemError("Cannot lock", lockFile, e));
      }
    }
  }
  ~FileLock() { ::close(fd_); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

// All lines of the file ("" lines included, the final newline not making an
// extra one). A missing file gives none.
std::vector<std::string> readLines(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return {};
  std::ifstream in(file, std::ios::binary);
  if (!in) raise(err::kDbFail, systemError("Cannot read the registry file", file, errno));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  if (in.bad()) raise(err::kDbFail, systemError("Cannot read the registry file", file, errno));
  return lines;
}

}  // namespace

std::filesystem::path defaultRegistryFile() {
  if (std::string explicitFile = envValue("KVDN_REGISTRY_FILE"); !explicitFile.empty()) return explicitFile;
  // The XDG base directory rules say a relative XDG_CONFIG_HOME is
  // invalid and must be ignored.
  if (std::string xdg = envValue("XDG_CONFIG_HOME"); !xdg.empty() && xdg.front() == '/') {
    return std::filesystem::path(xdg) / "kvdn" / "registry";
  }
  std::string home = envValue("HOME");
  if (home.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) home = pw->pw_dir;
  }
  if (home.empty()) return {};
  return std::filesystem::path(home) / ".config" / "kvdn" / "registry";
}

std::optional<RegistryEntry> parseRegistryLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  auto fields = splitTabs(line);
  if (fields.size() != 3 || fields[0].empty() || fields[2].empty() || fields[2].front() != '/')
    return std::nullopt;
  auto clsid = parseGuid(fields[1]);
  if (!clsid) return std::nullopt;
  return RegistryEntry{std::string(fields[0]), *clsid, std::filesystem::path(std::string(fields[2]))};
}

std::string formatRegistryLine(const RegistryEntry& entry) {
  const std::string library = entry.library.string();
  if (entry.progId.empty() || hasBreakOrTab(entry.progId)) {
    raise(err::kInvalidCall,
          "A ProgID for the registry file must be a non-empty text without tabs or line breaks");
  }
  if (library.empty() || library.front() != '/' || hasBreakOrTab(library)) {
    raise(err::kInvalidCall, "The library path '" + library +
                                 "' cannot be registered: it must be absolute, without tabs or line breaks");
  }
  return entry.progId + "\t" + formatGuid(entry.clsid) + "\t" + library;
}

std::vector<RegistryEntry> readRegistryFile(const std::filesystem::path& file) {
  std::vector<RegistryEntry> entries;
  for (const auto& line : readLines(file)) {
    if (auto entry = parseRegistryLine(line)) entries.push_back(std::move(*entry));
  }
  return entries;
}

void updateRegistryFile(const std::filesystem::path& file, const std::vector<RegistryEntry>& add,
                        const std::vector<std::string>& remove) {
  // Format first: a refused entry must leave the file untouched.
  std::vector<std::string> added;
  added.reserve(add.size());
  for (const auto& entry : add) added.push_back(formatRegistryLine(entry));

  auto dropped = [&](std::string_view progId) {
    return std::any_of(remove.begin(), remove.end(),
                       [&](const std::string& r) { return iequals(r, progId); }) ||
           std::any_of(add.begin(), add.end(),
                       [&](const RegistryEntry& e) { return iequals(e.progId, progId); });
  };

  std::error_code ec;
  if (file.has_parent_path()) {
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec)
      raise(err::kDbFail, "Cannot create the folder '" + file.parent_path().string() + "': " + ec.message());
  }
  FileLock lock(file.string() + ".lock");

  std::ostringstream text;
  for (const auto& line : readLines(file)) {
    auto entry = parseRegistryLine(line);
    if (entry && dropped(entry->progId)) continue;
    text << line << '\n';
  }
  for (const auto& line : added) text << line << '\n';

  const std::filesystem::path temp = file.string() + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.flush();
    if (!out) {
      int e = errno;
      std::filesystem::remove(temp, ec);
      raise(err::kDbFail, systemError("Cannot write the registry file", temp, e));
    }
  }
  std::filesystem::rename(temp, file, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    raise(err::kDbFail, "Cannot replace the registry file '" + file.string() + "': " + ec.message());
  }
}

}  // namespace kvdn::com
