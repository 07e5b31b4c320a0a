// The file-system object over std::filesystem, with the scripting runtime's
// error numbers, and its late-binding surface.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "kvdn/files.h"
#include "sqlite_handle.h"
#include "utf8_path.h"

namespace kvdn {

namespace fs = std::filesystem;

namespace {

// Paths arrive as UTF-8 text; std::filesystem on Linux takes the bytes as they are.
fs::path toPath(std::string_view text) {
  return pathFromUtf8(text);
}

[[noreturn]] void raiseFile(std::int32_t number, std::string_view what, std::string_view path) {
  raise(number, std::string(what) + ": " + std::string(path));
}

// A failed operation on `path`, from the system's error.
[[noreturn]] void raiseSystem(const std::error_code& ec, std::string_view path) {
  if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
      ec == std::errc::read_only_file_system || ec == std::errc::is_a_directory) {
    raiseFile(err::kPermissionDenied, "Permission denied", path);
  }
  if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) {
    raiseFile(err::kPathNotFound, "Path not found", path);
  }
  if (ec == std::errc::file_exists) raiseFile(err::kFileAlreadyExists, "File already exists", path);
  raise(err::kInvalidCall, ec.message() + ": " + std::string(path));
}

bool isFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

// The destination's folder must exist: the runtime reports "Path not found"
// for it rather than the source's "File not found".
void requireParentFolder(const fs::path& destination, std::string_view text) {
  fs::path parent = destination.parent_path();
  std::error_code ec;
  if (!parent.empty() && !fs::is_directory(parent, ec)) raiseFile(err::kPathNotFound, "Path not found", text);
}

class LocalFile final : public File {
 public:
  explicit LocalFile(fs::path path) : path_(std::move(path)) {}
  std::string name() const override { return utf8FromPath(path_.filename()); }
  std::string path() const override { return utf8FromPath(path_); }

 private:
  fs::path path_;
};

class LocalFolder final : public Folder {
 public:
  explicit LocalFolder(fs::path path) : path_(std::move(path)) {}
  std::string path() const override { return utf8FromPath(path_); }

  std::vector<std::shared_ptr<File>> files() const override {
    std::error_code ec;
    fs::directory_iterator it(path_, ec);
    if (ec) raiseSystem(ec, utf8FromPath(path_));
    std::vector<std::pair<std::string, fs::path>> found;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) raiseSystem(ec, utf8FromPath(path_));
      std::error_code typeError;
      if (!it->is_regular_file(typeError)) continue;
      std::string name = utf8FromPath(it->path().filename());
      found.emplace_back(asciiUpper(name), it->path());
    }
    if (ec) raiseSystem(ec, utf8FromPath(path_));
    // Directory order on Linux follows hashes and changes with every
    // insertion; the pages expect the stable, name-ordered listing.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      if (a.first != b.first) return a.first < b.first;
      return utf8FromPath(a.second.filename()) < utf8FromPath(b.second.filename());
    });
    std::vector<std::shared_ptr<File>> out;
    out.reserve(found.size());
    for (auto& [key, p] : found) out.push_back(std::make_shared<LocalFile>(std::move(p)));
    return out;
  }

 private:
  fs::path path_;
};

class LocalFileSystem final : public FileSystemObject {
 public:
  bool fileExists(std::string_view path) override { return !path.empty() && isFile(toPath(path)); }

  void copyFile(std::string_view source, std::string_view destination) override {
    fs::path from = toPath(source);
    fs::path to = toPath(destination);
    if (source.empty() || !isFile(from)) raiseFile(err::kFileNotFound, "File not found", source);
    requireParentFolder(to, destination);
    std::error_code ec;
    if (fs::equivalent(from, to, ec)) raiseFile(err::kPermissionDenied, "Permission denied", destination);
    ec.clear();
    bumpSqliteFileGeneration(std::string(destination));  // releases kept connections: see there
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    // Overwritten in place (same file, other content): connections kept for
    // a database of that name must not read it through their old pages.
    bumpSqliteFileGeneration(std::string(destination));
    if (ec) raiseSystem(ec, destination);
  }

  void deleteFile(std::string_view path) override {
    fs::path p = toPath(path);
    if (path.empty() || !isFile(p)) raiseFile(err::kFileNotFound, "File not found", path);
    std::error_code ec;
    bumpSqliteFileGeneration(std::string(path));  // releases kept connections: see there
    fs::remove(p, ec);
    bumpSqliteFileGeneration(std::string(path));
    if (ec) raiseSystem(ec, path);
  }

  void moveFile(std::string_view source, std::string_view destination) override {
    fs::path from = toPath(source);
    fs::path to = toPath(destination);
    if (source.empty() || !isFile(from)) raiseFile(err::kFileNotFound, "File not found", source);
    requireParentFolder(to, destination);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec)))
      raiseFile(err::kFileAlreadyExists, "File already exists", destination);
    bumpSqliteFileGeneration(std::string(source));  // releases kept connections: see there
    fs::rename(from, to, ec);
    bumpSqliteFileGeneration(std::string(source));
    bumpSqliteFileGeneration(std::string(destination));
    if (ec) raiseSystem(ec, destination);
  }

  std::shared_ptr<Folder> getFolder(std::string_view path) override {
    fs::path p = toPath(path);
    std::error_code ec;
    if (path.empty() || !fs::is_directory(p, ec)) raiseFile(err::kPathNotFound, "Path not found", path);
    return std::make_shared<LocalFolder>(std::move(p));
  }
};

