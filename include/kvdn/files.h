// Files and the database engine: the file-system object ("Scripting.
// FileSystemObject"), the catalog that makes new, empty database files
// ("ADOX.Catalog") and the engine that compacts and copies them
// ("JRO.JetEngine"). Database files are SQLite 3 files, whatever their names.
//
// Paths are physical paths in UTF-8 (what Server.MapPath returns). Every
// failure raises ComError with the number a page would see: the scripting
// runtime's file errors below for the file-system object, the data layer's
// OLE DB style numbers (err::kDbFail, err::kDbBusy) for the engine.
//
// Threads: each object is used by one thread (the apartment model, as every
// Object); two objects may work on the same files from different threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/export.h"
#include "kvdn/object.h"
#include "kvdn/page.h"

namespace kvdn {

// ---------------------------------------------------------------------------
// File-system object.

class KVDN_API File : public Object {
 public:
  // The name without its folder.
  virtual std::string name() const = 0;
  virtual std::string path() const = 0;
  // Late binding: "Name", "Path" (the table "File").
  const MemberTable& members() const noexcept override;
  Variant getProperty(std::string_view name) override;
};

class KVDN_API Folder : public Object {
 public:
  virtual std::string path() const = 0;
  // The folder's files (sub-folders excluded), read afresh on each call, in
  // the order of the folder's file list: by name, letter case ignored, the
  // way the original file system listed them. Raises err::kPathNotFound when
  // the folder has gone.
  virtual std::vector<std::shared_ptr<File>> files() const = 0;
  // Late binding: "Path", "Name", "Files" (an object with "Count" and
  // "Item(name)", the table "Files"); the table "Folder".
  const MemberTable& members() const noexcept override;
  Variant getProperty(std::string_view name) override;
};

class KVDN_API FileSystemObject : public Object {
 public:
  // True when a file (not a folder) exists at `path`. Never raises for a
  // missing or unreadable path.
  virtual bool fileExists(std::string_view path) = 0;
  // The destination becomes a copy of the source, replacing an existing
  // destination file. Missing source: err::kFileNotFound; missing
  // destination folder: err::kPathNotFound; no right: err::kPermissionDenied.
  virtual void copyFile(std::string_view source, std::string_view destination) = 0;
  // Removes the file. Missing file: err::kFileNotFound.
  virtual void deleteFile(std::string_view path) = 0;
  // Renames the file. Missing source: err::kFileNotFound; an existing
  // destination: err::kFileAlreadyExists (nothing is replaced).
  virtual void moveFile(std::string_view source, std::string_view destination) = 0;
  // The folder at `path`; err::kPathNotFound when there is none.
  virtual std::shared_ptr<Folder> getFolder(std::string_view path) = 0;

  // Late binding: FileExists, CopyFile (the third, overwrite argument may be
  // given: False refuses an existing destination with 58), DeleteFile,
  // MoveFile, GetFolder (the table "FileSystemObject").
  const MemberTable& members() const noexcept override;
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
};

// The file-system object over std::filesystem.
KVDN_API std::shared_ptr<FileSystemObject> makeLocalFileSystem();

// ---------------------------------------------------------------------------
// Database engine.

class KVDN_API Catalog : public Object {
 public:
  // Creates a new, empty database file at the "Data Source" of a Jet
  // connection string ("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=PATH").
  // Raises err::kDbFail when the file already exists, the string names no
  // path or another provider, or the file cannot be made; nothing is left
  // behind then.
  virtual void create(std::string_view connectionString) = 0;
  // Late binding: "Create" (the table "Catalog").
  const MemberTable& members() const noexcept override;
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
};

class KVDN_API JetEngine : public Object {
 public:
  // Writes a compacted copy of the source database into a new file at the
  // destination (both Jet connection strings, "Data source=PATH"). The source
  // may be in use by other connections; the copy is one consistent snapshot.
  // The destination must not exist: err::kDbFail (as the original engine).
  virtual void compactDatabase(std::string_view sourceConnection, std::string_view destinationConnection) = 0;

  // Our own additions.
  //
  // compactInPlace: compacts the database at `path` in its own file, in one
  // exclusive transaction of the database's own: other connections wait for
  // it (on their busy timeout) instead of writing into a copy that is about
  // to replace the file, so no committed write is lost, and a crash leaves
  // the file as it was before or after. Two compactions of one file wait for
  // each other. Raises err::kDbBusy when the database stayed locked,
  // err::kDbFail when `path` is no database file; the file is unchanged then.
  virtual void compactInPlace(std::string_view path) = 0;

  // backupDatabase and restoreDatabase go through SQLite's online backup, so
  // that neither tears a database in use.
  //
  // backupDatabase: `destination` becomes a consistent copy of the database
  // at `source` as of one moment, even while other connections write to it.
  // An existing destination file is replaced only once the copy is complete
  // (it is written beside it and renamed over it); on failure it is left
  // as it was. The destination's folder must exist.
  virtual void backupDatabase(std::string_view source, std::string_view destination) = 0;
  // restoreDatabase: the database at `destination` gets the content of the
  // database at `source`, written through the database's own locking in one
  // transaction, so that connections open on the destination go on working
  // and see either the old or the new content, never a mixture. A
  // destination that is not a database file at all is replaced as a file.
  // The source must be a database file; on failure the destination is left
  // as it was.
  virtual void restoreDatabase(std::string_view source, std::string_view destination) = 0;

  // Late binding: "CompactDatabase" (the table "JetEngine").
  const MemberTable& members() const noexcept override;
  Variant invoke(std::string_view name, std::vector<Variant>& args) override;
};

KVDN_API std::shared_ptr<Catalog> makeSqliteCatalog();
KVDN_API std::shared_ptr<JetEngine> makeSqliteJetEngine();

// Registers "Scripting.FileSystemObject", "ADOX.Catalog" and "JRO.JetEngine".
KVDN_API void registerFileClasses(ClassRegistry& registry);

}  // namespace kvdn