// The names a page uses on the file objects. The ids are their DISPIDs:
// never renumber one.
enum FileId : std::int32_t { kFileName = 1, kFilePath };
constexpr Member kFileMembers[] = {
    {"Name", kFileName, Member::kGet, 0, 0},
    {"Path", kFilePath, Member::kGet, 0, 0},
};
constexpr MemberTable kFileTable("File", kFileMembers);

enum FolderId : std::int32_t { kFolderPath = 1, kFolderName, kFolderFiles };
constexpr Member kFolderMembers[] = {
    {"Path", kFolderPath, Member::kGet, 0, 0},
    {"Name", kFolderName, Member::kGet, 0, 0},
    {"Files", kFolderFiles, Member::kGet, 0, 0},
};
constexpr MemberTable kFolderTable("Folder", kFolderMembers);

enum FilesId : std::int32_t { kFilesItem = 0, kFilesCount = 1 };
constexpr Member kFilesMembers[] = {
    {"Item", kFilesItem, Member::kGet | Member::kMethod, 1, 1},
    {"Count", kFilesCount, Member::kGet, 0, 0},
};
constexpr MemberTable kFilesTable("Files", kFilesMembers);

enum FileSystemId : std::int32_t { kFileExists = 1, kCopyFile, kDeleteFile, kMoveFile, kGetFolder };
constexpr Member kFileSystemMembers[] = {
    {"FileExists", kFileExists, Member::kMethod, 1, 1},
    // The third argument: overwrite (False refuses an existing destination).
    {"CopyFile", kCopyFile, Member::kMethod, 2, 3},
    // The second argument (force) is accepted and has no effect here.
    {"DeleteFile", kDeleteFile, Member::kMethod, 1, 2},
    {"MoveFile", kMoveFile, Member::kMethod, 2, 2},
    {"GetFolder", kGetFolder, Member::kMethod, 1, 1},
};
constexpr MemberTable kFileSystemTable("FileSystemObject", kFileSystemMembers);

// Folder.Files as a page sees it.
class FileCollection final : public Object {
 public:
  explicit FileCollection(std::vector<std::shared_ptr<File>> files) : files_(std::move(files)) {}
  const MemberTable& members() const noexcept override { return kFilesTable; }
  Variant getProperty(std::string_view name) override {
    bindMember(kFilesTable, name, Member::kGet, 0);  // Count alone takes no argument
    return Variant(static_cast<std::int32_t>(files_.size()));
  }
  Variant invoke(std::string_view name, std::vector<Variant>& args) override {
    bindMember(kFilesTable, name, Member::kMethod, args.size());  // Item alone is a method
    const std::string wanted = args[0].toString();
    for (const auto& f : files_) {
      if (iequals(f->name(), wanted)) return Variant(ObjectPtr(f));
    }
    raise(err::kFileNotFound, "File not found: " + wanted);
  }

 private:
  std::vector<std::shared_ptr<File>> files_;
};

}  // namespace

const MemberTable& File::members() const noexcept {
  return kFileTable;
}

Variant File::getProperty(std::string_view name) {
  if (bindMember(kFileTable, name, Member::kGet, 0).id == kFileName) return Variant(this->name());
  return Variant(path());
}

const MemberTable& Folder::members() const noexcept {
  return kFolderTable;
}

Variant Folder::getProperty(std::string_view name) {
  switch (bindMember(kFolderTable, name, Member::kGet, 0).id) {
    case kFolderPath:
      return Variant(path());
    case kFolderName:
      return Variant(utf8FromPath(pathFromUtf8(path()).filename()));
    default:
      return Variant(ObjectPtr(std::make_shared<FileCollection>(files())));
  }
}

const MemberTable& FileSystemObject::members() const noexcept {
  return kFileSystemTable;
}

Variant FileSystemObject::invoke(std::string_view name, std::vector<Variant>& args) {
  switch (bindMember(kFileSystemTable, name, Member::kMethod, args.size()).id) {
    case kFileExists:
      return Variant(fileExists(args[0].toString()));
    case kCopyFile: {
      const std::string source = args[0].toString();
      const std::string destination = args[1].toString();
      if (args.size() == 3 && !args[2].toBool() && fileExists(destination)) {
        raiseFile(err::kFileAlreadyExists, "File already exists", destination);
      }
      copyFile(source, destination);
      return Variant();
    }
    case kDeleteFile:
      deleteFile(args[0].toString());
      return Variant();
    case kMoveFile:
      moveFile(args[0].toString(), args[1].toString());
      return Variant();
    default:
      return Variant(ObjectPtr(getFolder(args[0].toString())));
  }
}

std::shared_ptr<FileSystemObject> makeLocalFileSystem() {
  return std::make_shared<LocalFileSystem>();
}

}  // namespace kvdn
